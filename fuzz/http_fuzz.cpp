// The HTTP front end on any input: the head's end, its parse, and the whole
// read of a request from a descriptor that then ends.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <unistd.h>

#include "tolvinstat/front/http.h"

namespace {

bool known_status(int status)
{
    for (int known : {0, 200, 400, 404, 405, 408, 431, 505})
        if (status == known)
            return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // In a buffer of its own size, so that any read past it is caught.
    char* text = static_cast<char*>(malloc(size ? size : 1));
    memcpy(text, data, size);
    size_t head = http_head_length(text, size);
    if (head > size)
        abort();
    if (head != 0) {
        HttpRequest request = {false, HTTP_ROUTE_NONE};
        int status = http_parse_head(text, head, &request);
        if (!known_status(status) || status == 0 || status == 408 || status == 431)
            abort();
        if (status == 200 && request.route == HTTP_ROUTE_NONE)
            abort();
    }
    free(text);

    // Through a pipe that ends after the input: never a wait, never a hang.
    if (size <= 60000) {
        int pipe_ends[2];
        if (pipe(pipe_ends) != 0)
            abort();
        fcntl(pipe_ends[1], F_SETPIPE_SZ, 65536);
        if (size > 0 && write(pipe_ends[1], data, size) != ssize_t(size))
            abort();
        close(pipe_ends[1]);
        HttpRequest request = {false, HTTP_ROUTE_NONE};
        int status = http_read_request(pipe_ends[0], &request);
        close(pipe_ends[0]);
        if (!known_status(status) || status == 408)
            abort();
        if (size > HTTP_HEAD_MAX_BYTES && head == 0 && status != 431)
            abort();
    }
    return 0;
}
