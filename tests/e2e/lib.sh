# shellcheck shell=bash disable=SC2034  # some variables are for the scripts that source this
# Shared helpers of the end-to-end tests, sourced by each test script.
#
# Each run builds a private network: a "switch" namespace holding the bridge br0, and one
# namespace per test host joined to it by a veth pair (eth0 = 10.77.0.SLOT/24 inside the host,
# pSLOT on the bridge). Nothing is added to the machine's own network namespace, so datagrams
# the instances broadcast never leave the test's namespaces. Namespace names carry the script's
# PID so that runs never collide; a run killed before it could clean up is swept by the next one.
#
# Usage in a script:
#   source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
#   e2e_init "$@"              # HARBOLT SEND_DATAGRAM; prints SKIP and exits 0 without root
#   e2e_host 1                 # namespace with 10.77.0.1
#   e2e_start ALPHA 1          # instance ALPHA in that namespace
#   e2e_ctl ALPHA set ProxyServerAddress 10.77.0.1:1977

export LC_ALL=C.UTF-8
unset LANG LANGUAGE LOCPATH

readonly E2E_PREFIX=harbolt-e2e
readonly E2E_RUN="$E2E_PREFIX-$$"
readonly E2E_SWITCH="$E2E_RUN-sw"
readonly E2E_SUBNET=10.77.0
readonly E2E_PORT=42717
readonly E2E_POLL=0.25
readonly E2E_DEFAULT_ENV="LC_ALL=C.UTF-8"

E2E_SCRIPT=$(basename "$0" .sh)
E2E_TMP=""
E2E_CHECKS=0
E2E_FINISHED=0
E2E_WAITED_MS=0
HARBOLT=""
SEND_DATAGRAM=""
declare -a E2E_NAMESPACES=()
declare -a E2E_EXTRA_ARGS=() # further program options for every instance a script starts
declare -A E2E_NS=()       # instance name -> namespace
declare -A E2E_ADDR=()     # instance name -> its address on the test bridge
declare -A E2E_DIR=()      # instance name -> data directory
declare -A E2E_PID=()      # instance name -> PID while it runs
declare -A E2E_ENV=()      # instance name -> environment it runs with (space-separated words)
declare -A E2E_EXITCODE=() # instance name -> exit status after e2e_stop/e2e_kill/e2e_quit
declare -A E2E_WINDOWED=() # instance name -> 1 when it starts with its windows, not --headless

e2e_log() { printf '[%s] %s\n' "$E2E_SCRIPT" "$*"; }

# Milliseconds since the epoch, for measuring intervals.
e2e_now_ms() {
    local micros=${EPOCHREALTIME//[!0-9]/}
    echo $((10#$micros / 1000))
}

e2e_pass() {
    E2E_CHECKS=$((E2E_CHECKS + 1))
    e2e_log "PASS: $*"
}

e2e_fail() {
    e2e_log "FAIL: $*"
    exit 1
}

e2e_skip() {
    e2e_log "SKIP: $*"
    E2E_FINISHED=1 # a skip is no failure: once the EXIT trap is set, it only cleans up
    exit 0
}

# Ends the script: the instances still running must end cleanly on SIGTERM, and no instance may
# have reported a sanitizer error; then the EXIT trap cleans up.
e2e_done() {
    local name
    for name in "${!E2E_PID[@]}"; do
        e2e_stop "$name"
        ((E2E_EXITCODE[$name] == 0)) ||
            e2e_fail "$name ended with status ${E2E_EXITCODE[$name]} on SIGTERM"
    done
    for name in "${!E2E_NS[@]}"; do
        if grep -qE "ERROR: AddressSanitizer|ERROR: LeakSanitizer|runtime error:|ThreadSanitizer" \
            "$(e2e_logfile "$name")"; then
            e2e_fail "$name reported a sanitizer error (see its output below)"
        fi
    done
    E2E_FINISHED=1
    e2e_log "all $E2E_CHECKS checks passed; the instances ended cleanly"
    exit 0
}

# e2e_init HARBOLT SEND_DATAGRAM
e2e_init() {
    if [[ $# -lt 2 ]]; then
        echo "usage: $0 HARBOLT SEND_DATAGRAM" >&2
        exit 2
    fi
    HARBOLT=$1
    SEND_DATAGRAM=$2
    [[ -x $HARBOLT ]] || e2e_fail "no harbolt program at $HARBOLT"
    [[ -x $SEND_DATAGRAM ]] || e2e_fail "no send_datagram tool at $SEND_DATAGRAM"
    if [[ $EUID -ne 0 ]]; then
        e2e_skip "needs root for network namespaces"
    fi
    command -v ip >/dev/null || e2e_skip "the ip command (Debian package iproute2) is missing"
    command -v jq >/dev/null || e2e_fail "the jq command (Debian package jq) is missing"

    trap e2e_cleanup EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM

    e2e_sweep_stale
    E2E_TMP=$(mktemp -d "/tmp/$E2E_RUN.XXXXXX")
    if ! ip netns add "$E2E_SWITCH" 2>"$E2E_TMP/netns.err"; then
        e2e_skip "cannot create network namespaces here: $(cat "$E2E_TMP/netns.err")"
    fi
    E2E_NAMESPACES+=("$E2E_SWITCH")
    ip -n "$E2E_SWITCH" link set lo up
    ip -n "$E2E_SWITCH" link add br0 type bridge
    ip -n "$E2E_SWITCH" link set br0 up
    e2e_log "network $E2E_SUBNET.0/24 on bridge br0 in namespace $E2E_SWITCH; files in $E2E_TMP"
}

# Removes what earlier runs left behind when they were killed outright (a time-out kills without
# running traps): namespaces of our prefix whose run is gone, with any process still inside.
e2e_sweep_stale() {
    local ns pid owner
    while read -r ns _; do
        [[ $ns =~ ^$E2E_PREFIX-([0-9]+)- ]] || continue
        owner=${BASH_REMATCH[1]}
        if kill -0 "$owner" 2>/dev/null; then
            continue
        fi
        e2e_log "removing namespace $ns left by run $owner"
        for pid in $(ip netns pids "$ns" 2>/dev/null); do
            kill -KILL "$pid" 2>/dev/null || true
        done
        ip netns del "$ns" 2>/dev/null || true
    done < <(ip netns list 2>/dev/null)
    local dir
    for dir in /tmp/"$E2E_PREFIX"-*.*; do
        [[ -d $dir && $dir =~ ^/tmp/$E2E_PREFIX-([0-9]+)\. ]] || continue
        kill -0 "${BASH_REMATCH[1]}" 2>/dev/null || rm -rf "$dir"
    done
}

# e2e_host SLOT: a namespace with eth0 = 10.77.0.SLOT/24 on the bridge.
e2e_host() {
    local slot=$1 ns="$E2E_RUN-h$1"
    ip netns add "$ns"
    E2E_NAMESPACES+=("$ns")
    ip -n "$ns" link set lo up
    # IPv6 chatter (router and listener reports) is noise on this network; turn it off.
    ip netns exec "$ns" sh -c 'echo 1 > /proc/sys/net/ipv6/conf/all/disable_ipv6' 2>/dev/null ||
        true
    ip -n "$E2E_SWITCH" link add "p$slot" type veth peer name eth0 netns "$ns"
    ip -n "$E2E_SWITCH" link set "p$slot" master br0
    ip -n "$E2E_SWITCH" link set "p$slot" up
    ip -n "$ns" addr add "$E2E_SUBNET.$slot/24" dev eth0
    ip -n "$ns" link set eth0 up
}

e2e_host_ns() { echo "$E2E_RUN-h$1"; }

# e2e_private_link NAME SLOT HOST_CIDR PEER_CIDR [HOST_IF]: a namespace NAME of its own, off the
# bridge, joined only to the host of SLOT by a veth pair: HOST_IF (default eth1) = HOST_CIDR in
# the host, eth0 = PEER_CIDR in NAME. The other hosts get no route to it. Removed at the end of
# the run like the hosts' namespaces.
e2e_private_link() {
    local name=$1 slot=$2 host_cidr=$3 peer_cidr=$4 host_if=${5:-eth1}
    local ns host_ns
    ns=$(e2e_link_ns "$name")
    host_ns=$(e2e_host_ns "$slot")
    ip netns add "$ns"
    E2E_NAMESPACES+=("$ns")
    ip -n "$ns" link set lo up
    ip netns exec "$ns" sh -c 'echo 1 > /proc/sys/net/ipv6/conf/all/disable_ipv6' 2>/dev/null ||
        true
    ip -n "$host_ns" link add "$host_if" type veth peer name eth0 netns "$ns"
    ip -n "$host_ns" addr add "$host_cidr" dev "$host_if"
    ip -n "$host_ns" link set "$host_if" up
    ip -n "$ns" addr add "$peer_cidr" dev eth0
    ip -n "$ns" link set eth0 up
}

e2e_link_ns() { echo "$E2E_RUN-$1"; }

# e2e_tcp_listening NS PORT: whether something in namespace NS listens on TCP port PORT.
e2e_tcp_listening() {
    ip netns exec "$1" ss -Hltn "sport = :$2" 2>/dev/null | grep -q .
}

# e2e_hold_delivery SLOT / e2e_release_delivery SLOT: frames from the bridge to the host of SLOT
# are held in a queue instead of delivered (a token bucket with next to no rate), and released
# together later. Returns 1 when the kernel offers no such queue.
e2e_hold_delivery() {
    tc -n "$E2E_SWITCH" qdisc add dev "p$1" root tbf rate 8bit burst 1600 limit 200000 \
        2>/dev/null
}

e2e_release_delivery() {
    tc -n "$E2E_SWITCH" qdisc change dev "p$1" root tbf rate 1gbit burst 200000 limit 200000
}

# Number of frames waiting in the hold of SLOT.
e2e_held_frames() {
    tc -s -n "$E2E_SWITCH" qdisc show dev "p$1" | sed -n 's/.*backlog [^ ]* \([0-9]*\)p.*/\1/p'
}

# e2e_start NAME SLOT [VAR=VALUE...]: runs instance NAME in the namespace of SLOT (SLOT "-" for a
# namespace of its own without network) and waits until it answers `ctl status`. The data
# directory, clock log and output log live in the run's temporary directory and survive
# restarts. Extra VAR=VALUE words are added to the instance's environment. An instance named in
# E2E_WINDOWED starts without --headless; its words then give it DISPLAY.
e2e_start() {
    local name=$1 slot=$2
    shift 2
    local ns
    if [[ $slot == - ]]; then
        ns="$E2E_RUN-solo-$name"
        if ! ip netns list | grep -q "^$ns\b"; then
            ip netns add "$ns"
            E2E_NAMESPACES+=("$ns")
            ip -n "$ns" link set lo up
        fi
        E2E_ADDR[$name]=""
    else
        ns=$(e2e_host_ns "$slot")
        E2E_ADDR[$name]="$E2E_SUBNET.$slot"
    fi
    E2E_NS[$name]=$ns
    E2E_DIR[$name]="$E2E_TMP/data-$name"
    mkdir -p "${E2E_DIR[$name]}"
    if [[ $# -gt 0 ]]; then
        E2E_ENV[$name]="$*"
    elif [[ -z ${E2E_ENV[$name]:-} ]]; then
        E2E_ENV[$name]=$E2E_DEFAULT_ENV
    fi
    local -a environment face=(--headless)
    read -r -a environment <<<"${E2E_ENV[$name]}"
    [[ -z ${E2E_WINDOWED[$name]:-} ]] || face=()
    echo "---- start $(date '+%H:%M:%S.%N')" >>"$(e2e_logfile "$name")"
    ip netns exec "$ns" env "${environment[@]}" "$HARBOLT" "${face[@]}" --name "$name" \
        --data-dir "${E2E_DIR[$name]}" --clock-log "$(e2e_clocklog "$name")" --verbose \
        "${E2E_EXTRA_ARGS[@]}" \
        </dev/null >>"$(e2e_logfile "$name")" 2>&1 &
    E2E_PID[$name]=$!
    unset 'E2E_EXITCODE[$name]'
    e2e_log "started $name (PID ${E2E_PID[$name]}) in $ns"
    local deadline=$(($(e2e_now_ms) + 10000))
    until e2e_ctl "$name" status --json >/dev/null 2>&1; do
        if ! kill -0 "${E2E_PID[$name]}" 2>/dev/null; then
            e2e_fail "$name ended during start-up"
        fi
        if (($(e2e_now_ms) > deadline)); then
            e2e_fail "$name does not answer ctl status 10 s after its start"
        fi
        sleep "$E2E_POLL"
    done
}

# e2e_start_hosts NAME...: one host a name, on slots 1, 2, ...; each instance is started, then
# given its own address as "ProxyServerAddress".
e2e_start_hosts() {
    local name slot=0
    for name in "$@"; do
        slot=$((slot + 1))
        e2e_host "$slot"
        e2e_start "$name" "$slot"
    done
    for name in "$@"; do
        e2e_set_address "$name"
    done
}

e2e_logfile() { echo "$E2E_TMP/$1.log"; }
e2e_clocklog() { echo "$E2E_TMP/$1.clock"; }
e2e_datafile() { echo "${E2E_DIR[$1]}/Harbolt.DAT"; }

# Lines in NAME's clock log (0 while it has none).
e2e_clock_lines() {
    local file
    file=$(e2e_clocklog "$1")
    if [[ -f $file ]]; then
        wc -l <"$file"
    else
        echo 0
    fi
}

# e2e_ctl NAME ARGS...: the control command against instance NAME, run in its namespace.
e2e_ctl() {
    local name=$1
    shift
    timeout -k 2 10 ip netns exec "${E2E_NS[$name]}" "$HARBOLT" ctl --data-dir "${E2E_DIR[$name]}" "$@"
}

# e2e_set_address NAME: points NAME's "ProxyServerAddress" at its own address on the bridge.
e2e_set_address() {
    e2e_ctl "$1" set ProxyServerAddress "${E2E_ADDR[$1]}:1977"
}

e2e_running() { [[ -n ${E2E_PID[$1]:-} ]] && kill -0 "${E2E_PID[$1]}" 2>/dev/null; }

# Waits up to $2 ms for instance $1 to end and stores its exit status; returns 1 if it did not.
e2e_reap() {
    local name=$1 limit=$2 pid=${E2E_PID[$1]:-}
    [[ -n $pid ]] || return 0
    local deadline=$(($(e2e_now_ms) + limit))
    while kill -0 "$pid" 2>/dev/null; do
        (($(e2e_now_ms) <= deadline)) || return 1
        sleep 0.1
    done
    local status=0
    wait "$pid" 2>/dev/null || status=$? # no "Killed" notice from the shell
    E2E_EXITCODE[$name]=$status
    unset 'E2E_PID[$name]'
}

# e2e_kill NAME: ends NAME at once (SIGKILL), as a crash would.
e2e_kill() {
    kill -KILL "${E2E_PID[$1]}"
    e2e_reap "$1" 5000 || e2e_fail "$1 survived SIGKILL"
}

# e2e_stop NAME: SIGTERM, then SIGKILL after 5 s.
e2e_stop() {
    local name=$1
    e2e_running "$name" || return 0
    kill -TERM "${E2E_PID[$name]}" 2>/dev/null || true
    if ! e2e_reap "$name" 5000; then
        e2e_log "$name ignored SIGTERM for 5 s; killing it"
        kill -KILL "${E2E_PID[$name]}" 2>/dev/null || true
        e2e_reap "$name" 5000 || true
    fi
}

# e2e_status NAME: `ctl status --json` of NAME.
e2e_status() { e2e_ctl "$1" status --json; }

# e2e_proxy_status NAME: `ctl proxy status --json` of NAME.
e2e_proxy_status() { e2e_ctl "$1" proxy status --json; }

# e2e_json JSON FILTER [JQ ARGS...]: jq -r FILTER applied to the text JSON.
e2e_json() {
    local json=$1 filter=$2
    shift 2
    jq -r "$@" "$filter" <<<"$json"
}

# e2e_alive_names NAME: the roster names NAME reports alive, sorted, one a line.
e2e_alive_names() {
    e2e_status "$1" | jq -r '[.computers[] | select(.alive == true) | .name] | sort_by(ascii_downcase) | .[]'
}

# e2e_roster NAME: all roster names NAME reports, sorted, on one line.
e2e_roster() {
    e2e_status "$1" | jq -r '[.computers[].name] | sort_by(ascii_downcase) | join(" ")'
}

# e2e_field NAME COMPUTER FIELD: one field of COMPUTER's line in NAME's status.
e2e_field() {
    e2e_status "$1" | jq -r --arg c "$2" --arg f "$3" \
        '.computers[] | select(.name == $c) | .[$f] | tostring'
}

# e2e_get NAME KEY: the value of the own property KEY of NAME, empty when absent (`ctl get`
# fails for an absent key, which is no error here). Fails when the instance does not answer.
e2e_get() {
    local value errors status=0
    errors=$(mktemp "$E2E_TMP/get.XXXXXX")
    value=$(e2e_ctl "$1" get "$2" 2>"$errors") || status=$?
    if ((status != 0)) && ! grep -q "is not set" "$errors"; then
        cat "$errors" >&2
        rm -f "$errors"
        return 1
    fi
    rm -f "$errors"
    printf '%s\n' "$value"
}

# e2e_wait_until LIMIT_MS DESCRIPTION COMMAND...: polls COMMAND every 250 ms until it succeeds
# or LIMIT_MS have passed. Sets E2E_WAITED_MS to the time it took; returns 1 on time-out.
e2e_wait_until() {
    local limit=$1 what=$2
    shift 2
    e2e_log "waiting up to $((limit / 1000)).$(((limit % 1000) / 100)) s for $what"
    local start
    start=$(e2e_now_ms)
    while true; do
        if "$@"; then
            E2E_WAITED_MS=$(($(e2e_now_ms) - start))
            return 0
        fi
        if (($(e2e_now_ms) - start > limit)); then
            E2E_WAITED_MS=$(($(e2e_now_ms) - start))
            return 1
        fi
        sleep "$E2E_POLL"
    done
}

# Shows what the instances did: their status and the end of their output.
e2e_dump() {
    local name
    for name in "${!E2E_NS[@]}"; do
        echo "==== $name (namespace ${E2E_NS[$name]}, data ${E2E_DIR[$name]})"
        if e2e_running "$name"; then
            echo "-- ctl status --json:"
            e2e_status "$name" 2>&1 | head -c 4000 || true
            echo
        else
            echo "-- not running (exit status ${E2E_EXITCODE[$name]:-unknown})"
        fi
        echo "-- output (last 60 lines):"
        tail -n 60 "$(e2e_logfile "$name")" 2>/dev/null || true
        echo "-- clock log: $(e2e_clock_lines "$name") lines"
    done
}

e2e_cleanup() {
    local status=$?
    trap - EXIT INT TERM
    set +e
    if ((status != 0)) || ((E2E_FINISHED == 0)); then
        e2e_log "failed (status $status); state of the instances:"
        e2e_dump
        ((status != 0)) || status=1
    fi
    local name pid ns i
    for name in "${!E2E_PID[@]}"; do
        kill -TERM "${E2E_PID[$name]}" 2>/dev/null
    done
    for name in "${!E2E_PID[@]}"; do
        e2e_reap "$name" 3000 || {
            kill -KILL "${E2E_PID[$name]}" 2>/dev/null
            e2e_reap "$name" 3000
        }
    done
    # A script's own servers that want a gentle end, if it has any.
    if declare -F e2e_script_cleanup >/dev/null; then
        e2e_script_cleanup
    fi
    # Anything else still inside the test's namespaces was started by this run.
    for ns in "${E2E_NAMESPACES[@]}"; do
        for pid in $(ip netns pids "$ns" 2>/dev/null); do
            kill -KILL "$pid" 2>/dev/null
        done
    done
    for ((i = ${#E2E_NAMESPACES[@]} - 1; i >= 0; i--)); do
        ip netns del "${E2E_NAMESPACES[i]}" 2>/dev/null
    done
    if ip netns list | grep -q "^$E2E_RUN-"; then
        e2e_log "FAIL: namespaces left behind: $(ip netns list | grep "^$E2E_RUN-" | tr '\n' ' ')"
        status=1
    fi
    [[ -n $E2E_TMP && -d $E2E_TMP ]] && rm -rf "$E2E_TMP"
    exit "$status"
}

# e2e_udp_listening NS PORT: whether a UDP socket in namespace NS is bound to port PORT.
e2e_udp_listening() {
    ip netns exec "$1" ss -Hlun "sport = :$2" 2>/dev/null | grep -q .
}

# e2e_spawn NS LOG COMMAND...: runs COMMAND in namespace NS in the background with its output in
# LOG, for servers a test needs. The run's cleanup ends it with everything else in the test's
# namespaces.
e2e_spawn() {
    local ns=$1 log=$2
    shift 2
    ip netns exec "$ns" "$@" </dev/null >"$log" 2>&1 &
    disown # no job notice when the cleanup kills it
}

# e2e_sha256 FILE: the SHA-256 sum of FILE in hex.
e2e_sha256() {
    local sum
    sum=$(sha256sum <"$1")
    echo "${sum%% *}"
}

# e2e_output_count NAME LINE: how many lines of NAME's output, over all its runs, are exactly
# LINE.
e2e_output_count() {
    grep -cxF -- "$2" "$(e2e_logfile "$1")" || true
}

# e2e_dialup_records NAME: the values of NAME's own dial-up records ("!New Connection! ...",
# "!Connection Dropped! ..."), one a line.
e2e_dialup_records() {
    e2e_ctl "$1" list --all --json | jq -r 'to_entries[] | select(.key | startswith("$")) | .value'
}

# e2e_solo NAME: makes the namespace of its own (loopback only) that `e2e_start NAME -` runs NAME
# in, and records NAME's namespace and data directory, so that instances started from background
# subshells are known to the run's cleanup and to e2e_done's sanitizer check.
e2e_solo() {
    local name=$1 ns="$E2E_RUN-solo-$1"
    ip netns add "$ns"
    E2E_NAMESPACES+=("$ns")
    ip -n "$ns" link set lo up
    E2E_NS[$name]=$ns
    E2E_DIR[$name]="$E2E_TMP/data-$name"
    mkdir -p "${E2E_DIR[$name]}"
}

# e2e_usage PID: "threads=N fds=N rss=NkB" of process PID, from /proc.
e2e_usage() {
    local threads rss fds
    threads=$(sed -n 's/^Threads:[[:space:]]*//p' "/proc/$1/status" 2>/dev/null)
    rss=$(sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\).*/\1/p' "/proc/$1/status" 2>/dev/null)
    fds=$(find "/proc/$1/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l)
    echo "threads=${threads:-0} fds=$fds rss=${rss:-0}kB"
}

# e2e_usage_field USAGE FIELD: one number (threads, fds or rss) of an e2e_usage line.
e2e_usage_field() {
    local word
    for word in $1; do
        if [[ $word == "$2="* ]]; then
            word=${word#*=}
            echo "${word%kB}"
            return 0
        fi
    done
    echo 0
}

# e2e_line_client FROM HOST PORT TEXT: a client in FROM's namespace that connects to HOST:PORT,
# sends the line TEXT and waits up to 70 s for a line back. Prints "DATA <line>", "EOF <bytes
# before the close>", "TIMEOUT" or "REFUSED", then the milliseconds from connecting to the end.
e2e_line_client() {
    local from=$1 host=$2 port=$3 text=$4
    # shellcheck disable=SC2016 # expanded by the inner shell
    timeout -k 2 80 ip netns exec "${E2E_NS[$from]}" bash -c '
        start=${EPOCHREALTIME/./}
        exec 3<>"/dev/tcp/$1/$2" || { echo REFUSED 0; exit 0; }
        printf "%s\n" "$3" >&3
        if IFS= read -r -t 70 line <&3; then
            result="DATA $line"
        elif (($? > 128)); then
            result=TIMEOUT
        else
            result="EOF $line"
        fi
        exec 3>&-
        echo "$result $(((${EPOCHREALTIME/./} - start) / 1000))"' \
        _ "$host" "$port" "$text"
}

# e2e_online_stale NAME: NAME has heard no online announcement for more than 5 s, so that its
# proxy finds nobody online and dial on demand may dial.
e2e_online_stale() {
    local age
    age=$(e2e_proxy_status "$1" | jq -r '.onlineAddressAge') || return 1
    [[ $age == null ]] || jq -en --argjson a "$age" '$a > 5.3' >/dev/null
}

# e2e_wait_online_stale NAME: waits up to 20 s for e2e_online_stale NAME; fails the run if not.
e2e_wait_online_stale() {
    e2e_wait_until 20000 "$1 to see nobody online" e2e_online_stale "$1" ||
        e2e_fail "$1 still has a fresh online address: $(e2e_proxy_status "$1")"
}

# e2e_budget NAME [COMPUTER]: the dial budget in NAME's status as the words "MINUTES_USED
# MINUTES_ALLOWED DIALS_LAST_HOUR DIALS_ALLOWED BLOCKED": NAME's own, or that of COMPUTER's
# entry in NAME's computer list.
e2e_budget() {
    # shellcheck disable=SC2016 # $c is a jq variable
    e2e_status "$1" | jq -r --arg c "${2:-}" '
        (if $c == "" then .budget else (.computers[] | select(.name == $c) | .budget) end)
        | "\(.minutesUsed) \(.minutesAllowed) \(.dialsLastHour) \(.dialsAllowed) \(.blocked)"'
}

# e2e_new_connections NAME ENTRY: how many "!New Connection! ENTRY" records NAME has, that is how
# many times its line of ENTRY came up.
e2e_new_connections() {
    e2e_dialup_records "$1" | grep -cxF -- "!New Connection! $2" || true
}

# e2e_output_lines NAME: how many lines NAME's output holds so far, to read only what comes after
# with e2e_output_since.
e2e_output_lines() {
    local file
    file=$(e2e_logfile "$1")
    if [[ -f $file ]]; then
        wc -l <"$file"
    else
        echo 0
    fi
}

# e2e_output_since NAME COUNT: NAME's output after its first COUNT lines.
e2e_output_since() {
    tail -n "+$(($2 + 1))" "$(e2e_logfile "$1")" 2>/dev/null || true
}

# e2e_peer_dial NAME: the "peerDial" object of NAME's status on one line ("null" before NAME
# first asked a peer to dial).
e2e_peer_dial() {
    e2e_status "$1" | jq -c '.peerDial'
}

# e2e_proxy_on NAME: the own address as "ProxyServerAddress", proxy services on.
e2e_proxy_on() {
    e2e_set_address "$1"
    e2e_ctl "$1" set ProxyEnabled yes
    [[ $(e2e_ctl "$1" proxy restart) == "proxy services restarted" ]] ||
        e2e_fail "ctl proxy restart on $1 does not restart the proxy services"
}

# e2e_listener_bound NAME LISTENER ADDRESS: NAME's proxy status lists LISTENER on ADDRESS, bound.
e2e_listener_bound() {
    e2e_proxy_status "$1" | jq -e --arg n "$2" --arg a "$3" \
        'any(.listeners[]; .name == $n and .address == $a and .bound == true)' >/dev/null
}

# e2e_in_ns LIMIT NS COMMAND...: COMMAND in namespace NS, ended after LIMIT seconds.
e2e_in_ns() {
    local limit=$1 ns=$2
    shift 2
    timeout -k 2 "$limit" ip netns exec "$ns" "$@"
}

# e2e_curl LIMIT NS CURL_ARGS...: curl in namespace NS, without proxies from the environment,
# ended after LIMIT seconds.
e2e_curl() {
    local limit=$1 ns=$2
    shift 2
    e2e_in_ns "$limit" "$ns" env -u http_proxy -u https_proxy -u HTTPS_PROXY -u all_proxy \
        -u ALL_PROXY -u no_proxy -u NO_PROXY curl -sS --max-time $((limit - 5)) "$@"
}
