# Shared by scripts/demo and scripts/screenshot (sourced, not run): a private
# system root and home with sample network preferences, a session bus when
# there is none, and the cleanup of every process they start.

DL_MODEM_SERVICE=3C1D5E7F-1111-4A2B-8C3D-0A1B2C3D4E5F
DL_MOBILE_SERVICE=7E6D5C4B-2222-4B3A-9D8C-1F2E3D4C5B6A

dl_repo_root() { cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd; }

# dl_setup_private_tree DIR: DIR/root is the system root, DIR/home the home.
dl_setup_private_tree() {
    local dir=$1 repo
    repo=$(dl_repo_root)
    mkdir -p "$dir/root/Library/Preferences/SystemConfiguration" "$dir/root/var/run" \
        "$dir/home/Library/Application Support/Dial Ledger"
    cp "$repo/data/demo/preferences.plist" \
        "$dir/root/Library/Preferences/SystemConfiguration/preferences.plist"
    cp "$repo/data/demo/simulator.plist" "$dir/simulator.plist"
    # The X server's cookie lives in the real home; keep finding it.
    if [ -z "${XAUTHORITY:-}" ] && [ -f "$HOME/.Xauthority" ]; then
        export XAUTHORITY="$HOME/.Xauthority"
    fi
    # Qt wants a private runtime folder and warns without one.
    if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
        mkdir -p -m 0700 "$dir/runtime"
        export XDG_RUNTIME_DIR="$dir/runtime"
    fi
    export DIALLEDGER_SYSROOT="$dir/root"
    export HOME="$dir/home"
    export XDG_CONFIG_HOME="$dir/home/.config"
}

# dl_seed_history SERVICE COUNT: a plausible past for one port, written only
# when that port has no connection log yet (a ledger is never overwritten).
dl_seed_history() {
    local service=$1 count=$2
    local log="$HOME/Library/Application Support/Dial Ledger/$service"
    [ -e "$log" ] && return 0
    local now start i secs inb outb
    now=$(date +%s)
    start=$((now - count * 9 * 3600))
    RANDOM=7
    {
        printf '<?xml version="1.0" encoding="UTF-8"?>\n'
        printf '<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">\n'
        printf '<plist version="1.0">\n<array>\n'
        for ((i = 0; i < count; i++)); do
            start=$((start + 6 * 3600 + RANDOM % (5 * 3600)))
            secs=$((90 + RANDOM % 2400))
            inb=$((secs * (2500 + RANDOM % 3000)))
            outb=$((secs * (300 + RANDOM % 900)))
            printf '\t<dict>\n'
            printf '\t\t<key>date</key>\n\t\t<date>%s</date>\n' \
                "$(date -u -d "@$start" +%Y-%m-%dT%H:%M:%SZ)"
            printf '\t\t<key>timeElapsed</key>\n\t\t<integer>%d</integer>\n' "$secs"
            printf '\t\t<key>inBytes</key>\n\t\t<integer>%d</integer>\n' "$inb"
            printf '\t\t<key>outBytes</key>\n\t\t<integer>%d</integer>\n' "$outb"
            printf '\t</dict>\n'
        done
        printf '</array>\n</plist>\n'
    } >"$log.tmp" && mv "$log.tmp" "$log"
}

# dl_ensure_session_bus: starts a private session bus when none is running.
# Sets DL_BUS_PID when it did.
DL_BUS_PID=
dl_ensure_session_bus() {
    if [ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ]; then
        return 0
    fi
    if [ -n "${XDG_RUNTIME_DIR:-}" ] && [ -S "$XDG_RUNTIME_DIR/bus" ]; then
        export DBUS_SESSION_BUS_ADDRESS="unix:path=$XDG_RUNTIME_DIR/bus"
        return 0
    fi
    local out
    out=$(dbus-daemon --session --fork --print-address=1 --print-pid=1)
    export DBUS_SESSION_BUS_ADDRESS=$(sed -n 1p <<<"$out")
    DL_BUS_PID=$(sed -n 2p <<<"$out")
}

# dl_agents_of_root ROOT: pids of this user's dialledger processes that run in
# that private root (found by their environment, so a real agent is left alone).
dl_agents_of_root() {
    local root=$1 pid exe
    for pid in $(pgrep -u "$(id -u)" -x dialledger 2>/dev/null); do
        if { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null |
            grep -qxF "DIALLEDGER_SYSROOT=$root"; then
            echo "$pid"
        fi
    done
}

# dl_stop PID...: TERM, a short grace, then KILL.
dl_stop() {
    local pid alive=()
    for pid in "$@"; do
        [ -n "$pid" ] && kill -TERM "$pid" 2>/dev/null && alive+=("$pid")
    done
    [ ${#alive[@]} -eq 0 ] && return 0
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        local any=0
        for pid in "${alive[@]}"; do
            kill -0 "$pid" 2>/dev/null && any=1
        done
        [ $any -eq 0 ] && return 0
        sleep 0.2
    done
    for pid in "${alive[@]}"; do
        kill -KILL "$pid" 2>/dev/null || true
    done
}

# dl_wait_for_socket PATH SECONDS
dl_wait_for_socket() {
    local path=$1 tries=$(($2 * 10))
    while [ $tries -gt 0 ]; do
        [ -S "$path" ] && return 0
        sleep 0.1
        tries=$((tries - 1))
    done
    return 1
}
