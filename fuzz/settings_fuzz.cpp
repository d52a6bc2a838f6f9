// The settings line scan and both getters on any file content.
// Input: one byte choosing a key, then the file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "rules/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const SettingKey& entry = settings_keys[data[0] % SETTINGS_KEY_COUNT];
    FILE* file = fmemopen(const_cast<uint8_t*>(data + 1), size - 1, "r");
    if (size == 1 || file == nullptr)
        file = nullptr;
    const char* found = settings_find(file, entry.key);
    if (found != nullptr && strlen(found) >= SETTINGS_LINE_BYTES)
        abort();
    (void)settings_get_uint(file, entry.key);
    // A found value is a heap copy; an absent one the shared "".
    const char* text = settings_get_string(file, entry.key);
    if (found != nullptr)
        free(const_cast<char*>(text));
    // A lower-case spelling finds the same line.
    char lower[64];
    snprintf(lower, sizeof lower, "%s", entry.key);
    for (char* c = lower; *c; ++c)
        *c = char(*c >= 'A' && *c <= 'Z' ? *c + 32 : *c);
    const char* again = settings_find(file, lower);
    if ((found == nullptr) != (again == nullptr))
        abort();
    if (file != nullptr)
        fclose(file);
    return 0;
}
