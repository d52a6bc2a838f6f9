#include "probe/echo.h"

#include <cstring>

#include "probe/checksum.h"

void echo_request_init(uint8_t* packet, uint32_t send_size, uint8_t type,
                       uint16_t identifier, uint8_t fill)
{
    packet[0] = type;
    memcpy(packet + 4, &identifier, sizeof identifier);
    if (send_size > ECHO_HEADER_BYTES)
        memset(packet + ECHO_HEADER_BYTES, fill, send_size - ECHO_HEADER_BYTES);
}

uint16_t echo_request_sequence(const uint8_t* packet)
{
    return uint16_t(packet[6] << 8 | packet[7]);
}

void echo_request_next(uint8_t* packet, uint32_t send_size, bool ipv4)
{
    uint16_t sequence = uint16_t(echo_request_sequence(packet) + 1);
    packet[6] = uint8_t(sequence >> 8);
    packet[7] = uint8_t(sequence);
    packet[2] = 0;
    packet[3] = 0;
    if (ipv4) {
        uint16_t checksum = internet_checksum(packet, send_size);
        memcpy(packet + 2, &checksum, sizeof checksum);
    }
}

bool echo_reply_matches(const uint8_t* datagram, size_t received, bool ipv4,
                        const uint8_t* sent, uint32_t* reply_bytes)
{
    if (received == 0)
        return false;
    size_t header_bytes = ipv4 ? 4u * (datagram[0] & 0x0F) : 0u;
    if (received < header_bytes + ECHO_HEADER_BYTES)
        return false;
    const uint8_t* message = datagram + header_bytes;
    if (memcmp(message + 4, sent + 4, 4) != 0)
        return false;
    *reply_bytes = uint32_t(received - header_bytes);
    return true;
}
