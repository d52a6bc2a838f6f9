// Layout of the echo request and matching of received datagrams: the pure
// part of the echo probe, free of sockets.
//
// Request: type(1) code(1) checksum(2) identifier(2, native order)
//          sequence(2, big-endian) payload(fill byte repeated)
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint8_t ECHO_REQUEST_TYPE_V4 = 8;
inline constexpr uint8_t ECHO_REQUEST_TYPE_V6 = 128;
inline constexpr uint32_t ECHO_HEADER_BYTES = 8;
inline constexpr uint32_t IPV4_HEADER_BYTES = 20;
inline constexpr uint32_t IPV6_HEADER_BYTES = 40;
// The largest echo payload over IPv4: what fits a datagram of 65535 bytes.
inline constexpr uint32_t ECHO_PAYLOAD_MAX = 65535 - IPV4_HEADER_BYTES - ECHO_HEADER_BYTES;
static_assert(ECHO_PAYLOAD_MAX == 65507);

// Fills a zeroed request of send_size (>= 8) bytes: type, identifier, and the
// fill byte over the whole payload. Sequence and checksum stay 0.
void echo_request_init(uint8_t* packet, uint32_t send_size, uint8_t type,
                       uint16_t identifier, uint8_t fill);

// Advances the big-endian sequence number by one (65535 wraps to 0) and sets
// the checksum: computed over the whole request for IPv4, 0 for IPv6 (the
// kernel fills it in).
void echo_request_next(uint8_t* packet, uint32_t send_size, bool ipv4);

// The big-endian sequence number of a request.
uint16_t echo_request_sequence(const uint8_t* packet);

// Decides whether a received datagram answers the request in `sent`: at least
// 8 bytes of its ICMP message were received, and its identifier and sequence
// equal the request's. An IPv4 datagram starts with its IP header of
// 4 x (first byte & 0x0F) bytes; an ICMPv6 one with the message itself.
// On a match, *reply_bytes is the length of the ICMP message received.
bool echo_reply_matches(const uint8_t* datagram, size_t received, bool ipv4,
                        const uint8_t* sent, uint32_t* reply_bytes);
