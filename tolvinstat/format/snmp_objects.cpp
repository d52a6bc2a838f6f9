#include "tolvinstat/format/snmp_objects.h"

#include "probe/echo.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <cinttypes>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <initializer_list>

namespace {

// pingObjects and the tables under it (RFC 4560); an entry is .1 under its
// table, then the column, then the index.
constexpr uint32_t PING_OBJECTS[] = {1, 3, 6, 1, 2, 1, 80, 1};
constexpr uint32_t MAX_CONCURRENT_REQUESTS = 1;
constexpr uint32_t CTL_TABLE = 2;
constexpr uint32_t RESULTS_TABLE = 3;
constexpr uint32_t HISTORY_TABLE = 4;
constexpr const char* PING_ICMP_ECHO = ".1.3.6.1.2.1.80.3.1";
constexpr const char* OWNER = "tolvin";

// InetAddressType, RowStatus, StorageType, OperationResponseStatus values.
constexpr int ADDRESS_IPV4 = 1, ADDRESS_IPV6 = 2, ADDRESS_DNS = 16;
constexpr int ENABLED = 1, DISABLED = 2, ACTIVE = 1, READ_ONLY = 5;
constexpr int RESPONSE_RECEIVED = 1, REQUEST_TIMED_OUT = 4;
constexpr uint8_t TRAP_PROBE_FAILURE = 0x80, TRAP_TEST_FAILURE = 0x40;   // BITS 0 and 1
constexpr uint32_t MAX_DATA_SIZE = ECHO_PAYLOAD_MAX;   // pingCtlDataSize's range: the largest payload
constexpr uint32_t MAX_TRAP_FILTER = 15;           // pingCtlTrap*FailureFilter's
constexpr int ADDRESS_UNKNOWN = 0, TRUTH_FALSE = 2;

struct Builder {
    SnmpObject* objects;
    uint32_t capacity;
    uint32_t count;
    const char* test_name;
};

// The OID of a cell: pingObjects.table.1.column.owner.test[.history].
void cell_oid(Oid* oid, uint32_t table, uint32_t column, const char* test_name, const uint32_t* history)
{
    oid->length = 0;
    for (uint32_t id : PING_OBJECTS)
        oid->ids[oid->length++] = id;
    oid->ids[oid->length++] = table;
    oid->ids[oid->length++] = 1;
    oid->ids[oid->length++] = column;
    // Each index string as its length followed by its bytes (RFC 2578 7.7).
    for (const char* text : {OWNER, test_name}) {
        oid->ids[oid->length++] = uint32_t(strlen(text));
        for (const char* c = text; *c != '\0'; ++c)
            oid->ids[oid->length++] = uint8_t(*c);
    }
    if (history != nullptr)
        oid->ids[oid->length++] = *history;
}

SnmpObject* add(Builder& b, uint32_t table, uint32_t column, const char* type, const uint32_t* history = nullptr)
{
    if (b.count == b.capacity)
        return nullptr;
    SnmpObject* object = &b.objects[b.count++];
    cell_oid(&object->oid, table, column, b.test_name, history);
    object->type = type;
    object->value[0] = '\0';
    return object;
}

__attribute__((format(printf, 6, 7))) void add_value(Builder& b, uint32_t table, uint32_t column,
                                                     const uint32_t* history, const char* type,
                                                     const char* format, ...)
{
    SnmpObject* object = add(b, table, column, type, history);
    if (object == nullptr)
        return;
    va_list args;
    va_start(args, format);
    vsnprintf(object->value, sizeof object->value, format, args);
    va_end(args);
}

// Bytes as pass_persist's octet values: hex pairs between blanks.
void hex_value(char* text, size_t size, const uint8_t* bytes, size_t length)
{
    size_t used = 0;
    text[0] = '\0';
    for (size_t i = 0; i < length && used + 4 <= size; ++i)
        used += size_t(snprintf(text + used, size - used, i == 0 ? "%02X" : " %02X", bytes[i]));
}

// A text as one line: what would end the line or confuse the manager becomes
// a blank.
void text_value(char* text, size_t size, const char* source)
{
    snprintf(text, size, "%s", source);
    for (char* c = text; *c != '\0'; ++c) {
        if (static_cast<unsigned char>(*c) < ' ' || *c == 0x7F)
            *c = ' ';
    }
}

// DateAndTime (SNMPv2-TC): the local time with its offset from UTC, 11 octets.
void date_and_time(char* text, size_t size, time_t when)
{
    tm local;
    localtime_r(&when, &local);
    const long offset = local.tm_gmtoff;
    const long magnitude = offset < 0 ? -offset : offset;
    const uint32_t year = uint32_t(local.tm_year + 1900);
    const uint8_t bytes[11] = {uint8_t(year >> 8), uint8_t(year), uint8_t(local.tm_mon + 1),
                               uint8_t(local.tm_mday), uint8_t(local.tm_hour), uint8_t(local.tm_min),
                               uint8_t(local.tm_sec), 0, uint8_t(offset < 0 ? '-' : '+'),
                               uint8_t(magnitude / 3600), uint8_t(magnitude / 60 % 60)};
    hex_value(text, size, bytes, sizeof bytes);
}

// The MIB's round-trip times are whole milliseconds, 0 meaning no reply: a
// reply under a millisecond rounds up, never to 0.
uint32_t rtt_msec(int64_t usec)
{
    if (usec < 0)
        return 0;
    uint64_t msec = (uint64_t(usec) + 999) / 1000;
    return msec == 0 ? 1 : uint32_t(msec);
}

struct Address {
    int type;
    uint8_t bytes[16];
    size_t length;
};

// A literal address as its bytes; a host name is not resolved here, which
// could block the agent.
Address literal_address(const char* text)
{
    Address address = {ADDRESS_DNS, {}, 0};
    if (inet_pton(AF_INET, text, address.bytes) == 1) {
        address.type = ADDRESS_IPV4;
        address.length = 4;
    } else if (inet_pton(AF_INET6, text, address.bytes) == 1) {
        address.type = ADDRESS_IPV6;
        address.length = 16;
    }
    return address;
}

uint32_t timeout_seconds(const ModuleSettings& settings)
{
    return probe_wait_seconds(settings, 0);
}

void control_row(Builder& b, const ModuleSettings& settings)
{
    const char* target = settings.address[0];
    const Address address = literal_address(target);
    add_value(b, CTL_TABLE, 3, nullptr, "integer", "%d", address.type);
    if (SnmpObject* object = add(b, CTL_TABLE, 4, address.type == ADDRESS_DNS ? "string" : "octet")) {
        if (address.type == ADDRESS_DNS)
            text_value(object->value, sizeof object->value, target);
        else
            hex_value(object->value, sizeof object->value, address.bytes, address.length);
    }
    if (settings.size[0] <= MAX_DATA_SIZE)
        add_value(b, CTL_TABLE, 5, nullptr, "unsigned", "%u", settings.size[0]);
    // The MIB's time-out is 1 to 60 s: a daemon that only polls has none.
    if (timeout_seconds(settings) > 0)
        add_value(b, CTL_TABLE, 6, nullptr, "unsigned", "%u", timeout_seconds(settings));
    add_value(b, CTL_TABLE, 7, nullptr, "unsigned", "%u", 1u);                // one probe a cycle
    add_value(b, CTL_TABLE, 8, nullptr, "integer", "%d", ENABLED);
    add_value(b, CTL_TABLE, 10, nullptr, "unsigned", "%u", settings.interval[0]);
    add_value(b, CTL_TABLE, 11, nullptr, "unsigned", "%u", SNMP_HISTORY_ROWS);
    add_value(b, CTL_TABLE, 12, nullptr, "integer", "%d", READ_ONLY);
    // The traps the daemon sends: pingProbeFailed for line failed,
    // pingTestFailed for line lost.
    uint8_t traps = 0;
    if (settings.fail_snmp[0] != '\0')
        traps |= TRAP_PROBE_FAILURE;
    if (settings.lost_snmp[0] != '\0')
        traps |= TRAP_TEST_FAILURE;
    if (SnmpObject* object = add(b, CTL_TABLE, 13, "octet"))
        hex_value(object->value, sizeof object->value, &traps, 1);
    // The failed cycles before each trap, where a count alone decides it.
    if (settings.fail_num >= 1 && settings.fail_num <= MAX_TRAP_FILTER && settings.fail_time == 0)
        add_value(b, CTL_TABLE, 14, nullptr, "unsigned", "%u", settings.fail_num);
    if (settings.lost_num >= 1 && settings.lost_num <= MAX_TRAP_FILTER && settings.lost_time == 0)
        add_value(b, CTL_TABLE, 15, nullptr, "unsigned", "%u", settings.lost_num);
    add_value(b, CTL_TABLE, 16, nullptr, "objectid", "%s", PING_ICMP_ECHO);
    if (SnmpObject* object = add(b, CTL_TABLE, 17, "string")) {
        char descr[256];
        if (settings.address[1][0] != '\0')
            snprintf(descr, sizeof descr, "tolvind: ICMP echo to %s every %u s, fail-over to %s", target,
                     settings.interval[0], settings.address[1]);
        else
            snprintf(descr, sizeof descr, "tolvind: ICMP echo to %s every %u s", target, settings.interval[0]);
        text_value(object->value, sizeof object->value, descr);
    }
    // The source address and the interface the line's probes are bound to,
    // where the settings bind them (else the system's choice); routing by
    // the table, no DS field.
    const Address source = literal_address(settings.source_address);
    if (source.type == ADDRESS_DNS) {
        add_value(b, CTL_TABLE, 18, nullptr, "integer", "%d", ADDRESS_UNKNOWN);
        add_value(b, CTL_TABLE, 19, nullptr, "string", "%s", "");
    } else {
        add_value(b, CTL_TABLE, 18, nullptr, "integer", "%d", source.type);
        if (SnmpObject* object = add(b, CTL_TABLE, 19, "octet"))
            hex_value(object->value, sizeof object->value, source.bytes, source.length);
    }
    // The device's index now (0 while it is gone: a redial gives a new one).
    add_value(b, CTL_TABLE, 20, nullptr, "integer", "%u",
              settings.iface[0] != '\0' ? if_nametoindex(settings.iface) : 0u);
    add_value(b, CTL_TABLE, 21, nullptr, "integer", "%d", TRUTH_FALSE);
    add_value(b, CTL_TABLE, 22, nullptr, "integer", "%d", 0);
    add_value(b, CTL_TABLE, 23, nullptr, "integer", "%d", ACTIVE);
}

void results_row(Builder& b, const Snapshot& snapshot, const ModuleSettings& settings)
{
    const LinkStats& s = snapshot.block;
    const RingWindow& w = snapshot.window;
    add_value(b, RESULTS_TABLE, 1, nullptr, "integer", "%d", snapshot.attachments > 0 ? ENABLED : DISABLED);
    const Address address = literal_address(settings.address[0]);
    if (address.type != ADDRESS_DNS) {
        add_value(b, RESULTS_TABLE, 2, nullptr, "integer", "%d", address.type);
        if (SnmpObject* object = add(b, RESULTS_TABLE, 3, "octet"))
            hex_value(object->value, sizeof object->value, address.bytes, address.length);
    }
    add_value(b, RESULTS_TABLE, 4, nullptr, "unsigned", "%u", rtt_msec(w.rtt_min));
    add_value(b, RESULTS_TABLE, 5, nullptr, "unsigned", "%u", rtt_msec(w.rtt_max));
    add_value(b, RESULTS_TABLE, 6, nullptr, "unsigned", "%u", rtt_msec(w.rtt_mean));
    add_value(b, RESULTS_TABLE, 7, nullptr, "gauge", "%u", w.replies);
    add_value(b, RESULTS_TABLE, 8, nullptr, "gauge", "%u", w.probes);
    // The window's samples: the newest of the ring.
    const uint32_t end = samples_kept(s), first = end - w.probes;
    uint64_t squares = 0;
    for (uint32_t i = first; i < end; ++i) {
        if (s.samples[i].rtt >= 0) {
            const uint64_t msec = rtt_msec(s.samples[i].rtt);
            squares += msec * msec;
        }
    }
    add_value(b, RESULTS_TABLE, 9, nullptr, "unsigned", "%u", squares > UINT32_MAX ? UINT32_MAX : uint32_t(squares));
    for (uint32_t i = samples_kept(s); i-- > 0;) {
        if (s.samples[i].rtt != LINK_RTT_NONE) {
            if (SnmpObject* object = add(b, RESULTS_TABLE, 10, "octet"))
                date_and_time(object->value, sizeof object->value, s.samples[i].timestamp);
            break;
        }
    }
}

void history_rows(Builder& b, const LinkStats& s, const ModuleSettings& settings)
{
    const uint32_t kept = samples_kept(s);
    const uint32_t rows = kept < SNMP_HISTORY_ROWS ? kept : SNMP_HISTORY_ROWS;
    // Probe n (counted since the daemon started) sits at ring index
    // n - (probes - kept) - 1: a row keeps its index while the ring moves on.
    const uint32_t first_number = s.probes - kept + 1;
    const uint32_t lost_msec = timeout_seconds(settings) * 1000;   // a lost probe waited it all
    for (uint32_t column : {2u, 3u, 4u, 5u}) {
        for (uint32_t i = kept - rows; i < kept; ++i) {
            const LinkSample& sample = s.samples[i];
            const uint32_t number = first_number + i;
            const bool answered = sample.rtt != LINK_RTT_NONE;
            if (column == 2)
                add_value(b, HISTORY_TABLE, 2, &number, "unsigned", "%u",
                          answered ? rtt_msec(sample.rtt) : lost_msec);
            else if (column == 3)
                add_value(b, HISTORY_TABLE, 3, &number, "integer", "%d",
                          answered ? RESPONSE_RECEIVED : REQUEST_TIMED_OUT);
            else if (column == 4 && answered)   // the ICMP type of an echo reply
                add_value(b, HISTORY_TABLE, 4, &number, "integer", "0");
            else if (column == 5)
                if (SnmpObject* object = add(b, HISTORY_TABLE, 5, "octet", &number))
                    date_and_time(object->value, sizeof object->value, sample.timestamp);
        }
    }
}

} // namespace

bool oid_parse(const char* text, Oid* oid)
{
    oid->length = 0;
    const char* c = text;
    if (*c == '.')
        ++c;
    if (*c == '\0')
        return false;
    for (;;) {
        if (*c < '0' || *c > '9' || oid->length == OID_MAX_IDS)
            return false;
        uint64_t id = 0;
        for (; *c >= '0' && *c <= '9'; ++c) {
            id = id * 10 + uint64_t(*c - '0');
            if (id > UINT32_MAX)
                return false;
        }
        oid->ids[oid->length++] = uint32_t(id);
        if (*c == '\0')
            return true;
        if (*c++ != '.')
            return false;
    }
}

int oid_compare(const Oid& a, const Oid& b)
{
    const uint32_t common = a.length < b.length ? a.length : b.length;
    for (uint32_t i = 0; i < common; ++i) {
        if (a.ids[i] != b.ids[i])
            return a.ids[i] < b.ids[i] ? -1 : 1;
    }
    return a.length == b.length ? 0 : (a.length < b.length ? -1 : 1);
}

uint32_t snmp_objects(const Snapshot& snapshot, const ModuleSettings& settings, SnmpObject* out,
                      uint32_t capacity, const char* test_name)
{
    Builder b = {out, capacity, 0, test_name};
    if (b.count < b.capacity) {
        SnmpObject& scalar = out[b.count++];
        scalar.oid.length = 0;
        for (uint32_t id : PING_OBJECTS)
            scalar.oid.ids[scalar.oid.length++] = id;
        scalar.oid.ids[scalar.oid.length++] = 1;
        scalar.oid.ids[scalar.oid.length++] = 0;
        scalar.type = "unsigned";
        snprintf(scalar.value, sizeof scalar.value, "%u", MAX_CONCURRENT_REQUESTS);
    }
    control_row(b, settings);
    // No segment, or none that can be read: no results, no history (absent,
    // not zero).
    if (snapshot.status == SNAPSHOT_OK) {
        results_row(b, snapshot, settings);
        history_rows(b, snapshot.block, settings);
    }
    return b.count;
}
