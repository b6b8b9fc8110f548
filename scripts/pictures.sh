#!/usr/bin/env bash
# Makes the README's pictures of Tolvar from the build in build/, each on an X server of its own
# (Xvfb, 1600x1000): the unit and note data read, a note in escrow with the traffic pane, and the
# Bus View after an address poll of a kiosk's bus (an encrypted CRC-16 validator, an 8-bit coin
# acceptor and hopper), a script run and the traffic pane capturing to files.
set -euo pipefail
cd "$(dirname "$0")/.."
driver=build/bin/bench_driver
work=$(mktemp -d)
bnvsim_pid=
trap '[ -z "$bnvsim_pid" ] || kill "$bnvsim_pid" 2> /dev/null; rm -rf "$work"' EXIT
picture() {  # SCENE FILE [tolvar options]
  local scene=$1 file=$2
  shift 2
  rm -f "$work/tolvar.ini"
  [ ! -e "$work/port" ] || printf 'PortName = %s\n' "$work/port" > "$work/tolvar.ini"
  xvfb-run -a -s "-screen 0 1600x1000x24" \
    env QT_QPA_PLATFORM=xcb "$driver" picture "$scene" "$file" --settings "$work/tolvar.ini" "$@"
  echo "$file"
}
# The program itself sets these up from its own options.
own() {  # FILE [tolvar options]
  local file=$1
  shift
  rm -f "$work/tolvar.ini"
  xvfb-run -a -s "-screen 0 1600x1000x24" \
    env QT_QPA_PLATFORM=xcb build/bin/tolvar --settings "$work/tolvar.ini" --screenshot "$file" "$@"
  echo "$file"
}
picture data docs/tolvar.png --simulate
picture escrow docs/tolvar-simulate.png --simulate
# The example with one expectation the validator does not meet, to show a failure.
sed 's/^GetCodeRevn$/GetCodeRevn                       # expect nak/' \
  examples/scripts/validator-smoke.txt > "$work/validator-smoke.txt"
own docs/script-run.png --simulate --script "$work/validator-smoke.txt"
own docs/capture.png --simulate --read-data --capture "$work/capture.log"
build/bin/bnvsim --device validator=encrypted --device coin-acceptor=checksum8 \
  --device hopper=checksum8 --link "$work/port" < /dev/null > "$work/bnvsim.log" 2>&1 &
bnvsim_pid=$!
for _ in $(seq 50); do [ -e "$work/port" ] && break; sleep 0.1; done
picture bus docs/bus-view.png
