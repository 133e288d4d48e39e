#!/usr/bin/env bash
# Benchmark of the proxy tunnel (`make bench`; a measurement, not a test). Two instances, A and B,
# run on one machine: A's simulated line is up, so A is online and B tunnels every mapped
# connection through A's proxy server port. Side by side on the same machine it measures
#   1. one 1 GiB stream, verified byte for byte at the sink: directly to the target, through the
#      tunnel (client -> B's mapping -> A's server port -> target) and through two socat relays
#      in the same places (client -> socat -> socat -> target);
#   2. 1000 connections to an echo target held open at once, through the tunnel and through the
#      socat chain: set-up rate, failures, and the resident memory each connection costs.
#
# Everything runs on loopback inside a private network namespace of its own (unshare: as root, or
# as a user where user namespaces are allowed), so the instances' announcements on UDP 42717
# reach no other Harbolt instance on this machine and theirs cannot reach ours. The namespace
# ends with its last process. Where no namespace can be made, the machine's own loopback is used
# when no other program holds UDP port 42717.
#
# Usage: proxy_bench.sh HARBOLT TUNNEL_LOAD
# Environment: BENCH_MIB (stream size, default 1024), BENCH_CONNECTIONS (default 1000),
#              BENCH_WINDOW (connection set-ups in flight at a time, default 4: below the
#              listen backlogs of A's server port (6) and socat (5), so that the set-up rate is the
#              relays' own and not the kernel's 1 s SYN retransmission), BENCH_PRESSURE_WINDOW
#              (a second run of set-ups only with that many in flight, default 32; 0: none)
set -euo pipefail
export LC_ALL=C.UTF-8
unset LANG LANGUAGE

SELF=$(realpath "${BASH_SOURCE[0]}")
readonly SELF
readonly STREAM_MIB=${BENCH_MIB:-1024}
readonly CONNECTIONS=${BENCH_CONNECTIONS:-1000}
readonly WINDOW=${BENCH_WINDOW:-4}
readonly PRESSURE_WINDOW=${BENCH_PRESSURE_WINDOW:-32}
readonly STREAM_TIMEOUT=60 # seconds per stream
readonly CONNS_TIMEOUT=30  # seconds for all set-ups, and again for the echoes of all of them
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
[[ $WINDOW =~ ^[1-9][0-9]*$ ]] || die "BENCH_WINDOW must be a positive number"
[[ $PRESSURE_WINDOW =~ ^[0-9]+$ ]] || die "BENCH_PRESSURE_WINDOW must be a number"
for tool in socat jq ip ss nstat unshare setsid setpriv timeout; do
    command -v "$tool" >/dev/null ||
        die "the $tool command is missing (tools/install-deps.sh installs the packages)"
done

# --- Outside: raise the open-file limit, then continue in a namespace of our own (the process
# stays the same: its PID names its temporary directory).

if [[ ${HARBOLT_BENCH_INSIDE:-} != 1 ]]; then
    # What a run killed outright (SIGKILL runs no trap) left behind: its processes ended with it
    # (see GUARD below), its directory did not.
    for dir in /tmp/harbolt-bench-*.*; do
        [[ -d $dir && -O $dir && $dir =~ ^/tmp/harbolt-bench-([0-9]+)\. ]] || continue
        [[ -d /proc/${BASH_REMATCH[1]} ]] || rm -rf "$dir"
    done
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
declare -a RELAY_GROUPS=() # process groups of our own (socat relays and their children)
declare -a OTHERS=()       # further background processes (the target)

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
    [[ -n $TMP && -d $TMP ]] && rm -rf "$TMP"
    exit "$status"
}
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
echo "  open files: $(ulimit -n)"
echo

# --- Ports: ten in a row that nobody uses.

port_free() { [[ -z $(ss -Htan "( sport = :$1 )" 2>/dev/null) ]]; }
BASE=0
for ((try = 0; try < 50; try++)); do
    candidate=$((20000 + (RANDOM % 400) * 20))
    all_free=1
    for ((k = 0; k < 10; k++)); do
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
((BASE != 0)) || die "found no ten free TCP ports in a row between 20000 and 28000"
readonly P_SINK=$BASE P_ECHO=$((BASE + 1)) P_A=$((BASE + 2)) P_B=$((BASE + 3))
readonly P_MAP_SINK=$((BASE + 4)) P_MAP_ECHO=$((BASE + 5))
readonly P_SA_SINK=$((BASE + 6)) P_SB_SINK=$((BASE + 7))
readonly P_SA_ECHO=$((BASE + 8)) P_SB_ECHO=$((BASE + 9))

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
target_ready() { grep -q '^ready$' "$TMP/target.log"; }
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

say "starting instances A and B (${HARBOLT})"
start_instance A
start_instance B
wait_until 10000 answers A || die "instance A does not answer ctl status 10 s after its start"
wait_until 10000 answers B || die "instance B does not answer ctl status 10 s after its start"

configure A ProxyServerAddress "$HOST:$P_A" ProxyEnabled yes
configure B ProxyServerAddress "$HOST:$P_B" ProxyEnabled yes \
    ProxyMapping00 ":$P_MAP_SINK -> $HOST:$P_SINK, notrigger" \
    ProxyMapping01 ":$P_MAP_ECHO -> $HOST:$P_ECHO, notrigger"
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
# (socat forks a child per connection), so that ending the group ends them all.

declare -A SOCAT_PID=()
start_socat() { # NAME LISTEN_PORT TARGET_PORT
    setsid "${GUARD[@]}" socat "TCP-LISTEN:$2,bind=$HOST,reuseaddr,fork" "TCP:$HOST:$3" \
        </dev/null >>"$TMP/socat.log" 2>&1 &
    local pid=$!
    SOCAT_PID[$1]=$pid
    RELAY_GROUPS+=("$pid")
    # Ending the group must end this relay and its children and nothing else: setsid (not a
    # group leader here) makes the relay the leader of a new group without forking.
    wait_until 2000 leads_own_group "$pid" ||
        die "socat for $1 is not running in a process group of its own (see socat.log)"
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

# --- 1. One stream.

readonly STREAM_BYTES=$((STREAM_MIB * 1024 * 1024))
declare -A MBPS=() SECONDS_TAKEN=() STREAM_ERROR=()
FAILURES=()

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

say "1 stream of $STREAM_MIB MiB each: direct, tunnel, socat chain"
stream direct "$P_SINK"
stream tunnel "$P_MAP_SINK"
stream socat "$P_SB_SINK"

# --- 2. Many connections held open.

readonly -a COUNTERS=(TcpExtListenOverflows TcpExtListenDrops TcpExtTCPSynRetrans TcpRetransSegs
    TcpExtSyncookiesSent TcpEstabResets TcpAttemptFails)
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
conns() { # RUN PORT WINDOW SETTLE_MS WATCH-OPTIONS...
    local run=$1 port=$2 window=$3 settle=$4
    shift 4
    COUNTERS_BEFORE[$run]=$(counters)
    local status=0
    CONNS_OUT[$run]=$("$LOAD" conns --connect "$HOST:$port" --count "$CONNECTIONS" \
        --window "$window" --size 64 --timeout "$CONNS_TIMEOUT" --settle-ms "$settle" "$@" \
        2>&1) || status=$?
    COUNTERS_AFTER[$run]=$(counters)
    if ((status != 0)); then
        FAILURES+=("$CONNECTIONS connections, $run: $(grep -E '^(setup|held) ' \
            <<<"${CONNS_OUT[$run]}" | tr '\n' ' ')")
    fi
}

# Harbolt's sessions end once their relays notice the closed connections (a 50 ms poll each).
instances_settle() {
    sleep 1.5
    local name
    for name in A B; do
        kill -0 "${INSTANCE_PID[$name]}" 2>/dev/null ||
            die "instance $name ended during the connection run"
    done
}

say "$CONNECTIONS connections held open through the tunnel (at most $WINDOW set-ups at a time)"
threads_idle_a=$(thread_count "${INSTANCE_PID[A]}")
threads_idle_b=$(thread_count "${INSTANCE_PID[B]}")
conns tunnel "$P_MAP_ECHO" "$WINDOW" 500 --watch "A=${INSTANCE_PID[A]}" \
    --watch "B=${INSTANCE_PID[B]}"
instances_settle
threads_after_a=$(thread_count "${INSTANCE_PID[A]}")
threads_after_b=$(thread_count "${INSTANCE_PID[B]}")

say "$CONNECTIONS connections held open through the socat chain"
conns socat "$P_SB_ECHO" "$WINDOW" 500 --watch-tree "A=${SOCAT_PID[A-echo]}" \
    --watch-tree "B=${SOCAT_PID[B-echo]}"

if ((PRESSURE_WINDOW > 0)); then
    say "the same with up to $PRESSURE_WINDOW set-ups at a time, beyond the listen backlogs"
    conns tunnel-pressure "$P_MAP_ECHO" "$PRESSURE_WINDOW" 0
    instances_settle
    conns socat-pressure "$P_SB_ECHO" "$PRESSURE_WINDOW" 0
fi

# --- The report.

ratio() { # NUMERATOR DENOMINATOR
    if [[ -n $1 && -n $2 ]]; then
        awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'
    else
        echo "n/a"
    fi
}

echo
echo "== 1. One stream of $STREAM_MIB MiB ($STREAM_BYTES bytes, every byte checked at the sink)"
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
echo "== 2. $CONNECTIONS echo connections held open at once (64-byte messages; a set-up is the"
echo "      connect plus the first echo; window: set-ups in flight at a time)"
printf '  %-16s %6s %6s %7s %9s %8s %8s %8s %9s %10s %9s\n' "path" "window" "open" "failed" \
    "set-up s" "conn/s" "p50 ms" "p99 ms" "max ms" "slow" "2nd echo"
runs=(tunnel socat)
((PRESSURE_WINDOW > 0)) && runs+=(tunnel-pressure socat-pressure)
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
mem_row() { # LABEL NAME WHO KIND(rss|pss)
    local out=${CONNS_OUT[$2]} before open count procs_before procs_open unit
    before=$(field "$out" "mem phase=before" "${4}_kb" " name=$3 ")
    open=$(field "$out" "mem phase=open" "${4}_kb" " name=$3 ")
    count=$(field "$out" "held " open)
    if [[ -z $before || -z $open || -z $count || $count == 0 ]]; then
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
    printf '  %-22s %12s %12s %12.1f %14s\n' "$1" "$before" "$open" \
        "$(awk -v a="$open" -v b="$before" -v n="$count" 'BEGIN { print (a - b) / n }')" \
        "$procs_before -> $procs_open"
}
mem_row "harbolt A (VmRSS)" tunnel A rss
mem_row "harbolt B (VmRSS)" tunnel B rss
mem_row "socat at A (sum PSS)" socat A pss
mem_row "socat at B (sum PSS)" socat B pss
mem_row "socat at A (sum RSS)" socat A rss
mem_row "socat at B (sum RSS)" socat B rss
echo "  (socat forks a process per connection: PSS shares each page among the processes that map"
echo "   it, the sum of RSS counts shared pages once per process. Harbolt's threads 1.5 s after the"
echo "   connections closed: A $threads_idle_a -> $threads_after_a," \
    "B $threads_idle_b -> $threads_after_b.)"

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
echo "  (listen backlogs: B's mapping 8, A's server port 6, socat 5," \
    "the target $(cat /proc/sys/net/core/somaxconn))"

echo
echo "total time $(((($(now_ms) - BEGIN_MS) + 500) / 1000)) s;" \
    "load at the end $(cut -d ' ' -f 1-3 /proc/loadavg)"
if ((${#FAILURES[@]} > 0)); then
    echo
    echo "FAILED:"
    printf '  %s\n' "${FAILURES[@]}"
    exit 1
fi
