#include "tolvinstat/front/snmp.h"

#include <cinttypes>
#include <cstring>

namespace {

// The object with this OID (exact) or the first after it; null for none.
const SnmpObject* find(const SnmpObject* objects, uint32_t count, const Oid& oid, bool next)
{
    for (uint32_t i = 0; i < count; ++i) {
        int order = oid_compare(objects[i].oid, oid);
        if (next ? order > 0 : order == 0)
            return &objects[i];
        if (!next && order > 0)
            return nullptr;
    }
    return nullptr;
}

void print_oid(FILE* out, const Oid& oid)
{
    for (uint32_t i = 0; i < oid.length; ++i)
        fprintf(out, ".%" PRIu32, oid.ids[i]);
    fputc('\n', out);
}

enum LineRead { LINE_READ, LINE_GARBAGE, LINE_END };

// One line of input, without its line end (LF or CRLF). A line longer than
// the buffer, or one holding a NUL, is read to its end and dropped.
LineRead read_line(FILE* in, char (&line)[SNMP_LINE_BYTES])
{
    size_t length = 0;
    bool garbage = false;
    int c;
    while ((c = getc(in)) != EOF && c != '\n') {
        if (c == '\0' || length == sizeof line - 1)
            garbage = true;
        else
            line[length++] = char(c);
    }
    if (c == EOF && length == 0 && !garbage)
        return LINE_END;
    if (length > 0 && line[length - 1] == '\r')
        --length;
    line[length] = '\0';
    return garbage ? LINE_GARBAGE : LINE_READ;
}

SnmpObject objects[SNMP_OBJECTS_MAX];
SnmpObject answer;
Snapshot snapshot;      // of the line being asked, one after another

} // namespace

void snmp_serve(FILE* in, FILE* out, const SnmpLine* lines, size_t count)
{
    char line[SNMP_LINE_BYTES];
    for (LineRead read; (read = read_line(in, line)) != LINE_END;) {
        if (read == LINE_READ && line[0] == '\0')
            continue;   // snmpd sends an empty line after a set
        const bool command = read == LINE_READ;
        if (command && strcmp(line, "PING") == 0) {
            fputs("PONG\n", out);
        } else if (command && strcmp(line, "set") == 0) {
            char ignored[SNMP_LINE_BYTES];
            if (read_line(in, ignored) == LINE_END || read_line(in, ignored) == LINE_END)
                return;
            fputs("not-writable\n", out);
        } else if (command && (strcmp(line, "get") == 0 || strcmp(line, "getnext") == 0)) {
            const bool next = line[3] == 'n';
            read = read_line(in, line);
            if (read == LINE_END)
                return;
            Oid oid;
            bool found = false;
            // Each line's rows are in OID order: the answer is the least of
            // the lines' own (the shared scalar is each line's first).
            for (size_t i = 0; read == LINE_READ && i < count && oid_parse(line, &oid); ++i) {
                snapshot_read(snapshot, lines[i].key_project, lines[i].settings->short_term, nullptr);
                const uint32_t made = snmp_objects(snapshot, *lines[i].settings, objects, SNMP_OBJECTS_MAX,
                                                   lines[i].test_name);
                const SnmpObject* candidate = find(objects, made, oid, next);
                if (candidate != nullptr && (!found || oid_compare(candidate->oid, answer.oid) < 0)) {
                    answer = *candidate;
                    found = true;
                }
            }
            if (found) {
                print_oid(out, answer.oid);
                fprintf(out, "%s\n%s\n", answer.type, answer.value);
            } else {
                fputs("NONE\n", out);
            }
        } else {
            fputs("NONE\n", out);
        }
        fflush(out);
    }
}
