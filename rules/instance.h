// Which line a daemon watches: the default instance, or one named by
// TOLVIN_INSTANCE on a router with more than one line. The name chooses the
// settings file, the availability file, the system log's ident, the file of
// its verdict on the line and the statistics segment's key; the reader
// (tolvinstat) uses the same rules.
#pragma once

#include <cstddef>

#include "rules/layout.h"

inline constexpr const char* INSTANCE_VARIABLE = "TOLVIN_INSTANCE";
inline constexpr size_t INSTANCE_NAME_MAX = 15;

struct Instance {
    char name[INSTANCE_NAME_MAX + 1];   // "" for the default instance
    char settings_path[64];
    char availability_dir[64];          // made by the daemon
    char availability_parent[64];       // made first, when not the system's own
    char availability_path[96];
    char log_ident[8 + INSTANCE_NAME_MAX];
    char verdict_path[48];              // the line's state as the daemon judges it
    int key_project;                    // ftok's project id of the segment's key
};

// Whether `name` is a valid instance name: 1 to 15 of a-z, 0-9, '_' and '-',
// the first a letter or a digit.
bool instance_name_valid(const char* name);

// The instance of `name`: null or "" for the default one. False when the
// name is not valid (`instance` then describes the default).
bool instance_from_name(const char* name, Instance& instance);

// The project id of a named instance's segment key: 2 to 255, from the name;
// the default instance's is 1.
int instance_key_project(const char* name);

// The name of another instance that has a settings file in `settings_dir`
// and whose segment key would be this instance's, copied to `other`; false
// when there is none.
bool instance_key_clash(const Instance& instance, const char* settings_dir, char* other, size_t other_size);

// The most instances a reader lists: the default and 15 named ones.
inline constexpr size_t INSTANCES_MAX = 16;

// Every instance a reader shows, into `out` (at most `capacity`): those with
// a settings file in `settings_dir`, named ones by name; the default first,
// and the default alone when it has no file and no named one has either
// (a router of one line, as it always was). Returns how many.
size_t instance_list(const char* settings_dir, Instance* out, size_t capacity);
