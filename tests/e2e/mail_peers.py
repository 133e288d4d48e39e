#!/usr/bin/python3
"""POP3 server, client and mail-file reader of the mail check test (mail.sh), Python 3 standard
library only.

  pop3-server ADDRESS PORT ROOT LOG USER:PASSWORD...
      A POP3 server for the given users (the password is everything after the first colon).
      The mailbox of USER is the folder ROOT/USER: its files whose names do not begin with "."
      are the messages, numbered in the order of their names, and a message's UID is its file
      name. The folder is read at PASS, so files added between sessions show up in the next
      one. DELE marks a message; QUIT removes the files of the marked messages. Every line
      received goes to the file LOG as "S<session> <- <line>" (Latin-1 decoded, written as
      UTF-8), with "S<session> -- CONNECT <address>:<port>" and "S<session> -- CLOSE" around
      a session. Runs until killed.
  pop3-client HOST PORT USER PASSWORD FOLDER
      Checks such a server directly: a wrong password is refused, then STAT, LIST, UIDL and
      RETR give what FOLDER holds; QUIT without DELE keeps every message. Prints one line per
      check and exits 1 at the first failure.
  mail-file FILE
      Reads HarboltMail.DAT and prints it as JSON: frequency, trigger, sound, and the accounts
      with name, server, user, passwordHex (the stored bytes), action and uids. Text is decoded
      as Windows-1252. Exits 1 when the file is cut short or has bytes left over.
"""

import json
import os
import poplib
import socketserver
import struct
import sys
import threading

TIMEOUT = 20


class Failure(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise Failure(message)


def ok(message):
    print("ok:", message, flush=True)


def mailbox_files(folder):
    return sorted(name for name in os.listdir(folder) if not name.startswith("."))


# --- POP3 server


class Pop3Handler(socketserver.StreamRequestHandler):
    timeout = 60  # a silent client is dropped

    def send(self, line):
        self.wfile.write(line.encode("latin-1") + b"\r\n")
        self.wfile.flush()

    def handle(self):
        session = self.server.new_session()
        log = self.server.log
        log(session, "-- CONNECT %s:%d" % self.client_address[:2])
        try:
            self.converse(session, log)
        finally:
            log(session, "-- CLOSE")

    def converse(self, session, log):
        user = None
        folder = None
        names = []  # the messages of the session, in number order
        deleted = set()  # their numbers marked by DELE
        self.send("+OK mail test POP3 server ready")
        while True:
            try:
                line = self.rfile.readline(4096)
            except OSError:
                return
            if not line:
                return
            line = line.rstrip(b"\r\n").decode("latin-1")
            log(session, "<- " + line)
            command, _, argument = line.partition(" ")
            command = command.upper()
            if command == "QUIT":
                for number in sorted(deleted):
                    os.remove(os.path.join(folder, names[number - 1]))
                self.send("+OK bye")
                return
            if command == "USER" and folder is None:
                user = argument
                self.send("+OK send the password")
            elif command == "PASS" and folder is None:
                if user is not None and self.server.users.get(user) == argument:
                    folder = os.path.join(self.server.root, user)
                    names = mailbox_files(folder)
                    self.send(f"+OK {len(names)} messages")
                else:
                    user = None
                    self.send("-ERR invalid user name or password")
            elif folder is None:
                self.send("-ERR log in first")
            elif command == "NOOP":
                self.send("+OK")
            elif command == "RSET":
                deleted.clear()
                self.send("+OK")
            elif command == "STAT":
                live = self.live(names, deleted)
                self.send(f"+OK {len(live)} {sum(len(self.read(folder, n)) for _, n in live)}")
            elif command in ("LIST", "UIDL"):
                def item(number, name):
                    if command == "LIST":
                        return f"{number} {len(self.read(folder, name))}"
                    return f"{number} {name}"

                if argument:
                    number = self.number(argument, names, deleted)
                    if number is None:
                        self.send("-ERR no such message")
                    else:
                        self.send("+OK " + item(number, names[number - 1]))
                    continue
                self.send("+OK")
                for number, name in self.live(names, deleted):
                    self.send(item(number, name))
                self.send(".")
            elif command == "RETR":
                number = self.number(argument, names, deleted)
                if number is None:
                    self.send("-ERR no such message")
                    continue
                message = self.read(folder, names[number - 1])
                self.send(f"+OK {len(message)} octets")
                for text in message.split(b"\r\n")[:-1]:
                    self.wfile.write((b"." if text.startswith(b".") else b"") + text + b"\r\n")
                self.send(".")
            elif command == "DELE":
                number = self.number(argument, names, deleted)
                if number is None:
                    self.send("-ERR no such message")
                else:
                    deleted.add(number)
                    self.send(f"+OK message {number} deleted")
            else:
                self.send(f"-ERR unknown command {command}")

    @staticmethod
    def live(names, deleted):
        return [(n, name) for n, name in enumerate(names, 1) if n not in deleted]

    @staticmethod
    def number(argument, names, deleted):
        if not argument.isdigit():
            return None
        number = int(argument)
        return number if 1 <= number <= len(names) and number not in deleted else None

    @staticmethod
    def read(folder, name):
        with open(os.path.join(folder, name), "rb") as file:
            return file.read()


class Pop3Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, root, log_path, users):
        super().__init__(address, Pop3Handler)
        self.root = root
        self.users = users
        self.sessions = 0
        self.lock = threading.Lock()
        self.log_file = open(log_path, "a", encoding="utf-8")

    def new_session(self):
        with self.lock:
            self.sessions += 1
            return self.sessions

    def log(self, session, text):
        with self.lock:
            self.log_file.write(f"S{session} {text}\n")
            self.log_file.flush()


def pop3_server(address, port, root, log_path, *accounts):
    users = {}
    for account in accounts:
        user, _, password = account.partition(":")
        users[user] = password
    Pop3Server((address, int(port)), root, log_path, users).serve_forever()


# --- Client


def pop3_client(host, port, user, password, folder):
    names = mailbox_files(folder)
    messages = [Pop3Handler.read(folder, name) for name in names]

    pop = poplib.POP3(host, int(port), timeout=TIMEOUT)
    pop.encoding = "latin-1"  # one byte a character, as Windows-1252 text goes out
    pop.user(user)
    try:
        pop.pass_(password + "x")
        raise Failure("a wrong password was accepted")
    except poplib.error_proto as error:
        expect(str(error).startswith("b'-ERR"), f"a wrong password answers {error}")
    pop.user(user)
    pop.pass_(password)
    ok(f"{user}: a wrong password is refused, the right one accepted")

    count, size = pop.stat()
    expect((count, size) == (len(messages), sum(map(len, messages))), f"STAT gives {count} {size}")
    _, listing, _ = pop.list()
    expect([line.decode() for line in listing]
           == [f"{n} {len(m)}" for n, m in enumerate(messages, 1)], f"LIST gives {listing}")
    _, uids, _ = pop.uidl()
    expect([line.decode() for line in uids] == [f"{n} {name}" for n, name in enumerate(names, 1)],
           f"UIDL gives {uids}")
    for number, message in enumerate(messages, 1):
        _, lines, _ = pop.retr(number)
        received = b"".join(line + b"\r\n" for line in lines)
        expect(received == message, f"RETR {number} gave other bytes: {received!r}")
    reply = pop.quit().decode("latin-1")
    expect(reply.startswith("+OK"), f"QUIT answers {reply!r}")
    expect(mailbox_files(folder) == names, "QUIT without DELE removed messages")
    ok(f"{user}: STAT, LIST, UIDL and RETR give the {len(names)} messages of the folder")


# --- Mail file


class Reader:
    def __init__(self, data):
        self.data = data
        self.offset = 0

    def take(self, size):
        expect(0 <= size <= len(self.data) - self.offset,
               f"the file ends inside an item at offset {self.offset} (wanted {size} bytes)")
        chunk = self.data[self.offset:self.offset + size]
        self.offset += size
        return chunk

    def integer(self):
        return struct.unpack("<i", self.take(4))[0]

    def raw_string(self):
        return self.take(self.integer())

    def string(self):
        return self.raw_string().decode("cp1252", errors="replace")


def mail_file(path):
    with open(path, "rb") as file:
        reader = Reader(file.read())
    document = {"frequency": reader.integer(), "trigger": reader.take(1)[0],
                "sound": reader.string(), "accounts": []}
    for _ in range(reader.integer()):
        account = {"name": reader.string(), "server": reader.string(), "user": reader.string(),
                   "passwordHex": reader.raw_string().hex(), "action": reader.integer()}
        account["uids"] = [reader.string() for _ in range(reader.integer())]
        document["accounts"].append(account)
    expect(reader.offset == len(reader.data),
           f"{len(reader.data) - reader.offset} bytes follow the last account")
    print(json.dumps(document))


def main(arguments):
    if not arguments:
        sys.exit(__doc__)
    command, rest = arguments[0], arguments[1:]
    try:
        if command == "pop3-server" and len(rest) >= 5:
            pop3_server(*rest)
        elif command == "pop3-client" and len(rest) == 5:
            pop3_client(*rest)
        elif command == "mail-file" and len(rest) == 1:
            mail_file(*rest)
        else:
            sys.exit(__doc__)
    except Failure as failure:
        print("failed:", failure, flush=True)
        sys.exit(1)
    except (OSError, EOFError, poplib.error_proto) as error:
        print(f"failed: {type(error).__name__}: {error}", flush=True)
        sys.exit(1)


if __name__ == "__main__":
    main(sys.argv[1:])
