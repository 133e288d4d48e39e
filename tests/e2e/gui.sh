#!/usr/bin/env bash
# The desktop face on a virtual display: ALPHA runs with its windows on an Xvfb with trayer as the
# system tray, BETA headless beside it. Through `ctl window`, `ctl status` and the screen:
#  - the main window starts hidden behind the tray icon; the tabs follow the roster; `ctl open`
#    selects a tab and its status line, which names the date of BETA's data once BETA is gone;
#  - the dialer's question shows as the dialog "Internet", counts down, and goes on `ctl answer no`;
#  - the tray icon follows the simulated line up and down;
#  - a right click on the tray icon opens the tray menu; its "Proxy-settings..." opens the proxy
#    dialog, which `ctl window` lists among the open dialogs; with the main window opened over
#    it, the tray menu still opens, and the same entry brings that dialog back in front with the
#    keyboard focus, as it was, and no second one; a mapping typed in (:8080, HTTP-Proxy,
#    trigger) is stored by Set at once, Set on the selected mapping changes it in place, and OK
#    closes the dialog and starts its listener;
#  - "Email notification-settings..." opens the mail dialog; Set stores a mailbox at once, OK the
#    check frequency and closes it;
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

# gui_geometry WINDOW: "X Y WIDTH HEIGHT" of WINDOW on the screen.
gui_geometry() {
    gui_x xdotool getwindowgeometry --shell "$1" | sed -n 's/^\(X\|Y\|WIDTH\|HEIGHT\)=//p' |
        paste -sd ' '
}

# gui_shot NAME [WINDOW...]: the screen as SHOTS/NAME.png, or only the rectangle the WINDOWs
# cover, once two captures in a row agree, that is once the windows have painted what they were
# told.
gui_shot() {
    local name=$1 capture="$E2E_TMP/capture.png" previous="" signature i
    local -a crop=()
    shift
    if (($# > 0)); then
        local window x y width height left=1000000 top=1000000 right=0 bottom=0
        for window in "$@"; do
            read -r x y width height < <(gui_geometry "$window")
            left=$((x < left ? x : left)) top=$((y < top ? y : top))
            right=$((x + width > right ? x + width : right))
            bottom=$((y + height > bottom ? y + height : bottom))
        done
        crop=(-crop "$((right - left))x$((bottom - top))+$left+$top" +repage)
    fi
    for ((i = 0; i < 10; i++)); do
        gui_x import -window root "${crop[@]}" "$capture"
        signature=$(identify -format '%#' "$capture")
        [[ $signature != "$previous" ]] || break
        previous=$signature
        sleep 0.2
    done
    mv "$capture" "$SHOTS/$name.png"
    e2e_log "screenshot $SHOTS/$name.png"
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

# --- The settings dialogs, opened from the tray menu and filled in with the keyboard. Their
# fields are reached along the dialogs' Tab chains, which do not depend on the fonts: the proxy
# dialog opens with the focus on "Proxy active", the mail dialog on its list of mailboxes.

readonly PROXY_TITLE="Proxy-Settings" MAIL_TITLE="Preferences for mail checking"
# gui_windows: the visible windows with their names and places, for failure messages.
gui_windows() {
    local window
    for window in $(gui_x xdotool search --onlyvisible --name . 2>/dev/null); do
        printf '"%s" at %s; ' "$(gui_x xdotool getwindowname "$window")" \
            "$(gui_geometry "$window" | tr ' ' ,)"
    done
}
# gui_fail MESSAGE: fails with MESSAGE, what is on the screen and a screenshot of it.
gui_fail() {
    gui_shot failure || true
    e2e_fail "$1; on the screen: $(gui_windows)(see $SHOTS/failure.png)"
}
# gui_keys KEY...: the keys in turn to the focused window; N*KEY is KEY N times.
gui_keys() {
    local -a keys=()
    local key count i
    for key in "$@"; do
        count=1
        if [[ $key =~ ^([0-9]+)\*(.+)$ ]]; then
            count=${BASH_REMATCH[1]} key=${BASH_REMATCH[2]}
        fi
        for ((i = 0; i < count; i++)); do keys+=("$key"); done
    done
    gui_x xdotool key --delay 40 "${keys[@]}"
}
gui_type() { gui_x xdotool type --delay 20 "$1"; }
gui_ids() { gui_x xdotool search --onlyvisible "$@" 2>/dev/null | sort || true; }
gui_focus() { gui_x xdotool getwindowfocus 2>/dev/null || true; }
# The tray menu is the window of ALPHA's that the right click added.
GUI_BEFORE="" GUI_MENU=""
gui_menu_shown() {
    GUI_MENU=$(comm -13 <(echo "$GUI_BEFORE") <(gui_ids --class '^harbolt$') | head -n 1)
    [[ -n $GUI_MENU ]]
}
gui_menu_gone() { ! grep -qx "$GUI_MENU" <<<"$(gui_ids --class '^harbolt$')"; }
# gui_tray_menu UPS [SHOT]: a right click on the middle of trayer's panel, which holds only
# ALPHA's icon; once the menu shows (screenshot SHOT of it and the icon), Up UPS times from its
# end and Return choose an entry: Quit is the last one, whatever entries show above.
gui_tray_menu() {
    local panel x y width height
    panel=$(gui_x xdotool search --onlyvisible --class '^trayer$' | head -n 1)
    read -r x y width height < <(gui_geometry "$panel")
    GUI_BEFORE=$(gui_ids --class '^harbolt$')
    gui_x xdotool mousemove $((x + width / 2)) $((y + height / 2)) click 3
    e2e_wait_until 2000 "the tray menu" gui_menu_shown ||
        gui_fail "a right click on the tray icon shows no menu"
    [[ -z ${2:-} ]] || gui_shot "$2" "$GUI_MENU" "$panel"
    # Off the menu, the pointer leaves no entry highlighted for the keys to start from.
    gui_x xdotool mousemove 0 0
    gui_keys "$1*Up" Return
    e2e_wait_until 2000 "the tray menu to close" gui_menu_gone ||
        gui_fail "the tray menu stays open after Return"
}
# gui_dialogs_are JSON: within 3 s ALPHA reports the titles JSON (an array) as its open dialogs.
gui_dialogs_are() {
    e2e_wait_until 3000 "ALPHA's open dialogs $1" gui_is '.dialogs | tojson' "$1" ||
        gui_fail "ALPHA reports the open dialogs $GUI_SHOWN, not $1"
}
# gui_dialog_front TITLE: the one window TITLE, shown and holding the keyboard focus, as
# GUI_DIALOG; also no hidden second one.
GUI_DIALOG=""
gui_dialog_front() {
    GUI_DIALOG=$(gui_x xdotool search --name "^$1\$" 2>/dev/null || true)
    [[ -n $GUI_DIALOG && $GUI_DIALOG != *$'\n'* && $(gui_ids --name "^$1\$") == "$GUI_DIALOG" &&
        $(gui_focus) == "$GUI_DIALOG" ]]
}
# gui_open UPS TITLE [SHOT]: the tray menu's entry UPS from its end shows the dialog TITLE, the
# only open one, with the keyboard focus.
gui_open() {
    gui_tray_menu "$1" "${3:-}"
    gui_dialogs_are "[\"$2\"]"
    e2e_wait_until 3000 "the one window $2 with the keyboard focus" gui_dialog_front "$2" ||
        gui_fail "not one window $2 with the keyboard focus after the tray menu's entry"
}
gui_signature() { identify -format '%#' "$SHOTS/$1.png"; }
gui_mappings() { e2e_ctl ALPHA list | grep '^ProxyMapping' | paste -sd ' ' || true; }
gui_mapping_is() { [[ $(e2e_get ALPHA "$1") == "$2" ]]; }
gui_mailboxes() {
    e2e_ctl ALPHA mail list --json | jq -c '[.mailboxes[] | [.name, .server, .user, .action]]'
}

# The proxy dialog, once. Opening the main window again puts it over the dialog and takes the
# focus; the dialog stays open behind it. The tray menu still opens, and its entry brings the
# same dialog back in front, as it was, rather than a second one.
gui_open 4 "$PROXY_TITLE" tray-menu
gui_shot proxy-settings-open "$GUI_DIALOG"
proxy_dialog=$GUI_DIALOG
e2e_ctl ALPHA open >/dev/null
main_window=$(gui_ids --name '^Harbolt$')
main_in_front() { [[ -n $main_window && $(gui_focus) == "$main_window" ]]; }
e2e_wait_until 3000 "the main window in front with the keyboard focus" main_in_front ||
    gui_fail "the main window does not take the focus from the proxy dialog"
gui_shot proxy-settings-covered "$proxy_dialog"
[[ $(gui_signature proxy-settings-covered) != "$(gui_signature proxy-settings-open)" ]] ||
    gui_fail "the main window does not cover the proxy dialog (see $SHOTS/proxy-settings-*.png)"
gui_dialogs_are "[\"$PROXY_TITLE\"]"
gui_open 4 "$PROXY_TITLE"
[[ $GUI_DIALOG == "$proxy_dialog" ]] ||
    gui_fail "the proxy dialog came back as window $GUI_DIALOG, not $proxy_dialog"
gui_shot proxy-settings-front "$GUI_DIALOG"
[[ $(gui_signature proxy-settings-front) == "$(gui_signature proxy-settings-open)" ]] ||
    gui_fail "the proxy dialog back in front differs from $SHOTS/proxy-settings-open.png"
e2e_pass "the proxy dialog, behind the main window, came back in front from the tray menu, once"

# A mapping: Tab to the bind port, 8080; the type HTTP-Proxy; trigger; Set. The lowest free index
# is 01: 00 holds the trigger mapping of the question.
readonly MAPPING=":8080 -> HTTP PROXY, trigger" EDITED=":8081 -> HTTP PROXY, trigger"
gui_keys 5*Tab
gui_type 8080
gui_keys Tab
gui_type H
gui_keys Tab space Tab Tab space
e2e_wait_until 3000 "Set to store ProxyMapping01" gui_mapping_is ProxyMapping01 "$MAPPING" ||
    gui_fail "after Set ALPHA's mappings are $(gui_mappings), not ProxyMapping01 = $MAPPING"
# Back to the list; End and Space select the new mapping, the last one, and show its fields. A
# new bind port and Set change that mapping in place.
gui_keys 6*shift+Tab End space
gui_shot proxy-settings "$GUI_DIALOG"
gui_keys Tab Tab ctrl+a
gui_type 8081
gui_keys 4*Tab space
e2e_wait_until 3000 "Set to change ProxyMapping01" gui_mapping_is ProxyMapping01 "$EDITED" ||
    gui_fail "after Set on the selected mapping ALPHA's mappings are $(gui_mappings)"
expected="ProxyMapping00=:$TRIGGER_PORT -> ${E2E_ADDR[BETA]}:9, trigger ProxyMapping01=$EDITED"
[[ $(gui_mappings) == "$expected" ]] ||
    gui_fail "Set on the selected mapping left ALPHA with the mappings $(gui_mappings)"
# Return in the DNS server field (three Tabs on from Set) is the default button OK, which
# restarts the proxy services.
gui_keys Tab Tab Tab Return
gui_dialogs_are "[]"
listening_8081() {
    e2e_proxy_status ALPHA | jq -e --arg a "${E2E_ADDR[ALPHA]}:8081" \
        'any(.listeners[]; .address == $a and .bound)' >/dev/null &&
        e2e_tcp_listening "${E2E_NS[ALPHA]}" 8081
}
e2e_wait_until 5000 "a listener on port 8081" listening_8081 ||
    e2e_fail "no listener on ALPHA's port 8081 after OK: $(e2e_ctl ALPHA proxy status)"
! e2e_tcp_listening "${E2E_NS[ALPHA]}" 8080 ||
    e2e_fail "ALPHA still listens on port 8080 after the mapping moved to 8081"
e2e_pass "the proxy dialog stored $MAPPING at Set, changed it to 8081, and OK started its listener"

# The mail dialog: Tab from the list to the fields; "n" selects the first action, "notify when new
# email arrives"; on past New to Set.
readonly MAILBOX='[["home","'"${E2E_ADDR[BETA]}"':110","anna","notify-new"]]'
frequency=$(e2e_ctl ALPHA mail list --json | jq .frequency)
((frequency != 7)) || e2e_fail "ALPHA checks mail every 7 minutes before the dialog set it"
gui_open 3 "$MAIL_TITLE"
gui_keys Tab
for field in home "${E2E_ADDR[BETA]}:110" anna 'pass word'; do
    gui_type "$field"
    gui_keys Tab
done
gui_type n
gui_keys Tab Tab space
mailbox_stored() { [[ $(gui_mailboxes) == "$MAILBOX" ]]; }
e2e_wait_until 3000 "Set to store the mailbox" mailbox_stored ||
    gui_fail "after Set ALPHA's mailboxes are $(gui_mailboxes), not $MAILBOX"
# Back to the list: End and Space select the mailbox and show its fields (Space: a list that
# takes the focus makes its first line current, and End then moves nowhere); on to the
# frequency, 7, OK.
gui_keys 7*shift+Tab End space 9*Tab ctrl+a
gui_type 7
gui_shot mail-settings "$GUI_DIALOG"
gui_keys Return
gui_dialogs_are "[]"
checks_every_7() { [[ $(e2e_ctl ALPHA mail list --json | jq .frequency) == 7 ]]; }
e2e_wait_until 3000 "the check frequency 7" checks_every_7 ||
    e2e_fail "ALPHA's mail settings after OK: $(e2e_ctl ALPHA mail settings)"
mailbox_stored || e2e_fail "ALPHA's mailboxes after OK: $(gui_mailboxes)"
e2e_pass "the mail dialog stored the mailbox at Set and the frequency $frequency -> 7 at OK"

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
