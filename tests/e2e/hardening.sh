#!/usr/bin/env bash
# Attacks on a running instance, each small enough for CI: threads, descriptors and memory of the
# attacked instance are printed before, during and after each attack and must stay bounded, and
# the instance must go on doing its work.
#   forged-datainfo  data info of a computer heard by presence, pointing at a server that accepts
#                    and never answers, does not hold up replication from a real peer.
#   enospc           a full data directory: the failed save is said once (stderr, ctl status
#                    "saveError") and the value is saved once there is room again.
#   self-mapping     a mapping that points at its own listener does not multiply threads.
#   roster-flood     5,000 invented presence names: bounded roster and memory.
#   silent           500 connections that send nothing do not keep a client from being served,
#                    and are closed after the request time limit.
#   wan-refused      a host on a second segment of the instance is refused by its mapping, a LAN
#                    host is served.
#   bind-flood       4,000 SOCKS5 BINDs held open by one LAN computer on the online computer's
#                    server port: it holds no more than its share of them, and beta's tunnel and
#                    replication still pass.
# Every stage runs even when one before it failed; the script fails if any did.
# HARBOLT_HARDENING_STAGES="NAME ..." runs only those stages.
# Usage: hardening.sh HARBOLT SEND_DATAGRAM
# shellcheck disable=SC2317 # predicates run through e2e_wait_until
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_init "$@"
command -v python3 >/dev/null || e2e_fail "python3 (Debian package python3) is missing"
command -v curl >/dev/null || e2e_fail "curl (Debian package curl) is missing"
command -v nsenter >/dev/null || e2e_fail "nsenter (Debian package util-linux) is missing"
E2E_EXTRA_ARGS=(--dialup sim)

readonly ALPHA_IP=10.77.0.1 BETA_IP=10.77.0.2 ATTACKER_IP=10.77.0.3
readonly INTERNET_IP=10.78.0.2 WAN_HOST_IP=10.88.0.2
readonly HTTP_PORT=8000 HTTP_MAPPING_PORT=8080 LOOP_PORT=7001 BETA_FORWARD_PORT=8090
# ALPHA's session cap ("ProxyMaxSessions"), lowered so that the floods stay cheap: one computer
# may hold half of it.
readonly MAX_SESSIONS=1000
readonly REQUEST_LIMIT_MS=2000
# Under the sanitizers an instance's memory is several times larger and grows by more for the same
# work: growth is then judged relative to the stage's own baseline.
if [[ -n ${ASAN_OPTIONS:-}${TSAN_OPTIONS:-} ]]; then
    readonly SANITIZED=1
else
    readonly SANITIZED=0
fi

declare -a FAILED_STAGES=()
STAGES=${HARBOLT_HARDENING_STAGES:-forged-datainfo enospc self-mapping silent wan-refused bind-flood roster-flood}

# --- Measuring.

# measure STAGE PHASE NAME [PID]: prints and returns (in USAGE) threads, fds and RSS of NAME.
USAGE=""
measure() {
    local pid=${4:-${E2E_PID[$3]:-}}
    if [[ -z $pid ]] || ! kill -0 "$pid" 2>/dev/null; then
        stage_fail "$3 is not running ($1 $2)"
    fi
    USAGE=$(e2e_usage "$pid")
    e2e_log "$1 $2: $USAGE ($3)"
}

threads_of() { e2e_usage_field "$1" threads; }
fds_of() { e2e_usage_field "$1" fds; }
rss_of() { e2e_usage_field "$1" rss; }

# within NOW BASE MARGIN: NOW <= BASE + MARGIN.
within() { (($1 <= $2 + $3)); }

# rss_margin BASE_KB: how much an attack may add to RSS (kB): 30 MB, or under the sanitizers
# half the baseline when that is more.
rss_margin() {
    local margin=30720
    if ((SANITIZED && $1 / 2 > margin)); then
        margin=$(($1 / 2))
    fi
    echo "$margin"
}

# check_bounds STAGE PHASE BASE NOW THREADS FDS [RSS_KB]: fails the stage when NOW exceeds BASE
# by more than the margins.
check_bounds() {
    local stage=$1 phase=$2 base=$3 now=$4
    within "$(threads_of "$now")" "$(threads_of "$base")" "$5" ||
        stage_fail "$stage $phase: $(threads_of "$now") threads, baseline $(threads_of "$base") + $5"
    within "$(fds_of "$now")" "$(fds_of "$base")" "$6" ||
        stage_fail "$stage $phase: $(fds_of "$now") descriptors, baseline $(fds_of "$base") + $6"
    local rss_limit=${7:-$(rss_margin "$(rss_of "$base")")}
    within "$(rss_of "$now")" "$(rss_of "$base")" "$rss_limit" ||
        stage_fail "$stage $phase: RSS $(rss_of "$now") kB, baseline $(rss_of "$base") + $rss_limit kB"
}

# Stages run in subshells: a failed check ends its stage only.
stage_fail() {
    e2e_log "FAIL: $*"
    exit 1
}

run_stage() {
    local stage=$1
    [[ " $STAGES " == *" $stage "* ]] || return 0
    e2e_log "=== stage $stage"
    local started
    started=$(e2e_now_ms)
    if (
        trap - EXIT
        "stage_${stage//-/_}"
    ); then
        E2E_CHECKS=$((E2E_CHECKS + 1))
        e2e_log "PASS: stage $stage ($(($(e2e_now_ms) - started)) ms)"
    else
        FAILED_STAGES+=("$stage")
        e2e_log "stage $stage failed after $(($(e2e_now_ms) - started)) ms"
    fi
}

# --- Tools of the attacks, in Python: the 512-byte announcement layout (little-endian magics,
# payload length, type; the payload starts with the 32-byte name and the version).

TOOL="$E2E_TMP/attack.py"
cat >"$TOOL" <<'EOF'
import os, select, socket, struct, sys, time

MAGIC1, MAGIC2, VERSION, PORT = 0x27021977, 0x019C5299, 0x00010000, 42717


def datagram(kind, payload):
    head = struct.pack("<iiHH", MAGIC1, MAGIC2, len(payload), kind)
    return (head + payload).ljust(512, b"\0")


def name_field(name):
    return name.encode("cp1252")[:31].ljust(32, b"\0")


def presence(name):
    return datagram(1, name_field(name) + struct.pack("<i", VERSION))


def data_info(name, journal_end, sync_address):
    payload = name_field(name) + struct.pack("<ii", VERSION, journal_end)
    return datagram(2, payload + sync_address.encode()[:127].ljust(128, b"\0"))


def send(to, datagrams, per_burst=200, pause=0.02):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        for i, d in enumerate(datagrams):
            s.sendto(d, (to, PORT))
            if i % per_burst == per_burst - 1:
                time.sleep(pause)


def hold(address, port):
    """Accepts connections and never answers; prints each acceptance."""
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind((address, port))
    server.listen(64)
    held = []
    while True:
        client, peer = server.accept()
        held.append(client)
        print("accepted", peer[0], flush=True)


def silent(address, port, count, ready, limit_s):
    """Opens COUNT connections that send nothing; reports when the peer closed them. They are
    opened a few at a time, so that the server's small listen queue takes every one of them
    (a connection the queue dropped looks open from this side but was never accepted)."""
    conns = []
    for i in range(count):
        s = socket.socket()
        s.settimeout(3)
        try:
            s.connect((address, port))
            conns.append(s)
        except OSError:
            s.close()
        if i % 4 == 3:
            time.sleep(0.01)
    start = time.monotonic()
    open(ready, "w").close()
    closed = {}
    while len(closed) < len(conns) and time.monotonic() - start < limit_s:
        live = [s for s in conns if s.fileno() not in closed]
        readable, _, _ = select.select(live, [], [], 0.2)
        for s in readable:
            try:
                data = s.recv(4096)
            except OSError:
                data = b""
            if not data:
                closed[s.fileno()] = time.monotonic() - start
    times = sorted(closed.values())
    print(f"connected={len(conns)} closed={len(closed)}"
          f" first={int(1000 * times[0]) if times else -1}"
          f" last={int(1000 * times[-1]) if times else -1}", flush=True)


def binds(address, port, count, peer, peer_port, ready, release, limit_s):
    """COUNT SOCKS5 BINDs for PEER through the server port, as a LAN computer's tunnels, all
    held open; reports how many got their first reply and how many were closed at once, then
    holds the rest until the file RELEASE appears (or LIMIT_S passes)."""
    import resource
    resource.setrlimit(resource.RLIMIT_NOFILE, (count + 256, count + 256))
    request = (b"SOCKPROXY V1 (NT)\r\nSOCKS5 PROXY\r\n\x05\x01\x00\x05\x02\x00\x01" +
               socket.inet_aton(peer) + struct.pack(">H", peer_port))
    conns, failed = [], 0
    for i in range(count):
        s = socket.socket()
        s.settimeout(3)
        try:
            s.connect((address, port))
            s.sendall(request)
            conns.append(s)
        except OSError:
            s.close()
            failed += 1
        if i % 8 == 7:
            time.sleep(0.002)
    # poll: select cannot take descriptors past 1023.
    by_fd = {s.fileno(): s for s in conns}
    got = {fd: b"" for fd in by_fd}
    closed = set()
    waiting = select.poll()
    for fd in by_fd:
        waiting.register(fd, select.POLLIN)
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline and any(len(got[fd]) < 12 and fd not in closed
                                              for fd in by_fd):
        for fd, _ in waiting.poll(200):
            try:
                data = by_fd[fd].recv(64)
            except OSError:
                data = b""
            if data:
                got[fd] += data
            else:
                closed.add(fd)
            if not data or len(got[fd]) >= 12:
                waiting.unregister(fd)
    bound = sum(1 for fd in by_fd if got[fd][:4] == b"\x05\x00\x05\x00")
    print(f"attempted={count} failed={failed} bound={bound} closed={len(closed)}", flush=True)
    open(ready, "w").close()
    start = time.monotonic()
    while time.monotonic() - start < limit_s and not os.path.exists(release):
        time.sleep(0.1)
    for s in conns:
        s.close()


command = sys.argv[1]
if command == "presence":
    send(sys.argv[2], [presence(n) for n in sys.argv[3:]], per_burst=1)
elif command == "flood":
    prefix, count = sys.argv[3], int(sys.argv[4])
    send(sys.argv[2], [presence(f"{prefix}{i:05d}") for i in range(count)])
elif command == "datainfo":
    # Rounds of data info and presence, as a live computer would keep sending them.
    for _ in range(int(sys.argv[6])):
        send(sys.argv[2], [data_info(sys.argv[3], int(sys.argv[4]), sys.argv[5]),
                           presence(sys.argv[3])], per_burst=1)
        time.sleep(0.3)
elif command == "binds":
    binds(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5], int(sys.argv[6]),
          sys.argv[7], sys.argv[8], float(sys.argv[9]))
elif command == "hold":
    hold(sys.argv[2], int(sys.argv[3]))
elif command == "silent":
    silent(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5], float(sys.argv[6]))
EOF

# --- Network: ALPHA and beta on the bridge, the attacker's host 3 beside them; the "Internet"
# with an HTTP server behind ALPHA only; a second bridged segment on ALPHA with one host.

e2e_host 1
e2e_host 2
e2e_host 3
ATTACKER_NS=$(e2e_host_ns 3)
ALPHA_NS=$(e2e_host_ns 1)
e2e_private_link Internet 1 10.78.0.1/24 "$INTERNET_IP/24"
INTERNET_NS=$(e2e_link_ns Internet)
ip -n "$INTERNET_NS" route add "$ALPHA_IP/32" via 10.78.0.1

# The second segment: a bridge of its own with ALPHA's eth2 and the host "wan" on it.
WAN_SWITCH=$(e2e_link_ns wan-sw)
WAN_NS=$(e2e_link_ns wan)
ip netns add "$WAN_SWITCH"
E2E_NAMESPACES+=("$WAN_SWITCH")
ip netns add "$WAN_NS"
E2E_NAMESPACES+=("$WAN_NS")
ip -n "$WAN_SWITCH" link add br1 type bridge
ip -n "$WAN_SWITCH" link set br1 up
ip -n "$WAN_NS" link set lo up
for end in alpha:"$ALPHA_NS":10.88.0.1 wan:"$WAN_NS":"$WAN_HOST_IP"; do
    IFS=: read -r port ns address <<<"$end"
    ip -n "$WAN_SWITCH" link add "$port" type veth peer name eth2 netns "$ns"
    ip -n "$WAN_SWITCH" link set "$port" master br1
    ip -n "$WAN_SWITCH" link set "$port" up
    ip -n "$ns" addr add "$address/24" dev eth2
    ip -n "$ns" link set eth2 up
done
# The wan host reaches ALPHA's LAN address across its segment, as a host on the outside would.
ip -n "$WAN_NS" route add 10.77.0.0/24 via 10.88.0.1

mkdir -p "$E2E_TMP/www"
echo "served $$" >"$E2E_TMP/www/hello.txt"
e2e_spawn "$INTERNET_NS" "$E2E_TMP/http.log" python3 -m http.server "$HTTP_PORT" \
    --bind "$INTERNET_IP" --directory "$E2E_TMP/www"
http_up() { e2e_tcp_listening "$INTERNET_NS" "$HTTP_PORT"; }
e2e_wait_until 10000 "the HTTP server" http_up ||
    e2e_fail "the HTTP server does not listen: $(cat "$E2E_TMP/http.log")"

# --- ALPHA online with an HTTP mapping, beta beside it; both with a short request time limit.

ENVIRONMENT="$E2E_DEFAULT_ENV HARBOLT_REQUEST_TIME_LIMIT_MS=$REQUEST_LIMIT_MS"
# shellcheck disable=SC2086 # words of the environment
e2e_start ALPHA 1 $ENVIRONMENT
# shellcheck disable=SC2086
e2e_start beta 2 $ENVIRONMENT
for name in ALPHA beta; do
    e2e_set_address "$name"
    e2e_ctl "$name" set ProxyEnabled yes
done
e2e_ctl ALPHA set ProxyMapping00 ":$HTTP_MAPPING_PORT -> $INTERNET_IP:$HTTP_PORT, notrigger"
e2e_ctl ALPHA set ProxyMaxSessions "$MAX_SESSIONS"
# beta reaches the HTTP server through a tunnel to ALPHA's server port.
e2e_ctl beta set ProxyMapping00 ":$BETA_FORWARD_PORT -> $INTERNET_IP:$HTTP_PORT, notrigger"
for name in ALPHA beta; do
    e2e_ctl "$name" proxy restart >/dev/null
done
e2e_ctl ALPHA line SimLine up >/dev/null || e2e_fail "ctl line SimLine up failed"

# http_get NS: the test page fetched through ALPHA's HTTP mapping from namespace NS.
http_get() {
    timeout -k 2 10 ip netns exec "$1" curl -s -m 5 "http://$ALPHA_IP:$HTTP_MAPPING_PORT/hello.txt" ||
        true
}
served() { [[ $(http_get "$ATTACKER_NS") == "served $$" ]]; }
online_on_beta() {
    e2e_proxy_status beta | jq -e --arg a "$ALPHA_IP:1977" \
        '.onlineAddress == $a and .onlineAddressAge != null and .onlineAddressAge < 5' >/dev/null
}
both_alive() {
    [[ $(e2e_alive_names ALPHA | tr '\n' ' ') == "Alpha beta " ]] &&
        [[ $(e2e_alive_names beta | tr '\n' ' ') == "Alpha beta " ]]
}
e2e_wait_until 10000 "ALPHA and beta to see each other, beta to know ALPHA online" \
    eval 'both_alive && online_on_beta' ||
    e2e_fail "the instances did not get together: $(e2e_status ALPHA) $(e2e_proxy_status beta)"
e2e_wait_until 5000 "the page through ALPHA's mapping" served ||
    e2e_fail "ALPHA's HTTP mapping does not serve the page: '$(http_get "$ATTACKER_NS")'"
e2e_pass "ALPHA is online and its mapping serves the page to the LAN"

# alpha_on_beta / beta_on_alpha KEY: a property as the other's copy holds it.
beta_on_alpha() { e2e_ctl ALPHA list beta --json | jq -r --arg k "$1" '.[$k] // empty'; }

# --- Stage: forged data info.

stage_forged_datainfo() {
    local stage=forged-datainfo base during after
    e2e_spawn "$ATTACKER_NS" "$E2E_TMP/hold.log" python3 "$TOOL" hold "$ATTACKER_IP" 1977
    holding() { e2e_tcp_listening "$ATTACKER_NS" 1977; }
    e2e_wait_until 5000 "the silent server" holding || stage_fail "the silent server does not listen"
    measure "$stage" before ALPHA
    base=$USAGE
    # The invented computer is heard first, as the instance wants it.
    ip netns exec "$ATTACKER_NS" python3 "$TOOL" presence "$ALPHA_IP" Phantom Phantom
    phantom_known() { e2e_alive_names ALPHA | grep -qx Phantom; }
    e2e_wait_until 3000 "ALPHA to hear Phantom" phantom_known ||
        stage_fail "ALPHA does not list the invented computer Phantom"
    local value
    ip netns exec "$ATTACKER_NS" python3 "$TOOL" datainfo "$ALPHA_IP" Phantom 2000000000 \
        "$ATTACKER_IP:1977" 6
    accepted() { grep -q accepted "$E2E_TMP/hold.log"; }
    e2e_wait_until 3000 "ALPHA to connect to the silent server" accepted ||
        e2e_log "ALPHA did not connect to the silent server (it may ignore the data info)"
    e2e_log "ALPHA connected $(grep -c accepted "$E2E_TMP/hold.log") times to the silent server"
    value="forged $$ $RANDOM"
    e2e_ctl beta set E2eHardeningProbe "$value"
    arrived() { [[ $(beta_on_alpha E2eHardeningProbe) == "$value" ]]; }
    if ! e2e_wait_until 5000 "beta's change on ALPHA while the forged update hangs" arrived; then
        measure "$stage" during ALPHA
        stage_fail "beta's change did not reach ALPHA within 5 s of a forged data info"
    fi
    e2e_log "beta's change reached ALPHA after $E2E_WAITED_MS ms"
    measure "$stage" during ALPHA
    during=$USAGE
    check_bounds "$stage" during "$base" "$during" 10 20
    sleep 2
    measure "$stage" after ALPHA
    after=$USAGE
    check_bounds "$stage" after "$base" "$after" 10 20
}

# --- Stage: the data directory is full.

# A tmpfs of 64 KiB in a mount namespace of its own, held by a sleeping process: the instance
# and its ctl run in there, and nothing leaks to the machine.
FULL_HOLDER=""
full_in() { nsenter -t "$FULL_HOLDER" -m -n "$@"; }
full_ctl() { timeout -k 2 10 nsenter -t "$FULL_HOLDER" -m -n "$HARBOLT" ctl --data-dir "$FULL_DIR" "$@"; }
FULL_PID=""
full_start() {
    echo "---- start $(date '+%H:%M:%S.%N')" >>"$FULL_LOG"
    nsenter -t "$FULL_HOLDER" -m -n env "$E2E_DEFAULT_ENV" "$HARBOLT" --headless --name Full \
        --data-dir "$FULL_DIR" --clock-log "$E2E_TMP/Full.clock" --verbose \
        </dev/null >>"$FULL_LOG" 2>&1 &
    FULL_PID=$!
    full_answers() { full_ctl status --json >/dev/null 2>&1; }
    e2e_wait_until 10000 "the instance on the full disk" full_answers ||
        stage_fail "the instance on the tiny disk does not answer: $(tail -n 5 "$FULL_LOG")"
}
full_stop() {
    kill -TERM "$FULL_PID" 2>/dev/null || true
    local i
    for ((i = 0; i < 50; i++)); do
        kill -0 "$FULL_PID" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$FULL_PID" 2>/dev/null || true
    wait "$FULL_PID" 2>/dev/null || true
}
full_saved_value() {
    full_in "$HARBOLT" data dump --json "$FULL_DIR/Harbolt.DAT" 2>/dev/null |
        jq -r '.computers[] | select(.own == true) | .properties.E2eFullProbe // empty'
}
cannot_save_lines() { grep -c "cannot save .*Harbolt.DAT" "$FULL_LOG" || true; }

stage_enospc() {
    local stage=enospc base during after
    FULL_DIR=${E2E_DIR[Full]}
    FULL_LOG=$(e2e_logfile Full)
    : >"$FULL_LOG"
    # ip, unshare and sh each exec the next: the PID is the sleeping holder's.
    # shellcheck disable=SC2016 # $0 is the inner shell's
    ip netns exec "${E2E_NS[Full]}" unshare -m --propagation private \
        sh -c 'mount -t tmpfs -o size=64k harbolt-e2e-full "$0" && exec sleep 600' "$FULL_DIR" \
        </dev/null >"$E2E_TMP/full-holder.log" 2>&1 &
    FULL_HOLDER=$!
    mounted() { full_in findmnt -n "$FULL_DIR" >/dev/null 2>&1; }
    e2e_wait_until 5000 "the tiny tmpfs" mounted ||
        stage_fail "the tiny tmpfs is not mounted: $(cat "$E2E_TMP/full-holder.log")"
    full_start
    full_ctl set E2eFullFirst first >/dev/null
    has_file() { full_in test -s "$FULL_DIR/Harbolt.DAT"; }
    e2e_wait_until 13000 "the first save" has_file || stage_fail "no data file after a save tick"
    measure "$stage" before Full "$FULL_PID"
    base=$USAGE
    # Fill every block that is left.
    full_in dd if=/dev/zero of="$FULL_DIR/filler" bs=4k status=none 2>/dev/null || true
    full_in sh -c "cat /dev/zero >>'$FULL_DIR/filler'" 2>/dev/null || true
    e2e_log "the data directory: $(full_in df -k --output=used,avail "$FULL_DIR" | tail -n 1 |
        awk '{print $1 " kB used, " $2 " kB free"}')"
    local value="full $$ $RANDOM"
    full_ctl set E2eFullProbe "$value" >/dev/null || stage_fail "ctl set failed on the full disk"
    said() { (($(cannot_save_lines) >= 1)); }
    e2e_wait_until 13000 "the failed save on stderr" said ||
        stage_fail "no 'cannot save' on stderr 13 s after a change on a full disk"
    e2e_log "stderr: $(grep -m 1 "cannot save .*Harbolt.DAT" "$FULL_LOG")"
    local status
    status=$(full_ctl status --json) || stage_fail "ctl status fails on the full disk"
    jq -e '.saveError | type == "string" and length > 0' <<<"$status" >/dev/null ||
        stage_fail "ctl status shows no saveError: $(jq -c 'del(.computers)' <<<"$status")"
    e2e_log "ctl status saveError: $(jq -r .saveError <<<"$status")"
    # Two more ticks: still failing, still said once.
    sleep 21
    measure "$stage" during Full "$FULL_PID"
    during=$USAGE
    (($(cannot_save_lines) == 1)) ||
        stage_fail "the failed save is said $(cannot_save_lines) times on stderr, not once"
    check_bounds "$stage" during "$base" "$during" 3 5
    full_in rm -f "$FULL_DIR/filler"
    saved_now() { [[ $(full_saved_value) == "$value" ]]; }
    e2e_wait_until 25000 "the value saved once there is room" saved_now ||
        stage_fail "the value is not saved 25 s after the disk has room again"
    e2e_log "saved $E2E_WAITED_MS ms after the space was freed"
    full_in "$HARBOLT" data check "$FULL_DIR/Harbolt.DAT" >/dev/null ||
        stage_fail "data check fails after the full disk"
    status=$(full_ctl status --json)
    jq -e '.saveError == null or .saveError == ""' <<<"$status" >/dev/null ||
        stage_fail "ctl status still shows saveError $(jq -r .saveError <<<"$status")"
    measure "$stage" after Full "$FULL_PID"
    after=$USAGE
    check_bounds "$stage" after "$base" "$after" 3 5
    full_stop
    full_start
    [[ $(full_ctl get E2eFullProbe) == "$value" ]] ||
        stage_fail "after a restart E2eFullProbe is '$(full_ctl get E2eFullProbe 2>&1)'"
    full_stop
    grep -qE "ERROR: AddressSanitizer|runtime error:|ThreadSanitizer" "$FULL_LOG" &&
        stage_fail "the instance on the full disk reported a sanitizer error"
    kill -KILL "$FULL_HOLDER" 2>/dev/null || true
    e2e_log "the value is saved and read back after a restart"
}

# --- Stage: a mapping that points at its own listener.

stage_self_mapping() {
    local stage=self-mapping base_a base_b now_a now_b key
    measure "$stage" before ALPHA
    base_a=$USAGE
    measure "$stage" before beta
    base_b=$USAGE
    e2e_ctl beta proxy map ":$LOOP_PORT -> $BETA_IP:$LOOP_PORT, notrigger" || stage_fail "ctl proxy map failed"
    e2e_ctl beta proxy restart >/dev/null
    loop_bound() {
        e2e_proxy_status beta | jq -e --arg a "$BETA_IP:$LOOP_PORT" \
            'any(.listeners[]; .address == $a and .bound == true)' >/dev/null
    }
    e2e_wait_until 5000 "beta's looping mapping to listen" loop_bound ||
        stage_fail "beta's mapping to itself does not listen: $(e2e_proxy_status beta)"
    # One client that sends a line and stays 5 s.
    (
        printf 'ping\r\n'
        sleep 5
    ) | ip netns exec "$ATTACKER_NS" timeout 6 socat - "TCP:$BETA_IP:$LOOP_PORT" \
        >/dev/null 2>&1 &
    local client=$! peak_a=0 peak_b=0 i
    for ((i = 0; i < 8; i++)); do
        sleep 0.5
        now_a=$(e2e_usage "${E2E_PID[ALPHA]}")
        now_b=$(e2e_usage "${E2E_PID[beta]}")
        (($(threads_of "$now_a") > peak_a)) && peak_a=$(threads_of "$now_a")
        (($(threads_of "$now_b") > peak_b)) && peak_b=$(threads_of "$now_b")
    done
    measure "$stage" during ALPHA
    check_bounds "$stage" during "$base_a" "$USAGE" 50 100
    measure "$stage" during beta
    check_bounds "$stage" during "$base_b" "$USAGE" 50 100
    e2e_log "$stage peak threads while the client stayed: ALPHA $peak_a, beta $peak_b;" \
        "beta's proxy counts: $(e2e_proxy_status beta | jq -c '{refused, loopsRefused}')"
    (($(e2e_proxy_status beta | jq .loopsRefused) >= 1)) ||
        stage_fail "$stage: beta did not refuse the forwarding to its own port"
    ((peak_a <= $(threads_of "$base_a") + 50 && peak_b <= $(threads_of "$base_b") + 50)) ||
        stage_fail "$stage: threads peaked at ALPHA $peak_a, beta $peak_b (baseline + 50)"
    wait "$client" 2>/dev/null || true
    back() {
        (($(threads_of "$(e2e_usage "${E2E_PID[ALPHA]}")") <= $(threads_of "$base_a") + 3)) &&
            (($(threads_of "$(e2e_usage "${E2E_PID[beta]}")") <= $(threads_of "$base_b") + 3))
    }
    e2e_wait_until 10000 "threads back to the baseline after the client left" back || true
    measure "$stage" after ALPHA
    now_a=$USAGE
    measure "$stage" after beta
    now_b=$USAGE
    key=$(e2e_ctl beta list --json | jq -r --arg p ":$LOOP_PORT " \
        'to_entries[] | select(.key | startswith("ProxyMapping")) |
            select(.value | startswith($p)) | .key' | head -n 1)
    [[ -n $key ]] && e2e_ctl beta proxy unmap "${key#ProxyMapping}" >/dev/null &&
        e2e_ctl beta proxy restart >/dev/null
    check_bounds "$stage" after "$base_a" "$now_a" 3 10
    check_bounds "$stage" after "$base_b" "$now_b" 3 10
}

# --- Stage: 500 silent connections.

stage_silent() {
    local stage=silent base during after report started elapsed page reply
    measure "$stage" before ALPHA
    base=$USAGE
    rm -f "$E2E_TMP/silent.ready"
    ip netns exec "$ATTACKER_NS" python3 "$TOOL" silent "$ALPHA_IP" 1977 500 \
        "$E2E_TMP/silent.ready" $((REQUEST_LIMIT_MS / 1000 + 10)) >"$E2E_TMP/silent.out" 2>&1 &
    local attack=$!
    ready() { [[ -f $E2E_TMP/silent.ready ]]; }
    e2e_wait_until $((10000 * (1 + 3 * SANITIZED))) "500 silent connections" ready ||
        stage_fail "the 500 connections were not made: $(cat "$E2E_TMP/silent.out")"
    started=$(e2e_now_ms)
    page=$(http_get "$ATTACKER_NS")
    elapsed=$(($(e2e_now_ms) - started))
    measure "$stage" during ALPHA
    during=$USAGE
    [[ $page == "served $$" ]] ||
        stage_fail "with 500 silent connections the page through the mapping is '$page'"
    ((elapsed < 1500 * (1 + 2 * SANITIZED))) ||
        stage_fail "the page took $elapsed ms with 500 silent connections"
    e2e_log "the page was served in $elapsed ms beside 500 silent connections"
    wait "$attack" || true
    report=$(cat "$E2E_TMP/silent.out")
    e2e_log "silent connections: $report (ms after all were open)"
    local closing=""
    if [[ ! $report =~ connected=500\ closed=500\ first=([0-9-]+)\ last=([0-9-]+) ]]; then
        closing="not every silent connection was closed: $report"
    elif ((BASH_REMATCH[2] > REQUEST_LIMIT_MS + 4000)); then
        closing="the last silent connection was closed after ${BASH_REMATCH[2]} ms"
    fi
    # 500 threads at once: under the sanitizers each carries a large shadow of its stack, and
    # ThreadSanitizer's own state of a thread comes to about 1 MB more.
    check_bounds "$stage" during "$base" "$during" 600 600 $((SANITIZED ? 768000 : 30720))
    # The attacker is gone: the server port answers again at once.
    reply=$(printf 'HELLO\r\n\r\n' | timeout -k 2 10 ip netns exec "$ATTACKER_NS" \
        socat -t 3 - "TCP:$ALPHA_IP:1977" 2>/dev/null | tr -d '\r' | head -n 1) || true
    [[ $reply == "bad request" ]] ||
        stage_fail "after the attack ALPHA's server port answers '$reply' to an unknown request"
    near() { (($(threads_of "$(e2e_usage "${E2E_PID[ALPHA]}")") <= $(threads_of "$base") + 3)); }
    e2e_wait_until 10000 "ALPHA's threads back near the baseline" near || true
    measure "$stage" after ALPHA
    after=$USAGE
    check_bounds "$stage" after "$base" "$after" 3 10 $((SANITIZED ? 768000 : 30720))
    [[ -z $closing ]] || stage_fail "$closing"
}

# --- Stage: the mapping refuses a host on a second segment.

stage_wan_refused() {
    local stage=wan-refused base after reply page
    measure "$stage" before ALPHA
    base=$USAGE
    reply=$(timeout -k 2 10 ip netns exec "$WAN_NS" curl -s -m 5 \
        "http://$ALPHA_IP:$HTTP_MAPPING_PORT/hello.txt" 2>&1) || true
    page=$(http_get "$ATTACKER_NS")
    measure "$stage" after ALPHA
    after=$USAGE
    [[ -z $reply ]] || stage_fail "the host $WAN_HOST_IP on ALPHA's second segment got '$reply'"
    [[ $page == "served $$" ]] || stage_fail "the LAN host got '$page'"
    check_bounds "$stage" after "$base" "$after" 3 10
    e2e_log "$WAN_HOST_IP on the second segment is closed without a reply; $ATTACKER_IP is served"
}

# --- Stage: one computer floods the server port with SOCKS5 BINDs.

stage_bind_flood() {
    local stage=bind-flood base during after report page value share=$((MAX_SESSIONS / 2))
    measure "$stage" before ALPHA
    base=$USAGE
    rm -f "$E2E_TMP/binds.ready" "$E2E_TMP/binds.release"
    ip netns exec "$ATTACKER_NS" python3 "$TOOL" binds "$ALPHA_IP" 1977 4000 "$INTERNET_IP" \
        "$HTTP_PORT" "$E2E_TMP/binds.ready" "$E2E_TMP/binds.release" 60 \
        >"$E2E_TMP/binds.out" 2>&1 &
    local attack=$!
    ready() { [[ -f $E2E_TMP/binds.ready ]]; }
    if ! e2e_wait_until $((30000 * (1 + SANITIZED))) "4,000 BINDs" ready; then
        touch "$E2E_TMP/binds.release"
        stage_fail "the BINDs were not made: $(cat "$E2E_TMP/binds.out")"
    fi
    report=$(cat "$E2E_TMP/binds.out")
    e2e_log "the attacker's BINDs: $report"
    measure "$stage" during ALPHA
    during=$USAGE
    # beta's tunnel and a change replicated from ALPHA to beta pass beside the flood.
    page=$(timeout -k 2 10 ip netns exec "$(e2e_host_ns 2)" curl -s -m 5 \
        "http://$BETA_IP:$BETA_FORWARD_PORT/hello.txt" 2>&1) || true
    value="bind flood $$ $RANDOM"
    e2e_ctl ALPHA set E2eBindFloodProbe "$value"
    replicated() {
        [[ $(e2e_ctl beta list Alpha --json | jq -r '.E2eBindFloodProbe // empty') == "$value" ]]
    }
    local replication=ok
    e2e_wait_until 10000 "ALPHA's change on beta during the flood" replicated ||
        replication="ALPHA's change did not reach beta within 10 s"
    e2e_log "during the flood beta's tunnel got '$page', ALPHA's change reached beta after" \
        "$E2E_WAITED_MS ms"
    local counters
    counters=$(e2e_proxy_status ALPHA | jq -c '{overCap, overShare}')
    touch "$E2E_TMP/binds.release"
    wait "$attack" || true
    e2e_log "ALPHA's counts: $counters"
    [[ $page == "served $$" ]] || stage_fail "beta's tunnel during the flood got '$page'"
    [[ $replication == ok ]] || stage_fail "$replication"
    [[ $report =~ bound=([0-9]+) ]] || stage_fail "no report from the attacker: $report"
    ((BASH_REMATCH[1] <= share)) ||
        stage_fail "ALPHA holds ${BASH_REMATCH[1]} BINDs of one computer (its share: $share)"
    check_bounds "$stage" during "$base" "$during" $((share + 50)) $((2 * share + 100)) \
        $((SANITIZED ? 1536000 : 102400))
    near() { (($(threads_of "$(e2e_usage "${E2E_PID[ALPHA]}")") <= $(threads_of "$base") + 5)); }
    e2e_wait_until 10000 "ALPHA's threads back near the baseline" near || true
    measure "$stage" after ALPHA
    after=$USAGE
    check_bounds "$stage" after "$base" "$after" 5 10 $((SANITIZED ? 1536000 : 102400))
}

# --- Stage: 5,000 invented presence names.

stage_roster_flood() {
    local stage=roster-flood base during after status count
    measure "$stage" before ALPHA
    base=$USAGE
    ip netns exec "$ATTACKER_NS" python3 "$TOOL" flood "$ALPHA_IP" Flood 5000
    sleep 2.5 # two receive passes
    measure "$stage" during ALPHA
    during=$USAGE
    status=$(e2e_status ALPHA) || stage_fail "ctl status --json fails after the flood"
    count=$(jq '.computers | length' <<<"$status")
    e2e_log "ALPHA lists $count computers after 5,000 invented names"
    ((count <= 1024)) || stage_fail "ALPHA lists $count computers (at most 1,024)"
    check_bounds "$stage" during "$base" "$during" 5 10
    sleep 2
    measure "$stage" after ALPHA
    after=$USAGE
    check_bounds "$stage" after "$base" "$after" 5 10
    e2e_ctl ALPHA status >/dev/null || stage_fail "ctl status fails after the flood"
}

[[ " $STAGES " != *" enospc "* ]] || e2e_solo Full
for stage in $STAGES; do
    run_stage "$stage"
done
e2e_running ALPHA || e2e_fail "ALPHA ended during the attacks"
e2e_running beta || e2e_fail "beta ended during the attacks"
((${#FAILED_STAGES[@]} == 0)) || e2e_fail "stages failed: ${FAILED_STAGES[*]}"
e2e_done
