// One ICMP or ICMPv6 echo exchange over a raw socket. The resolved target,
// the socket and the packet buffers are kept between calls for as long as the
// caller probes the same address text.
#pragma once

#include <cstdint>

enum ProbeResult : int32_t {
    PROBE_REPLY = 0,     // a matching reply came in time; *rtt_out is set
    PROBE_NO_REPLY = 1,  // none in time, a transient resolver failure, or an
                         // address family that is neither IPv4 nor IPv6
    PROBE_FATAL = -1,    // set-up impossible (resolver, socket, memory, option)
};

// Sends one echo request to `address` (numeric or a host name) and waits up to
// `timeout_seconds` for its reply. `payload_size` is used only when the call
// sets up a new session. `address` must stay alive while the session uses it.
ProbeResult echo_probe(const char* address, uint32_t payload_size,
                       uint32_t timeout_seconds, uint32_t* rtt_out);

// Forgets the target, closes the socket and frees the buffers.
void probe_session_close();

// Binds every later probe to a line: its device (SO_BINDTODEVICE, at most 15
// bytes) and its source address (numeric IPv4 or IPv6); either may be "".
// False, with the reason logged, when they cannot name a line. A line that
// is gone or not ready makes probes go without reply, each cycle trying
// again; one warning when that begins, one notice when it ends.
bool probe_set_line(const char* iface, const char* source_address);
