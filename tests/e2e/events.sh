#!/usr/bin/env bash
# The events log on standard error. ALPHA (10.77.0.1) and BETA (10.77.0.2) with simulated lines;
# BETA runs with a JOURNAL_STREAM that names some other file, so its lines carry no priority
# prefix. In this order:
#  - each instance writes a line when the other computer is alive;
#  - BETA dials its entry ("ctl connect"): BETA writes the dial and its success, both write that
#    BETA is online with the entry's name;
#  - with "AutoDialDisconnectAfter" 3 and no traffic BETA hangs up and says it was idle, and
#    that it is offline now;
#  - ALPHA admits only itself ("ProxyAllowedNetworks"): connections from BETA to ALPHA's mapping
#    are refused, each with a line naming BETA's address and the port, at most 5 a minute.
# Usage: events.sh HARBOLT SEND_DATAGRAM
# shellcheck disable=SC2317 # predicates run through e2e_wait_until
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_init "$@"
E2E_EXTRA_ARGS=(--dialup sim)

readonly ENTRY=Modem
readonly IDLE_LIMIT=3
readonly MAPPING_PORT=7101

# logged NAME LINE: NAME's output holds the whole line LINE.
logged() { (($(e2e_output_count "$1" "$2") >= 1)); }

# expect_line NAME LINE LIMIT_MS WHAT
expect_line() {
    e2e_wait_until "$3" "$4" logged "$1" "$2" ||
        e2e_fail "no line '$2' from $1 within $(($3 / 1000)) s: $(tail -n 8 "$(e2e_logfile "$1")")"
}

e2e_host 1
e2e_host 2
e2e_start ALPHA 1
e2e_start BETA 2 LC_ALL=C.UTF-8 JOURNAL_STREAM=1:1
e2e_set_address ALPHA
e2e_set_address BETA

# --- Joining.

expect_line ALPHA "harbolt: computer Beta is alive" 10000 "ALPHA to see BETA alive"
expect_line BETA "harbolt: computer Alpha is alive" 10000 "BETA to see ALPHA alive"
e2e_pass "each instance writes a line when the other computer is alive"

# --- A dial, online, and the idle hang-up.

printf '[%s]\nconnect-delay = 1\n' "$ENTRY" >"${E2E_DIR[BETA]}/phonebook.conf"
e2e_ctl BETA set AutoDialPhoneBookEntry "$ENTRY"
e2e_ctl BETA set AutoDialEnabled yes
e2e_ctl BETA set AutoDialDisconnectAfter "$IDLE_LIMIT"
e2e_ctl BETA connect >/dev/null
expect_line BETA "harbolt: dialling \"$ENTRY\"" 5000 "BETA to dial"
expect_line BETA "harbolt: dial of \"$ENTRY\" succeeded" 10000 "BETA's dial to succeed"
expect_line BETA "harbolt: computer Beta is online using \"$ENTRY\"" 5000 "BETA online on BETA"
expect_line ALPHA "harbolt: computer Beta is online using \"$ENTRY\"" 5000 "BETA online on ALPHA"
e2e_pass "BETA writes its dial and its success; both write that BETA is online using $ENTRY"

expect_line BETA "harbolt: hung up \"$ENTRY\": idle for more than $IDLE_LIMIT s" 15000 \
    "BETA's idle hang-up"
expect_line BETA "harbolt: computer Beta is offline" 5000 "BETA offline on BETA"
e2e_pass "BETA hangs up after $IDLE_LIMIT s without traffic and says why"

# --- Refused connections.

e2e_ctl ALPHA set ProxyAllowedNetworks "${E2E_ADDR[ALPHA]}/32"
e2e_ctl ALPHA set ProxyMapping00 ":$MAPPING_PORT -> 127.0.0.1:7777, notrigger"
e2e_ctl ALPHA set ProxyEnabled yes
e2e_ctl ALPHA proxy restart >/dev/null
e2e_wait_until 10000 "ALPHA's mapping to listen" \
    e2e_tcp_listening "${E2E_NS[ALPHA]}" "$MAPPING_PORT" ||
    e2e_fail "ALPHA's mapping does not listen: $(e2e_proxy_status ALPHA)"
readonly REFUSED="harbolt: refused a connection from ${E2E_ADDR[BETA]} to port $MAPPING_PORT: not in the allowed networks"
for ((i = 0; i < 8; i++)); do
    # shellcheck disable=SC2016 # expanded by the inner shell
    timeout -k 1 5 ip netns exec "${E2E_NS[BETA]}" bash -c \
        'exec 3<>"/dev/tcp/$1/$2" && cat <&3 >/dev/null' _ "${E2E_ADDR[ALPHA]}" "$MAPPING_PORT" \
        2>/dev/null || true
done
expect_line ALPHA "$REFUSED" 5000 "ALPHA's refusal line"
sleep 1
# BETA's instance may be refused on ALPHA's server port too: the limit is over all ports.
refusals=$(grep -c '^harbolt: refused a connection from ' "$(e2e_logfile ALPHA)" || true)
((refusals == 5)) || e2e_fail "ALPHA wrote $refusals refusal lines for 8 or more connections" \
    "within a minute, not 5: $(grep 'refused a connection' "$(e2e_logfile ALPHA)")"
e2e_pass "ALPHA writes the refused connections from BETA's address to its port, 5 in a minute"

# --- The priority prefix only on the journal's own stream.

for name in ALPHA BETA; do
    if grep -q '^<[0-9]>' "$(e2e_logfile "$name")"; then
        e2e_fail "$name wrote a priority prefix outside the journal: $(grep -m 3 '^<[0-9]>' \
            "$(e2e_logfile "$name")")"
    fi
done
e2e_pass "no priority prefix without the journal's stream, also with JOURNAL_STREAM naming another file"

e2e_done
