// Files that readers must never find half written, such as the exposition
// for node_exporter's textfile collector.
#pragma once

#include <cstddef>

// Writes `data` as DIRECTORY/NAME: a temporary file in the same directory
// (a name starting with a dot, which the collector skips), written, flushed
// to disk and renamed over the old one, mode 0644. 0, or the errno of the
// step that failed (the temporary file is removed then).
int write_file_atomically(const char* directory, const char* name, const char* data, size_t length);
