#!/usr/bin/env bash
# Two instances with simulated dial-up lines: when ALPHA's line comes up, both rosters show
# ALPHA online with its connection within about 2 s (the monitor's pass, the next online
# datagram and the receiver's drain take up to 1 s, 1/3 s and 1 s), and ALPHA records the
# session; when the line drops, the session ends in a Dropped record with its length, and the
# online mark goes 10 to 13 s later.
# Usage: dialup.sh HARBOLT SEND_DATAGRAM
# shellcheck disable=SC2317 # predicates run through e2e_wait_until
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_init "$@"
E2E_EXTRA_ARGS=(--dialup sim)

e2e_start_hosts ALPHA beta

both_alive() {
    [[ $(e2e_alive_names beta | tr '\n' ' ') == "Alpha beta " ]] &&
        [[ $(e2e_alive_names ALPHA | tr '\n' ' ') == "Alpha beta " ]]
}
e2e_wait_until 3000 "both instances to see each other" both_alive ||
    e2e_fail "the two instances do not see each other"
[[ $(e2e_field beta Alpha online) == false ]] || e2e_fail "Alpha is online before any dial"

# --- The line comes up.

e2e_ctl ALPHA line SimLine up || e2e_fail "ctl line SimLine up failed"
up_at=$(e2e_now_ms)
online_everywhere() {
    local viewer
    for viewer in ALPHA beta; do
        [[ $(e2e_field "$viewer" Alpha online) == true ]] || return 1
        [[ $(e2e_field "$viewer" Alpha connection) == SimLine ]] || return 1
        [[ $(e2e_status "$viewer" | jq -r .onlineText) == "(Alpha online using SimLine)" ]] ||
            return 1
    done
}
e2e_wait_until 2500 "both rosters to show Alpha online using SimLine" online_everywhere ||
    e2e_fail "Alpha is not shown online using SimLine within 2.5 s of the line coming up"
e2e_pass "Alpha online using SimLine on both after $E2E_WAITED_MS ms"

records() { e2e_ctl ALPHA list --all --json | jq -r 'to_entries[] | select(.key | startswith("$")) | .value'; }
session_open() {
    local all
    all=$(records)
    grep -qx '!New Connection! SimLine' <<<"$all" &&
        grep -qE '^!Online! SimLine since [0-9]+ seconds$' <<<"$all"
}
e2e_wait_until 2000 "ALPHA to record the new connection" session_open ||
    e2e_fail "ALPHA has no New and Online records: $(records | tr '\n' '|')"
[[ $(e2e_get ALPHA RAS-Phonebook-entries) == SimLine ]] ||
    e2e_fail "RAS-Phonebook-entries is not SimLine"
# The records are no settings: the plain list leaves them out.
if e2e_ctl ALPHA list --json | jq -e 'keys[] | select(startswith("$"))' >/dev/null; then
    e2e_fail "ctl list without --all shows dial-up records"
fi
e2e_pass "ALPHA records the session while it is up"

# --- The line drops after about 4 s.

sleep 4
e2e_ctl ALPHA line SimLine down || e2e_fail "ctl line SimLine down failed"
down_at=$(e2e_now_ms)
session_closed() {
    local all
    all=$(records)
    grep -qx '!New Connection! SimLine' <<<"$all" &&
        grep -qE '^!Connection Dropped! SimLine after [0-9]+ seconds$' <<<"$all" &&
        ! grep -q '^!Online!' <<<"$all"
}
e2e_wait_until 2500 "the Dropped record on ALPHA" session_closed ||
    e2e_fail "no Dropped record after the line went down: $(records | tr '\n' '|')"
seconds=$(records | sed -nE 's/^!Connection Dropped! SimLine after ([0-9]+) seconds$/\1/p')
up_for=$(((down_at - up_at) / 1000))
((seconds >= up_for - 1 && seconds <= up_for + 2)) ||
    e2e_fail "the Dropped record says $seconds s, the line was up about $up_for s"
[[ $(records | wc -l) -eq 2 ]] || e2e_fail "the session left more than two records"
e2e_pass "the session left New and Dropped records, up for $seconds s (measured about $up_for s)"

offline_on_beta() { [[ $(e2e_field beta Alpha online) == false ]]; }
e2e_wait_until 15000 "beta to drop the online mark of Alpha" offline_on_beta ||
    e2e_fail "beta still shows Alpha online 15 s after the line went down"
after=$(($(e2e_now_ms) - down_at))
# The monitor sees the drop at its next pass (up to 1 s), the last online datagram waits up to
# 1 s in beta's queue before it stamps the entry, then 10 s of ageing, and the flip shows at the
# next receive pass (up to 1 s): 10 to 13 s, plus the time to ask.
((after >= 9000 && after <= 13800)) || e2e_fail "the online mark went after $after ms, not 10 to 13 s"
[[ $(e2e_status beta | jq -r .onlineText) == "(all offline)" ]] || e2e_fail "beta is not all offline"
e2e_pass "beta drops the online mark $after ms after the line went down"

e2e_done
