#!/usr/bin/env bash
# A peer nobody here wrote: bnvsim's capture of every command method, in CRC and 8-bit frames,
# split by @serialport/parser-cctalk (npm) must give the frames `quennet monitor` gives.
#   tests/peer/check.sh [BIN_DIR]   (default build/bin)
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
bin="$(cd "${1:-$root/build/bin}" && pwd)"
cd "$root/tests/peer"
npm ci --no-audit --no-fund --loglevel=error > /dev/null
work=$(mktemp -d)
sim=""
cleanup() {
  if [ -n "$sim" ]; then kill "$sim" 2> /dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
for mode in crc checksum8; do
  frames=()
  [ "$mode" = checksum8 ] && frames=(--checksum8)
  "$bin/bnvsim" --hopper --coin-acceptor "${frames[@]}" --capture "$work/$mode.capture" \
    --link "$work/port" < /dev/null > "$work/bnvsim.log" 2>&1 &
  sim=$!
  for _ in $(seq 50); do [ -e "$work/port" ] && break; sleep 0.1; done
  "$bin/quennet" --port "$work/port" --echo "${frames[@]}" batch < methods.batch > "$work/$mode.batch" || true
  test "$(wc -l < "$work/$mode.batch")" -eq 62
  kill "$sim"
  wait "$sim" || true
  sim=""
  "$bin/quennet" monitor --input "$work/$mode.capture" "${frames[@]}" --json > "$work/$mode.monitor"
  echo "== $mode frames"
  node split_capture.mjs "$work/$mode.capture" "$work/$mode.monitor"
done
