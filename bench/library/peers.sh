#!/bin/sh
# Compares the library's single-device upload with the same kind of bytes sent over loopback
# by tftp to tftpd-hpa, in the same run. The raw TCP copy runs in-process in bench_library.
# Start-up is excluded as it is for the library: the time of putting an empty file (client
# start, request, server fork) is taken off every timed put. Needs root (in.tftpd), tftpd-hpa,
# tftp-hpa. Bounded: about a minute.
#
#   bench/library/peers.sh [BUILD_DIR]      (default: build)
set -eu

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${1:-$ROOT/build}
BIN=$BUILD/bin
RUNS=3
# 16 MiB: 32768 blocks of 512 bytes, below the block counter's wrap.
SIZE=$((16 * 1024 * 1024))

for tool in in.tftpd tftp timeout python3; do
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
median() { tr ' ' '\n' | grep . | sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
py() { python3 -c "print($1)"; }

head -c "$SIZE" /dev/urandom >"$WORK/image.bin"
: >"$WORK/empty.bin"
mkdir "$WORK/tftp"
chmod 777 "$WORK/tftp"

# Ours: the single-device figure of the library benchmark (64 MiB, start-up excluded), as
# scripts/bench measured it in the same run (OURS_MBPS), else measured now.
OURS=${OURS_MBPS:-$("$BIN/bench_library" one | grep '^64 MiB to 1 unthrottled' | cut -d'|' -f2 | tr -d ' ')}

# TFTP: our own server on a free loopback port (the system service is not used).
TPORT=$(free_port)
in.tftpd --foreground --listen --address "127.0.0.1:$TPORT" --create --secure --user root "$WORK/tftp" &
TFTPD_PID=$!
sleep 0.3
put() { # file; prints seconds
  rm -f "$WORK/tftp/$1"
  t0=$(now)
  timeout 120 tftp -m binary 127.0.0.1 "$TPORT" -c put "$WORK/$1" "$1"
  t1=$(now)
  cmp -s "$WORK/$1" "$WORK/tftp/$1" || { echo "peers.sh: tftp copy differs" >&2; exit 1; }
  py "$t1 - $t0"
}
empty=""
for i in $(seq 5); do empty="$empty $(put empty.bin)"; done
START=$(echo $empty | median)
rates=""
for i in $(seq $RUNS); do
  t=$(put image.bin)
  rates="$rates $(py "'%.2f' % ($SIZE / 1e6 / ($t - $START))")"
done
TFTP=$(echo $rates | median)
MIN=$(echo $rates | tr ' ' '\n' | grep . | sort -g | head -1)
MAX=$(echo $rates | tr ' ' '\n' | grep . | sort -g | tail -1)

echo "figure | median | target | peer | ratio"
echo "16 MiB by tftp to tftpd-hpa, start-up ($(py "'%.1f' % ($START * 1000)") ms) taken off (MB/s) | $TFTP | - | min $MIN / max $MAX | -"
echo "ours / tftp | $OURS MB/s | >= 10 | $TFTP MB/s | $(py "'%.1f' % ($OURS / $TFTP)")"
