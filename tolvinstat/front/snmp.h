// tolvinstat's SNMP front end: a pass_persist handler for net-snmp's snmpd,
// one DISMAN-PING-MIB test per instance of the daemon
// (tolvinstat/format/snmp_objects.h), read afresh for every request.
#pragma once

#include <cstddef>
#include <cstdio>

#include "tolvinstat/format/snmp_objects.h"

// The longest request line read; a longer one is dropped whole.
inline constexpr size_t SNMP_LINE_BYTES = 1024;
// One test: an instance of the daemon.
struct SnmpLine {
    const char* test_name;             // the instance's name, "line" for the default
    int key_project;                   // its segment's (rules/instance.h)
    const ModuleSettings* settings;
};

// The pass_persist conversation, until the end of `in`: PING, get, getnext
// and set (not writable), each answered at once and flushed; blank lines
// ignored; anything else NONE. The figures are read afresh for each request,
// from each line's segment in turn.
void snmp_serve(FILE* in, FILE* out, const SnmpLine* lines, size_t count);
