#!/usr/bin/env bash
# Side by side: the resident memory and CPU time of dialledger, watching five
# simulated PPP services, and of the vnstat daemon, a traffic logger a user
# might run instead, on this machine over the same window.
#
#   SIDE_BY_SIDE_SECONDS=600 bash bench/sidebyside.sh BUILD_DIR
#
# Without SIDE_BY_SIDE_SECONDS it only says how to run it: the measurement
# takes as long as its window. Everything runs in a private folder (its own
# system root and home, session bus and vnstat database); nothing system-wide
# is touched. vnstat comes from scripts/install-deps.
set -euo pipefail

build=${1:-build}
seconds=${SIDE_BY_SIDE_SECONDS:-}
if [ -z "$seconds" ]; then
    echo "side by side: skipped (takes its whole window); run it with"
    echo "  SIDE_BY_SIDE_SECONDS=600 bash bench/sidebyside.sh $build"
    exit 0
fi
build=$(cd "$build" && pwd)
for prog in "$build/bin/dialledger" "$build/bin/pppconfd"; do
    [ -x "$prog" ] || { echo "side by side: $prog is not built" >&2; exit 1; }
done
command -v vnstatd >/dev/null || {
    echo "side by side: vnstatd is not installed (scripts/install-deps)" >&2
    exit 1
}
interval=${SIDE_BY_SIDE_SAMPLE:-5}

dir=$(mktemp -d "${TMPDIR:-/tmp}/dl-sidebyside-XXXXXX")
pids=()
bus_pid=
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    sleep 0.5
    for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
    [ -n "$bus_pid" ] && kill -TERM "$bus_pid" 2>/dev/null || true
    rm -rf "$dir"
}
trap cleanup EXIT

# --- dialledger's world: five PPP services in the active set, five links that
# dial and hang up on their own so that records are written during the window.
root=$dir/root home=$dir/home
mkdir -p "$root/Library/Preferences/SystemConfiguration" "$root/var/run" "$home"
services=(SVC-DIAL-1 SVC-DIAL-2 SVC-DIAL-3 SVC-DIAL-4 SVC-DIAL-5)
{
    cat <<'EOF'
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CurrentSet</key>
	<string>/Sets/SET</string>
	<key>NetworkServices</key>
	<dict>
EOF
    for s in "${services[@]}"; do
        printf '\t\t<key>%s</key>\n\t\t<dict>\n' "$s"
        printf '\t\t\t<key>Interface</key>\n\t\t\t<dict><key>Type</key><string>PPP</string><key>SubType</key><string>PPPSerial</string><key>DeviceName</key><string>modem</string></dict>\n'
        printf '\t\t\t<key>PPP</key>\n\t\t\t<dict/>\n'
        printf '\t\t\t<key>UserDefinedName</key>\n\t\t\t<string>%s</string>\n\t\t</dict>\n' "$s"
    done
    printf '\t</dict>\n\t<key>Sets</key>\n\t<dict>\n\t\t<key>SET</key>\n\t\t<dict>\n'
    printf '\t\t\t<key>Network</key>\n\t\t\t<dict>\n'
    printf '\t\t\t\t<key>Global</key>\n\t\t\t\t<dict><key>IPv4</key><dict><key>ServiceOrder</key><array>\n'
    for s in "${services[@]}"; do printf '\t\t\t\t\t<string>%s</string>\n' "$s"; done
    printf '\t\t\t\t</array></dict></dict>\n\t\t\t\t<key>Service</key>\n\t\t\t\t<dict>\n'
    for s in "${services[@]}"; do
        printf '\t\t\t\t\t<key>%s</key><dict><key>__LINK__</key><string>/NetworkServices/%s</string></dict>\n' "$s" "$s"
    done
    printf '\t\t\t\t</dict>\n\t\t\t</dict>\n\t\t\t<key>UserDefinedName</key>\n\t\t\t<string>Bench</string>\n'
    printf '\t\t</dict>\n\t</dict>\n</dict>\n</plist>\n'
} >"$root/Library/Preferences/SystemConfiguration/preferences.plist"
{
    printf '<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0">\n<array>\n'
    i=0
    for s in "${services[@]}"; do
        printf '\t<dict><key>ServiceID</key><string>%s</string><key>Interface</key><string>ppp%d</string>' "$s" "$i"
        printf '<key>DialSeconds</key><integer>2</integer><key>InRate</key><integer>%d</integer><key>OutRate</key><integer>%d</integer>' \
            $((5000 * (i + 1))) $((600 * (i + 1)))
        printf '<key>AutoConnect</key><dict><key>Every</key><integer>%d</integer><key>Hold</key><integer>%d</integer></dict></dict>\n' \
            $((40 + 10 * i)) $((15 + 5 * i))
        i=$((i + 1))
    done
    printf '</array>\n</plist>\n'
} >"$dir/links.plist"

out=$(dbus-daemon --session --fork --print-address=1 --print-pid=1)
bus_address=$(sed -n 1p <<<"$out")
bus_pid=$(sed -n 2p <<<"$out")

DIALLEDGER_SYSROOT=$root HOME=$home "$build/bin/pppconfd" --simulate "$dir/links.plist" \
    >"$dir/pppconfd.log" 2>&1 &
controller=$!
pids+=("$controller")
for _ in $(seq 50); do [ -S "$root/var/run/pppconfd" ] && break; sleep 0.1; done
DIALLEDGER_SYSROOT=$root HOME=$home DBUS_SESSION_BUS_ADDRESS=$bus_address \
    DIALLEDGER_FOREGROUND=1 "$build/bin/dialledger" >"$dir/dialledger.out" 2>&1 &
agent=$!
pids+=("$agent")

# --- vnstat's world: its own configuration, database, log and pid file; it
# reads the kernel's counters of every interface of this machine.
mkdir -p "$dir/vnstat"
cat >"$dir/vnstat.conf" <<EOF
DatabaseDir "$dir/vnstat"
LogFile "$dir/vnstat/vnstat.log"
PidFile "$dir/vnstat/vnstat.pid"
UseLogging 1
AlwaysAddNewInterfaces 1
DaemonUser ""
DaemonGroup ""
EOF
vnstatd -n --alwaysadd --config "$dir/vnstat.conf" >"$dir/vnstatd.out" 2>&1 &
peer=$!
pids+=("$peer")

sleep 3
for p in "$agent" "$peer"; do
    kill -0 "$p" 2>/dev/null || {
        echo "side by side: a program did not stay up" >&2
        cat "$dir"/dialledger.out "$dir"/vnstatd.out >&2
        exit 1
    }
done

tck=$(getconf CLK_TCK)
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }   # utime + stime
# Time on a CPU in nanoseconds: the same total at full precision (the ticks
# above move in 10 ms steps, coarse next to what these two programs use).
cpu_ns() { awk '{ print $1 }' "/proc/$1/schedstat"; }
rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
pss_kib() { awk '/^Pss:/ { print $2 }' "/proc/$1/smaps_rollup"; }

declare -A cpu0 ns0 rss_sum rss_max pss_sum pss_max
for p in "$agent" "$peer" "$controller"; do
    cpu0[$p]=$(cpu_ticks "$p")
    ns0[$p]=$(cpu_ns "$p")
    rss_sum[$p]=0 rss_max[$p]=0 pss_sum[$p]=0 pss_max[$p]=0
done
samples=0
start=$(date +%s)
while :; do
    for p in "$agent" "$peer" "$controller"; do
        r=$(rss_kib "$p") s=$(pss_kib "$p")
        rss_sum[$p]=$((rss_sum[$p] + r)) pss_sum[$p]=$((pss_sum[$p] + s))
        [ "$r" -gt "${rss_max[$p]}" ] && rss_max[$p]=$r
        [ "$s" -gt "${pss_max[$p]}" ] && pss_max[$p]=$s
    done
    samples=$((samples + 1))
    [ $(($(date +%s) - start)) -ge "$seconds" ] && break
    sleep "$interval"
done
elapsed=$(($(date +%s) - start))

records=$(grep -c '^Service down' "$dir/dialledger.out" || true)
printf 'window: %d s, %d samples every %d s; dialledger wrote %d connection records\n' \
    "$elapsed" "$samples" "$interval" "$records"
printf '%-12s %12s %12s %12s %12s %14s %14s\n' program "VmRSS mean" "VmRSS max" "PSS mean" \
    "PSS max" "CPU (ticks ms)" "CPU (ms)"
declare -A cpu_ms cpu_exact
# pppconfd stands in for the system's PPP controller, which runs with or
# without the agent; it is shown for what answering the agent's polls costs.
for p in "$agent" "$peer" "$controller"; do
    name=dialledger
    [ "$p" = "$peer" ] && name=vnstatd
    [ "$p" = "$controller" ] && name="(pppconfd)"
    cpu_ms[$p]=$(( ($(cpu_ticks "$p") - cpu0[$p]) * 1000 / tck ))
    cpu_exact[$p]=$(awk -v a="${ns0[$p]}" -v b="$(cpu_ns "$p")" 'BEGIN { printf "%.1f", (b - a) / 1e6 }')
    printf '%-12s %9d KiB %9d KiB %9d KiB %9d KiB %14d %14s\n' "$name" \
        $((rss_sum[$p] / samples)) "${rss_max[$p]}" $((pss_sum[$p] / samples)) "${pss_max[$p]}" \
        "${cpu_ms[$p]}" "${cpu_exact[$p]}"
done
awk -v ar="${rss_max[$agent]}" -v pr="${rss_max[$peer]}" -v ap="${pss_max[$agent]}" \
    -v pp="${pss_max[$peer]}" -v ac="${cpu_exact[$agent]}" -v pc="${cpu_exact[$peer]}" 'BEGIN {
    printf "dialledger / vnstatd: VmRSS max %.2f, PSS max %.2f, CPU ", ar / pr, ap / pp
    if (pc > 0) printf "%.2f\n", ac / pc; else printf "(vnstatd used no measurable CPU)\n"
}'
