#include "probe/probe.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <arpa/inet.h>
#include <cstdio>
#include <linux/filter.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include "host/host.h"
#include "probe/echo.h"
#include "probe/reply_wait.h"

namespace {

// The ICMP type filter of Linux's raw IPv4 sockets: option 1 at level SOL_RAW,
// a mask in which a set bit t blocks ICMP type t. Its kernel header clashes
// with the C library's (musl's) definitions of the IPv6 records, so the two
// are stated here.
constexpr int RAW_ICMP_FILTER = 1;
struct RawIcmpFilter {
    uint32_t blocked_types;
};
static_assert(sizeof(RawIcmpFilter) == 4);

struct ProbeSession {
    const char* destination_str;       // the caller's text; null: no target
    sockaddr_storage destination;
    int probe_socket;
    uint8_t* send_packet;
    uint8_t* receive_packet;
    uint32_t send_size;
    uint32_t payload_size;
    uint32_t receive_size;
};

static_assert(sizeof(sockaddr_storage) == 128);

ProbeSession session = {nullptr, {}, -1, nullptr, nullptr, 0, 0, 0};

// The line every probe goes over, when one is set; what went wrong with it
// is said once per change.
struct ProbeLine {
    char iface[IFNAMSIZ];                    // "" for any device
    sockaddr_storage source;                 // family AF_UNSPEC for any source
    socklen_t source_bytes;
    char source_text[INET6_ADDRSTRLEN];
    char name[128];                          // as the log names it
    bool failing;                            // warned, not yet working again
    bool family_warned;
};

ProbeLine line = {};

bool line_is_set()
{
    return line.iface[0] != '\0' || line.source.ss_family != AF_UNSPEC;
}

void line_failed(const char* reason)
{
    if (!line.failing)
        host_log(LOG_WARNING, "can not probe over %s: %s", line.name, reason);
    line.failing = true;
}

bool session_is_ipv4()
{
    return session.destination.ss_family == AF_INET;
}

// A socket filter that lets through only datagrams carrying this session's
// identifier, so that foreign ICMP never fills the socket's queue and crowds
// out the reply. IPv4 datagrams start with the IP header; ICMPv6 ones with
// the message itself.
void attach_identifier_filter(int fd, bool ipv4, const uint8_t* request)
{
    const uint32_t identifier = uint32_t(request[4]) << 8 | request[5];  // as BPF loads it
    sock_filter ipv4_code[] = {
        BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),             // x = IP header length
        BPF_STMT(BPF_LD | BPF_H | BPF_IND, 4),              // identifier behind it
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, identifier, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0xFFFFFFFF),
        BPF_STMT(BPF_RET | BPF_K, 0),
    };
    sock_filter ipv6_code[] = {
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 4),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, identifier, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0xFFFFFFFF),
        BPF_STMT(BPF_RET | BPF_K, 0),
    };
    sock_fprog program;
    if (ipv4)
        program = {sizeof ipv4_code / sizeof ipv4_code[0], ipv4_code};
    else
        program = {sizeof ipv6_code / sizeof ipv6_code[0], ipv6_code};
    if (setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == -1)
        host_log(LOG_WARNING, "can not set socket option SO_ATTACH_FILTER: %s", strerror(errno));
}

bool is_transient_resolver_error(int code)
{
    return code == EAI_NONAME || code == EAI_AGAIN || code == EAI_FAIL || code == EAI_NODATA;
}

// Everything of a set-up after the session was closed. Returns PROBE_REPLY
// when the session is ready for its first request.
ProbeResult set_up(const char* address, uint32_t payload_size)
{
    addrinfo* list = nullptr;
    int code = getaddrinfo(address, nullptr, nullptr, &list);
    if (code != 0) {
        if (is_transient_resolver_error(code))
            return PROBE_NO_REPLY;
        host_log(LOG_ERR, "can not resolve address %s: %s", address, gai_strerror(code));
        return PROBE_FATAL;
    }
    const addrinfo* first = list;
    uint32_t header_bytes;
    if (first->ai_addr->sa_family == AF_INET) {
        memcpy(&session.destination, first->ai_addr, sizeof(sockaddr_in));
        header_bytes = IPV4_HEADER_BYTES + ECHO_HEADER_BYTES;
    } else if (first->ai_addr->sa_family == AF_INET6) {
        memcpy(&session.destination, first->ai_addr, sizeof(sockaddr_in6));
        header_bytes = IPV6_HEADER_BYTES + ECHO_HEADER_BYTES;
    } else {
        host_log(LOG_NOTICE, "unknown address type");
        freeaddrinfo(list);
        return PROBE_NO_REPLY;
    }
    freeaddrinfo(list);

    // Sizes whose buffers would wrap around 32 bits are refused outright.
    if (payload_size > UINT32_MAX - header_bytes) {
        host_log(LOG_ERR, "can not use ping size %u: larger than any echo request can be",
                 payload_size);
        return PROBE_FATAL;
    }
    const bool ipv4 = session_is_ipv4();
    session.payload_size = payload_size;
    session.send_size = payload_size + ECHO_HEADER_BYTES;
    session.receive_size = payload_size + header_bytes;

    session.probe_socket = ipv4 ? socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP)
                                : socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMPV6);
    if (session.probe_socket >= FD_SETSIZE) {
        // select() cannot watch it; the daemon keeps few descriptors, so this
        // means descriptors leak somewhere.
        close(session.probe_socket);
        session.probe_socket = -1;
        errno = EMFILE;
    }
    if (session.probe_socket == -1) {
        host_log(LOG_ERR, "can not open socket: %s", strerror(errno));
        return PROBE_FATAL;
    }
    if (line.iface[0] != '\0' && setsockopt(session.probe_socket, SOL_SOCKET, SO_BINDTODEVICE, line.iface,
                                            socklen_t(strlen(line.iface))) == -1) {
        line_failed(strerror(errno));
        return PROBE_NO_REPLY;
    }
    if (line.source.ss_family != AF_UNSPEC) {
        if (line.source.ss_family != session.destination.ss_family) {
            if (!line.family_warned)
                host_log(LOG_WARNING, "can not probe %s from source address %s: not of its family",
                         address, line.source_text);
            line.family_warned = true;
            return PROBE_NO_REPLY;
        }
        if (bind(session.probe_socket, reinterpret_cast<const sockaddr*>(&line.source),
                 line.source_bytes) == -1) {
            line_failed(strerror(errno));
            return PROBE_NO_REPLY;
        }
    }

    session.send_packet = static_cast<uint8_t*>(calloc(session.send_size, 1));
    if (session.send_packet == nullptr) {
        host_log(LOG_ERR, "can not alocate memory for send packed");
        return PROBE_FATAL;
    }
    session.receive_packet = static_cast<uint8_t*>(malloc(session.receive_size));
    if (session.receive_packet == nullptr) {
        host_log(LOG_ERR, "can not alocate memory for receive packed");
        return PROBE_FATAL;
    }
    const uint16_t identifier = uint16_t(getpid());

    if (ipv4) {
        RawIcmpFilter filter = {0xFFFFFFFEu};  // only type 0, echo reply, passes
        if (setsockopt(session.probe_socket, SOL_RAW, RAW_ICMP_FILTER, &filter, sizeof filter) == -1)
            host_log(LOG_WARNING, "can not set socket option ICMP_FILTER: %s", strerror(errno));
    } else {
        int offset = 2;
        if (setsockopt(session.probe_socket, SOL_RAW, IPV6_CHECKSUM, &offset, sizeof offset) == -1) {
            host_log(LOG_ERR, "can not set socket option IPV6_CHECKSUM: %s", strerror(errno));
            return PROBE_FATAL;
        }
        icmp6_filter filter;
        ICMP6_FILTER_SETBLOCKALL(&filter);
        ICMP6_FILTER_SETPASS(ICMP6_ECHO_REPLY, &filter);
        if (setsockopt(session.probe_socket, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter) == -1)
            host_log(LOG_WARNING, "can not set socket option ICMP6_FILTER: %s", strerror(errno));
    }

    const uint8_t fill = uint8_t(rand());
    echo_request_init(session.send_packet, session.send_size,
                      ipv4 ? ECHO_REQUEST_TYPE_V4 : ECHO_REQUEST_TYPE_V6, identifier, fill);
    attach_identifier_filter(session.probe_socket, ipv4, session.send_packet);
    session.destination_str = address;
    return PROBE_REPLY;
}

} // namespace

void probe_session_close()
{
    session.destination_str = nullptr;
    if (session.probe_socket != -1) {
        close(session.probe_socket);
        session.probe_socket = -1;
    }
    free(session.send_packet);
    session.send_packet = nullptr;
    free(session.receive_packet);
    session.receive_packet = nullptr;
}

ProbeResult echo_probe(const char* address, uint32_t payload_size,
                       uint32_t timeout_seconds, uint32_t* rtt_out)
{
    if (session.destination_str == nullptr || strcmp(session.destination_str, address) != 0) {
        probe_session_close();
        ProbeResult result = set_up(address, payload_size);
        if (result != PROBE_REPLY) {
            probe_session_close();
            return result;
        }
    }
    const bool ipv4 = session_is_ipv4();

    echo_request_next(session.send_packet, session.send_size, ipv4);
    ssize_t sent = sendto(session.probe_socket, session.send_packet, session.send_size, 0,
                          reinterpret_cast<const sockaddr*>(&session.destination),
                          sizeof session.destination);
    if (sent > 0 && size_t(sent) < session.send_size)
        host_log(LOG_WARNING, "sending ping request: sent %u bytes, should be %u bytes",
                 unsigned(sent), session.send_size);
    if (line_is_set()) {
        // A device that went away and came back under its name is another
        // device: the next cycle binds the socket anew.
        if (sent == -1) {
            line_failed(strerror(errno));
            probe_session_close();
            return PROBE_NO_REPLY;
        }
        if (line.failing)
            host_log(LOG_NOTICE, "probing over %s again", line.name);
        line.failing = false;
    }

    const uint64_t sent_nsec = host_monotonic_nsec();
    const ReplyWait wait = {session.probe_socket, session.receive_packet, session.receive_size, ipv4,
                            session.send_packet, session.send_size, session.payload_size};
    return await_echo_reply(wait, timeout_seconds, sent_nsec, rtt_out);
}

ProbeResult await_echo_reply(const ReplyWait& wait, uint32_t timeout_seconds, uint64_t sent_nsec,
                             uint32_t* rtt_out)
{
    // One deadline for the whole call, kept here from the monotonic clock:
    // every wait after a datagram that did not match goes on with what is
    // left, whatever the readiness call does with its own timeout.
    const uint64_t timeout_nsec = uint64_t(timeout_seconds) * 1000000000u;
    uint64_t waited_nsec = 0;
    for (;;) {
        const uint64_t left_usec = (timeout_nsec - waited_nsec) / 1000u;
        const int ready = host_wait_readable(wait.fd, left_usec);
        const uint64_t now_nsec = host_monotonic_nsec();
        waited_nsec = now_nsec > sent_nsec ? now_nsec - sent_nsec : 0;
        if (waited_nsec > timeout_nsec)
            waited_nsec = timeout_nsec;
        if (ready <= 0)
            return PROBE_NO_REPLY;
        ssize_t received = recv(wait.fd, wait.receive_packet, wait.receive_size, 0);
        if (received <= 0)
            continue;
        uint32_t reply_bytes = 0;
        if (!echo_reply_matches(wait.receive_packet, size_t(received), wait.ipv4, wait.request,
                                &reply_bytes))
            continue;
        if (reply_bytes != wait.send_size)
            host_log(LOG_WARNING,
                     "ping reply has different size: send was %u data bytes, received was %u data bytes",
                     wait.payload_size, reply_bytes - ECHO_HEADER_BYTES);
        *rtt_out = uint32_t(waited_nsec / 1000u);
        return PROBE_REPLY;
    }
}

bool probe_set_line(const char* iface, const char* source_address)
{
    line = ProbeLine{};
    line.source.ss_family = AF_UNSPEC;
    if (strlen(iface) >= sizeof line.iface) {
        host_log(LOG_ERR, "can not use interface %s: a name has at most %u bytes", iface,
                 unsigned(sizeof line.iface - 1));
        return false;
    }
    memcpy(line.iface, iface, strlen(iface) + 1);
    if (source_address[0] != '\0') {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&line.source);
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&line.source);
        if (inet_pton(AF_INET, source_address, &v4->sin_addr) == 1) {
            v4->sin_family = AF_INET;
            line.source_bytes = sizeof(sockaddr_in);
        } else if (inet_pton(AF_INET6, source_address, &v6->sin6_addr) == 1) {
            v6->sin6_family = AF_INET6;
            line.source_bytes = sizeof(sockaddr_in6);
        } else {
            host_log(LOG_ERR, "can not use source address %s: not a numeric IPv4 or IPv6 address",
                     source_address);
            return false;
        }
        snprintf(line.source_text, sizeof line.source_text, "%s", source_address);
    }
    if (line.iface[0] != '\0' && source_address[0] != '\0')
        snprintf(line.name, sizeof line.name, "interface %s from source address %s", iface, source_address);
    else if (line.iface[0] != '\0')
        snprintf(line.name, sizeof line.name, "interface %s", iface);
    else
        snprintf(line.name, sizeof line.name, "source address %s", source_address);
    return true;
}
