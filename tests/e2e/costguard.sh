#!/usr/bin/env bash
# The cost guard of dial on demand, with simulated lines. ALPHA (10.77.0.1) and BETA (10.77.0.2)
# each have the phone-book entry "Modem", up 1 s after it is dialled, a trigger mapping to an
# echo server on their own loopback and an idle hang-up 2 s after the last traffic; the clients
# of one computer's mapping run in the other's namespace. A DNS server (dnsmasq) hangs off a
# private link of ALPHA's, so that only ALPHA reaches it. In this order:
#  - monthly minutes (ALPHA, "AutoDialMonthlyMinutes" 1): the first trigger client dials and gets
#    its echo; after the idle hang-up the budget is spent: the status says so (also BETA's view
#    of ALPHA), "WOULD CONNECT?" answers "NO", trigger clients are closed without data within
#    1 s, nothing dials and the events log says so once; `ctl connect` still dials;
#  - dials per hour (BETA, "AutoDialMaxDialsPerHour" 2, or 1 under HARBOLT_E2E_QUICK=1): that
#    many dials on demand with a hang-up between, then the next client is refused at once;
#  - `ctl dials` names each dial's cause: the client's address and the mapping's destination,
#    "connect asked by the user", or the client's address and the name it asked the DNS for;
#  - DNS at ALPHA (its limit gone): a query with nobody online dials and is answered; asked again
#    while online it is answered from the cache; after the hang-up with nobody online it gets
#    the stale answer with TTL 30 and nothing dials; names of "ProxyDnsNoDialNames" get SERVFAIL
#    at once and nothing dials.
# Usage: costguard.sh HARBOLT SEND_DATAGRAM
# shellcheck disable=SC2317 # predicates run through e2e_wait_until
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_init "$@"
E2E_EXTRA_ARGS=(--dialup sim)
command -v socat >/dev/null || e2e_fail "the socat command (Debian package socat) is missing"
command -v dig >/dev/null || e2e_fail "the dig command (Debian package bind9-dnsutils) is missing"
readonly DNSMASQ=/usr/sbin/dnsmasq
[[ -x $DNSMASQ ]] || e2e_fail "$DNSMASQ (Debian package dnsmasq-base) is missing"

readonly ENTRY=Modem # the phone-book entry of both instances
readonly DELAY=1     # its connect-delay in seconds
readonly IDLE_LIMIT=2
readonly SERVER_PORT=1977
readonly TRIGGER_PORT=7001
readonly ECHO_PORT=7777 # on each instance's loopback
readonly ECHO_TARGET=127.0.0.1:$ECHO_PORT
readonly REFUSAL_LIMIT=1000 # ms a refused client may wait for its close
readonly INTERNET=10.78.0.2 ALPHA_LINK=10.78.0.1
readonly DNS_NAME=cache.test DNS_ANSWER=10.78.0.77
readonly DNS_TTL=3 # short, so that the answer is stale by the time nobody is online
readonly NO_DIAL_NAMES="*.local,wpad.*"
# Under the sanitizers one dial on demand fills the hourly budget instead of two.
DIALS_ALLOWED=2
[[ ${HARBOLT_E2E_QUICK:-0} != 1 ]] || DIALS_ALLOWED=1
readonly DIALS_ALLOWED

# --- Helpers of this script.

# cg_client FROM TO TEXT: a client of TO's trigger mapping, run in FROM's namespace.
cg_client() {
    e2e_line_client "$1" "${E2E_ADDR[$2]}" "$TRIGGER_PORT" "$3"
}

# cg_expect_echo FROM TO TEXT: the client gets its echo (TO dials for it).
cg_expect_echo() {
    local result elapsed
    result=$(cg_client "$1" "$2" "$3")
    elapsed=${result##* }
    [[ $result == "DATA $3 $elapsed" ]] ||
        e2e_fail "the trigger client of $2 got \"$result\", expected its echo"
}

# cg_expect_refused FROM TO TEXT: the client is closed without data within REFUSAL_LIMIT ms;
# CG_ELAPSED is set to the milliseconds it took.
CG_ELAPSED=0
cg_expect_refused() {
    local result outcome rest
    result=$(cg_client "$1" "$2" "$3")
    read -r outcome rest <<<"$result"
    CG_ELAPSED=${result##* }
    [[ $outcome == EOF && $rest == "$CG_ELAPSED" ]] ||
        e2e_fail "the trigger client of $2 with its budget spent got \"$result\"," \
            "expected a close without data"
    ((CG_ELAPSED <= REFUSAL_LIMIT)) ||
        e2e_fail "the trigger client of $2 was closed after $CG_ELAPSED ms, not within" \
            "$REFUSAL_LIMIT ms"
}

# cg_records NAME: NAME's own dial-up records on one line, for messages.
cg_records() {
    e2e_dialup_records "$1" | tr '\n' '|'
}

# cg_sessions NAME NEW DROPPED: NAME has recorded NEW new connections of the entry and DROPPED
# dropped ones.
cg_sessions() {
    local records
    records=$(e2e_dialup_records "$1") || return 1
    [[ $(grep -cx "!New Connection! $ENTRY" <<<"$records") == "$2" &&
        $(grep -cE "^!Connection Dropped! $ENTRY after [0-9]+ seconds\$" <<<"$records") == "$3" ]]
}

# cg_dialled NAME NEW: NAME has recorded NEW new connections of the entry (the line may be down
# again already: the idle hang-up comes 2 s after the connection).
cg_dialled() {
    [[ $(e2e_dialup_records "$1" | grep -cx "!New Connection! $ENTRY") == "$2" ]]
}

# cg_hang_up NAME COUNT: hangs NAME's line up unless the idle hang-up did so already, and waits for
# the COUNT-th dropped connection.
cg_hang_up() {
    e2e_ctl "$1" disconnect >/dev/null 2>&1 || true
    e2e_wait_until 4000 "$1 to hang up" cg_sessions "$1" "$2" "$2" ||
        e2e_fail "$1's line stays up: $(cg_records "$1")"
}

# cg_causes NAME: the causes of NAME's dial cause records, one a line.
cg_causes() {
    e2e_dialup_records "$1" | sed -n 's/^!Dial Cause! //p'
}

# cg_dials NAME: how many dial cause and new connection records NAME has.
cg_dials() {
    e2e_dialup_records "$1" | grep -cE '^!(Dial Cause|New Connection)! ' || true
}

# cg_expect_nothing_dials NAME COUNT: NAME keeps COUNT dial cause and new connection records for
# 3 s (the next dialer tick plus the connect-delay and a margin) and stays offline.
cg_expect_nothing_dials() {
    local shown=${1,,}
    if e2e_wait_until 3000 "no dial on $1 (none may come)" cg_records_changed "$1" "$2"; then
        e2e_fail "$1 dialled with its budget spent or for a name that never dials:" \
            "$(cg_records "$1")"
    fi
    [[ $(e2e_field "$1" "${shown^}" online) == false ]] || e2e_fail "$1 is online"
}

cg_records_changed() {
    [[ $(cg_dials "$1") != "$2" ]]
}

# cg_would_connect FROM TO EXPECTED: "WOULD CONNECT?" on TO's server port answers exactly
# EXPECTED.
cg_would_connect() {
    local file="$E2E_TMP/would-connect"
    # shellcheck disable=SC2016 # expanded by the inner shell
    timeout -k 2 15 ip netns exec "${E2E_NS[$1]}" bash -c \
        'exec 3<>"/dev/tcp/$1/$2" || exit 1; printf "WOULD CONNECT?\r\n\r\n" >&3; cat <&3' \
        _ "${E2E_ADDR[$2]}" "$SERVER_PORT" >"$file" || true
    printf '%s' "$3" >"$file.expected"
    cmp -s "$file" "$file.expected" ||
        e2e_fail "WOULD CONNECT? on $2 answered \"$(od -An -c "$file" | tr -s ' \n' ' ')\"," \
            "expected \"$3\""
}

# cg_spent_lines NAME: how many "dial budget spent" lines NAME's events log holds.
cg_spent_lines() {
    grep -c "^harbolt: dial budget spent: " "$(e2e_logfile "$1")" || true
}

# cg_status_budget NAME: the dial budget line of NAME's `ctl status`, as "Dial budget: TEXT" (the
# label may stand in the column of the other labels instead of ending with a colon).
cg_status_budget() {
    e2e_ctl "$1" status | sed -n 's/^ *Dial budget:\{0,1\} \{1,\}/Dial budget: /p'
}

# cg_check_dials NAME CAUSE...: `ctl dials` of NAME, as JSON and as text, lists this month's
# dials with exactly these causes in this order, each a connection of 1 minute. The text has one
# line per dial (a heading above them is no dial).
cg_check_dials() {
    local name=$1 json text month
    shift
    month=$(date +%Y-%m)
    json=$(e2e_ctl "$name" dials --json) || e2e_fail "ctl dials --json on $name failed"
    [[ $(e2e_json "$json" '"\(.month) \(.entry) \(.dials | length)"') == "$month $ENTRY $#" ]] ||
        e2e_fail "ctl dials --json on $name: $json; expected $# dials of $ENTRY in $month"
    local i=0 cause dial line stamp='[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}'
    text=$(e2e_ctl "$name" dials) || e2e_fail "ctl dials on $name failed"
    text=$(grep -E "^$stamp " <<<"$text") || true
    [[ $(grep -c . <<<"$text") == "$#" ]] ||
        e2e_fail "ctl dials on $name has not $# dial lines: $(e2e_ctl "$name" dials)"
    for cause in "$@"; do
        dial=$(e2e_json "$json" ".dials[$i]" -c)
        [[ $(e2e_json "$dial" '"\(.minutes) \(.cause)"') == "1 $cause" &&
            $(e2e_json "$dial" .start) =~ ^$month-[0-9]{2}\ [0-9]{2}:[0-9]{2}:[0-9]{2}$ ]] ||
            e2e_fail "dial $((i + 1)) of ctl dials --json on $name is $dial; expected a start" \
                "in $month, 1 minute, cause \"$cause\""
        i=$((i + 1))
        line=$(sed -n "${i}p" <<<"$text")
        [[ $line =~ ^$stamp\ +1(\ min)?\ +(.*)$ && ${BASH_REMATCH[2]} == "$cause" ]] ||
            e2e_fail "line $i of ctl dials on $name is \"$line\"; expected start, 1, \"$cause\""
    done
}

# cg_dig FROM SERVER NAME SECONDS: an A query for NAME at SERVER from FROM's namespace, waiting up
# to SECONDS for the answer. Prints "STATUS TTL ADDRESS MS": TTL and ADDRESS of the first A
# record ("-" without one), STATUS "TIMEOUT" when nothing came back. dig's output is kept in
# $E2E_TMP/dig.out for messages.
cg_dig() {
    local from=$1 server=$2 name=$3 seconds=$4 start out status ttl address
    start=$(e2e_now_ms)
    timeout -k 2 $((seconds + 5)) ip netns exec "${E2E_NS[$from]}" dig "@$server" "$name" A \
        +tries=1 +time="$seconds" +noall +comments +answer >"$E2E_TMP/dig.out" 2>&1 || true
    out=$(cat "$E2E_TMP/dig.out")
    status=$(sed -n 's/.*->>HEADER<<-.* status: \([A-Z]*\),.*/\1/p' <<<"$out")
    read -r ttl address < <(awk '$3 == "IN" && $4 == "A" { print $2, $5; exit }
        END { print "- -" }' <<<"$out")
    echo "${status:-TIMEOUT} $ttl $address $(($(e2e_now_ms) - start))"
}

# cg_dns_queries NAME: how many queries for NAME the DNS server got (from ALPHA).
cg_dns_queries() {
    grep -c "query\[A\] $1 from $ALPHA_LINK\$" "$DNS_LOG" || true
}

# --- Two instances, the phone book, the settings, the echo servers, the DNS server.

e2e_start_hosts ALPHA BETA
e2e_private_link Internet 1 "$ALPHA_LINK/24" "$INTERNET/24"
INTERNET_NS=$(e2e_link_ns Internet)
for name in ALPHA BETA; do
    # The instances read the phone book again when it changes.
    printf '[%s]\nconnect-delay = %d\n' "$ENTRY" "$DELAY" >"${E2E_DIR[$name]}/phonebook.conf"
    e2e_ctl "$name" set ProxyMapping00 ":$TRIGGER_PORT -> $ECHO_TARGET, trigger"
    e2e_ctl "$name" set AutoDialPhoneBookEntry "$ENTRY"
    e2e_ctl "$name" set AutoDialEnabled yes
    e2e_ctl "$name" set AutoDialDisconnectAfter "$IDLE_LIMIT"
    # Each computer's own budget is what is tested: with it spent, nobody else is asked.
    e2e_ctl "$name" set AutoDialViaPeers no
    e2e_ctl "$name" set ProxyEnabled yes
    e2e_spawn "${E2E_NS[$name]}" "$E2E_TMP/echo-$name.log" socat \
        "TCP-LISTEN:$ECHO_PORT,bind=127.0.0.1,reuseaddr,fork" PIPE
done
e2e_ctl ALPHA set AutoDialMonthlyMinutes 1
e2e_ctl BETA set AutoDialMaxDialsPerHour "$DIALS_ALLOWED"
# The forwarder reads its settings when it starts, and its cache lives as long as it runs: all
# is set before the one restart below.
e2e_ctl ALPHA set ProxyDnsServerEnabled yes
e2e_ctl ALPHA set ProxyDnsServer "$INTERNET"
e2e_ctl ALPHA set ProxyDnsServerDial yes
e2e_ctl ALPHA set ProxyDnsNoDialNames "$NO_DIAL_NAMES"
for name in ALPHA BETA; do
    e2e_ctl "$name" proxy restart >/dev/null
done
readonly DNS_LOG="$E2E_TMP/dnsmasq.log"
e2e_spawn "$INTERNET_NS" "$E2E_TMP/dnsmasq.out" "$DNSMASQ" --keep-in-foreground \
    --conf-file=/dev/null --no-resolv --no-hosts --user=root --pid-file="$E2E_TMP/dnsmasq.pid" \
    --listen-address="$INTERNET" --bind-interfaces --port=53 --local-ttl="$DNS_TTL" \
    --address="/$DNS_NAME/$DNS_ANSWER" --log-queries --log-facility="$DNS_LOG"

all_listening() {
    local name
    for name in ALPHA BETA; do
        e2e_tcp_listening "${E2E_NS[$name]}" "$SERVER_PORT" &&
            e2e_tcp_listening "${E2E_NS[$name]}" "$TRIGGER_PORT" &&
            e2e_tcp_listening "${E2E_NS[$name]}" "$ECHO_PORT" || return 1
    done
    e2e_udp_listening "${E2E_NS[ALPHA]}" 53 && e2e_udp_listening "$INTERNET_NS" 53
}
e2e_wait_until 10000 "the proxy ports, the echo servers and the DNS forwarder and server" \
    all_listening || e2e_fail "not all ports listen: $(e2e_proxy_status ALPHA)" \
    "$(tail -n 5 "$E2E_TMP/dnsmasq.out")"
both_alive() {
    [[ $(e2e_alive_names ALPHA | tr '\n' ' ') == "Alpha Beta " ]] &&
        [[ $(e2e_alive_names BETA | tr '\n' ' ') == "Alpha Beta " ]]
}
e2e_wait_until 5000 "both instances to see each other" both_alive ||
    e2e_fail "the two instances do not see each other"
[[ $(e2e_budget ALPHA) == "0 1 0 0 false" &&
    $(e2e_budget BETA) == "0 0 0 $DIALS_ALLOWED false" ]] ||
    e2e_fail "the budgets before any dial: ALPHA \"$(e2e_budget ALPHA)\"," \
        "BETA \"$(e2e_budget BETA)\""
cg_would_connect BETA ALPHA YES
e2e_pass "before any dial: budgets with nothing used, WOULD CONNECT? on ALPHA answers YES"

# --- Monthly minutes: one dial on demand spends ALPHA's only minute.

cg_expect_echo BETA ALPHA alpha-1
cg_dialled ALPHA 1 || e2e_fail "ALPHA did not record one new connection: $(cg_records ALPHA)"
e2e_wait_until $(((IDLE_LIMIT + 6) * 1000)) "ALPHA to hang up when idle" cg_sessions ALPHA 1 1 ||
    e2e_fail "ALPHA did not hang up its idle line: $(cg_records ALPHA)"
alpha_spent() { [[ $(e2e_budget ALPHA) =~ ^[1-9][0-9]*\ 1\ 1\ 0\ true$ ]]; }
e2e_wait_until 3000 "ALPHA's budget to be spent" alpha_spent ||
    e2e_fail "ALPHA's budget after one dial: \"$(e2e_budget ALPHA)\"," \
        "expected minutes used >= 1 of 1, 1 dial, blocked"
line=$(cg_status_budget ALPHA)
readonly SPENT="spent: dial on demand is off"
pattern="^Dial budget: [1-9][0-9]* of 1 min this month, 1 dial in the last hour; $SPENT\$"
[[ $line =~ $pattern ]] ||
    e2e_fail "ALPHA's ctl status says \"$line\""
alpha_spent_seen() { [[ $(e2e_budget BETA Alpha) =~ ^[1-9][0-9]*\ 1\ 1\ 0\ true$ ]]; }
e2e_wait_until 5000 "BETA to see ALPHA's budget spent" alpha_spent_seen ||
    e2e_fail "BETA shows ALPHA's budget as \"$(e2e_budget BETA Alpha)\""
cg_would_connect BETA ALPHA NO
e2e_pass "one dial on demand spent ALPHA's minute: \"$line\"; BETA sees it; WOULD CONNECT? NO"

e2e_wait_online_stale ALPHA
records=$(cg_dials ALPHA)
cg_expect_refused BETA ALPHA alpha-2
first=$CG_ELAPSED
cg_expect_refused BETA ALPHA alpha-3
second=$CG_ELAPSED
cg_expect_nothing_dials ALPHA "$records"
spent_lines=$(cg_spent_lines ALPHA)
((spent_lines == 1)) ||
    e2e_fail "ALPHA's events log has $spent_lines \"dial budget spent\" lines, not 1"
e2e_pass "budget spent: trigger clients closed without data after $first and $second ms," \
    "nothing dialled, one line in the events log"

said=$(e2e_ctl ALPHA connect 2>&1) || e2e_fail "ctl connect on ALPHA failed: $said"
e2e_wait_until $(((DELAY + 4) * 1000)) "ALPHA's line to come up on ctl connect" \
    cg_dialled ALPHA 2 || e2e_fail "ctl connect did not dial: $(cg_records ALPHA)"
cg_hang_up ALPHA 2
cg_check_dials ALPHA "${E2E_ADDR[BETA]} $ECHO_TARGET" "connect asked by the user"
e2e_pass "ctl connect dials with the budget spent; ctl dials names both causes"

# --- Dials per hour: BETA may dial on demand DIALS_ALLOWED times.

e2e_wait_online_stale BETA
for ((i = 1; i <= DIALS_ALLOWED; i++)); do
    cg_expect_echo ALPHA BETA "beta-$i"
    e2e_wait_until $(((IDLE_LIMIT + 6) * 1000)) "BETA to hang up when idle" \
        cg_sessions BETA "$i" "$i" || e2e_fail "BETA did not dial and hang up: $(cg_records BETA)"
    if ((i < DIALS_ALLOWED)) && [[ $(e2e_budget BETA) == *" true" ]]; then
        e2e_fail "BETA's budget is spent after $i of $DIALS_ALLOWED dials: $(e2e_budget BETA)"
    fi
    e2e_wait_online_stale BETA
done
beta_spent() {
    [[ $(e2e_budget BETA) =~ ^[1-9][0-9]*\ 0\ $DIALS_ALLOWED\ $DIALS_ALLOWED\ true$ ]]
}
e2e_wait_until 3000 "BETA's budget to be spent" beta_spent ||
    e2e_fail "BETA's budget after $DIALS_ALLOWED dials: \"$(e2e_budget BETA)\""
line=$(cg_status_budget BETA)
dials="$DIALS_ALLOWED of $DIALS_ALLOWED dials in the last hour"
pattern="^Dial budget: [1-9][0-9]* min this month, $dials; $SPENT\$"
[[ $line =~ $pattern ]] ||
    e2e_fail "BETA's ctl status says \"$line\""
cg_would_connect ALPHA BETA NO
records=$(cg_dials BETA)
cg_expect_refused ALPHA BETA "beta-$i"
refused=$CG_ELAPSED
cg_expect_nothing_dials BETA "$records"
spent_lines=$(cg_spent_lines BETA)
((spent_lines == 1)) ||
    e2e_fail "BETA's events log has $spent_lines \"dial budget spent\" lines, not 1"
causes=()
for ((i = 1; i <= DIALS_ALLOWED; i++)); do
    causes+=("${E2E_ADDR[ALPHA]} $ECHO_TARGET")
done
cg_check_dials BETA "${causes[@]}"
e2e_pass "$DIALS_ALLOWED dials on demand spent BETA's hour: \"$line\"; the next client closed" \
    "after $refused ms, nothing dialled"

# --- DNS at ALPHA: a dial for a query, the cache, stale answers, names that never dial.

e2e_ctl ALPHA unset AutoDialMonthlyMinutes
alpha_free() { [[ $(e2e_budget ALPHA) =~ ^[0-9]+\ 0\ 2\ 0\ false$ ]]; }
e2e_wait_until 3000 "ALPHA's budget without limits" alpha_free ||
    e2e_fail "ALPHA's budget without a monthly limit: \"$(e2e_budget ALPHA)\""
line=$(cg_status_budget ALPHA)
pattern="^Dial budget: [1-9][0-9]* min this month, 2 dials in the last hour, no limits\$"
[[ $line =~ $pattern ]] ||
    e2e_fail "ALPHA's ctl status without limits says \"$line\""
e2e_wait_online_stale ALPHA
alpha_dns="${E2E_ADDR[ALPHA]}"
answer=$(cg_dig BETA "$alpha_dns" "$DNS_NAME" $((DELAY + 9)))
read -r status ttl address took <<<"$answer"
[[ $status == NOERROR && $address == "$DNS_ANSWER" && $ttl -le $DNS_TTL ]] ||
    e2e_fail "the query with nobody online got \"$answer\": $(cat "$E2E_TMP/dig.out")"
cg_dialled ALPHA 3 || e2e_fail "ALPHA did not dial for the query: $(cg_records ALPHA)"
[[ $(cg_dns_queries "$DNS_NAME") == 1 ]] ||
    e2e_fail "the DNS server got $(cg_dns_queries "$DNS_NAME") queries, not 1"
answer=$(cg_dig BETA "$alpha_dns" "$DNS_NAME" 3)
read -r status ttl address _ <<<"$answer"
[[ $status == NOERROR && $address == "$DNS_ANSWER" && $ttl -le $DNS_TTL ]] ||
    e2e_fail "the query while online got \"$answer\": $(cat "$E2E_TMP/dig.out")"
[[ $(cg_dns_queries "$DNS_NAME") == 1 ]] ||
    e2e_fail "the query while online reached the DNS server instead of the cache"
e2e_pass "DNS: a query with nobody online dialled and was answered after $took ms; asked" \
    "again at once it came from the cache"

cg_hang_up ALPHA 3
e2e_wait_online_stale ALPHA
records=$(cg_dials ALPHA)
answer=$(cg_dig BETA "$alpha_dns" "$DNS_NAME" 3)
[[ $answer =~ ^NOERROR\ 30\ ${DNS_ANSWER//./\\.}\ ([0-9]+)$ &&
    ${BASH_REMATCH[1]} -le $REFUSAL_LIMIT ]] ||
    e2e_fail "the query with nobody online got \"$answer\", expected the stale answer with" \
        "TTL 30 at once: $(cat "$E2E_TMP/dig.out")"
stale_took=${answer##* }
for name in Printer.LOCAL wpad.home; do
    answer=$(cg_dig BETA "$alpha_dns" "$name" 3)
    [[ $answer =~ ^SERVFAIL\ -\ -\ ([0-9]+)$ && ${BASH_REMATCH[1]} -le $REFUSAL_LIMIT ]] ||
        e2e_fail "the query for $name (\"$NO_DIAL_NAMES\") got \"$answer\", expected SERVFAIL" \
            "at once: $(cat "$E2E_TMP/dig.out")"
done
cg_expect_nothing_dials ALPHA "$records"
[[ $(cg_dns_queries "$DNS_NAME") == 1 ]] ||
    e2e_fail "the stale answer came from the DNS server, not the cache"
cg_check_dials ALPHA "${E2E_ADDR[BETA]} $ECHO_TARGET" "connect asked by the user" \
    "${E2E_ADDR[BETA]} DNS $DNS_NAME"
e2e_pass "DNS with nobody online: the stale answer with TTL 30 after $stale_took ms, SERVFAIL" \
    "for names that never dial, nothing dialled; ctl dials names the query's cause"

e2e_done
