#!/bin/sh
# Compares the library's 4 MiB single-device upload with the same bytes sent over
# loopback by tftp to tftpd-hpa and by a raw TCP copy (socat), in the same run.
# Needs root (in.tftpd), tftpd-hpa, tftp-hpa and socat. Bounded: about a minute.
#
#   bench/library/peers.sh [BUILD_DIR]      (default: build)
set -eu

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${1:-$ROOT/build}
BIN=$BUILD/bin
RUNS=5
SIZE=$((4 * 1024 * 1024))

for tool in in.tftpd tftp socat timeout python3; do
  command -v "$tool" >/dev/null 2>&1 || { echo "peers.sh: $tool not found" >&2; exit 1; }
done
[ -x "$BIN/bench_library" ] || { echo "peers.sh: $BIN/bench_library not built" >&2; exit 1; }

WORK=$(mktemp -d)
TFTPD_PID=
cleanup() {
  [ -n "$TFTPD_PID" ] && kill "$TFTPD_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT INT TERM

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
now() { date +%s.%N; }
mbps() { python3 -c "print('%.1f' % ($SIZE / 1e6 / $1))"; }
median() { tr ' ' '\n' | sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }

head -c "$SIZE" /dev/urandom >"$WORK/image.bin"
mkdir "$WORK/tftp"
chmod 777 "$WORK/tftp"

# Ours: the single-device figure from the library benchmark.
OURS_LINE=$("$BIN/bench_library" one | grep 'unthrottled')
OURS=$(echo "$OURS_LINE" | cut -d'|' -f2 | tr -d ' ')

# TFTP: our own server on a free loopback port (the system service is not used).
TPORT=$(free_port)
in.tftpd --foreground --listen --address "127.0.0.1:$TPORT" --create --secure --user root "$WORK/tftp" &
TFTPD_PID=$!
sleep 0.3
times=""
for i in $(seq $RUNS); do
  rm -f "$WORK/tftp/image.bin"
  t0=$(now)
  timeout 60 tftp -m binary 127.0.0.1 "$TPORT" -c put "$WORK/image.bin" image.bin
  t1=$(now)
  cmp -s "$WORK/image.bin" "$WORK/tftp/image.bin" || { echo "peers.sh: tftp copy differs" >&2; exit 1; }
  times="$times $(python3 -c "print($t1 - $t0)")"
done
TFTP=$(mbps "$(echo $times | median)")

# Raw TCP copy: socat sender to a socat receiver writing a file.
times=""
for i in $(seq $RUNS); do
  RPORT=$(free_port)
  rm -f "$WORK/raw.bin"
  socat -u "TCP-LISTEN:$RPORT,bind=127.0.0.1,reuseaddr" "CREATE:$WORK/raw.bin" &
  RECV=$!
  sleep 0.1
  t0=$(now)
  timeout 30 socat -u "OPEN:$WORK/image.bin" "TCP:127.0.0.1:$RPORT"
  wait $RECV
  t1=$(now)
  cmp -s "$WORK/image.bin" "$WORK/raw.bin" || { echo "peers.sh: raw copy differs" >&2; exit 1; }
  times="$times $(python3 -c "print($t1 - $t0)")"
done
RAW=$(mbps "$(echo $times | median)")

ratio() { python3 -c "print('%.2f' % ($1 / $2))"; }
echo "figure | median | target | peer | ratio"
echo "$OURS_LINE"
echo "4 MiB by tftp to tftpd-hpa (MB/s) | $TFTP | - | - | -"
echo "4 MiB by raw TCP copy, socat (MB/s) | $RAW | - | - | -"
echo "ours / tftp | $OURS MB/s | >= 10 | $TFTP MB/s | $(ratio "$OURS" "$TFTP")"
echo "ours / raw TCP copy | $OURS MB/s | >= 0.5 | $RAW MB/s | $(ratio "$OURS" "$RAW")"
