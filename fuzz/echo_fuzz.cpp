// Reply matching on any datagram, IPv4 with any header length or ICMPv6.
// Input: a flag byte, the 8-byte request header, then the datagram.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "probe/echo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 9)
        return 0;
    const bool ipv4 = (data[0] & 1) != 0;
    uint8_t sent[8];
    memcpy(sent, data + 1, 8);
    // The datagram in a buffer of its own size, so that any read past it is caught.
    const size_t received = size - 9;
    uint8_t* datagram = static_cast<uint8_t*>(malloc(received ? received : 1));
    memcpy(datagram, data + 9, received);
    uint32_t reply_bytes = 0xFFFFFFFF;
    bool match = echo_reply_matches(datagram, received, ipv4, sent, &reply_bytes);
    if (match) {
        size_t header = ipv4 ? 4u * (datagram[0] & 0x0F) : 0u;
        if (reply_bytes < 8 || reply_bytes + header != received
            || memcmp(datagram + header + 4, sent + 4, 4) != 0)
            abort();
    } else if (reply_bytes != 0xFFFFFFFF) {
        abort();
    }
    free(datagram);
    // Requests built from the same bytes always carry a valid sequence step.
    uint8_t request[8 + 16] = {};
    echo_request_init(request, sizeof request, sent[0], uint16_t(sent[4] | sent[5] << 8), sent[7]);
    uint16_t before = echo_request_sequence(request);
    echo_request_next(request, sizeof request, ipv4);
    if (echo_request_sequence(request) != uint16_t(before + 1))
        abort();
    return 0;
}
