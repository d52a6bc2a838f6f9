#include "tolvinstat/front/http.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int DRAIN_MSEC = 1000;
constexpr size_t DRAIN_MAX_BYTES = 65536;

bool is_tchar(unsigned char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')
        || (c != '\0' && strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

// One line of the head: [begin, end) without its line ending.
struct Line {
    const char* begin;
    const char* end;
};

// The next line from *at, which moves past its LF. False at the end of the
// head or on a CR anywhere but before an LF.
bool next_line(const char*& at, const char* limit, Line* line, bool* malformed)
{
    const char* lf = static_cast<const char*>(memchr(at, '\n', size_t(limit - at)));
    if (lf == nullptr)
        return false;
    line->begin = at;
    line->end = lf > at && lf[-1] == '\r' ? lf - 1 : lf;
    if (memchr(line->begin, '\r', size_t(line->end - line->begin)) != nullptr)
        *malformed = true;
    at = lf + 1;
    return true;
}

bool equals(const char* begin, const char* end, const char* text)
{
    size_t length = strlen(text);
    return size_t(end - begin) == length && memcmp(begin, text, length) == 0;
}

bool equals_ignoring_case(const char* begin, const char* end, const char* text)
{
    size_t length = strlen(text);
    return size_t(end - begin) == length && strncasecmp(begin, text, length) == 0;
}

// The path of a request target: origin form ("/metrics?x") or absolute
// form ("http://host:port/metrics"); without query and fragment.
bool target_path(const char* begin, const char* end, const char** path, const char** path_end)
{
    if (end - begin >= 7 && strncasecmp(begin, "http://", 7) == 0) {
        const char* slash = static_cast<const char*>(memchr(begin + 7, '/', size_t(end - begin - 7)));
        if (slash == nullptr) {
            *path = "/";
            *path_end = *path + 1;
            return true;
        }
        begin = slash;
    }
    if (begin == end || *begin != '/')
        return false;
    const char* stop = begin;
    while (stop < end && *stop != '?' && *stop != '#')
        ++stop;
    *path = begin;
    *path_end = stop;
    return true;
}

const char* reason(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 431: return "Request Header Fields Too Large";
    case 505: return "HTTP Version Not Supported";
    default: return "Internal Server Error";
    }
}

bool write_all(int fd, const char* data, size_t length)
{
    while (length > 0) {
        ssize_t written = write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        length -= size_t(written);
    }
    return true;
}

long monotonic_msec()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return long(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Waits until `fd` can be read or the deadline passes; false then.
bool readable_before(int fd, long deadline_msec)
{
    for (;;) {
        long left = deadline_msec - monotonic_msec();
        if (left <= 0)
            return false;
        pollfd wait = {fd, POLLIN, 0};
        int ready = poll(&wait, 1, int(left));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

} // namespace

size_t http_head_length(const char* data, size_t length)
{
    // Empty lines before the request line are skipped, as clients may send
    // one after an earlier request.
    size_t start = 0;
    while (start < length && (data[start] == '\r' || data[start] == '\n'))
        ++start;
    for (size_t i = start; i < length; ++i) {
        if (data[i] != '\n')
            continue;
        if (i + 1 < length && data[i + 1] == '\n')
            return i + 2;
        if (i + 2 < length && data[i + 1] == '\r' && data[i + 2] == '\n')
            return i + 3;
    }
    return 0;
}

int http_parse_head(const char* head, size_t length, HttpRequest* request)
{
    const char* at = head;
    const char* limit = head + length;
    while (at < limit && (*at == '\r' || *at == '\n'))
        ++at;
    if (memchr(head, '\0', length) != nullptr)
        return 400;
    bool malformed = false;
    Line line;
    if (!next_line(at, limit, &line, &malformed) || malformed)
        return 400;

    // method SP request-target SP HTTP-version
    const char* method = line.begin;
    const char* cursor = method;
    while (cursor < line.end && is_tchar(static_cast<unsigned char>(*cursor)))
        ++cursor;
    const char* method_end = cursor;
    if (method_end == method || cursor == line.end || *cursor != ' ')
        return 400;
    const char* target = ++cursor;
    while (cursor < line.end && static_cast<unsigned char>(*cursor) > ' ' && *cursor != 0x7F)
        ++cursor;
    const char* target_end = cursor;
    if (target_end == target || cursor == line.end || *cursor != ' ')
        return 400;
    const char* version = ++cursor;
    if (line.end - version != 8 || memcmp(version, "HTTP/", 5) != 0 || version[6] != '.'
        || version[5] < '0' || version[5] > '9' || version[7] < '0' || version[7] > '9')
        return 400;
    if (version[5] != '1')
        return 505;
    const bool http_1_1 = version[7] != '0';

    // field-name ":" OWS field-value OWS, one a line, until the empty line.
    int hosts = 0;
    for (;;) {
        if (!next_line(at, limit, &line, &malformed) || malformed)
            return 400;
        if (line.begin == line.end)
            break;
        const char* colon = line.begin;
        while (colon < line.end && is_tchar(static_cast<unsigned char>(*colon)))
            ++colon;
        if (colon == line.begin || colon == line.end || *colon != ':')
            return 400;   // no name, a blank before the colon, or a folded line
        for (const char* c = colon + 1; c < line.end; ++c) {
            unsigned char u = static_cast<unsigned char>(*c);
            if ((u < ' ' && u != '\t') || u == 0x7F)
                return 400;
        }
        if (equals_ignoring_case(line.begin, colon, "Host"))
            ++hosts;
    }
    if (hosts > 1 || (http_1_1 && hosts == 0))
        return 400;

    const bool get = equals(method, method_end, "GET");
    const bool head_only = equals(method, method_end, "HEAD");
    if (!get && !head_only)
        return 405;
    const char* path;
    const char* path_end;
    if (!target_path(target, target_end, &path, &path_end))
        return 400;
    request->head_only = head_only;
    request->route = http_route(path, size_t(path_end - path));
    return request->route == HTTP_ROUTE_NONE ? 404 : 200;
}

const char* http_reason(int status)
{
    return reason(status);
}

size_t http_error_body(int status, char* text, size_t size)
{
    const int length = snprintf(text, size, "%d %s\n", status, reason(status));
    return length < 0 ? 0 : (size_t(length) < size ? size_t(length) : size - 1);
}

HttpRoute http_route(const char* path, size_t length)
{
    if (equals(path, path + length, "/metrics"))
        return HTTP_ROUTE_METRICS;
    if (equals(path, path + length, "/"))
        return HTTP_ROUTE_INDEX;
    if (equals(path, path + length, "/rtt.svg"))
        return HTTP_ROUTE_CHART;
    return HTTP_ROUTE_NONE;
}

int http_read_request(int in, HttpRequest* request)
{
    static char head[HTTP_HEAD_MAX_BYTES];
    size_t length = 0;
    const long deadline = monotonic_msec() + HTTP_HEAD_TIMEOUT_MSEC;
    request->head_only = false;
    request->route = HTTP_ROUTE_NONE;
    for (;;) {
        if (!readable_before(in, deadline))
            return 408;
        ssize_t got = read(in, head + length, sizeof head - length);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return length == 0 ? 0 : 400;
        }
        if (got == 0)
            return length == 0 ? 0 : 400;
        length += size_t(got);
        size_t head_length = http_head_length(head, length);
        if (head_length != 0)
            return http_parse_head(head, head_length, request);
        if (length == sizeof head)
            return 431;
    }
}

void http_answer(int out, int status, const HttpRequest& request, const char* content_type,
                 const char* body, size_t length)
{
    char error_body[64];
    if (status != 200) {
        content_type = HTTP_ERROR_TYPE;
        body = error_body;
        length = http_error_body(status, error_body, sizeof error_body);
    }
    char header[256];
    int header_length = snprintf(header, sizeof header,
                                 "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\n%s"
                                 "Connection: close\r\n\r\n",
                                 status, reason(status), content_type, length,
                                 status == 405 ? "Allow: GET, HEAD\r\n" : "");
    if (header_length <= 0 || size_t(header_length) >= sizeof header)
        return;
    if (!write_all(out, header, size_t(header_length)))
        return;
    if (!request.head_only)
        write_all(out, body, length);
}

void http_finish(int in, int out)
{
    shutdown(out, SHUT_WR);   // not a socket (a pipe, a file): nothing to do
    const long deadline = monotonic_msec() + DRAIN_MSEC;
    char drop[4096];
    size_t dropped = 0;
    while (dropped < DRAIN_MAX_BYTES && readable_before(in, deadline)) {
        ssize_t got = read(in, drop, sizeof drop);
        if (got <= 0)
            break;
        dropped += size_t(got);
    }
}
