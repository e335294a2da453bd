#!/usr/bin/env bash
# The Debian package: built by CPack and unpacked into a temporary root. Checks its
# layout (private library found through RUNPATH, no ldconfig, a man page for every
# program, icons, MIME type, desktop entry, AppStream data, copyright, changelog, the
# Ansible collection and its documentation),
# runs lintian, desktop-file-validate and appstreamcli where installed, proves the MIME
# magic picks out an image mkfwimage wrote, checks the installed updater's command line
# without a display (--version, an option not its own, no display at all), and starts it
# offscreen against the installed stationsim: it scans and queries every answering device.
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
have() { command -v "$1" >/dev/null; }

cpack --config "$BUILD/CPackConfig.cmake" -B "$TMP/pkg" >/dev/null || fail "cpack"
DEB=$(ls "$TMP"/pkg/*.deb) || fail "no package built"
dpkg-deb -x "$DEB" "$TMP/root"
dpkg-deb -e "$DEB" "$TMP/control"
R=$TMP/root/usr
S=$R/share

depends=$(dpkg-deb -f "$DEB" Depends)
for dep in libqt6widgets6 libqt6gui6 libqt6core6 zlib1g qt6-qpa-plugins; do
  grep -q "\b$dep\b" <<<"$depends" || fail "Depends lacks $dep: $depends"
done
version=$(dpkg-deb -f "$DEB" Version)
[ -n "$version" ] || fail "no version"

# --- layout ---
for f in bin/zentavo-update bin/zentavo-flash bin/stationsim bin/mkfwimage lib/zentavo-update/libTestDll.so \
         share/bash-completion/completions/zentavo-flash \
         share/zentavo-update/zentavo-update.html share/zentavo-update/demo-station.json \
         share/doc/zentavo-update/protocol.md share/doc/zentavo-update/image-format.md \
         share/mime/packages/zentavo-update.xml share/icons/hicolor/scalable/apps/zentavo-update.svg \
         share/ansible/collections/ansible_collections/quorvane/zentavo/MANIFEST.json; do
  [ -e "$R/$f" ] || fail "missing $f"
done
grep -q 'id="131174"' "$S/zentavo-update/zentavo-update.html" || fail "help page lacks the main topic"

# The library is private: nothing of ours in the linker's directories, no ldconfig.
ours=$(find "$R/lib" -path "$R/lib/zentavo-update" -prune -o ! -type d -print)
[ -z "$ours" ] || fail "files outside the private library folder: $ours"
! grep -qs ldconfig "$TMP"/control/* || fail "a maintainer script calls ldconfig"
for p in "$R"/bin/*; do
  grep -q 'RUNPATH.*\[\$ORIGIN/\.\./lib/zentavo-update\]' <<<"$(readelf -d "$p")" || fail "$p: RUNPATH"
  # Every program has its man page, and it is roff for section 1.
  name=$(basename "$p")
  grep -q "^\.TH \"$name\" \"1\"" <<<"$(zcat "$S/man/man1/$name.1.gz")" || fail "man page of $name"
done
lib=$(env -u LD_LIBRARY_PATH ldd "$R/bin/zentavo-update" | awk '/libTestDll/ {print $3}')
[ "$(readlink -f "$lib")" = "$(readlink -f "$R/lib/zentavo-update/libTestDll.so")" ] ||
  fail "libTestDll resolved to '$lib'"

for size in 16 22 24 32 48 64 128 256; do
  grep -q "PNG image data, $size x $size," <<<"$(file "$S/icons/hicolor/${size}x$size/apps/zentavo-update.png")" ||
    fail "icon ${size}x$size"
done

doc=$S/doc/zentavo-update
[ "$(head -1 "$doc/copyright")" = "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ] ||
  fail "copyright is not machine-readable"
[[ "$(zcat "$doc/changelog.gz")" == "zentavo-update ($version) "* ]] || fail "changelog does not begin with $version"

desktop=$S/applications/zentavo-update.desktop
grep -qx 'Exec=zentavo-update %f' "$desktop" || fail "desktop entry does not pass the file"
grep -qx 'MimeType=application/x-zentavo-firmware;' "$desktop" || fail "desktop entry lacks the MIME type"
metainfo=$(ls "$S"/metainfo/*.metainfo.xml) || fail "no AppStream metainfo"
grep -q '<image>https://.*/docs/screenshot\.png</image>' "$metainfo" || fail "metainfo lacks the screenshot"

# --- the checkers, as far as they are installed ---
if have ansible-doc; then # the collection where ansible-core looks, documented
  ANSIBLE_HOME=$TMP/ansible ANSIBLE_COLLECTIONS_PATH=$S/ansible/collections \
    ansible-doc quorvane.zentavo.zentavo_firmware >"$TMP/ansible-doc" 2>&1 &&
    grep -q '^> QUORVANE.ZENTAVO.ZENTAVO_FIRMWARE ' "$TMP/ansible-doc" || fail "ansible-doc: $(cat "$TMP/ansible-doc")"
fi
if have lintian; then
  lintian "$DEB" >"$TMP/lintian.log" 2>&1 || true
  ! grep -E '^[EW]: ' "$TMP/lintian.log" || fail "lintian"
fi
if have desktop-file-validate; then
  out=$(desktop-file-validate "$desktop" 2>&1) && [ -z "$out" ] || fail "desktop-file-validate: $out"
fi
if have appstreamcli; then
  appstreamcli validate --no-net "$metainfo" >"$TMP/as.log" 2>&1 || fail "appstreamcli: $(cat "$TMP/as.log")"
fi

# --- the MIME type: an image is told by its header, whatever its name ---
mkdir -p "$TMP/fw"
"$R/bin/mkfwimage" --type 2 --name NetAppl --version 2.7 --date 24/12/25 --size 300 -o "$TMP/fw/netappl.bin"
cp "$TMP/fw/netappl.bin" "$TMP/fw/no-extension"
head -c 364 /dev/urandom >"$TMP/fw/random.bin"
{ printf 'FWIM\002\000\100\000'; head -c 356 /dev/zero; } >"$TMP/fw/format-2.bin"
if have update-mime-database && have gio; then
  mkdir -p "$TMP/data/mime/packages"
  cp "$S/mime/packages/zentavo-update.xml" "$TMP/data/mime/packages/"
  update-mime-database "$TMP/data/mime"
  type_of() { XDG_DATA_HOME=$TMP/data gio info -a standard::content-type "$1" | sed -n 's/.*content-type: //p'; }
  for f in netappl.bin no-extension; do
    [ "$(type_of "$TMP/fw/$f")" = application/x-zentavo-firmware ] || fail "$f not recognised"
  done
  for f in random.bin format-2.bin; do
    [ "$(type_of "$TMP/fw/$f")" != application/x-zentavo-firmware ] || fail "$f taken for an image"
  done
else
  grep -q '<match type="string" offset="0" value="FWIM">' "$S/mime/packages/zentavo-update.xml" &&
    [ "$(head -c 4 "$TMP/fw/netappl.bin")" = FWIM ] || fail "the MIME magic does not match an image"
fi

# --- the installed updater's command line, without a display ---
headless=(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u LD_LIBRARY_PATH "$R/bin/zentavo-update")
[ "$("${headless[@]}" --version)" = "zentavo-update $version" ] || fail "--version without a display"
status=0; "${headless[@]}" -reverse 2>"$TMP/refused" || status=$?
[ $status = 2 ] && grep -q '^Usage: zentavo-update \[FILE\]' "$TMP/refused" || fail "-reverse taken ($status)"
status=0; "${headless[@]}" 2>"$TMP/no-display" || status=$?
[ $status = 1 ] && [ "$(wc -l <"$TMP/no-display")" = 1 ] || fail "no display: status $status, $(cat "$TMP/no-display")"

# --- the installed updater against the installed simulator ---
"$R/bin/stationsim" --station "$S/zentavo-update/demo-station.json" --port 0 --log \
  >"$TMP/sim.out" 2>"$TMP/sim.log" &
SIM=$!
port=
for _ in $(seq 100); do
  port=$(sed -n 's/^stationsim listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$TMP/sim.out")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || fail "stationsim did not start"

# The installed command line lists the station as the dialog does.
env -u LD_LIBRARY_PATH TESTDLL_NETWORK=127.0.0.1:$port TESTDLL_TIMEOUT_MS=300 "$R/bin/zentavo-flash" scan \
  >"$TMP/flash-scan" || fail "zentavo-flash scan: status $?"
grep -qx '    101  |  192.168.1.20  |  V.  2.03  |  Cluster A  |  Cluster A (02) ' "$TMP/flash-scan" ||
  fail "zentavo-flash scan: $(cat "$TMP/flash-scan")"
seen=$(wc -l <"$TMP/sim.log") # what the updater asks comes after this

mkdir -p "$TMP/config"
env -u LD_LIBRARY_PATH QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$TMP/config" \
  TESTDLL_NETWORK=127.0.0.1:$port TESTDLL_TIMEOUT_MS=300 "$R/bin/zentavo-update" \
  >"$TMP/app.log" 2>&1 &
APP=$!

# Every device the station lists and answers for is queried once the scan is done.
expected=$(grep -c '"id"' "$S/zentavo-update/demo-station.json")
for _ in $(seq 150); do
  kill -0 "$APP" 2>/dev/null || fail "the updater exited early: $(cat "$TMP/app.log")"
  log=$(tail -n +$((seen + 1)) "$TMP/sim.log")
  answered=$(grep -c '^stationsim: info [0-9]*: answered' <<<"$log" || true)
  silent=$(grep -c '^stationsim: info [0-9]*: silent' <<<"$log" || true)
  if grep -q '^stationsim: scan: ' <<<"$log" && [ $((answered + (silent > 0 ? 1 : 0))) -ge "$expected" ]; then
    echo "package layout and checkers clean; installed updater listed the station: $answered devices answered, 1 silent"
    exit 0
  fi
  sleep 0.1
done
fail "the updater did not query the whole station (answered: $answered of $expected)"
