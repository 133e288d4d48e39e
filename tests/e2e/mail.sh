#!/usr/bin/env bash
# The mail check. ALPHA (10.77.0.1) and BETA (10.77.0.2) share the bridge; the namespace
# "Internet" (10.78.0.2) hangs off a private link of ALPHA's and holds two POP3 servers
# (mail_peers.py) that log every command they get: port 110 with the mailbox of "u", port 2110
# with that of "cleaner". Their messages are files in a folder each, read at every login. BETA
# is never online and reaches them only through ALPHA's proxy port. BETA's mailboxes are "box1"
# (notify-new, 10.78.0.2, a password with an "ä") and "box2" (delete-all, 10.78.0.2:2110); every
# check is fired by `ctl mail check`. In this order:
#  - the mailboxes as `ctl mail set` stores them, never showing the password, which is not taken
#    on the command line; with nobody online a check reaches no server;
#  - ALPHA online: box1's first check with two messages gives exactly one "harbolt: new mail"
#    line and a 60-second notice in the status; the next one none; a third message one again.
#    The server sees "USER u", "PASS" with the clear password (in Windows-1252), UIDL and QUIT,
#    from ALPHA. box2's checks send DELE 1..n and QUIT, its messages are gone afterwards, no
#    notice comes of it, and an empty box2 gets no DELE;
#  - ALPHA dialled by itself with "AutoDialDisconnectAfter" 5 hangs up on time although BETA
#    checks its mail through ALPHA every 2 s;
#  - BETA's HarboltMail.DAT: the layout, mode 0600, the passwords only scrambled; restarted from
#    it, BETA keeps both mailboxes, their UIDs and the shared settings, and logs in again with
#    the clear password;
#  - a refused login ends the check before UIDL and without QUIT; `ctl mail remove`; no password
#    in the instances' output.
# Usage: mail.sh HARBOLT SEND_DATAGRAM
# shellcheck disable=SC2317 # predicates run through e2e_wait_until
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_init "$@"
E2E_EXTRA_ARGS=(--dialup sim)
command -v iconv >/dev/null || e2e_fail "the iconv command (Debian package libc-bin) is missing"

readonly PYTHON=/usr/bin/python3
PEERS="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/mail_peers.py"
readonly PEERS

readonly INTERNET=10.78.0.2 ALPHA_LINK=10.78.0.1 ALPHA_SERVER=10.77.0.1:1977
readonly NOTIFY_PORT=110 DELETE_PORT=2110
readonly NOTIFY_USER=u NOTIFY_PASSWORD="Pässwort 7"
readonly DELETE_USER=cleaner DELETE_PASSWORD="wipe.all;now"
readonly ENTRY=SimLine # the simulated line ALPHA dials
readonly IDLE_LIMIT=5  # ALPHA's "AutoDialDisconnectAfter" in the idle part
readonly NOTICE="harbolt: new mail"
NOTIFY_PASSWORD_CP1252=$(printf '%s' "$NOTIFY_PASSWORD" | iconv -f UTF-8 -t CP1252)
NOTIFY_PASSWORD_BYTES=$(printf '%s' "$NOTIFY_PASSWORD_CP1252" | wc -c)
readonly NOTIFY_PASSWORD_CP1252 NOTIFY_PASSWORD_BYTES

# --- Network: the bridge with ALPHA and BETA, and the Internet behind ALPHA only.

e2e_host 1
e2e_host 2
e2e_private_link Internet 1 "$ALPHA_LINK/24" "$INTERNET/24"
INTERNET_NS=$(e2e_link_ns Internet)
ALPHA_NS=$(e2e_host_ns 1)
BETA_NS=$(e2e_host_ns 2)

# --- The POP3 servers and their mailboxes.

MAIL="$E2E_TMP/mail"
readonly MAIL NOTIFY_LOG="$E2E_TMP/pop3-$NOTIFY_PORT.commands"
readonly DELETE_LOG="$E2E_TMP/pop3-$DELETE_PORT.commands"
mkdir -p "$MAIL/$NOTIFY_USER" "$MAIL/$DELETE_USER"
touch "$NOTIFY_LOG" "$DELETE_LOG"

# add_message USER NAME: a message whose UID is NAME appears in USER's mailbox.
add_message() {
    local folder="$MAIL/$1"
    printf 'From: sender@mail.test\r\nSubject: %s\r\n\r\nThe message %s.\r\n.\r\n' "$2" "$2" \
        >"$folder/.$2.tmp"
    mv "$folder/.$2.tmp" "$folder/$2"
}

# messages USER: the UIDs in USER's mailbox, on one line.
messages() {
    local names=("$MAIL/$1"/*)
    [[ -e ${names[0]} ]] || return 0
    names=("${names[@]##*/}")
    echo "${names[*]}"
}

e2e_spawn "$INTERNET_NS" "$E2E_TMP/pop3-$NOTIFY_PORT.log" "$PYTHON" "$PEERS" pop3-server \
    "$INTERNET" $NOTIFY_PORT "$MAIL" "$NOTIFY_LOG" "$NOTIFY_USER:$NOTIFY_PASSWORD"
e2e_spawn "$INTERNET_NS" "$E2E_TMP/pop3-$DELETE_PORT.log" "$PYTHON" "$PEERS" pop3-server \
    "$INTERNET" $DELETE_PORT "$MAIL" "$DELETE_LOG" "$DELETE_USER:$DELETE_PASSWORD"
servers_listening() {
    e2e_tcp_listening "$INTERNET_NS" "$NOTIFY_PORT" &&
        e2e_tcp_listening "$INTERNET_NS" "$DELETE_PORT"
}
e2e_wait_until 10000 "the POP3 servers" servers_listening ||
    e2e_fail "the POP3 servers do not listen: $(tail -n 5 "$E2E_TMP"/pop3-*.log 2>&1)"

add_message "$NOTIFY_USER" msg-1
add_message "$NOTIFY_USER" msg-2
for name in old-1 old-2 old-3; do
    add_message "$DELETE_USER" "$name"
done

# The servers answer ALPHA directly, a non-ASCII password sent as Latin-1 bytes included.
# run_client WHAT ARGS...: a client of mail_peers.py in ALPHA's namespace.
run_client() {
    local what=$1 out
    shift
    out=$(timeout -k 2 30 ip netns exec "$ALPHA_NS" "$PYTHON" "$PEERS" pop3-client "$@" 2>&1) ||
        e2e_fail "$what: $out"
    printf '    %s\n' "${out//$'\n'/$'\n'    }"
}
run_client "the notify server straight from ALPHA" "$INTERNET" $NOTIFY_PORT "$NOTIFY_USER" \
    "$NOTIFY_PASSWORD" "$MAIL/$NOTIFY_USER"
run_client "the delete server straight from ALPHA" "$INTERNET" $DELETE_PORT "$DELETE_USER" \
    "$DELETE_PASSWORD" "$MAIL/$DELETE_USER"
if timeout -k 2 5 ip netns exec "$BETA_NS" bash -c "exec 3<>/dev/tcp/$INTERNET/$NOTIFY_PORT" \
    2>/dev/null; then
    e2e_fail "BETA reaches the POP3 server without ALPHA"
fi
e2e_pass "both POP3 servers answer ALPHA directly (USER, PASS, STAT, LIST, UIDL, RETR); BETA" \
    "cannot reach them"

# --- The instances and BETA's mailboxes.

e2e_start ALPHA 1
e2e_start BETA 2
e2e_set_address ALPHA
e2e_set_address BETA
e2e_ctl ALPHA set ProxyEnabled yes
e2e_ctl ALPHA set AutoDialPhoneBookEntry "$ENTRY"
e2e_ctl ALPHA set AutoDialEnabled yes
[[ $(e2e_ctl ALPHA proxy restart) == "proxy services restarted" ]] ||
    e2e_fail "ctl proxy restart on ALPHA does not restart the proxy services"

# set_mailbox NAME SERVER USER PASSWORD ACTION: `ctl mail set` on BETA, the password piped in.
set_mailbox() {
    local out
    out=$(printf '%s\n' "$4" | e2e_ctl BETA mail set "$1" --server "$2" --user "$3" \
        --password-stdin --action "$5" 2>&1) || e2e_fail "ctl mail set $1 failed: $out"
}
set_mailbox box1 "$INTERNET" "$NOTIFY_USER" "$NOTIFY_PASSWORD" notify-new
set_mailbox box2 "$INTERNET:$DELETE_PORT" "$DELETE_USER" "$DELETE_PASSWORD" delete-all

# mail_list: BETA's `ctl mail list --json`; the test fails when a password shows in it (the
# message goes to standard error, since this runs in command substitutions).
mail_list() {
    local json
    json=$(e2e_ctl BETA mail list --json) || e2e_fail "ctl mail list --json failed on BETA" >&2
    no_password_in "ctl mail list --json" "$json"
    printf '%s\n' "$json"
}

# no_password_in WHAT TEXT: neither password appears in TEXT.
no_password_in() {
    if [[ $2 == *"$NOTIFY_PASSWORD"* || $2 == *"$DELETE_PASSWORD"* ]]; then
        e2e_fail "$1 shows a password: $2" >&2
    fi
}

# mailbox NAME: the line of mailbox NAME in the JSON list, as "server|user|action|uids|checking".
mailbox() {
    # shellcheck disable=SC2016 # $n is jq's
    mail_list | jq -r --arg n "$1" '.mailboxes[] | select(.name == $n) |
        [.server, .user, .action, .uids, .checking] | map(tostring) | join("|")'
}

# expect_uids NAME COUNT: mailbox NAME remembers COUNT UIDs and no check of it runs.
expect_uids() {
    local line
    line=$(mailbox "$1")
    [[ ${line#*|*|*|} == "$2|false" ]] ||
        e2e_fail "$1 should remember $2 UIDs, no check running: server|user|action|uids|checking" \
            "= '$line'"
}

list=$(mail_list)
[[ $(e2e_json "$list" '[.frequency, .dial, .sound, (.mailboxes | length)] | map(tostring) |
    join("|")') == "3|false|email.wav|2" ]] ||
    e2e_fail "BETA's mail settings are not the defaults with two mailboxes: $list"
[[ $(mailbox box1) == "$INTERNET|$NOTIFY_USER|notify-new|0|false" &&
    $(mailbox box2) == "$INTERNET:$DELETE_PORT|$DELETE_USER|delete-all|0|false" ]] ||
    e2e_fail "the mailboxes are not stored as set: $list"
text=$(e2e_ctl BETA mail list) || e2e_fail "ctl mail list failed on BETA"
no_password_in "ctl mail list" "$text"
[[ $(grep -c "box[12]" <<<"$text") == 2 ]] || e2e_fail "ctl mail list does not show both: $text"
status=0
out=$(e2e_ctl BETA mail set box3 --server "$INTERNET" --user x --password "$NOTIFY_PASSWORD" \
    --action none 2>&1 </dev/null) || status=$?
((status != 0)) || e2e_fail "ctl mail set took a password on the command line: $out"
[[ $(mail_list | jq '.mailboxes | length') == 2 ]] ||
    e2e_fail "a refused ctl mail set made a mailbox: $(mail_list)"
e2e_pass "BETA's two mailboxes as set, with the default settings; no password shown; a password" \
    "on the command line refused"

# --- Checks and what they leave.

# log_size LOG: the number of lines in a server's command log.
log_size() { wc -l <"$1"; }

# session LOG FROM: the commands a server got in the sessions that began after line FROM of its
# log: one line a session, in the order they began, its commands joined by "|".
session() {
    awk -v from="$2" 'NR > from {
        if ($2 == "--" && $3 == "CONNECT") { order[++n] = $1; text[$1] = "" }
        else if ($2 == "<-" && ($1 in text)) {
            id = $1; sub(/^S[0-9]+ <- /, ""); text[id] = text[id] (text[id] == "" ? "" : "|") $0
        }
    } END { for (i = 1; i <= n; i++) print text[order[i]] }' "$1"
}

# sessions LOG FROM: how many sessions began after line FROM of the log.
sessions() {
    awk -v from="$2" 'NR > from && $2 == "--" && $3 == "CONNECT" { n++ } END { print n + 0 }' "$1"
}

# sessions_closed LOG FROM: at least one session began after line FROM, and all of those ended.
sessions_closed() {
    awk -v from="$2" 'NR > from && $2 == "--" {
        if ($3 == "CONNECT") { live[$1] = 1; begun++ }
        else if ($3 == "CLOSE" && ($1 in live)) { delete live[$1]; ended++ }
    } END { exit !(begun > 0 && ended == begun) }' "$1"
}

nobody_checking() {
    local list
    list=$(mail_list) && [[ $(jq '[.mailboxes[] | select(.checking)] | length' <<<"$list") == 0 ]]
}

checks_done() {
    sessions_closed "$NOTIFY_LOG" "$notify_from" && sessions_closed "$DELETE_LOG" "$delete_from" &&
        nobody_checking
}

# fire_check WHAT: `ctl mail check` on BETA; waits until both servers saw a whole session and
# no check runs any more. Sets notify_from, delete_from and notices_before for the checks below.
fire_check() {
    notify_from=$(log_size "$NOTIFY_LOG")
    delete_from=$(log_size "$DELETE_LOG")
    notices_before=$(e2e_output_count BETA "$NOTICE")
    e2e_ctl BETA mail check >/dev/null || e2e_fail "$1: ctl mail check failed"
    e2e_wait_until 10000 "$1 to reach both servers and end" checks_done ||
        e2e_fail "$1: after 10 s the servers got '$(session "$NOTIFY_LOG" "$notify_from")' and" \
            "'$(session "$DELETE_LOG" "$delete_from")'; BETA lists $(mail_list)"
}

# expect_sessions WHAT NOTIFY DELETE: the commands each server got in the last check.
expect_sessions() {
    local got
    got=$(session "$NOTIFY_LOG" "$notify_from")
    [[ $got == "$2" && $(sessions "$NOTIFY_LOG" "$notify_from") == 1 ]] ||
        e2e_fail "$1: box1's server got '$got' in $(sessions "$NOTIFY_LOG" "$notify_from")" \
            "sessions, expected '$2' in one"
    got=$(session "$DELETE_LOG" "$delete_from")
    [[ $got == "$3" && $(sessions "$DELETE_LOG" "$delete_from") == 1 ]] ||
        e2e_fail "$1: box2's server got '$got' in $(sessions "$DELETE_LOG" "$delete_from")" \
            "sessions, expected '$3' in one"
}

# expect_notices WHAT COUNT: COUNT (0 or 1) "harbolt: new mail" lines in BETA's output since
# the check was fired, seen over the next seconds (the schedule looks once a second).
notice_count() { echo $(($(e2e_output_count BETA "$NOTICE") - notices_before)); }
notice_shown() { (($(notice_count) >= 1)); }
expect_notices() {
    if (($2 == 1)); then
        e2e_wait_until 3000 "the new-mail notice" notice_shown ||
            e2e_fail "$1: no \"$NOTICE\" line on BETA within 3 s: $(tail -n 5 \
                "$(e2e_logfile BETA)")"
        sleep 1.5 # a flag left set would give another line at every second
    else
        sleep 2.5
    fi
    (($(notice_count) == $2)) ||
        e2e_fail "$1: $(notice_count) \"$NOTICE\" lines on BETA, expected $2"
}

readonly LOGIN1="USER $NOTIFY_USER|PASS $NOTIFY_PASSWORD|UIDL"
readonly LOGIN2="USER $DELETE_USER|PASS $DELETE_PASSWORD|UIDL"

# --- Nobody online: a check reaches no server.

notify_from=$(log_size "$NOTIFY_LOG")
delete_from=$(log_size "$DELETE_LOG")
e2e_ctl BETA mail check >/dev/null || e2e_fail "ctl mail check failed with nobody online"
e2e_wait_until 5000 "the checks with nobody online to end" nobody_checking ||
    e2e_fail "the checks still run 5 s after they were fired with nobody online: $(mail_list)"
sleep 1
(($(sessions "$NOTIFY_LOG" "$notify_from") + $(sessions "$DELETE_LOG" "$delete_from") == 0)) ||
    e2e_fail "a check reached a server with nobody online"
expect_uids box1 0
[[ $(e2e_status BETA | jq -r .newMail) == 0 ]] ||
    e2e_fail "BETA's status has newMail other than 0 before any mail: $(e2e_status BETA)"
e2e_pass "with nobody online the checks end without reaching a server; newMail is 0"

# --- ALPHA online.

# alpha_known: BETA knows ALPHA's proxy server as the online address, heard within 5 s.
alpha_known() {
    e2e_proxy_status BETA | jq -e --arg a "$ALPHA_SERVER" '.onlineAddress == $a and
        .onlineAddressAge != null and .onlineAddressAge < 5' >/dev/null
}
e2e_ctl ALPHA line "$ENTRY" up || e2e_fail "ctl line $ENTRY up failed on ALPHA"
e2e_wait_until 10000 "BETA to know ALPHA online" alpha_known ||
    e2e_fail "BETA does not know ALPHA online: $(e2e_proxy_status BETA)"

fire_check "the first check"
expect_sessions "the first check" "$LOGIN1|QUIT" "$LOGIN2|DELE 1|DELE 2|DELE 3|QUIT"
grep -qE "^S[0-9]+ -- CONNECT $ALPHA_LINK:" <(tail -n "+$((notify_from + 1))" "$NOTIFY_LOG") ||
    e2e_fail "the check did not come from ALPHA: $(tail -n 8 "$NOTIFY_LOG")"
expect_notices "the first check" 1
new_mail=$(e2e_status BETA | jq -r .newMail)
if [[ ! $new_mail =~ ^[0-9]+$ ]] || ((new_mail < 50 || new_mail > 60)); then
    e2e_fail "BETA's status has newMail '$new_mail' after the notice, not about 60"
fi
[[ -z $(messages "$DELETE_USER") ]] ||
    e2e_fail "box2's messages are still there: $(messages "$DELETE_USER")"
expect_uids box1 2
expect_uids box2 3
e2e_pass "first check through ALPHA: box1's server got USER, PASS with the clear password, UIDL," \
    "QUIT; one \"$NOTICE\" line, newMail $new_mail; box2's got DELE 1 to 3 and QUIT, its" \
    "mailbox is empty"

add_message "$DELETE_USER" late-1
add_message "$DELETE_USER" late-2
fire_check "the second check"
expect_sessions "the second check" "$LOGIN1|QUIT" "$LOGIN2|DELE 1|DELE 2|QUIT"
expect_notices "the second check" 0
[[ -z $(messages "$DELETE_USER") ]] ||
    e2e_fail "box2's new messages are still there: $(messages "$DELETE_USER")"
expect_uids box1 2
expect_uids box2 2
e2e_pass "second check: no notice for box1's two known messages nor for box2's two deleted ones"

add_message "$NOTIFY_USER" msg-3
fire_check "the third check"
expect_sessions "the third check" "$LOGIN1|QUIT" "$LOGIN2|QUIT"
expect_notices "the third check" 1
expect_uids box1 3
expect_uids box2 0
e2e_pass "third check: box1's third message gives one notice; the empty box2 gets no DELE"

# --- ALPHA's idle hang-up is not held off by the mail checks.

# dropped_count: ALPHA's records of a dropped line.
dropped_count() {
    e2e_dialup_records ALPHA | grep -cE "^!Connection Dropped! $ENTRY after [0-9]+ seconds\$" ||
        true
}
new_count() { e2e_dialup_records ALPHA | grep -cx "!New Connection! $ENTRY" || true; }
dropped_before=$(dropped_count)
e2e_ctl ALPHA line "$ENTRY" down || e2e_fail "ctl line $ENTRY down failed on ALPHA"
line_dropped() { (($(dropped_count) > dropped_before)); }
e2e_wait_until 5000 "ALPHA to record its line down" line_dropped ||
    e2e_fail "ALPHA did not record its line going down: $(e2e_dialup_records ALPHA | tr '\n' '|')"
dropped_before=$(dropped_count)
connected_before=$(new_count)
e2e_ctl ALPHA set AutoDialDisconnectAfter "$IDLE_LIMIT"
e2e_ctl ALPHA connect >/dev/null || e2e_fail "ctl connect failed on ALPHA"
alpha_dialled() { (($(new_count) > connected_before)); }
e2e_wait_until 8000 "ALPHA to dial its line" alpha_dialled ||
    e2e_fail "ALPHA did not dial: $(e2e_dialup_records ALPHA | tr '\n' '|')"
up_at=$(e2e_now_ms)
notify_from=$(log_size "$NOTIFY_LOG")
notices_before=$(e2e_output_count BETA "$NOTICE")
# BETA checks its mail every 2 s from a loop of at most 8 rounds in its namespace (so that the
# run's cleanup ends it too), apart from the polling here, which is slow in the sanitizer builds.
# The loop ends early once the file "stop" exists.
fired="$E2E_TMP/fired" stop="$E2E_TMP/stop"
# shellcheck disable=SC2016 # expanded by the inner shell
ip netns exec "$BETA_NS" bash -c 'for _ in 1 2 3 4 5 6 7 8; do
        timeout -k 2 10 "$1" ctl --data-dir "$2" mail check >/dev/null 2>&1 && echo fired
        for _ in 1 2 3 4 5 6 7 8; do
            [[ -e $3 ]] && exit 0
            sleep 0.25
        done
    done' _ "$HARBOLT" "${E2E_DIR[BETA]}" "$stop" >"$fired" 2>&1 &
checker=$!
disown "$checker"
until line_dropped; do
    now=$(e2e_now_ms)
    ((now - up_at <= 15000)) ||
        e2e_fail "ALPHA's line is still up $(((now - up_at) / 1000)) s after its dial, with" \
            "BETA's mail checks every 2 s: $(e2e_dialup_records ALPHA | tr '\n' '|')"
    sleep "$E2E_POLL"
done
idle=$(($(e2e_now_ms) - up_at))
touch "$stop"
checker_ended() { ! kill -0 "$checker" 2>/dev/null; }
e2e_wait_until 12000 "BETA's check loop to end" checker_ended ||
    e2e_fail "BETA's check loop does not end"
reached=$(sessions "$NOTIFY_LOG" "$notify_from")
checks=$(grep -c fired "$fired" || true)
record=$(e2e_dialup_records ALPHA | grep -E "^!Connection Dropped! $ENTRY after" | tail -n 1)
seconds=${record##*after }
seconds=${seconds%% *}
# The line came up at most about 1 s before its record was seen, the dialer looks once a second
# and hangs up once more than the limit has passed, and the drop is recorded up to 1 s later.
((idle >= (IDLE_LIMIT - 1) * 1000 && idle <= (IDLE_LIMIT + 4) * 1000)) ||
    e2e_fail "ALPHA hung up $idle ms after its dial was seen, limit $IDLE_LIMIT s"
((seconds >= IDLE_LIMIT && seconds <= IDLE_LIMIT + 3)) ||
    e2e_fail "ALPHA's record says its line was up $seconds s: '$record'"
((reached >= 2)) ||
    e2e_fail "only $reached of BETA's $checks checks reached box1's server while ALPHA was up"
(($(notice_count) == 0)) || e2e_fail "checks without new mail gave a notice"
e2e_wait_until 5000 "the last checks to end" nobody_checking ||
    e2e_fail "checks still run 5 s after the last was fired: $(mail_list)"
e2e_pass "ALPHA hung up its own dial $idle ms after it was seen ('$record') while $reached of" \
    "BETA's $checks mail checks went through it"

# --- The mail file, and BETA restarted from it.

e2e_ctl ALPHA unset AutoDialDisconnectAfter
e2e_ctl ALPHA line "$ENTRY" up || e2e_fail "ctl line $ENTRY up failed on ALPHA"
e2e_wait_until 10000 "BETA to know ALPHA online again" alpha_known ||
    e2e_fail "BETA does not know ALPHA online again: $(e2e_proxy_status BETA)"
add_message "$DELETE_USER" last-1
add_message "$DELETE_USER" last-2
fire_check "the check before the restart"
expect_sessions "the check before the restart" "$LOGIN1|QUIT" "$LOGIN2|DELE 1|DELE 2|QUIT"
expect_uids box2 2
# The UIDs changed at the first check, more than 10 s ago: the periodic save has written the file.
mail_file="${E2E_DIR[BETA]}/HarboltMail.DAT"
mail_file_saved() { "$PYTHON" "$PEERS" mail-file "$mail_file" >/dev/null 2>&1; }
e2e_wait_until 11000 "the periodic save of BETA's mail file" mail_file_saved ||
    e2e_fail "BETA's running instance has saved no readable HarboltMail.DAT:" \
        "$("$PYTHON" "$PEERS" mail-file "$mail_file" 2>&1)"
e2e_ctl BETA mail settings --frequency 7 --sound ding.wav >/dev/null ||
    e2e_fail "ctl mail settings failed on BETA"

e2e_stop BETA
((E2E_EXITCODE[BETA] == 0)) || e2e_fail "BETA ended with status ${E2E_EXITCODE[BETA]} on SIGTERM"
[[ -f $mail_file ]] || e2e_fail "BETA left no HarboltMail.DAT: $(ls -la "${E2E_DIR[BETA]}")"
[[ ! -e ${E2E_DIR[BETA]}/HarboltMail.DA\$ ]] || e2e_fail "BETA left HarboltMail.DA\$ behind"
[[ $(stat -c %a "$mail_file") == 600 ]] ||
    e2e_fail "HarboltMail.DAT has mode $(stat -c %a "$mail_file"), not 600"
for clear in "$NOTIFY_PASSWORD" "$NOTIFY_PASSWORD_CP1252" "$DELETE_PASSWORD"; do
    if LC_ALL=C grep -qaF -- "$clear" "$mail_file"; then
        e2e_fail "HarboltMail.DAT holds a clear password: $(od -c "$mail_file" | head -n 20)"
    fi
done
dump=$("$PYTHON" "$PEERS" mail-file "$mail_file") || e2e_fail "HarboltMail.DAT: $dump"
expected=$(jq -cn --arg s1 "$INTERNET" --arg u1 "$NOTIFY_USER" \
    --arg s2 "$INTERNET:$DELETE_PORT" --arg u2 "$DELETE_USER" \
    --argjson l1 "$NOTIFY_PASSWORD_BYTES" --argjson l2 "${#DELETE_PASSWORD}" \
    '{frequency: 7, trigger: 0, sound: "ding.wav", accounts: [
        {name: "box1", server: $s1, user: $u1, length: $l1, action: 3,
         uids: ["msg-1", "msg-2", "msg-3"]},
        {name: "box2", server: $s2, user: $u2, length: $l2, action: 32768,
         uids: ["last-1", "last-2"]}]}')
got=$(LC_ALL=C jq -c '.accounts |= map(.length = (.passwordHex | length / 2) |
    del(.passwordHex) | {name, server, user, length, action, uids}) |
    {frequency, trigger, sound, accounts}' <<<"$dump")
[[ $got == "$expected" ]] ||
    e2e_fail "HarboltMail.DAT holds $got, expected $expected"
e2e_pass "HarboltMail.DAT (mode 600): both mailboxes with their UIDs, actions 3 and 32768," \
    "the passwords scrambled at their lengths, frequency 7 and ding.wav"

e2e_start BETA 2
list=$(mail_list)
[[ $(e2e_json "$list" '[.frequency, .dial, .sound] | map(tostring) | join("|")') == \
    "7|false|ding.wav" && $(mailbox box1) == "$INTERNET|$NOTIFY_USER|notify-new|3|false" &&
    $(mailbox box2) == "$INTERNET:$DELETE_PORT|$DELETE_USER|delete-all|2|false" ]] ||
    e2e_fail "BETA restarted lists $list"
e2e_wait_until 10000 "the restarted BETA to know ALPHA online" alpha_known ||
    e2e_fail "the restarted BETA does not know ALPHA online: $(e2e_proxy_status BETA)"
fire_check "the check after the restart"
expect_sessions "the check after the restart" "$LOGIN1|QUIT" "$LOGIN2|QUIT"
expect_notices "the check after the restart" 0
expect_uids box1 3
expect_uids box2 0
e2e_pass "BETA restarted from its data directory lists both mailboxes with 3 and 2 UIDs and the" \
    "settings; its check logs in with the clear password and finds nothing new"

# --- A mailbox whose login the server refuses.

set_mailbox box3 "$INTERNET" intruder guess-3 notify-new
fire_check "the check with a refused login"
got=$(session "$NOTIFY_LOG" "$notify_from" | sort | paste -sd '#' -)
expected=$(printf '%s\n' "$LOGIN1|QUIT" "USER intruder|PASS guess-3" | sort | paste -sd '#' -)
[[ $got == "$expected" ]] ||
    e2e_fail "box1's server got the sessions '$got', expected '$expected' (no QUIT after a" \
        "refused login)"
expect_notices "the check with a refused login" 0
expect_uids box3 0
expect_uids box1 3
e2e_ctl BETA mail remove box3 >/dev/null || e2e_fail "ctl mail remove box3 failed"
[[ $(mail_list | jq -c '[.mailboxes[].name]') == '["box1","box2"]' ]] ||
    e2e_fail "after ctl mail remove box3 BETA lists $(mail_list)"
e2e_pass "a refused login ends the check without UIDL or QUIT, leaving no UIDs and no check" \
    "running; ctl mail remove takes the mailbox away"

for name in ALPHA BETA; do
    for clear in "$NOTIFY_PASSWORD" "$NOTIFY_PASSWORD_CP1252" "$DELETE_PASSWORD"; do
        if LC_ALL=C grep -qaF -- "$clear" "$(e2e_logfile "$name")"; then
            e2e_fail "$name's output shows a mailbox password:" \
                "$(LC_ALL=C grep -aF -- "$clear" "$(e2e_logfile "$name")" | head -n 3)"
        fi
    done
done
e2e_pass "no mailbox password in the output of ALPHA or BETA"

e2e_done
