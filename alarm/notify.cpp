#include "alarm/notify.h"

#include <cctype>
#include <cstdio>

#include "alarm/runner.h"

namespace {

// The first letter in upper case, and the rest; an empty text stays empty.
char capital(const char* text)
{
    return char(toupper(static_cast<unsigned char>(text[0])));
}

const char* rest(const char* text)
{
    return text[0] != '\0' ? text + 1 : text;
}

} // namespace

bool any_recipient(const char* const recipients[], size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        if (recipients[i][0] != '\0')
            return true;
    }
    return false;
}

void send_trap(EventKind kind, const char* text, const char* host)
{
    char message[TRAP_MESSAGE_BYTES];
    snprintf(message, sizeof message, "Router %s, %s", AlarmTexts[kind], text);
    run_program(SNMPTRAP_PATH, "-c darnoq", host, AlarmTexts[kind + 3], "s", message,
                static_cast<const char*>(nullptr));
}

void send_emails(EventKind kind, const char* text, const char* router,
                 const char* const addresses[3])
{
    send_emails_named(AlarmTexts[kind], text, router, addresses);
}

void send_emails_named(const char* name, const char* text, const char* router,
                       const char* const addresses[3])
{
    char subject[EMAIL_SUBJECT_BYTES];
    char body[EMAIL_BODY_BYTES];
    snprintf(subject, sizeof subject, "%c%s (%s)", capital(name), rest(name), router);
    snprintf(body, sizeof body, "Router \"%s\" %s\n%c%s", router, name, capital(text), rest(text));
    for (int i = 0; i < 3; ++i) {
        if (addresses[i][0] != '\0')
            run_program(EMAIL_PATH, "-t", addresses[i], "-s", subject, "-m", body,
                        static_cast<const char*>(nullptr));
    }
}

void send_sms(EventKind kind, const char* text, const char* router, const char* const numbers[12])
{
    char message[SMS_MESSAGE_BYTES];
    snprintf(message, sizeof message, "Router \"%s\" %s (%s)", router, AlarmTexts[kind], text);
    for (int i = 0; i < 12; ++i) {
        if (numbers[i][0] != '\0')
            run_program(SMS_PATH, numbers[i], message, static_cast<const char*>(nullptr));
    }
}
