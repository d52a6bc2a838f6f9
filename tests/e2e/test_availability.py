#!/usr/bin/python3
"""The availability file: creation, restarts, the lock, failures, and a
reader that never finds it incomplete while the daemon is killed."""

import os
import random
import re
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sandbox
from sandbox import LOG_ERR, check

# Run under emulation too, for a big-endian router.
CORE = ("first_start_creates_directory_and_file",
        "restarts_with_and_without_continuation")

DIRECTORY = "/var/data/tolvin"
FILE = DIRECTORY + "/availability.dat"
SUCCESS = r"Ping to 127\.0\.0\.1: successful with response in \d+\.\d ms"


def read_record():
    with open(FILE) as f:
        text = f.read()
    check(re.fullmatch(r"-?\d+\n\d+\n\d+\n\d+\n", text), "file holds %r" % text)
    return [int(n) for n in text.split()]


def wait_successes(sb, count, start=0):
    index = start - 1
    for _ in range(count):
        index, _ = sb.log.wait_for(SUCCESS, start=index + 1)
    return index


def scenario_first_start_creates_directory_and_file(sb):
    check(os.path.isdir("/var/data") and not os.path.exists(DIRECTORY), "sandbox /var/data")
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, LOGALL=1, EXPOSEAVAIL=1)
    began = int(time.time())
    daemon = sb.start()
    wait_successes(sb, 3)
    daemon.wait_asleep()
    check(os.path.isdir(DIRECTORY), "directory not created")
    start, elapsed, monitored, available = read_record()
    check(abs(start - began) <= 1, "start_time %d, began %d" % (start, began))
    check(elapsed == monitored == available and 1 <= elapsed <= 3, "record %r" % read_record())


def run_until_successes(sb, count, *args):
    """Starts the daemon, waits for `count` successful cycles of this run and
    kills it once the last cycle has written the file and gone to sleep
    (the success is logged before the cycle writes its figures)."""
    first = len(sb.log.snapshot())
    daemon = sb.start(*args)
    wait_successes(sb, count, start=first)
    daemon.wait_asleep()
    daemon.stop()
    return read_record()


def scenario_restarts_with_and_without_continuation(sb):
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, LOGALL=1, EXPOSEAVAIL=1)
    first = run_until_successes(sb, 3)
    time.sleep(3)                                   # the daemon is down
    # Without -c the gap is neither monitored nor available.
    second = run_until_successes(sb, 3)
    check(second[0] == first[0], "start_time changed")
    grown = second[2] - first[2]
    check(1 <= grown <= 3, "monitored grew by %d over a run of about 2 s" % grown)
    check(second[3] - first[3] <= grown, "available grew by more than monitored")
    check(second[1] - first[1] >= 5, "elapsed counts the gap: %r then %r" % (first, second))
    time.sleep(3)
    # With -c the gap counts as monitored and available.
    third = run_until_successes(sb, 3, "-c")
    grown = third[2] - second[2]
    check(5 <= grown <= 8, "monitored grew by %d over a gap of 3 s and a run of 2 s" % grown)
    check(third[3] - second[3] == grown, "available %r then %r" % (second, third))


def scenario_two_numbers_are_logged_and_the_daemon_runs(sb):
    sb.write(FILE, "1700000000\n5000\n")
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, LOGALL=1, EXPOSEAVAIL=1)
    daemon = sb.start()
    _, line = sb.log.wait_for(r'Can not read data about availability from "%s": .*' % FILE)
    check(line.level == LOG_ERR, "level %d" % line.level)
    wait_successes(sb, 2)
    daemon.wait_asleep()
    check(daemon.alive(), "daemon ended")
    start, elapsed, monitored, available = read_record()
    check(start == 1700000000 and monitored <= 2 and available <= monitored, "record %r" % read_record())


def scenario_second_daemon_stops_at_the_lock(sb):
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, LOGALL=1, EXPOSEAVAIL=1)
    first = sb.start()
    wait_successes(sb, 1)
    rc, _, _ = sb.start().wait()
    check(rc == 1, "second daemon exit status %d" % rc)
    _, line = sb.log.wait_for(r'Can not get exclusive access to file "%s" \(an instance alread '
                              r'running\?\): Resource temporarily unavailable' % FILE)
    check(line.level == LOG_ERR, "level %d" % line.level)
    check(first.alive(), "first daemon ended")


def scenario_directory_that_cannot_be_created(sb):
    subprocess.run(["rm", "-rf", "/var/data"], check=True)
    sb.write("/var/data", "a file where the directory should be\n")
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, EXPOSEAVAIL=1)
    rc, _, _ = sb.start().wait()
    check(rc == 1, "exit status %d" % rc)
    sb.log.wait_for(r'Can not open file "%s" with data about availability for reading/writing: '
                    r'Not a directory' % FILE)


def scenario_file_that_cannot_be_written(sb):
    os.makedirs(DIRECTORY, exist_ok=True)
    sb.write(FILE, "1700000000\n1\n1\n1\n")
    subprocess.run(["mount", "-t", "tmpfs", "-o", "ro", "tolvin-ro", DIRECTORY], check=True)
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, EXPOSEAVAIL=1)
    rc, _, _ = sb.start().wait()
    check(rc == 1, "exit status %d" % rc)
    sb.log.wait_for(r'Can not (open|create) file "%s" .*: Read-only file system' % FILE)


def scenario_nothing_is_written_while_the_window_waits(sb):
    sb.write(FILE, "1700000000\n10\n10\n10\n")
    hour = time.localtime().tm_hour
    sb.settings(IPADDR="127.0.0.1", PINGINT=1, LOGALL=1, EXPOSEAVAIL=1,
                STARTTIME="%02d:00" % ((hour + 2) % 24), STOPTIME="%02d:00" % ((hour + 3) % 24))
    daemon = sb.start()
    daemon.wait_asleep(times=3)                     # three seconds of the closed window
    check(daemon.alive(), "daemon ended")
    check(read_record() == [1700000000, 10, 10, 10], "record %r" % read_record())
    check([l.text for l in sb.log.snapshot()] == ["started"], "log %r" % sb.log.snapshot())


def scenario_reader_never_finds_fewer_than_four_numbers(sb):
    # As fast as it can: interval 0 makes every cycle a poll and a write.
    sb.settings(IPADDR="127.0.0.1", PINGINT=0, EXPOSEAVAIL=1)
    stop = threading.Event()
    bad = []
    reads = [0]

    def reader():
        while not stop.is_set():
            try:
                with open(FILE) as f:
                    text = f.read()
            except FileNotFoundError:
                continue
            numbers = text.split()
            reads[0] += 1
            if len(numbers) < 4 or not all(re.fullmatch(r"-?\d+", n) for n in numbers[:4]):
                bad.append(text)

    thread = threading.Thread(target=reader, daemon=True)
    thread.start()
    randomness = random.Random(1208)
    daemon = sb.start()
    # The first run makes the file (a slower build, the sanitized one, may
    # take longer than the shortest pause).
    sandbox.wait_until(lambda: os.path.exists(FILE), "the availability file", 10)
    last = None
    for _ in range(25):
        time.sleep(randomness.uniform(0.05, 0.4))
        daemon.stop()
        record = read_record()
        if last is not None:
            check(record[0] == last[0] and record[2] >= last[2],
                  "record went back from %r to %r" % (last, record))
        last = record
        daemon = sb.start("-c")
    # Until the last run has rewritten the file (it counts the gap from the
    # next second on, if not before).
    sandbox.wait_until(lambda: read_record() != last, "the last run's update", 5)
    daemon.stop()
    stop.set()
    thread.join()
    check(not bad, "%d of %d reads found fewer than four numbers, e.g. %r" % (len(bad), reads[0], bad[:3]))
    check(reads[0] > 1000, "only %d reads" % reads[0])
    check(read_record()[2] >= last[2], "the last run did not carry on")


if __name__ == "__main__":
    sandbox.main(globals())
