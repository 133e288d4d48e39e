#!/usr/bin/env bash
# Saves killed at random: an instance is set values ("KeyN" = N, N counting up) while it runs and
# is killed with SIGKILL at a random moment around its first save tick (10 s after its start);
# then its data file must pass `harbolt data check` and hold every value that a save tick had
# time to write, and every value an earlier check found in it. 200 kills (20 under the
# sanitizers: HARBOLT_E2E_QUICK=1), spread over instances running side by side, each with a data
# directory of its own; at the end each instance starts once more and answers every value.
# Usage: crash.sh HARBOLT SEND_DATAGRAM
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_init "$@"

if [[ ${HARBOLT_E2E_QUICK:-0} == 1 ]]; then
    readonly KILLS=20 LANES=10
else
    readonly KILLS=200 LANES=50
fi
# The save tick of an instance (QtHost's SaveTimerTimer) and how late it may come on a loaded
# machine. The kill falls at a random moment between KILL_FROM and KILL_TO ms after the instance
# answers, so that some kills land before the first save, some while it writes, many after it.
# Values are set at SET_AT_MS after the instance answers: each `ctl set` costs about as much CPU as
# the start of an instance, so a few suffice.
readonly SAVE_TICK_MS=10000 TICK_LATENESS_MS=1500
readonly KILL_FROM_MS=7500 KILL_TO_MS=11500
readonly -a SET_AT_MS=(0 6000)

declare -a LANE_PIDS=()
# shellcheck disable=SC2317 # called by lib.sh's cleanup
e2e_script_cleanup() {
    local pid
    for pid in "${LANE_PIDS[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
}

# saved_keys FILE: "KEY VALUE" lines for the own computer's properties in FILE.
saved_keys() {
    "$HARBOLT" data dump --json "$1" |
        jq -r '.computers[] | select(.own == true) | .properties | to_entries[] |
            "\(.key) \(.value)"'
}

# The control command needs no network: it talks to the instance through the socket in its data
# directory. Run straight, it costs far less than through `ip netns exec`, which matters here.
lane_ctl() {
    local name=$1
    shift
    timeout -k 2 10 "$HARBOLT" ctl --data-dir "${E2E_DIR[$name]}" "$@"
}

# lane_start NAME: e2e_start NAME - without its costs (every run of the program costs about as
# much CPU as the instance's start): the instance runs in NAME's namespace of its own; it is
# ready once its control socket is there again (the killed instance's is removed first), which
# the first `ctl set` then proves.
lane_start() {
    local name=$1 socket="${E2E_DIR[$1]}/harbolt.ctl"
    rm -f "$socket"
    echo "---- start $(date '+%H:%M:%S.%N')" >>"$(e2e_logfile "$name")"
    ip netns exec "${E2E_NS[$name]}" env "$E2E_DEFAULT_ENV" "$HARBOLT" --headless --name "$name" \
        --data-dir "${E2E_DIR[$name]}" --clock-log "$(e2e_clocklog "$name")" --verbose \
        </dev/null >>"$(e2e_logfile "$name")" 2>&1 &
    E2E_PID[$name]=$!
    local deadline=$(($(e2e_now_ms) + 15000))
    until [[ -S $socket ]]; do
        e2e_running "$name" || e2e_fail "$name ended during start-up"
        (($(e2e_now_ms) < deadline)) || e2e_fail "$name has no control socket 15 s after its start"
        sleep 0.1
    done
}

# lane_set NAME KEY VALUE: `ctl set`, tried again while the instance is still starting.
lane_set() {
    local tries
    for ((tries = 0; tries < 5; tries++)); do
        lane_ctl "$1" set "$2" "$3" >/dev/null 2>&1 && return 0
        sleep 0.3
    done
    lane_ctl "$1" set "$2" "$3" >/dev/null
}

# sleep_until MS: sleeps until e2e_now_ms reaches MS.
sleep_until() {
    local left=$(($1 - $(e2e_now_ms)))
    ((left > 0)) || return 0
    sleep "$((left / 1000)).$(printf '%03d' $((left % 1000)))"
}

# lane NAME ITERATIONS: the kills of one instance; prints one line a kill, exits 1 on the first
# violated check.
lane() {
    local name=$1 iterations=$2
    trap - EXIT INT TERM
    # A failing command that is no check (set -e) names itself before the lane ends.
    trap 'e2e_log "FAIL: $name: \"$BASH_COMMAND\" failed (line $LINENO)"' ERR
    local file next=1 iteration spawned answered kill_at now key value n
    local -A kept=()   # keys a check found in the file: they must stay
    local -A set_at=() # N -> ms when `ctl set KeyN N` returned, in this run
    file=$(e2e_datafile "$name")
    for ((iteration = 1; iteration <= iterations; iteration++)); do
        set_at=()
        spawned=$(e2e_now_ms)
        lane_start "$name"
        answered=$(e2e_now_ms)
        kill_at=$((answered + KILL_FROM_MS + (RANDOM * 32768 + RANDOM) % (KILL_TO_MS - KILL_FROM_MS)))
        local first=$next offset
        for offset in "${SET_AT_MS[@]}"; do
            ((answered + offset < kill_at)) || break
            sleep_until $((answered + offset))
            lane_set "$name" "Key$next" "$next" ||
                e2e_fail "$name: ctl set Key$next failed in run $iteration"
            set_at[$next]=$(e2e_now_ms)
            next=$((next + 1))
        done
        sleep_until "$kill_at"
        now=$(e2e_now_ms)
        e2e_running "$name" ||
            e2e_fail "$name ended by itself in run $iteration: $(tail -n 5 "$(e2e_logfile "$name")")"
        e2e_kill "$name"
        # Every "saved" line of this run was written before the kill. The first save tick comes
        # no sooner than SAVE_TICK_MS after the process started, so a run that logged a save
        # wrote every value set before then.
        local saves
        # shellcheck disable=SC2016 # sed's $
        saves=$(sed -n '/^---- start/h; /^---- start/!H; ${x;p}' "$(e2e_logfile "$name")" |
            grep -c "saved .*Harbolt.DAT" || true)
        local -a required=()
        for n in "${!set_at[@]}"; do
            local when=${set_at[$n]}
            if ((saves > 0 && when < spawned + SAVE_TICK_MS)) ||
                ((now - when >= SAVE_TICK_MS + TICK_LATENESS_MS)); then
                required+=("$n")
            fi
        done
        if [[ ! -f $file ]]; then
            ((${#required[@]} == 0 && ${#kept[@]} == 0)) ||
                e2e_fail "$name: no data file after run $iteration, which had to save" \
                    "Key${required[0]:-?}"
            echo "$name run $iteration: answered $((answered - spawned)) ms after its start," \
                "killed $((now - answered)) ms after that, no save yet"
            continue
        fi
        "$HARBOLT" data check "$file" >"$E2E_TMP/$name.check" 2>&1 ||
            e2e_fail "$name: data check fails after the kill of run $iteration" \
                "($((now - answered)) ms after start): $(cat "$E2E_TMP/$name.check")"
        local -A found=()
        while read -r key value; do
            [[ $key == Key* ]] || continue
            n=${key#Key}
            [[ $value == "$n" ]] || e2e_fail "$name: $key holds '$value' after run $iteration"
            ((n < next)) || e2e_fail "$name: $key was never set, yet it is in the data file"
            found[$n]=1
        done < <(saved_keys "$file")
        for n in "${!kept[@]}" "${required[@]}"; do
            [[ -n ${found[$n]:-} ]] ||
                e2e_fail "$name: Key$n is missing after the kill of run $iteration" \
                    "($((now - answered)) ms after start, $saves saves logged in that run)"
        done
        for n in "${!found[@]}"; do
            kept[$n]=1
        done
        echo "$name run $iteration: answered $((answered - spawned)) ms after its start," \
            "killed $((now - answered)) ms after that, $saves saves, checked in" \
            "$(($(e2e_now_ms) - now)) ms;" \
            "set Key$first..Key$((next - 1)), ${#required[@]} had to be saved;" \
            "data check passes, ${#kept[@]} values held"
        unset found
    done
    # The instance reads back what the last check found.
    lane_start "$name"
    lane_set "$name" E2eCrashDone yes || e2e_fail "$name does not answer after its last start"
    local listed
    listed=$(lane_ctl "$name" list --json)
    for n in "${!kept[@]}"; do
        [[ $(jq -r --arg k "Key$n" '.[$k] // empty' <<<"$listed") == "$n" ]] ||
            e2e_fail "$name: after a clean start Key$n is not $n"
    done
    e2e_stop "$name"
    ((E2E_EXITCODE[$name] == 0)) || e2e_fail "$name ended with status ${E2E_EXITCODE[$name]}"
    echo "$name: a clean start reads all ${#kept[@]} values"
}

started=$(e2e_now_ms)
declare -a names=()
for ((i = 0; i < LANES; i++)); do
    name=$(printf 'Crash%02d' "$i")
    names+=("$name")
    e2e_solo "$name"
done
for ((i = 0; i < LANES; i++)); do
    # The kills spread evenly: the first KILLS % LANES instances take one more.
    count=$((KILLS / LANES + (i < KILLS % LANES ? 1 : 0)))
    lane "${names[i]}" "$count" >"$E2E_TMP/${names[i]}.lane" 2>&1 &
    LANE_PIDS+=($!)
    sleep 0.1 # the starts spread out rather than all wanting the CPU at once
done
failed=0
for ((i = 0; i < LANES; i++)); do
    if ! wait "${LANE_PIDS[i]}"; then
        failed=1
        e2e_log "${names[i]} failed:"
        tail -n 5 "$E2E_TMP/${names[i]}.lane"
    fi
done
LANE_PIDS=()
cat "$E2E_TMP"/*.lane >"$E2E_TMP/all.lanes"
kills=$(grep -c " run [0-9]*: answered .* killed" "$E2E_TMP/all.lanes" || true)
during=$(grep -cE "killed .*(, 0 saves|no save yet)" "$E2E_TMP/all.lanes" || true)
head -n 3 "$E2E_TMP/all.lanes"
e2e_log "$kills kills in $(($(e2e_now_ms) - started)) ms, $during before the run's first save"
((failed == 0)) || e2e_fail "a crash left a data file that is broken or lost values (above)"
((kills == KILLS)) || e2e_fail "only $kills of $KILLS kills were checked"
e2e_pass "$KILLS saves killed at random: every data file passes data check and holds every" \
    "value a save tick had time to write"
e2e_done
