#include "tolvinstat/snapshot.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

namespace {

constexpr int SNAPSHOT_ATTEMPTS = 50;
constexpr int AVAILABILITY_ATTEMPTS = 20;
// Time for a writer pre-empted half way through a record to finish it.
constexpr useconds_t HALF_WRITTEN_PAUSE_USEC = 2000;

LinkStats scratch;    // the second copy of every snapshot

SnapshotStatus status_of(int error)
{
    if (error == ENOENT)
        return SNAPSHOT_NO_SEGMENT;
    return error == EACCES || error == EPERM ? SNAPSHOT_DENIED : SNAPSHOT_FAILED;
}

// The availability file read whole; a rewrite caught half way is read again.
// False when there is no file or it never held a whole record.
bool read_availability(const char* path, AvailabilityRecord* record)
{
    for (int attempt = 0; attempt < AVAILABILITY_ATTEMPTS; ++attempt) {
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd == -1)
            return false;
        char text[256];
        ssize_t length = read(fd, text, sizeof text - 1);
        close(fd);
        if (length >= 0) {
            text[length] = '\0';
            if (parse_availability(text, record))
                return true;
        }
        usleep(1000);
    }
    return false;
}

} // namespace

void snapshot_read(Snapshot& snapshot, int key_project, uint32_t short_term, const char* availability_path,
                   const char* verdict_path)
{
    snapshot.now = time(nullptr);
    snapshot.attachments = 0;
    snapshot.has_availability = false;
    snapshot.has_verdict = false;
    snapshot.error = 0;
    // The segment is looked up afresh each time: it appears with the
    // daemon's first start and may be removed and made anew.
    key_t key = ftok(LINK_STATS_KEY_PATH, key_project);
    int id = key == -1 ? -1 : shmget(key, 0, 0);
    shmid_ds info;
    if (id == -1 || shmctl(id, IPC_STAT, &info) == -1) {
        snapshot.error = errno;
        snapshot.status = status_of(errno);
        return;
    }
    if (info.shm_segsz < sizeof(LinkStats)) {
        snapshot.status = SNAPSHOT_NOT_THE_BLOCK;
        return;
    }
    // Counted before this reader attaches.
    snapshot.attachments = uint32_t(info.shm_nattch);
    void* address = shmat(id, nullptr, SHM_RDONLY);
    if (address == reinterpret_cast<void*>(-1)) {
        snapshot.error = errno;
        snapshot.status = status_of(errno);
        return;
    }
    bool agreed = snapshot_block(static_cast<const LinkStats*>(address), &snapshot.block, &scratch, short_term,
                                 snapshot.attachments > 0, SNAPSHOT_ATTEMPTS);
    shmdt(address);
    if (!agreed)
        snapshot.status = SNAPSHOT_CHANGING;
    else if (snapshot.block.tag != LINK_STATS_TAG)
        snapshot.status = SNAPSHOT_NOT_THE_BLOCK;
    else
        snapshot.status = SNAPSHOT_OK;
    if (snapshot.status != SNAPSHOT_OK)
        return;
    snapshot.window = link_window_from_ring(snapshot.block, short_term);
    if (availability_path != nullptr)
        snapshot.has_availability = read_availability(availability_path, &snapshot.availability);
    // A verdict left by a daemon that has ended, or by the one before a
    // restart, is no verdict.
    if (verdict_path != nullptr && snapshot.attachments > 0 && verdict_read(verdict_path, &snapshot.verdict))
        snapshot.has_verdict = kill(snapshot.verdict.pid, 0) == 0 || errno == EPERM;
}

const char* snapshot_line_state(const Snapshot& snapshot)
{
    return snapshot.has_verdict ? VERDICT_STATE_NAMES[snapshot.verdict.state] : "unknown";
}

const char* snapshot_problem(const Snapshot& snapshot)
{
    switch (snapshot.status) {
    case SNAPSHOT_OK:
        return "";
    case SNAPSHOT_NO_SEGMENT:
        return "no statistics: tolvind has not run since boot";
    case SNAPSHOT_DENIED:
        return "permission denied: the statistics belong to the user tolvind runs as";
    case SNAPSHOT_NOT_THE_BLOCK:
        return "the segment under tolvind's key is not its statistics block";
    case SNAPSHOT_CHANGING:
        return "the statistics kept changing while being read; try again";
    case SNAPSHOT_FAILED:
        break;
    }
    return strerror(snapshot.error);
}

void copy_block(LinkStats* to, const volatile LinkStats* from)
{
    memcpy(to, const_cast<const LinkStats*>(from), sizeof(LinkStats));
}

bool snapshot_block(const volatile LinkStats* shared, LinkStats* out, LinkStats* scratch_copy, uint32_t short_term,
                    bool writer_attached, int attempts, BlockCopy copy)
{
    for (int i = 0; i < attempts; ++i) {
        copy(out, shared);
        copy(scratch_copy, shared);
        if (memcmp(out, scratch_copy, sizeof(LinkStats)) != 0)
            continue;
        // Another program's segment is told apart by its tag, not read again.
        if (!writer_attached || out->tag != LINK_STATS_TAG || link_stats_whole(*out, short_term))
            return true;
        if (i + 1 < attempts)
            usleep(HALF_WRITTEN_PAUSE_USEC);
    }
    return false;
}

bool parse_availability(const char* text, AvailabilityRecord* record)
{
    int consumed = 0;
    AvailabilityRecord parsed = {};
    if (sscanf(text, "%ld\n%lu\n%lu\n%lu\n%n", &parsed.start_time, &parsed.elapsed,
               &parsed.monitored, &parsed.available, &consumed) != 4)
        return false;
    // The daemon writes exactly four lines; anything after them is a
    // rewrite caught half way.
    if (consumed == 0 || text[consumed] != '\0' || text[consumed - 1] != '\n')
        return false;
    *record = parsed;
    return true;
}
