#!/usr/bin/env bash
# Benchmark of the proxy tunnel and the protocol relays (`make bench`; a measurement, not a test).
# It measures, timing each section and ending with a table of every ratio against its goal:
#   1. iperf3 through three network namespaces B, A and S (tunnel_iperf.sh): kernel routing, two
#      HAProxy relays, two socat relays and the tunnel (B's mapping -> A's server port -> S), up
#      and down, with the CPU time each costs per GiB;
#   and on loopback, with two instances A and B where A's simulated line is up, so that A is
#   online and B tunnels every mapped connection through A's proxy server port:
#   2. one stream, verified byte for byte at the sink: directly to the target, through the
#      tunnel (client -> B's mapping -> A's server port -> target) and through two socat relays
#      in the same places (client -> socat -> socat -> target); then iperf3 through the tunnel
#      without and with the same LAN key on A and B (the keyed handshake opens every tunnel),
#      in rounds of alternate order: the keyed throughput may be at most 10 % below the
#      unkeyed (the median of the rounds' ratios), or the benchmark fails;
#   3. 10,000 connections to an echo target held open at once, through the tunnel and through the
#      socat chain: set-up rate, failures, the resident memory each connection costs, and the
#      instances' threads back where they were once the connections closed;
#   4. HTTP requests per second for a 1 KiB file from nginx (ab, a fixed number of clients at
#      once, each with keep-alive connections and each with a new connection per request):
#      directly, through B's "HTTP PROXY" mapping (client -> B -> A -> nginx, A does the HTTP
#      work) and through tinyproxy (one hop);
#   5. downloads of a large file, one at a time (curl): directly, through B's "HTTP PROXY" and
#      "SOCKS5 PROXY" mappings, through tinyproxy and through microsocks (one hop each);
#   6. an idle headless instance alone in a network namespace of its own: resident memory and the
#      share of one CPU it uses.
# nginx, tinyproxy, microsocks, haproxy and iperf3 are Debian's programs, each started here with a
# configuration of its own in the temporary directory (`make bench-deps` installs them).
#
# Everything runs inside a private network namespace of its own (unshare: as root, or as a user
# where user namespaces are allowed), so the instances' announcements on UDP 42717 reach no other
# Harbolt instance on this machine and theirs cannot reach ours. The namespace ends with its last
# process. Where no namespace can be made, the machine's own loopback is used when no other
# program holds UDP port 42717, and section 1 (named namespaces, root only) is skipped.
#
# As root the open-file limits are raised for the connection run (each instance holds a thread
# and several descriptors per tunnelled connection), and kernel.pid_max when the threads of the
# run would come near it; pid_max is put back at the end.
#
# Usage: proxy_bench.sh HARBOLT TUNNEL_LOAD
# Environment: BENCH_IPERF_SECONDS (each iperf3 run, default 3), BENCH_MIB (stream size,
#              default 256), BENCH_CONNECTIONS (default 10000), BENCH_SOCAT_CONNECTIONS (the
#              same through socat, which forks twice per connection and sets up some tens of
#              them a second: default 500), BENCH_WINDOW (connection set-ups in flight at a time,
#              default 32: well below the listen backlogs, SOMAXCONN for the instances' ports and
#              socat's here, so that the set-up rate is the relays' own and not the kernel's 1 s
#              SYN retransmission), BENCH_HTTP_CLIENTS (ab's clients at once, default 16),
#              BENCH_HTTP_SECONDS (length of each ab run, default 3), BENCH_DOWNLOAD_MIB
#              (download size, default 256: a sparse file, it takes no disk space),
#              BENCH_DOWNLOAD_ROUNDS (downloads per path, the median is reported, default 3),
#              BENCH_IDLE_SECONDS (least time the idle instance is watched, default 10),
#              BENCH_KEY_ROUNDS (rounds of iperf3 without and with a LAN key, default 4; twice
#              that when the first ones fall short of the goal),
#              BENCH_KEY_SECONDS (each iperf3 run of those rounds, default 2)
set -euo pipefail
export LC_ALL=C.UTF-8
unset LANG LANGUAGE
# curl and the relays must go exactly where they are told.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

SELF=$(realpath "${BASH_SOURCE[0]}")
readonly SELF
readonly STREAM_MIB=${BENCH_MIB:-256}
readonly CONNECTIONS=${BENCH_CONNECTIONS:-10000}
readonly SOCAT_CONNECTIONS=${BENCH_SOCAT_CONNECTIONS:-500}
readonly WINDOW=${BENCH_WINDOW:-32}
readonly HTTP_CLIENTS=${BENCH_HTTP_CLIENTS:-16}
readonly HTTP_SECONDS=${BENCH_HTTP_SECONDS:-3}
readonly DOWNLOAD_MIB=${BENCH_DOWNLOAD_MIB:-256}
readonly DOWNLOAD_ROUNDS=${BENCH_DOWNLOAD_ROUNDS:-3}
readonly IDLE_SECONDS=${BENCH_IDLE_SECONDS:-10}
readonly KEY_ROUNDS=${BENCH_KEY_ROUNDS:-4}
readonly KEY_SECONDS=${BENCH_KEY_SECONDS:-2}
readonly HTTP_MAX_REQUESTS=3000000 # ab's cap; the time limit ends each run long before
readonly DOWNLOAD_TIMEOUT=60       # seconds per download
readonly STREAM_TIMEOUT=60 # seconds per stream
readonly CONNS_TIMEOUT=60  # seconds for all set-ups, and again for the echoes of all of them
readonly HOST=127.0.0.1
readonly LINE=BenchLine

say() { printf '[bench] %s\n' "$*"; }
die() {
    printf '[bench] ERROR: %s\n' "$*" >&2
    exit 1
}

if (($# != 2)); then
    echo "usage: $0 HARBOLT TUNNEL_LOAD" >&2
    exit 2
fi
[[ -x $1 ]] || die "no harbolt program at $1 (build first: make build)"
[[ -x $2 ]] || die "no tunnel_load program at $2 (build first: make build)"
HARBOLT=$(realpath "$1")
LOAD=$(realpath "$2")
[[ $STREAM_MIB =~ ^[1-9][0-9]*$ ]] || die "BENCH_MIB must be a positive number of MiB"
[[ $CONNECTIONS =~ ^[1-9][0-9]*$ ]] || die "BENCH_CONNECTIONS must be a positive number"
[[ $SOCAT_CONNECTIONS =~ ^[1-9][0-9]*$ ]] ||
    die "BENCH_SOCAT_CONNECTIONS must be a positive number"
[[ $WINDOW =~ ^[1-9][0-9]*$ ]] || die "BENCH_WINDOW must be a positive number"
[[ $IDLE_SECONDS =~ ^[1-9][0-9]*$ ]] || die "BENCH_IDLE_SECONDS must be a positive number"
[[ $KEY_SECONDS =~ ^[1-9][0-9]*$ ]] || die "BENCH_KEY_SECONDS must be a positive number"
[[ $KEY_ROUNDS =~ ^[1-9][0-9]*$ ]] || die "BENCH_KEY_ROUNDS must be a positive number"
for tool in socat jq ip ss nstat unshare setsid setpriv timeout; do
    command -v "$tool" >/dev/null ||
        die "the $tool command is missing (tools/install-deps.sh installs the packages)"
done
[[ $HTTP_CLIENTS =~ ^[1-9][0-9]*$ ]] || die "BENCH_HTTP_CLIENTS must be a positive number"
[[ $HTTP_SECONDS =~ ^[1-9][0-9]*$ ]] || die "BENCH_HTTP_SECONDS must be a positive number"
[[ $DOWNLOAD_MIB =~ ^[1-9][0-9]*$ ]] || die "BENCH_DOWNLOAD_MIB must be a positive number"
[[ $DOWNLOAD_ROUNDS =~ ^[1-9][0-9]*$ ]] || die "BENCH_DOWNLOAD_ROUNDS must be a positive number"
for tool in ab curl tinyproxy microsocks iperf3; do
    command -v "$tool" >/dev/null ||
        die "the $tool command is missing (make bench-deps installs the benchmark's packages)"
done
# Debian puts nginx in /usr/sbin, which a user's PATH may lack.
NGINX=$(PATH="$PATH:/usr/sbin:/sbin" command -v nginx) ||
    die "the nginx command is missing (make bench-deps installs the benchmark's packages)"
readonly NGINX

# --- Outside: raise the open-file limit, then continue in a namespace of our own (the process
# stays the same: its PID names its temporary directory).

if [[ ${HARBOLT_BENCH_INSIDE:-} != 1 ]]; then
    # What a run killed outright (SIGKILL runs no trap) left behind: its processes ended with it
    # (see GUARD below), its directory did not.
    for dir in /tmp/harbolt-bench-*.*; do
        [[ -d $dir && -O $dir && $dir =~ ^/tmp/harbolt-bench-([0-9]+)\. ]] || continue
        [[ -d /proc/${BASH_REMATCH[1]} ]] || rm -rf "$dir"
    done
    # Each instance holds two sockets and the pipes of its relay per tunnelled connection, and
    # raises its own soft limit to the hard one; as root the hard one goes up to what the kernel
    # allows (fs.nr_open).
    if ((EUID == 0)); then
        nr_open=$(cat /proc/sys/fs/nr_open 2>/dev/null || echo 1048576)
        if [[ $(ulimit -Hn) != unlimited ]] && (($(ulimit -Hn) < nr_open)); then
            hard_before=$(ulimit -Hn)
            if ! ulimit -Hn "$nr_open" 2>/dev/null; then
                note="the hard limit $hard_before cannot be raised here"
                export HARBOLT_BENCH_NOFILE_NOTE="$note (no CAP_SYS_RESOURCE)"
            fi
        fi
    fi
    ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
    export HARBOLT_BENCH_INSIDE=1
    if [[ $EUID -eq 0 ]] && unshare --net true 2>/dev/null; then
        export HARBOLT_BENCH_NETWORK="loopback of a private network namespace"
        exec unshare --net -- bash "$SELF" "$HARBOLT" "$LOAD"
    fi
    if unshare --user --map-root-user --net true 2>/dev/null; then
        export HARBOLT_BENCH_NETWORK="loopback of a private network namespace (user namespace)"
        exec unshare --user --map-root-user --net -- bash "$SELF" "$HARBOLT" "$LOAD"
    fi
    if [[ -n $(ss -Hlun 'sport = :42717' 2>/dev/null) ]]; then
        say "SKIP: no private network namespace can be made here (unshare --net fails: not root,"
        say "and user namespaces are not allowed), and another program listens on UDP 42717 in"
        say "this namespace: the benchmark's instances would join its roster and it theirs. Run as"
        say "root, or stop that program."
        exit 0
    fi
    export HARBOLT_BENCH_NETWORK="loopback of this machine's namespace (no private one can be made)"
    export HARBOLT_BENCH_SHARED=1
fi

# --- Inside.

TMP=""
# Every long-lived process the benchmark starts gets SIGTERM when this script ends, however it
# ends; the traps below end them in order on the usual paths.
readonly -a GUARD=(setpriv --pdeathsig TERM --)
declare -A INSTANCE_PID=() # A, B -> PID
declare -a RELAY_GROUPS=() # process groups of our own (socat, nginx, tinyproxy, microsocks)
declare -a OTHERS=()       # further background processes (the target)
LOAD_PID=""                # the load generator running at the moment (ab), if any

# Ends a process by its PID: SIGTERM, SIGKILL after `limit` tenths of a second.
stop_pid() {
    local pid=$1 limit=${2:-50} i
    kill -TERM "$pid" 2>/dev/null || return 0
    for ((i = 0; i < limit; i++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

show_logs() {
    local file
    for file in "$TMP"/*.log; do
        [[ -f $file ]] || continue
        echo "---- $(basename "$file") (last 25 lines)"
        tail -n 25 "$file"
    done
}

cleanup() {
    local status=$?
    trap - EXIT INT TERM
    set +e
    if ((status == 130 || status == 143)); then
        say "interrupted; stopping what the benchmark started"
    elif ((status != 0)) && [[ -n $TMP ]]; then
        say "failed (status $status)"
        show_logs
    fi
    local name group pid
    [[ -n $LOAD_PID ]] && stop_pid "$LOAD_PID" 20
    for name in "${!INSTANCE_PID[@]}"; do
        stop_pid "${INSTANCE_PID[$name]}" 50
    done
    for group in "${RELAY_GROUPS[@]}"; do
        kill -TERM -- "-$group" 2>/dev/null
    done
    for pid in "${OTHERS[@]}"; do
        stop_pid "$pid" 20
    done
    sleep 0.2
    for group in "${RELAY_GROUPS[@]}"; do
        kill -KILL -- "-$group" 2>/dev/null
        wait "$group" 2>/dev/null
    done
    if [[ -n $PID_MAX_BEFORE ]]; then
        echo "$PID_MAX_BEFORE" >/proc/sys/kernel/pid_max ||
            say "could not put kernel.pid_max back to $PID_MAX_BEFORE"
    fi
    [[ -n $TMP && -d $TMP ]] && rm -rf "$TMP"
    exit "$status"
}
PID_MAX_BEFORE="" # kernel.pid_max before the benchmark raised it, if it did
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

now_ms() {
    local micros=${EPOCHREALTIME//[!0-9]/}
    echo $((10#$micros / 1000))
}
BEGIN_MS=$(now_ms)
readonly BEGIN_MS

if [[ ${HARBOLT_BENCH_SHARED:-} != 1 ]]; then
    ip link set lo up || die "cannot bring up loopback in the private namespace"
fi
TMP=$(mktemp -d "/tmp/harbolt-bench-$$.XXXXXX")

# --- The machine.

cpu_model=$(sed -n 's/^model name[[:space:]]*:[[:space:]]*//p' /proc/cpuinfo | head -n 1)
if [[ -z $cpu_model ]]; then # arm64 names no model in /proc/cpuinfo
    cpu_model=$(lscpu 2>/dev/null | sed -n 's/^Model name:[[:space:]]*//p' | head -n 1)
fi
echo "Harbolt proxy benchmark"
echo "  machine: $(nproc) CPUs, ${cpu_model:-unknown CPU}"
echo "  kernel:  $(uname -srm)"
echo "  load:    $(cut -d ' ' -f 1-3 /proc/loadavg) (1, 5, 15 min) at the start"
echo "  network: $HARBOLT_BENCH_NETWORK"
echo "  open files: $(ulimit -n) (soft and hard limit of every process started here)" \
    "${HARBOLT_BENCH_NOFILE_NOTE:+- $HARBOLT_BENCH_NOFILE_NOTE}"

# The connection run has a thread per connection in each instance (and socat a process per
# connection and relay): with the machine's other tasks that may come near kernel.pid_max, which
# limits threads as well as processes. It goes up for the run when it must, and back at the end.
PID_MAX=$(cat /proc/sys/kernel/pid_max)
THREADS_MAX=$(cat /proc/sys/kernel/threads-max)
tasks_now=$(awk '{ split($4, t, "/"); print t[2] }' /proc/loadavg)
tasks_wanted=$((tasks_now + 2 * CONNECTIONS + 2000))
if ((tasks_wanted > PID_MAX * 9 / 10)); then
    raised=$((tasks_wanted * 2 > 65536 ? tasks_wanted * 2 : 65536))
    ((raised <= 4194304)) || raised=4194304
    if echo "$raised" 2>/dev/null >/proc/sys/kernel/pid_max; then
        PID_MAX_BEFORE=$PID_MAX
        PID_MAX=$raised
        echo "  pid_max: raised from $PID_MAX_BEFORE to $PID_MAX for the run ($tasks_now tasks" \
            "now, up to $((2 * CONNECTIONS)) more), put back at the end"
    else
        echo "  pid_max: $PID_MAX, which cannot be raised here: $tasks_now tasks now, the" \
            "connection run wants up to $((2 * CONNECTIONS)) more"
    fi
else
    echo "  pid_max: $PID_MAX, enough ($tasks_now tasks now, up to $((2 * CONNECTIONS)) more)"
fi
echo "  threads-max: $THREADS_MAX"
echo

# --- Sections: each one's wall time for the summary.

declare -A SECTION_SECONDS=()
SECTION_BEGIN=0
section_begin() { SECTION_BEGIN=$(now_ms); }
section_end() { SECTION_SECONDS[$1]=$((($(now_ms) - SECTION_BEGIN + 500) / 1000)); }

# --- 6. The idle instance starts first, alone in a network namespace of its own, and is watched
# from a few seconds after its start until the other sections are done (at least IDLE_SECONDS).

IDLE_DIR="$TMP/idle"
mkdir -p "$IDLE_DIR"
IDLE_ALONE=yes
idle_namespace=(unshare --net -- sh -c 'ip link set lo up && exec "$@"' sh)
if [[ ${HARBOLT_BENCH_SHARED:-} == 1 ]]; then
    idle_namespace=() # it hears A and B then
    IDLE_ALONE="no (no namespace of its own can be made here: it hears A and B)"
fi
"${GUARD[@]}" "${idle_namespace[@]}" "$HARBOLT" --headless --name BenchIdle \
    --data-dir "$IDLE_DIR" --dialup sim </dev/null >"$TMP/idle.log" 2>&1 &
INSTANCE_PID[idle]=$!

# Run time of all of a process's threads in ns (schedstat: exact, not in clock ticks).
run_ns() {
    local total=0 file value
    for file in /proc/"$1"/task/*/schedstat; do
        read -r value _ <"$file" 2>/dev/null || continue
        total=$((total + value))
    done
    echo "$total"
}
IDLE_RUN_BEFORE=""
IDLE_TIME_BEFORE=""
idle_sample_start() {
    kill -0 "${INSTANCE_PID[idle]}" 2>/dev/null || die "the idle instance ended after its start"
    IDLE_RUN_BEFORE=$(run_ns "${INSTANCE_PID[idle]}")
    IDLE_TIME_BEFORE=$(now_ms)
}

# --- 1. iperf3 through three network namespaces (root only).

declare -A RESULT=() # figures for the summary
section_begin
if [[ $EUID -eq 0 && ${HARBOLT_BENCH_SHARED:-} != 1 ]] &&
    [[ $(awk 'NR == 1 { print $1, $2, $3 }' /proc/self/uid_map) == "0 0 4294967295" ]]; then
    sleep 2 # the idle instance's start-up is no idle time
    idle_sample_start
    iperf_status=0
    "${GUARD[@]}" bash "$(dirname "$SELF")/tunnel_iperf.sh" "$HARBOLT" "$TMP/iperf.results" \
        >"$TMP/iperf.out" 2>&1 || iperf_status=$?
    grep '^\[bench\]' "$TMP/iperf.out" || true
    if [[ -f $TMP/iperf.results ]]; then
        while IFS='=' read -r key value; do
            RESULT[$key]=$value
        done <"$TMP/iperf.results"
    fi
else
    iperf_status=skipped
fi
section_end iperf
[[ -n $IDLE_RUN_BEFORE ]] || {
    sleep 2
    idle_sample_start
}

# --- Ports: seventeen in a row that nobody uses.

port_free() { [[ -z $(ss -Htan "( sport = :$1 )" 2>/dev/null) ]]; }
BASE=0
for ((try = 0; try < 50; try++)); do
    candidate=$((20000 + (RANDOM % 400) * 20))
    all_free=1
    for ((k = 0; k < 17; k++)); do
        port_free $((candidate + k)) || {
            all_free=0
            break
        }
    done
    if ((all_free)); then
        BASE=$candidate
        break
    fi
done
((BASE != 0)) || die "found no seventeen free TCP ports in a row between 20000 and 28000"
readonly P_SINK=$BASE P_ECHO=$((BASE + 1)) P_A=$((BASE + 2)) P_B=$((BASE + 3))
readonly P_MAP_SINK=$((BASE + 4)) P_MAP_ECHO=$((BASE + 5))
readonly P_SA_SINK=$((BASE + 6)) P_SB_SINK=$((BASE + 7))
readonly P_SA_ECHO=$((BASE + 8)) P_SB_ECHO=$((BASE + 9))
readonly P_NGINX=$((BASE + 10)) P_TINYPROXY=$((BASE + 11)) P_MICROSOCKS=$((BASE + 12))
readonly P_MAP_HTTP=$((BASE + 13)) P_MAP_SOCKS=$((BASE + 14))
readonly P_IPERF=$((BASE + 15)) P_MAP_IPERF=$((BASE + 16))

ratio() { # NUMERATOR DENOMINATOR
    if [[ -n $1 && -n $2 ]]; then
        awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'
    else
        echo "n/a"
    fi
}

# median "FIGURE FIGURE ...": nothing when there is none.
median() {
    tr ' ' '\n' <<<"$1" | grep . | sort -g | awk '{ v[NR] = $1 } END {
        if (NR == 0) exit
        if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# wait_until LIMIT_MS COMMAND...: polls every 100 ms.
wait_until() {
    local limit=$1
    shift
    local deadline=$(($(now_ms) + limit))
    until "$@"; do
        (($(now_ms) < deadline)) || return 1
        sleep 0.1
    done
}

listening() { [[ -n $(ss -Hltn "( sport = :$1 )" 2>/dev/null) ]]; }

# --- The target: a sink and an echo port.

"${GUARD[@]}" "$LOAD" serve --host "$HOST" --sink "$P_SINK" --echo "$P_ECHO" \
    >"$TMP/target.log" 2>&1 &
OTHERS+=($!)
target_ready() { grep -qs '^ready$' "$TMP/target.log"; }
wait_until 5000 target_ready || die "the target (tunnel_load serve) does not listen after 5 s"

# --- The two instances.

ctl() {
    local name=$1
    shift
    timeout -k 2 10 "$HARBOLT" ctl --data-dir "$TMP/$name" "$@"
}

start_instance() {
    local name=$1
    mkdir -p "$TMP/$name"
    printf '# A simulated line for the benchmark.\n[%s]\nconnect-delay = 0\n' "$LINE" \
        >"$TMP/$name/phonebook.conf"
    "${GUARD[@]}" "$HARBOLT" --headless --name "Bench$name" --data-dir "$TMP/$name" --dialup sim \
        --clock-log "$TMP/$name.clock" --verbose </dev/null >"$TMP/$name.log" 2>&1 &
    INSTANCE_PID[$name]=$!
}

answers() {
    kill -0 "${INSTANCE_PID[$1]}" 2>/dev/null || die "instance $1 ended during start-up"
    ctl "$1" status --json >/dev/null 2>&1
}

configure() {
    local name=$1
    shift
    local key value
    while (($# >= 2)); do
        key=$1 value=$2
        shift 2
        ctl "$name" set "$key" "$value" >/dev/null || die "instance $name: ctl set $key failed"
    done
}

section_begin
say "starting instances A and B (${HARBOLT})"
start_instance A
start_instance B
wait_until 10000 answers A || die "instance A does not answer ctl status 10 s after its start"
wait_until 10000 answers B || die "instance B does not answer ctl status 10 s after its start"

# Each listener runs at most "ProxyMaxSessions" sessions at once: room for every held connection.
readonly MAX_SESSIONS=$((CONNECTIONS + 1000))
configure A ProxyServerAddress "$HOST:$P_A" ProxyEnabled yes ProxyMaxSessions "$MAX_SESSIONS"
configure B ProxyServerAddress "$HOST:$P_B" ProxyEnabled yes ProxyMaxSessions "$MAX_SESSIONS" \
    ProxyMapping00 ":$P_MAP_SINK -> $HOST:$P_SINK, notrigger" \
    ProxyMapping01 ":$P_MAP_ECHO -> $HOST:$P_ECHO, notrigger" \
    ProxyMapping02 ":$P_MAP_HTTP -> HTTP PROXY, notrigger" \
    ProxyMapping03 ":$P_MAP_SOCKS -> SOCKS5 PROXY, notrigger" \
    ProxyMapping04 ":$P_MAP_IPERF -> $HOST:$P_IPERF, notrigger"
ctl A proxy restart >/dev/null || die "instance A: ctl proxy restart failed"
ctl B proxy restart >/dev/null || die "instance B: ctl proxy restart failed"
ctl A line "$LINE" up >/dev/null || die "instance A: ctl line $LINE up failed"

listener_bound() { # NAME SLOT
    [[ $(ctl "$1" proxy status --json 2>/dev/null |
        jq -r --argjson s "$2" '[.listeners[] | select(.slot == $s and .bound)] | length') == 1 ]]
}
b_sees_a_online() {
    ctl B proxy status --json 2>/dev/null |
        jq -e --arg a "$HOST:$P_A" '.onlineAddress == $a and .onlineAddressAge < 5' >/dev/null
}
wait_until 10000 listener_bound A 100 ||
    die "A's proxy server port $HOST:$P_A is not bound 10 s after the restart"
wait_until 10000 listener_bound B 0 ||
    die "B's mapping on port $P_MAP_SINK is not bound 10 s after the restart"
wait_until 10000 listener_bound B 1 ||
    die "B's mapping on port $P_MAP_ECHO is not bound 10 s after the restart"
wait_until 10000 listener_bound B 2 ||
    die "B's HTTP PROXY mapping on port $P_MAP_HTTP is not bound 10 s after the restart"
wait_until 10000 listener_bound B 3 ||
    die "B's SOCKS5 PROXY mapping on port $P_MAP_SOCKS is not bound 10 s after the restart"
wait_until 10000 listener_bound B 4 ||
    die "B's mapping on port $P_MAP_IPERF is not bound 10 s after the restart"
wait_until 15000 b_sees_a_online ||
    die "B does not see A online at $HOST:$P_A 15 s after A's line came up; B's proxy status:
$(ctl B proxy status 2>&1)
B's roster:
$(ctl B status 2>&1)"

# probe PORT: one connection echoes a message, within 5 s.
probe() {
    "$LOAD" conns --connect "$HOST:$1" --count 1 --window 1 --timeout 5 --settle-ms 0 \
        >"$TMP/probe.out" 2>&1
}
wait_until 10000 probe "$P_MAP_ECHO" ||
    die "the tunnel does not carry data: B's mapping $P_MAP_ECHO -> A -> echo target fails:
$(cat "$TMP/probe.out")"
say "A is online; B tunnels through A's server port $P_A"

# --- The reference relays: socat where B is and where A is, each in a process group of its own
# (socat forks a child per connection), so that ending the group ends them all. nginx, tinyproxy
# and microsocks (below) run the same way.

# start_group LOG COMMAND...: the command in a process group of its own, output to LOG in the
# temporary directory; sets GROUP_PID.
GROUP_PID=""
start_group() {
    local log=$1
    shift
    setsid "${GUARD[@]}" "$@" </dev/null >>"$TMP/$log" 2>&1 &
    GROUP_PID=$!
    RELAY_GROUPS+=("$GROUP_PID")
    # Ending the group must end this program and its children and nothing else: setsid (not a
    # group leader here) makes the program the leader of a new group without forking.
    wait_until 2000 leads_own_group "$GROUP_PID" ||
        die "$1 is not running in a process group of its own (see $log)"
}

declare -A SOCAT_PID=()
# socat's listen queue as long as the instances' (SOMAXCONN), so that neither drops SYNs.
SOMAXCONN=$(cat /proc/sys/net/core/somaxconn)
readonly SOMAXCONN
start_socat() { # NAME LISTEN_PORT TARGET_PORT
    start_group socat.log socat "TCP-LISTEN:$2,bind=$HOST,reuseaddr,fork,backlog=$SOMAXCONN" \
        "TCP:$HOST:$3"
    SOCAT_PID[$1]=$GROUP_PID
}
leads_own_group() {
    local stat pgid
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    stat=${stat##*) }
    read -r _ _ pgid _ <<<"$stat"
    [[ $pgid == "$1" ]]
}
start_socat A-sink "$P_SA_SINK" "$P_SINK"
start_socat B-sink "$P_SB_SINK" "$P_SA_SINK"
start_socat A-echo "$P_SA_ECHO" "$P_ECHO"
start_socat B-echo "$P_SB_ECHO" "$P_SA_ECHO"
for port in "$P_SA_SINK" "$P_SB_SINK" "$P_SA_ECHO" "$P_SB_ECHO"; do
    wait_until 5000 listening "$port" || die "socat does not listen on port $port after 5 s"
done
wait_until 5000 probe "$P_SB_ECHO" || die "the socat chain does not carry data:
$(cat "$TMP/probe.out")"

# --- The origin and the reference proxies for the protocol relays: nginx serves a 1 KiB file
# and a large sparse one (no disk space, and the page cache holds it after the first read);
# tinyproxy (HTTP) and microsocks (SOCKS5) relay in one hop. Each runs with a configuration of
# its own in the temporary directory, logging there.

readonly DOWNLOAD_BYTES=$((DOWNLOAD_MIB * 1024 * 1024))
mkdir -p "$TMP/www" "$TMP/nginx"
head -c 1024 /dev/urandom >"$TMP/www/small.bin"
truncate -s "$DOWNLOAD_BYTES" "$TMP/www/big.bin"
# Read once, so that every download finds the file in the page cache (reading a hole the first
# time is several times slower than a download).
cat "$TMP/www/big.bin" >/dev/null
readonly SMALL_URL="http://$HOST:$P_NGINX/small.bin" BIG_URL="http://$HOST:$P_NGINX/big.bin"

# As root, nginx hands its directories to the workers' user and runs its workers under it; the
# files are in our private directory, so that user is root. In a user namespace no other user
# exists and no group list may be set, which the workers' switch needs: one process serves there.
nginx_user=""
if [[ $EUID -eq 0 ]]; then
    nginx_user="user root root;"
    if [[ $(awk 'NR == 1 { print $1, $2, $3 }' /proc/self/uid_map) != "0 0 4294967295" ]]; then
        nginx_user+=" master_process off;"
    fi
fi
cat >"$TMP/nginx/nginx.conf" <<EOF
# The origin of the benchmark's HTTP requests and downloads.
$nginx_user
worker_processes auto;
pid $TMP/nginx/nginx.pid;
error_log $TMP/nginx.log warn;
events {
    worker_connections 8192;
}
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 1000;
    client_body_temp_path $TMP/nginx/body;
    proxy_temp_path $TMP/nginx/proxy;
    fastcgi_temp_path $TMP/nginx/fastcgi;
    uwsgi_temp_path $TMP/nginx/uwsgi;
    scgi_temp_path $TMP/nginx/scgi;
    default_type application/octet-stream;
    server {
        listen $HOST:$P_NGINX;
        root $TMP/www;
    }
}
EOF
start_group nginx.log "$NGINX" -p "$TMP/nginx/" -e "$TMP/nginx.log" -c "$TMP/nginx/nginx.conf" \
    -g "daemon off;"

cat >"$TMP/tinyproxy.conf" <<EOF
# The reference HTTP proxy of the benchmark.
Port $P_TINYPROXY
Listen $HOST
Timeout 60
MaxClients 1024
LogFile "$TMP/tinyproxy.log"
LogLevel Error
Allow $HOST
EOF
start_group tinyproxy.log tinyproxy -d -c "$TMP/tinyproxy.conf"
readonly TINYPROXY_PID=$GROUP_PID

start_group microsocks.log microsocks -i "$HOST" -p "$P_MICROSOCKS"
readonly MICROSOCKS_PID=$GROUP_PID

# The far end of the iperf3 runs with and without a LAN key, reached through B's mapping 04.
start_group iperf3.log iperf3 -s -B "$HOST" -p "$P_IPERF"

for port in "$P_NGINX" "$P_TINYPROXY" "$P_MICROSOCKS" "$P_IPERF"; do
    wait_until 5000 listening "$port" ||
        die "nginx, tinyproxy, microsocks or iperf3 does not listen on port $port after 5 s"
done

# fetch_small CURL-OPTIONS...: the 1 KiB file arrives unchanged along that path, within 5 s.
fetch_small() {
    rm -f "$TMP/probe.bin"
    curl -sS --max-time 5 -D "$TMP/probe.head" -o "$TMP/probe.bin" "$@" "$SMALL_URL" \
        >"$TMP/probe.out" 2>&1 && cmp -s "$TMP/probe.bin" "$TMP/www/small.bin"
}
# The answer through A's HTTP handler carries its two added lines.
fetch_small_from_a() {
    fetch_small "$@" && grep -q '^X-MPM-URI: ' "$TMP/probe.head" &&
        grep -q '^Via: HTTP/1.0 localhost (Harbolt)' "$TMP/probe.head"
}
probe_failed() {
    die "$1 does not deliver the 1 KiB file: $(cat "$TMP/probe.out")
$(cat "$TMP/probe.head" 2>/dev/null)"
}
wait_until 5000 fetch_small --noproxy '*' || probe_failed "nginx"
wait_until 10000 fetch_small_from_a -x "http://$HOST:$P_MAP_HTTP" ||
    probe_failed "B's HTTP PROXY mapping $P_MAP_HTTP -> A -> nginx"
wait_until 10000 fetch_small --socks5-hostname "$HOST:$P_MAP_SOCKS" ||
    probe_failed "B's SOCKS5 PROXY mapping $P_MAP_SOCKS -> A -> nginx"
wait_until 5000 fetch_small -x "http://$HOST:$P_TINYPROXY" || probe_failed "tinyproxy"
wait_until 5000 fetch_small --socks5-hostname "$HOST:$P_MICROSOCKS" || probe_failed "microsocks"

# --- 1. One stream.

readonly STREAM_BYTES=$((STREAM_MIB * 1024 * 1024))
declare -A MBPS=() SECONDS_TAKEN=() STREAM_ERROR=()
FAILURES=()
if [[ $iperf_status != skipped ]] && ((iperf_status != 0)); then
    FAILURES+=("iperf3 section: status $iperf_status (its output is in the report)")
fi

stream() { # NAME PORT
    local out
    if out=$("$LOAD" stream --connect "$HOST:$2" --bytes "$STREAM_BYTES" \
        --timeout "$STREAM_TIMEOUT" 2>&1); then
        MBPS[$1]=$(sed -n 's/.* mbps=\([0-9.]*\).*/\1/p' <<<"$out")
        SECONDS_TAKEN[$1]=$(sed -n 's/.* seconds=\([0-9.]*\).*/\1/p' <<<"$out")
    else
        STREAM_ERROR[$1]=$out
        FAILURES+=("stream $1: $out")
        MBPS[$1]=""
        SECONDS_TAKEN[$1]=""
    fi
}

section_end setup

section_begin
say "1 stream of $STREAM_MIB MiB each: direct, tunnel, socat chain"
stream direct "$P_SINK"
stream tunnel "$P_MAP_SINK"
stream socat "$P_SB_SINK"
section_end stream

# --- 1b. The LAN key: iperf3 through the tunnel (iperf3 -> B's mapping 04 -> A's server port ->
# iperf3 -s) without a key and with the same key set on A and B through `ctl lan-key set`. With
# the key every tunnel starts with the keyed handshake and the relay after it is the same, so the
# keyed throughput may be at most 10 % below the unkeyed. On a machine of a few CPUs one run
# differs from the next by more than that, whatever the key: the rounds alternate the order
# (without-with, with-without, ...) so that each key change serves two runs and a drift of the
# machine's load falls on both alike, and the verdict is the median of the rounds' ratios, each
# of two runs made one right after the other; one below the goal gets as many rounds again before
# it counts. The key is cleared for the sections after this.

# A key of 32 random bytes, as `lan-key generate` makes them.
LAN_KEY=$(head -c 32 /dev/urandom | base64 | tr -d '=\n' | tr '+/' '-_')
readonly LAN_KEY
LAN_KEY_FINGERPRINT="" # as both instances reported it
LAN_KEY_HEARD=""       # whether B, with the key, still heard A online and distrusted nobody
LAN_KEY_STATE=unkeyed  # what A and B hold now
declare -A KEY_GBPS=() # CONDITION-DIRECTION-ROUND (unkeyed-up-1, keyed-down-2, ...) -> Gbit/s

# key_iperf CONDITION(unkeyed|keyed) DIRECTION(up|down) ROUND: one iperf3 run through the tunnel.
key_iperf() {
    local run="$1-$2-$3" out status try bps
    local -a reverse=()
    [[ $2 == down ]] && reverse=(-R)
    # A machine loaded by others can delay a connection's set-up past iperf3's limit: one more
    # try then, and only the try that ran counts.
    for try in 1 2; do
        status=0
        out=$(timeout -k 2 $((KEY_SECONDS + 20)) iperf3 -c "$HOST" -p "$P_MAP_IPERF" \
            -t "$KEY_SECONDS" --connect-timeout 5000 "${reverse[@]}" -J 2>&1) || status=$?
        if ((status == 0)) &&
            bps=$(jq -er '.end.sum_received.bits_per_second | select(. > 0)' <<<"$out" 2>/dev/null)
        then
            KEY_GBPS[$run]=$(awk -v b="$bps" 'BEGIN { printf "%.2f", b / 1e9 }')
            return 0
        fi
        ((try == 2)) || say "iperf3 $1 $2 through the tunnel failed; once more"
    done
    FAILURES+=("iperf3 $1 $2 through the tunnel: status $status: $(jq -r '.error // empty' \
        <<<"$out" 2>/dev/null || tail -n 2 <<<"$out" | tr '\n' ' ')")
    return 1
}

# lan_key set|clear: on A, then on B; the key from standard input, as a person would give it.
# Returns 1, with the reason in LAN_KEY_ERROR, when an instance refuses, the two disagree or the
# tunnel no longer carries data.
LAN_KEY_ERROR=""
lan_key() {
    local name out status
    for name in A B; do
        status=0
        if [[ $1 == set ]]; then
            out=$(printf '%s\n' "$LAN_KEY" | ctl "$name" lan-key set 2>&1) || status=$?
        else
            out=$(ctl "$name" lan-key clear 2>&1) || status=$?
        fi
        if ((status != 0)); then
            LAN_KEY_ERROR="instance $name: ctl lan-key $1 failed (status $status): ${out//$'\n'/ }"
            return 1
        fi
    done
    local a b
    a=$(ctl A lan-key status 2>&1) || true
    b=$(ctl B lan-key status 2>&1) || true
    if [[ $1 == set && ($a != *fingerprint* || $a != "$b") ]] ||
        [[ $1 == clear && ($a == *fingerprint* || $b == *fingerprint*) ]]; then
        LAN_KEY_ERROR="after lan-key $1, A says \"${a//$'\n'/ }\", B says \"${b//$'\n'/ }\""
        return 1
    fi
    [[ $1 == set ]] && LAN_KEY_FINGERPRINT=${a##* }
    # The tunnel carries data again: with the key, through the handshake on both sides.
    if ! wait_until 10000 probe "$P_MAP_ECHO"; then
        LAN_KEY_ERROR="after lan-key $1 the tunnel does not carry data within 10 s: $(tr '\n' ' ' \
            <"$TMP/probe.out")"
        return 1
    fi
}

key_anywhere() {
    local name
    for name in A B; do
        [[ $(ctl "$name" lan-key status 2>&1) == *fingerprint* ]] && return 0
    done
    return 1
}

# B hears A's sealed announcements: A online, and nobody untrusted (A's seals check out, and B's
# own come back as its own). Without a namespace of our own B hears the idle instance too, which
# has no key.
b_trusts_a() {
    b_sees_a_online || return 1
    [[ ${HARBOLT_BENCH_SHARED:-} == 1 ]] && return 0
    [[ $(ctl B status --json 2>/dev/null | jq -r '.untrusted | length') == 0 ]]
}

# key_state unkeyed|keyed: A and B made to hold that; false (the reason in FAILURES) when not.
key_state() {
    [[ $LAN_KEY_STATE == "$1" ]] && return 0
    if [[ $1 == unkeyed ]]; then
        # Before the key goes: B took A's sealed announcements all along.
        if [[ -z $LAN_KEY_HEARD ]]; then
            LAN_KEY_HEARD=yes
            if ! wait_until 6000 b_trusts_a; then
                LAN_KEY_HEARD=no
                FAILURES+=("LAN key run: with the key B does not hear A online or distrusts a\
 computer: $(ctl B status 2>&1 | grep -E '^(LAN key|Untrusted)' | tr '\n' ' ')")
            fi
        fi
        lan_key clear || die "cannot clear the LAN key again, which the sections after this must" \
            "run without: $LAN_KEY_ERROR"
        LAN_KEY_STATE=unkeyed
        return 0
    fi
    if lan_key set; then
        LAN_KEY_STATE=keyed
        return 0
    fi
    FAILURES+=("LAN key run: $LAN_KEY_ERROR")
    # Where an instance took the key, it must go again; where none could, there is none.
    if ! lan_key clear && key_anywhere; then
        die "cannot clear the LAN key again, which the sections after this must run without:" \
            "$LAN_KEY_ERROR"
    fi
    return 1
}

section_begin
say "iperf3 through the tunnel, $KEY_SECONDS s each way, $KEY_ROUNDS rounds without and with a" \
    "LAN key on A and B"
KEY_ROUNDS_RUN=0 # rounds made, KEY_ROUNDS or twice that
key_failed=0
# key_rounds LAST: the rounds after those made, up to LAST.
key_rounds() {
    local round condition
    local -a order
    for ((round = KEY_ROUNDS_RUN + 1; round <= $1 && !key_failed; round++)); do
        order=(unkeyed keyed)
        ((round % 2 == 0)) && order=(keyed unkeyed)
        for condition in "${order[@]}"; do
            key_state "$condition" || {
                key_failed=1
                break
            }
            key_iperf "$condition" up "$round" || true
            key_iperf "$condition" down "$round" || true
        done
        KEY_ROUNDS_RUN=$round
    done
}

# Per direction: each condition's figures and median, and the median of the rounds' ratios.
declare -A KEY_LIST=() KEY_MEDIAN=() KEY_RATIOS=() KEY_RATIO=()
key_figures() {
    local direction condition round paired
    for direction in up down; do
        for condition in unkeyed keyed; do
            KEY_LIST[$condition-$direction]=""
            for ((round = 1; round <= KEY_ROUNDS_RUN; round++)); do
                KEY_LIST[$condition-$direction]+="${KEY_GBPS[$condition-$direction-$round]:--} "
            done
            KEY_MEDIAN[$condition-$direction]=$(median \
                "${KEY_LIST[$condition-$direction]//-/}")
            [[ -n ${KEY_MEDIAN[$condition-$direction]} ]] &&
                KEY_MEDIAN[$condition-$direction]=$(awk \
                    -v g="${KEY_MEDIAN[$condition-$direction]}" 'BEGIN { printf "%.2f", g }')
        done
        KEY_RATIOS[$direction]=""
        for ((round = 1; round <= KEY_ROUNDS_RUN; round++)); do
            paired=$(ratio "${KEY_GBPS[keyed-$direction-$round]:-}" \
                "${KEY_GBPS[unkeyed-$direction-$round]:-}")
            [[ $paired != n/a ]] && KEY_RATIOS[$direction]+="$paired "
        done
        KEY_RATIO[$direction]=$(median "${KEY_RATIOS[$direction]}")
        [[ -n ${KEY_RATIO[$direction]} ]] &&
            KEY_RATIO[$direction]=$(awk -v r="${KEY_RATIO[$direction]}" 'BEGIN { printf "%.2f", r }')
    done
}
key_slower() { # DIRECTION: the median ratio is below the goal
    [[ -n ${KEY_RATIO[$1]} ]] && awk -v r="${KEY_RATIO[$1]}" 'BEGIN { exit !(r < 0.90) }'
}

key_rounds "$KEY_ROUNDS"
key_figures
# A ratio below the goal after the first rounds may be the machine's doing: as many rounds again,
# and the verdict is that of all of them.
if ((!key_failed)) && { key_slower up || key_slower down; }; then
    say "keyed/unkeyed up ${KEY_RATIO[up]:-n/a}, down ${KEY_RATIO[down]:-n/a} after $KEY_ROUNDS" \
        "rounds: $KEY_ROUNDS more"
    key_rounds $((2 * KEY_ROUNDS))
    key_figures
fi
key_state unkeyed || true
for direction in up down; do
    if key_slower "$direction"; then
        FAILURES+=("LAN key: iperf3 $direction through the tunnel is more than 10 % slower with\
 the key: median ${KEY_MEDIAN[keyed-$direction]} Gbit/s against ${KEY_MEDIAN[unkeyed-$direction]}\
 Gbit/s without, median ratio of $KEY_ROUNDS_RUN rounds ${KEY_RATIO[$direction]}")
    fi
done
section_end lan-key

# --- 2. Many connections held open.

readonly -a COUNTERS=(TcpExtListenOverflows TcpExtListenDrops TcpExtTCPSynRetrans TcpRetransSegs
    TcpExtSyncookiesSent TcpExtSyncookiesFailed TcpEstabResets TcpAttemptFails)
counters() {
    nstat -asz "${COUNTERS[@]}" 2>/dev/null | awk 'NF >= 2 && $1 !~ /^#/ { print $1, $2 }'
}

# counter_delta BEFORE AFTER NAME
counter_delta() {
    local before after
    before=$(awk -v n="$3" '$1 == n { print $2 }' <<<"$1")
    after=$(awk -v n="$3" '$1 == n { print $2 }' <<<"$2")
    echo $((${after:-0} - ${before:-0}))
}

# field TEXT LINE_PREFIX KEY [EXTRA_MATCH]: value of KEY= on the first line starting with the
# prefix (and holding EXTRA_MATCH).
field() {
    awk -v p="$2" -v k="$3" -v m="${4:-}" 'index($0, p) == 1 && (m == "" || index($0, m) > 0) {
        for (i = 1; i <= NF; i++)
            if (index($i, k "=") == 1) { print substr($i, length(k) + 2); exit }
    }' <<<"$1"
}

thread_count() { sed -n 's/^Threads:[[:space:]]*//p' "/proc/$1/status" 2>/dev/null || echo "?"; }

declare -A CONNS_OUT=() COUNTERS_BEFORE=() COUNTERS_AFTER=()
conns() { # RUN PORT COUNT WINDOW SETTLE_MS WATCH-OPTIONS...
    local run=$1 port=$2 count=$3 window=$4 settle=$5
    shift 5
    COUNTERS_BEFORE[$run]=$(counters)
    local status=0
    CONNS_OUT[$run]=$("$LOAD" conns --connect "$HOST:$port" --count "$count" \
        --window "$window" --size 64 --timeout "$CONNS_TIMEOUT" --settle-ms "$settle" "$@" \
        2>&1) || status=$?
    COUNTERS_AFTER[$run]=$(counters)
    if ((status != 0)); then
        FAILURES+=("$count connections, $run: $(grep -E '^(setup|held) ' \
            <<<"${CONNS_OUT[$run]}" | tr '\n' ' ')")
    fi
}

fd_count() { find "/proc/$1/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l; }
open_files_limit() { awk '/^Max open files/ { print $4 }' "/proc/$1/limits" 2>/dev/null; }
over_cap() { ctl "$1" proxy status --json 2>/dev/null | jq -r '.overCap // "?"'; }
# The listen queue of the listening socket on a port (ss shows it as Send-Q).
backlog_of() { ss -Hltn "( sport = :$1 )" 2>/dev/null | awk 'NR == 1 { print $3 }'; }

# Once the held connections have closed, each instance's sessions end and it is back to the
# threads and descriptors it had before.
back_to_baseline() {
    local name
    for name in A B; do
        kill -0 "${INSTANCE_PID[$name]}" 2>/dev/null ||
            die "instance $name ended during the connection run"
        (($(thread_count "${INSTANCE_PID[$name]}") <= ${THREADS_BEFORE[$name]})) || return 1
        (($(fd_count "${INSTANCE_PID[$name]}") <= ${FDS_BEFORE[$name]})) || return 1
    done
}

declare -A THREADS_BEFORE=() FDS_BEFORE=() THREADS_AFTER=() FDS_AFTER=() OVER_CAP_BEFORE=()
declare -A FDS_PER_CONN=()
section_begin
for name in A B; do
    THREADS_BEFORE[$name]=$(thread_count "${INSTANCE_PID[$name]}")
    FDS_BEFORE[$name]=$(fd_count "${INSTANCE_PID[$name]}")
    OVER_CAP_BEFORE[$name]=$(over_cap "$name")
done

# How many connections the instances' open-file limits let them hold: a hundred first, to see
# how many descriptors a tunnelled connection costs each instance.
readonly PROBE_CONNECTIONS=100
conns probe "$P_MAP_ECHO" "$PROBE_CONNECTIONS" "$WINDOW" 300 --watch "A=${INSTANCE_PID[A]}" \
    --watch "B=${INSTANCE_PID[B]}"
wait_until 30000 back_to_baseline || die "the instances do not let go of $PROBE_CONNECTIONS" \
    "closed connections within 30 s"
TUNNEL_CONNECTIONS=$CONNECTIONS
CAPACITY_NOTE="" # why fewer connections than asked for, if so
for name in A B; do
    before=$(field "${CONNS_OUT[probe]}" "mem phase=before" fds " name=$name ")
    open=$(field "${CONNS_OUT[probe]}" "mem phase=open" fds " name=$name ")
    limit=$(open_files_limit "${INSTANCE_PID[$name]}")
    [[ $before =~ ^[0-9]+$ && $open =~ ^[0-9]+$ && $limit =~ ^[0-9]+$ ]] || continue
    per=$(((open - before + PROBE_CONNECTIONS - 1) / PROBE_CONNECTIONS))
    FDS_PER_CONN[$name]=$per
    ((per > 0)) || continue
    room=$(((limit - before - 64) / per))
    if ((room < TUNNEL_CONNECTIONS)); then
        TUNNEL_CONNECTIONS=$room
        CAPACITY_NOTE="instance $name's open-file limit $limit allows $room connections"
        CAPACITY_NOTE+=" at $per descriptors each"
    fi
done
if ((TUNNEL_CONNECTIONS < 1)); then
    die "the instances' open-file limits leave no room for tunnelled connections"
fi
if [[ -n $CAPACITY_NOTE ]]; then
    say "only $TUNNEL_CONNECTIONS connections of $CONNECTIONS: $CAPACITY_NOTE"
fi

say "$TUNNEL_CONNECTIONS connections held open through the tunnel (at most $WINDOW set-ups at a" \
    "time)"
conns tunnel "$P_MAP_ECHO" "$TUNNEL_CONNECTIONS" "$WINDOW" 500 --watch "A=${INSTANCE_PID[A]}" \
    --watch "B=${INSTANCE_PID[B]}"
settle_begin=$(now_ms)
BASELINE_AGAIN=no
wait_until 30000 back_to_baseline && BASELINE_AGAIN=yes
SETTLE_SECONDS=$(awk -v ms="$(($(now_ms) - settle_begin))" 'BEGIN { printf "%.1f", ms / 1000 }')
declare -A OVER_CAP=() # connections past ProxyMaxSessions during the run
for name in A B; do
    THREADS_AFTER[$name]=$(thread_count "${INSTANCE_PID[$name]}")
    FDS_AFTER[$name]=$(fd_count "${INSTANCE_PID[$name]}")
    over=$(over_cap "$name")
    OVER_CAP[$name]="?"
    [[ $over =~ ^[0-9]+$ && ${OVER_CAP_BEFORE[$name]} =~ ^[0-9]+$ ]] &&
        OVER_CAP[$name]=$((over - OVER_CAP_BEFORE[$name]))
done
if [[ $BASELINE_AGAIN != yes ]]; then
    FAILURES+=("$TUNNEL_CONNECTIONS connections: 30 s after they closed the instances still hold" \
        "more than before (threads A ${THREADS_BEFORE[A]} -> ${THREADS_AFTER[A]}, B" \
        "${THREADS_BEFORE[B]} -> ${THREADS_AFTER[B]}; descriptors A ${FDS_BEFORE[A]} ->" \
        "${FDS_AFTER[A]}, B ${FDS_BEFORE[B]} -> ${FDS_AFTER[B]})")
fi
section_end conns-tunnel

section_begin
say "$SOCAT_CONNECTIONS connections held open through the socat chain"
conns socat "$P_SB_ECHO" "$SOCAT_CONNECTIONS" "$WINDOW" 500 --watch-tree "A=${SOCAT_PID[A-echo]}" \
    --watch-tree "B=${SOCAT_PID[B-echo]}"
section_end conns-socat

# --- 3. HTTP requests for the small file (ab), and 4. downloads of the large one (curl).

# CPU time (user and system, in clock ticks) the processes have used, threads gone included.
cpu_ticks() {
    local total=0 pid stat
    local -a fields
    for pid in "$@"; do
        stat=$(cat "/proc/$pid/stat" 2>/dev/null) || continue
        stat=${stat##*) }
        read -r -a fields <<<"$stat"
        total=$((total + fields[11] + fields[12]))
    done
    echo "$total"
}
CLOCK_TICKS=$(getconf CLK_TCK)
readonly CLOCK_TICKS

# The processes that relay on a path (none for direct).
relay_pids() {
    case $1 in
    harbolt*) echo "${INSTANCE_PID[A]} ${INSTANCE_PID[B]}" ;;
    tinyproxy) echo "$TINYPROXY_PID" ;;
    microsocks) echo "$MICROSOCKS_PID" ;;
    esac
}

# Busy and total CPU time of the whole machine so far (all CPUs, every process: ours and others').
machine_cpu() {
    awk '$1 == "cpu" { print $2 + $3 + $4 + $7 + $8 + $9, $2 + $3 + $4 + $5 + $6 + $7 + $8 + $9 }' \
        /proc/stat
}

# Once A's HTTP handlers have let their connections go, A is back to its idle thread count.
a_threads_at_most() {
    local threads
    threads=$(thread_count "${INSTANCE_PID[A]}")
    [[ $threads =~ ^[0-9]+$ ]] || die "instance A ended during the HTTP requests"
    ((threads <= $1))
}

declare -A AB_OUT=() AB_CPU=() AB_PEAK_A=() AB_COUNTERS_BEFORE=() AB_COUNTERS_AFTER=()
declare -A AB_SLOW=() AB_SLOW_SECONDS=() AB_BUSY=()
ab_run() { # PATH MODE(keep-alive|new) [PROXY-HOST:PORT]
    local path=$1 mode=$2 proxy=${3:-}
    local run="$path:$mode"
    local -a args=(-q -r -c "$HTTP_CLIENTS" -t "$HTTP_SECONDS" -n "$HTTP_MAX_REQUESTS"
        -g "$TMP/ab-times.tsv")
    [[ $mode == keep-alive ]] && args+=(-k)
    [[ -n $proxy ]] && args+=(-X "$proxy")
    local -a pids
    read -r -a pids <<<"$(relay_pids "$path")"
    local cpu_before machine_before machine_after peak=0 threads status=0
    rm -f "$TMP/ab-times.tsv"
    cpu_before=$(cpu_ticks "${pids[@]}")
    machine_before=$(machine_cpu)
    AB_COUNTERS_BEFORE[$run]=$(counters)
    "${GUARD[@]}" timeout -k 2 $((HTTP_SECONDS + 30)) ab "${args[@]}" "$SMALL_URL" \
        >"$TMP/ab.out" 2>&1 &
    LOAD_PID=$!
    # A's threads while it runs: a session has its thread while it relays; the pauses after an
    # HTTP relay should hold none.
    while kill -0 "$LOAD_PID" 2>/dev/null; do
        threads=$(thread_count "${INSTANCE_PID[A]}")
        [[ $threads =~ ^[0-9]+$ ]] && ((threads > peak)) && peak=$threads
        sleep 0.1
    done
    wait "$LOAD_PID" || status=$?
    LOAD_PID=""
    AB_COUNTERS_AFTER[$run]=$(counters)
    AB_CPU[$run]=$(($(cpu_ticks "${pids[@]}") - cpu_before))
    machine_after=$(machine_cpu)
    AB_BUSY[$run]=$(awk -v a="$machine_before" -v b="$machine_after" 'BEGIN {
        split(a, x, " "); split(b, y, " ")
        if (y[2] > x[2]) printf "%d%%", 100 * (y[1] - x[1]) / (y[2] - x[2]); else print "n/a" }')
    # Requests of 0.9 s or more: the mark of a connection dropped at a full listen queue and
    # its 1 s retransmission. ab writes one line per request, times in ms.
    AB_SLOW[$run]="?"
    AB_SLOW_SECONDS[$run]="?"
    if [[ -f $TMP/ab-times.tsv ]]; then
        read -r "AB_SLOW[$run]" "AB_SLOW_SECONDS[$run]" < <(awk -F '\t' \
            'NR > 1 && $5 >= 900 { n++; ms += $5 } END { printf "%d %.1f\n", n, ms / 1000 }' \
            "$TMP/ab-times.tsv")
    fi
    AB_PEAK_A[$run]=$peak
    AB_OUT[$run]=$(cat "$TMP/ab.out")
    if ((status != 0)) || ! grep -q '^Requests per second:' <<<"${AB_OUT[$run]}"; then
        FAILURES+=("ab, $path, $mode: status $status: $(tail -n 3 <<<"${AB_OUT[$run]}" |
            tr '\n' ' ')")
    elif [[ $(ab_field "$run" failed) != 0 || $(ab_field "$run" non2xx) != 0 ]]; then
        # ab counts a connection that closed without the whole answer as a "Length" failure.
        FAILURES+=("ab, $path, $mode: $(ab_field "$run" failed) failed requests ($(ab_field \
            "$run" failed_detail)), $(ab_field "$run" non2xx) answers other than 2xx; SYN cookies" \
            "that failed their check during the run: $(counter_delta \
                "${AB_COUNTERS_BEFORE[$run]}" "${AB_COUNTERS_AFTER[$run]}" TcpExtSyncookiesFailed)")
    fi
    if [[ $path == harbolt ]]; then
        wait_until 10000 a_threads_at_most "${THREADS_BEFORE[A]}" ||
            say "A still has $(thread_count "${INSTANCE_PID[A]}") threads 10 s after ab ended"
    fi
}

# ab_field RUN NAME: one figure of ab's report.
ab_field() {
    local out=${AB_OUT[$1]:-}
    case $2 in
    rate) sed -n 's/^Requests per second: *\([0-9.]*\).*/\1/p' <<<"$out" ;;
    complete) sed -n 's/^Complete requests: *\([0-9]*\).*/\1/p' <<<"$out" ;;
    failed) sed -n 's/^Failed requests: *\([0-9]*\).*/\1/p' <<<"$out" ;;
    failed_detail) sed -n 's/^ *(\(Connect: .*\))$/\1/p' <<<"$out" ;;
    non2xx) sed -n 's/^Non-2xx responses: *\([0-9]*\).*/\1/p' <<<"$out" | grep . || echo 0 ;;
    kept) sed -n 's/^Keep-Alive requests: *\([0-9]*\).*/\1/p' <<<"$out" | grep . || echo 0 ;;
    seconds) sed -n 's/^Time taken for tests: *\([0-9.]*\).*/\1/p' <<<"$out" ;;
    mean_ms) sed -n 's/^Time per request: *\([0-9.]*\) \[ms\] (mean)$/\1/p' <<<"$out" ;;
    p50) awk '$1 == "50%" { print $2 }' <<<"$out" ;;
    p99) awk '$1 == "99%" { print $2 }' <<<"$out" ;;
    max) awk '$1 == "100%" { print $2 }' <<<"$out" ;;
    esac
}

section_begin
say "HTTP requests for a 1 KiB file, $HTTP_CLIENTS clients at once, ${HTTP_SECONDS} s each:" \
    "direct, harbolt, tinyproxy; keep-alive and a new connection per request"
LOAD_RELAYS_START=$(cut -d ' ' -f 1-3 /proc/loadavg)
readonly LOAD_RELAYS_START
readonly -a HTTP_PATHS=(direct harbolt tinyproxy)
readonly -a HTTP_MODES=(keep-alive new)
for mode in "${HTTP_MODES[@]}"; do
    ab_run direct "$mode"
    ab_run harbolt "$mode" "$HOST:$P_MAP_HTTP"
    ab_run tinyproxy "$mode" "$HOST:$P_TINYPROXY"
done
section_end http

declare -A DL_SPEEDS=() DL_CPU=() DL_ERROR=()
download() { # PATH CURL-OPTIONS...
    local path=$1
    shift
    local -a pids
    read -r -a pids <<<"$(relay_pids "$path")"
    local cpu_before out status=0 code size speed
    cpu_before=$(cpu_ticks "${pids[@]}")
    out=$("${GUARD[@]}" curl -sS --max-time "$DOWNLOAD_TIMEOUT" -o /dev/null \
        -w '%{http_code} %{size_download} %{speed_download}' "$@" "$BIG_URL" 2>&1) || status=$?
    DL_CPU[$path]+="$(($(cpu_ticks "${pids[@]}") - cpu_before)) "
    read -r code size speed _ <<<"$out"
    if ((status != 0)) || [[ $code != 200 || $size != "$DOWNLOAD_BYTES" ]]; then
        DL_ERROR[$path]="curl status $status, HTTP status and bytes: ${out//$'\n'/ }"
        FAILURES+=("download, $path: ${DL_ERROR[$path]}")
        return
    fi
    DL_SPEEDS[$path]+="$speed "
}

say "$DOWNLOAD_ROUNDS rounds of downloads of $DOWNLOAD_MIB MiB: direct, harbolt HTTP," \
    "tinyproxy, harbolt SOCKS5, microsocks"
readonly -a DL_PATHS=(direct harbolt-http tinyproxy harbolt-socks5 microsocks)
for ((round = 0; round < DOWNLOAD_ROUNDS; round++)); do
    download direct --noproxy '*'
    download harbolt-http -x "http://$HOST:$P_MAP_HTTP"
    download tinyproxy -x "http://$HOST:$P_TINYPROXY"
    download harbolt-socks5 --socks5-hostname "$HOST:$P_MAP_SOCKS"
    download microsocks --socks5-hostname "$HOST:$P_MICROSOCKS"
done
section_end downloads

# --- 6. The idle instance, watched since shortly after its start.

idle_waited=$(($(now_ms) - IDLE_TIME_BEFORE))
if ((idle_waited < IDLE_SECONDS * 1000)); then
    sleep "$(awk -v ms="$((IDLE_SECONDS * 1000 - idle_waited))" 'BEGIN { print ms / 1000 }')"
fi
kill -0 "${INSTANCE_PID[idle]}" 2>/dev/null || die "the idle instance ended (see idle.log)"
IDLE_RUN_AFTER=$(run_ns "${INSTANCE_PID[idle]}")
IDLE_WINDOW_MS=$(($(now_ms) - IDLE_TIME_BEFORE))
idle_status() { # FIELD of the idle instance's /proc status, in kB
    sed -n "s/^$1:[[:space:]]*\([0-9]*\).*/\1/p" "/proc/${INSTANCE_PID[idle]}/status"
}
IDLE_RSS_KB=$(idle_status VmRSS)
IDLE_ANON_KB=$(idle_status RssAnon)
IDLE_FILE_KB=$(idle_status RssFile)
IDLE_THREADS=$(thread_count "${INSTANCE_PID[idle]}")
IDLE_CPU=$(awk -v ns="$((IDLE_RUN_AFTER - IDLE_RUN_BEFORE))" -v ms="$IDLE_WINDOW_MS" \
    'BEGIN { printf "%.3f", 100 * ns / (ms * 1e6) }')

# --- The report.

echo
if [[ $iperf_status == skipped ]]; then
    echo
    echo "== 1. iperf3 through three network namespaces: SKIPPED (needs root and named network"
    echo "      namespaces)"
elif ((iperf_status == 0)); then
    sed -n '/^$/,$p' "$TMP/iperf.out"
else
    echo
    echo "== 1. iperf3 through three network namespaces: FAILED (status $iperf_status)"
    sed 's/^/  /' "$TMP/iperf.out"
fi

echo
echo "== 2. One stream of $STREAM_MIB MiB ($STREAM_BYTES bytes, every byte checked at the sink)"
printf '  %-50s %10s %9s\n' "path" "MB/s" "seconds"
row() { # LABEL NAME
    if [[ -n ${MBPS[$2]} ]]; then
        printf '  %-50s %10.1f %9.2f\n' "$1" "${MBPS[$2]}" "${SECONDS_TAKEN[$2]}"
    else
        printf '  %-50s %10s %9s   FAILED: %s\n' "$1" "-" "-" "${STREAM_ERROR[$2]//$'\n'/ }"
    fi
}
row "direct (client -> target)" direct
row "harbolt tunnel (client -> B -> A -> target)" tunnel
row "socat chain (client -> socat -> socat -> target)" socat
echo "  ratios: tunnel/direct $(ratio "${MBPS[tunnel]}" "${MBPS[direct]}")," \
    "tunnel/socat $(ratio "${MBPS[tunnel]}" "${MBPS[socat]}")"

echo
echo "== 2b. iperf3 through the tunnel without and with a LAN key on A and B, one stream," \
    "$KEY_SECONDS s"
echo "      each way, $KEY_ROUNDS_RUN rounds (iperf3 -> B's mapping -> A's server port ->" \
    "iperf3 -s)"
printf '  %-16s %8s %8s   %s\n' "" "up" "down" "each round, Gbit/s"
printf '  %-16s %8s %8s   %s\n' "" "median" "median" "up / down"
for condition in unkeyed keyed; do
    if [[ $condition == unkeyed ]]; then
        label="without a key"
    else
        label="with a LAN key"
    fi
    printf '  %-16s %8s %8s   %s / %s\n' "$label" "${KEY_MEDIAN[$condition-up]:-FAILED}" \
        "${KEY_MEDIAN[$condition-down]:-FAILED}" "$(xargs <<<"${KEY_LIST[$condition-up]:-}")" \
        "$(xargs <<<"${KEY_LIST[$condition-down]:-}")"
done
echo "  keyed/unkeyed: up ${KEY_RATIO[up]:-n/a} (rounds: $(xargs <<<"${KEY_RATIOS[up]:-}")), down" \
    "${KEY_RATIO[down]:-n/a} (rounds: $(xargs <<<"${KEY_RATIOS[down]:-}")); goal: at least 0.90"
echo "  key fingerprint on both: ${LAN_KEY_FINGERPRINT:-none}; with the key B heard A online and" \
    "distrusted nobody: ${LAN_KEY_HEARD:-not checked}"
echo "  (the rounds run without-with, with-without, ...; the key is set on A and B through"
echo "   \`ctl lan-key set\` on standard input and removed by \`ctl lan-key clear\`, the tunnel"
echo "   probed after each change. keyed/unkeyed: the median of the rounds' ratios, each of two"
echo "   runs made one right after the other)"

echo
echo "== 3. Echo connections held open at once: $TUNNEL_CONNECTIONS through the tunnel" \
    "(asked: $CONNECTIONS), $SOCAT_CONNECTIONS"
echo "      through socat (64-byte messages; a set-up is the connect plus the first echo; window:"
echo "      set-ups in flight at a time)"
[[ -n $CAPACITY_NOTE ]] && echo "  Fewer than asked through the tunnel: $CAPACITY_NOTE."
printf '  %-16s %6s %6s %7s %9s %8s %8s %8s %9s %10s %9s\n' "path" "window" "open" "failed" \
    "set-up s" "conn/s" "p50 ms" "p99 ms" "max ms" "slow" "2nd echo"
runs=(tunnel socat)
for run in "${runs[@]}"; do
    out=${CONNS_OUT[$run]}
    if [[ -z $(field "$out" "setup " ok) ]]; then
        printf '  %-16s FAILED: %s\n' "$run" "${out//$'\n'/ }"
        continue
    fi
    printf '  %-16s %6s %6s %7s %9s %8s %8s %8s %9s %10s %9s\n' "$run" \
        "$(field "$out" "setup " window)" "$(field "$out" "setup " ok)" \
        "$(field "$out" "setup " failed)" "$(field "$out" "setup " seconds)" \
        "$(field "$out" "setup " rate)" "$(field "$out" "setup " setup_p50_ms)" \
        "$(field "$out" "setup " setup_p99_ms)" "$(field "$out" "setup " setup_max_ms)" \
        "$(field "$out" "setup " slow) ($(field "$out" "setup " slow_connect)/$(field \
            "$out" "setup " slow_after_connect))" \
        "$(field "$out" "held " echoed)/$(field "$out" "held " open)"
    reasons=$(field "$out" "setup " reasons)
    dropped=$(field "$out" "held " dropped_reasons)
    second=$(field "$out" "held " reasons)
    if [[ $reasons != none || $dropped != none || $second != none ]]; then
        echo "      failures: set-up $reasons; dropped while held $dropped; second echo $second"
    fi
done
echo "  (p50/p99/max: time of one set-up. slow: set-ups of 0.9 s or more, the mark of a dropped"
echo "   SYN and its retransmission after 1 s; in brackets, of those, the ones slow in the connect"
echo "   to the first relay / slow after it: in the relays' own connects onwards)"
rate_tunnel=$(field "${CONNS_OUT[tunnel]}" "setup " rate)
rate_socat=$(field "${CONNS_OUT[socat]}" "setup " rate)
echo "  ratio of set-up rates tunnel/socat: $(ratio "$rate_tunnel" "$rate_socat")"

echo
echo "  Resident memory with all connections open, minus before, per open connection"
printf '  %-22s %12s %12s %12s %14s\n' "process" "before KiB" "open KiB" "KiB/conn" "threads/procs"
# kib_per_conn RUN WHO KIND(rss|pss): memory while all were open, minus before, per connection.
kib_per_conn() {
    local out=${CONNS_OUT[$1]} before open count
    before=$(field "$out" "mem phase=before" "${3}_kb" " name=$2 ")
    open=$(field "$out" "mem phase=open" "${3}_kb" " name=$2 ")
    count=$(field "$out" "held " open)
    [[ -n $before && -n $open && -n $count && $count != 0 ]] || return 0
    awk -v a="$open" -v b="$before" -v n="$count" 'BEGIN { printf "%.1f", (a - b) / n }'
}
mem_row() { # LABEL NAME WHO KIND(rss|pss)
    local out=${CONNS_OUT[$2]} before open procs_before procs_open unit per
    before=$(field "$out" "mem phase=before" "${4}_kb" " name=$3 ")
    open=$(field "$out" "mem phase=open" "${4}_kb" " name=$3 ")
    per=$(kib_per_conn "$2" "$3" "$4")
    if [[ -z $per ]]; then
        printf '  %-22s %12s\n' "$1" "n/a"
        return
    fi
    if [[ $2 == tunnel ]]; then
        unit=threads
    else
        unit=procs
    fi
    procs_before=$(field "$out" "mem phase=before" "$unit" " name=$3 ")
    procs_open=$(field "$out" "mem phase=open" "$unit" " name=$3 ")
    printf '  %-22s %12s %12s %12s %14s\n' "$1" "$before" "$open" "$per" \
        "$procs_before -> $procs_open"
}
mem_row "harbolt A (VmRSS)" tunnel A rss
mem_row "harbolt B (VmRSS)" tunnel B rss
mem_row "socat at A (sum PSS)" socat A pss
mem_row "socat at B (sum PSS)" socat B pss
mem_row "socat at A (sum RSS)" socat A rss
mem_row "socat at B (sum RSS)" socat B rss
echo "  (socat forks a process per connection: PSS shares each page among the processes that map"
echo "   it, the sum of RSS counts shared pages once per process)"
echo "  After the tunnel's connections closed, $SETTLE_SECONDS s later: threads A" \
    "${THREADS_BEFORE[A]} -> ${THREADS_AFTER[A]}, B ${THREADS_BEFORE[B]} -> ${THREADS_AFTER[B]};"
echo "  descriptors A ${FDS_BEFORE[A]} -> ${FDS_AFTER[A]}, B ${FDS_BEFORE[B]} ->" \
    "${FDS_AFTER[B]} (before -> after): back where they were: $BASELINE_AGAIN"
echo "  Descriptors per tunnelled connection (from $PROBE_CONNECTIONS held first): A" \
    "${FDS_PER_CONN[A]:-?}, B ${FDS_PER_CONN[B]:-?}."
echo "  Limits: open files of A $(open_files_limit "${INSTANCE_PID[A]}"), of B" \
    "$(open_files_limit "${INSTANCE_PID[B]}"), of the client $(ulimit -n)" \
    "${HARBOLT_BENCH_NOFILE_NOTE:+($HARBOLT_BENCH_NOFILE_NOTE)};"
echo "  kernel.pid_max $PID_MAX, threads-max $THREADS_MAX;"
echo "  connections past ProxyMaxSessions ($MAX_SESSIONS) closed during the run: A" \
    "${OVER_CAP[A]}, B ${OVER_CAP[B]}."
limit_hits=$(grep -hoiE \
    "too many open files|resource temporarily unavailable|cannot allocate memory" "$TMP/A.log" \
    "$TMP/B.log" 2>/dev/null | sort | uniq -c | awk '{ $1 = $1; print }' |
    paste -sd ',' - || true)
echo "  Limits hit (the instances' own reports): ${limit_hits:-none}"

echo
echo "  Kernel counters during each run (this network namespace)"
printf '  %-24s' "counter"
printf ' %16s' "${runs[@]}"
echo
for counter in "${COUNTERS[@]}"; do
    printf '  %-24s' "$counter"
    for run in "${runs[@]}"; do
        printf ' %16s' \
            "$(counter_delta "${COUNTERS_BEFORE[$run]}" "${COUNTERS_AFTER[$run]}" "$counter")"
    done
    echo
done
echo "  (listen backlogs: B's mapping $(backlog_of "$P_MAP_ECHO"), A's server port" \
    "$(backlog_of "$P_A"), socat $(backlog_of "$P_SB_ECHO"), the target $(backlog_of "$P_ECHO"))"

echo
echo "== 4. HTTP requests for a 1 KiB file from nginx: ab, $HTTP_CLIENTS clients at once, about" \
    "$HTTP_SECONDS s per run"
echo "      (load at the start of the relay runs: $LOAD_RELAYS_START)"
printf '  %-10s %-10s %8s %9s %6s %7s %9s %4s %4s %5s %4s %9s %6s %5s\n' "path" "mode" \
    "req/s" "requests" "failed" "non-2xx" "kept" "p50" "p99" "max" "slow" "overflows" "CPU" "busy"
# Share of one CPU the relays used during a run (ticks over wall time).
cpu_share() { # TICKS SECONDS
    if [[ -n $1 && -n $2 ]]; then
        awk -v t="$1" -v s="$2" -v hz="$CLOCK_TICKS" \
            'BEGIN { if (s > 0) printf "%d%%", 100 * t / hz / s; else print "n/a" }'
    else
        echo "n/a"
    fi
}
for mode in "${HTTP_MODES[@]}"; do
    for path in "${HTTP_PATHS[@]}"; do
        run="$path:$mode"
        if [[ -z $(ab_field "$run" rate) ]]; then
            printf '  %-10s %-10s FAILED: %s\n' "$path" "$mode" \
                "$(tail -n 3 <<<"${AB_OUT[$run]:-}" | tr '\n' ' ')"
            continue
        fi
        cpu="-"
        [[ $path != direct ]] && cpu=$(cpu_share "${AB_CPU[$run]}" "$(ab_field "$run" seconds)")
        printf '  %-10s %-10s %8.0f %9s %6s %7s %9s %4s %4s %5s %4s %9s %6s %5s\n' "$path" \
            "$mode" "$(ab_field "$run" rate)" "$(ab_field "$run" complete)" \
            "$(ab_field "$run" failed)" "$(ab_field "$run" non2xx)" "$(ab_field "$run" kept)" \
            "$(ab_field "$run" p50)" "$(ab_field "$run" p99)" "$(ab_field "$run" max)" \
            "${AB_SLOW[$run]}" \
            "$(counter_delta "${AB_COUNTERS_BEFORE[$run]}" "${AB_COUNTERS_AFTER[$run]}" \
                TcpExtListenOverflows)" "$cpu" "${AB_BUSY[$run]}"
        detail=$(ab_field "$run" failed_detail)
        [[ -n $detail ]] && echo "      failed requests: $detail"
    done
done
echo "  (direct: client -> nginx; harbolt: client -> B -> A -> nginx, A does the HTTP work;"
echo "   tinyproxy: client -> tinyproxy -> nginx. kept: requests answered on a kept-alive"
echo "   connection. p50, p99, max: ms a request took. slow: requests of 0.9 s or more, the mark"
echo "   of a connection dropped at a full listen queue and its 1 s retransmission. overflows:"
echo "   such drops counted by the kernel (this network namespace). CPU: the relays' processes,"
echo "   harbolt's A and B together, 100% = one CPU. busy: all CPUs of the machine, every"
echo "   process, ours and others')"
for mode in "${HTTP_MODES[@]}"; do
    harbolt_rate=$(ab_field "harbolt:$mode" rate)
    tinyproxy_rate=$(ab_field "tinyproxy:$mode" rate)
    direct_rate=$(ab_field "direct:$mode" rate)
    echo "  ratios, $mode: harbolt/tinyproxy $(ratio "$harbolt_rate" "$tinyproxy_rate")," \
        "harbolt/direct $(ratio "$harbolt_rate" "$direct_rate")," \
        "tinyproxy/direct $(ratio "$tinyproxy_rate" "$direct_rate")"
done

echo
echo "  Kernel counters during each run (this network namespace)"
printf '  %-24s' "counter"
for mode in "${HTTP_MODES[@]}"; do
    for path in "${HTTP_PATHS[@]}"; do
        printf ' %10s' "$path"
    done
done
echo
printf '  %-24s' ""
for mode in "${HTTP_MODES[@]}"; do
    for path in "${HTTP_PATHS[@]}"; do
        printf ' %10s' "$mode"
    done
done
echo
for counter in "${COUNTERS[@]}"; do
    printf '  %-24s' "$counter"
    for mode in "${HTTP_MODES[@]}"; do
        for path in "${HTTP_PATHS[@]}"; do
            printf ' %10s' "$(counter_delta "${AB_COUNTERS_BEFORE[$path:$mode]:-}" \
                "${AB_COUNTERS_AFTER[$path:$mode]:-}" "$counter")"
        done
    done
    echo
done
echo "  (a full listen queue makes the kernel answer with SYN cookies; a cookie that fails its"
echo "   check, when a connection's first data was dropped and later data arrives, is reset)"

# cpu_per_request RUN: ms of the relays' CPU time per request.
cpu_per_request() {
    awk -v t="${AB_CPU[$1]:-}" -v n="$(ab_field "$1" complete)" -v hz="$CLOCK_TICKS" \
        'BEGIN { if (n > 0 && t != "") printf "%.2f", 1000 * t / hz / n; else print "n/a" }'
}

# What bounds the rate of new connections through harbolt. First the HTTP handler's pauses: after
# its relay ends it waits 50 ms, shuts both sending directions down and waits 500 ms more before
# it lets the connection go. A client that waited for that could make one request per 0.55 s
# plus the time of the request itself (taken from the keep-alive run: no connection set-ups).
# The pauses are a timer's work: were each a sleeping thread, A would hold about rate x 0.55 s of
# them at a time.
rate_new=$(ab_field harbolt:new rate)
request_ms=$(ab_field harbolt:keep-alive mean_ms)
if [[ -n $rate_new && -n $request_ms ]]; then
    bound=$(awk -v n="$HTTP_CLIENTS" -v t="$request_ms" \
        'BEGIN { printf "%.1f", n / (0.55 + t / 1000) }')
    echo
    echo "  What bounds the rate of new connections through harbolt:"
    echo "  - A's HTTP handler pauses after each relay (50 ms, shut-down, 500 ms). Clients that"
    printf '    waited for that could make at most %d / (0.550 s + %.2f ms a request) =\n' \
        "$HTTP_CLIENTS" "$request_ms"
    printf '    %s requests/s. Measured: %.0f requests/s, %s times that.\n' "$bound" "$rate_new" \
        "$(ratio "$rate_new" "$bound")"
    if awk -v r="$rate_new" -v b="$bound" 'BEGIN { exit !(r > 1.5 * b) }'; then
        echo "    So the clients do not wait for the pauses: A passes the origin's close on at"
        echo "    once, the client has its whole answer, and the pause runs on its own."
    else
        echo "    The measured rate is at that figure: the clients wait out the pauses."
    fi
    in_pause=$(awk -v r="$rate_new" 'BEGIN { printf "%.0f", r * 0.55 }')
    extra=$((${AB_PEAK_A[harbolt:new]:-0} - ${THREADS_BEFORE[A]:-0}))
    echo "    A's threads peaked at ${AB_PEAK_A[harbolt:new]} (before: ${THREADS_BEFORE[A]}," \
        "sampled every 0.1 s); about $in_pause connections"
    if ((extra * 2 >= in_pause && in_pause > 0)); then
        echo "    were in their pauses at a time (rate x 0.55 s): each pause held a thread."
    else
        echo "    were in their pauses at a time (rate x 0.55 s), holding no thread of their own."
    fi
    echo "  - CPU: the machine's CPUs were ${AB_BUSY[harbolt:new]} busy; A and B used" \
        "$(cpu_share "${AB_CPU[harbolt:new]}" "$(ab_field harbolt:new seconds)") of one CPU,"
    echo "    $(cpu_per_request harbolt:new) ms of CPU a request (tinyproxy, one hop:" \
        "$(cpu_per_request tinyproxy:new) ms a request)."
    slow=${AB_SLOW[harbolt:new]}
    seconds_new=$(ab_field harbolt:new seconds)
    if [[ $slow =~ ^[0-9]+$ ]] && ((slow > 0)) && [[ -n $seconds_new ]]; then
        share=$(awk -v t="${AB_SLOW_SECONDS[harbolt:new]}" -v n="$HTTP_CLIENTS" \
            -v s="$seconds_new" 'BEGIN { printf "%.0f", 100 * t / (n * s) }')
        echo "  - Listen queues: $slow requests took 0.9 s or more" \
            "(${AB_SLOW_SECONDS[harbolt:new]} s together, $share% of the clients'"
        echo "    time): their connections were dropped at a full listen queue (backlogs: B's"
        echo "    mapping $(backlog_of "$P_MAP_HTTP"), A's server port $(backlog_of "$P_A")," \
            "nginx $(backlog_of "$P_NGINX")) and retransmitted after 1 s."
    fi
fi

echo
echo "== 5. Downloads of $DOWNLOAD_MIB MiB from nginx, one at a time (curl; a sparse file in the"
echo "      page cache; the median of $DOWNLOAD_ROUNDS rounds)"
printf '  %-46s %9s %8s %19s %11s\n' "path" "MB/s" "Gbit/s" "range MB/s" "CPU s/GiB"
dl_label() {
    case $1 in
    direct) echo "direct (curl -> nginx)" ;;
    harbolt-http) echo "harbolt HTTP PROXY (curl -> B -> A -> nginx)" ;;
    tinyproxy) echo "tinyproxy (curl -> tinyproxy -> nginx)" ;;
    harbolt-socks5) echo "harbolt SOCKS5 PROXY (curl -> B -> A -> nginx)" ;;
    microsocks) echo "microsocks (curl -> microsocks -> nginx)" ;;
    esac
}
declare -A DL_MEDIAN=()
for path in "${DL_PATHS[@]}"; do
    speeds=${DL_SPEEDS[$path]:-}
    DL_MEDIAN[$path]=$(median "$speeds")
    if [[ -z ${DL_MEDIAN[$path]} ]]; then
        printf '  %-46s FAILED: %s\n' "$(dl_label "$path")" "${DL_ERROR[$path]:-}"
        continue
    fi
    range=$(tr ' ' '\n' <<<"$speeds" | grep . | sort -g |
        awk 'NR == 1 { lo = $1 } { hi = $1 } END { printf "%.0f-%.0f", lo / 1e6, hi / 1e6 }')
    cpu="-"
    if [[ $path != direct ]]; then
        cpu=$(awk -v list="${DL_CPU[$path]}" -v hz="$CLOCK_TICKS" -v mib="$DOWNLOAD_MIB" 'BEGIN {
            n = split(list, t, " "); for (i = 1; i <= n; i++) sum += t[i]
            printf "%.2f", sum / hz / n / (mib / 1024) }')
    fi
    printf '  %-46s %9.1f %8.2f %19s %11s\n' "$(dl_label "$path")" \
        "$(awk -v v="${DL_MEDIAN[$path]}" 'BEGIN { print v / 1e6 }')" \
        "$(awk -v v="${DL_MEDIAN[$path]}" 'BEGIN { print v * 8 / 1e9 }')" "$range" "$cpu"
    if [[ -n ${DL_ERROR[$path]:-} ]]; then
        echo "      a download failed: ${DL_ERROR[$path]}"
    fi
done
echo "  (CPU s/GiB: CPU time of the relays' processes per GiB carried, harbolt: A and B together)"
echo "  ratios: harbolt HTTP/tinyproxy" \
    "$(ratio "${DL_MEDIAN[harbolt-http]:-}" "${DL_MEDIAN[tinyproxy]:-}")," \
    "harbolt SOCKS5/microsocks" \
    "$(ratio "${DL_MEDIAN[harbolt-socks5]:-}" "${DL_MEDIAN[microsocks]:-}")," \
    "tinyproxy/direct $(ratio "${DL_MEDIAN[tinyproxy]:-}" "${DL_MEDIAN[direct]:-}")"
echo "          harbolt HTTP/direct" \
    "$(ratio "${DL_MEDIAN[harbolt-http]:-}" "${DL_MEDIAN[direct]:-}")," \
    "harbolt SOCKS5/direct $(ratio "${DL_MEDIAN[harbolt-socks5]:-}" "${DL_MEDIAN[direct]:-}")," \
    "microsocks/direct $(ratio "${DL_MEDIAN[microsocks]:-}" "${DL_MEDIAN[direct]:-}")"

echo
echo "== 6. An idle headless instance alone in a network namespace of its own, watched" \
    "$(awk -v ms="$IDLE_WINDOW_MS" 'BEGIN { printf "%.0f", ms / 1000 }') s"
echo "  resident memory $(awk -v k="$IDLE_RSS_KB" 'BEGIN { printf "%.1f", k * 1024 / 1e6 }') MB" \
    "($IDLE_RSS_KB KiB: $IDLE_ANON_KB anonymous, $IDLE_FILE_KB of files such as libraries)," \
    "$IDLE_THREADS threads, CPU $IDLE_CPU % of one CPU"
echo "  (CPU: the run time of all its threads from /proc/PID/task/*/schedstat over the window,"
echo "   from 2 s after its start while the other sections ran; alone: $IDLE_ALONE)"

# --- The summary: every ratio against its goal.

echo
echo "== 7. Summary (goal met: yes / NO; - where there is no goal)"
printf '  %-52s %12s %10s  %s\n' "measurement" "figure" "goal" "met"
# goal_row LABEL FIGURE OP(ge|le|eq|-) LIMIT [SHOWN-GOAL]
goal_row() {
    local label=$1 figure=$2 op=$3 limit=${4:-} shown=${5:-} verdict
    if [[ $op == - ]]; then
        verdict="-"
        shown="-"
    elif [[ -z $figure || $figure == n/a || $figure == "?" ]]; then
        verdict="NO (not measured)"
    else
        verdict=$(awk -v f="$figure" -v l="$limit" -v op="$op" 'BEGIN {
            ok = op == "ge" ? f >= l : op == "le" ? f <= l : f == l
            print ok ? "yes" : "NO" }')
    fi
    if [[ -z $shown ]]; then
        case $op in
        ge) shown=">= $limit" ;;
        le) shown="<= $limit" ;;
        eq) shown="= $limit" ;;
        esac
    fi
    printf '  %-52s %12s %10s  %s\n' "$label" "${figure:-n/a}" "$shown" "$verdict"
}
for direction in up down; do
    goal_row "iperf3 $direction, harbolt/haproxy (Gbit/s ratio)" \
        "$(ratio "${RESULT[iperf_harbolt_${direction}_gbps]:-}" \
            "${RESULT[iperf_haproxy_${direction}_gbps]:-}")" ge 1.0 ">= 1.0x"
done
for direction in up down; do
    goal_row "iperf3 $direction, LAN key: keyed/unkeyed tunnel" "${KEY_RATIO[$direction]:-}" \
        ge 0.90 ">= 0.90x"
done
for direction in up down; do
    goal_row "iperf3 $direction, harbolt/kernel routing" \
        "$(ratio "${RESULT[iperf_harbolt_${direction}_gbps]:-}" \
            "${RESULT[iperf_kernel_${direction}_gbps]:-}")" -
done
for direction in up down; do
    cpu_harbolt=${RESULT[iperf_harbolt_${direction}_relay_cpu]:-n/a}
    cpu_haproxy=${RESULT[iperf_haproxy_${direction}_relay_cpu]:-n/a}
    goal_row "iperf3 $direction, CPU s/GiB harbolt (haproxy)" "$cpu_harbolt ($cpu_haproxy)" -
done
for direction in up down; do
    cpu_harbolt=${RESULT[iperf_harbolt_${direction}_machine_cpu]:-n/a}
    cpu_kernel=${RESULT[iperf_kernel_${direction}_machine_cpu]:-n/a}
    goal_row "iperf3 $direction, machine CPU s/GiB harbolt (kernel)" "$cpu_harbolt ($cpu_kernel)" -
done
tunnel_out=${CONNS_OUT[tunnel]:-}
conns_failed=""
opened=$(field "$tunnel_out" "setup " ok)
echoed=$(field "$tunnel_out" "held " echoed)
[[ -n $opened && -n $echoed ]] && conns_failed=$((2 * TUNNEL_CONNECTIONS - opened - echoed))
goal_row "tunnelled connections held at once" "${echoed:-0}" ge "$CONNECTIONS" "$CONNECTIONS"
if [[ -n $CAPACITY_NOTE ]]; then
    echo "      (fewer asked for: $CAPACITY_NOTE)"
    if [[ -n ${HARBOLT_BENCH_NOFILE_NOTE:-} ]]; then
        echo "      ($HARBOLT_BENCH_NOFILE_NOTE)"
    fi
fi
goal_row "  failures (set-up and second echo)" "$conns_failed" eq 0
goal_row "  resident memory per connection, A (KiB)" "$(kib_per_conn tunnel A rss)" le 34
goal_row "  resident memory per connection, B (KiB)" "$(kib_per_conn tunnel B rss)" le 34
goal_row "  threads and descriptors back afterwards" "$BASELINE_AGAIN" eq yes "yes"
goal_row "  set-up rate tunnel/socat" \
    "$(ratio "$(field "$tunnel_out" "setup " rate)" \
        "$(field "${CONNS_OUT[socat]:-}" "setup " rate)")" -
goal_row "HTTP new connection each, harbolt/tinyproxy" \
    "$(ratio "$(ab_field harbolt:new rate)" "$(ab_field tinyproxy:new rate)")" ge 1.5 ">= 1.5x"
goal_row "  failed requests through harbolt" "$(ab_field harbolt:new failed)" eq 0
goal_row "HTTP keep-alive, harbolt/tinyproxy" \
    "$(ratio "$(ab_field harbolt:keep-alive rate)" "$(ab_field tinyproxy:keep-alive rate)")" \
    ge 4 ">= 4x"
goal_row "download, harbolt HTTP/tinyproxy" \
    "$(ratio "${DL_MEDIAN[harbolt-http]:-}" "${DL_MEDIAN[tinyproxy]:-}")" ge 2.5 ">= 2.5x"
goal_row "download, harbolt SOCKS5/microsocks" \
    "$(ratio "${DL_MEDIAN[harbolt-socks5]:-}" "${DL_MEDIAN[microsocks]:-}")" ge 4 ">= 4x"
goal_row "idle instance, resident memory (MB)" \
    "$(awk -v k="$IDLE_RSS_KB" 'BEGIN { printf "%.1f", k * 1024 / 1e6 }')" le 12
goal_row "idle instance, CPU (% of one CPU)" "$IDLE_CPU" le 0.1
echo "  (100 instances on one segment: tools/bench/lan_bench.sh, after this)"
echo
printf '  section times:'
for name in iperf setup stream lan-key conns-tunnel conns-socat http downloads; do
    printf ' %s %s s;' "$name" "${SECTION_SECONDS[$name]:-?}"
done
echo
echo "total time $(((($(now_ms) - BEGIN_MS) + 500) / 1000)) s;" \
    "load at the end $(cut -d ' ' -f 1-3 /proc/loadavg)"
if ((${#FAILURES[@]} > 0)); then
    echo
    echo "FAILED:"
    printf '  %s\n' "${FAILURES[@]}"
    exit 1
fi
