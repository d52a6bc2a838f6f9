// tolvinstat's HTTP front end: the request head's rules, reading a head in
// pieces and over its limit, and the exact answers.
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tolvinstat/front/cgi.h"
#include "tolvinstat/front/http.h"

namespace {

struct Parsed {
    int status;
    HttpRequest request;
};

Parsed parse(const std::string& head)
{
    Parsed parsed = {0, {false, HTTP_ROUTE_NONE}};
    parsed.status = http_parse_head(head.data(), head.size(), &parsed.request);
    return parsed;
}

TEST(HttpHead, RoutesGetAndHeadOfTheTwoPaths)
{
    Parsed p = parse("GET /metrics HTTP/1.1\r\nHost: router:8493\r\nAccept: */*\r\n\r\n");
    EXPECT_EQ(p.status, 200);
    EXPECT_EQ(p.request.route, HTTP_ROUTE_METRICS);
    EXPECT_FALSE(p.request.head_only);
    p = parse("HEAD /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(p.status, 200);
    EXPECT_TRUE(p.request.head_only);
    p = parse("GET / HTTP/1.0\r\n\r\n");                         // 1.0 needs no Host
    EXPECT_EQ(p.status, 200);
    EXPECT_EQ(p.request.route, HTTP_ROUTE_INDEX);
    EXPECT_EQ(parse("GET /metrics?name[]=x HTTP/1.1\r\nhost: x\r\n\r\n").request.route, HTTP_ROUTE_METRICS);
    EXPECT_EQ(parse("GET http://router:8493/metrics HTTP/1.1\r\nHost: x\r\n\r\n").request.route,
              HTTP_ROUTE_METRICS);                             // absolute form
    EXPECT_EQ(parse("GET HTTP://router HTTP/1.1\r\nHost: x\r\n\r\n").request.route, HTTP_ROUTE_INDEX);
    EXPECT_EQ(parse("\r\n\nGET /metrics HTTP/1.1\nHost: x\n\n").status, 200);  // bare LF, blank lines first
    EXPECT_EQ(parse("GET /metrics HTTP/1.1\r\nHost:\r\nX-Empty:\r\n\r\n").status, 200);
    EXPECT_EQ(parse("GET /rtt.svg?x HTTP/1.1\r\nHost: x\r\n\r\n").request.route, HTTP_ROUTE_CHART);
}

TEST(Cgi, TheRoutesOfTheHttpFrontEndAndItsErrors)
{
    HttpRequest request;
    EXPECT_EQ(cgi_request("GET", nullptr, &request), 200);         // the script itself: the page
    EXPECT_EQ(request.route, HTTP_ROUTE_INDEX);
    EXPECT_EQ(cgi_request("HEAD", "/rtt.svg", &request), 200);
    EXPECT_TRUE(request.head_only && request.route == HTTP_ROUTE_CHART);
    EXPECT_EQ(cgi_request("GET", "/metrics/", &request), 404);
    EXPECT_EQ(cgi_request("POST", "/metrics", &request), 405);
    EXPECT_EQ(cgi_request(nullptr, "/", &request), 405);
    char text[256] = {};
    FILE* out = fmemopen(text, sizeof text - 1, "w");
    cgi_answer(out, 405, request, "", "", 0);
    fclose(out);
    EXPECT_STREQ(text, "Status: 405 Method Not Allowed\r\nContent-Type: text/plain; charset=utf-8\r\n"
                       "Content-Length: 23\r\nAllow: GET, HEAD\r\n\r\n405 Method Not Allowed\n");
}

TEST(HttpHead, StatusForEveryOtherRequest)
{
    const std::pair<const char*, int> cases[] = {
        {"GET /metricsx HTTP/1.1\r\nHost: x\r\n\r\n", 404},
        {"GET /metrics/ HTTP/1.1\r\nHost: x\r\n\r\n", 404},
        {"GET /Metrics HTTP/1.1\r\nHost: x\r\n\r\n", 404},
        {"POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\n", 405},
        {"get /metrics HTTP/1.1\r\nHost: x\r\n\r\n", 405},         // methods are case-sensitive
        {"OPTIONS * HTTP/1.1\r\nHost: x\r\n\r\n", 405},
        {"GET /metrics HTTP/2.0\r\nHost: x\r\n\r\n", 505},
        {"GET /metrics HTTP/0.9\r\n\r\n", 505},
        {"GET /metrics HTTP/1.1\r\n\r\n", 400},                    // no Host
        {"GET /metrics HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", 400},
        {"GET /metrics http/1.1\r\nHost: x\r\n\r\n", 400},
        {"GET /metrics HTTP/1.10\r\nHost: x\r\n\r\n", 400},
        {"GET  /metrics HTTP/1.1\r\nHost: x\r\n\r\n", 400},
        {"GET /metrics HTTP/1.1 \r\nHost: x\r\n\r\n", 400},
        {"GET metrics HTTP/1.1\r\nHost: x\r\n\r\n", 400},
        {"GET * HTTP/1.1\r\nHost: x\r\n\r\n", 400},
        {"/metrics HTTP/1.1\r\nHost: x\r\n\r\n", 400},
        {"GET /metrics HTTP/1.1\r\nHost : x\r\n\r\n", 400},        // a blank before the colon
        {"GET /metrics HTTP/1.1\r\nHost: x\r\n folded\r\n\r\n", 400},
        {"GET /metrics HTTP/1.1\r\nNo colon\r\n\r\n", 400},
        {"GET /metrics HTTP/1.1\r\n: x\r\n\r\n", 400},
        {"GET /metrics HTTP/1.1\rHost: x\r\n\r\n", 400},           // a bare CR
        {"GET /metrics HTTP/1.1\r\nHost: x\x01y\r\n\r\n", 400},
        {"\r\n\r\n", 400},
        {"", 400},
    };
    for (auto [head, status] : cases)
        EXPECT_EQ(parse(head).status, status) << head;
    EXPECT_EQ(parse(std::string("GET /metrics HTTP/1.1\r\nHost: x\0y\r\n\r\n", 33)).status, 400);
}

TEST(HttpHead, EndsAtTheFirstEmptyLine)
{
    const std::string crlf = "GET / HTTP/1.1\r\nHost: x\r\n\r\nBODY";
    EXPECT_EQ(http_head_length(crlf.data(), crlf.size()), crlf.size() - 4);
    const std::string lf = "GET / HTTP/1.0\n\nGET";
    EXPECT_EQ(http_head_length(lf.data(), lf.size()), lf.size() - 3);
    const std::string leading = "\r\n\r\nGET / HTTP/1.0\r\n\r\n";
    EXPECT_EQ(http_head_length(leading.data(), leading.size()), leading.size());
    for (const char* partial : {"", "\r\n", "GET / HTTP/1.1\r\nHost: x\r\n", "GET / HTTP/1.1\r\n\r"})
        EXPECT_EQ(http_head_length(partial, strlen(partial)), 0u) << partial;
}

class HttpExchange : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0); }
    void TearDown() override
    {
        close(ends[0]);
        if (ends[1] != -1)
            close(ends[1]);
    }
    void client_sends(const std::string& text)
    {
        ASSERT_EQ(send(ends[1], text.data(), text.size(), 0), ssize_t(text.size()));
    }
    void client_closes()
    {
        shutdown(ends[1], SHUT_WR);
    }
    std::string client_receives()
    {
        std::string text;
        char buffer[4096];
        for (ssize_t got; (got = recv(ends[1], buffer, sizeof buffer, 0)) > 0;)
            text.append(buffer, size_t(got));
        return text;
    }
    int ends[2] = {-1, -1};     // [0] the server's, [1] the client's
    HttpRequest request = {false, HTTP_ROUTE_NONE};
};

TEST_F(HttpExchange, AHeadInPiecesThenTheWholeAnswer)
{
    client_sends("GET /met");
    client_sends("rics HTTP/1.1\r\nHo");
    client_sends("st: x\r\n\r\n");
    EXPECT_EQ(http_read_request(ends[0], &request), 200);
    EXPECT_EQ(request.route, HTTP_ROUTE_METRICS);
    http_answer(ends[0], 200, request, "text/plain; version=0.0.4; charset=utf-8", "a 1\n", 4);
    client_closes();
    http_finish(ends[0], ends[0]);
    EXPECT_EQ(client_receives(),
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
              "Content-Length: 4\r\nConnection: close\r\n\r\na 1\n");
}

TEST_F(HttpExchange, HeadGetsTheHeadersAlone)
{
    client_sends("HEAD / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(http_read_request(ends[0], &request), 200);
    http_answer(ends[0], 200, request, "text/html; charset=utf-8", "<p>x</p>\n", 9);
    client_closes();
    http_finish(ends[0], ends[0]);
    EXPECT_EQ(client_receives(), "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n"
                                 "Content-Length: 9\r\nConnection: close\r\n\r\n");
}

TEST_F(HttpExchange, ErrorsCarryAShortTextAndMethodsAllowed)
{
    client_sends("DELETE /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(http_read_request(ends[0], &request), 405);
    http_answer(ends[0], 405, request, nullptr, nullptr, 0);
    client_closes();
    http_finish(ends[0], ends[0]);
    EXPECT_EQ(client_receives(), "HTTP/1.1 405 Method Not Allowed\r\nContent-Type: text/plain; charset=utf-8\r\n"
                                 "Content-Length: 23\r\nAllow: GET, HEAD\r\nConnection: close\r\n\r\n"
                                 "405 Method Not Allowed\n");
}

TEST_F(HttpExchange, AHeadOverItsLimitIsRefused)
{
    std::string head = "GET /metrics HTTP/1.1\r\nHost: x\r\nX-Long: " + std::string(HTTP_HEAD_MAX_BYTES, 'a');
    client_sends(head.substr(0, HTTP_HEAD_MAX_BYTES));
    EXPECT_EQ(http_read_request(ends[0], &request), 431);

    // Exactly at the limit it is read.
    std::string fits = "GET /metrics HTTP/1.1\r\nHost: x\r\nX-Pad: ";
    fits += std::string(HTTP_HEAD_MAX_BYTES - fits.size() - 4, 'b') + "\r\n\r\n";
    ASSERT_EQ(fits.size(), HTTP_HEAD_MAX_BYTES);
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    ASSERT_EQ(send(pair[1], fits.data(), fits.size(), 0), ssize_t(fits.size()));
    EXPECT_EQ(http_read_request(pair[0], &request), 200);
    close(pair[0]);
    close(pair[1]);
}

TEST_F(HttpExchange, AClientThatEndsEarly)
{
    client_closes();
    EXPECT_EQ(http_read_request(ends[0], &request), 0);          // nothing: no answer at all

    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    ASSERT_EQ(send(pair[1], "GET /metrics HTTP/1.1\r\n", 23, 0), 23);
    shutdown(pair[1], SHUT_WR);
    EXPECT_EQ(http_read_request(pair[0], &request), 400);        // a head cut short
    close(pair[0]);
    close(pair[1]);
}

TEST_F(HttpExchange, WhatTheClientSendsAfterTheHeadIsDrainedNotLeftToResetTheConnection)
{
    client_sends("POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\n");
    EXPECT_EQ(http_read_request(ends[0], &request), 405);
    client_sends(std::string(50000, 'z'));
    http_answer(ends[0], 405, request, nullptr, nullptr, 0);
    client_closes();
    http_finish(ends[0], ends[0]);
    char probe;
    EXPECT_EQ(recv(ends[0], &probe, 1, MSG_DONTWAIT), 0);         // all of it read: at its end
    EXPECT_EQ(client_receives().substr(0, 32), "HTTP/1.1 405 Method Not Allowed\r");
}

} // namespace
