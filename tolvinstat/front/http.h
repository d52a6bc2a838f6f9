// tolvinstat's HTTP front end: one request read from one descriptor and one
// answer written to another, then the end; the shape that inetd and
// systemd's socket activation (Accept=yes) run, so that no listener and no
// state is kept. GET and HEAD of /metrics give the exposition, / the status
// page, /rtt.svg its chart.
#pragma once

#include <cstddef>
#include <cstdint>

// The longest request head (request line and header lines) read: 8 KiB.
inline constexpr size_t HTTP_HEAD_MAX_BYTES = 8192;
// A client that has not sent its whole head by then is dropped.
inline constexpr int HTTP_HEAD_TIMEOUT_MSEC = 5000;

enum HttpRoute { HTTP_ROUTE_NONE, HTTP_ROUTE_METRICS, HTTP_ROUTE_INDEX, HTTP_ROUTE_CHART };

// The route of a path: /metrics, / (the status page), /rtt.svg (its chart);
// HTTP_ROUTE_NONE for any other.
HttpRoute http_route(const char* path, size_t length);

// The reason phrase of a status this front end answers with.
const char* http_reason(int status);

// The body of an answer with a status other than 200: "STATUS REASON\n".
inline constexpr const char* HTTP_ERROR_TYPE = "text/plain; charset=utf-8";
size_t http_error_body(int status, char* text, size_t size);

struct HttpRequest {
    bool head_only;       // HEAD: the answer without its body
    HttpRoute route;
};

// Decides on a whole request head (up to and including its empty line):
// 200 with the route set, or the status to answer with: 400 malformed (an
// HTTP/1.1 request without Host included), 404 no such path, 405 a method
// other than GET and HEAD, 505 a version other than HTTP/1.x.
int http_parse_head(const char* head, size_t length, HttpRequest* request);

// The length of the head at the start of `data`, up to and including the
// empty line that ends it (CRLF or bare LF), or 0 when it has not ended yet.
size_t http_head_length(const char* data, size_t length);

// Reads one request head from `in`: 200 with `request` filled in, 408 when
// the head is not complete within HTTP_HEAD_TIMEOUT_MSEC, 431 when it is
// longer than HTTP_HEAD_MAX_BYTES, 400 when the client ends it early, or as
// http_parse_head says; 0 when the client sent nothing at all.
int http_read_request(int in, HttpRequest* request);

// Writes the answer with this status: the body for 200 (not for HEAD),
// a short text for the others. Content-Length and Connection: close always.
void http_answer(int out, int status, const HttpRequest& request, const char* content_type,
                 const char* body, size_t length);

// Ends the exchange so the answer arrives whole: the sending side is shut
// down first, then whatever the client still sends is read and dropped for a
// moment, since closing a socket with unread data resets the connection.
void http_finish(int in, int out);
