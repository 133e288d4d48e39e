#!/usr/bin/env bash
# The LAN key keeps a computer without it out. ALPHA (10.77.0.1) and BETA (10.77.0.2) share a
# key; ALPHA is online with a simulated line and runs an echo server on its loopback, BETA's
# trigger mapping leads there. EVIL (10.77.0.3) is a real instance without the key that plays a
# computer of its own: proxy services, online with a simulated line, time master, and a server on
# its loopback that answers every line with "EVIL-" in front. Host 4 is an intruder that replays
# one of ALPHA's announcements. In this order:
#  - a key shorter than 16 bytes is refused; ALPHA and BETA get the same fingerprint, the key file
#    has mode 0600;
#  - ALPHA and BETA see each other alive, replicate, and all of BETA's tunnels reach ALPHA's echo,
#    none EVIL; EVIL, without a key, still hears the sealed announcements of both;
#  - "UPDATE!" and a tunnel request from EVIL's host get no byte from ALPHA and BETA, while EVIL's
#    own server port answers the same probes (journal bytes, the "EVIL-" line);
#  - no clock follows EVIL's time nor a time datagram named EVIL from send_datagram; BETA as time
#    master sets ALPHA's clock and keeps its seat;
#  - `ctl status` (text and JSON) lists EVIL at its address as untrusted, and on BETA the replayed
#    datagram of host 4; EVIL is neither alive nor online there;
#  - BETA's key file gets another key, without a restart: BETA takes it within 5 s, ALPHA lists
#    BETA untrusted and a change of BETA's stays away; with the key back (`ctl lan-key set`) the
#    change arrives;
#  - `lan-key clear` on ALPHA: no key in its status, and ALPHA takes EVIL in and sets its clock
#    from EVIL's time at once, which shows it was the key that kept EVIL out;
#  - the key is in no data file.
# Usage: lankey.sh HARBOLT SEND_DATAGRAM
# shellcheck disable=SC2317 # predicates run through e2e_wait_until
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_init "$@"
E2E_EXTRA_ARGS=(--dialup sim)
command -v socat >/dev/null || e2e_fail "the socat command (Debian package socat) is missing"
command -v python3 >/dev/null || e2e_fail "python3 (Debian package python3) is missing"

INTRUDER="$(dirname "${BASH_SOURCE[0]}")/lankey_intruder.py"
readonly INTRUDER
readonly KEY="lankey-e2e-$$-the-shared-secret"
readonly OTHER_KEY="lankey-e2e-$$-another-secret"
readonly SERVER_PORT=1977
readonly TRIGGER_PORT=7001 # BETA's mapping
readonly ECHO_PORT=7777    # ALPHA's echo and EVIL's marker server, each on its own loopback
readonly ECHO_TARGET=127.0.0.1:$ECHO_PORT
readonly TUNNELS=10
readonly FINGERPRINT_RE='^LAN key set, fingerprint ([0-9a-f]{4}(-[0-9a-f]{4}){3})$'
# A line of `ctl status` about a computer that has both kinds of traffic dropped.
readonly UNTRUSTED_RE='^Untrusted +[A-Za-z]+ at [0-9.]+: [0-9]+ datagrams?, [0-9]+ connections? '\
'dropped \(last: [a-zA-Z ]+\), [0-9]+ s ago$'
readonly NO_KEY_LINE="no LAN key: every computer on the LAN is trusted"
# What a computer without the key, or its host, is refused for.
readonly KEYLESS_FAILURES='["no LAN key", "a connection without the LAN key handshake"]'
readonly OTHER_KEY_FAILURES='["another LAN key or a forged MAC", "a failed LAN key handshake"]'

# --- Helpers of this script.

# lk_set_key NAME SECRET: `ctl lan-key set` with SECRET on standard input; sets LK_FINGERPRINT
# to the fingerprint it prints.
LK_FINGERPRINT=""
lk_set_key() {
    local output
    output=$(e2e_ctl "$1" lan-key set <<<"$2" 2>&1) ||
        e2e_fail "ctl lan-key set on $1 failed: $output"
    [[ $output =~ $FINGERPRINT_RE ]] ||
        e2e_fail "ctl lan-key set on $1 printed '$output', not 'LAN key set, fingerprint ...'"
    LK_FINGERPRINT=${BASH_REMATCH[1]}
}

# lk_intruder FROM_SLOT ARGS...: the intruder tool run on the host of FROM_SLOT.
lk_intruder() {
    local slot=$1
    shift
    timeout -k 2 20 ip netns exec "$(e2e_host_ns "$slot")" python3 "$INTRUDER" "$@"
}

# lk_untrusted VIEWER ADDRESS: the entry of ADDRESS in VIEWER's untrusted list on one line
# ("null" when there is none).
lk_untrusted() {
    e2e_status "$1" | jq -c --arg a "$2" 'first(.untrusted[]? | select(.address == $a)) // null'
}

# lk_untrusted_is VIEWER ADDRESS NAME FAILURES: VIEWER lists ADDRESS as untrusted under NAME (any
# case) with one of the FAILURES (a JSON array) as the last.
lk_untrusted_is() {
    lk_untrusted "$1" "$2" | jq -e --arg n "$3" --argjson f "$4" '. != null and
        (.name | ascii_downcase) == ($n | ascii_downcase) and
        (.lastFailure as $l | $f | index($l)) != null' >/dev/null
}

# lk_fingerprint NAME: the fingerprint in NAME's status ("null" without a key).
lk_fingerprint() { e2e_status "$1" | jq -r .lanKey.fingerprint; }

# lk_clock_grown NAME COUNT: NAME's clock log has more than COUNT lines.
lk_clock_grown() { (($(e2e_clock_lines "$1") > $2)); }

# lk_alive VIEWER COMPUTER: VIEWER lists COMPUTER (any case) alive.
lk_alive() {
    e2e_status "$1" | jq -e --arg c "$2" \
        'any(.computers[]; (.name | ascii_downcase) == ($c | ascii_downcase) and .alive)' \
        >/dev/null
}

# lk_copy VIEWER COMPUTER KEY: the property KEY of COMPUTER in VIEWER's copy.
lk_copy() {
    e2e_ctl "$1" list "$2" --json 2>/dev/null | jq -r --arg k "$3" '.[$k] // empty'
}

# --- The hosts, the keys.

for slot in 1 2 3 4; do
    e2e_host "$slot"
done
e2e_start ALPHA 1
e2e_start BETA 2

errors="$E2E_TMP/short-key.err"
status=0
e2e_ctl ALPHA lan-key set <<<"short" >/dev/null 2>"$errors" || status=$?
if ((status != 1)) || ! grep -q "a LAN key needs at least 16 bytes; this one has 5" "$errors"; then
    e2e_fail "a 5-byte key: ctl lan-key set ended with $status and said '$(cat "$errors")'"
fi
[[ $(e2e_ctl ALPHA lan-key status) == "$NO_KEY_LINE" ]] ||
    e2e_fail "after the refused key ALPHA says '$(e2e_ctl ALPHA lan-key status)'"
e2e_pass "a 5-byte key is refused with status 1 and the reason; ALPHA stays without a key"

lk_set_key ALPHA "$KEY"
readonly FINGERPRINT=$LK_FINGERPRINT
lk_set_key BETA "$KEY"
[[ $LK_FINGERPRINT == "$FINGERPRINT" ]] ||
    e2e_fail "ALPHA and BETA show different fingerprints for one key:" \
        "$FINGERPRINT and $LK_FINGERPRINT"
[[ $(e2e_ctl BETA lan-key status) == "LAN key set, fingerprint $FINGERPRINT" ]] ||
    e2e_fail "ctl lan-key status on BETA says '$(e2e_ctl BETA lan-key status)'"
mode=$(stat -c %a "${E2E_DIR[ALPHA]}/LanKey" 2>&1) || true
[[ $mode == 600 ]] || e2e_fail "ALPHA's key file has mode '$mode', not 600"
e2e_pass "ALPHA and BETA share the key, fingerprint $FINGERPRINT; the key file has mode 600"

# --- ALPHA online with the echo, BETA's mapping to it, EVIL.

e2e_spawn "${E2E_NS[ALPHA]}" "$E2E_TMP/echo-ALPHA.log" socat \
    "TCP-LISTEN:$ECHO_PORT,bind=127.0.0.1,reuseaddr,fork" PIPE
e2e_ctl BETA set ProxyMapping00 ":$TRIGGER_PORT -> $ECHO_TARGET, trigger"
for name in ALPHA BETA; do
    e2e_set_address "$name"
    e2e_ctl "$name" set ProxyEnabled yes
    e2e_ctl "$name" proxy restart >/dev/null
done
e2e_ctl ALPHA line SimLine up >/dev/null || e2e_fail "ctl line SimLine up on ALPHA failed"

e2e_start EVIL 3
e2e_spawn "${E2E_NS[EVIL]}" "$E2E_TMP/marker-EVIL.log" socat \
    "TCP-LISTEN:$ECHO_PORT,bind=127.0.0.1,reuseaddr,fork" SYSTEM:"sed -u s/^/EVIL-/"
e2e_set_address EVIL
e2e_ctl EVIL set ProxyEnabled yes
e2e_ctl EVIL set Timemaster yes
evil_master_at=$(e2e_now_ms)
e2e_ctl EVIL proxy restart >/dev/null
e2e_ctl EVIL line SimLine up >/dev/null || e2e_fail "ctl line SimLine up on EVIL failed"

readonly ALPHA_SERVER="${E2E_ADDR[ALPHA]}:$SERVER_PORT" EVIL_ADDRESS=${E2E_ADDR[EVIL]}
readonly HOST4=$E2E_SUBNET.4

ready() {
    local name port
    for name in ALPHA BETA EVIL; do
        for port in "$SERVER_PORT" "$ECHO_PORT" "$TRIGGER_PORT"; do
            [[ $name != BETA && $port == "$TRIGGER_PORT" ]] && continue
            [[ $name == BETA && $port == "$ECHO_PORT" ]] && continue
            e2e_tcp_listening "${E2E_NS[$name]}" "$port" || return 1
        done
    done
    [[ $(e2e_alive_names ALPHA | tr '\n' ' ') == "Alpha Beta " &&
        $(e2e_alive_names BETA | tr '\n' ' ') == "Alpha Beta " ]] || return 1
    e2e_proxy_status BETA | jq -e --arg a "$ALPHA_SERVER" \
        '.onlineAddress == $a and .onlineAddressAge != null and .onlineAddressAge < 5' \
        >/dev/null || return 1
    [[ $(e2e_field EVIL Evil online) == true ]]
}
e2e_wait_until 10000 "the ports, ALPHA and BETA alive on both, ALPHA online on BETA, EVIL online" \
    ready || e2e_fail "not ready after 10 s: ALPHA sees '$(e2e_roster ALPHA)', BETA's proxy" \
    "$(e2e_proxy_status BETA | jq -c '{onlineAddress, onlineAddressAge}'), EVIL's own line" \
    "online='$(e2e_field EVIL Evil online)'"
e2e_pass "ALPHA and BETA see each other alive with the key; BETA knows ALPHA online"

evil_hears() { lk_alive EVIL Alpha && lk_alive EVIL Beta; }
e2e_wait_until 6000 "EVIL to list Alpha and Beta alive" evil_hears ||
    e2e_fail "EVIL, without a key, does not hear the sealed announcements: $(e2e_roster EVIL)"
e2e_pass "EVIL, without a key, still hears the sealed announcements of Alpha and Beta"

readonly KEYED_VALUE="keyed $$"
e2e_ctl ALPHA set E2eKeyed "$KEYED_VALUE"
replicated() { [[ $(lk_copy BETA Alpha E2eKeyed) == "$KEYED_VALUE" ]]; }
e2e_wait_until 8000 "E2eKeyed of ALPHA in BETA's copy" replicated ||
    e2e_fail "BETA's copy of ALPHA has no E2eKeyed 8 s after ctl set on ALPHA"
e2e_pass "a property set on ALPHA reached BETA over the keyed handshake after $E2E_WAITED_MS ms"

# --- BETA's tunnels go to ALPHA, never to EVIL, which is online too.

for ((i = 1; i <= TUNNELS; i++)); do
    online=$(e2e_proxy_status BETA | jq -r .onlineAddress)
    [[ $online == "$ALPHA_SERVER" ]] ||
        e2e_fail "before tunnel $i BETA's online address is '$online', not ALPHA's $ALPHA_SERVER"
    result=$(e2e_line_client BETA "${E2E_ADDR[BETA]}" "$TRIGGER_PORT" "tunnel-$i")
    [[ $result != "DATA EVIL-"* ]] || e2e_fail "tunnel $i went to EVIL: \"$result\""
    [[ $result == "DATA tunnel-$i ${result##* }" ]] ||
        e2e_fail "tunnel $i through BETA's mapping got \"$result\", expected its echo"
done
e2e_pass "$TUNNELS of $TUNNELS tunnels through BETA's mapping got ALPHA's echo, none EVIL's marker"

# --- Probes from EVIL's host: no byte from ALPHA and BETA. EVIL's own server port answers the
# same probes, so the probes are sound.

for name in ALPHA BETA; do
    for kind in update tunnel; do
        result=$(lk_intruder 3 ask "${E2E_ADDR[$name]}" "$SERVER_PORT" "$kind" "$ECHO_TARGET") ||
            e2e_fail "the $kind probe of $name's server port failed: $result"
        [[ $result =~ ^bytes=0\ closed=yes\ ms=([0-9]+)\  ]] ||
            e2e_fail "the $kind probe from EVIL's host to $name's server port: $result"
        ((BASH_REMATCH[1] < 2000)) ||
            e2e_fail "$name took ${BASH_REMATCH[1]} ms to close the $kind probe"
    done
done
result=$(lk_intruder 4 ask "$EVIL_ADDRESS" "$SERVER_PORT" update)
[[ $result =~ ^bytes=([0-9]+)\ closed=yes && ${BASH_REMATCH[1]} -gt 12 ]] ||
    e2e_fail "EVIL's server port does not serve its journal to the same probe: $result"
result=$(lk_intruder 4 ask "$EVIL_ADDRESS" "$SERVER_PORT" tunnel "$ECHO_TARGET")
[[ $result == *" text=EVIL-intruder" ]] ||
    e2e_fail "EVIL's server port does not tunnel the same probe to its marker server: $result"
e2e_pass "\"UPDATE!\" and a tunnel request from EVIL's host are closed by ALPHA and BETA without" \
    "a byte; EVIL's keyless server answers the same probes"

# --- Host 4 replays one of ALPHA's announcements.

result=$(lk_intruder 4 replay "${E2E_ADDR[ALPHA]}" "$E2E_SUBNET.255") ||
    e2e_fail "host 4 could not replay an announcement of ALPHA's: $result"
[[ $result =~ ^type=[1-4]\ name=ALPHA\ sealed=yes$ ]] ||
    e2e_fail "ALPHA's announcement as host 4 heard it: $result"
replay_dropped() {
    lk_untrusted_is BETA "$HOST4" ALPHA '["a replayed datagram"]'
}
e2e_wait_until 6000 "BETA to list host 4's replay as untrusted" replay_dropped ||
    e2e_fail "BETA does not list $HOST4 for a replayed datagram: $(lk_untrusted BETA "$HOST4")"
e2e_pass "ALPHA's announcements carry the seal; BETA drops the copy host 4 replayed ($result)"

# --- Time: EVIL is time master, and its time sets no clock. BETA's does, and BETA keeps its seat
# against EVIL and a time datagram named EVIL.

since=$(($(e2e_now_ms) - evil_master_at))
((since >= 5000)) || sleep $(((5000 - since + 999) / 1000))
since=$(($(e2e_now_ms) - evil_master_at))
for name in ALPHA BETA; do
    (($(e2e_clock_lines "$name") == 0)) ||
        e2e_fail "$name set its clock while only EVIL was time master:" \
            "$(head -n 3 "$(e2e_clocklog "$name")")"
done
e2e_pass "EVIL has been time master for $((since / 1000)) s and no clock followed it"

e2e_ctl BETA set Timemaster yes
e2e_wait_until 10000 "ALPHA to record BETA's time" lk_clock_grown ALPHA 0 ||
    e2e_fail "ALPHA did not record BETA's time within 10 s of BETA becoming time master"
ip netns exec "$(e2e_host_ns 3)" "$SEND_DATAGRAM" --to "$E2E_SUBNET.255" --broadcast \
    --port "$E2E_PORT" --size 512 --type 3 --name EVIL
before=$(e2e_clock_lines ALPHA)
sleep 4
added=$(($(e2e_clock_lines ALPHA) - before))
# One a second from BETA; EVIL's, were they taken, would double that.
((added >= 2 && added <= 5)) ||
    e2e_fail "ALPHA recorded $added times in 4 s (one a second from BETA expected)"
(($(e2e_clock_lines BETA) == 0)) ||
    e2e_fail "BETA, the time master, set its clock: $(head -n 3 "$(e2e_clocklog BETA)")"
[[ $(e2e_get BETA Timemaster) == yes ]] ||
    e2e_fail "BETA gave way as time master: Timemaster='$(e2e_get BETA Timemaster)'"
for name in ALPHA BETA; do
    ! grep -qi "time sent by EVIL" "$(e2e_logfile "$name")" ||
        e2e_fail "EVIL's time datagram reached the handling on $name:" \
            "$(grep -i "time sent by EVIL" "$(e2e_logfile "$name")" | head -n 2)"
done
e2e_pass "ALPHA follows BETA's time ($added times in 4 s); BETA keeps its seat; EVIL's time" \
    "datagrams, send_datagram's included, never reach the handling"

# --- The untrusted list.

for name in ALPHA BETA; do
    json=$(e2e_status "$name")
    # shellcheck disable=SC2016 # $a is jq's
    entry=$(e2e_json "$json" 'first(.untrusted[]? | select(.address == $a)) // null' \
        --arg a "$EVIL_ADDRESS")
    jq -e --argjson f "$KEYLESS_FAILURES" '. != null and (.name | ascii_downcase) == "evil" and
        .datagramsDropped > 0 and .connectionsRefused >= 2 and
        (.lastFailure as $l | $f | index($l)) != null and .secondsAgo <= 3' \
        <<<"$entry" >/dev/null ||
        e2e_fail "$name's untrusted entry of $EVIL_ADDRESS: $entry (all: $(e2e_json "$json" \
            '.untrusted' -c))"
    [[ $(e2e_json "$json" '"\(.lanKey.set) \(.lanKey.fingerprint)"') == "true $FINGERPRINT" ]] ||
        e2e_fail "$name's status shows the key as $(e2e_json "$json" .lanKey -c)"
    shown=$(e2e_json "$json" 'any(.computers[]; (.name | ascii_downcase) == "evil" and
        (.alive or .online)) or (.onlineText // "" | ascii_downcase | contains("evil"))')
    [[ $shown == false ]] || e2e_fail "$name shows EVIL alive or online ($shown): $json"

    text=$(e2e_ctl "$name" status)
    grep -qx "LAN key  *set, fingerprint $FINGERPRINT" <<<"$text" ||
        e2e_fail "$name's ctl status has no 'LAN key set, fingerprint' line: $text"
    line=$(grep -iE "^Untrusted +EVIL at $EVIL_ADDRESS: " <<<"$text" || true)
    [[ $line =~ $UNTRUSTED_RE ]] ||
        e2e_fail "$name's ctl status has no well-formed Untrusted line of EVIL: $text"
    # The table: COMPUTER ALIVE ONLINE ...; EVIL has no row with "yes" in either column.
    ! grep -iqE '^evil +(yes|no +yes)( |$)' <<<"$text" ||
        e2e_fail "EVIL is alive or online in $name's table: $text"
    e2e_log "$name: $line"
    grep -q "not trusting EVIL at $EVIL_ADDRESS: no LAN key" "$(e2e_logfile "$name")" ||
        e2e_fail "$name's events log does not say that it does not trust EVIL"
done
e2e_pass "ALPHA and BETA list EVIL at $EVIL_ADDRESS as untrusted (text, JSON and events log);" \
    "neither shows it alive or online"

# --- Another key on BETA, without a restart: written into its key file, as by hand (the instance
# watches the file); then the key again with `ctl lan-key set`.

(umask 077 && printf '%s\n' "$OTHER_KEY" >"${E2E_DIR[BETA]}/LanKey.new")
mv "${E2E_DIR[BETA]}/LanKey.new" "${E2E_DIR[BETA]}/LanKey"
other_key_taken() { [[ $(lk_fingerprint BETA) != "$FINGERPRINT" ]]; }
e2e_wait_until 5000 "BETA to take the key file's new key" other_key_taken ||
    e2e_fail "BETA still uses the fingerprint $(lk_fingerprint BETA) 5 s after its key file changed"
e2e_log "BETA took the new key, fingerprint $(lk_fingerprint BETA), after $E2E_WAITED_MS ms"
readonly APART_VALUE="apart $$"
e2e_ctl BETA set E2eApart "$APART_VALUE"
beta_untrusted() { lk_untrusted_is ALPHA "${E2E_ADDR[BETA]}" BETA "$OTHER_KEY_FAILURES"; }
e2e_wait_until 8000 "ALPHA to list BETA as untrusted" beta_untrusted ||
    e2e_fail "ALPHA does not list BETA, with another key, as untrusted:" \
        "$(lk_untrusted ALPHA "${E2E_ADDR[BETA]}")"
apart_after=$E2E_WAITED_MS
sleep 1.5
[[ -z $(lk_copy ALPHA Beta E2eApart) ]] ||
    e2e_fail "BETA's change made under another key reached ALPHA"
e2e_pass "BETA took another key from its file without a restart; ALPHA lists it untrusted after" \
    "$apart_after ms" \
    "($(lk_untrusted ALPHA "${E2E_ADDR[BETA]}" | jq -r .lastFailure)) and takes none of its changes"

lk_set_key BETA "$KEY"
[[ $LK_FINGERPRINT == "$FINGERPRINT" ]] ||
    e2e_fail "the key again on BETA shows the fingerprint $LK_FINGERPRINT, not $FINGERPRINT"
together() { [[ $(lk_copy ALPHA Beta E2eApart) == "$APART_VALUE" ]] && lk_alive ALPHA Beta; }
e2e_wait_until 12000 "BETA's change to reach ALPHA with the key again" together ||
    e2e_fail "with the key back BETA's change did not reach ALPHA within 12 s" \
        "(E2eApart='$(lk_copy ALPHA Beta E2eApart)', ALPHA sees $(e2e_roster ALPHA))"
e2e_pass "with the key again BETA is trusted: its change reached ALPHA after $E2E_WAITED_MS ms"
beta_dropped() { lk_untrusted ALPHA "${E2E_ADDR[BETA]}" | jq -r '.datagramsDropped // 0'; }
dropped=$(beta_dropped)

# --- The key cleared on ALPHA: EVIL is taken in at once.

e2e_ctl BETA set Timemaster no
sleep 1.5 # BETA's last time datagram arrives
[[ $(beta_dropped) == "$dropped" ]] ||
    e2e_fail "ALPHA still drops BETA's datagrams with the key back: $dropped, then $(beta_dropped)"
before=$(e2e_clock_lines ALPHA)
output=$(e2e_ctl ALPHA lan-key clear)
[[ $output == "LAN key removed: every computer on the LAN is trusted" ]] ||
    e2e_fail "ctl lan-key clear on ALPHA printed '$output'"
[[ $(e2e_ctl ALPHA lan-key status) == "$NO_KEY_LINE" ]] ||
    e2e_fail "after the clear ALPHA says '$(e2e_ctl ALPHA lan-key status)'"
[[ ! -e ${E2E_DIR[ALPHA]}/LanKey ]] || e2e_fail "ALPHA's key file is still there after the clear"
[[ $(e2e_status ALPHA | jq -c '[.lanKey.set, (.untrusted | length)]') == "[false,0]" ]] ||
    e2e_fail "ALPHA's status after the clear: key $(e2e_status ALPHA | jq -c .lanKey)," \
        "untrusted $(e2e_status ALPHA | jq -c .untrusted) (what was learnt under the key stays)"
! e2e_ctl ALPHA status | grep -q '^LAN key' ||
    e2e_fail "ALPHA's ctl status still has a LAN key line after the clear"
[[ $(e2e_ctl ALPHA lan-key clear) == "no LAN key was set" ]] ||
    e2e_fail "a second clear on ALPHA does not say that no key was set"
e2e_pass "lan-key clear on ALPHA: the file is gone, lan-key status and ctl status show no key" \
    "and no untrusted computers"

evil_in() { lk_alive ALPHA Evil && lk_clock_grown ALPHA "$before"; }
e2e_wait_until 10000 "ALPHA, without its key, to take EVIL in and follow its time" evil_in ||
    e2e_fail "ALPHA without a key: EVIL alive '$(e2e_field ALPHA Evil alive)'," \
        "$(($(e2e_clock_lines ALPHA) - before)) times recorded"
e2e_pass "without its key ALPHA took EVIL in and set its clock from EVIL's time after" \
    "$E2E_WAITED_MS ms: it was the key that kept EVIL out"

# --- The key is in no data file.

[[ $(cat "${E2E_DIR[BETA]}/LanKey") == "$KEY" ]] ||
    e2e_fail "BETA's key file does not hold the key it was given"
for name in ALPHA BETA; do
    e2e_stop "$name"
    ((E2E_EXITCODE[$name] == 0)) || e2e_fail "$name ended with status ${E2E_EXITCODE[$name]}"
    data=$(e2e_datafile "$name")
    [[ -s $data ]] || e2e_fail "$name left no data file"
    ! grep -qaF -e "$KEY" -e "$OTHER_KEY" "$data" || e2e_fail "$name's data file holds a key"
done
e2e_pass "ALPHA and BETA ended cleanly; neither data file holds a key"

e2e_done
