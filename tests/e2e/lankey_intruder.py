#!/usr/bin/python3
"""An intruder on the LAN of the LAN key test (lankey.sh), Python 3 standard library only.

  ask HOST PORT update           asks a server port for its whole journal: "UPDATE!", an empty
                                 line and the journal request from the start
  ask HOST PORT tunnel TARGET    asks it for a tunnel to TARGET (HOST:PORT as the server sees it)
                                 and sends a line into it
      Either prints "bytes=N closed=yes|no ms=T text=FIRST-LINE": what came back before the
      server closed the connection (or 8 s passed, or a tunnel's line came back), and how long
      that took.
  replay FROM BROADCAST          waits up to 8 s for an announcement sent by FROM, sends a copy
                                 to BROADCAST and prints "type=T name=NAME sealed=yes|no"
"""

import socket
import struct
import sys
import time

PEER_PORT = 42717
MAGIC1, MAGIC2 = 0x27021977, 0x019C5299
JOURNAL_ID, JOURNAL_VERSION = 0x27021977, 0x00010000
SEAL_OFFSET, SEAL_TAG = 476, b"HKM1"
LIMIT_S = 8.0


def ask(host, port, kind, target=None):
    if kind == "update":
        request = b"UPDATE!\r\n\r\n" + struct.pack("<iii", JOURNAL_ID, JOURNAL_VERSION, 0)
    else:
        request = f"SOCKPROXY V1 (NT)\r\nCONNECT {target}\r\nintruder\n".encode()
    start = time.monotonic()
    received = b""
    closed = False
    with socket.create_connection((host, port), timeout=LIMIT_S) as s:
        try:
            s.sendall(request)
        except OSError:
            pass  # closed before all was sent: what came back still counts
        while True:
            left = LIMIT_S - (time.monotonic() - start)
            if left <= 0:
                break
            s.settimeout(left)
            try:
                piece = s.recv(65536)
            except socket.timeout:
                break
            except OSError:  # reset: closed as well
                closed = True
                break
            if not piece:
                closed = True
                break
            received += piece
            if kind == "tunnel" and b"\n" in received:
                break  # the line came back through the tunnel: that answers the question
    elapsed = int(1000 * (time.monotonic() - start))
    first = received.split(b"\n", 1)[0].decode("latin-1").strip()
    first = "".join(c if c.isprintable() else "." for c in first)[:60]
    print(f"bytes={len(received)} closed={'yes' if closed else 'no'} ms={elapsed} text={first}")


def replay(sender, broadcast):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        s.bind(("", PEER_PORT))
        deadline = time.monotonic() + LIMIT_S
        while time.monotonic() < deadline:
            s.settimeout(max(deadline - time.monotonic(), 0.01))
            try:
                data, (address, _) = s.recvfrom(2048)
            except socket.timeout:
                break
            if address != sender or len(data) != 512:
                continue
            magic1, magic2, _, kind = struct.unpack_from("<iiHH", data)
            if (magic1, magic2) != (MAGIC1, MAGIC2):
                continue
            s.sendto(data, (broadcast, PEER_PORT))
            name = data[12:44].split(b"\0", 1)[0].decode("cp1252")
            sealed = data[SEAL_OFFSET:SEAL_OFFSET + 4] == SEAL_TAG
            print(f"type={kind} name={name} sealed={'yes' if sealed else 'no'}")
            return
    print(f"nothing heard from {sender} in {LIMIT_S:.0f} s")
    sys.exit(1)


if __name__ == "__main__":
    command = sys.argv[1]
    if command == "ask":
        ask(sys.argv[2], int(sys.argv[3]), sys.argv[4], *sys.argv[5:6])
    elif command == "replay":
        replay(sys.argv[2], sys.argv[3])
    else:
        sys.exit(f"unknown command {command}")
