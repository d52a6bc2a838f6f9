// tolvinstat's CGI front end, for the web servers of routers (BusyBox httpd,
// uhttpd): one request from the environment (REQUEST_METHOD, PATH_INFO),
// the same routes and errors as the HTTP front end (tolvinstat/front/http.h),
// the answer on standard output with a CGI Status header.
#pragma once

#include <cstddef>
#include <cstdio>

#include "tolvinstat/front/http.h"

// 200 with the route set, 405 for a method other than GET and HEAD, 404 for
// a path of no route (PATH_INFO empty or absent is the page).
int cgi_request(const char* method, const char* path_info, HttpRequest* request);

// The answer: Status, Content-Type and Content-Length, then the body for 200
// (not for HEAD), a short text for the others.
void cgi_answer(FILE* out, int status, const HttpRequest& request, const char* content_type, const char* body,
                size_t length);
