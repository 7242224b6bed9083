#!/usr/bin/env bash
# scripts/run.sh [ARGS]: installs what is missing, builds and shows the program at work.
#
# Without arguments: a virtual barcode scanner (qvcomm simulate --demo) sends made-up EAN-13
# codes to a pseudo-terminal it maps as a COM port. On a desktop ($DISPLAY or $WAYLAND_DISPLAY)
# the program qvbarcode opens on that port (tick Active) until its window is closed; without
# one qvcomm read prints each barcode as it arrives, until Ctrl-C. With arguments, they go to
# qvcomm: scripts/run.sh ports.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh run
[[ -x build/plain/tools/qvcomm ]] || echo "Building qvcomm and qvbarcode (the first build takes a few minutes)..." >&2
# Only what runs here and what cmake --install takes (the shared library, the man pages): no
# tests, no benchmarks; the build's progress goes to the terminal. The program is built when the
# tree has it (Qt found).
scripts/build.sh plain qv_install_parts >&2
qvcomm=build/plain/tools/qvcomm
if (($#)); then
  exec "$qvcomm" "$@"
fi

# The scanner runs in the background (a background job ignores Ctrl-C, so the reader in the
# foreground ends first and cleanly); the reader gets the port it took from its first line.
coproc SIMULATOR { exec "$qvcomm" simulate --demo; }
simulator_pid=$SIMULATOR_PID
trap 'kill -TERM "$simulator_pid" 2>/dev/null; wait "$simulator_pid" 2>/dev/null || true' EXIT
read -r port <&"${SIMULATOR[0]}" || { echo "run.sh: the virtual scanner did not start" >&2; exit 1; }
status=0
if [[ -n ${DISPLAY:-}${WAYLAND_DISPLAY:-} && -x build/plain/app/qvbarcode ]]; then
  build/plain/app/qvbarcode --port "$port" || status=$?
  exit "$status"
fi
"$qvcomm" read "$port" || status=$?
# Ctrl-C (130) is how the demo ends.
((status == 130)) && status=0
exit "$status"
