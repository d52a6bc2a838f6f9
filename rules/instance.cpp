#include "rules/instance.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>

namespace {

constexpr uint32_t fnv1a(const char* text)
{
    uint32_t hash = 2166136261u;
    for (; *text != '\0'; ++text)
        hash = (hash ^ uint8_t(*text)) * 16777619u;
    return hash;
}

static_assert(fnv1a("") == 2166136261u);
static_assert(fnv1a("a") == 0xe40c292cu);
static_assert(fnv1a("foobar") == 0xbf9cf968u);

bool name_character(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

} // namespace

bool instance_name_valid(const char* name)
{
    const size_t length = strlen(name);
    if (length == 0 || length > INSTANCE_NAME_MAX || name[0] == '_' || name[0] == '-')
        return false;
    for (size_t i = 0; i < length; ++i) {
        if (!name_character(name[i]))
            return false;
    }
    return true;
}

int instance_key_project(const char* name)
{
    if (name[0] == '\0')
        return 1;
    return int(2 + fnv1a(name) % 254);
}

bool instance_from_name(const char* name, Instance& instance)
{
    const bool named = name != nullptr && name[0] != '\0';
    const bool valid = !named || instance_name_valid(name);
    instance = Instance{};
    if (named && valid) {
        snprintf(instance.name, sizeof instance.name, "%s", name);
        snprintf(instance.settings_path, sizeof instance.settings_path, "%s.%s", SETTINGS_PATH, name);
        snprintf(instance.availability_parent, sizeof instance.availability_parent, "%s", AVAILABILITY_DIR);
        snprintf(instance.availability_dir, sizeof instance.availability_dir, "%s/%s", AVAILABILITY_DIR, name);
        snprintf(instance.availability_path, sizeof instance.availability_path, "%s/%s/availability.dat",
                 AVAILABILITY_DIR, name);
        snprintf(instance.log_ident, sizeof instance.log_ident, "tolvin-%s", name);
        snprintf(instance.verdict_path, sizeof instance.verdict_path, "%s/tolvind-%s.state", RUN_DIR, name);
    } else {
        snprintf(instance.settings_path, sizeof instance.settings_path, "%s", SETTINGS_PATH);
        snprintf(instance.availability_dir, sizeof instance.availability_dir, "%s", AVAILABILITY_DIR);
        snprintf(instance.availability_path, sizeof instance.availability_path, "%s", AVAILABILITY_PATH);
        snprintf(instance.log_ident, sizeof instance.log_ident, "tolvin");
        snprintf(instance.verdict_path, sizeof instance.verdict_path, "%s", VERDICT_PATH);
    }
    instance.key_project = instance_key_project(instance.name);
    return valid;
}

bool instance_key_clash(const Instance& instance, const char* settings_dir, char* other, size_t other_size)
{
    if (instance.name[0] == '\0')
        return false;              // the default's project id is no named one's
    DIR* dir = opendir(settings_dir);
    if (dir == nullptr)
        return false;
    bool clash = false;
    while (const dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (strncmp(name, "settings.", 9) != 0)
            continue;
        name += 9;
        if (instance_name_valid(name) && strcmp(name, instance.name) != 0 &&
            instance_key_project(name) == instance.key_project) {
            snprintf(other, other_size, "%s", name);
            clash = true;
            break;
        }
    }
    closedir(dir);
    return clash;
}

size_t instance_list(const char* settings_dir, Instance* out, size_t capacity)
{
    if (capacity == 0)
        return 0;
    // The named ones, each kept in order as it is found (there are few).
    char names[INSTANCES_MAX][INSTANCE_NAME_MAX + 1];
    size_t named = 0;
    bool default_file = false;
    if (DIR* dir = opendir(settings_dir)) {
        while (const dirent* entry = readdir(dir)) {
            const char* name = entry->d_name;
            if (strcmp(name, "settings") == 0) {
                default_file = true;
                continue;
            }
            if (strncmp(name, "settings.", 9) != 0 || !instance_name_valid(name + 9))
                continue;
            name += 9;
            size_t at = named;
            while (at > 0 && strcmp(names[at - 1], name) > 0)
                --at;
            if (at == INSTANCES_MAX)
                continue;                  // beyond the last kept
            const size_t last = named < INSTANCES_MAX ? named : INSTANCES_MAX - 1;
            for (size_t i = last; i > at; --i)
                memcpy(names[i], names[i - 1], sizeof names[i]);
            snprintf(names[at], sizeof names[at], "%s", name);
            if (named < INSTANCES_MAX)
                ++named;
        }
        closedir(dir);
    }
    size_t count = 0;
    if (default_file || named == 0)
        instance_from_name(nullptr, out[count++]);
    for (size_t i = 0; i < named && count < capacity; ++i)
        instance_from_name(names[i], out[count++]);
    return count;
}
