#!/usr/bin/env bash
# A lone instance shows itself: its own status line, its language and the tray text, in English
# and, under a German locale, in German.
# Usage: status.sh HARBOLT SEND_DATAGRAM
# shellcheck disable=SC2317 # predicates run through e2e_wait_until
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_init "$@"

# check_lone NAME SHOWN LANGUAGE STATUS ONLINE_TEXT
check_lone() {
    local name=$1 shown=$2 language=$3 status=$4 online=$5 json
    own_line_shown() {
        json=$(e2e_status "$name") &&
            [[ $(e2e_json "$json" '.computers[0].status') == "$status" ]]
    }
    e2e_wait_until 3000 "$name's own status line \"$status\"" own_line_shown ||
        e2e_fail "$name's own status line is '$(e2e_json "$json" '.computers[0].status')', expected '$status'"
    local got
    got=$(e2e_json "$json" '[.name, .language, .onlineText, (.computers | length),
        .computers[0].name, .computers[0].alive, .computers[0].online] | map(tostring) | join("|")')
    [[ $got == "$name|$language|$online|1|$shown|true|false" ]] ||
        e2e_fail "$name's status: name|language|onlineText|computers|own entry|alive|online = '$got'"
    e2e_pass "$name alone ($language): \"$status\", tray text \"$online\""
}

e2e_start ALPHA -
check_lone ALPHA Alpha en "ALPHA is registrated in the local net; I am ALPHA." "(all offline)"
e2e_stop ALPHA

if ! command -v localedef >/dev/null || [[ ! -f /usr/share/i18n/locales/de_DE ]]; then
    e2e_log "SKIP (German part): needs localedef and /usr/share/i18n/locales/de_DE, from the Debian package locales"
    e2e_done
fi
locales="$E2E_TMP/locales"
mkdir -p "$locales"
# localedef warns (status 1) about details of some locale sources and still writes the locale.
localedef -i de_DE -f UTF-8 "$locales/de_DE.UTF-8" >"$E2E_TMP/localedef.log" 2>&1 || true
[[ -f $locales/de_DE.UTF-8/LC_TIME ]] ||
    e2e_fail "localedef made no de_DE.UTF-8 locale: $(cat "$E2E_TMP/localedef.log")"
e2e_start DELTA - LOCPATH="$locales" LANG=de_DE.UTF-8 LC_ALL=de_DE.UTF-8
check_lone DELTA Delta de "DELTA ist im Netzwerk angemeldet; DELTA bin ich." "(alle offline)"

e2e_done
