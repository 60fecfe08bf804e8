#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks the tree: the four
# programs, the agent bundle beside the viewer's folder (where the viewer looks
# for it, <bin>/../share/dial-ledger), the desktop entry, the icon and the
# controller's systemd unit.
set -euo pipefail
cmake=$1 build=$2 unit_bindir=$3

prefix=$(mktemp -d "${TMPDIR:-/tmp}/dl-install-XXXXXX")
trap 'rm -rf "$prefix"' EXIT
"$cmake" --install "$build" --prefix "$prefix" >/dev/null

failed=0
fail() { echo "FAIL: $*"; failed=1; }

for program in bin/dial-ledger bin/dialledger bin/pppconfd bin/pppctl \
    "share/dial-ledger/Dial Ledger.app/dialledger"; do
    [ -f "$prefix/$program" ] && [ -x "$prefix/$program" ] || fail "no program $program"
done
for file in share/applications/dial-ledger.desktop \
    share/icons/hicolor/scalable/apps/dial-ledger.svg lib/systemd/system/pppconfd.service; do
    [ -f "$prefix/$file" ] || fail "no file $file"
done

# The bundle carries a working agent, and the viewer's way to it resolves.
version=$("$prefix/bin/../share/dial-ledger/Dial Ledger.app/dialledger" -v 2>&1) || true
[ "$version" = "0.2" ] || fail "the bundled agent answers '$version' to -v"

grep -qx 'Exec=dial-ledger' "$prefix/share/applications/dial-ledger.desktop" ||
    fail "the desktop entry does not start dial-ledger"
grep -qx 'Icon=dial-ledger' "$prefix/share/applications/dial-ledger.desktop" ||
    fail "the desktop entry does not name the icon"
grep -qx "ExecStart=$unit_bindir/pppconfd --pppd" "$prefix/lib/systemd/system/pppconfd.service" ||
    fail "the unit does not run $unit_bindir/pppconfd --pppd"

if [ "$failed" = 0 ]; then
    echo "installed tree complete"
fi
exit "$failed"
