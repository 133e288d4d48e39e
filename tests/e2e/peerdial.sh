#!/usr/bin/env bash
# Dial on demand across the LAN, with simulated lines. ALPHA (10.77.0.1) and BETA (10.77.0.2)
# dial on demand with the phone-book entry "Modem" (up 1 s after it is dialled, hung up 2 s after
# the last traffic) and run an echo server on their own loopback. GAMMA (10.77.0.3) has no dial
# settings; its trigger mapping leads to 127.0.0.1:7777, which the tunnel reaches from the
# computer online, so its clients get their echo only through ALPHA or BETA. In this order, each
# with nobody online:
#  - "AutoDialViaPeers" no on GAMMA: its client is closed without data, nobody is asked, nothing
#    dials;
#  - BETA asks its user first and GAMMA's "AutoDialPeers" names only BETA: BETA answers NO,
#    GAMMA's events log says nobody would dial, the client is closed without data and nothing
#    dials (not under HARBOLT_E2E_QUICK=1);
#  - "AutoDialPeers" "beta,alpha": BETA answers NO, ALPHA dials instead and GAMMA's client gets
#    its echo through ALPHA; `ctl dials` on ALPHA names GAMMA's request as the cause; GAMMA's
#    status shows whom it asked and that it dialled; BETA neither dials nor asks its user;
#  - without "AutoDialPeers" and BETA dialling freely: ten clients of GAMMA at once make one ask
#    and one dial, by BETA, whose online minutes this month are fewer than ALPHA's (although
#    ALPHA comes first by name), and all ten get their echo.
# Usage: peerdial.sh HARBOLT SEND_DATAGRAM
# shellcheck disable=SC2317 # predicates run through e2e_wait_until
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_init "$@"
E2E_EXTRA_ARGS=(--dialup sim)
command -v socat >/dev/null || e2e_fail "the socat command (Debian package socat) is missing"

readonly ENTRY=Modem # the phone-book entry of ALPHA and BETA
readonly DELAY=1     # its connect-delay in seconds
readonly IDLE_LIMIT=2
readonly SERVER_PORT=1977
readonly TRIGGER_PORT=7001 # GAMMA's mapping
readonly ECHO_PORT=7777    # on ALPHA's and BETA's loopback
readonly ECHO_TARGET=127.0.0.1:$ECHO_PORT
readonly CLIENTS=10
# A client nobody dials for is closed once the mapping's connect phase (5 s) is over; it must not
# wait for the minute a dial may take.
readonly CLOSE_LIMIT=10000

# --- Helpers of this script.

# pd_client TEXT: a client of GAMMA's trigger mapping, run in GAMMA's namespace.
pd_client() {
    e2e_line_client GAMMA "${E2E_ADDR[GAMMA]}" "$TRIGGER_PORT" "$1"
}

# pd_expect_echo TEXT: the client gets its echo.
pd_expect_echo() {
    local result
    result=$(pd_client "$1")
    [[ $result == "DATA $1 ${result##* }" ]] ||
        e2e_fail "GAMMA's trigger client got \"$result\", expected its echo"
}

# pd_expect_closed TEXT: the client is closed without data within CLOSE_LIMIT ms; PD_ELAPSED is
# set to the milliseconds it took.
PD_ELAPSED=0
pd_expect_closed() {
    local result outcome rest
    result=$(pd_client "$1")
    read -r outcome rest <<<"$result"
    PD_ELAPSED=${result##* }
    [[ $outcome == EOF && $rest == "$PD_ELAPSED" ]] ||
        e2e_fail "GAMMA's trigger client got \"$result\", expected a close without data"
    ((PD_ELAPSED <= CLOSE_LIMIT)) ||
        e2e_fail "GAMMA's trigger client was closed after $PD_ELAPSED ms, not within" \
            "$CLOSE_LIMIT ms"
}

# pd_records NAME: NAME's own dial-up records on one line, for messages.
pd_records() {
    e2e_dialup_records "$1" | tr '\n' '|'
}

# pd_dials ALPHA_COUNT BETA_COUNT: ALPHA's and BETA's lines have come up that many times.
pd_dials() {
    [[ $(e2e_new_connections ALPHA "$ENTRY") == "$1" &&
        $(e2e_new_connections BETA "$ENTRY") == "$2" ]]
}

# pd_expect_dials ALPHA_COUNT BETA_COUNT WHAT: fails unless pd_dials holds.
pd_expect_dials() {
    pd_dials "$1" "$2" ||
        e2e_fail "$3: ALPHA's records \"$(pd_records ALPHA)\", BETA's \"$(pd_records BETA)\";" \
            "expected $1 and $2 new connections"
}

# pd_sessions NAME NEW DROPPED: NAME has recorded NEW new connections of the entry and DROPPED
# dropped ones.
pd_sessions() {
    local records
    records=$(e2e_dialup_records "$1") || return 1
    [[ $(grep -cxF "!New Connection! $ENTRY" <<<"$records") == "$2" &&
        $(grep -cE "^!Connection Dropped! $ENTRY after [0-9]+ seconds\$" <<<"$records") == "$3" ]]
}

# pd_events MARK: the lines of GAMMA's events log about asking peers to dial, after the first
# MARK lines of its output, lower-cased and without the "harbolt: " in front.
pd_events() {
    local lines='^(asking [^ ]+ to dial: |[^ ]+ answered |[^ ]+ dials for this computer$)'
    e2e_output_since GAMMA "$1" | sed -n 's/^harbolt: //p' |
        grep -iE -e "$lines" -e '^no computer would dial' | tr '[:upper:]' '[:lower:]' || true
}

# pd_expect_events MARK LINE...: GAMMA's peer-dial events since MARK are exactly these lines.
pd_expect_events() {
    local mark=$1 expected actual
    shift
    expected=$(printf '%s\n' "$@")
    actual=$(pd_events "$mark")
    [[ $actual == "$expected" ]] ||
        e2e_fail "GAMMA's events log about asking peers: \"${actual//$'\n'/|}\";" \
            "expected \"${expected//$'\n'/|}\""
}

# pd_ask_state: GAMMA's "peerDial" status as "ASKING|PEER|ADDRESS|ANSWER|WAITING|DIALLED", the
# peer's name lower-cased; "null" before the first ask.
pd_ask_state() {
    e2e_peer_dial GAMMA | jq -r 'if . == null then "null" else
        "\(.asking)|\(.peer | ascii_downcase)|\(.address)|\(.answer)|\(.waiting)|\(.dialled)" end'
}

pd_ask_state_is() { [[ $(pd_ask_state) == "$1" ]]; }

# pd_expect_ask_state STATE: GAMMA's "peerDial" comes to STATE within 3 s.
pd_expect_ask_state() {
    e2e_wait_until 3000 "GAMMA's peer dial status to read $1" pd_ask_state_is "$1" ||
        e2e_fail "GAMMA's peerDial is $(e2e_peer_dial GAMMA), expected $1"
}

# pd_dial_asked_line: the line of GAMMA's `ctl status` about the last ask, lower-cased, as
# "dial asked: TEXT" (the label may stand in the column of the other labels instead of ending
# with a colon). TEXT names the peer, its address in brackets and its answer.
pd_dial_asked_line() {
    e2e_ctl GAMMA status | sed -n 's/^ *Dial asked:\{0,1\} \{1,\}/Dial asked: /p' |
        tr '[:upper:]' '[:lower:]'
}

# pd_expect_causes NAME CAUSE...: `ctl dials --json` on NAME lists this month's dials with exactly
# these causes, in this order.
pd_expect_causes() {
    local name=$1 json actual expected
    shift
    json=$(e2e_ctl "$name" dials --json) || e2e_fail "ctl dials --json on $name failed"
    actual=$(e2e_json "$json" '.dials | map(.cause) | join("|")')
    expected=$(IFS='|' && echo "$*")
    [[ $actual == "$expected" ]] ||
        e2e_fail "ctl dials --json on $name: $json; expected the causes \"$expected\""
}

# pd_wait_nobody_online: waits for all three to have heard no online announcement for more than
# 5 s, so that GAMMA's next request finds nobody online and the computer it asks does not answer
# "CANNOT CONNECT" for somebody it still sees online; ALPHA and BETA must have their lines down.
pd_wait_nobody_online() {
    local name
    for name in GAMMA ALPHA BETA; do
        e2e_wait_online_stale "$name"
    done
    [[ $(e2e_field ALPHA Alpha online) == false && $(e2e_field BETA Beta online) == false ]] ||
        e2e_fail "a line is up: ALPHA's records \"$(pd_records ALPHA)\", BETA's" \
            "\"$(pd_records BETA)\""
}

# --- Three instances, the phone book, the settings, the echo servers.

e2e_start_hosts ALPHA BETA GAMMA
for name in ALPHA BETA; do
    # The instances read the phone book again when it changes.
    printf '[%s]\nconnect-delay = %d\n' "$ENTRY" "$DELAY" >"${E2E_DIR[$name]}/phonebook.conf"
    e2e_ctl "$name" set AutoDialPhoneBookEntry "$ENTRY"
    e2e_ctl "$name" set AutoDialEnabled yes
    e2e_ctl "$name" set AutoDialDisconnectAfter "$IDLE_LIMIT"
    e2e_spawn "${E2E_NS[$name]}" "$E2E_TMP/echo-$name.log" socat \
        "TCP-LISTEN:$ECHO_PORT,bind=127.0.0.1,reuseaddr,fork" PIPE
done
e2e_ctl GAMMA set ProxyMapping00 ":$TRIGGER_PORT -> $ECHO_TARGET, trigger"
for name in ALPHA BETA GAMMA; do
    e2e_ctl "$name" set ProxyEnabled yes
    e2e_ctl "$name" proxy restart >/dev/null
done

all_listening() {
    e2e_tcp_listening "${E2E_NS[ALPHA]}" "$SERVER_PORT" &&
        e2e_tcp_listening "${E2E_NS[BETA]}" "$SERVER_PORT" &&
        e2e_tcp_listening "${E2E_NS[GAMMA]}" "$SERVER_PORT" &&
        e2e_tcp_listening "${E2E_NS[GAMMA]}" "$TRIGGER_PORT" &&
        e2e_tcp_listening "${E2E_NS[ALPHA]}" "$ECHO_PORT" &&
        e2e_tcp_listening "${E2E_NS[BETA]}" "$ECHO_PORT"
}
e2e_wait_until 10000 "the proxy ports and the echo servers" all_listening ||
    e2e_fail "not all ports listen: $(e2e_proxy_status GAMMA)"
# GAMMA picks its peers from what it knows of them: alive, dialling on demand with an entry,
# with a server address.
peers_known() {
    local name
    [[ $(e2e_alive_names GAMMA | tr '\n' ' ') == "Alpha Beta Gamma " ]] || return 1
    for name in ALPHA BETA; do
        [[ $(e2e_ctl GAMMA list "$name" --json 2>/dev/null | jq -r \
            '"\(.AutoDialEnabled) \(.AutoDialPhoneBookEntry) \(.ProxyServerAddress)"') == \
            "yes $ENTRY ${E2E_ADDR[$name]}:$SERVER_PORT" ]] || return 1
    done
}
e2e_wait_until 8000 "GAMMA to know ALPHA and BETA as computers that dial" peers_known ||
    e2e_fail "GAMMA does not know both peers: $(e2e_status GAMMA)" \
        "$(e2e_ctl GAMMA list ALPHA --json)"
[[ $(pd_ask_state) == null ]] || e2e_fail "GAMMA shows an ask before any: $(e2e_peer_dial GAMMA)"
readonly CAUSE="${E2E_ADDR[GAMMA]} $ECHO_TARGET" # what GAMMA's clients want
readonly PEER_CAUSE="CONNECT! from ${E2E_ADDR[GAMMA]} for $CAUSE"
readonly ALPHA_SERVER="${E2E_ADDR[ALPHA]}:$SERVER_PORT" BETA_SERVER="${E2E_ADDR[BETA]}:$SERVER_PORT"

# --- "AutoDialViaPeers" no: nobody is asked.

e2e_ctl GAMMA set AutoDialViaPeers no
mark=$(e2e_output_lines GAMMA)
pd_expect_closed via-peers-off
pd_expect_events "$mark"
[[ $(pd_ask_state) == null ]] || e2e_fail "GAMMA asked a peer: $(e2e_peer_dial GAMMA)"
pd_expect_dials 0 0 "with AutoDialViaPeers no"
e2e_pass "AutoDialViaPeers no: the client was closed without data after $PD_ELAPSED ms," \
    "nobody was asked, nothing dialled"
e2e_ctl GAMMA unset AutoDialViaPeers

# --- BETA asks its user first.

e2e_ctl BETA set AutoDialAskBeforeDialing yes
if [[ ${HARBOLT_E2E_QUICK:-0} != 1 ]]; then
    e2e_ctl GAMMA set AutoDialPeers beta
    mark=$(e2e_output_lines GAMMA)
    pd_expect_closed only-beta
    refused=$PD_ELAPSED
    events=$(pd_events "$mark")
    # Until its connect phase is over the client may have GAMMA ask again; every ask goes to BETA
    # alone and ends without a dial.
    asks=$(grep -c '^asking ' <<<"$events" || true)
    ((asks >= 1)) || e2e_fail "GAMMA asked nobody: \"${events//$'\n'/|}\""
    unexpected=$(grep -vxF -e "asking beta to dial: $CAUSE" -e "beta answered no" \
        -e "no computer would dial: asked beta" <<<"$events" || true)
    warnings=$(grep -c '^no computer would dial: asked beta$' <<<"$events" || true)
    [[ -z $unexpected && $warnings == "$asks" ]] ||
        e2e_fail "GAMMA's events log about asking peers: \"${events//$'\n'/|}\"; expected BETA" \
            "asked and answering NO, and a warning that nobody would dial after each ask"
    pd_expect_ask_state "false|beta|$BETA_SERVER|NO|0|false"
    pd_expect_dials 0 0 "with only BETA asked"
    [[ $(e2e_status BETA | jq -r .question) == null ]] ||
        e2e_fail "BETA asks its user although a peer's ask gets NO: $(e2e_status BETA)"
    e2e_pass "only BETA asked: it answered NO ($asks asks), the client was closed without data" \
        "after $refused ms, nothing dialled"
fi

# --- BETA first, then ALPHA: ALPHA dials.

e2e_ctl GAMMA set AutoDialPeers beta,alpha
mark=$(e2e_output_lines GAMMA)
start=$(e2e_now_ms)
pd_expect_echo fallback
took=$(($(e2e_now_ms) - start))
# The line's record may follow the announcement by a monitor pass.
e2e_wait_until 2000 "ALPHA's record of its dial" pd_dials 1 0 || true
pd_expect_dials 1 0 "after BETA answered NO"
[[ $(e2e_proxy_status GAMMA | jq -r .onlineAddress) == "$ALPHA_SERVER" ]] ||
    e2e_fail "GAMMA's proxy does not go through ALPHA: $(e2e_proxy_status GAMMA)"
pd_expect_events "$mark" "asking beta to dial: $CAUSE" "beta answered no" \
    "asking alpha to dial: $CAUSE" "alpha dials for this computer"
pd_expect_ask_state "false|alpha|$ALPHA_SERVER|CONNECTING|0|true"
line=$(pd_dial_asked_line)
[[ $line == "dial asked: alpha ($ALPHA_SERVER)"@(: | answered )"connecting"* ]] ||
    e2e_fail "GAMMA's ctl status says \"$line\" of the ask"
pd_expect_causes ALPHA "$PEER_CAUSE"
[[ $(e2e_status BETA | jq -r .question) == null ]] ||
    e2e_fail "BETA asks its user although a peer's ask gets NO: $(e2e_status BETA)"
e2e_pass "BETA answered NO and ALPHA dialled for GAMMA's client, which got its echo after" \
    "$took ms; ALPHA's dial cause is \"$PEER_CAUSE\""

# ALPHA hangs up and GAMMA learns of ALPHA's online minute from ALPHA's records.
e2e_wait_until $(((IDLE_LIMIT + 6) * 1000)) "ALPHA to hang up when idle" pd_sessions ALPHA 1 1 ||
    e2e_fail "ALPHA did not hang up its idle line: $(pd_records ALPHA)"
alpha_minutes_known() {
    local minutes
    minutes=$(e2e_budget GAMMA Alpha) || return 1
    ((${minutes%% *} >= 1))
}
e2e_wait_until 5000 "GAMMA to see ALPHA's online minutes" alpha_minutes_known ||
    e2e_fail "GAMMA shows ALPHA's budget as \"$(e2e_budget GAMMA Alpha)\""
e2e_ctl BETA unset AutoDialAskBeforeDialing
e2e_ctl GAMMA unset AutoDialPeers
pd_wait_nobody_online

# --- Ten clients at once, any peer: one ask, one dial, by BETA.

mark=$(e2e_output_lines GAMMA)
declare -a client_pids=()
for ((i = 1; i <= CLIENTS; i++)); do
    pd_client "many-$i" >"$E2E_TMP/client-$i" &
    client_pids+=($!)
done
clients_done() {
    local pid
    for pid in "${client_pids[@]}"; do
        ! kill -0 "$pid" 2>/dev/null || return 1
    done
}
e2e_wait_until 30000 "the $CLIENTS clients to end" clients_done ||
    e2e_fail "GAMMA's clients still wait 30 s after their start"
for pid in "${client_pids[@]}"; do
    wait "$pid" || true
done
for ((i = 1; i <= CLIENTS; i++)); do
    result=$(cat "$E2E_TMP/client-$i")
    [[ $result == "DATA many-$i ${result##* }" ]] ||
        e2e_fail "client $i of $CLIENTS got \"$result\", expected its echo"
done
# The line's idle hang-up leaves time for a second dial to show, were there one.
e2e_wait_until $(((IDLE_LIMIT + 6) * 1000)) "BETA to hang up when idle" pd_sessions BETA 1 1 ||
    e2e_fail "BETA did not dial and hang up once: $(pd_records BETA)"
pd_expect_dials 1 1 "after $CLIENTS clients at once"
pd_expect_events "$mark" "asking beta to dial: $CAUSE" "beta dials for this computer"
pd_expect_ask_state "false|beta|$BETA_SERVER|CONNECTING|0|true"
pd_expect_causes BETA "$PEER_CAUSE"
e2e_pass "$CLIENTS clients at once got their echo after one ask and one dial, by BETA with" \
    "fewer online minutes than ALPHA"

e2e_done
