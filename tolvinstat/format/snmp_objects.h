// The objects of DISMAN-PING-MIB (RFC 4560, .1.3.6.1.2.1.80) that tolvinstat
// serves for one instance of the daemon, as pass_persist writes them: a test
// with owner "tolvin", named as the instance ("line" for the default one),
// its control row from the settings, its results from the short-term window
// and the newest probes of the ring as its history. Pure formatting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "rules/settings.h"
#include "tolvinstat/snapshot.h"

// The most sub-identifiers of an OBJECT IDENTIFIER (RFC 2578).
inline constexpr uint32_t OID_MAX_IDS = 128;
// History rows: the newest probes. Managers walk the whole table at each poll.
inline constexpr uint32_t SNMP_HISTORY_ROWS = 50;

struct Oid {
    uint32_t ids[OID_MAX_IDS];
    uint32_t length;
};

// A dotted numeric OID (a leading dot allowed, as snmpd sends it); false for
// anything else, a sub-identifier above 2^32 - 1 or more than 128 of them.
bool oid_parse(const char* text, Oid* oid);

// <0, 0, >0 as `a` sorts before, with or after `b`: sub-identifier by
// sub-identifier as numbers, a prefix before what it starts.
int oid_compare(const Oid& a, const Oid& b);

struct SnmpObject {
    Oid oid;
    const char* type;           // pass_persist's: integer, unsigned, gauge, string, octet, objectid
    char value[264];
};

// Every object of the subtree for this snapshot, in OID order: the scalar,
// the control row (from the settings), and, where the snapshot holds the
// block, the results row and the history rows. Returns how many were written
// (at most `capacity`).
uint32_t snmp_objects(const Snapshot& snapshot, const ModuleSettings& settings, SnmpObject* objects,
                      uint32_t capacity, const char* test_name = "line");

// The most objects snmp_objects() makes.
inline constexpr uint32_t SNMP_OBJECTS_MAX = 1 + 20 + 10 + 4 * SNMP_HISTORY_ROWS;
