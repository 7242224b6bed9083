#!/usr/bin/env bash
# scripts/desktop_check.sh [SCREENSHOT.png]: the program driven as a person would, on a virtual
# display (Xvfb) unless $DISPLAY is set: the program is started on the virtual scanner's device
# path, a click ticks Active, a code with letters loses them under the first-run framing (the
# status line says so), Whole lines is chosen on the settings dialog's Scanner page with the
# keyboard, and a code with letters and a URL are listed whole (and shot); then the figures:
# closing the window while 1,000 barcodes a second arrive, and the CPU the idle program uses with
# its port open. Port mappings and settings go to a temporary store, so yours stay as they are.
set -euo pipefail
cd "$(dirname "$0")/.."
shot=${1:-}
scripts/setup.sh >/dev/null
scripts/build.sh plain qvcomm qvbarcode >/dev/null
root=$PWD
qvcomm=$root/build/plain/tools/qvcomm
program=$root/build/plain/app/qvbarcode
log=$root/build/plain/app/qvbarcode.log
work=$(mktemp -d)
export XDG_CONFIG_HOME=$work/config
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

if [[ -z ${DISPLAY:-} ]]; then
  exec {fd}<> <(:)
  Xvfb -displayfd "$fd" -screen 0 640x480x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
  pids+=($!)
  read -r -t 10 -u "$fd" display || { echo "desktop_check: Xvfb did not start" >&2; exit 1; }
  export DISPLAY=:$display
fi

# A virtual scanner; its first line is the port it took.
start_scanner() {
  coproc SCANNER { exec "$qvcomm" simulate --demo "$@"; }
  pids+=("$SCANNER_PID")
  read -r port <&"${SCANNER[0]}"
}
stop_scanner() { kill -TERM "$SCANNER_PID" 2>/dev/null || true; wait "$SCANNER_PID" 2>/dev/null || true; }
start_program() {
  "$program" --port "$port" >"$work/program.log" 2>&1 &
  program_pid=$!
  pids+=("$program_pid")
  window=$(xdotool search --sync --onlyvisible --name "Barcode Scanner Demo" | head -1)
}
click_active() { xdotool mousemove --window "$window" 22 16 click 1; }
cpu_ticks() { local t=0 f; for f in /proc/"$1"/task/*/stat; do t=$((t + $(awk '{print $14 + $15}' "$f"))); done; echo "$t"; }
ends_with_close() { [[ $(tail -c 40 "$log") == *"The port is succesful closed" ]]; }

echo "1. codes with letters and a URL (a screenshot shows them)"
# A scanner that sends the lines it is given, each ended by CR LF.
coproc SCANNER { exec "$qvcomm" simulate --terminator CRLF 2>"$work/scanner.err"; }
pids+=("$SCANNER_PID")
read -r port <&"${SCANNER[0]}"
for _ in {1..50}; do [[ -s $work/scanner.err ]] && break; sleep 0.1; done
device=$(sed -n 's/.*(\(\/dev\/[^)]*\)).*/\1/p' "$work/scanner.err" | head -1)
scan() { printf '%s\n' "$@" >&"${SCANNER[1]}"; sleep 1; }
port=$device  # the program finds the port by its device path
start_program
click_active
sleep 1
scan "ABC-123"
xdotool mousemove --window "$window" 213 44 click 1  # Config port
settings=$(xdotool search --sync --onlyvisible --name " Settings" | head -1)
sleep 0.5
xdotool key --delay 300 ctrl+Tab alt+w Return  # Scanner page, Whole lines, OK
sleep 1
scan "SKU 4006381333931" "https://example.com/p?id=42"
if [[ -n $shot ]]; then
  if command -v import >/dev/null; then import -window "$window" "$shot" && echo "   screenshot: $shot"
  else echo "   no screenshot: ImageMagick's import is not installed (apt-get install imagemagick)"; fi
fi
grep -q "The port COM[0-9]* succesful opened" "$log" && echo "   log: the port of $device opened"

echo "2. idle with the port open: CPU over 10 s"
kill -TERM "$program_pid"; wait "$program_pid" 2>/dev/null || true
stop_scanner
start_scanner --delay 3600000
start_program
click_active
sleep 1.5
before=$(cpu_ticks "$program_pid")
sleep 10
after=$(cpu_ticks "$program_pid")
echo "   $((after - before)) clock ticks ($(getconf CLK_TCK) a second) in 10 s"
kill -TERM "$program_pid"; wait "$program_pid" 2>/dev/null || true
stop_scanner

echo "3. closing the window while 1,000 barcodes a second arrive"
start_scanner --delay 1
start_program
click_active
sleep 3
start=$(date +%s%N)
kill -TERM "$program_pid"  # closes the window as the user would
status=0
wait "$program_pid" || status=$?
end=$(date +%s%N)
echo "   ended with status $status after $(((end - start) / 1000000)) ms"
ends_with_close && echo "   the log ends with the close line" || { echo "   the log does not end with the close line" >&2; exit 1; }
stop_scanner
