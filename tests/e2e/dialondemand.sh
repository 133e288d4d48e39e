#!/usr/bin/env bash
# Dial on demand between two instances with simulated lines, ALPHA (10.77.0.1) and BETA
# (10.77.0.2), both with their proxy server on port 1977 and a phone-book entry whose line comes
# up 2 s after it is dialled. BETA forwards a trigger port and a notrigger port to an echo server
# on its own loopback. In this order:
#  - nobody online: a notrigger client is closed after about 5 s without data and nothing dials;
#    the requests "WOULD CONNECT?", "DISCONNECT!" and "ONLINE?" get their byte-exact answers;
#  - a trigger client makes BETA dial and gets its echo once the line is up; BETA shows itself
#    online with the connection and records the session;
#  - BETA hangs up 5 to 8 s after the last traffic ("AutoDialDisconnectAfter" 5) and records the
#    dropped connection;
#  - with "AutoDialAskBeforeDialing" a trigger client raises the question, which `ctl answer yes`
#    lets through to a dial and the echo; the dial requests are refused while it is set;
#  - ALPHA's line comes up from outside; BETA's "CONNECT!" is refused; `ctl takeover` on BETA
#    makes ALPHA hang up and BETA dial about 3 s later;
#  - "DISCONNECT!" hangs BETA's line up with dots and "SUCCESS"; with nobody online, "CONNECT!"
#    dials, counts dots, and ends in " nearly done ", "." and "SUCCESS" once BETA is online.
# Usage: dialondemand.sh HARBOLT SEND_DATAGRAM
# shellcheck disable=SC2317 # predicates run through e2e_wait_until
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_init "$@"
E2E_EXTRA_ARGS=(--dialup sim)
command -v socat >/dev/null || e2e_fail "the socat command (Debian package socat) is missing"

readonly ENTRY=Modem     # the phone-book entry of both instances
readonly DELAY=2         # its connect-delay in seconds
readonly SERVER_PORT=1977
readonly TRIGGER_PORT=7001
readonly NOTRIGGER_PORT=7002
readonly ECHO_PORT=7777 # on BETA's loopback
readonly IDLE_LIMIT=5   # "AutoDialDisconnectAfter" of BETA

# --- Helpers of this script.

# The bytes of FILE with backslash, CR, LF and NUL written as \\, \r, \n and \0, so that answers
# can be matched with patterns and shown in messages.
dod_visible() {
    LC_ALL=C tr '\0' '\1' <"$1" |
        LC_ALL=C sed -z 's/\\/\\\\/g; s/\r/\\r/g; s/\n/\\n/g; s/\x01/\\0/g'
}

# dod_request FROM HOST:PORT REQUEST FILE: sends REQUEST (a printf format) over a TCP connection
# made in FROM's namespace and stores what comes back until the other side closes, at most 75 s.
dod_request() {
    local from=$1 host=${2%:*} port=${2##*:} request=$3 file=$4
    # shellcheck disable=SC2016 # expanded by the inner shell
    timeout -k 2 75 ip netns exec "${E2E_NS[$from]}" bash -c \
        'exec 3<>"/dev/tcp/$1/$2" || exit 1; printf "$3" >&3; cat <&3' \
        _ "$host" "$port" "$request" >"$file"
}

# dod_expect_bytes FILE EXPECTED WHAT: FILE must hold exactly the bytes of the printf format
# EXPECTED.
dod_expect_bytes() {
    local file=$1 expected=$2 what=$3
    # shellcheck disable=SC2059 # the expected bytes are a printf format on purpose
    printf "$expected" >"$file.expected"
    cmp -s "$file" "$file.expected" ||
        e2e_fail "$what: the answer is \"$(dod_visible "$file")\" ($(od -An -tx1 -v "$file" |
            tr -s ' \n' ' ')), expected \"$(dod_visible "$file.expected")\""
}

# dod_client NAME PORT TEXT: a client program of NAME's mapping PORT, run in NAME's namespace: it
# sends the line TEXT and waits up to 70 s for a line back. Prints "DATA <line>", "EOF <bytes
# before the close>", "TIMEOUT" or "REFUSED", then the milliseconds from connecting to the end.
dod_client() {
    local name=$1 port=$2 text=$3
    # shellcheck disable=SC2016 # expanded by the inner shell
    timeout -k 2 80 ip netns exec "${E2E_NS[$name]}" bash -c '
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
        _ "${E2E_ADDR[$name]}" "$port" "$text"
}

# dod_records NAME: the values of NAME's own dial-up records, one a line.
dod_records() {
    e2e_ctl "$1" list --all --json | jq -r 'to_entries[] | select(.key | startswith("$")) | .value'
}

# dod_sessions NAME NEW DROPPED: NAME has recorded NEW new connections of the entry and DROPPED
# dropped ones.
dod_sessions() {
    local records
    records=$(dod_records "$1") || return 1
    [[ $(grep -cx "!New Connection! $ENTRY" <<<"$records") == "$2" &&
        $(grep -cE "^!Connection Dropped! $ENTRY after [0-9]+ seconds\$" <<<"$records") == "$3" ]]
}

# dod_online_as VIEWER SHOWN: VIEWER's status has computer SHOWN online using the entry.
dod_online_as() {
    local json
    json=$(e2e_status "$1") || return 1
    # shellcheck disable=SC2016 # $c is a jq variable
    [[ $(e2e_json "$json" '.computers[] | select(.name == $c) | "\(.online) \(.connection)"' \
        --arg c "$2") == "true $ENTRY" ]]
}

# dod_offline VIEWER SHOWN: VIEWER's status has computer SHOWN not online.
dod_offline() {
    [[ $(e2e_field "$1" "$2" online) == false ]]
}

# dod_address_stale NAME: NAME has heard no online announcement for more than 5 s, so that a
# connection through its mappings finds nobody online.
dod_address_stale() {
    local age
    age=$(e2e_ctl "$1" proxy status --json | jq -r '.onlineAddressAge') || return 1
    [[ $age == null ]] || jq -en --argjson a "$age" '$a > 5.3' >/dev/null
}

dod_wait_stale() {
    e2e_wait_until 20000 "$1 to see nobody online" dod_address_stale "$1" ||
        e2e_fail "$1 still has a fresh online address: $(e2e_ctl "$1" proxy status --json)"
}

dod_question_open() {
    [[ $(e2e_status "$1" | jq -r '.question != null') == true ]]
}

# dod_listening NAME PORT: something listens on TCP PORT in NAME's namespace.
dod_listening() {
    ip netns exec "${E2E_NS[$1]}" ss -Hltn "sport = :$2" 2>/dev/null | grep -q .
}

# --- Two instances, the phone book, the settings, the echo server.

e2e_start_hosts ALPHA BETA
# The instances read the phone book again when it changes.
for name in ALPHA BETA; do
    printf '[%s]\nconnect-delay = %d\n' "$ENTRY" "$DELAY" >"${E2E_DIR[$name]}/phonebook.conf"
done
e2e_ctl ALPHA set ProxyEnabled yes
e2e_ctl BETA set ProxyMapping00 ":$TRIGGER_PORT -> 127.0.0.1:$ECHO_PORT, trigger"
e2e_ctl BETA set ProxyMapping01 ":$NOTRIGGER_PORT -> 127.0.0.1:$ECHO_PORT, notrigger"
e2e_ctl BETA set AutoDialPhoneBookEntry "$ENTRY"
e2e_ctl BETA set AutoDialEnabled yes
e2e_ctl BETA set AutoDialDisconnectAfter "$IDLE_LIMIT"
e2e_ctl BETA set ProxyEnabled yes
for name in ALPHA BETA; do
    e2e_ctl "$name" proxy restart >/dev/null
done

ip netns exec "${E2E_NS[BETA]}" socat "TCP-LISTEN:$ECHO_PORT,bind=127.0.0.1,reuseaddr,fork" PIPE \
    2>>"$E2E_TMP/socat.log" &
echo_pid=$!
disown "$echo_pid" # ended below, or with everything else in the namespace on failure

all_listening() {
    dod_listening ALPHA "$SERVER_PORT" && dod_listening BETA "$SERVER_PORT" &&
        dod_listening BETA "$TRIGGER_PORT" && dod_listening BETA "$NOTRIGGER_PORT" &&
        dod_listening BETA "$ECHO_PORT"
}
e2e_wait_until 10000 "the proxy ports and the echo server" all_listening ||
    e2e_fail "not all ports listen: $(e2e_ctl BETA proxy status --json)"
both_alive() {
    [[ $(e2e_alive_names ALPHA | tr '\n' ' ') == "Alpha Beta " ]] &&
        [[ $(e2e_alive_names BETA | tr '\n' ' ') == "Alpha Beta " ]]
}
e2e_wait_until 5000 "both instances to see each other" both_alive ||
    e2e_fail "the two instances do not see each other"
{ dod_offline BETA Beta && dod_offline BETA Alpha; } ||
    e2e_fail "somebody is online before any dial"

# --- Nobody online: a notrigger mapping never dials; the requests that change nothing.

result=$(dod_client BETA "$NOTRIGGER_PORT" notrigger-ping)
read -r outcome rest <<<"$result"
elapsed=${result##* }
[[ $outcome == EOF && $rest == "$elapsed" ]] ||
    e2e_fail "the notrigger client got \"$result\", expected a close without data"
((elapsed >= 4500 && elapsed <= 8000)) ||
    e2e_fail "the notrigger client was closed after $elapsed ms, not about 5 s"
notrigger_closed=$elapsed

# The client waited 5 s and these requests take 1.5 s more: a dial the notrigger client had asked
# for would have brought the line up by now (the next tick plus the connect-delay), and "ONLINE?"
# would name it.
answer="$E2E_TMP/answer"
dod_request BETA "${E2E_ADDR[BETA]}:$SERVER_PORT" 'WOULD CONNECT?\r\n\r\n' "$answer"
dod_expect_bytes "$answer" 'YES' "WOULD CONNECT? on BETA (dial on demand, no question)"
dod_request BETA "${E2E_ADDR[ALPHA]}:$SERVER_PORT" 'WOULD CONNECT?\r\n\r\n' "$answer"
dod_expect_bytes "$answer" 'NO' "WOULD CONNECT? on ALPHA (no dial on demand)"
dod_request BETA "${E2E_ADDR[BETA]}:$SERVER_PORT" 'DISCONNECT!\r\n\r\n' "$answer"
dod_expect_bytes "$answer" 'CANNOT DISCONNECT\r\n' "DISCONNECT! on BETA without a line"
dod_request BETA "${E2E_ADDR[BETA]}:$SERVER_PORT" 'ONLINE?\r\n\r\n' "$answer"
dod_expect_bytes "$answer" 'BETA\r\n\r\n' "ONLINE? on BETA without a line"
e2e_pass "WOULD CONNECT? (YES, NO), DISCONNECT! and ONLINE? answer byte-exact with no line up"
dod_sessions BETA 0 0 ||
    e2e_fail "BETA dialled for a notrigger mapping: $(dod_records BETA | tr '\n' '|')"
dod_offline BETA Beta || e2e_fail "BETA is online after a notrigger connection"
e2e_pass "notrigger client closed without data after $notrigger_closed ms; nothing dialled"

# --- A trigger client makes BETA dial.

result=$(dod_client BETA "$TRIGGER_PORT" trigger-ping-1)
served_at=$(e2e_now_ms)
elapsed=${result##* }
[[ $result == "DATA trigger-ping-1 $elapsed" ]] ||
    e2e_fail "the trigger client got \"$result\", expected its echo"
((elapsed >= DELAY * 1000 && elapsed <= (DELAY + 5) * 1000)) ||
    e2e_fail "the echo came after $elapsed ms; the dial takes $DELAY s plus a few"
dod_online_as BETA Beta ||
    e2e_fail "BETA does not show itself online using $ENTRY: $(e2e_status BETA)"
# ALPHA takes BETA's online announcement at its next receive pass, within about 1 s.
e2e_wait_until 2500 "ALPHA to see BETA online" dod_online_as ALPHA Beta ||
    e2e_fail "ALPHA does not show BETA online using $ENTRY: $(e2e_status ALPHA)"
dod_sessions BETA 1 0 ||
    e2e_fail "BETA did not record one new connection: $(dod_records BETA | tr '\n' '|')"
e2e_pass "trigger client got its echo after $elapsed ms; BETA dialled and is online using $ENTRY"

# --- Idle hang-up.

e2e_wait_until $(((IDLE_LIMIT + 6) * 1000)) "BETA to hang up when idle" dod_sessions BETA 1 1 ||
    e2e_fail "BETA did not hang up: $(dod_records BETA | tr '\n' '|')"
idle=$(($(e2e_now_ms) - served_at))
# The dialer looks once a second and hangs up once more than the limit has passed; the monitor
# records the drop at its next pass, up to 1 s later.
((idle >= IDLE_LIMIT * 1000 && idle <= (IDLE_LIMIT + 3) * 1000 + 500)) ||
    e2e_fail "BETA hung up $idle ms after the last traffic, limit $IDLE_LIMIT s"
e2e_wait_until 3000 "BETA's own entry to go offline" dod_offline BETA Beta ||
    e2e_fail "BETA still shows itself online after the hang-up"
e2e_pass "BETA hung up its idle line $idle ms after the last traffic and recorded the drop"

# --- Ask before dialing.

e2e_ctl BETA set AutoDialAskBeforeDialing yes
dod_request BETA "${E2E_ADDR[BETA]}:$SERVER_PORT" 'WOULD CONNECT?\r\n\r\n' "$answer"
dod_expect_bytes "$answer" 'NO' "WOULD CONNECT? on BETA asking before dialling"
dod_request BETA "${E2E_ADDR[BETA]}:$SERVER_PORT" 'CONNECT!\r\n\r\n' "$answer"
dod_expect_bytes "$answer" 'CANNOT CONNECT\r\n' "CONNECT! on BETA asking before dialling"
dod_wait_stale BETA

client_out="$E2E_TMP/asked-client"
dod_client BETA "$TRIGGER_PORT" trigger-ping-2 >"$client_out" &
client_pid=$!
e2e_wait_until 8000 "BETA to ask before dialling" dod_question_open BETA ||
    e2e_fail "no question on BETA: $(e2e_status BETA)"
question=$(e2e_status BETA | jq -c .question)
[[ $(e2e_json "$question" .text) == *"Do you want to connect to the Internet?"* &&
    $(e2e_json "$question" .defaultAnswer) == no ]] || e2e_fail "the question is $question"
secs=$(e2e_json "$question" .secondsLeft)
((secs >= 25 && secs <= 30)) || e2e_fail "the question answers itself in $secs s, not 30"
dod_sessions BETA 1 1 || e2e_fail "BETA dialled before the answer"
e2e_ctl BETA answer yes >/dev/null
answered_at=$(e2e_now_ms)
client_done() { ! kill -0 "$client_pid" 2>/dev/null; }
e2e_wait_until $(((DELAY + 10) * 1000)) "the asking client to get its echo" client_done ||
    e2e_fail "the client still waits $((DELAY + 10)) s after the answer"
wait "$client_pid" || true
since_answer=$(($(e2e_now_ms) - answered_at))
result=$(cat "$client_out")
[[ $result == "DATA trigger-ping-2 ${result##* }" ]] ||
    e2e_fail "the client of the asked dial got \"$result\", expected its echo"
dod_online_as BETA Beta || e2e_fail "BETA is not online after the answer: $(e2e_status BETA)"
dod_sessions BETA 2 1 ||
    e2e_fail "BETA did not record the asked dial: $(dod_records BETA | tr '\n' '|')"
[[ $(e2e_status BETA | jq -r .question) == null ]] || e2e_fail "the question is still open"
e2e_pass "the question ($question) answered yes: dial, echo $since_answer ms after the answer"

# Back to dialling without asking and without the idle hang-up; BETA hangs up on command.
e2e_ctl BETA unset AutoDialAskBeforeDialing
e2e_ctl BETA unset AutoDialDisconnectAfter
e2e_ctl BETA disconnect >/dev/null
e2e_wait_until 3000 "BETA to hang up on ctl disconnect" dod_sessions BETA 2 2 ||
    e2e_fail "ctl disconnect left BETA's line up: $(dod_records BETA | tr '\n' '|')"
e2e_wait_until 3000 "BETA's own entry to go offline" dod_offline BETA Beta ||
    e2e_fail "BETA still shows itself online after ctl disconnect"

# --- Take-over from a line brought up outside Harbolt.

dod_wait_stale BETA
e2e_ctl ALPHA line "$ENTRY" up
alpha_server="${E2E_ADDR[ALPHA]}:$SERVER_PORT"
alpha_online() {
    dod_online_as BETA Alpha && dod_online_as ALPHA Alpha &&
        ! dod_address_stale BETA &&
        [[ $(e2e_ctl BETA proxy status --json | jq -r .onlineAddress) == "$alpha_server" ]]
}
e2e_wait_until 4000 "both to see ALPHA online" alpha_online ||
    e2e_fail "ALPHA's line is up but BETA does not see it online: $(e2e_status BETA)"
dod_request BETA "${E2E_ADDR[ALPHA]}:$SERVER_PORT" 'ONLINE?\r\n\r\n' "$answer"
dod_expect_bytes "$answer" "ALPHA\\r\\n$ENTRY\\r\\n" "ONLINE? on ALPHA with its line up"
dod_request BETA "${E2E_ADDR[BETA]}:$SERVER_PORT" 'CONNECT!\r\n\r\n' "$answer"
dod_expect_bytes "$answer" 'CANNOT CONNECT\r\n' "CONNECT! on BETA while ALPHA is online"
e2e_pass "ONLINE? names ALPHA's line; CONNECT! is refused while ALPHA is online"

takeover_at=$(e2e_now_ms)
said=$(e2e_ctl BETA takeover 2>&1) || e2e_fail "ctl takeover failed: $said"
[[ $said == *"$alpha_server"*"hung up"* ]] ||
    e2e_fail "ctl takeover says \"$said\", not that ALPHA hung up"
e2e_wait_until 3000 "ALPHA's line to go down" dod_sessions ALPHA 1 1 ||
    e2e_fail "ALPHA's line stays up after the take-over: $(dod_records ALPHA | tr '\n' '|')"
e2e_wait_until 12000 "BETA to dial after the take-over" dod_sessions BETA 3 2 ||
    e2e_fail "BETA did not dial after the take-over: $(dod_records BETA | tr '\n' '|')"
# The delayed request runs at the third tick and the dial at the next one; the line is up DELAY s
# after the dial and recorded at the monitor's next pass, up to 1 s later.
dialled_after=$(($(e2e_now_ms) - takeover_at - DELAY * 1000))
((dialled_after >= 2000 && dialled_after <= 7000 + 1000)) ||
    e2e_fail "BETA dialled about $dialled_after ms after the take-over, not 2 to 7 s"
beta_online_everywhere() { dod_online_as BETA Beta && dod_online_as ALPHA Beta; }
e2e_wait_until 3000 "both to see BETA online" beta_online_everywhere ||
    e2e_fail "BETA is not shown online after the take-over: $(e2e_status ALPHA)"
e2e_pass "ctl takeover: \"$said\"; ALPHA hung up, BETA dialled about $dialled_after ms later"

# --- DISCONNECT! on a line that is up, CONNECT! with nobody online.

dod_request ALPHA "${E2E_ADDR[BETA]}:$SERVER_PORT" 'DISCONNECT!\r\n\r\n' "$answer"
[[ $(dod_visible "$answer") =~ ^DISCONNECTING\\r\\n\.+\\r\\nSUCCESS\\r\\n$ ]] ||
    e2e_fail "DISCONNECT! on BETA answered \"$(dod_visible "$answer")\""
e2e_wait_until 3000 "BETA's line to go down" dod_sessions BETA 3 3 ||
    e2e_fail "BETA's line stays up after DISCONNECT!: $(dod_records BETA | tr '\n' '|')"
e2e_pass "DISCONNECT! on BETA: \"$(dod_visible "$answer")\" and the line went down"

dod_wait_stale BETA
connect_at=$(e2e_now_ms)
dod_request ALPHA "${E2E_ADDR[BETA]}:$SERVER_PORT" 'CONNECT!\r\n\r\n' "$answer"
took=$(($(e2e_now_ms) - connect_at))
[[ $(dod_visible "$answer") =~ ^CONNECTING\\r\\n\.+\ nearly\ done\ \.\\r\\nSUCCESS\\r\\n$ ]] ||
    e2e_fail "CONNECT! on BETA answered \"$(dod_visible "$answer")\""
dod_sessions BETA 4 3 ||
    e2e_fail "BETA did not dial on CONNECT!: $(dod_records BETA | tr '\n' '|')"
e2e_wait_until 3000 "both to see BETA online" beta_online_everywhere ||
    e2e_fail "BETA is not shown online after CONNECT!: $(e2e_status ALPHA)"
e2e_pass "CONNECT! on BETA: \"$(dod_visible "$answer")\" after $took ms, BETA online"

kill "$echo_pid" 2>/dev/null || true
e2e_done
