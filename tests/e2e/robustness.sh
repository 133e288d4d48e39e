#!/usr/bin/env bash
# Malformed datagrams on the announcement port: a datagram that is not exactly 512 bytes or
# carries a wrong magic number, sent straight at an instance or broadcast on its network, changes
# nothing and does not hurt it; well-formed ones, sent the same ways, do reach it.
# Usage: robustness.sh HARBOLT SEND_DATAGRAM
# shellcheck disable=SC2317 # predicates run through e2e_wait_until
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_init "$@"

readonly TARGET=10.77.0.1
readonly BROADCAST=10.77.0.255
e2e_host 1
e2e_host 2 # the sender's namespace: no instance in it
e2e_start ALPHA 1
e2e_set_address ALPHA

own_alive() { [[ $(e2e_alive_names ALPHA | tr '\n' ' ') == "Alpha " ]]; }
e2e_wait_until 3000 "ALPHA to list itself alive" own_alive ||
    e2e_fail "ALPHA does not list itself alive"
roster_before=$(e2e_roster ALPHA)

# send TO NAME SIZE [OPTIONS...]: one datagram from the sender's namespace.
send() {
    local to=$1 name=$2 size=$3
    shift 3
    local -a options=(--to "$to" --port "$E2E_PORT" --size "$size" --name "$name")
    [[ $to != "$BROADCAST" ]] || options+=(--broadcast)
    ip netns exec "$(e2e_host_ns 2)" "$SEND_DATAGRAM" "${options[@]}" "$@"
}

# Presence datagrams that must all be dropped; each carries a name of its own, so that any that
# got through would show up in the roster.
for to in "$TARGET" "$BROADCAST"; do
    way=$([[ $to == "$TARGET" ]] && echo U || echo B)
    send "$to" "Short$way" 511
    send "$to" "Long$way" 513
    send "$to" "Huge$way" 4096
    send "$to" "Empty$way" 0
    send "$to" "MagicTwo$way" 512 --magic2 0x019C5298
    send "$to" "MagicOne$way" 512 --magic1 0x27021978
    send "$to" "Swapped$way" 512 --magic1 0x019C5299 --magic2 0x27021977
    # Right size and magics, but a type nobody handles: dropped by the dispatcher.
    send "$to" "Ninth$way" 512 --type 9
    send "$to" "Zeroth$way" 512 --type 0
done
e2e_log "sent 18 malformed datagrams (9 unicast to $TARGET, 9 broadcast to $BROADCAST)"

# Two receive passes at least, then the roster must be as it was.
sleep 2.5
e2e_running ALPHA || e2e_fail "ALPHA ended after the malformed datagrams"
roster_after=$(e2e_roster ALPHA)
[[ $roster_after == "$roster_before" ]] ||
    e2e_fail "the malformed datagrams changed ALPHA's roster from '$roster_before' to '$roster_after'"
own_alive || e2e_fail "ALPHA no longer lists itself alive after the malformed datagrams"
e2e_pass "18 malformed datagrams leave ALPHA running with its roster '$roster_after'"

# The same tool and ways with well-formed datagrams do reach the instance, so the silence above
# is the instance dropping what it got.
send "$TARGET" Visitor 512
send "$BROADCAST" Caller 512
visitors_listed() {
    [[ $(e2e_alive_names ALPHA | tr '\n' ' ') == "Alpha Caller Visitor " ]]
}
e2e_wait_until 3000 "ALPHA to list Visitor (unicast) and Caller (broadcast) alive" \
    visitors_listed ||
    e2e_fail "well-formed presence datagrams did not reach ALPHA: alive '$(e2e_alive_names ALPHA | tr '\n' ' ')'"
e2e_pass "well-formed presence datagrams, unicast and broadcast, add Visitor and Caller"

# The same name in other letters is the same computer.
send "$TARGET" VISITOR 512
send "$BROADCAST" visitor 512
sleep 2.5
roster_after=$(e2e_roster ALPHA)
[[ $roster_after == "Alpha Caller Visitor" ]] ||
    e2e_fail "VISITOR and visitor made ALPHA's roster '$roster_after' (expected Alpha Caller Visitor)"
e2e_pass "VISITOR and visitor update the entry Visitor"

e2e_running ALPHA || e2e_fail "ALPHA ended"
e2e_done
