// parse_time_of_day on any text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "rules/window.h"
#include "host/fake_host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    int32_t minute = parse_time_of_day(text.c_str());
    if (minute != -1 && (minute < 0 || minute > 1439))
        abort();
    // An empty text is silent; anything else not a time is logged once.
    if (minute == -1 && text.c_str()[0] != '\0' && fake_host.log.size() != 1)
        abort();
    fake_host.log.clear();
    return 0;
}
