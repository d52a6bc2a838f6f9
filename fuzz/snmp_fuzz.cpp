// The pass_persist handler on any input, and the OID order on any three
// OIDs read from it: a total order, whatever the text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tolvinstat/front/snmp.h"

namespace {

ModuleSettings settings;

void check_order(const std::string& a_text, const std::string& b_text, const std::string& c_text)
{
    static Oid a, b, c;
    if (!oid_parse(a_text.c_str(), &a) || !oid_parse(b_text.c_str(), &b) || !oid_parse(c_text.c_str(), &c))
        return;
    const int ab = oid_compare(a, b), ba = oid_compare(b, a), bc = oid_compare(b, c), ac = oid_compare(a, c);
    if ((ab < 0) != (ba > 0) || (ab == 0) != (ba == 0) || oid_compare(a, a) != 0)
        abort();
    if (ab < 0 && bc < 0 && ac >= 0)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (settings.address[0] == nullptr) {
        settings_empty(settings);
        settings.address[0] = "192.0.2.1";
        settings.interval[0] = 5;
    }
    std::string text(reinterpret_cast<const char*>(data), size);
    FILE* in = fmemopen(text.data(), text.size() ? text.size() : 1, "r");
    FILE* out = fopen("/dev/null", "w");
    if (in == nullptr || out == nullptr)
        abort();
    const SnmpLine lines[2] = {{"line", 1, &settings}, {"wan2", 2, &settings}};
    snmp_serve(in, out, lines, 2);
    fclose(in);
    fclose(out);
    // Three OIDs: the input's first three lines.
    size_t first = text.find('\n');
    size_t second = first == std::string::npos ? std::string::npos : text.find('\n', first + 1);
    if (second != std::string::npos)
        check_order(text.substr(0, first), text.substr(first + 1, second - first - 1), text.substr(second + 1));
    return 0;
}
