#!/usr/bin/env bash
# Throughput of the proxy tunnel across three network namespaces (part of `make bench`, run by
# proxy_bench.sh; a measurement, not a test). B and A share a veth pair (10.91.1.0/24), A and S
# another (10.91.2.0/24); S is reachable only from A. An iperf3 server runs in S, its client in B,
# both directions (-R for down), through four paths in turn:
#   kernel   B routes via A, A forwards (net.ipv4.ip_forward=1 in A only during this run);
#   haproxy  two HAProxy relays in TCP mode with "option splice-auto": B's -> A's -> S;
#   socat    two socat relays in the same places;
#   harbolt  B's forwarding mapping (fixed destination S:5201) -> A's proxy server port -> S, with
#            A online on a simulated line (the instances find each other on the B-A link).
# CPU time per GiB carried is given two ways: the relays' own processes (user + system time of
# the haproxy, socat or harbolt processes, socat's finished children included; none for kernel
# routing) and the whole machine (busy time of all CPUs from /proc/stat: user, nice, system, irq,
# softirq; the iperf3 ends and anything else running on the machine included).
#
# Usage: tunnel_iperf.sh HARBOLT RESULTS
#   Prints its section; writes "key=value" lines to RESULTS for proxy_bench.sh's summary.
# Environment: BENCH_IPERF_SECONDS (length of each iperf3 run, default 3).
# Needs root (named network namespaces). Everything it starts ends with it, also on failure.
# shellcheck disable=SC2317 # the cleanup and the predicates run through trap and wait_until
set -euo pipefail
export LC_ALL=C.UTF-8
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

readonly SECONDS_EACH=${BENCH_IPERF_SECONDS:-3}
readonly PREFIX=harbolt-bench-net
readonly RUN="$PREFIX-$$"
readonly NS_B="$RUN-B" NS_A="$RUN-A" NS_S="$RUN-S"
readonly IP_B=10.91.1.1 IP_AB=10.91.1.2 IP_AS=10.91.2.1 IP_S=10.91.2.2
readonly P_IPERF=5201 P_SERVER=1977 P_MAP=5301 P_HAPROXY=5401 P_SOCAT=5501
readonly LINE=BenchLine
readonly IPERF_LIMIT=$((SECONDS_EACH + 20)) # seconds a run may take before it counts as hung

say() { printf '[bench] %s\n' "$*"; }
die() {
    printf '[bench] ERROR: tunnel: %s\n' "$*" >&2
    exit 1
}

if (($# != 2)); then
    echo "usage: $0 HARBOLT RESULTS" >&2
    exit 2
fi
[[ -x $1 ]] || die "no harbolt program at $1"
HARBOLT=$(realpath "$1")
RESULTS=$2
readonly HARBOLT RESULTS
[[ $SECONDS_EACH =~ ^[1-9][0-9]*$ ]] || die "BENCH_IPERF_SECONDS must be a positive number"
((EUID == 0)) || die "needs root for its network namespaces"
for tool in iperf3 haproxy socat jq ip setpriv timeout; do
    command -v "$tool" >/dev/null || die "the $tool command is missing (make bench-deps)"
done

now_ms() {
    local micros=${EPOCHREALTIME//[!0-9]/}
    echo $((10#$micros / 1000))
}
wait_until() { # LIMIT_MS COMMAND...: polls every 100 ms
    local deadline=$(($(now_ms) + $1))
    shift
    until "$@"; do
        (($(now_ms) < deadline)) || return 1
        sleep 0.1
    done
}

# Namespaces of runs killed outright (SIGKILL runs no trap), with anything still inside them.
for ns in $(ip netns list 2>/dev/null | awk '{ print $1 }'); do
    [[ $ns =~ ^$PREFIX-([0-9]+)- ]] || continue
    kill -0 "${BASH_REMATCH[1]}" 2>/dev/null && continue
    for pid in $(ip netns pids "$ns" 2>/dev/null); do
        kill -KILL "$pid" 2>/dev/null || true
    done
    ip netns del "$ns" 2>/dev/null || true
done

TMP=$(mktemp -d "/tmp/$RUN.XXXXXX")
declare -a NAMESPACES=()
declare -A PID=() # what runs: iperf3-server, haproxy-B, ..., harbolt-A, harbolt-B
readonly -a GUARD=(setpriv --pdeathsig TERM --)

cleanup() {
    local status=$?
    trap - EXIT INT TERM
    set +e
    if ((status != 0)); then
        local file
        for file in "$TMP"/*.log; do
            [[ -s $file ]] || continue
            echo "---- $(basename "$file") (last 20 lines)"
            tail -n 20 "$file"
        done
    fi
    local name pid ns i
    for name in "${!PID[@]}"; do
        kill -TERM "${PID[$name]}" 2>/dev/null
    done
    for name in "${!PID[@]}"; do
        for ((i = 0; i < 30; i++)); do
            kill -0 "${PID[$name]}" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "${PID[$name]}" 2>/dev/null
        wait "${PID[$name]}" 2>/dev/null
    done
    # socat's children and anything else still inside were started by this run.
    for ns in "${NAMESPACES[@]}"; do
        for pid in $(ip netns pids "$ns" 2>/dev/null); do
            kill -KILL "$pid" 2>/dev/null
        done
    done
    for ((i = ${#NAMESPACES[@]} - 1; i >= 0; i--)); do
        ip netns del "${NAMESPACES[i]}" 2>/dev/null
    done
    rm -rf "$TMP"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# --- The network.

make_ns() {
    ip netns add "$1" || die "cannot create network namespace $1"
    NAMESPACES+=("$1")
    ip -n "$1" link set lo up
    ip netns exec "$1" sh -c 'echo 1 >/proc/sys/net/ipv6/conf/all/disable_ipv6' 2>/dev/null || true
}
make_ns "$NS_B"
make_ns "$NS_A"
make_ns "$NS_S"
ip -n "$NS_B" link add eth0 type veth peer name eth0 netns "$NS_A"
ip -n "$NS_A" link add eth1 type veth peer name eth0 netns "$NS_S"
ip -n "$NS_B" addr add "$IP_B/24" dev eth0
ip -n "$NS_A" addr add "$IP_AB/24" dev eth0
ip -n "$NS_A" addr add "$IP_AS/24" dev eth1
ip -n "$NS_S" addr add "$IP_S/24" dev eth0
for link in "$NS_B eth0" "$NS_A eth0" "$NS_A eth1" "$NS_S eth0"; do
    read -r ns dev <<<"$link"
    ip -n "$ns" link set "$dev" up
done
ip netns exec "$NS_A" sysctl -qw net.ipv4.ip_forward=0

in_ns() { # NS COMMAND...
    local ns=$1
    shift
    ip netns exec "$ns" "$@"
}
# start NAME NS COMMAND...: a long-lived process in NS, output to NAME.log.
start() {
    local name=$1 ns=$2
    shift 2
    "${GUARD[@]}" ip netns exec "$ns" "$@" </dev/null >"$TMP/$name.log" 2>&1 &
    PID[$name]=$!
}
listening() { # NS PORT
    [[ -n $(in_ns "$1" ss -Hltn "sport = :$2" 2>/dev/null) ]]
}

start iperf3-server "$NS_S" iperf3 -s -B "$IP_S" -p "$P_IPERF"
wait_until 5000 listening "$NS_S" "$P_IPERF" || die "iperf3 does not listen in S after 5 s"
if timeout 5 ip netns exec "$NS_B" bash -c "exec 3<>/dev/tcp/$IP_S/$P_IPERF" 2>/dev/null; then
    die "B reaches S directly: the relays would not be needed"
fi

# --- The two instances (their start overlaps the first runs).

ctl() { # NAME ARGS...
    local name=$1
    shift
    timeout -k 2 10 ip netns exec "$(ns_of "$name")" "$HARBOLT" ctl --data-dir "$TMP/$name" "$@"
}
ns_of() { if [[ $1 == A ]]; then echo "$NS_A"; else echo "$NS_B"; fi; }
start_instance() { # NAME
    mkdir -p "$TMP/$1"
    printf '# A simulated line for the benchmark.\n[%s]\nconnect-delay = 0\n' "$LINE" \
        >"$TMP/$1/phonebook.conf"
    start "harbolt-$1" "$(ns_of "$1")" "$HARBOLT" --headless --name "BenchNet$1" \
        --data-dir "$TMP/$1" --dialup sim --clock-log "$TMP/$1.clock" --verbose
}
answers() {
    kill -0 "${PID[harbolt-$1]}" 2>/dev/null || die "instance $1 ended during start-up"
    ctl "$1" status --json >/dev/null 2>&1
}
set_all() { # NAME KEY VALUE...
    local name=$1
    shift
    while (($# >= 2)); do
        ctl "$name" set "$1" "$2" >/dev/null || die "instance $name: ctl set $1 failed"
        shift 2
    done
}
start_instance A
start_instance B
wait_until 10000 answers A || die "instance A does not answer ctl status after 10 s"
wait_until 10000 answers B || die "instance B does not answer ctl status after 10 s"
set_all A ProxyServerAddress "$IP_AB:$P_SERVER" ProxyEnabled yes
set_all B ProxyServerAddress "$IP_B:$P_SERVER" ProxyEnabled yes \
    ProxyMapping00 ":$P_MAP -> $IP_S:$P_IPERF, notrigger"
ctl A proxy restart >/dev/null || die "instance A: ctl proxy restart failed"
ctl B proxy restart >/dev/null || die "instance B: ctl proxy restart failed"
ctl A line "$LINE" up >/dev/null || die "instance A: ctl line $LINE up failed"

# --- The reference relays.

haproxy_config() { # LISTEN TARGET
    cat <<EOF
# A TCP relay of the benchmark.
global
    maxconn 4096
defaults
    mode tcp
    option splice-auto
    timeout connect 5s
    timeout client 60s
    timeout server 60s
listen relay
    bind $1
    server next $2
EOF
}
haproxy_config "$IP_AB:$P_HAPROXY" "$IP_S:$P_IPERF" >"$TMP/haproxy-A.cfg"
haproxy_config "$IP_B:$P_HAPROXY" "$IP_AB:$P_HAPROXY" >"$TMP/haproxy-B.cfg"
start haproxy-A "$NS_A" haproxy -db -f "$TMP/haproxy-A.cfg"
start haproxy-B "$NS_B" haproxy -db -f "$TMP/haproxy-B.cfg"
start socat-A "$NS_A" socat "TCP-LISTEN:$P_SOCAT,bind=$IP_AB,reuseaddr,fork,backlog=4096" \
    "TCP:$IP_S:$P_IPERF"
start socat-B "$NS_B" socat "TCP-LISTEN:$P_SOCAT,bind=$IP_B,reuseaddr,fork,backlog=4096" \
    "TCP:$IP_AB:$P_SOCAT"
wait_until 5000 listening "$NS_A" "$P_HAPROXY" || die "haproxy does not listen in A after 5 s"
wait_until 5000 listening "$NS_B" "$P_HAPROXY" || die "haproxy does not listen in B after 5 s"
wait_until 5000 listening "$NS_A" "$P_SOCAT" || die "socat does not listen in A after 5 s"
wait_until 5000 listening "$NS_B" "$P_SOCAT" || die "socat does not listen in B after 5 s"

# --- The runs.

# CPU time (clock ticks) of processes, their reaped children included.
cpu_ticks() {
    local total=0 pid stat
    local -a f
    for pid in "$@"; do
        stat=$(cat "/proc/$pid/stat" 2>/dev/null) || continue
        stat=${stat##*) }
        read -r -a f <<<"$stat"
        total=$((total + f[11] + f[12] + f[13] + f[14]))
    done
    echo "$total"
}
machine_busy() { awk '$1 == "cpu" { print $2 + $3 + $4 + $7 + $8 }' /proc/stat; }
CLOCK_TICKS=$(getconf CLK_TCK)
readonly CLOCK_TICKS

declare -A GBPS=() RELAY_CPU=() MACHINE_CPU=() ERROR=()
# iperf_run PATH DIRECTION(up|down) ADDRESS PORT PIDS...
iperf_run() {
    local path=$1 direction=$2 address=$3 port=$4
    shift 4
    local key="$path-$direction" relay_before machine_before out status=0 bytes bps
    local -a reverse=()
    [[ $direction == down ]] && reverse=(-R)
    # A machine loaded by others can delay a connection's set-up past iperf3's limit: one more
    # try then, and only the try that ran counts.
    local try
    for try in 1 2; do
        status=0
        relay_before=$(cpu_ticks "$@")
        machine_before=$(machine_busy)
        out=$(timeout -k 2 "$IPERF_LIMIT" ip netns exec "$NS_B" iperf3 -c "$address" \
            -p "$port" -t "$SECONDS_EACH" --connect-timeout 5000 "${reverse[@]}" -J 2>&1) ||
            status=$?
        if ((status == 0)) && jq -e '.end.sum_received.bytes > 0' <<<"$out" >/dev/null 2>&1; then
            break
        fi
        ((try == 2)) || say "iperf3 $path $direction failed; once more"
    done
    # socat's children for the run end with its connections; their time counts once reaped.
    [[ $path == socat ]] && sleep 0.2
    bytes=$(jq -r '.end.sum_received.bytes // empty' <<<"$out" 2>/dev/null || true)
    bps=$(jq -r '.end.sum_received.bits_per_second // empty' <<<"$out" 2>/dev/null || true)
    if ((status != 0)) || [[ -z $bytes || $bytes == 0 ]]; then
        ERROR[$key]="status $status: $(jq -r '.error // empty' <<<"$out" 2>/dev/null ||
            tail -n 2 <<<"$out" | tr '\n' ' ')"
        GBPS[$key]=""
        return
    fi
    GBPS[$key]=$(awk -v b="$bps" 'BEGIN { printf "%.2f", b / 1e9 }')
    local gib relay_ticks machine_ticks
    gib=$(awk -v b="$bytes" 'BEGIN { print b / 1073741824 }')
    relay_ticks=$(($(cpu_ticks "$@") - relay_before))
    machine_ticks=$(($(machine_busy) - machine_before))
    if (($# > 0)); then
        RELAY_CPU[$key]=$(awk -v t="$relay_ticks" -v hz="$CLOCK_TICKS" -v g="$gib" \
            'BEGIN { printf "%.2f", t / hz / g }')
    else
        RELAY_CPU[$key]="-"
    fi
    MACHINE_CPU[$key]=$(awk -v t="$machine_ticks" -v hz="$CLOCK_TICKS" -v g="$gib" \
        'BEGIN { printf "%.2f", t / hz / g }')
}
both_ways() { # PATH ADDRESS PORT PIDS...
    local path=$1
    shift
    iperf_run "$path" up "$@"
    iperf_run "$path" down "$@"
}

say "iperf3, $SECONDS_EACH s each way: kernel routing, two haproxy, two socat, harbolt tunnel"
begin=$(now_ms)
ip -n "$NS_B" route add 10.91.2.0/24 via "$IP_AB"
ip -n "$NS_S" route add 10.91.1.0/24 via "$IP_AS"
ip netns exec "$NS_A" sysctl -qw net.ipv4.ip_forward=1
both_ways kernel "$IP_S" "$P_IPERF"
ip netns exec "$NS_A" sysctl -qw net.ipv4.ip_forward=0
ip -n "$NS_B" route del 10.91.2.0/24 via "$IP_AB"
ip -n "$NS_S" route del 10.91.1.0/24 via "$IP_AS"

both_ways haproxy "$IP_B" "$P_HAPROXY" "${PID[haproxy-A]}" "${PID[haproxy-B]}"
both_ways socat "$IP_B" "$P_SOCAT" "${PID[socat-A]}" "${PID[socat-B]}"

online() {
    ctl B proxy status --json 2>/dev/null | jq -e --arg a "$IP_AB:$P_SERVER" \
        '.onlineAddress == $a and .onlineAddressAge < 5 and
         any(.listeners[]; .slot == 0 and .bound)' >/dev/null
}
wait_until 15000 online || die "B does not see A online at $IP_AB:$P_SERVER (or its mapping is
not bound) 15 s after A's line came up; B's proxy status:
$(ctl B proxy status 2>&1)"
both_ways harbolt "$IP_B" "$P_MAP" "${PID[harbolt-A]}" "${PID[harbolt-B]}"
for name in A B; do
    kill -0 "${PID[harbolt-$name]}" 2>/dev/null || die "instance $name ended during its runs"
done
elapsed=$((($(now_ms) - begin + 500) / 1000))

# --- The report.

ratio() {
    if [[ -n $1 && -n $2 ]]; then
        awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'
    else
        echo "n/a"
    fi
}
label() {
    case $1 in
    kernel) echo "kernel routing (B -> A forwards -> S)" ;;
    haproxy) echo "haproxy (B -> haproxy -> haproxy -> S)" ;;
    socat) echo "socat (B -> socat -> socat -> S)" ;;
    harbolt) echo "harbolt (B's mapping -> A's server port -> S)" ;;
    esac
}
echo
echo "== 1. iperf3 through three network namespaces, one stream, $SECONDS_EACH s each way" \
    "($elapsed s)"
printf '  %-46s %8s %8s %17s %17s\n' "path" "up" "down" "relay CPU s/GiB" "machine CPU s/GiB"
printf '  %-46s %8s %8s %17s %17s\n' "" "Gbit/s" "Gbit/s" "up / down" "up / down"
for path in kernel haproxy socat harbolt; do
    printf '  %-46s %8s %8s %17s %17s\n' "$(label "$path")" "${GBPS[$path-up]:-FAILED}" \
        "${GBPS[$path-down]:-FAILED}" \
        "${RELAY_CPU[$path-up]:-n/a} / ${RELAY_CPU[$path-down]:-n/a}" \
        "${MACHINE_CPU[$path-up]:-n/a} / ${MACHINE_CPU[$path-down]:-n/a}"
    for direction in up down; do
        [[ -n ${ERROR[$path-$direction]:-} ]] &&
            echo "      $direction failed: ${ERROR[$path-$direction]}"
    done
done
echo "  (up: B sends to S; down: S sends to B, iperf3 -R. relay CPU: user + system time of the"
echo "   relay processes (harbolt: A and B; socat: its finished children included) per GiB that"
echo "   arrived; machine CPU: busy time of all CPUs (/proc/stat user, nice, system, irq, softirq)"
echo "   per GiB, the iperf3 ends and every other process on the machine included)"
for direction in up down; do
    echo "  ratios, $direction: harbolt/haproxy" \
        "$(ratio "${GBPS[harbolt-$direction]}" "${GBPS[haproxy-$direction]}")," \
        "harbolt/kernel $(ratio "${GBPS[harbolt-$direction]}" "${GBPS[kernel-$direction]}")," \
        "harbolt/socat $(ratio "${GBPS[harbolt-$direction]}" "${GBPS[socat-$direction]}")," \
        "haproxy/kernel $(ratio "${GBPS[haproxy-$direction]}" "${GBPS[kernel-$direction]}")"
done

{
    for path in kernel haproxy socat harbolt; do
        for direction in up down; do
            echo "iperf_${path}_${direction}_gbps=${GBPS[$path-$direction]:-}"
            echo "iperf_${path}_${direction}_relay_cpu=${RELAY_CPU[$path-$direction]:-}"
            echo "iperf_${path}_${direction}_machine_cpu=${MACHINE_CPU[$path-$direction]:-}"
        done
    done
    echo "iperf_seconds=$elapsed"
} >"$RESULTS"

failed=0
for key in "${!ERROR[@]}"; do
    [[ -n ${ERROR[$key]} ]] && failed=1
done
exit "$failed"
