#!/usr/bin/env bash
# Many tunnels at once. ALPHA (10.77.0.1) is online (a simulated line); the namespace "Internet"
# (10.78.0.2) hangs off a private link of ALPHA's and holds the target (many_tunnels.py serve);
# beta (10.77.0.2) maps its ports to the target, so every connection goes client -> beta's mapping
# -> ALPHA's proxy server port -> target. A client on host 10.77.0.3:
#  - sends 256 KiB and shuts down its sending side: all of it comes back afterwards, then the
#    connection ends;
#  - holds 2,000 connections open at once (200 under the sanitizers: HARBOLT_E2E_QUICK=1), each
#    echoing a message of its own byte-exact while it is set up and a second one sent on all of
#    them together; the target sees every one open at the same time, no listener turns any away;
#  - closes them all: the target sees them all closed, and the threads and descriptors of both
#    instances come back to what they were before;
#  - repeats the half-close with ALPHA's relay traced (copied instead of spliced).
# Threads, descriptors and RSS of both instances are printed before, while held and after.
# Usage: many_tunnels.sh HARBOLT SEND_DATAGRAM
# shellcheck disable=SC2317 # predicates run through e2e_wait_until
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_init "$@"
E2E_EXTRA_ARGS=(--dialup sim)

readonly PYTHON=/usr/bin/python3
[[ -x $PYTHON ]] || e2e_fail "$PYTHON (Debian package python3) is missing"
HELPER="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/many_tunnels.py"
readonly HELPER

if [[ ${HARBOLT_E2E_QUICK:-0} == 1 ]]; then
    readonly CONNECTIONS=200
else
    readonly CONNECTIONS=2000
fi
# Connections being set up at a time: bursts larger than a listen queue would cost retransmitted
# SYNs, not failures, but make the set-up time erratic.
readonly WINDOW=64
# What the client may take for everything, and how long closing may take to show.
readonly CLIENT_LIMIT_S=120 SETTLE_LIMIT_MS=20000
# After the connections are gone an instance may differ from its baseline by a thread or a
# descriptor a periodic task has open at that moment.
readonly THREAD_SLACK=3 FD_SLACK=6
readonly HALF_CLOSE_BYTES=$((256 * 1024))

readonly INTERNET=10.78.0.2 ALPHA_ADDR=10.77.0.1 BETA_ADDR=10.77.0.2
readonly ECHO_PORT=9000 AFTER_EOF_PORT=9001 COUNT_PORT=9002

# The client and the target hold a descriptor per connection; an instance two sockets and, where
# it relays without copying, two pipes (four descriptors) per connection.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
(($(ulimit -n) >= 6 * CONNECTIONS + 256)) ||
    e2e_fail "$(ulimit -n) descriptors at most (ulimit -Hn) are too few for $CONNECTIONS" \
        "connections"

# --- Network: ALPHA, beta and the client's host on the bridge; the Internet behind ALPHA only.

e2e_host 1
e2e_host 2
e2e_host 3
e2e_private_link Internet 1 10.78.0.1/24 "$INTERNET/24"
INTERNET_NS=$(e2e_link_ns Internet)
CLIENT_NS=$(e2e_host_ns 3)
ip -n "$INTERNET_NS" route add "$ALPHA_ADDR/32" via 10.78.0.1

e2e_spawn "$INTERNET_NS" "$E2E_TMP/target.log" "$PYTHON" "$HELPER" serve "$INTERNET" \
    $ECHO_PORT $AFTER_EOF_PORT $COUNT_PORT
target_listening() {
    local port
    for port in $ECHO_PORT $AFTER_EOF_PORT $COUNT_PORT; do
        e2e_tcp_listening "$INTERNET_NS" "$port" || return 1
    done
}
e2e_wait_until 10000 "the target" target_listening ||
    e2e_fail "the target does not listen: $(cat "$E2E_TMP/target.log")"

# target_count: "live=N peak=N" of the target's connections.
target_count() {
    # shellcheck disable=SC2016 # expanded by the inner shell
    timeout -k 2 5 ip netns exec "$INTERNET_NS" bash -c \
        'exec 3<>"/dev/tcp/$0/$1" && cat <&3' "$INTERNET" "$COUNT_PORT" 2>/dev/null || true
}
target_live() {
    local count
    count=$(target_count)
    [[ $count =~ live=([0-9]+) ]] && echo "${BASH_REMATCH[1]}"
}

# --- ALPHA online, beta's mappings to the target; room for every connection on both: the one
# client may hold a quarter of beta's mapping sessions, beta half of ALPHA's tunnels.

e2e_start ALPHA 1
e2e_start beta 2
for name in ALPHA beta; do
    e2e_set_address "$name"
    e2e_ctl "$name" set ProxyEnabled yes
    e2e_ctl "$name" set ProxyMaxSessions $((4 * CONNECTIONS + 1000))
done
e2e_ctl beta set ProxyMapping00 ":$ECHO_PORT -> $INTERNET:$ECHO_PORT, notrigger"
e2e_ctl beta set ProxyMapping01 ":$AFTER_EOF_PORT -> $INTERNET:$AFTER_EOF_PORT, notrigger"
for name in ALPHA beta; do
    e2e_ctl "$name" proxy restart >/dev/null
done
e2e_ctl ALPHA line SimLine up >/dev/null || e2e_fail "ctl line SimLine up failed"

listener_bound() {
    e2e_proxy_status "$1" | jq -e --arg a "$2" \
        'any(.listeners[]; .address == $a and .bound == true)' >/dev/null
}
tunnel_ready() {
    listener_bound ALPHA "$ALPHA_ADDR:1977" &&
        listener_bound beta "$BETA_ADDR:$ECHO_PORT" &&
        listener_bound beta "$BETA_ADDR:$AFTER_EOF_PORT" &&
        e2e_proxy_status beta | jq -e --arg a "$ALPHA_ADDR:1977" \
            '.onlineAddress == $a and .onlineAddressAge != null and .onlineAddressAge < 5' \
            >/dev/null
}
e2e_wait_until 10000 "beta's mappings and ALPHA's online address on beta" tunnel_ready ||
    e2e_fail "not ready: ALPHA $(e2e_proxy_status ALPHA), beta $(e2e_proxy_status beta)"

# client COMMAND ARGS...: the helper as a client on host 3.
client() { ip netns exec "$CLIENT_NS" "$PYTHON" "$HELPER" "$@"; }

# --- Half-close through the tunnel.

started=$(e2e_now_ms)
report=$(client half-close "$BETA_ADDR" $AFTER_EOF_PORT $HALF_CLOSE_BYTES 20 2>&1) ||
    e2e_fail "half-close through the tunnel, after $(($(e2e_now_ms) - started)) ms: $report"
e2e_pass "after the client shut down its sending side, $HALF_CLOSE_BYTES bytes came back" \
    "byte-exact through the tunnel and the connection ended ($report," \
    "$(($(e2e_now_ms) - started)) ms in all)"

# --- The baseline: no connection left of the half-close.

USAGE_ALPHA="" USAGE_BETA=""
# read_usage: records the usage of both instances; measure PHASE also prints it.
read_usage() {
    USAGE_ALPHA=$(e2e_usage "${E2E_PID[ALPHA]}")
    USAGE_BETA=$(e2e_usage "${E2E_PID[beta]}")
}
measure() {
    read_usage
    e2e_log "$1: ALPHA $USAGE_ALPHA, beta $USAGE_BETA"
}
field() { e2e_usage_field "$1" "$2"; }
no_live_target() { [[ $(target_live) == 0 ]]; }
e2e_wait_until $SETTLE_LIMIT_MS "the target to have no connection" no_live_target ||
    e2e_fail "the target still has connections: $(target_count)"
# Threads of the half-close's sessions may still be ending: the baseline is two equal readings.
steady() {
    local first_a=$USAGE_ALPHA first_b=$USAGE_BETA
    read_usage
    [[ ${first_a% *} == "${USAGE_ALPHA% *}" && ${first_b% *} == "${USAGE_BETA% *}" ]]
}
read_usage
e2e_wait_until 5000 "steady thread and descriptor counts" steady ||
    e2e_log "the counts still move; the last reading is the baseline"
base_alpha=$USAGE_ALPHA
base_beta=$USAGE_BETA
e2e_log "before: ALPHA $base_alpha, beta $base_beta"

# --- CONNECTIONS held at once.

held_file="$E2E_TMP/held" release_file="$E2E_TMP/release" client_out="$E2E_TMP/client.out"
client hold "$BETA_ADDR" $ECHO_PORT $CONNECTIONS $WINDOW "$held_file" "$release_file" \
    $CLIENT_LIMIT_S >"$client_out" 2>&1 &
client_pid=$!
started=$(e2e_now_ms)
held_or_ended() { [[ -f $held_file ]] || ! kill -0 "$client_pid" 2>/dev/null; }
e2e_wait_until $((CLIENT_LIMIT_S * 1000)) "$CONNECTIONS connections to be set up" held_or_ended ||
    e2e_fail "the client did not set up its connections: $(cat "$client_out")"
[[ -f $held_file ]] || e2e_fail "the client ended while setting up: $(cat "$client_out")"
e2e_log "client: $(head -n 1 "$client_out")"
[[ $(cat "$held_file") == "$CONNECTIONS" ]] ||
    e2e_fail "$(cat "$held_file") of $CONNECTIONS connections were set up: $(cat "$client_out")"
measure "holding $CONNECTIONS connections"
held_alpha=$USAGE_ALPHA
held_beta=$USAGE_BETA
count=$(target_count)
[[ $count == "live=$CONNECTIONS peak=$CONNECTIONS" ]] ||
    e2e_fail "the target counts '$count' connections, not $CONNECTIONS open at once"
for name in ALPHA beta; do
    over=$(e2e_proxy_status "$name" | jq -r '.overCap')
    [[ $over == 0 ]] || e2e_fail "$name closed $over connections past ProxyMaxSessions"
done
# growth NOW BASE FIELD: how much FIELD grew from the baseline.
growth() { echo $(($(field "$1" "$3") - $(field "$2" "$3"))); }
e2e_log "while held: ALPHA +$(growth "$held_alpha" "$base_alpha" threads) threads," \
    "+$(growth "$held_alpha" "$base_alpha" fds) descriptors," \
    "+$(($(growth "$held_alpha" "$base_alpha" rss) / CONNECTIONS)) kB RSS per connection;" \
    "beta +$(growth "$held_beta" "$base_beta" threads) threads," \
    "+$(growth "$held_beta" "$base_beta" fds) descriptors," \
    "+$(($(growth "$held_beta" "$base_beta" rss) / CONNECTIONS)) kB RSS per connection"

touch "$release_file"
status=0
wait "$client_pid" || status=$?
e2e_log "client: $(tail -n +2 "$client_out" | tr '\n' ' ')"
((status == 0)) || e2e_fail "the held connections failed (status $status): $(cat "$client_out")"
grep -qx "echoed_at_once=$CONNECTIONS echo_ms=[0-9]* failures=0" "$client_out" ||
    e2e_fail "not every held connection echoed its second message: $(cat "$client_out")"
e2e_pass "$CONNECTIONS connections through the tunnel held at once, each echoing two messages" \
    "byte-exact, 0 failures ($(($(e2e_now_ms) - started)) ms in all)"

# --- All closed: back to the baseline.

e2e_wait_until $SETTLE_LIMIT_MS "the target to see every connection closed" no_live_target ||
    e2e_fail "the target still counts $(target_count) after the client closed all"
back_at_baseline() {
    read_usage
    (($(field "$USAGE_ALPHA" threads) <= $(field "$base_alpha" threads) + THREAD_SLACK)) &&
        (($(field "$USAGE_BETA" threads) <= $(field "$base_beta" threads) + THREAD_SLACK)) &&
        (($(field "$USAGE_ALPHA" fds) <= $(field "$base_alpha" fds) + FD_SLACK)) &&
        (($(field "$USAGE_BETA" fds) <= $(field "$base_beta" fds) + FD_SLACK))
}
e2e_wait_until $SETTLE_LIMIT_MS "threads and descriptors back at the baseline" back_at_baseline ||
    e2e_fail "after $SETTLE_LIMIT_MS ms: ALPHA $USAGE_ALPHA (baseline $base_alpha)," \
        "beta $USAGE_BETA (baseline $base_beta); slack $THREAD_SLACK threads, $FD_SLACK descriptors"
measure "after closing"
e2e_pass "$E2E_WAITED_MS ms after the close both instances are back at their baseline threads" \
    "and descriptors"

# --- The half-close again with tracing on: a traced relay copies instead of splicing.

for name in ALPHA beta; do
    e2e_ctl "$name" set ProxyServerLogAll yes
    e2e_ctl "$name" proxy restart >/dev/null
done
e2e_wait_until 10000 "beta's mappings after the restart" tunnel_ready ||
    e2e_fail "not ready: ALPHA $(e2e_proxy_status ALPHA), beta $(e2e_proxy_status beta)"
report=$(client half-close "$BETA_ADDR" $AFTER_EOF_PORT $HALF_CLOSE_BYTES 20 2>&1) ||
    e2e_fail "half-close through the traced tunnel: $report"
# The server port's sessions trace (a mapping's own relay never does): every relayed byte is in
# ALPHA's trace, escaped where it is not printable.
traced=$(find "${E2E_DIR[ALPHA]}" -name 'LogFile*.txt' -size +$((HALF_CLOSE_BYTES / 1024))k |
    wc -l)
((traced >= 1)) || e2e_fail "ALPHA wrote no trace of the $HALF_CLOSE_BYTES bytes"
e2e_pass "through ALPHA's traced relay the $HALF_CLOSE_BYTES bytes also came back byte-exact" \
    "after the half-close, and the trace holds them ($report)"
e2e_done
