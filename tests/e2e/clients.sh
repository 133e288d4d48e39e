#!/usr/bin/env bash
# The proxy as people use it: real clients on beta (curl, wget, python-requests, lftp, dig)
# through beta's mappings and ALPHA, to servers that only ALPHA reaches. ALPHA (10.77.0.1) and
# beta (10.77.0.2) share the bridge; the namespace "Internet" (10.78.0.2) hangs off a private
# link of ALPHA's and holds two HTTP/1.1 origins (ports 80 and 8081) that keep connections open,
# an FTP server and a DNS server (dnsmasq) with a name of 60 addresses. It checks:
#  - HTTP: two servers on one kept-alive connection (curl, wget, a python-requests Session), a
#    6 KB cookie, a 4 KiB answer header, an upload with "Expect: 100-continue" within 0.5 s;
#  - FTP: lftp and curl in passive and in active mode; an EPRT naming a host on ALPHA's WAN side
#    and PORTs naming ALPHA's loopback or LAN address are refused, counted, and reach nothing;
#  - DNS: the 60-address answer over UDP whole at dig's EDNS size of 4096, and as a correct
#    truncated message without EDNS; ten upstream queries from at least six source ports;
#  - a refused port reported within 1 s over HTTP (CONNECT too) and SOCKS5.
# Usage: clients.sh HARBOLT SEND_DATAGRAM
# shellcheck disable=SC2317 # predicates run through e2e_wait_until
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_init "$@"
E2E_EXTRA_ARGS=(--dialup sim)

readonly PYTHON=/usr/bin/python3
PEERS="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/relay_peers.py"
readonly PEERS
readonly DNSMASQ=/usr/sbin/dnsmasq
for tool in curl wget lftp dig; do
    command -v $tool >/dev/null || e2e_fail "the $tool command is missing (tools/install-deps.sh)"
done
[[ -x $DNSMASQ ]] || e2e_fail "$DNSMASQ (Debian package dnsmasq-base) is missing"
"$PYTHON" -c 'import pyftpdlib, requests' 2>/dev/null ||
    e2e_fail "$PYTHON lacks pyftpdlib or requests (Debian packages python3-pyftpdlib," \
        "python3-requests)"

readonly INTERNET=10.78.0.2 ALPHA_LINK=10.78.0.1 BETA_ADDR=10.77.0.2
readonly ALPHA_LAN=10.77.0.1 ALPHA_SERVER=10.77.0.1:1977
readonly HTTP_PORT=8000 SOCKS_PORT=1080 FTP_PORT=2121 # beta's mappings
readonly ALT_PORT=8081                                # the second origin
readonly CLOSED="$INTERNET:81"                        # nobody listens there
readonly FTP_USER=carol FTP_PASSWORD=ftp-secret
readonly MANY_NAME=many.test MANY_COUNT=60
readonly LIMIT=30 # seconds any one client may take

# --- Network and servers.

e2e_host 1
e2e_host 2
e2e_private_link Internet 1 "$ALPHA_LINK/24" "$INTERNET/24"
INTERNET_NS=$(e2e_link_ns Internet)
ALPHA_NS=$(e2e_host_ns 1)
BETA_NS=$(e2e_host_ns 2)

FILES="$E2E_TMP/files"
mkdir -p "$FILES"
head -c $((1024 * 1024)) /dev/urandom >"$FILES/data.bin"
printf 'notes for the client test\r\n' >"$FILES/notes.txt"
for ((i = 1; i <= MANY_COUNT; i++)); do
    echo "10.78.1.$i $MANY_NAME"
done >"$E2E_TMP/many.hosts"

for port in 80 $ALT_PORT; do
    e2e_spawn "$INTERNET_NS" "$E2E_TMP/origin-$port.log" "$PYTHON" "$PEERS" http-origin \
        "$INTERNET" $port "$FILES" --http11
done
e2e_spawn "$INTERNET_NS" "$E2E_TMP/ftp-server.log" "$PYTHON" "$PEERS" ftp-server "$INTERNET" 21 \
    "$FILES" "$FTP_USER" "$FTP_PASSWORD"
e2e_spawn "$INTERNET_NS" "$E2E_TMP/dnsmasq.out" "$DNSMASQ" --keep-in-foreground \
    --conf-file=/dev/null --no-resolv --no-hosts --addn-hosts="$E2E_TMP/many.hosts" \
    --user=root --pid-file="$E2E_TMP/dnsmasq.pid" --listen-address="$INTERNET" \
    --bind-interfaces --port=53
servers_listening() {
    local port
    for port in 80 $ALT_PORT 21 53; do
        e2e_tcp_listening "$INTERNET_NS" "$port" || return 1
    done
    e2e_udp_listening "$INTERNET_NS" 53
}
e2e_wait_until 10000 "the servers" servers_listening ||
    e2e_fail "the servers do not listen: $(tail -n 5 "$E2E_TMP"/*.log "$E2E_TMP/dnsmasq.out" 2>&1)"

e2e_start ALPHA 1
e2e_start beta 2
e2e_ctl beta set ProxyMapping00 ":$HTTP_PORT -> HTTP PROXY, notrigger"
e2e_ctl beta set ProxyMapping01 ":$SOCKS_PORT -> SOCKS5 PROXY, notrigger"
e2e_ctl beta set ProxyMapping02 ":$FTP_PORT -> FTP PROXY, notrigger"
for name in ALPHA beta; do
    e2e_ctl "$name" set ProxyDnsServerEnabled yes
    e2e_ctl "$name" set ProxyDnsServer "$INTERNET"
    e2e_proxy_on "$name"
done
e2e_ctl ALPHA line SimLine up || e2e_fail "ctl line SimLine up failed"
beta_ready() {
    local index=0 port
    for port in $HTTP_PORT $SOCKS_PORT $FTP_PORT; do
        e2e_listener_bound beta "mapping $index" "$BETA_ADDR:$port" || return 1
        index=$((index + 1))
    done
    e2e_udp_listening "$BETA_NS" 53 && e2e_udp_listening "$ALPHA_NS" 53 &&
        e2e_proxy_status beta | jq -e --arg a "$ALPHA_SERVER" \
            '.onlineAddress == $a and .onlineAddressAge != null and .onlineAddressAge < 5' \
            >/dev/null
}
e2e_wait_until 10000 "beta's mappings, port 53 and ALPHA online" beta_ready ||
    e2e_fail "after 10 s: beta $(e2e_proxy_status beta), ALPHA $(e2e_proxy_status ALPHA)"
e2e_pass "beta's HTTP, SOCKS5 and FTP mappings and both DNS forwarders listen; ALPHA is online"

readonly PROXY="http://$BETA_ADDR:$HTTP_PORT"
# beta_curl CURL_ARGS...: curl on beta, with its output and errors as they come.
beta_curl() { e2e_curl "$LIMIT" "$BETA_NS" "$@"; }

# --- HTTP: two servers on one kept-alive connection.

first="http://$INTERNET/one" second="http://$INTERNET:$ALT_PORT/two"
out=$(beta_curl -x "$PROXY" -w '[%{num_connects}]\n' "$first" "$second" 2>&1) ||
    e2e_fail "curl with two URLs: $out"
expected="GET /one HTTP/1.1
[1]
GET /two HTTP/1.1
[0]"
[[ $out == "$expected" ]] ||
    e2e_fail "curl fetched two servers over one proxy connection as: $out"
out=$(e2e_in_ns "$LIMIT" "$BETA_NS" env http_proxy="$PROXY" wget -q -O - "$second" "$first" \
    2>&1) || e2e_fail "wget with two URLs: $out"
[[ $out == $'GET /two HTTP/1.1\nGET /one HTTP/1.1' ]] || e2e_fail "wget got: $out"
out=$(e2e_in_ns "$LIMIT" "$BETA_NS" "$PYTHON" "$PEERS" requests-session "$PROXY" "$first" \
    "$second" "$first" 2>&1) || e2e_fail "a python-requests Session: $out"
e2e_pass "two servers on one kept-alive connection: each request reaches its own (curl reused" \
    "the connection, wget, a python-requests Session)"

# --- HTTP: long heads both ways, and an upload that asks before sending its body.

cookie="session=$(head -c 6000 /dev/zero | tr '\0' c)"
out=$(beta_curl -x "$PROXY" -H "Cookie: $cookie" "http://$INTERNET/cookie" 2>&1) ||
    e2e_fail "a 6 KB cookie: $out"
[[ $out == "cookie=${#cookie}" ]] || e2e_fail "with a 6 KB cookie the origin answered: $out"
out=$(beta_curl -x "$PROXY" -D - -o /dev/null "http://$INTERNET/big-header" 2>&1) ||
    e2e_fail "a 4 KiB answer header: $out"
[[ $(tr -d '\r' <<<"$out" | grep -c "^X-Big: b\{4096\}$") == 1 ]] ||
    e2e_fail "the 4 KiB header line did not arrive whole: ${out:0:300}"
out=$(beta_curl -x "$PROXY" -H 'Expect: 100-continue' --data-binary "@$FILES/data.bin" \
    -o "$E2E_TMP/upload.echo" -w '%{http_code} %{time_total}' "http://$INTERNET/upload" 2>&1) ||
    e2e_fail "an upload with Expect: 100-continue: $out"
read -r code seconds <<<"$out"
[[ $code == 200 ]] || e2e_fail "the upload was answered $code"
cmp -s "$FILES/data.bin" "$E2E_TMP/upload.echo" ||
    e2e_fail "the uploaded 1 MiB came back different"
jq -en --argjson s "$seconds" '$s < 0.5' >/dev/null ||
    e2e_fail "the upload with Expect: 100-continue took $seconds s"
e2e_pass "a 6 KB cookie and a 4 KiB answer header pass; 1 MiB with 'Expect: 100-continue'" \
    "went up and came back in $seconds s"

# --- A refused port, reported at once.

started=$(e2e_now_ms)
out=$(beta_curl -x "$PROXY" -w '%{http_code}' -o "$E2E_TMP/refused.body" "http://$CLOSED/x" \
    2>&1) || true
elapsed=$(($(e2e_now_ms) - started))
[[ $out == 502 ]] && grep -q "refused" "$E2E_TMP/refused.body" ||
    e2e_fail "HTTP to $CLOSED: '$out', body '$(cat "$E2E_TMP/refused.body")'"
((elapsed < 1000)) || e2e_fail "HTTP to $CLOSED took $elapsed ms"
out=$(beta_curl -x "$PROXY" --proxytunnel -o /dev/null "http://$CLOSED/x" 2>&1) &&
    e2e_fail "CONNECT to $CLOSED succeeded: $out"
[[ $out == *"CONNECT tunnel failed, response 502"* ]] || e2e_fail "CONNECT to $CLOSED: $out"
started=$(e2e_now_ms)
out=$(beta_curl --socks5 "$BETA_ADDR:$SOCKS_PORT" "http://$CLOSED/x" 2>&1) &&
    e2e_fail "SOCKS5 to $CLOSED succeeded: $out"
socks_elapsed=$(($(e2e_now_ms) - started))
[[ $out == *"SOCKS5"*"(5)"* ]] || e2e_fail "SOCKS5 to $CLOSED: $out"
((socks_elapsed < 1000)) || e2e_fail "SOCKS5 to $CLOSED took $socks_elapsed ms"
e2e_pass "a refused port: HTTP 502 naming the refusal after $elapsed ms, CONNECT 502, SOCKS5" \
    "reply 5 after $socks_elapsed ms"

# --- FTP in passive mode, and a bounce refused.

out=$(e2e_in_ns "$LIMIT" "$BETA_NS" lftp -c "set net:max-retries 1; set net:timeout 10;
    open -u '$FTP_USER@$INTERNET,$FTP_PASSWORD' -p $FTP_PORT $BETA_ADDR; cls -1;
    get notes.txt -o '$E2E_TMP/lftp-notes.txt'; get data.bin -o '$E2E_TMP/lftp-data.bin'" 2>&1) ||
    e2e_fail "lftp: $out"
[[ $(sort <<<"$out") == $'data.bin\nnotes.txt' ]] || e2e_fail "lftp listed: $out"
cmp -s "$FILES/notes.txt" "$E2E_TMP/lftp-notes.txt" &&
    cmp -s "$FILES/data.bin" "$E2E_TMP/lftp-data.bin" ||
    e2e_fail "lftp's downloads differ from the server's files"
beta_curl -u "$FTP_USER@$INTERNET:$FTP_PASSWORD" -o "$E2E_TMP/curl-data.bin" \
    "ftp://$BETA_ADDR:$FTP_PORT/data.bin" 2>"$E2E_TMP/curl-ftp.err" ||
    e2e_fail "curl in passive mode: $(cat "$E2E_TMP/curl-ftp.err")"
cmp -s "$FILES/data.bin" "$E2E_TMP/curl-data.bin" || e2e_fail "curl's FTP download differs"
# Active mode: beta takes the data connection in the client's place, ALPHA connects only to beta.
out=$(e2e_in_ns "$LIMIT" "$BETA_NS" lftp -c "set net:max-retries 1; set net:timeout 10;
    set ftp:passive-mode off; open -u '$FTP_USER@$INTERNET,$FTP_PASSWORD' -p $FTP_PORT $BETA_ADDR;
    get data.bin -o '$E2E_TMP/lftp-active.bin'" 2>&1) || e2e_fail "lftp in active mode: $out"
cmp -s "$FILES/data.bin" "$E2E_TMP/lftp-active.bin" || e2e_fail "lftp's active download differs"
beta_curl --ftp-port - -u "$FTP_USER@$INTERNET:$FTP_PASSWORD" -o "$E2E_TMP/curl-active.bin" \
    "ftp://$BETA_ADDR:$FTP_PORT/data.bin" 2>"$E2E_TMP/curl-active.err" ||
    e2e_fail "curl in active mode: $(cat "$E2E_TMP/curl-active.err")"
cmp -s "$FILES/data.bin" "$E2E_TMP/curl-active.bin" || e2e_fail "curl's active download differs"

# Data addresses other than the client's own: an EPRT to ALPHA's WAN side, PORTs to ALPHA's
# loopback and to ALPHA's LAN address, each followed by a RETR that would use it (the server may
# hold a RETR until it has a data address: 150). A listener on ALPHA's loopback tells whether
# anything reached it.
e2e_spawn "$ALPHA_NS" "$E2E_TMP/loopback-7777.log" "$PYTHON" -c '
import socket
server = socket.socket()
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.bind(("127.0.0.1", 7777))
server.listen(8)
while True:
    connection, peer = server.accept()
    print("connected", peer, flush=True)
    connection.close()
'
loopback_listening() { e2e_tcp_listening "$ALPHA_NS" 7777; }
e2e_wait_until 5000 "the listener on ALPHA's loopback" loopback_listening ||
    e2e_fail "the loopback listener does not listen: $(cat "$E2E_TMP/loopback-7777.log")"
refused_before=$(e2e_proxy_status beta | jq '.ftpDataRefused // 0')
# shellcheck disable=SC2016 # the script is the interpreter's
out=$(e2e_in_ns "$LIMIT" "$BETA_NS" "$PYTHON" -c '
import socket, sys
host, port, login, password = sys.argv[1:5]
with socket.create_connection((host, int(port)), timeout=20) as connection:
    lines = connection.makefile("rb")
    def say(line):
        connection.sendall(line.encode() + b"\r\n")
        while True:
            answer = lines.readline().decode().rstrip("\r\n")
            if answer[3:4] != "-":
                return answer
    lines.readline()
    say("USER " + login)
    print(say("PASS " + password))
    for command in sys.argv[5:]:
        print(say(command))
    print(say("QUIT"))
' "$BETA_ADDR" $FTP_PORT "$FTP_USER@$INTERNET" "$FTP_PASSWORD" "EPRT |1|$ALPHA_LINK|5000|" \
    "PORT 127,0,0,1,30,97" "RETR notes.txt" "PORT ${ALPHA_LAN//./,},30,97" "RETR notes.txt" \
    2>&1) || e2e_fail "the bouncing client: $out"
[[ $(cut -c 1 <<<"$out" | tr -d '\n') =~ ^255[145]5[145]2$ ]] ||
    e2e_fail "data addresses other than the client's were answered: $(tr '\n' '|' <<<"$out")"
! grep -q "connected" "$E2E_TMP/loopback-7777.log" ||
    e2e_fail "a data connection reached ALPHA's loopback: $(cat "$E2E_TMP/loopback-7777.log")"
# The server logs every active data address as "EPRT [host]:port".
! grep -q "\]:5000 " "$E2E_TMP/ftp-server.log" ||
    e2e_fail "the FTP server got the refused EPRT: $(grep "\]:5000 " "$E2E_TMP/ftp-server.log")"
(($(e2e_proxy_status beta | jq '.ftpDataRefused // 0') > refused_before)) ||
    e2e_fail "beta's proxy status does not count the refused data addresses: $(e2e_proxy_status beta)"
e2e_pass "FTP: lftp with its defaults lists and fetches both files, curl in passive mode 1 MiB," \
    "lftp and curl in active mode, byte-exact; an EPRT to ALPHA's WAN side and PORTs to ALPHA's" \
    "loopback and LAN address are refused and never reach the server or ALPHA's loopback"

# --- DNS: a large answer over UDP.

# many_query DIG_OPTIONS...: dig's whole output for MANY_NAME at beta's port 53.
many_query() {
    e2e_in_ns "$LIMIT" "$BETA_NS" dig "@$BETA_ADDR" "$MANY_NAME" A +time=3 +tries=1 +ignore "$@" \
        2>&1 || true
}
out=$(many_query +bufsize=4096)
addresses=$(grep -cE "^$MANY_NAME\.[[:space:]].*[[:space:]]A[[:space:]]+10\.78\.1\." <<<"$out") ||
    true
[[ $addresses == "$MANY_COUNT" && $out == *"ANSWER: $MANY_COUNT,"* && $out != *"flags:"*" tc"* &&
    $out == *"OPT PSEUDOSECTION"* && $out != *"Warning"* && $out != *"malformed"* ]] ||
    e2e_fail "at an EDNS size of 4096 dig got $addresses addresses: $out"
out=$(many_query +noedns)
[[ $out == *"flags:"*" tc"* && $out != *"Warning"* && $out != *"malformed"* &&
    $out != *"extra bytes"* ]] || e2e_fail "without EDNS dig got: $out"
e2e_pass "DNS over UDP: all $MANY_COUNT addresses at an EDNS size of 4096, a clean truncated" \
    "answer without EDNS"

# Upstream queries leave from ports an off-path forger cannot guess: ten names asked through
# beta, and the source ports seen on the DNS server's side counted.
# shellcheck disable=SC2016 # the script is the interpreter's
e2e_spawn "$INTERNET_NS" "$E2E_TMP/dns-ports.log" "$PYTHON" -c '
import socket, struct
capture = socket.socket(socket.AF_PACKET, socket.SOCK_DGRAM, socket.htons(0x0800))
print("capturing", flush=True)
while True:
    packet = capture.recv(65535)
    if len(packet) < 28 or packet[9] != 17:
        continue
    header = (packet[0] & 15) * 4
    source, destination = struct.unpack(">HH", packet[header:header + 4])
    if destination == 53:
        print("query", socket.inet_ntoa(packet[12:16]), source, flush=True)
'
capturing() { grep -q capturing "$E2E_TMP/dns-ports.log"; }
e2e_wait_until 5000 "the capture on the DNS server's side" capturing ||
    e2e_fail "no capture: $(cat "$E2E_TMP/dns-ports.log")"
for ((i = 1; i <= 10; i++)); do
    e2e_in_ns "$LIMIT" "$BETA_NS" dig "@$BETA_ADDR" "port-probe-$i.test" A +time=3 +tries=1 \
        >/dev/null 2>&1 || true
done
queries=$(grep -c "^query" "$E2E_TMP/dns-ports.log") || true
ports=$(awk '/^query/ {print $3}' "$E2E_TMP/dns-ports.log" | sort -u | wc -l)
((queries >= 10 && ports >= 6)) ||
    e2e_fail "10 names asked: $queries upstream queries from $ports source ports:" \
        "$(tr '\n' ' ' <"$E2E_TMP/dns-ports.log")"
e2e_pass "DNS: 10 names asked through beta left for the server from $ports different source ports"

e2e_done
