// The daemon's verdict on its line, published for readers in a small file
// under /var/run, one per instance (rules/instance.h): the line state,
// whether its quality is degraded, since when, and the judged figures. The
// file is replaced whole, and only at a change (and once at start); a reader
// trusts it only while the daemon that wrote it runs.
#pragma once

#include <cstddef>
#include <cstdint>

enum VerdictState { VERDICT_WORKING = 0, VERDICT_FAILED = 1, VERDICT_LOST = 2 };

inline constexpr const char* VERDICT_STATE_NAMES[3] = {"working", "failed", "lost"};

struct Verdict {
    int32_t pid;                // of the daemon that wrote it
    VerdictState state;
    bool degraded;
    int64_t since;              // the latest change, seconds since the epoch
    uint32_t judged_probes;     // 0 when the quality was not judged
    uint32_t lost;
    int64_t median_rtt_usec;    // -1 none
};

// The file's text: "key=value" lines.
size_t verdict_format(char* text, size_t size, const Verdict& verdict);

// A whole verdict from the file's text; false for anything else.
bool verdict_parse(const char* text, Verdict* verdict);

// Writes the text to `path` through a file beside it, renamed over it: a
// reader sees the old verdict or the new one. 0, or the errno of the failure.
int verdict_write(const char* path, const Verdict& verdict);

// The verdict in the file at `path`; false when there is none, or it is not
// whole.
bool verdict_read(const char* path, Verdict* verdict);

// The judged figures as people and the event program read them: the loss in
// whole percent, rounded; the median in ms with one decimal ("" without a
// reply); both "" when nothing was judged.
void verdict_loss_text(char (&text)[16], uint32_t probes, uint32_t lost);
void verdict_rtt_text(char (&text)[16], uint32_t probes, int64_t median_usec);

// "loss 50 % and median round-trip time 3.1 ms over the last 10 probes".
void verdict_describe_quality(char* text, size_t size, uint32_t probes, uint32_t lost, int64_t median_usec);
