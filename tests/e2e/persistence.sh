#!/usr/bin/env bash
# What `ctl set` changes reaches the data file within one save interval, survives `ctl quit`
# and a restart; a change made just before quitting or SIGTERM is saved on the way out; and a
# second instance on the same data directory refuses to start; a zero-filled mail file is kept
# aside and its backup loaded, and the backup is still the same file after the next quit.
# Usage: persistence.sh HARBOLT SEND_DATAGRAM
# shellcheck disable=SC2317 # predicates run through e2e_wait_until
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_init "$@"

e2e_host 1
e2e_start ALPHA 1
e2e_set_address ALPHA

# saved_value NAME KEY: KEY of the own computer as NAME's data file holds it (empty when absent
# or when there is no readable file yet).
saved_value() {
    local file json
    file=$(e2e_datafile "$1")
    [[ -f $file ]] || return 0
    json=$("$HARBOLT" data dump --json "$file" 2>/dev/null) || return 0
    # shellcheck disable=SC2016 # $k is jq's
    e2e_json "$json" '.computers[] | select(.own == true) | .properties[$k] // empty' --arg k "$2"
}

# --- A second instance on the same data directory.

second_log="$E2E_TMP/second.log"
status=0
timeout -k 2 10 ip netns exec "$(e2e_host_ns 1)" "$HARBOLT" --headless --name ALPHA \
    --data-dir "${E2E_DIR[ALPHA]}" --clock-log "$E2E_TMP/second.clock" >"$second_log" 2>&1 ||
    status=$?
((status == 1)) ||
    e2e_fail "a second instance on ALPHA's data directory ended with status $status (expected 1): $(cat "$second_log")"
grep -qi "already running" "$second_log" ||
    e2e_fail "the second instance does not say why it refuses: '$(cat "$second_log")'"
e2e_running ALPHA || e2e_fail "ALPHA ended when a second instance tried its data directory"
e2e_ctl ALPHA status --json >/dev/null || e2e_fail "ALPHA does not answer after the second start"
e2e_pass "a second instance refuses the data directory: $(head -n 1 "$second_log")"

# --- Saved within one save interval.

readonly VALUE="kept $$ $RANDOM: ä=ü"
e2e_ctl ALPHA set E2eProbe "$VALUE"
saved() { [[ $(saved_value ALPHA E2eProbe) == "$VALUE" ]]; }
e2e_wait_until 11000 "E2eProbe in ALPHA's Harbolt.DAT" saved ||
    e2e_fail "E2eProbe is not in ALPHA's data file 11 s after ctl set (file holds '$(saved_value ALPHA E2eProbe)')"
e2e_pass "E2eProbe is in Harbolt.DAT $E2E_WAITED_MS ms after ctl set"

# --- Saved on ctl quit, and read back at the next start.

e2e_ctl ALPHA set E2eQuitProbe "set just before quit"
e2e_ctl ALPHA quit || e2e_fail "ctl quit failed"
e2e_reap ALPHA 5000 || e2e_fail "ALPHA still runs 5 s after ctl quit"
((E2E_EXITCODE[ALPHA] == 0)) || e2e_fail "ALPHA ended with status ${E2E_EXITCODE[ALPHA]} after ctl quit"
[[ $(saved_value ALPHA E2eQuitProbe) == "set just before quit" ]] ||
    e2e_fail "the change made just before ctl quit is not in the data file"
if e2e_ctl ALPHA status --json >/dev/null 2>&1; then
    e2e_fail "ctl status still answers after ALPHA quit"
fi
e2e_pass "ctl quit ends ALPHA with status 0 and saves the change made just before it"

e2e_start ALPHA 1
for key in E2eProbe E2eQuitProbe; do
    expected=$([[ $key == E2eProbe ]] && echo "$VALUE" || echo "set just before quit")
    value=$(e2e_get ALPHA "$key")
    [[ $value == "$expected" ]] || e2e_fail "after the restart $key is '$value', expected '$expected'"
done
e2e_pass "after a restart ALPHA has E2eProbe and E2eQuitProbe as they were set"

# --- A deletion is kept as well; SIGTERM saves like ctl quit.

e2e_ctl ALPHA unset E2eProbe
e2e_ctl ALPHA set E2eTermProbe "set just before SIGTERM"
e2e_stop ALPHA
((E2E_EXITCODE[ALPHA] == 0)) || e2e_fail "ALPHA ended with status ${E2E_EXITCODE[ALPHA]} on SIGTERM"
[[ $(saved_value ALPHA E2eTermProbe) == "set just before SIGTERM" ]] ||
    e2e_fail "the change made just before SIGTERM is not in the data file"
[[ -z $(saved_value ALPHA E2eProbe) ]] || e2e_fail "the deleted E2eProbe is still in the data file"
e2e_start ALPHA 1
[[ -z $(e2e_get ALPHA E2eProbe) ]] || e2e_fail "E2eProbe is back after the restart"
[[ $(e2e_get ALPHA E2eTermProbe) == "set just before SIGTERM" ]] ||
    e2e_fail "E2eTermProbe is lost after SIGTERM and restart"
[[ $(e2e_get ALPHA ProxyServerAddress) == "10.77.0.1:1977" ]] ||
    e2e_fail "ProxyServerAddress is lost after two restarts"
e2e_pass "SIGTERM saves; a deleted key stays deleted across a restart"

# --- A damaged mail file costs nothing but itself.

quit_alpha() {
    e2e_ctl ALPHA quit || e2e_fail "ctl quit failed"
    e2e_reap ALPHA 5000 || e2e_fail "ALPHA still runs 5 s after ctl quit"
}
mail_names() { e2e_ctl ALPHA mail list --json | jq -r '[.mailboxes[].name] | join(" ")'; }
readonly MAIL_FILE="${E2E_DIR[ALPHA]}/HarboltMail.DAT" MAIL_BACKUP="${E2E_DIR[ALPHA]}/HarboltMail.BAK"
echo anna-secret | e2e_ctl ALPHA mail set Home --server mail.test --user anna --action none --password-stdin >/dev/null
quit_alpha
e2e_start ALPHA 1
echo bert-secret | e2e_ctl ALPHA mail set Work --server mail.test --user bert --action none --password-stdin >/dev/null
quit_alpha
[[ -s $MAIL_FILE && -s $MAIL_BACKUP ]] || e2e_fail "no mail file and backup after two quits: $(ls "${E2E_DIR[ALPHA]}")"
backup_sum=$(sha256sum <"$MAIL_BACKUP")
head -c "$(stat -c %s "$MAIL_FILE")" /dev/zero >"$MAIL_FILE.zero"
mv "$MAIL_FILE.zero" "$MAIL_FILE"
e2e_start ALPHA 1
[[ $(mail_names) == Home ]] || e2e_fail "with a zero-filled mail file ALPHA has the mailboxes '$(mail_names)'"
load_error=$(e2e_status ALPHA | jq -r '.loadError // empty')
[[ $load_error == *HarboltMail.DAT* ]] || e2e_fail "ctl status does not say the mail file is damaged: '$load_error'"
damaged=("$MAIL_FILE".damaged-*)
[[ -f ${damaged[0]} ]] || e2e_fail "the damaged mail file is not kept aside: $(ls "${E2E_DIR[ALPHA]}")"
cmp -s "${damaged[0]}" <(head -c "$(stat -c %s "${damaged[0]}")" /dev/zero) ||
    e2e_fail "${damaged[0]##*/} is not the zero-filled file"
quit_alpha
[[ $(sha256sum <"$MAIL_BACKUP") == "$backup_sum" ]] || e2e_fail "the quit after loading the backup changed it"
e2e_start ALPHA 1
[[ $(mail_names) == Home ]] || e2e_fail "after the next start ALPHA has the mailboxes '$(mail_names)'"
e2e_pass "a zero-filled mail file is kept as ${damaged[0]##*/}, its backup is loaded and said in" \
    "ctl status ('$load_error'), and the backup is unchanged after quit"

e2e_done
