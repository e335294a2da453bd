#!/usr/bin/env bash
# The Debian package: built by CPack, unpacked into a temporary root with dpkg-deb -x,
# its dependencies declared, and the installed updater started offscreen against the
# installed stationsim: it finds libTestDll through its RPATH, scans and queries every
# answering device of the demo station. Also checks that F1's installed help page sits
# where the program looks for it.
set -euo pipefail
BUILD=$1
TMP=$(mktemp -d)
SIM=; APP=
cleanup() {
  [ -n "$APP" ] && kill -TERM "$APP" 2>/dev/null || true
  [ -n "$SIM" ] && kill -TERM "$SIM" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$TMP"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; [ -f "$TMP/sim.log" ] && sed 's/^/  sim: /' "$TMP/sim.log" >&2; exit 1; }

cpack --config "$BUILD/CPackConfig.cmake" -B "$TMP/pkg" >/dev/null || fail "cpack"
DEB=$(ls "$TMP"/pkg/*.deb) || fail "no package built"
dpkg-deb -x "$DEB" "$TMP/root"
R=$TMP/root/usr

depends=$(dpkg-deb -f "$DEB" Depends)
for dep in libqt6widgets6 libqt6gui6 libqt6core6 zlib1g qt6-qpa-plugins; do
  grep -q "\b$dep\b" <<<"$depends" || fail "Depends lacks $dep: $depends"
done
[ "$(dpkg-deb -f "$DEB" Version)" != "" ] || fail "no version"

for f in bin/zentavo-update bin/stationsim bin/mkfwimage lib/libTestDll.so \
         share/zentavo-update/zentavo-update.html share/applications/zentavo-update.desktop \
         share/icons/hicolor/32x32/apps/zentavo-update.png share/doc/zentavo-update/protocol.md \
         share/doc/zentavo-update/image-format.md; do
  [ -e "$R/$f" ] || fail "missing $f"
done
# F1 looks beside the program first, then in ../share/zentavo-update/.
[ -e "$R/bin/../share/zentavo-update/zentavo-update.html" ] || fail "help page not where F1 looks"
grep -q 'id="131174"' "$R/share/zentavo-update/zentavo-update.html" || fail "help page lacks the main topic"

# The library must come from the package, not from the build tree or the system.
lib=$(env -u LD_LIBRARY_PATH ldd "$R/bin/zentavo-update" | awk '/libTestDll/ {print $3}')
[ "$(readlink -f "$lib")" = "$(readlink -f "$R/lib/libTestDll.so")" ] || fail "libTestDll resolved to '$lib'"

"$R/bin/stationsim" --station "$R/share/zentavo-update/demo-station.json" --port 0 --log \
  >"$TMP/sim.out" 2>"$TMP/sim.log" &
SIM=$!
port=
for _ in $(seq 100); do
  port=$(sed -n 's/^stationsim listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$TMP/sim.out")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || fail "stationsim did not start"

mkdir -p "$TMP/config"
env -u LD_LIBRARY_PATH QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$TMP/config" \
  TESTDLL_NETWORK=127.0.0.1:$port TESTDLL_TIMEOUT_MS=300 "$R/bin/zentavo-update" \
  >"$TMP/app.log" 2>&1 &
APP=$!

# Every device the station lists and answers for is queried once the scan is done.
expected=$(grep -c '"id"' "$R/share/zentavo-update/demo-station.json")
for _ in $(seq 150); do
  kill -0 "$APP" 2>/dev/null || fail "the updater exited early: $(cat "$TMP/app.log")"
  answered=$(grep -c '^stationsim: info [0-9]*: answered' "$TMP/sim.log" || true)
  silent=$(grep -c '^stationsim: info [0-9]*: silent' "$TMP/sim.log" || true)
  if grep -q '^stationsim: scan: ' "$TMP/sim.log" && [ $((answered + (silent > 0 ? 1 : 0))) -ge "$expected" ]; then
    echo "installed updater listed the station: $answered devices answered, 1 silent"
    exit 0
  fi
  sleep 0.1
done
fail "the updater did not query the whole station (answered: $answered of $expected)"
