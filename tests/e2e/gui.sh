#!/usr/bin/env bash
# The desktop face on a virtual display: ALPHA runs with its windows on an Xvfb with trayer as the
# system tray, BETA headless beside it. Through `ctl window`, `ctl status` and the screen:
#  - the main window starts hidden behind the tray icon; the tabs follow the roster; `ctl open`
#    selects a tab and its status line, which names the date of BETA's data once BETA is gone;
#  - the dialer's question shows as the dialog "Internet", counts down, and goes on `ctl answer no`;
#  - the tray icon follows the simulated line up and down;
#  - under a German locale the overall tab reads "Gesamtüberblick", the status line is German;
#  - SIGTERM ends ALPHA within seconds, also with the question open, and leaves a sound data file.
# Screenshots of each stage go to SCREENSHOT_DIR (default ./screenshots) for a person to look at.
# Usage: gui.sh HARBOLT SEND_DATAGRAM [SCREENSHOT_DIR]
# shellcheck disable=SC2317 # predicates run through e2e_wait_until
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
for tool in Xvfb trayer xdotool import identify xauth mcookie; do
    command -v "$tool" >/dev/null || e2e_skip "$tool is missing (see tools/install-deps.sh)"
done
e2e_init "$@"
E2E_EXTRA_ARGS=(--dialup sim)
SHOTS=$(realpath -m "${3:-screenshots}")
mkdir -p "$SHOTS"
readonly ENTRY=SimLine TRIGGER_PORT=7000

# --- The display: Xvfb and trayer in a namespace of the run's own, so that a run killed outright
# has them swept with its namespaces. Clients elsewhere reach them through the socket file in
# /tmp/.X11-unix, which is not bound to a network namespace.

GUI_DISPLAY=""
for n in {90..99}; do # free, or locked by a server that is gone (Xvfb takes such a lock over)
    if [[ ! -e /tmp/.X$n-lock ]] || ! kill -0 "$(tr -dc 0-9 <"/tmp/.X$n-lock")" 2>/dev/null; then
        GUI_DISPLAY=:$n && break
    fi
done
[[ -n $GUI_DISPLAY ]] || e2e_fail "the displays :90 to :99 are all taken"
GUI_XAUTH="$E2E_TMP/Xauthority"
xauth -q -f "$GUI_XAUTH" add "$GUI_DISPLAY" . "$(mcookie)"
GUI_XNS="$E2E_RUN-x"
ip netns add "$GUI_XNS"
E2E_NAMESPACES+=("$GUI_XNS")
declare -a GUI_PIDS=()

gui_x() { DISPLAY=$GUI_DISPLAY XAUTHORITY=$GUI_XAUTH "$@"; }

# Called by the run's cleanup once the instances have ended: Xvfb removes its socket and lock
# only when it ends on SIGTERM.
e2e_script_cleanup() {
    local pid i
    for pid in "${GUI_PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null; done
    for pid in "${GUI_PIDS[@]}"; do
        for ((i = 0; i < 30; i++)); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    done
}

ip netns exec "$GUI_XNS" Xvfb "$GUI_DISPLAY" -nolisten tcp -screen 0 1280x900x24 \
    -auth "$GUI_XAUTH" </dev/null >"$E2E_TMP/xvfb.log" 2>&1 &
GUI_PIDS+=($!)
display_up() { kill -0 "${GUI_PIDS[0]}" && gui_x xdotool getdisplaygeometry >/dev/null 2>&1; }
e2e_wait_until 5000 "Xvfb on $GUI_DISPLAY" display_up ||
    e2e_fail "Xvfb does not answer on $GUI_DISPLAY: $(cat "$E2E_TMP/xvfb.log")"
ip netns exec "$GUI_XNS" env DISPLAY="$GUI_DISPLAY" XAUTHORITY="$GUI_XAUTH" trayer --edge top \
    --align right --widthtype request --height 28 --transparent false --tint 0x808080 \
    </dev/null >"$E2E_TMP/trayer.log" 2>&1 &
GUI_PIDS+=($!)
tray_up() { gui_x xdotool search --class '^trayer$' >/dev/null 2>&1; }
e2e_wait_until 5000 "trayer's panel" tray_up ||
    e2e_fail "trayer shows no panel: $(cat "$E2E_TMP/trayer.log")"

# gui_shot NAME: the screen as SHOTS/NAME.png, once two captures in a row agree, that is once the
# windows have painted what they were told.
gui_shot() {
    local capture="$E2E_TMP/capture.png" previous="" signature i
    for ((i = 0; i < 10; i++)); do
        gui_x import -window root "$capture"
        signature=$(identify -format '%#' "$capture")
        [[ $signature != "$previous" ]] || break
        previous=$signature
        sleep 0.2
    done
    mv "$capture" "$SHOTS/$1.png"
    e2e_log "screenshot $SHOTS/$1.png"
}

gui_view() { e2e_ctl ALPHA window --json; }
# gui_is FILTER VALUE: ALPHA's window shows VALUE under the jq FILTER.
GUI_SHOWN=""
gui_is() {
    GUI_SHOWN=$(gui_view | jq -r "$1")
    [[ $GUI_SHOWN == "$2" ]]
}
# gui_expect FILTER VALUE: the same, within 3 s: the window shows what arrives at its next pass.
gui_expect() {
    local i
    for ((i = 0; i < 12; i++)); do
        ! gui_is "$1" "$2" || return 0
        ((i > 0)) || e2e_log "ALPHA's window shows $1 = \"$GUI_SHOWN\" at first"
        sleep "$E2E_POLL"
    done
    e2e_fail "ALPHA's window shows $1 = \"$GUI_SHOWN\", not \"$2\""
}
gui_question() { e2e_status ALPHA | jq -c .question; }
gui_question_open() { [[ $(gui_question) != null ]]; }
gui_dialog_shown() { gui_x xdotool search --onlyvisible --name '^Internet$' >/dev/null 2>&1; }
gui_dialog_gone() {
    [[ $(gui_question) == null ]] && ! gui_x xdotool search --name '^Internet$' >/dev/null 2>&1
}

# gui_ask WHAT: a client of ALPHA's trigger mapping, so that ALPHA wants to dial and, asking
# before dialling, opens its question; it must show on the screen.
gui_ask() {
    e2e_wait_until 5000 "ALPHA's trigger mapping" e2e_tcp_listening "${E2E_NS[ALPHA]}" \
        "$TRIGGER_PORT" || e2e_fail "nothing listens on ALPHA's port $TRIGGER_PORT"
    # shellcheck disable=SC2016 # expanded by the inner shell
    ip netns exec "${E2E_NS[ALPHA]}" timeout 60 bash -c \
        'exec 3<>"/dev/tcp/$1/$2" && echo ping >&3 && cat <&3' \
        _ "${E2E_ADDR[ALPHA]}" "$TRIGGER_PORT" </dev/null >/dev/null 2>&1 &
    disown # ended with everything else in the namespace
    e2e_wait_until 8000 "ALPHA to ask before dialling ($1)" gui_question_open ||
        e2e_fail "no question on ALPHA ($1): $(e2e_status ALPHA)"
    e2e_wait_until 3000 "the dialog \"Internet\" on the screen" gui_dialog_shown ||
        e2e_fail "the question ($1) is open but no window \"Internet\" is shown"
}

# gui_quit WHAT: SIGTERM ends ALPHA within a few seconds, asking nothing, and its data file holds.
gui_quit() {
    local started took
    started=$(e2e_now_ms)
    e2e_stop ALPHA
    took=$(($(e2e_now_ms) - started))
    ((E2E_EXITCODE[ALPHA] == 0 && took < 4000)) ||
        e2e_fail "SIGTERM ($1) ended ALPHA after $took ms with status ${E2E_EXITCODE[ALPHA]}"
    "$HARBOLT" data check "$(e2e_datafile ALPHA)" >/dev/null ||
        e2e_fail "ALPHA's data file does not hold after SIGTERM ($1)"
    e2e_pass "SIGTERM ($1) ended ALPHA in $took ms with status 0; its data file holds"
}

# --- ALPHA with windows, BETA without.

e2e_host 1
e2e_host 2
# The X server sits in another network namespace: ALPHA must reach it through the socket file.
ip netns exec "$(e2e_host_ns 1)" env DISPLAY="$GUI_DISPLAY" XAUTHORITY="$GUI_XAUTH" \
    xdotool getdisplaygeometry >/dev/null ||
    e2e_fail "no display $GUI_DISPLAY from ALPHA's namespace"
mkdir -m 700 "$E2E_TMP/runtime"
readonly -a ALPHA_ENV=(DISPLAY="$GUI_DISPLAY" XAUTHORITY="$GUI_XAUTH"
    XDG_RUNTIME_DIR="$E2E_TMP/runtime")
E2E_WINDOWED[ALPHA]=1
e2e_start ALPHA 1 "${ALPHA_ENV[@]}" LC_ALL=C.UTF-8
e2e_start BETA 2
for name in ALPHA BETA; do
    e2e_set_address "$name"
    e2e_ctl "$name" set ProxyEnabled yes
    e2e_ctl "$name" proxy restart >/dev/null
done

gui_expect .visible false
gui_expect .trayAvailable true
gui_expect .tray offline
e2e_wait_until 5000 "ALPHA's tabs to list BETA" gui_is '.tabs | join(",")' \
    "All Computers,Alpha,Beta" || e2e_fail "ALPHA's tabs are $(gui_view | jq -c .tabs)"
e2e_pass "ALPHA's window starts hidden behind the tray icon; tabs All Computers, Alpha, Beta"

# --- The tabs.

e2e_ctl ALPHA open >/dev/null
gui_expect .visible true
gui_expect .selected "All Computers"
gui_expect .status ""
gui_shot main-overall
e2e_ctl ALPHA open Beta >/dev/null
gui_expect .selected Beta
gui_expect .status "BETA is registrated in the local net; The data of BETA is up to date."
gui_shot main-beta
e2e_ctl ALPHA open Alpha >/dev/null
gui_expect .selected Alpha
gui_expect .status "ALPHA is registrated in the local net; I am ALPHA."
gui_shot main-alpha
e2e_pass "ctl open shows the overall tab, then BETA's and ALPHA's tabs with their status lines"

# --- The dialer's question, while nobody is online.

e2e_ctl ALPHA set AutoDialEnabled yes
e2e_ctl ALPHA set AutoDialAskBeforeDialing yes
e2e_ctl ALPHA set AutoDialPhoneBookEntry "$ENTRY"
e2e_ctl ALPHA set ProxyMapping00 ":$TRIGGER_PORT -> ${E2E_ADDR[BETA]}:9, trigger"
e2e_ctl ALPHA proxy restart >/dev/null
gui_ask English
gui_shot question
first=$(gui_question | jq .secondsLeft)
counted_down() { (($(gui_question | jq '.secondsLeft // 99') < first)); }
e2e_wait_until 2500 "the question to count down from $first s" counted_down ||
    e2e_fail "the question still has $(gui_question | jq .secondsLeft) s left"
e2e_ctl ALPHA answer no >/dev/null
e2e_wait_until 3000 "the question and its dialog to go" gui_dialog_gone ||
    e2e_fail "the question stays after the answer: $(gui_question)"
e2e_pass "the question showed as the dialog \"Internet\", counted down from $first s, went on no"

# --- The tray icon follows the simulated line.

e2e_ctl ALPHA line "$ENTRY" up >/dev/null
alpha_online() { [[ $(e2e_field ALPHA Alpha online) == true ]]; }
e2e_wait_until 5000 "ALPHA online" alpha_online ||
    e2e_fail "ALPHA is not online: $(e2e_status ALPHA)"
# ALPHA hears its own online announcement at once; the window shows it at its next update (5 s).
e2e_wait_until 8000 "the tray icon online" gui_is .tray online ||
    e2e_fail "the tray icon stays $(gui_view | jq -r .tray) while ALPHA is online"
# The statistics of the session: a click on the first line of the provider list, which sits
# 614 pixels below the window's top with the default font; a miss only shows no summary.
e2e_ctl ALPHA open Alpha >/dev/null
window=$(gui_x xdotool search --onlyvisible --name '^Harbolt$' | head -n 1)
read -r left top < <(gui_x xdotool getwindowgeometry --shell "$window" |
    sed -n 's/^[XY]=//p' | paste -sd ' ')
gui_x xdotool mousemove $((left + 60)) $((top + 614)) click 1
gui_shot statistics
e2e_ctl ALPHA line "$ENTRY" down >/dev/null
# A line that goes down outside Harbolt ends only when its online mark ages out of the roster,
# 10 s after the last online announcement.
e2e_wait_until 15000 "the tray icon offline" gui_is .tray offline ||
    e2e_fail "the tray icon stays $(gui_view | jq -r .tray) after the line went down"
e2e_pass "the tray icon went online with the line, offline $E2E_WAITED_MS ms after it went down"

# --- BETA gone: its status line names the date of its data once the roster drops it (10 s).

e2e_stop BETA
e2e_ctl ALPHA open Beta >/dev/null
stale_pattern='^The data of BETA is from [^ ].* at [^ ]+\.$'
beta_stale() { [[ $(gui_view | jq -r .status) =~ $stale_pattern ]]; }
e2e_wait_until 15000 "BETA's status line to name the date of its data" beta_stale ||
    e2e_fail "ALPHA shows BETA as \"$(gui_view | jq -r .status)\" after BETA ended"
e2e_pass "ALPHA shows the ended BETA as \"$(gui_view | jq -r .status)\" after $E2E_WAITED_MS ms"

gui_quit "no question open"

# --- German: from the system's locales, else one made for this run.

german=()
if locale -a | grep -qiE '^de_DE\.utf-?8$'; then
    german=(LC_ALL=de_DE.UTF-8)
elif mkdir -p "$E2E_TMP/locale" &&
    localedef -i de_DE -f UTF-8 "$E2E_TMP/locale/de_DE.UTF-8" >"$E2E_TMP/localedef.log" 2>&1; then
    german=(LOCPATH="$E2E_TMP/locale" LC_ALL=de_DE.UTF-8)
else
    e2e_log "no German locale and localedef cannot make one; the German part is left out"
fi
if ((${#german[@]} > 0)); then
    e2e_start ALPHA 1 "${ALPHA_ENV[@]}" "${german[@]}"
    gui_expect '.tabs[0]' "Gesamtüberblick"
    e2e_ctl ALPHA open Alpha >/dev/null
    # The first half comes once ALPHA has heard its own announcement.
    e2e_wait_until 3000 "ALPHA's German status line" gui_is .status \
        "ALPHA ist im Netzwerk angemeldet; ALPHA bin ich." ||
        e2e_fail "ALPHA's status line reads \"$(gui_view | jq -r .status)\" in German"
    gui_shot main-german
    gui_ask German
    gui_shot question-german
    e2e_pass "under ${german[-1]}: the tab Gesamtüberblick, the German status line, the question"
    gui_quit "the question open"
fi

e2e_done
