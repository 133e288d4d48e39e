#!/usr/bin/env bash
# Proxy services and journal replication across three networks. ALPHA (10.77.0.1) and beta
# (10.77.0.2) share the bridge; the namespace "Internet" (10.78.0.2) hangs off a private link of
# ALPHA's and nobody else has a route to it. With ALPHA online, beta's forwarding mappings reach
# the Internet through ALPHA's proxy server port: 64 MiB go there and back byte-exact, and the
# proxy status shows the listeners and the online address. ALPHA's property changes reach beta
# within 3 s, also after beta restarts from its data file. ALPHA's proxy ports admit its own
# subnets by default and only "ProxyAllowedNetworks" once that is set; refused peers get no byte.
# With nobody online, an instance that never heard of an online computer closes a mapping's
# client after about 5 s, while one that did keeps tunnelling to the last online computer.
# Last, a client that sends while it receives and half-closes when done gets all of its bytes
# echoed.
# Usage: proxy.sh HARBOLT SEND_DATAGRAM
# shellcheck disable=SC2317 # predicates run through e2e_wait_until
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_init "$@"
command -v socat >/dev/null || e2e_fail "the socat command (Debian package socat) is missing"
E2E_EXTRA_ARGS=(--dialup sim)

readonly INTERNET=10.78.0.2 STRANGER=10.79.0.5
readonly ECHO_PORT=9000 ROUND_TRIP_PORT=9001 GREETING_PORT=9002
readonly ALPHA_SERVER=10.77.0.1:1977
readonly GREETING="hello from the Internet"
readonly TRANSFER_BYTES=$((64 * 1024 * 1024))
# The round trip takes about a second in each build, the sanitizer builds included; the bound
# leaves room for a loaded machine.
readonly TRANSFER_LIMIT=60

# --- Network: the bridge with ALPHA and beta, and the Internet behind ALPHA only.

e2e_host 1
e2e_host 2
e2e_private_link Internet 1 10.78.0.1/24 "$INTERNET/24"
INTERNET_NS=$(e2e_link_ns Internet)
ALPHA_NS=$(e2e_host_ns 1)
BETA_NS=$(e2e_host_ns 2)
# The Internet answers ALPHA's own address (for the access checks), nothing else of the LAN.
ip -n "$INTERNET_NS" route add 10.77.0.1/32 via 10.78.0.1
# A stranger on the Internet side whose address lies on none of ALPHA's subnets: routed to ALPHA
# as a lone host.
ip -n "$INTERNET_NS" addr add "$STRANGER/32" dev eth0
ip -n "$ALPHA_NS" route add "$STRANGER/32" dev eth1

# The Internet's servers: an echo, one that returns what it got once it has all of it, and one
# that greets and closes. The run's cleanup ends them with everything else in the namespace.
# serve NAME PORT ADDRESS: a socat server on PORT of the Internet that connects each client to
# ADDRESS; its errors go to NAME.log.
serve() {
    ip netns exec "$INTERNET_NS" socat -t 60 "TCP-LISTEN:$2,reuseaddr,fork" "$3" \
        2>"$E2E_TMP/$1.log" &
    disown # no job notice when the cleanup kills it
}
held="$E2E_TMP/held"
serve echo-server $ECHO_PORT EXEC:cat
serve round-trip-server $ROUND_TRIP_PORT SYSTEM:"head -c $TRANSFER_BYTES >$held && cat $held"
serve greeting-server $GREETING_PORT SYSTEM:"echo '$GREETING'"
servers_listening() {
    local port
    for port in $ECHO_PORT $ROUND_TRIP_PORT $GREETING_PORT; do
        e2e_tcp_listening "$INTERNET_NS" "$port" || return 1
    done
}
e2e_wait_until 5000 "the Internet's servers" servers_listening ||
    e2e_fail "the servers in the Internet namespace do not listen"

errors="$E2E_TMP/direct.err"
if timeout -k 2 10 ip netns exec "$BETA_NS" socat -u \
    "TCP:$INTERNET:$GREETING_PORT,connect-timeout=3" - >/dev/null 2>"$errors"; then
    e2e_fail "beta reaches the Internet without the proxy"
fi
grep -q "Network is unreachable" "$errors" ||
    e2e_fail "beta's direct connection to the Internet failed otherwise: $(cat "$errors")"
greeting=$(timeout -k 2 10 ip netns exec "$ALPHA_NS" socat -u "TCP:$INTERNET:$GREETING_PORT" -)
[[ $greeting == "$GREETING" ]] || e2e_fail "ALPHA does not get the greeting directly: '$greeting'"
e2e_pass "only ALPHA reaches the Internet; beta's network is unreachable"

# --- ALPHA online, beta with forwardings to the Internet.

# proxy_on NAME: own address as "ProxyServerAddress", proxy services on.
proxy_on() {
    e2e_set_address "$1"
    e2e_ctl "$1" set ProxyEnabled yes
    [[ $(e2e_ctl "$1" proxy restart) == "proxy services restarted" ]] ||
        e2e_fail "ctl proxy restart on $1 does not restart the proxy services"
}

# set_forwardings NAME: mappings 00 to 02 forward to the three servers.
set_forwardings() {
    local index=0 port
    for port in $ECHO_PORT $ROUND_TRIP_PORT $GREETING_PORT; do
        e2e_ctl "$1" set "ProxyMapping0$index" ":$port -> $INTERNET:$port, notrigger"
        index=$((index + 1))
    done
}

e2e_start ALPHA 1
e2e_start beta 2
proxy_on ALPHA
set_forwardings beta
proxy_on beta
e2e_ctl ALPHA line SimLine up || e2e_fail "ctl line SimLine up failed"

# listener_bound NAME LISTENER ADDRESS: NAME's proxy status lists LISTENER on ADDRESS, bound.
listener_bound() {
    e2e_proxy_status "$1" | jq -e --arg n "$2" --arg a "$3" \
        'any(.listeners[]; .name == $n and .address == $a and .bound == true)' >/dev/null
}

# online_address_fresh NAME: NAME knows ALPHA's server as the online address, heard within 5 s.
online_address_fresh() {
    e2e_proxy_status "$1" |
        jq -e --arg a "$ALPHA_SERVER" '.onlineAddress == $a and .onlineAddressAge != null and
            .onlineAddressAge < 5' >/dev/null
}

beta_ready() {
    listener_bound beta server 10.77.0.2:1977 &&
        listener_bound beta "mapping 0" "10.77.0.2:$ECHO_PORT" &&
        listener_bound beta "mapping 1" "10.77.0.2:$ROUND_TRIP_PORT" &&
        listener_bound beta "mapping 2" "10.77.0.2:$GREETING_PORT" &&
        online_address_fresh beta
}
e2e_wait_until 5000 "beta's listeners and ALPHA's online address on beta" beta_ready ||
    e2e_fail "beta's proxy status after 5 s: $(e2e_proxy_status beta)"
status=$(e2e_proxy_status beta)
[[ $(e2e_json "$status" '.running') == true ]] || e2e_fail "beta's proxy services are not running"
[[ $(e2e_json "$status" '.listeners | length') == 4 ]] ||
    e2e_fail "beta lists other listeners than its three mappings and the server: $status"
e2e_pass "beta's mappings and server listen; beta knows ALPHA ($ALPHA_SERVER) online," \
    "heard $(e2e_json "$status" .onlineAddressAge) s ago"

# through_beta PORT: what a client in beta's namespace receives from beta's mapping PORT when it
# sends nothing (it ends when the mapping closes the connection, at most after 15 s).
through_beta() {
    timeout -k 2 15 ip netns exec "$BETA_NS" socat -u "TCP:10.77.0.2:$1" - 2>/dev/null || true
}

greeting=$(through_beta $GREETING_PORT)
[[ $greeting == "$GREETING" ]] || e2e_fail "beta's greeting mapping gives '$greeting'"
e2e_pass "a client of beta's mapping gets the Internet's greeting through ALPHA"

# --- 64 MiB there and back through beta's mapping.

sent="$E2E_TMP/sent"
received="$E2E_TMP/received"
head -c $TRANSFER_BYTES /dev/urandom >"$sent"
sent_sum=$(sha256sum <"$sent")
sent_sum=${sent_sum%% *}

received_bytes() { stat -c %s "$received" 2>/dev/null || echo 0; }

# The round-trip server answers once all bytes are in; the client keeps its side open until the
# answer is complete (or TRANSFER_LIMIT has passed), so nobody depends on half-closed connections.
feed_and_hold() {
    cat "$sent"
    local deadline=$(($(e2e_now_ms) + TRANSFER_LIMIT * 1000))
    while (($(received_bytes) < TRANSFER_BYTES)) && (($(e2e_now_ms) < deadline)); do
        sleep 0.1
    done
}
: >"$received"
started=$(e2e_now_ms)
feed_and_hold | timeout -k 5 "$TRANSFER_LIMIT" ip netns exec "$BETA_NS" \
    socat -t 2 - "TCP:10.77.0.2:$ROUND_TRIP_PORT" >"$received" 2>"$E2E_TMP/round-trip.err" ||
    true
elapsed=$(($(e2e_now_ms) - started))
received_sum=$(sha256sum <"$received")
[[ ${received_sum%% *} == "$sent_sum" ]] ||
    e2e_fail "the round trip through beta's mapping returned $(received_bytes) bytes that differ" \
        "from the $TRANSFER_BYTES sent (after $elapsed ms): $(cat "$E2E_TMP/round-trip.err")"
e2e_pass "64 MiB went to the Internet and back through beta and ALPHA byte-exact in $elapsed ms"

# --- Default access rule: loopback and the LAN ALPHA announces on. Its eth1 is an Ethernet-style
# WAN (as an LTE stick in router mode or a cable modem's bridge gives): hosts there are refused,
# so ALPHA is no open proxy or resolver for its WAN segment.

# ask_alpha_server SOURCE: the reply of ALPHA's proxy server port to a request line it does not
# know, asked from the Internet namespace with SOURCE as the client's address.
ask_alpha_server() {
    printf 'HELLO\r\n\r\n' | timeout -k 2 10 ip netns exec "$INTERNET_NS" \
        socat -t 3 - "TCP:$ALPHA_SERVER,bind=$1" 2>/dev/null || true
}

refused_on_alpha() { e2e_proxy_status ALPHA | jq -r .refused; }

status=$(e2e_proxy_status ALPHA)
[[ $(e2e_json "$status" '.allowedNetworksConfigured') == false ]] ||
    e2e_fail "ALPHA uses configured networks without ProxyAllowedNetworks"
[[ $(e2e_json "$status" '.allowedNetworks | sort | join(" ")') == "10.77.0.0/24 127.0.0.0/8" ]] ||
    e2e_fail "ALPHA's allowed networks are not loopback and its LAN: $status"
refused=$(refused_on_alpha)
for source in "$INTERNET" "$STRANGER"; do
    started=$(e2e_now_ms)
    reply=$(ask_alpha_server "$source")
    elapsed=$(($(e2e_now_ms) - started))
    [[ -z $reply ]] || e2e_fail "ALPHA's server port answers $source from its WAN side with '$reply'"
    ((elapsed < 2000)) || e2e_fail "ALPHA took $elapsed ms to close $source's connection"
done
[[ $(refused_on_alpha) == $((refused + 2)) ]] ||
    e2e_fail "ALPHA's refused count went from $refused to $(refused_on_alpha), not up by 2"
e2e_pass "by default ALPHA closes $INTERNET on its WAN subnet and the stranger $STRANGER" \
    "without a byte, counting both refused"

# --- Replication of ALPHA's properties to beta, also across a restart of beta.

# alpha_on_beta KEY: ALPHA's property KEY as beta's copy holds it.
alpha_on_beta() {
    e2e_ctl beta list Alpha --json | jq -r --arg k "$1" '.[$k] // empty'
}

readonly FIRST="first $$" SECOND="second $$"
e2e_ctl ALPHA set E2eReplicaFirst "$FIRST"
first_on_beta() { [[ $(alpha_on_beta E2eReplicaFirst) == "$FIRST" ]]; }
e2e_wait_until 3000 "E2eReplicaFirst in beta's copy of ALPHA" first_on_beta ||
    e2e_fail "beta's copy of ALPHA has no E2eReplicaFirst 3 s after ctl set on ALPHA"
e2e_pass "ALPHA's E2eReplicaFirst reached beta after $E2E_WAITED_MS ms"

e2e_stop beta
((E2E_EXITCODE[beta] == 0)) || e2e_fail "beta ended with status ${E2E_EXITCODE[beta]} on SIGTERM"
e2e_ctl ALPHA set E2eReplicaSecond "$SECOND"
e2e_start beta 2
both_on_beta() {
    [[ $(alpha_on_beta E2eReplicaSecond) == "$SECOND" ]] && first_on_beta
}
e2e_wait_until 3000 "E2eReplicaSecond in beta's copy after its restart" both_on_beta ||
    e2e_fail "3 s after its restart beta's copy of ALPHA holds E2eReplicaSecond" \
        "'$(alpha_on_beta E2eReplicaSecond)' and E2eReplicaFirst '$(alpha_on_beta E2eReplicaFirst)'"
e2e_pass "a change made while beta was down reached it $E2E_WAITED_MS ms after its restart," \
    "the earlier one kept"

# --- "ProxyAllowedNetworks" replaces the subnets.

e2e_ctl ALPHA set ProxyAllowedNetworks "10.77.0.0/24, 10.78.0.0/24"
e2e_ctl ALPHA proxy restart >/dev/null
alpha_ready() {
    listener_bound ALPHA server "$ALPHA_SERVER" && online_address_fresh beta &&
        listener_bound beta "mapping 2" "10.77.0.2:$GREETING_PORT"
}
e2e_wait_until 5000 "ALPHA's server listener and beta's mapping" alpha_ready ||
    e2e_fail "after ALPHA's restart: ALPHA $(e2e_proxy_status ALPHA), beta $(e2e_proxy_status beta)"
status=$(e2e_proxy_status ALPHA)
[[ $(e2e_json "$status" '[.allowedNetworksConfigured, (.allowedNetworks | sort | join(" "))] |
    map(tostring) | join("|")') == "true|10.77.0.0/24 10.78.0.0/24 127.0.0.0/8" ]] ||
    e2e_fail "ALPHA's access rule is not ProxyAllowedNetworks plus loopback: $status"
refused=$(refused_on_alpha)
reply=$(ask_alpha_server "$INTERNET" | tr -d '\r')
[[ $reply == $'bad request\ndisconnecting' ]] ||
    e2e_fail "ALPHA's server port answers $INTERNET, now allowed, with '$reply'"
reply=$(ask_alpha_server "$STRANGER")
[[ -z $reply ]] || e2e_fail "ALPHA answers the stranger $STRANGER: '$reply'"
[[ $(refused_on_alpha) == $((refused + 1)) ]] ||
    e2e_fail "ALPHA's refused count went from $refused to $(refused_on_alpha), not up by 1"
greeting=$(through_beta $GREETING_PORT)
[[ $greeting == "$GREETING" ]] || e2e_fail "beta's tunnel through ALPHA gives '$greeting'"
e2e_pass "ProxyAllowedNetworks replaces the default: ALPHA answers $INTERNET, closes the" \
    "stranger $STRANGER without a byte and still serves beta's tunnel"

# --- Nobody online.

e2e_ctl ALPHA line SimLine down || e2e_fail "ctl line SimLine down failed"
all_offline_on_beta() { [[ $(e2e_status beta | jq -r .onlineText) == "(all offline)" ]]; }
e2e_wait_until 15000 "beta to show nobody online" all_offline_on_beta ||
    e2e_fail "beta still shows an online computer 15 s after ALPHA's line went down"
status=$(e2e_proxy_status beta)
jq -e --arg a "$ALPHA_SERVER" '.onlineAddress == $a and .onlineAddressAge > 5' \
    <<<"$status" >/dev/null ||
    e2e_fail "beta does not keep ALPHA's address, older than 5 s: $status"
# The last online computer's address is kept, only its time stamp ages: the tunnel goes there.
greeting=$(through_beta $GREETING_PORT)
[[ $greeting == "$GREETING" ]] ||
    e2e_fail "beta no longer tunnels to the last online computer: '$greeting'"
e2e_pass "with nobody online beta still tunnels to ALPHA, heard" \
    "$(e2e_json "$status" .onlineAddressAge) s ago"

# gamma joins now and never hears of an online computer.
e2e_host 3
e2e_start gamma 3
set_forwardings gamma
proxy_on gamma
gamma_ready() { listener_bound gamma "mapping 2" "10.77.0.3:$GREETING_PORT"; }
e2e_wait_until 5000 "gamma's mapping" gamma_ready ||
    e2e_fail "gamma's proxy status after 5 s: $(e2e_proxy_status gamma)"
status=$(e2e_proxy_status gamma)
[[ $(e2e_json "$status" '[.onlineAddress, .onlineAddressAge] | map(tostring) | join("|")') == \
    "|null" ]] || e2e_fail "gamma knows an online address: $status"
started=$(e2e_now_ms)
greeting=$(timeout -k 2 15 ip netns exec "$(e2e_host_ns 3)" socat -u \
    "TCP:10.77.0.3:$GREETING_PORT" - 2>/dev/null) || true
elapsed=$(($(e2e_now_ms) - started))
[[ -z $greeting ]] || e2e_fail "gamma's mapping gave '$greeting' with nobody online"
((elapsed >= 4000 && elapsed <= 8000)) ||
    e2e_fail "gamma closed its mapping's client after $elapsed ms, not 4 to 8 s"
e2e_pass "gamma, never told of an online computer, closes its mapping's client without data" \
    "after $elapsed ms"

# --- Both ways at once: the client sends while the echo comes back, then half-closes.

e2e_ctl ALPHA line SimLine up || e2e_fail "ctl line SimLine up failed"
fresh_on_beta() { online_address_fresh beta; }
e2e_wait_until 5000 "beta to hear ALPHA online again" fresh_on_beta ||
    e2e_fail "beta's proxy status 5 s after ALPHA's line came up: $(e2e_proxy_status beta)"

# A request that ends with a half-close gets its whole answer.
reply=$(printf 'ping\n' | timeout -k 2 15 ip netns exec "$BETA_NS" socat -t 10 - \
    "TCP:10.77.0.2:$ECHO_PORT" 2>/dev/null) || true
[[ $reply == ping ]] ||
    e2e_fail "a client that half-closes after its request gets '$reply' back, not 'ping'"
e2e_pass "a client that half-closes after its request gets the whole echo through beta"

# echo_through NS HOST WHAT: 64 MiB to the echo server at HOST from a client in namespace NS that
# half-closes once it has sent everything, and waits for the rest of the echo. Fails when the
# echo is not byte-exact, or when nothing more came back for 15 s. Sets elapsed.
echo_through() {
    local ns=$1 host=$2 what=$3 sum client last=0 now_bytes progress
    : >"$received"
    started=$(e2e_now_ms)
    progress=$started
    timeout -k 5 "$TRANSFER_LIMIT" ip netns exec "$ns" socat -t "$TRANSFER_LIMIT" - \
        "TCP:$host:$ECHO_PORT" <"$sent" >"$received" 2>"$E2E_TMP/echo.err" &
    client=$!
    while kill -0 "$client" 2>/dev/null; do
        now_bytes=$(received_bytes)
        if ((now_bytes != last)); then
            last=$now_bytes
            progress=$(e2e_now_ms)
        elif (($(e2e_now_ms) - progress > 15000)); then
            kill -TERM "$client" 2>/dev/null || true
            wait "$client" 2>/dev/null || true
            e2e_fail "$what: the echo stalled at $now_bytes of $TRANSFER_BYTES bytes for 15 s"
        fi
        sleep "$E2E_POLL"
    done
    wait "$client" 2>/dev/null || true
    elapsed=$(($(e2e_now_ms) - started))
    sum=$(sha256sum <"$received")
    [[ ${sum%% *} == "$sent_sum" ]] ||
        e2e_fail "$what: $(received_bytes) of $TRANSFER_BYTES bytes came back after $elapsed ms" \
            "(or other bytes): $(head -c 300 "$E2E_TMP/echo.err")"
}
# The same client straight from ALPHA first: what fails after that is the proxies' doing.
echo_through "$ALPHA_NS" "$INTERNET" "the echo straight from ALPHA"
e2e_log "the echo straight from ALPHA took $elapsed ms"
echo_through "$BETA_NS" 10.77.0.2 "the echo through beta's mapping"
e2e_pass "64 MiB echoed through beta and ALPHA while being sent, with a half-close, in $elapsed ms"

e2e_done
