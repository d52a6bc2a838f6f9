#include "tolvinstat/front/cgi.h"

#include <cstring>

int cgi_request(const char* method, const char* path_info, HttpRequest* request)
{
    request->head_only = method != nullptr && strcmp(method, "HEAD") == 0;
    request->route = HTTP_ROUTE_NONE;
    if (method == nullptr || (strcmp(method, "GET") != 0 && !request->head_only))
        return 405;
    if (path_info == nullptr || path_info[0] == '\0')
        path_info = "/";
    request->route = http_route(path_info, strlen(path_info));
    return request->route == HTTP_ROUTE_NONE ? 404 : 200;
}

void cgi_answer(FILE* out, int status, const HttpRequest& request, const char* content_type, const char* body,
                size_t length)
{
    char error_body[64];
    if (status != 200) {
        content_type = HTTP_ERROR_TYPE;
        body = error_body;
        length = http_error_body(status, error_body, sizeof error_body);
    }
    fprintf(out, "Status: %d %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\n%s\r\n", status,
            http_reason(status), content_type, length, status == 405 ? "Allow: GET, HEAD\r\n" : "");
    if (!request.head_only)
        fwrite(body, 1, length, out);
    fflush(out);
}
