#!/usr/bin/env bash
# The time master: the others set their clocks from its time datagrams about once a second
# (recorded in their clock logs, never set for real), once its setting has replicated to them; a
# time datagram from a computer whose data does not make it time master sets no clock and unseats
# no master; when two computers are time masters at once, they give way until one is left.
# Usage: timemaster.sh HARBOLT SEND_DATAGRAM
# shellcheck disable=SC2317 # predicates run through e2e_wait_until
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_init "$@"

readonly -a NAMES=(ALPHA beta Gamma)
e2e_start_hosts "${NAMES[@]}"
all_see_all() {
    local viewer
    for viewer in "${NAMES[@]}"; do
        [[ $(e2e_alive_names "$viewer" | tr '\n' ' ') == "Alpha beta Gamma " ]] || return 1
    done
}
e2e_wait_until 5000 "the three instances to hear each other" all_see_all ||
    e2e_fail "the instances do not hear each other"
# A time datagram counts only from a computer whose replicated data makes it time master, and
# the journals travel over the proxy server port.
for name in "${NAMES[@]}"; do
    e2e_ctl "$name" set ProxyEnabled yes
    e2e_ctl "$name" proxy restart >/dev/null
done

# Milliseconds since the epoch of a clock log line "YYYY-MM-DD hh:mm:ss.mmm" (local time).
line_ms() {
    local line=$1 seconds
    [[ $line =~ ^([0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2})\.([0-9]{3})$ ]] ||
        return 1
    seconds=$(date -d "${BASH_REMATCH[1]}" +%s) || return 1
    echo $((seconds * 1000 + 10#${BASH_REMATCH[2]}))
}

# Checks the clock log lines of NAME after line FROM: each well-formed, close to the present,
# and about a second after the one before (the master stamps each datagram when it sends it).
check_clock_lines() {
    local name=$1 from=$2 now line ms previous=""
    now=$(e2e_now_ms)
    while IFS= read -r line; do
        ms=$(line_ms "$line") || e2e_fail "$name's clock log has a malformed line '$line'"
        ((ms - now < 5000 && now - ms < 15000)) ||
            e2e_fail "$name's clock log holds '$line', far from the present"
        if [[ -n $previous ]] && ((ms - previous < 700 || ms - previous > 1300)); then
            e2e_fail "$name's clock log: '$line' is $((ms - previous)) ms after the line before"
        fi
        previous=$ms
    done < <(tail -n "+$((from + 1))" "$(e2e_clocklog "$name")")
}

clock_logs_have_lines() {
    local name
    for name in "$@"; do
        (($(e2e_clock_lines "$name") > 0)) || return 1
    done
}

# --- One time master.

e2e_ctl ALPHA set Timemaster yes
e2e_wait_until 10000 "the first time from ALPHA in the clock logs of beta and Gamma" \
    clock_logs_have_lines beta Gamma ||
    e2e_fail "beta and Gamma did not record ALPHA's time within 10 s"
declare -A before=()
for name in beta Gamma; do
    before[$name]=$(e2e_clock_lines "$name")
done
e2e_log "counting the clock log lines of beta and Gamma for 5 s"
sleep 5
for name in beta Gamma; do
    added=$(($(e2e_clock_lines "$name") - before[$name]))
    ((added >= 4 && added <= 6)) ||
        e2e_fail "$name recorded $added times from ALPHA in 5 s (expected about one a second)"
    check_clock_lines "$name" "$((before[$name] - 1))"
    e2e_pass "$name recorded $added times from ALPHA in 5 s, each about 1 s after the last"
done
(($(e2e_clock_lines ALPHA) == 0)) ||
    e2e_fail "ALPHA set its clock from its own time datagrams: $(head -n 3 "$(e2e_clocklog ALPHA)")"
e2e_pass "ALPHA never sets its clock from its own time"

# Logs that must not grow any more: waits a moment for datagrams in flight, then watches 3 s.
expect_silence() {
    local why=$1 name
    shift
    sleep 2
    local -A counts=()
    for name in "$@"; do
        counts[$name]=$(e2e_clock_lines "$name")
    done
    e2e_log "watching the clock logs of $* for 3 s ($why)"
    sleep 3
    for name in "$@"; do
        (($(e2e_clock_lines "$name") == counts[$name])) ||
            e2e_fail "$name still records times after $why"
    done
}

e2e_ctl ALPHA set Timemaster no
expect_silence "ALPHA's Timemaster became \"no\"" beta Gamma
e2e_pass "ALPHA stops sending its time when Timemaster is \"no\""

# The German key makes a time master as well, with any true text.
before[ALPHA]=$(e2e_clock_lines ALPHA)
before[beta]=$(e2e_clock_lines beta)
e2e_ctl Gamma set Zeitmeister ja
grown() { (($(e2e_clock_lines ALPHA) > before[ALPHA] && $(e2e_clock_lines beta) > before[beta])); }
e2e_wait_until 10000 "ALPHA and beta to record Gamma's time" grown ||
    e2e_fail "Zeitmeister=ja on Gamma did not make it a time master"
e2e_ctl Gamma unset Zeitmeister
expect_silence "Gamma's Zeitmeister was deleted" ALPHA beta
e2e_pass "Zeitmeister=ja makes Gamma a time master; deleting it ends that"

# --- A time datagram from a computer nobody knows as time master: every host on the LAN can
# send one. It sets no clock, and the time master keeps its seat.
e2e_ctl beta set Timemaster yes
grown_from_beta() { (($(e2e_clock_lines ALPHA) > before[ALPHA])); }
before[ALPHA]=$(e2e_clock_lines ALPHA)
e2e_wait_until 10000 "ALPHA to record beta's time" grown_from_beta ||
    e2e_fail "Timemaster=yes on beta did not make it a time master"
for name in "${NAMES[@]}"; do
    before[$name]=$(e2e_clock_lines "$name")
done
for slot in 1 2 3; do
    ip netns exec "$(e2e_host_ns "$slot")" "$SEND_DATAGRAM" --to "$E2E_SUBNET.255" --broadcast \
        --port "$E2E_PORT" --size 512 --type 3 --name EVIL
done
sleep 2.5
[[ $(e2e_get beta Timemaster) == yes ]] ||
    e2e_fail "beta gave way to EVIL: Timemaster='$(e2e_get beta Timemaster)'"
grep -q "ignored the time sent by EVIL" "$(e2e_logfile ALPHA)" ||
    e2e_fail "ALPHA's events log does not say it ignored EVIL's time"
# Only beta's times, close to the present and a second apart: EVIL's would be far off.
check_clock_lines ALPHA "${before[ALPHA]}"
check_clock_lines Gamma "${before[Gamma]}"
e2e_ctl beta set Timemaster no
expect_silence "beta's Timemaster became \"no\" and EVIL sent its time" ALPHA Gamma
e2e_pass "EVIL's time sets no clock and beta keeps its seat; ALPHA says it ignored it"

# --- Two time masters at once.
#
# The bridge holds back what it would deliver to ALPHA and beta while both become masters, and
# then delivers it. A time datagram counts once its sender's setting has replicated, so each
# gives way on the first time of the other that comes after that: at least one gives way, both
# when their times cross.

if ! e2e_hold_delivery 1 || ! e2e_hold_delivery 2; then
    e2e_log "SKIP (two time masters): this kernel has no tbf queueing discipline to hold frames"
    e2e_done
fi
sleep 1 # the first frames pass the hold; the presence datagrams use that up
e2e_ctl ALPHA set Timemaster yes
e2e_ctl beta set Timemaster yes
e2e_ctl beta set Zeitmeister ja
sleep 2.5
for name in ALPHA beta; do
    [[ $(e2e_get "$name" Timemaster) == yes ]] ||
        e2e_fail "$name gave way while nothing reached it: Timemaster='$(e2e_get "$name" Timemaster)'"
done
e2e_log "ALPHA and beta are time masters; $(e2e_held_frames 1) and $(e2e_held_frames 2) frames held for them; delivering"
e2e_release_delivery 1
e2e_release_delivery 2

one_gave_way() {
    [[ $(e2e_get ALPHA Timemaster) != yes || $(e2e_get beta Timemaster) != yes ]]
}
e2e_wait_until 10000 "ALPHA or beta to give way" one_gave_way ||
    e2e_fail "still time master: ALPHA Timemaster='$(e2e_get ALPHA Timemaster)', beta Timemaster='$(e2e_get beta Timemaster)'"
sleep 2 # a time datagram in flight may make the other give way too
for pair in "ALPHA beta" "beta ALPHA"; do
    read -r name other <<<"$pair"
    value=$(e2e_get "$name" Timemaster)
    if [[ $value == yes ]]; then
        e2e_pass "$name stays time master"
        continue
    fi
    expected="inactiv, because $other will be a timemaster, too."
    [[ $value == "$expected" ]] ||
        e2e_fail "$name's Timemaster is '$value', expected '$expected'"
    value=$(e2e_get "$name" Zeitmeister)
    [[ -z $value ]] || e2e_fail "$name kept Zeitmeister='$value' after giving way"
    e2e_pass "$name gave way: Timemaster=\"$expected\", no Zeitmeister"
done
[[ $(e2e_get ALPHA Timemaster) != yes || $(e2e_get beta Timemaster) != yes ]] ||
    e2e_fail "both are time masters again"

e2e_done
