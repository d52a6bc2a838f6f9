#!/usr/bin/python3
"""An echo responder for a test host whose kernel does not answer echo
requests itself (this kernel has no netem to delay a path):

  echo_responder.py delay SECONDS   answers every ICMP and ICMPv6 echo request
                                    after SECONDS
  echo_responder.py late SECONDS    answers none, but every SECONDS sends an
                                    echo reply with the identifier of the
                                    newest request and an older sequence
                                    number, as replies that come too late do
  echo_responder.py drop PATTERN [SOURCE...]
                                    answers the requests of each family in
                                    turn as PATTERN says, over and over: "a"
                                    at once, "-" not at all (a lossy line);
                                    with SOURCEs, only theirs (a lossy line
                                    beside a good one), the others at once
  echo_responder.py follow FILE     as FILE says at each request ("drop
                                    PATTERN" or "delay SECONDS"): a line whose
                                    condition changes without a gap

Runs until killed; says "ready" on standard output once its sockets are open."""

import heapq
import os
import select
import socket
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sandbox import internet_checksum  # noqa: E402

ECHO_REQUEST = {socket.AF_INET: 8, socket.AF_INET6: 128}
ECHO_REPLY = {socket.AF_INET: 0, socket.AF_INET6: 129}


def reply(family, identifier_bytes, sequence, payload):
    message = struct.pack("!BBH", ECHO_REPLY[family], 0, 0) + identifier_bytes \
        + struct.pack("!H", sequence) + payload
    if family == socket.AF_INET:   # the kernel fills in the ICMPv6 checksum
        message = message[:2] + struct.pack("!H", ~internet_checksum(message) & 0xFFFF) + message[4:]
    return message


def main():
    mode, argument = sys.argv[1], sys.argv[2]
    followed = argument if mode == "follow" else None
    if followed:
        mode, argument = open(followed).read().split()
    seconds = 0.0 if mode == "drop" else float(argument)
    received = {socket.AF_INET: 0, socket.AF_INET6: 0}
    sockets = {socket.AF_INET: socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP),
               socket.AF_INET6: socket.socket(socket.AF_INET6, socket.SOCK_RAW,
                                              socket.IPPROTO_ICMPV6)}
    print("ready", flush=True)
    due = []          # (time, family, message, address)
    newest = {}       # family -> (identifier bytes, sequence, payload, address)
    next_late = time.monotonic() + seconds
    while True:
        now = time.monotonic()
        wake = [due[0][0]] if due else []
        if mode == "late":
            wake.append(next_late)
        timeout = max(0.0, min(wake) - now) if wake else None
        readable, _, _ = select.select(list(sockets.values()), [], [], timeout)
        for family, sock in sockets.items():
            if sock not in readable:
                continue
            data, address = sock.recvfrom(65536)
            message = data[4 * (data[0] & 15):] if family == socket.AF_INET else data
            if len(message) < 8 or message[0] != ECHO_REQUEST[family]:
                continue
            sequence = struct.unpack("!H", message[6:8])[0]
            if followed:
                said = open(followed).read().split()
                if len(said) == 2 and said != [mode, argument]:     # a new condition, from its start
                    mode, argument = said
                    seconds = 0.0 if mode == "drop" else float(argument)
                    received = {socket.AF_INET: 0, socket.AF_INET6: 0}
            if mode == "drop" and len(sys.argv) > 3 and address[0] not in sys.argv[3:]:
                sock.sendto(reply(family, message[4:6], sequence, message[8:]), address)
                continue
            turn = received[family]
            received[family] += 1
            if mode == "drop":
                if argument[turn % len(argument)] == "a":
                    sock.sendto(reply(family, message[4:6], sequence, message[8:]), address)
            elif mode == "delay":
                heapq.heappush(due, (time.monotonic() + seconds, family,
                                     reply(family, message[4:6], sequence, message[8:]), address))
            else:
                newest[family] = (message[4:6], sequence, message[8:], address)
        now = time.monotonic()
        while due and due[0][0] <= now:
            _, family, message, address = heapq.heappop(due)
            sockets[family].sendto(message, address)
        if mode == "late" and now >= next_late:
            next_late += seconds
            for family, (identifier, sequence, payload, address) in newest.items():
                sockets[family].sendto(reply(family, identifier, (sequence - 1) & 0xFFFF, payload),
                                       address)


if __name__ == "__main__":
    main()
