#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "alarm/notify.h"
#include "tests/unit/fake_runner.h"

namespace {

using Argv = std::vector<std::string>;

const char* const NO_EMAIL[3] = {"", "", ""};

class Notify : public ::testing::Test {
protected:
    void SetUp() override { fake_runner_reset(); }
};

TEST_F(Notify, TrapsCarryTheirOidAndMessage)
{
    send_trap(EVENT_FAILED, "last successful ping was at 2026-12-08 10:00:00", "nms.example");
    send_trap(EVENT_LOST, "no successful ping from module start", "10.1.1.1");
    EXPECT_EQ(fake_runner.calls, (std::vector<Argv>{
        {"/usr/bin/snmptrap", "-c darnoq", "nms.example", "1.3.6.1.2.1.80.0.1.0", "s",
         "Router line failed, last successful ping was at 2026-12-08 10:00:00"},
        {"/usr/bin/snmptrap", "-c darnoq", "10.1.1.1", "1.3.6.1.2.1.80.0.2.0", "s",
         "Router line lost, no successful ping from module start"}}));
}

TEST_F(Notify, EmailSubjectAndBody)
{
    const char* addresses[3] = {"", "", "ops@example.org"};
    send_emails(EVENT_LOST, "last successful ping was at 2026-12-08 10:00:00", "R1", addresses);
    EXPECT_EQ(fake_runner.calls, (std::vector<Argv>{
        {"/usr/bin/email", "-t", "ops@example.org", "-s", "Line lost (R1)", "-m",
         "Router \"R1\" line lost\nLast successful ping was at 2026-12-08 10:00:00"}}));
}

TEST_F(Notify, EveryRecipientInOrderEmptyOnesSkipped)
{
    const char* addresses[3] = {"a@x", "", "c@x"};
    send_emails(EVENT_REESTABLISHED, "first successful ping was at x", "R", addresses);
    const char* numbers[12] = {"", "+100", "", "", "", "", "", "", "", "", "", "+111"};
    send_sms(EVENT_REESTABLISHED, "first successful ping was at x", "R", numbers);
    ASSERT_EQ(fake_runner.calls.size(), 4u);
    EXPECT_EQ(fake_runner.calls[0][2], "a@x");
    EXPECT_EQ(fake_runner.calls[0][4], "Line re-established (R)");
    EXPECT_EQ(fake_runner.calls[1][2], "c@x");
    EXPECT_EQ(fake_runner.calls[2], (Argv{"/usr/bin/sms", "+100",
                                          "Router \"R\" line re-established (first successful ping was at x)"}));
    EXPECT_EQ(fake_runner.calls[3][1], "+111");
    fake_runner_reset();
    send_emails(EVENT_FAILED, "x", "R", NO_EMAIL);
    EXPECT_TRUE(fake_runner.calls.empty());
}

TEST_F(Notify, EmptyRouterNameGivesEmptyQuotesAndParentheses)
{
    const char* addresses[3] = {"a@x", "", ""};
    send_emails(EVENT_FAILED, "no successful ping from module start", "", addresses);
    const char* numbers[12] = {"1", "", "", "", "", "", "", "", "", "", "", ""};
    send_sms(EVENT_LOST, "no successful ping from module start", "", numbers);
    EXPECT_EQ(fake_runner.calls[0][4], "Line failed ()");
    EXPECT_EQ(fake_runner.calls[0][6], "Router \"\" line failed\nNo successful ping from module start");
    EXPECT_EQ(fake_runner.calls[1][2], "Router \"\" line lost (no successful ping from module start)");
}

TEST_F(Notify, LongTextsAreCutAtTheBufferSizes)
{
    std::string router(300, 'r');
    std::string text = "last successful ping was at 2026-12-08 10:00:00";
    const char* addresses[3] = {"a@x", "", ""};
    const char* numbers[12] = {"1", "", "", "", "", "", "", "", "", "", "", ""};
    send_emails(EVENT_LOST, text.c_str(), router.c_str(), addresses);
    send_sms(EVENT_LOST, text.c_str(), router.c_str(), numbers);
    std::string long_text(200, 't');
    send_trap(EVENT_LOST, long_text.c_str(), "h");

    std::string subject = "Line lost (" + router + ")";
    std::string body = "Router \"" + router + "\" line lost\nL" + text.substr(1);
    std::string sms = "Router \"" + router + "\" line lost (" + text + ")";
    std::string trap = "Router line lost, " + long_text;
    EXPECT_EQ(fake_runner.calls[0][4], subject.substr(0, 127));
    EXPECT_EQ(fake_runner.calls[0][6], body.substr(0, 255));
    EXPECT_EQ(fake_runner.calls[1][2], sms.substr(0, 159));
    EXPECT_EQ(fake_runner.calls[2][5], trap.substr(0, 127));
}

TEST_F(Notify, SettingsValuesAreDataNeverCode)
{
    const char* router = "R1 \"main\"; $(reboot) `id`";
    const char* addresses[3] = {"x@y; rm -rf /", "", ""};
    send_emails(EVENT_FAILED, "no successful ping from module start", router, addresses);
    send_trap(EVENT_FAILED, "t", "$(halt)");
    EXPECT_EQ(fake_runner.calls[0][2], "x@y; rm -rf /");
    EXPECT_EQ(fake_runner.calls[0][4], "Line failed (R1 \"main\"; $(reboot) `id`)");
    EXPECT_EQ(fake_runner.calls[1][2], "$(halt)");
}

TEST_F(Notify, ABodyTextStartingWithANonAsciiByteIsLeftAlone)
{
    const char* addresses[3] = {"a@x", "", ""};
    send_emails(EVENT_FAILED, "\xc3\xa9t\xc3\xa9", "R", addresses);
    send_emails(EVENT_FAILED, "", "R", addresses);
    EXPECT_EQ(fake_runner.calls[0][6], "Router \"R\" line failed\n\xc3\xa9t\xc3\xa9");
    EXPECT_EQ(fake_runner.calls[1][6], "Router \"R\" line failed\n");
}

TEST(AlarmTexts, NamesAndOids)
{
    EXPECT_STREQ(AlarmTexts[EVENT_FAILED], "line failed");
    EXPECT_STREQ(AlarmTexts[EVENT_LOST], "line lost");
    EXPECT_STREQ(AlarmTexts[EVENT_REESTABLISHED], "line re-established");
    EXPECT_STREQ(AlarmTexts[EVENT_FAILED + 3], "1.3.6.1.2.1.80.0.1.0");
    EXPECT_STREQ(AlarmTexts[EVENT_LOST + 3], "1.3.6.1.2.1.80.0.2.0");
}

} // namespace
