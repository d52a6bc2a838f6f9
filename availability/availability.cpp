#include "availability/availability.h"

#include <cerrno>
#include <cstring>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "host/host.h"

namespace {

FILE* file = nullptr;
const char* file_path = AVAILABILITY_PATH;
AvailabilityRecord record = {};
AvailabilityRun run = {};

// Seconds from `from` to `now`; a clock set back gives 0, never a wrap.
unsigned long seconds_since(long from, time_t now)
{
    return now > from ? static_cast<unsigned long>(now - from) : 0;
}

bool lock(FILE* stream)
{
    return flock(fileno(stream), LOCK_EX | LOCK_NB) == 0;
}

} // namespace

bool availability_open(const char* directory, const char* path, const char* parent)
{
    file_path = path;
    record = {};
    file = fopen(path, "r+e");
    if (file != nullptr) {
        if (!lock(file)) {
            host_log(LOG_ERR,
                     "Can not get exclusive access to file \"%s\" (an instance alread running?): %s",
                     path, strerror(errno));
            fclose(file);
            file = nullptr;
            return false;
        }
        errno = 0;
        int read = fscanf(file, "%ld\n%lu\n%lu\n%lu", &record.start_time, &record.elapsed,
                          &record.monitored, &record.available);
        if (read < 4) {
            host_log(LOG_ERR, "Can not read data about availability from \"%s\": %s", path,
                     strerror(errno));
            // The numbers read stand; the rest stay 0.
        }
        return true;
    }
    if (errno != ENOENT) {
        host_log(LOG_ERR,
                 "Can not open file \"%s\" with data about availability for reading/writing: %s",
                 path, strerror(errno));
        return false;
    }
    if (parent != nullptr && mkdir(parent, 0766) != 0 && errno != EEXIST)
        host_log(LOG_ERR, "Can not create folder \"%s\" for data about availability: %s", parent,
                 strerror(errno));
    if (mkdir(directory, 0766) != 0 && errno != EEXIST)
        host_log(LOG_ERR, "Can not create folder \"%s\" for data about availability: %s", directory,
                 strerror(errno));
    file = fopen(path, "we");
    if (file == nullptr) {
        host_log(LOG_ERR, "Can not create file \"%s\" for data about availability: %s", path,
                 strerror(errno));
        return false;
    }
    if (!lock(file)) {
        host_log(LOG_ERR, "Can not lock file \"%s\": %s", path, strerror(errno));
        fclose(file);
        file = nullptr;
        return false;
    }
    // A new file holds a record of zeros from the start, never nothing.
    availability_write(file, path, record);
    return true;
}

void availability_setup(AvailabilityRecord& rec, AvailabilityRun& r, bool continuation, time_t now)
{
    r.base_monitored = rec.monitored;
    r.avail_total = rec.available;
    if (rec.start_time == 0)
        rec.start_time = now;
    if (continuation) {
        // Continue from the previous run's last write, the gap counting as
        // monitored and available.
        r.run_ref = rec.start_time + long(rec.elapsed);
        r.avail_since = r.run_ref;
    } else {
        r.run_ref = now;
        r.avail_since = 0;
    }
}

void availability_account(AvailabilityRecord& rec, AvailabilityRun& r, uint32_t failure_streak,
                          time_t now)
{
    if (failure_streak > 0) {
        // The line is out (or was until a fail-over probe saved this cycle):
        // an open period is closed and banked.
        if (r.avail_since != 0) {
            r.avail_total += seconds_since(r.avail_since, now);
            rec.available = r.avail_total;
            r.avail_since = 0;
        }
    } else {
        long since = rec.elapsed != 0 ? r.avail_since : r.run_ref;
        if (since != 0) {
            r.avail_since = since;
            rec.available = r.avail_total + seconds_since(since, now);
        } else {
            r.avail_since = long(now);
        }
    }
    rec.elapsed = seconds_since(rec.start_time, now);
    rec.monitored = r.base_monitored + seconds_since(r.run_ref, now);
}

void availability_begin(bool continuation, time_t now)
{
    availability_setup(record, run, continuation, now);
}

void availability_update(uint32_t failure_streak, time_t now)
{
    availability_account(record, run, failure_streak, now);
    availability_write(file, file_path, record);
}

const AvailabilityRecord& availability_record()
{
    return record;
}

void availability_write(FILE* stream, const char* path, const AvailabilityRecord& rec)
{
    // Four numbers of at most 20 digits and a sign each.
    char text[4 * 22];
    int length = snprintf(text, sizeof text, "%ld\n%lu\n%lu\n%lu\n", rec.start_time, rec.elapsed,
                          rec.monitored, rec.available);
    // Written over the start of the file in one call, past the stream's buffer.
    ssize_t written = pwrite(fileno(stream), text, size_t(length), 0);
    if (written != length) {
        if (written >= 0)
            errno = ENOSPC;
        host_log(LOG_ERR, "Can not write data about availability to \"%s\": %s", path,
                 strerror(errno));
        return;
    }
    // Only now cut away what is left of a longer record.
    if (ftruncate(fileno(stream), off_t(length)) != 0)
        host_log(LOG_ERR, "Can not truncate file \"%s\" to zero length: %s", path, strerror(errno));
}
