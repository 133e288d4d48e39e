#!/usr/bin/env bash
# Benchmark of one large LAN (part of `make bench`; a measurement, not a test): COUNT headless
# instances, each in a network namespace of its own on one bridge, as COUNT computers on one
# segment. It measures:
#   1. how long until every instance lists every other alive (the roster is complete), and until
#      the first computer's start-up data has reached all the others;
#   2. one change: an own property set on the first computer, and for each of the others the time
#      until its copy of that computer holds it (p50, p95, max, how many within 20 s);
#   3. every instance idle for a while: the share of one CPU each uses (from /proc/PID/stat), its
#      threads (the most seen while idle) and its resident memory, as the largest and the mean.
#
# How it looks: one python3 process talks to every instance through its control socket (the
# same requests `harbolt ctl` makes, without starting a process per request). During the change
# it asks only the computers that do not hold the change yet, all at once every POLL_MS; an
# arrival is dated when the reply that first shows it comes in, so a figure is late by at most
# one poll interval and never early. While the instances are watched idle, nothing is asked.
#
# The network: a "switch" namespace holds the bridge br0; host N is namespace ...-hN with eth0 =
# 10.79.x.y/16 joined to it by a veth pair. Nothing is added to the machine's own namespace, so no
# announcement leaves the benchmark's namespaces. Names carry the script's PID; a run killed
# outright (no trap runs then) is swept by the next one, and its instances got SIGTERM when the
# script died (setpriv --pdeathsig).
#
# Usage: lan_bench.sh HARBOLT [COUNT]      (COUNT default 100, 2 to 1000)
# Environment: LAN_BENCH_IDLE_SECONDS (default 10), LAN_BENCH_POLL_MS (default 100),
#              LAN_BENCH_VERBOSE=1 (every arrival time too), LAN_BENCH_HOLD=SECONDS (keeps
#              everything running that long after the measurement, to look at it).
# Needs root (prints SKIP and ends with status 0 without it), ip (iproute2), nsenter and setpriv
# (util-linux) and python3. The kernel's ARP table limits and packet backlog are raised for the
# run (see below) and put back at its end.
set -euo pipefail
export LC_ALL=C.UTF-8
unset LANG LANGUAGE

readonly PREFIX=harbolt-lan
readonly RUN="$PREFIX-$$"
readonly SWITCH="$RUN-sw"
readonly IDLE_SECONDS=${LAN_BENCH_IDLE_SECONDS:-10}
readonly POLL_MS=${LAN_BENCH_POLL_MS:-100}

say() { printf '[lan] %s\n' "$*"; }
die() {
    printf '[lan] ERROR: %s\n' "$*" >&2
    exit 1
}

if (($# < 1 || $# > 2)); then
    echo "usage: $0 HARBOLT [COUNT]" >&2
    exit 2
fi
COUNT=${2:-100}
if ! [[ $COUNT =~ ^[0-9]+$ ]] || ((COUNT < 2 || COUNT > 1000)); then
    die "COUNT must be 2 to 1000"
fi
[[ $IDLE_SECONDS =~ ^[1-9][0-9]*$ ]] || die "LAN_BENCH_IDLE_SECONDS must be a positive number"
[[ $POLL_MS =~ ^[1-9][0-9]*$ ]] || die "LAN_BENCH_POLL_MS must be a positive number"
if ((EUID != 0)); then
    say "SKIP: $COUNT instances on one segment need root (network namespaces)"
    exit 0
fi
[[ -x $1 ]] || die "no harbolt program at $1 (build first: make build)"
HARBOLT=$(realpath "$1")
readonly HARBOLT
for tool in ip nsenter setpriv python3; do
    command -v "$tool" >/dev/null ||
        die "the $tool command is missing (make bench-deps installs the benchmark's packages)"
done

TMP=""
declare -a PIDS=()
NETWORK_MADE=0
# Kernel settings raised for the run, and their values before ("name=value" words).
declare -a SETTINGS_BEFORE=()

# raise_setting NAME VALUE: sets the sysctl NAME to VALUE when it is lower, remembering the old
# value for the clean-up.
raise_setting() {
    local name=$1 value=$2 file="/proc/sys/${1//.//}" old
    old=$(cat "$file") || die "cannot read $name"
    ((old < value)) || return 0
    SETTINGS_BEFORE+=("$name=$old")
    echo "$value" >"$file" || die "cannot set $name to $value"
}

# Namespaces and directories of earlier runs that were killed outright.
sweep_stale() {
    local ns pid
    while read -r ns _; do
        [[ $ns =~ ^$PREFIX-([0-9]+)- ]] || continue
        [[ -d /proc/${BASH_REMATCH[1]} ]] && continue
        for pid in $(ip netns pids "$ns" 2>/dev/null); do
            kill -KILL "$pid" 2>/dev/null || true
        done
        ip netns del "$ns" 2>/dev/null || true
    done < <(ip netns list 2>/dev/null)
    local dir
    for dir in /tmp/"$PREFIX"-*.*; do
        [[ -d $dir && $dir =~ ^/tmp/$PREFIX-([0-9]+)\. ]] || continue
        [[ -d /proc/${BASH_REMATCH[1]} ]] || rm -rf "$dir"
    done
}

# Our namespaces, the switch last.
our_namespaces() {
    ip netns list 2>/dev/null | awk -v run="$RUN-" 'index($1, run) == 1 { print $1 }' |
        sort -r
}

cleanup() {
    local status=$?
    trap - EXIT INT TERM
    set +e
    if ((status == 130 || status == 143)); then
        say "interrupted; stopping the instances"
    elif ((status != 0)) && [[ -n $TMP ]]; then
        say "failed (status $status); the end of the first instances' output:"
        local file
        for file in "$TMP"/log/L001.log "$TMP"/log/L002.log; do
            [[ -f $file ]] && { echo "---- $file"; tail -n 15 "$file"; }
        done
    fi
    local pid i
    for pid in "${PIDS[@]}"; do
        kill -TERM "$pid" 2>/dev/null
    done
    # Each saves its data on SIGTERM; five seconds for all, then the rest is killed.
    for ((i = 0; i < 50; i++)); do
        local left=0
        for pid in "${PIDS[@]}"; do
            kill -0 "$pid" 2>/dev/null && left=1 && break
        done
        ((left)) || break
        sleep 0.1
    done
    for pid in "${PIDS[@]}"; do
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    if ((NETWORK_MADE)); then
        local ns
        for ns in $(our_namespaces); do
            for pid in $(ip netns pids "$ns" 2>/dev/null); do
                kill -KILL "$pid" 2>/dev/null
            done
        done
        our_namespaces | sed 's/^/netns del /' | ip -batch - 2>/dev/null
        if [[ -n $(our_namespaces) ]]; then
            say "namespaces left behind: $(our_namespaces | tr '\n' ' ')"
            ((status != 0)) || status=1
        fi
    fi
    local setting
    for setting in "${SETTINGS_BEFORE[@]}"; do
        local name=${setting%%=*}
        echo "${setting#*=}" >"/proc/sys/${name//.//}" ||
            say "could not put ${setting%%=*} back to ${setting#*=}"
    done
    [[ -n $TMP && -d $TMP ]] && rm -rf "$TMP"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

sweep_stale
TMP=$(mktemp -d "/tmp/$RUN.XXXXXX")
mkdir -p "$TMP/log" "$TMP/data"
started=$(date +%s%N)
elapsed() { echo "$((($(date +%s%N) - started) / 1000000)) ms"; }

# --- The kernel: one machine stands in for COUNT computers. It keeps one ARP table for all its
# namespaces, with limits for all of them together (1024 entries at most by default): COUNT
# computers that each talk to every other need COUNT * COUNT entries, where a real LAN gives
# each computer a table of its own. Past the limit no entry can be made and datagrams and SYNs
# are dropped before they leave. Likewise every broadcast is copied to COUNT ports at once into
# the queues of this machine's 2 CPUs, where a real LAN has a network card per computer.
# Both are raised for the run and put back at its end.

mesh=$((COUNT * COUNT + 4 * COUNT))
raise_setting net.ipv4.neigh.default.gc_thresh1 "$mesh"
raise_setting net.ipv4.neigh.default.gc_thresh2 $((2 * mesh))
raise_setting net.ipv4.neigh.default.gc_thresh3 $((4 * mesh))
raise_setting net.core.netdev_max_backlog $((COUNT < 100 ? 10000 : 100 * COUNT))

# --- The network, in batches: one ip process per host namespace and three for the rest.

name_of() { printf 'L%03d' "$1"; }
address_of() { echo "10.79.$((($1 - 1) / 250)).$((($1 - 1) % 250 + 1))"; }

{
    echo "netns add $SWITCH"
    for ((n = 1; n <= COUNT; n++)); do echo "netns add $RUN-h$n"; done
} >"$TMP/netns.batch"
NETWORK_MADE=1
ip -batch "$TMP/netns.batch" >/dev/null 2>"$TMP/netns.err" ||
    die "cannot create network namespaces here: $(head -n 3 "$TMP/netns.err")"
{
    echo "link set lo up"
    echo "link add br0 type bridge"
    echo "link set br0 up"
    for ((n = 1; n <= COUNT; n++)); do
        echo "link add p$n type veth peer name eth0 netns $RUN-h$n"
        echo "link set p$n addrgenmode none"
        echo "link set p$n master br0"
        echo "link set p$n up"
    done
} >"$TMP/switch.batch"
ip -n "$SWITCH" -batch "$TMP/switch.batch" || die "cannot build the bridge"
for ((n = 1; n <= COUNT; n++)); do
    # No IPv6 link-local address: no router solicitations or listener reports on the segment.
    printf '%s\n' "link set lo up" "link set eth0 addrgenmode none" \
        "addr add $(address_of "$n")/16 dev eth0" "link set eth0 up" |
        ip -n "$RUN-h$n" -batch - || die "cannot configure host $n"
done
say "$COUNT hosts on bridge br0 (10.79.0.0/16) in namespace $SWITCH after $(elapsed)"

# --- The instances.

: >"$TMP/instances"
for ((n = 1; n <= COUNT; n++)); do
    name=$(name_of "$n")
    dir="$TMP/data/$name"
    mkdir -p "$dir"
    # nsenter joins the namespace only (ip netns exec also mounts a /sys of its own: slower).
    nsenter "--net=/run/netns/$RUN-h$n" setpriv --pdeathsig TERM -- "$HARBOLT" --headless \
        --name "$name" --data-dir "$dir" --dialup sim </dev/null >"$TMP/log/$name.log" 2>&1 &
    PIDS+=("$!")
    printf '%s\t%s\t%s\t%s\n' "$name" "$dir" "$(address_of "$n")" "$!" >>"$TMP/instances"
done
say "$COUNT instances started after $(elapsed)"

# --- The measurement.

cat >"$TMP/driver.py" <<'PYTHON'
import json, os, selectors, socket, statistics, sys, time

instances_file, poll_ms, idle_seconds = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
instances = []
for line in open(instances_file):
    name, directory, address, pid = line.rstrip("\n").split("\t")
    instances.append({"name": name, "dir": directory, "address": address, "pid": int(pid)})
count = len(instances)
first, others = instances[0], instances[1:]
CHANGE_LIMIT = 20.0


def say(text):
    print("[lan] " + text, flush=True)


def alive(instance):
    return os.path.exists("/proc/%d" % instance["pid"])


def ask_all(pairs, limit=5.0):
    """Sends every (instance, args) request at once; returns {index: (reply or None, time)}."""
    selector = selectors.DefaultSelector()
    results = {}
    for index, (instance, args) in enumerate(pairs):
        try:
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            s.setblocking(False)
            s.connect(os.path.join(instance["dir"], "harbolt.ctl"))
            s.send((json.dumps({"args": args}) + "\n").encode())
        except OSError:
            s.close()
            results[index] = (None, time.monotonic())
            continue
        selector.register(s, selectors.EVENT_READ, (index, bytearray()))
    deadline = time.monotonic() + limit
    while selector.get_map():
        left = deadline - time.monotonic()
        if left <= 0:
            break
        for key, _ in selector.select(left):
            index, data = key.data
            try:
                chunk = key.fileobj.recv(65536)
            except (BlockingIOError, InterruptedError):
                continue
            except OSError:
                chunk = b""
            if chunk:
                data.extend(chunk)
                continue
            selector.unregister(key.fileobj)
            key.fileobj.close()
            try:
                results[index] = (json.loads(data.decode("utf-8", "replace")), time.monotonic())
            except ValueError:
                results[index] = (None, time.monotonic())
    for key in list(selector.get_map().values()):
        selector.unregister(key.fileobj)
        key.fileobj.close()
    for index in range(len(pairs)):
        results.setdefault(index, (None, time.monotonic()))
    return results


def wait_for(what, limit, pending, request, done, interval):
    """Asks the pending instances until done(reply) holds for each; returns (seconds, missing)."""
    begin = time.monotonic()
    pending = list(pending)
    while pending:
        replies = ask_all([(i, request(i)) for i in pending])
        pending = [i for k, i in enumerate(pending) if not done(i, replies[k][0])]
        dead = [i["name"] for i in pending if not alive(i)]
        if dead:
            say("ERROR: instances ended: " + " ".join(dead[:10]))
            sys.exit(1)
        if not pending or time.monotonic() - begin > limit:
            break
        time.sleep(interval)
    return time.monotonic() - begin, pending


def ok(reply):
    return reply is not None and reply.get("exit") == 0


def out_json(reply):
    try:
        return json.loads(reply["out"])
    except (TypeError, KeyError, ValueError):
        return None


# 1. Every instance answers; each gets its address and its proxy server port.
seconds, missing = wait_for("control", 30, instances, lambda i: ["get", "ProxyEnabled"],
                            lambda i, r: r is not None, 0.2)
if missing:
    say("ERROR: %d instance(s) do not answer their control socket after %.0f s" % (len(missing), seconds))
    sys.exit(1)
for args in (lambda i: ["set", "ProxyServerAddress", i["address"] + ":1977"],
             lambda i: ["set", "ProxyEnabled", "yes"], lambda i: ["proxy", "restart"]):
    replies = ask_all([(i, args(i)) for i in instances], 20)
    failed = [instances[k]["name"] + ": " + str((r or {}).get("err", "no reply")).strip()
              for k, (r, _) in replies.items() if not ok(r)]
    if failed:
        say("ERROR: %s failed on %d instance(s), e.g. %s" % (" ".join(args(first)[:2]), len(failed), failed[0]))
        sys.exit(1)
say("every instance answers and serves on its address:1977")


def roster_complete(instance, reply):
    status = out_json(reply) if ok(reply) else None
    return status is not None and sum(1 for c in status.get("computers", []) if c.get("alive")) >= count


seconds, missing = wait_for("roster", 30, instances, lambda i: ["status", "--json"], roster_complete, 1.0)
if missing:
    say("ERROR: after %.0f s, %d instance(s) do not list all %d computers alive (e.g. %s)"
        % (seconds, len(missing), count, missing[0]["name"]))
    sys.exit(1)
say("roster complete on all %d instances after %.1f s more" % (count, seconds))


def holds(key, value):
    def check(instance, reply):
        properties = out_json(reply) if ok(reply) else None
        return properties is not None and properties.get(key) == value
    return check


# The first computer's own data of the start-up (its address) reaching everybody: the start-up
# storm of every copy going everywhere, which the change may otherwise wait behind.
seconds, missing = wait_for("start-up data", CHANGE_LIMIT, others, lambda i: ["list", first["name"], "--json"],
                            holds("ProxyServerAddress", first["address"] + ":1977"), 0.5)
say("start-up data of %s on %d of %d others after %.1f s%s" % (
    first["name"], len(others) - len(missing), len(others), seconds,
    "" if not missing else " (the change is measured anyway)"))

# 2. One change.
token = "mark-%d" % time.time_ns()
reply = ask_all([(first, ["set", "--force", "LanBenchMark", token])])[0][0]
changed = time.monotonic()
if not ok(reply):
    say("ERROR: the change on %s failed: %s" % (first["name"], (reply or {}).get("err", "no reply")))
    sys.exit(1)
arrived = {}
pending = list(others)
check = holds("LanBenchMark", token)
requests = 0
rounds = 0
while pending and time.monotonic() - changed <= CHANGE_LIMIT:
    round_start = time.monotonic()
    replies = ask_all([(i, ["list", first["name"], "--json"]) for i in pending], 2.0)
    requests += len(pending)
    rounds += 1
    still = []
    for k, instance in enumerate(pending):
        reply, when = replies[k]
        if check(instance, reply):
            arrived[instance["name"]] = when - changed
        else:
            still.append(instance)
    pending = still
    time.sleep(max(0.0, poll_ms / 1000.0 - (time.monotonic() - round_start)))
times = sorted(arrived.values())


def quantile(values, q):
    if not values:
        return float("nan")
    return values[min(len(values) - 1, max(0, int(-(-q * len(values) // 1)) - 1))]


# Computers that never got it count as later than any that did.
padded = times + [float("inf")] * (len(others) - len(times))
p50, p95 = quantile(padded, 0.50), quantile(padded, 0.95)
worst = padded[-1] if padded else float("nan")
spent = time.monotonic() - changed
say("one change on %s: %d of %d others within %.0f s; p50 %.2f s, p95 %.2f s, max %.2f s"
    " (%d rounds of asking in %.1f s, %d requests)" % (first["name"], len(times), len(others),
                                                      CHANGE_LIMIT, p50, p95, worst, rounds,
                                                      spent, requests))

if os.environ.get("LAN_BENCH_VERBOSE") == "1":
    say("arrivals (s): " + " ".join("%.2f" % t for t in times))

# 3. Idle.
time.sleep(2.0)
ticks = os.sysconf("SC_CLK_TCK")


def cpu_ticks(instance):
    with open("/proc/%d/stat" % instance["pid"]) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def status_field(instance, field):
    with open("/proc/%d/status" % instance["pid"]) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


before = {i["name"]: cpu_ticks(i) for i in instances}
threads = {i["name"]: 0 for i in instances}
begin = time.monotonic()
while time.monotonic() - begin < idle_seconds:
    for i in instances:
        threads[i["name"]] = max(threads[i["name"]], status_field(i, "Threads"))
    time.sleep(1.0)
span = time.monotonic() - begin
cpu = {i["name"]: 100.0 * (cpu_ticks(i) - before[i["name"]]) / ticks / span for i in instances}
rss = {i["name"]: status_field(i, "VmRSS") / 1024.0 for i in instances}


def spread(values):
    return max(values.values()), statistics.mean(values.values())


def busiest(values):
    return max(values, key=values.get)


cpu_max, cpu_mean = spread(cpu)
threads_max, threads_mean = spread(threads)
rss_max, rss_mean = spread(rss)
say("idle for %.1f s: CPU %% of one core max %.2f (%s) mean %.2f; threads max %d (%s) mean %.1f;"
    " RSS MB max %.1f mean %.1f" % (span, cpu_max, busiest(cpu), cpu_mean, threads_max,
                                    busiest(threads), threads_mean, rss_max, rss_mean))


def row(label, figure, op, limit):
    met = figure <= limit if op == "<=" else figure >= limit
    print("  %-52s %10s %10s  %s" % (label, "%.2f" % figure if isinstance(figure, float) else figure,
                                     op + " " + str(limit), "yes" if met else "NO"))


print()
print("== %d instances on one segment (goal met: yes / NO)" % count)
row("one change: reached the others within 20 s", len(times), ">=", len(others))
row("one change: p95 (s)", p95, "<=", 2.5)
row("idle instance, CPU (% of one CPU), largest", cpu_max, "<=", 0.5)
row("idle instance, threads, largest", threads_max, "<=", 20)
PYTHON

python3 "$TMP/driver.py" "$TMP/instances" "$POLL_MS" "$IDLE_SECONDS"
if [[ -n ${LAN_BENCH_HOLD:-} ]]; then
    say "holding everything for $LAN_BENCH_HOLD s (files in $TMP, namespaces $RUN-*)"
    sleep "$LAN_BENCH_HOLD"
fi
say "done after $(elapsed)"
