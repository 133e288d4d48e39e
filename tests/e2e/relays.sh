#!/usr/bin/env bash
# The protocol relays of the proxy: HTTP, SOCKS5, FTP, POP3 and the DNS forwarder. ALPHA
# (10.77.0.1) and beta (10.77.0.2) share the bridge; the namespace "Internet" (10.78.0.2) hangs
# off a private link of ALPHA's and holds the servers: HTTP origins on ports 80 and 8080, an FTP
# server on 21, a POP3 server on 110 and a DNS server (dnsmasq) on 53. A further origin listens
# on ALPHA's own loopback, reachable by the name "localhost" only there. ALPHA is online (a
# simulated line), beta is not; beta's mappings are the four relays, and beta's clients (curl,
# Python's ftplib and poplib, dig) reach the servers through them:
#  - HTTP: the request line goes to the origin in origin form, the answer carries "X-MPM-URI"
#    and "Via" right after its status line; with and without a path, on port 8080, a POST body
#    byte-exact (and a CR LF after it dropped), CONNECT, a 4 MiB file;
#  - SOCKS5: CONNECT to an address and to a name that ALPHA resolves;
#  - 8 downloads through each of the HTTP and SOCKS5 relays at once;
#  - FTP: the relay's login dialogue, NLST and LIST in active mode, files byte-exact, NLST in
#    passive mode;
#  - POP3: the relay's greeting and login, STAT, LIST, messages byte-exact;
#  - DNS: no port 53 while the forwarder is off; then queries over UDP and TCP to beta's port 53
#    get dnsmasq's answer through ALPHA, also several at once.
# Every server and client is first checked straight from ALPHA, without the relays.
# Usage: relays.sh HARBOLT SEND_DATAGRAM
# shellcheck disable=SC2317 # predicates run through e2e_wait_until
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_init "$@"
E2E_EXTRA_ARGS=(--dialup sim)

# Debian's interpreter: the FTP server library is a Debian package for it.
readonly PYTHON=/usr/bin/python3
PEERS="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/relay_peers.py"
readonly PEERS
command -v curl >/dev/null || e2e_fail "the curl command (Debian package curl) is missing"
command -v dig >/dev/null || e2e_fail "the dig command (Debian package bind9-dnsutils) is missing"
readonly DNSMASQ=/usr/sbin/dnsmasq
[[ -x $DNSMASQ ]] || e2e_fail "$DNSMASQ (Debian package dnsmasq-base) is missing"
"$PYTHON" -c 'import pyftpdlib' 2>/dev/null ||
    e2e_fail "$PYTHON cannot import pyftpdlib (Debian packages python3, python3-pyftpdlib)"

readonly INTERNET=10.78.0.2 ALPHA_LINK=10.78.0.1 ALPHA_ADDR=10.77.0.1 BETA_ADDR=10.77.0.2
readonly ALPHA_SERVER=$ALPHA_ADDR:1977
readonly HTTP_PORT=8000 SOCKS_PORT=1080 FTP_PORT=2121 POP3_PORT=1110 # beta's mappings
readonly ALT_PORT=8080   # the second origin in the Internet
readonly NAMED_PORT=8081 # the origin on ALPHA's loopback
readonly FTP_USER=alice FTP_PASSWORD=ftp-secret
readonly POP3_USER=bob@home POP3_PASSWORD=pop-secret # the user name holds an "@" of its own
readonly DNS_NAME=relay.test DNS_ANSWER=10.78.0.77
readonly VIA="Via: HTTP/1.0 localhost (Harbolt)"
readonly CLIENT_LIMIT=30 # seconds any one client may take
readonly PARALLEL=8      # clients at once

# --- Network: the bridge with ALPHA and beta, and the Internet behind ALPHA only.

e2e_host 1
e2e_host 2
e2e_private_link Internet 1 "$ALPHA_LINK/24" "$INTERNET/24"
INTERNET_NS=$(e2e_link_ns Internet)
ALPHA_NS=$(e2e_host_ns 1)
BETA_NS=$(e2e_host_ns 2)

# --- What the servers hold: two files, two mail messages.

FILES="$E2E_TMP/files"
MAIL="$E2E_TMP/mail"
mkdir -p "$FILES" "$MAIL"
head -c $((4 * 1024 * 1024)) /dev/urandom >"$FILES/data.bin"
printf 'notes for the relay test\r\n' >"$FILES/notes.txt"
head -c $((256 * 1024)) /dev/urandom >"$E2E_TMP/post.bin"
# Message 1 is short with lines that start with a dot; message 2 has 160 KiB of lines with
# 8-bit bytes. Lines end with CR LF and hold neither CR nor LF themselves.
"$PYTHON" - "$MAIL" <<'EOF'
import os, random, sys
directory = sys.argv[1]
first = (b"From: relay@test\r\nSubject: first\r\n\r\nhello\r\n.\r\n..two dots\r\n"
         b".leading dot\r\n")
rng = random.Random(1977)
alphabet = bytes(b for b in range(32, 256) if b != 127)
second = b"From: relay@test\r\nSubject: second\r\n\r\n" + b"".join(
    bytes(rng.choice(alphabet) for _ in range(rng.randrange(0, 200))) + b"\r\n"
    for _ in range(1600))
for name, message in (("1", first), ("2", second)):
    with open(os.path.join(directory, name), "wb") as file:
        file.write(message)
EOF

# --- The servers.

e2e_spawn "$INTERNET_NS" "$E2E_TMP/origin-80.log" "$PYTHON" "$PEERS" http-origin "$INTERNET" 80 \
    "$FILES"
e2e_spawn "$INTERNET_NS" "$E2E_TMP/origin-$ALT_PORT.log" "$PYTHON" "$PEERS" http-origin \
    "$INTERNET" $ALT_PORT "$FILES"
e2e_spawn "$ALPHA_NS" "$E2E_TMP/origin-$NAMED_PORT.log" "$PYTHON" "$PEERS" http-origin \
    127.0.0.1 $NAMED_PORT "$FILES"
e2e_spawn "$INTERNET_NS" "$E2E_TMP/ftp-server.log" "$PYTHON" "$PEERS" ftp-server "$INTERNET" 21 \
    "$FILES" "$FTP_USER" "$FTP_PASSWORD"
e2e_spawn "$INTERNET_NS" "$E2E_TMP/pop3-server.log" "$PYTHON" "$PEERS" pop3-server "$INTERNET" \
    110 "$MAIL" "$POP3_USER" "$POP3_PASSWORD"
readonly DNS_LOG="$E2E_TMP/dnsmasq.log"
e2e_spawn "$INTERNET_NS" "$E2E_TMP/dnsmasq.out" "$DNSMASQ" --keep-in-foreground \
    --conf-file=/dev/null --no-resolv --no-hosts --user=root --pid-file="$E2E_TMP/dnsmasq.pid" \
    --listen-address="$INTERNET" --bind-interfaces --port=53 \
    --address="/$DNS_NAME/$DNS_ANSWER" --log-queries --log-facility="$DNS_LOG"

servers_listening() {
    local port
    for port in 80 $ALT_PORT 21 110 53; do
        e2e_tcp_listening "$INTERNET_NS" "$port" || return 1
    done
    e2e_udp_listening "$INTERNET_NS" 53 && e2e_tcp_listening "$ALPHA_NS" "$NAMED_PORT"
}
e2e_wait_until 10000 "the servers" servers_listening ||
    e2e_fail "the servers do not listen; their output: $(tail -n 5 "$E2E_TMP"/*.log \
        "$E2E_TMP/dnsmasq.out" 2>&1)"

# --- Clients and checks.

in_ns() { e2e_in_ns "$CLIENT_LIMIT" "$@"; }
plain_curl() { e2e_curl "$CLIENT_LIMIT" "$@"; }

# fetch NAME NS CURL_ARGS...: curl in namespace NS; the answer's heads (all of them, without CR)
# in $E2E_TMP/NAME.head, its body in NAME.body. Fails the test when curl fails.
fetch() {
    local name=$1 ns=$2
    shift 2
    local out="$E2E_TMP/$name"
    plain_curl "$ns" -D "$out.rawhead" -o "$out.body" "$@" 2>"$out.err" ||
        e2e_fail "$name: curl $* failed in $ns: $(cat "$out.err")"
    tr -d '\r' <"$out.rawhead" >"$out.head"
}

# raw_http NAME REQUEST: sends REQUEST (\r\n written as such) from beta to its HTTP mapping and
# stores the whole answer until the close, without CR, in $E2E_TMP/NAME.answer.
raw_http() {
    local out="$E2E_TMP/$1"
    in_ns "$BETA_NS" "$PYTHON" "$PEERS" http-raw "$BETA_ADDR" $HTTP_PORT "$2" >"$out.raw" \
        2>"$out.err" || e2e_fail "$1: the raw request failed: $(cat "$out.err")"
    tr -d '\r' <"$out.raw" >"$out.answer"
}

# body_is NAME TEXT: the body of fetch NAME is TEXT and a newline.
body_is() {
    [[ $(cat "$E2E_TMP/$1.body") == "$2" ]] ||
        e2e_fail "$1: the body is '$(head -c 300 "$E2E_TMP/$1.body")', not '$2'"
}

# head_has NAME LINE: the head of fetch NAME holds LINE.
head_has() {
    grep -qxF -- "$2" "$E2E_TMP/$1.head" ||
        e2e_fail "$1: the head lacks '$2': $(cat "$E2E_TMP/$1.head")"
}

# relay_head NAME URI: the head of NAME (its first three lines) is a 200 status line, then the
# relay's "X-MPM-URI: URI" and the Via line.
relay_head() {
    local file="$E2E_TMP/$1.head"
    [[ -f $file ]] || file="$E2E_TMP/$1.answer"
    local status uri via
    status=$(sed -n 1p "$file")
    uri=$(sed -n 2p "$file")
    via=$(sed -n 3p "$file")
    [[ $status =~ ^HTTP/1\.[01]\ 200\  && $uri == "X-MPM-URI: $2" && $via == "$VIA" ]] ||
        e2e_fail "$1: the answer does not begin with a 200 status line, 'X-MPM-URI: $2' and" \
            "'$VIA': $(head -n 12 "$file")"
}

# same_bytes WHAT EXPECTED RECEIVED: the two files are equal.
same_bytes() {
    [[ $(e2e_sha256 "$2") == "$(e2e_sha256 "$3")" ]] ||
        e2e_fail "$1: $(stat -c %s "$3") bytes arrived that differ from the $(stat -c %s "$2")" \
            "sent"
}

# run_client WHAT NS ARGS...: a client of relay_peers.py in namespace NS; its check lines go to
# the log, and the test fails with them when a check fails.
run_client() {
    local what=$1 ns=$2 out
    shift 2
    if ! out=$(in_ns "$ns" "$PYTHON" "$PEERS" "$@" 2>&1); then
        e2e_fail "$what: $out"
    fi
    printf '    %s\n' "${out//$'\n'/$'\n'    }"
}

# dig_answer NS SERVER NAME [DIG_OPTIONS...]: what SERVER answers a query for the A records of
# NAME from NS, on one line (dig's complaint when there is no answer).
dig_answer() {
    local ns=$1 server=$2 name=$3 out
    shift 3
    out=$(in_ns "$ns" dig "@$server" "$name" A +short +time=3 +tries=2 "$@" 2>&1) || true
    echo "${out//$'\n'/ }"
}

# --- The servers and clients straight from ALPHA; beta cannot reach the Internet itself.

status=0
plain_curl "$BETA_NS" --connect-timeout 3 -o /dev/null "http://$INTERNET/" \
    2>"$E2E_TMP/direct.err" || status=$?
((status == 7)) ||
    e2e_fail "beta's own curl to the Internet ended with status $status:" \
        "$(cat "$E2E_TMP/direct.err")"
fetch direct-file "$ALPHA_NS" "http://$INTERNET/files/data.bin"
same_bytes "the file straight from the origin" "$FILES/data.bin" "$E2E_TMP/direct-file.body"
fetch direct-alt "$ALPHA_NS" "http://$INTERNET:$ALT_PORT/alt"
body_is direct-alt "GET /alt HTTP/1.1"
fetch direct-named "$ALPHA_NS" "http://localhost:$NAMED_PORT/named"
head_has direct-named "X-Origin: 127.0.0.1:$NAMED_PORT"
run_client "FTP straight from ALPHA" "$ALPHA_NS" ftp-client "$INTERNET" 21 "$FTP_USER" \
    "$FTP_PASSWORD" "$FILES" --direct
run_client "POP3 straight from ALPHA" "$ALPHA_NS" pop3-client "$INTERNET" 110 "$POP3_USER" \
    "$POP3_PASSWORD" "$MAIL" --direct
answer=$(dig_answer "$ALPHA_NS" "$INTERNET" "$DNS_NAME")
[[ $answer == "$DNS_ANSWER" ]] || e2e_fail "dnsmasq answers ALPHA with '$answer'"
e2e_pass "the origins, the FTP, POP3 and DNS servers answer ALPHA directly; beta cannot reach" \
    "them"

# --- ALPHA online, beta with the four relays as mappings.

# online_address_fresh: beta knows ALPHA's server as the online address, heard within 5 s.
online_address_fresh() {
    e2e_proxy_status beta |
        jq -e --arg a "$ALPHA_SERVER" '.onlineAddress == $a and .onlineAddressAge != null and
            .onlineAddressAge < 5' >/dev/null
}

beta_ready() {
    local index=0 port
    for port in $HTTP_PORT $SOCKS_PORT $FTP_PORT $POP3_PORT; do
        e2e_listener_bound beta "mapping $index" "$BETA_ADDR:$port" || return 1
        index=$((index + 1))
    done
    e2e_listener_bound ALPHA server "$ALPHA_SERVER" && online_address_fresh
}

e2e_start ALPHA 1
e2e_start beta 2
e2e_ctl beta set ProxyMapping00 ":$HTTP_PORT -> HTTP PROXY, notrigger"
e2e_ctl beta set ProxyMapping01 ":$SOCKS_PORT -> SOCKS5 PROXY, notrigger"
e2e_ctl beta set ProxyMapping02 ":$FTP_PORT -> FTP PROXY, notrigger"
e2e_ctl beta set ProxyMapping03 ":$POP3_PORT -> POP3 PROXY, notrigger"
e2e_proxy_on ALPHA
e2e_proxy_on beta
e2e_ctl ALPHA line SimLine up || e2e_fail "ctl line SimLine up failed"
e2e_wait_until 10000 "beta's four mappings and ALPHA online" beta_ready ||
    e2e_fail "after 10 s: beta $(e2e_proxy_status beta), ALPHA $(e2e_proxy_status ALPHA)"
e2e_pass "beta's HTTP, SOCKS5, FTP and POP3 mappings listen; beta knows ALPHA online"

# --- HTTP.

readonly PROXY="http://$BETA_ADDR:$HTTP_PORT"

fetch http-path "$BETA_NS" -x "$PROXY" "http://$INTERNET/relay/a.html?q=1"
relay_head http-path "http://$INTERNET/relay/a.html?q=1"
body_is http-path "GET /relay/a.html?q=1 HTTP/1.1"
head_has http-path "X-Origin: $INTERNET:80"

raw_http http-no-path "GET http://$INTERNET HTTP/1.0\r\nHost: $INTERNET\r\n\r\n"
relay_head http-no-path "http://$INTERNET/"
[[ $(tail -n 1 "$E2E_TMP/http-no-path.answer") == "GET / HTTP/1.0" ]] ||
    e2e_fail "a request without a path reached the origin as: $(cat "$E2E_TMP/http-no-path.answer")"

fetch http-alt "$BETA_NS" -x "$PROXY" "http://$INTERNET:$ALT_PORT/alt/b"
relay_head http-alt "http://$INTERNET:$ALT_PORT/alt/b"
body_is http-alt "GET /alt/b HTTP/1.1"
head_has http-alt "X-Origin: $INTERNET:$ALT_PORT"

fetch http-file "$BETA_NS" -x "$PROXY" "http://$INTERNET/files/data.bin"
relay_head http-file "http://$INTERNET/files/data.bin"
same_bytes "the 4 MiB file through the HTTP relay" "$FILES/data.bin" "$E2E_TMP/http-file.body"
e2e_pass "HTTP GET through beta: origin-form request lines, X-MPM-URI and Via right after the" \
    "status line, with and without a path, port $ALT_PORT, 4 MiB byte-exact"

fetch http-post "$BETA_NS" -x "$PROXY" -H 'Expect:' -H 'Content-Type: application/octet-stream' \
    --data-binary "@$E2E_TMP/post.bin" "http://$INTERNET/echo"
relay_head http-post "http://$INTERNET/echo"
head_has http-post "X-Request-Line: POST /echo HTTP/1.1"
same_bytes "the POST body echoed by the origin" "$E2E_TMP/post.bin" "$E2E_TMP/http-post.body"
# A browser's CR LF after the body: the origin must not get it (it reports what followed).
raw_http http-trailing \
    "POST http://$INTERNET/trailing HTTP/1.0\r\ncontent-length: 5\r\n\r\nhello\r\n"
relay_head http-trailing "http://$INTERNET/trailing"
[[ $(tail -n 1 "$E2E_TMP/http-trailing.answer") == "body=$(printf hello | od -An -tx1 |
    tr -d ' \n') extra=0" ]] ||
    e2e_fail "the origin got another body or more bytes: $(cat "$E2E_TMP/http-trailing.answer")"
e2e_pass "HTTP POST through beta: 256 KiB reach the origin and come back byte-exact; with" \
    "'content-length: 5' the origin gets 5 bytes and not the CR LF after them"

fetch http-connect "$BETA_NS" -x "$PROXY" --proxytunnel "http://$INTERNET/tunnel"
head -n 5 "$E2E_TMP/http-connect.head" >"$E2E_TMP/http-connect.first"
printf '%s\n' "HTTP/1.1 200 Connection established" "Server: Harbolt" "Connection: Keep-alive" "" \
    "HTTP/1.0 200 OK" | cmp -s - "$E2E_TMP/http-connect.first" ||
    e2e_fail "CONNECT: the heads are: $(cat "$E2E_TMP/http-connect.head")"
body_is http-connect "GET /tunnel HTTP/1.1"
! grep -qE "^(X-MPM-URI|Via):" "$E2E_TMP/http-connect.head" ||
    e2e_fail "CONNECT: the relay changed the tunnelled answer: $(cat "$E2E_TMP/http-connect.head")"
e2e_pass "HTTP CONNECT through beta: the relay's three lines, then the origin's bytes unchanged"

# --- SOCKS5.

readonly SOCKS="$BETA_ADDR:$SOCKS_PORT"
fetch socks-address "$BETA_NS" --socks5 "$SOCKS" "http://$INTERNET/files/data.bin"
same_bytes "the 4 MiB file through the SOCKS5 relay" "$FILES/data.bin" \
    "$E2E_TMP/socks-address.body"
head_has socks-address "X-Origin: $INTERNET:80"
! grep -qxF "$VIA" "$E2E_TMP/socks-address.head" ||
    e2e_fail "the SOCKS5 relay changed the answer: $(cat "$E2E_TMP/socks-address.head")"
! e2e_tcp_listening "$BETA_NS" $NAMED_PORT ||
    e2e_fail "something listens on beta's port $NAMED_PORT"
fetch socks-name "$BETA_NS" --socks5-hostname "$SOCKS" "http://localhost:$NAMED_PORT/named"
body_is socks-name "GET /named HTTP/1.1"
head_has socks-name "X-Origin: 127.0.0.1:$NAMED_PORT"
e2e_pass "SOCKS5 through beta: 4 MiB byte-exact from an address, and the name 'localhost'" \
    "resolved on ALPHA"

# --- Many at once: parallel downloads through the HTTP and the SOCKS5 relay together.

# parallel_args PREFIX URL: curl's output and URL arguments for PARALLEL copies of URL.
parallel_args() {
    local i
    for ((i = 1; i <= PARALLEL; i++)); do
        printf '%s\n' -o "$E2E_TMP/$1-$i" "$2"
    done
}
mapfile -t http_args < <(parallel_args parallel-http "http://$INTERNET/files/data.bin")
mapfile -t socks_args < <(parallel_args parallel-socks "http://$INTERNET:$ALT_PORT/files/data.bin")
started=$(e2e_now_ms)
plain_curl "$BETA_NS" --parallel --parallel-max "$PARALLEL" -x "$PROXY" "${http_args[@]}" \
    2>"$E2E_TMP/parallel-http.err" &
http_client=$!
plain_curl "$BETA_NS" --parallel --parallel-max "$PARALLEL" --socks5 "$SOCKS" "${socks_args[@]}" \
    2>"$E2E_TMP/parallel-socks.err" &
socks_client=$!
wait "$http_client" ||
    e2e_fail "parallel downloads through HTTP: $(cat "$E2E_TMP/parallel-http.err")"
wait "$socks_client" ||
    e2e_fail "parallel downloads through SOCKS5: $(cat "$E2E_TMP/parallel-socks.err")"
elapsed=$(($(e2e_now_ms) - started))
for ((i = 1; i <= PARALLEL; i++)); do
    same_bytes "parallel download $i through HTTP" "$FILES/data.bin" "$E2E_TMP/parallel-http-$i"
    same_bytes "parallel download $i through SOCKS5" "$FILES/data.bin" \
        "$E2E_TMP/parallel-socks-$i"
done
e2e_pass "$PARALLEL downloads through the HTTP relay and $PARALLEL through SOCKS5 at once, 4 MiB" \
    "each byte-exact, in $elapsed ms"

# --- FTP, active mode: ALPHA's relay connects the server's data connections to beta's client.

run_client "FTP through beta" "$BETA_NS" ftp-client "$BETA_ADDR" $FTP_PORT \
    "$FTP_USER@$INTERNET" "$FTP_PASSWORD" "$FILES"
e2e_pass "FTP through beta as $FTP_USER@$INTERNET: login, active-mode NLST and LIST, both files" \
    "byte-exact, passive-mode NLST, the relay's login errors"

# --- POP3, with the user name's own "@" and an explicit port.

run_client "POP3 through beta" "$BETA_NS" pop3-client "$BETA_ADDR" $POP3_PORT \
    "$POP3_USER@$INTERNET:110" "$POP3_PASSWORD" "$MAIL"
e2e_pass "POP3 through beta as $POP3_USER@$INTERNET:110: login, STAT, LIST, both messages" \
    "byte-exact, the relay's answers before login"

# --- DNS.

dns_port_open() {
    e2e_udp_listening "$1" 53 || e2e_tcp_listening "$1" 53
}
if dns_port_open "$BETA_NS" || dns_port_open "$ALPHA_NS"; then
    e2e_fail "port 53 is open without ProxyDnsServerEnabled"
fi

for name in ALPHA beta; do
    e2e_ctl "$name" set ProxyDnsServerEnabled yes
    e2e_ctl "$name" set ProxyDnsServer "$INTERNET"
    e2e_ctl "$name" proxy restart >/dev/null
done
dns_ready() {
    local ns
    for ns in "$ALPHA_NS" "$BETA_NS"; do
        e2e_udp_listening "$ns" 53 && e2e_tcp_listening "$ns" 53 || return 1
    done
    beta_ready
}
e2e_wait_until 10000 "port 53 on ALPHA and beta" dns_ready ||
    e2e_fail "port 53 after 10 s: ALPHA $(ip netns exec "$ALPHA_NS" ss -Hlnut "sport = :53")," \
        "beta $(ip netns exec "$BETA_NS" ss -Hlnut "sport = :53"); beta $(e2e_proxy_status beta)"

# queries_from_alpha: how many queries for DNS_NAME dnsmasq got from ALPHA.
queries_from_alpha() {
    grep -c "query\[A\] $DNS_NAME from $ALPHA_LINK\$" "$DNS_LOG" || true
}
before=$(queries_from_alpha)
answer=$(dig_answer "$BETA_NS" "$BETA_ADDR" "$DNS_NAME")
[[ $answer == "$DNS_ANSWER" ]] || e2e_fail "dig over UDP at beta: '$answer'"
answer=$(dig_answer "$BETA_NS" "$BETA_ADDR" "$DNS_NAME" +tcp)
[[ $answer == "$DNS_ANSWER" ]] || e2e_fail "dig over TCP at beta: '$answer'"
answer=$(dig_answer "$ALPHA_NS" "$ALPHA_ADDR" "$DNS_NAME")
[[ $answer == "$DNS_ANSWER" ]] || e2e_fail "dig over UDP at ALPHA: '$answer'"
after=$(queries_from_alpha)
((after - before == 3)) ||
    e2e_fail "dnsmasq got $((after - before)) queries from ALPHA, not 3: $(tail -n 10 "$DNS_LOG")"
# Queries at once from several clients: each answer finds its own requester and ID.
clients=()
for ((i = 1; i <= PARALLEL; i++)); do
    dig_answer "$BETA_NS" "$BETA_ADDR" "u$i.$DNS_NAME" >"$E2E_TMP/dig-udp-$i" &
    clients+=($!)
    if ((i <= PARALLEL / 2)); then
        dig_answer "$BETA_NS" "$BETA_ADDR" "t$i.$DNS_NAME" +tcp >"$E2E_TMP/dig-tcp-$i" &
        clients+=($!)
    fi
done
wait "${clients[@]}"
for file in "$E2E_TMP"/dig-*; do
    [[ $(cat "$file") == "$DNS_ANSWER" ]] ||
        e2e_fail "of queries made at once, ${file##*/} got '$(cat "$file")'"
done
e2e_pass "DNS: no port 53 while off; queries over UDP and TCP at beta and over UDP at ALPHA get" \
    "dnsmasq's answer, asked by ALPHA; so do $PARALLEL UDP and $((PARALLEL / 2)) TCP queries" \
    "at once"

e2e_done
