#!/usr/bin/env bash
# Three instances on one bridge find each other by their announcements; when one of them dies,
# the others let it age out of their rosters after 10 s, and their status lines then say when
# its data is from.
# Usage: roster.sh HARBOLT SEND_DATAGRAM
# shellcheck disable=SC2317 # predicates run through e2e_wait_until
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_init "$@"

readonly -a NAMES=(ALPHA beta Gamma)
# Roster names keep their first letter and lower the rest: ALPHA shows as Alpha, beta as beta.
declare -A SHOWN=([ALPHA]=Alpha [beta]=beta [Gamma]=Gamma)
readonly ROSTER="Alpha beta Gamma"

e2e_start_hosts "${NAMES[@]}"

# --- Everybody sees everybody.

all_see_all() {
    local viewer
    for viewer in "${NAMES[@]}"; do
        [[ $(e2e_alive_names "$viewer" | tr '\n' ' ') == "$ROSTER " ]] || return 1
        [[ $(e2e_roster "$viewer") == "$ROSTER" ]] || return 1
    done
}
e2e_wait_until 3000 "every instance to list exactly $ROSTER, all alive" all_see_all ||
    e2e_fail "not every instance lists exactly $ROSTER alive within 3 s"
e2e_pass "every instance lists $ROSTER alive after $E2E_WAITED_MS ms"

# The status line of SUBJECT as VIEWER shows it while SUBJECT is heard. The name in it is the
# name as first seen, not the roster's spelling.
expected_line() {
    local viewer=$1 subject=$2
    if [[ $viewer == "$subject" ]]; then
        echo "$subject is registrated in the local net; I am $subject."
    else
        echo "$subject is registrated in the local net; The data of $subject is up to date."
    fi
}

LAST_MISMATCH=""
status_lines_right() {
    local viewer subject json line expected
    for viewer in "${NAMES[@]}"; do
        json=$(e2e_status "$viewer")
        for subject in "${NAMES[@]}"; do
            # shellcheck disable=SC2016 # $c is jq's
            line=$(e2e_json "$json" '.computers[] | select(.name == $c) | .status' \
                --arg c "${SHOWN[$subject]}")
            expected=$(expected_line "$viewer" "$subject")
            if [[ $line != "$expected" ]]; then
                LAST_MISMATCH="$viewer shows $subject as '$line', expected '$expected'"
                return 1
            fi
        done
    done
}
e2e_wait_until 3000 "the status lines of all three on all three" status_lines_right ||
    e2e_fail "$LAST_MISMATCH"
e2e_pass "status lines name each computer as first seen (e.g. \"$(expected_line ALPHA beta)\")"

# --- One dies; the others notice 10 to 13 s later.

readonly VICTIM=Gamma
readonly -a SURVIVORS=(ALPHA beta)
e2e_kill "$VICTIM"
killed_at=$(e2e_now_ms)
e2e_log "killed $VICTIM; polling the survivors for up to 15 s until they list it not alive"
declare -A flipped=()
while ((${#flipped[@]} < ${#SURVIVORS[@]})) && (($(e2e_now_ms) - killed_at < 15000)); do
    for viewer in "${SURVIVORS[@]}"; do
        [[ -z ${flipped[$viewer]:-} ]] || continue
        alive=$(e2e_field "$viewer" "${SHOWN[$VICTIM]}" alive)
        if [[ $alive == false ]]; then
            flipped[$viewer]=$(($(e2e_now_ms) - killed_at))
        elif [[ $alive != true ]]; then
            e2e_fail "$viewer no longer lists ${SHOWN[$VICTIM]} (alive='$alive')"
        fi
    done
    sleep "$E2E_POLL"
done
# A computer is not alive once more than 10 s passed since its last presence was taken in. The
# last one can have left up to one presence interval (333 ms) before the kill, and is taken in at
# the next receive pass (1 s) and judged at a later one: so 9667 ms at the earliest, and about
# 12.5 s at the latest with the polling.
readonly EARLIEST=9667 LATEST=13000
for viewer in "${SURVIVORS[@]}"; do
    t=${flipped[$viewer]:-}
    [[ -n $t ]] || e2e_fail "$viewer still lists $VICTIM alive 15 s after it was killed"
    if ((t < EARLIEST || t > LATEST)); then
        e2e_fail "$viewer lists $VICTIM not alive $t ms after it was killed (expected $EARLIEST..$LATEST)"
    fi
    e2e_pass "$viewer lists $VICTIM not alive $t ms after it was killed"
done

# Text 21 alone: "The data of %s is from %s at %s." with the date and time of the last update.
stale_pattern="^The data of $VICTIM is from [^ ].* at [^ ]+\.$"
for viewer in "${SURVIVORS[@]}"; do
    line=$(e2e_field "$viewer" "${SHOWN[$VICTIM]}" status)
    [[ $line =~ $stale_pattern ]] ||
        e2e_fail "$viewer shows the dead $VICTIM as '$line', expected text 21 alone"
    e2e_pass "$viewer shows the dead $VICTIM as \"$line\""
done

# The survivors still hear each other, and still show each other as current.
for viewer in "${SURVIVORS[@]}"; do
    [[ $(e2e_alive_names "$viewer" | tr '\n' ' ') == "Alpha beta " ]] ||
        e2e_fail "$viewer lists alive: $(e2e_alive_names "$viewer" | tr '\n' ' ') (expected Alpha beta)"
    for subject in "${SURVIVORS[@]}"; do
        line=$(e2e_field "$viewer" "${SHOWN[$subject]}" status)
        [[ $line == "$(expected_line "$viewer" "$subject")" ]] ||
            e2e_fail "$viewer shows $subject as '$line' after $VICTIM died"
    done
done
e2e_pass "ALPHA and beta still list each other alive and current"

e2e_done
