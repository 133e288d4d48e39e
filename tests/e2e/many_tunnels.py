#!/usr/bin/python3
"""Target and client of the many-tunnels test (many_tunnels.sh), Python 3 standard library only.

  serve ADDRESS ECHO_PORT AFTER_EOF_PORT COUNT_PORT
      The target, one selector loop for any number of connections, until killed. ECHO_PORT sends
      back whatever arrives and closes once the client has closed and all is sent back.
      AFTER_EOF_PORT answers nothing until the client has shut down its sending side, then sends
      back everything it got and closes. COUNT_PORT answers "live=N peak=N" (connections of the
      other two ports open now, and the most at once) and closes.

  hold HOST PORT COUNT WINDOW HELD_FILE RELEASE_FILE LIMIT_S
      Opens COUNT connections to an echo port, at most WINDOW of them being set up at a time (the
      connect and the echo of a first message), and keeps every one open. Then it writes
      HELD_FILE, waits for RELEASE_FILE, sends a second message on every connection at once,
      checks every echo and that no byte more came, and closes them all. The messages differ
      from connection to connection and hold every byte value. Prints "key=value" lines; exits 1
      when any connection failed or LIMIT_S seconds passed.

  half-close HOST PORT BYTES LIMIT_S
      Sends BYTES to an after-EOF port, shuts down its sending side, and expects all of them
      back and then the end of the connection within LIMIT_S seconds.
"""

import os
import random
import selectors
import socket
import sys
import time


# --- The target


class Served:
    def __init__(self, sock, kind):
        self.sock = sock
        self.kind = kind  # "echo" or "after-eof"
        self.pending = bytearray()
        self.got_eof = False


def serve(address, echo_port, after_eof_port, count_port):
    selector = selectors.DefaultSelector()
    listeners = {}
    for port, kind in ((echo_port, "echo"), (after_eof_port, "after-eof"), (count_port, "count")):
        listener = socket.socket()
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((address, port))
        listener.listen(socket.SOMAXCONN)
        listener.setblocking(False)
        listeners[listener] = kind
        selector.register(listener, selectors.EVENT_READ)
    live = peak = 0

    def close(served):
        nonlocal live
        selector.unregister(served.sock)
        served.sock.close()
        live -= 1

    def flush(served):
        # Sends what it can; returns False once the connection is closed.
        try:
            while served.pending:
                sent = served.sock.send(served.pending)
                del served.pending[:sent]
        except BlockingIOError:
            pass
        except OSError:
            close(served)
            return False
        if not served.pending and served.got_eof:
            close(served)
            return False
        events = selectors.EVENT_WRITE if served.pending else 0
        # An echo stops reading while it cannot send, so a fast client cannot grow its buffer.
        if not served.got_eof and (served.kind == "after-eof" or not served.pending):
            events |= selectors.EVENT_READ
        selector.modify(served.sock, events, served)
        return True

    while True:
        for key, events in selector.select():
            if key.fileobj in listeners:
                kind = listeners[key.fileobj]
                try:
                    client, _ = key.fileobj.accept()
                except OSError:
                    continue
                if kind == "count":
                    client.sendall(f"live={live} peak={peak}\n".encode())
                    client.close()
                    continue
                client.setblocking(False)
                live += 1
                peak = max(peak, live)
                selector.register(client, selectors.EVENT_READ, Served(client, kind))
                continue
            served = key.data
            if events & selectors.EVENT_READ:
                try:
                    data = served.sock.recv(65536)
                except OSError:
                    close(served)
                    continue
                if data:
                    served.pending += data
                    if served.kind == "after-eof":
                        continue  # nothing goes back before the end
                else:
                    served.got_eof = True
            flush(served)


# --- The clients


class Failure(Exception):
    pass


class Held:
    """One client connection and the message it waits to see echoed."""

    def __init__(self, index):
        self.index = index
        self.sock = None
        self.connecting = False
        self.out = b""
        self.expected = b""
        self.received = bytearray()


def message(rng, index, round_no, low, high):
    head = f"{index}/{round_no}:".encode()
    return head + rng.randbytes(rng.randint(low, high)) + bytes(range(256))


def exchange(selector, conns, deadline, failures):
    """Drives conns until each has sent its message and had it echoed in full; a connection that
    fails is closed and listed in failures. Returns the connections that are done."""
    done = []
    for conn in conns:
        events = selectors.EVENT_WRITE | (0 if conn.connecting else selectors.EVENT_READ)
        selector.register(conn.sock, events, conn)
    waiting = len(conns)

    def fail(conn, why):
        nonlocal waiting
        failures.append(f"connection {conn.index}: {why}")
        selector.unregister(conn.sock)
        conn.sock.close()
        waiting -= 1

    while waiting > 0:
        left = deadline - time.monotonic()
        if left <= 0:
            for key in list(selector.get_map().values()):
                fail(key.data, "no echo in time")
            break
        for key, events in selector.select(min(left, 1.0)):
            conn = key.data
            if conn.connecting and events & selectors.EVENT_WRITE:
                error = conn.sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
                if error:
                    fail(conn, f"connect: {os.strerror(error)}")
                    continue
                conn.connecting = False
            try:
                if events & selectors.EVENT_WRITE and conn.out:
                    sent = conn.sock.send(conn.out)
                    conn.out = conn.out[sent:]
                if events & selectors.EVENT_READ:
                    data = conn.sock.recv(65536)
                    if not data:
                        fail(conn, f"closed after {len(conn.received)} bytes of the echo")
                        continue
                    conn.received += data
            except BlockingIOError:
                pass
            except OSError as error:
                fail(conn, f"{error.strerror or error}")
                continue
            if len(conn.received) >= len(conn.expected):
                selector.unregister(conn.sock)
                waiting -= 1
                if conn.received != conn.expected:
                    failures.append(f"connection {conn.index}: the echo differs from the message")
                    conn.sock.close()
                else:
                    done.append(conn)
                continue
            wanted = selectors.EVENT_READ | (selectors.EVENT_WRITE if conn.out else 0)
            selector.modify(conn.sock, wanted, conn)
    return done


def start(conn, text):
    conn.out = text
    conn.expected = text
    conn.received = bytearray()


def hold(host, port, count, window, held_file, release_file, limit_s):
    deadline = time.monotonic() + limit_s
    rng = random.Random(f"{count}-{os.getpid()}")
    selector = selectors.DefaultSelector()
    failures = []
    held = []
    started = time.monotonic()
    for first in range(0, count, window):
        batch = []
        for index in range(first, min(first + window, count)):
            conn = Held(index)
            conn.sock = socket.socket()
            conn.sock.setblocking(False)
            error = conn.sock.connect_ex((host, port))
            if error not in (0, 115):  # 115: EINPROGRESS
                failures.append(f"connection {index}: connect: {os.strerror(error)}")
                conn.sock.close()
                continue
            conn.connecting = error != 0
            start(conn, message(rng, index, 1, 16, 2048))
            batch.append(conn)
        held += exchange(selector, batch, deadline, failures)
    setup_ms = int(1000 * (time.monotonic() - started))
    print(f"opened={len(held)} setup_failures={len(failures)} setup_ms={setup_ms}", flush=True)
    with open(held_file, "w") as report:
        report.write(f"{len(held)}\n")
    while not os.path.exists(release_file):
        if time.monotonic() > deadline:
            failures.append("never released")
            break
        time.sleep(0.05)

    started = time.monotonic()
    for conn in held:
        start(conn, message(rng, conn.index, 2, 1024, 8192))
    echoed = exchange(selector, held, deadline, failures)
    echo_ms = int(1000 * (time.monotonic() - started))
    extra = 0
    for conn in echoed:
        try:
            if conn.sock.recv(1, socket.MSG_DONTWAIT):
                extra += 1
                failures.append(f"connection {conn.index}: bytes beyond the echo")
            else:
                failures.append(f"connection {conn.index}: closed while held")
        except BlockingIOError:
            pass  # nothing more, as it should be
        conn.sock.close()
    print(f"echoed_at_once={len(echoed) - extra} echo_ms={echo_ms} failures={len(failures)}",
          flush=True)
    for text in failures[:10]:
        print("failure:", text, flush=True)
    return 0 if not failures and len(echoed) == count else 1


def half_close(host, port, size, limit_s):
    payload = random.Random(size).randbytes(size)
    deadline = time.monotonic() + limit_s
    with socket.create_connection((host, port), timeout=limit_s) as sock:
        sock.sendall(payload)
        sock.shutdown(socket.SHUT_WR)
        shut = time.monotonic()
        received = bytearray()
        while True:
            sock.settimeout(max(deadline - time.monotonic(), 0.01))
            try:
                data = sock.recv(65536)
            except socket.timeout:
                raise Failure(f"{len(received)} of {size} bytes back and no end within {limit_s} s")
            if not data:
                break
            received += data
    if received != payload:
        raise Failure(f"{len(received)} bytes came back that differ from the {size} sent")
    print(f"half_close_bytes={size} closed_ms={int(1000 * (time.monotonic() - shut))}", flush=True)
    return 0


def main(argv):
    command = argv[1]
    if command == "serve":
        serve(argv[2], int(argv[3]), int(argv[4]), int(argv[5]))
        return 0
    if command == "hold":
        return hold(argv[2], int(argv[3]), int(argv[4]), int(argv[5]), argv[6], argv[7],
                    float(argv[8]))
    if command == "half-close":
        return half_close(argv[2], int(argv[3]), int(argv[4]), float(argv[5]))
    print(f"unknown command {command}", file=sys.stderr)
    return 2


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv))
    except Failure as failure:
        print("failure:", failure, flush=True)
        sys.exit(1)
    except OSError as error:
        print("failure:", error, flush=True)
        sys.exit(1)
