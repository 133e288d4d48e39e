#!/usr/bin/python3
"""Servers and clients of the relay test (relays.sh), Python 3 standard library only.

Servers (they run until killed and log to standard error):
  http-origin ADDRESS PORT DIR [--http11]
                                 an origin server: GET /files/NAME sends DIR/NAME, GET /cookie
                                 the length of the Cookie header, GET /big-header a 4 KiB header
                                 line, any other GET answers its request line; POST echoes the
                                 body; POST /trailing also reports how many bytes followed the
                                 body. With --http11 it keeps connections open and answers
                                 "Expect: 100-continue"
  ftp-server ADDRESS PORT DIR USER PASSWORD
                                 an FTP server (pyftpdlib) offering DIR read-only to USER
  pop3-server ADDRESS PORT DIR USER PASSWORD
                                 a POP3 mailbox holding the files DIR/1, DIR/2, ...

Clients (they check what they get, print one line per check and exit 1 at the first failure):
  ftp-client HOST PORT LOGIN PASSWORD DIR [--direct]
  pop3-client HOST PORT LOGIN PASSWORD DIR [--direct]
  requests-session PROXY URL...  fetches the URLs in order with one python-requests Session
                                 through the HTTP proxy PROXY; each answer must come from the
                                 URL's own origin
  http-raw HOST PORT REQUEST      sends REQUEST (Python escapes allowed: \\r\\n) and prints the
                                 whole answer until the server closes

Without --direct the clients talk to Harbolt's FTP and POP3 relays, whose greetings and login
dialogues they check too; with --direct they talk to the servers themselves, which shows that
the servers and the checks work before Harbolt is blamed.
"""

import ftplib
import hashlib
import http.server
import os
import poplib
import socket
import socketserver
import sys

TIMEOUT = 20


class Failure(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise Failure(message)


def ok(message):
    print("ok:", message, flush=True)


def sha256(data):
    return hashlib.sha256(data).hexdigest()


# --- HTTP origin


class OriginHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"  # one request per connection, closed after the answer
    server_version = "RelayTestOrigin/1"

    def origin(self):
        host, port = self.server.server_address[:2]
        return f"{host}:{port}"

    def answer(self, body, status=200):
        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("X-Origin", self.origin())
        self.send_header("X-Request-Line", self.requestline)
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        if self.path.startswith("/files/"):
            name = os.path.basename(self.path[len("/files/"):])
            try:
                with open(os.path.join(self.server.directory, name), "rb") as file:
                    body = file.read()
            except OSError:
                self.answer(b"no such file\n", 404)
                return
            self.answer(body)
        elif self.path == "/cookie":
            self.answer(b"cookie=%d\n" % len(self.headers.get("Cookie", "")))
        elif self.path == "/big-header":
            self.send_response(200)
            self.send_header("X-Big", "b" * 4096)
            self.send_header("Content-Length", "11")
            self.end_headers()
            self.wfile.write(b"big header\n")
        else:
            self.answer(self.requestline.encode() + b"\n")

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length)
        if self.path != "/trailing":
            self.answer(body)
            return
        # The answer's head goes out first: a relay passes bytes that follow the request body
        # only once it relays freely, after the head. Then whatever follows the body within
        # a second is counted and reported in the answer's body.
        self.send_response(200)
        self.send_header("X-Origin", self.origin())
        self.send_header("X-Request-Line", self.requestline)
        self.end_headers()
        self.wfile.flush()
        extra = b""
        self.connection.settimeout(1.0)
        try:
            while True:
                chunk = self.connection.recv(4096)
                if not chunk:
                    break
                extra += chunk
        except (socket.timeout, OSError):
            pass
        self.wfile.write(b"body=%s extra=%d\n" % (body.hex().encode(), len(extra)))


class OriginServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True


class KeepAliveHandler(OriginHandler):
    protocol_version = "HTTP/1.1"


def http_origin(address, port, directory, http11=False):
    server = OriginServer((address, int(port)), KeepAliveHandler if http11 else OriginHandler)
    server.directory = directory
    server.serve_forever()


# --- POP3 server


class Pop3Handler(socketserver.StreamRequestHandler):
    def send(self, line):
        self.wfile.write(line.encode("latin-1") + b"\r\n")
        self.wfile.flush()

    def handle(self):
        messages = self.server.load()
        user = None
        authorised = False
        self.send("+OK relay test POP3 server ready")
        while True:
            line = self.rfile.readline(4096)
            if not line:
                return
            line = line.rstrip(b"\r\n").decode("latin-1")
            sys.stderr.write(f"pop3 <- {line}\n")
            command, _, argument = line.partition(" ")
            command = command.upper()
            if command == "QUIT":
                self.send("+OK bye")
                return
            if command == "USER":
                user = argument
                self.send(f"+OK {argument} is welcome here")
            elif command == "PASS":
                if user == self.server.user and argument == self.server.password:
                    authorised = True
                    self.send(f"+OK {len(messages)} messages")
                else:
                    self.send("-ERR invalid user name or password")
            elif not authorised:
                self.send("-ERR log in first")
            elif command == "STAT":
                self.send(f"+OK {len(messages)} {sum(map(len, messages))}")
            elif command == "LIST":
                self.send(f"+OK {len(messages)} messages")
                for number, message in enumerate(messages, 1):
                    self.send(f"{number} {len(message)}")
                self.send(".")
            elif command == "RETR" and argument.isdigit() and 1 <= int(argument) <= len(messages):
                message = messages[int(argument) - 1]
                self.send(f"+OK {len(message)} octets")
                for text in message.split(b"\r\n")[:-1]:
                    self.wfile.write((b"." if text.startswith(b".") else b"") + text + b"\r\n")
                self.send(".")
            elif command == "NOOP":
                self.send("+OK")
            else:
                self.send(f"-ERR unknown command {command}")


class Pop3Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def load(self):
        return load_messages(self.directory)


def load_messages(directory):
    messages = []
    while True:
        try:
            with open(os.path.join(directory, str(len(messages) + 1)), "rb") as file:
                messages.append(file.read())
        except FileNotFoundError:
            return messages


def pop3_server(address, port, directory, user, password):
    server = Pop3Server((address, int(port)), Pop3Handler)
    server.directory = directory
    server.user = user
    server.password = password
    server.serve_forever()


# --- FTP server


def ftp_server(address, port, directory, user, password):
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.servers import FTPServer

    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, directory, perm="elr")
    FTPHandler.authorizer = authorizer
    FTPHandler.auth_failed_timeout = 0  # a wrong password is refused at once
    # The data-port commands reach the log: a test can tell which ones got through.
    FTPHandler.log_cmds_list = FTPHandler.log_cmds_list + ["PORT", "EPRT", "PASV", "EPSV"]
    FTPServer((address, int(port)), FTPHandler).serve_forever()


# --- Clients


def dialogue(host, port, lines):
    """Opens a connection, sends LINES (the last one ends the conversation) and returns the
    greeting and the answer lines, without their CR LF, that arrive until the server closes."""
    with socket.create_connection((host, port), timeout=TIMEOUT) as connection:
        connection.sendall(b"".join(line.encode("latin-1") + b"\r\n" for line in lines))
        received = b""
        while True:
            chunk = connection.recv(4096)
            if not chunk:
                break
            received += chunk
    answers = received.decode("latin-1").split("\r\n")
    expect(answers[-1] == "", f"the answer does not end with CR LF: {received!r}")
    return answers[0], answers[1:-1]


def ftp_client(host, port, login, password, directory, direct):
    port = int(port)
    files = sorted(os.listdir(directory))
    ftp = ftplib.FTP(timeout=TIMEOUT)
    welcome = ftp.connect(host, port)
    if not direct:
        expect(welcome == "220 Harbolt ftp-ProxyServer ready.", f"the greeting is {welcome!r}")
    reply = ftp.login(login, password)
    expect(reply.startswith("230"), f"the login answers {reply!r}")
    ok(f"greeting {welcome!r}, login as {login} answered {reply!r}")

    ftp.set_pasv(False)  # active mode: the server connects back through the relay
    names = sorted(ftp.nlst())
    expect(names == files, f"NLST gives {names}, the server holds {files}")
    listing = []
    ftp.retrlines("LIST", listing.append)
    expect(
        len(listing) == len(files) and all(any(line.endswith(" " + f) for line in listing)
                                           for f in files),
        f"LIST gives {listing}",
    )
    ok(f"active-mode NLST and LIST name the {len(files)} files")
    for name in files:
        with open(os.path.join(directory, name), "rb") as file:
            expected = file.read()
        received = bytearray()
        ftp.retrbinary(f"RETR {name}", received.extend)
        expect(
            sha256(received) == sha256(expected),
            f"RETR {name} gave {len(received)} bytes that differ from its {len(expected)}",
        )
        ok(f"RETR {name}: {len(received)} bytes byte-exact")
    ftp.set_pasv(True)  # passive mode: the relay listens for the client and reaches the server
    names = sorted(ftp.nlst())
    expect(names == files, f"passive NLST gives {names}, the server holds {files}")
    ok(f"passive-mode NLST names the {len(files)} files")
    reply = ftp.quit()
    expect(reply.startswith("221"), f"QUIT answers {reply!r}")
    ok(f"QUIT answers {reply!r}")

    if direct:
        return
    user, _, server = login.rpartition("@")
    _, answers = dialogue(host, port, ["PASS early", "QUIT"])
    expect(answers == ["503 Login with USER first.", "221 Goodbye."],
           f"PASS before USER answers {answers}")
    _, answers = dialogue(host, port, ["USER nohost", "PASS x", "QUIT"])
    expect(answers == ["331 Password required for nohost", "530 Login incorrect.",
                       "221 Goodbye."], f"a user without a host answers {answers}")
    # The server's own refusal is the one answer to PASS.
    _, answers = dialogue(host, port, [f"USER {user}@{server}", "PASS wrong", "QUIT"])
    expect(len(answers) == 3 and answers[0] == f"331 Password required for {user}@{server}"
           and answers[1].startswith("530 ") and answers[2] == "221 Goodbye.",
           f"a wrong password answers {answers}")
    ok("PASS before USER gets 503; no host gets '530 Login incorrect.', a wrong password the"
       " server's 530")


def pop3_client(host, port, login, password, directory, direct):
    port = int(port)
    messages = load_messages(directory)
    pop = poplib.POP3(host, port, timeout=TIMEOUT)
    welcome = pop.getwelcome().decode("latin-1")
    if not direct:
        expect(welcome == "+OK Harbolt; please do USER username@pop3host",
               f"the greeting is {welcome!r}")
    reply = pop.user(login).decode("latin-1")
    pop.pass_(password)
    ok(f"greeting {welcome!r}, USER {login} answered {reply!r}, PASS accepted")
    count, size = pop.stat()
    expect((count, size) == (len(messages), sum(map(len, messages))),
           f"STAT gives {count} {size}")
    _, listing, _ = pop.list()
    expect([line.decode() for line in listing]
           == [f"{n} {len(m)}" for n, m in enumerate(messages, 1)], f"LIST gives {listing}")
    ok(f"STAT and LIST: {count} messages, {size} octets")
    for number, message in enumerate(messages, 1):
        _, lines, _ = pop.retr(number)
        received = b"".join(line + b"\r\n" for line in lines)
        expect(sha256(received) == sha256(message),
               f"RETR {number} gave {len(received)} octets that differ from its {len(message)}")
        ok(f"RETR {number}: {len(message)} octets byte-exact")
    reply = pop.quit().decode("latin-1")
    expect(reply.startswith("+OK"), f"QUIT answers {reply!r}")

    if direct:
        return
    _, answers = dialogue(host, port, ["quit"])
    expect(answers == ["+OK Pop server signing off"], f"quit before USER answers {answers}")
    _, answers = dialogue(host, port, ["NOOP now", "CAPA", "USER nohost", "QUIT"])
    expect(answers == ["-ERR Unknown command: NOOP", "-ERR Unknown command: CAPA",
                       "-ERR Please do USER name@pop3host", "+OK Pop server signing off"],
           f"other commands before login answer {answers}")
    ok("before login: quit, other commands and a user without a host get their answers")


def requests_session(proxy, *urls):
    import urllib.parse

    import requests

    with requests.Session() as session:
        session.trust_env = False
        for url in urls:
            answer = session.get(url, proxies={"http": proxy}, timeout=TIMEOUT)
            origin = urllib.parse.urlsplit(url)
            where = f"{origin.hostname}:{origin.port or 80}"
            expect(answer.status_code == 200 and answer.headers.get("X-Origin") == where,
                   f"{url} answered {answer.status_code} from {answer.headers.get('X-Origin')}")
            ok(f"{url} came from {where}")


def http_raw(host, port, request):
    data = request.encode("latin-1").decode("unicode_escape").encode("latin-1")
    with socket.create_connection((host, int(port)), timeout=TIMEOUT) as connection:
        connection.sendall(data)
        while True:
            chunk = connection.recv(65536)
            if not chunk:
                break
            sys.stdout.buffer.write(chunk)


def main(arguments):
    if not arguments:
        sys.exit(__doc__)
    command, rest = arguments[0], arguments[1:]
    direct = "--direct" in rest
    http11 = "--http11" in rest
    rest = [a for a in rest if a not in ("--direct", "--http11")]
    try:
        if command == "http-origin":
            http_origin(*rest, http11)
        elif command == "ftp-server":
            ftp_server(*rest)
        elif command == "pop3-server":
            pop3_server(*rest)
        elif command == "ftp-client":
            ftp_client(*rest, direct)
        elif command == "pop3-client":
            pop3_client(*rest, direct)
        elif command == "requests-session":
            requests_session(*rest)
        elif command == "http-raw":
            http_raw(*rest)
        else:
            sys.exit(f"unknown command {command}")
    except Failure as failure:
        print("failed:", failure, flush=True)
        sys.exit(1)
    except (OSError, EOFError, ValueError, ftplib.Error, poplib.error_proto) as error:
        print(f"failed: {type(error).__name__}: {error}", flush=True)
        sys.exit(1)


if __name__ == "__main__":
    main(sys.argv[1:])
