// The wait for an echo reply, apart from the socket's set-up so that it can be
// driven with a scripted clock and readiness wait (host/host.h).
#pragma once

#include <cstdint>

#include "probe/probe.h"

struct ReplyWait {
    int fd;                        // the socket the reply comes in on
    uint8_t* receive_packet;       // room for one datagram
    uint32_t receive_size;
    bool ipv4;                     // datagrams start with an IPv4 header
    const uint8_t* request;        // the request just sent: its bytes 4..7 match
    uint32_t send_size;
    uint32_t payload_size;
};

// Waits for the reply to `wait.request` until `timeout_seconds` after
// `sent_nsec` (the monotonic clock read just after the send), however many
// datagrams that do not match come in meanwhile. On PROBE_REPLY the round-trip
// time is from `sent_nsec` to the end of the wait that reported the reply, in
// whole microseconds, never above the timeout.
ProbeResult await_echo_reply(const ReplyWait& wait, uint32_t timeout_seconds, uint64_t sent_nsec,
                             uint32_t* rtt_out);
