#!/usr/bin/env bash
# bench/list_ports.sh [REPS] [CYCLES]: what listing ports costs, side by side with pyserial.
#  1. System calls of `qvcomm ports -v` (strace -f -c), in a private configuration folder.
#  2. Wall time of `qvcomm ports -v` and of `python3 -m serial.tools.list_ports -v`, run in
#     pairs, median of REPS (default 7) each, and their ratio.
#  3. System calls of one listing (first in a fresh process, then a refresh with nothing
#     changed) and its times, with 1, 8 and 64 ports: pseudo-terminals mapped, a fake sysfs tree
#     with that many ttyS ports, null-modem pairs (bench/port_list).
# Needs strace and python3-serial (Debian's, run by /usr/bin/python3); build/plain built.
set -euo pipefail
cd "$(dirname "$0")/.."
reps=${1:-7}
qvcomm=build/plain/tools/qvcomm
portlist=build/plain/bench/port_list
python=/usr/bin/python3
XDG_CONFIG_HOME=$(mktemp -d /tmp/qv-listbench-XXXXXX)
export XDG_CONFIG_HOME
trap 'rm -rf "$XDG_CONFIG_HOME"' EXIT

echo "== system calls of one 'qvcomm ports -v' (strace -f -c)"
strace -f -c -o "$XDG_CONFIG_HOME/trace" "$qvcomm" ports -v >/dev/null
tail -n 1 "$XDG_CONFIG_HOME/trace" | awk '{print "total", $4, "calls,", $5, "failed"}'

echo "== wall time, paired runs, median of $reps"
ms() { local t0 t1; t0=$(date +%s%N); "$@" >/dev/null 2>&1; t1=$(date +%s%N); echo $(((t1 - t0) / 1000)); }
ours=() theirs=()
for _ in $(seq "$reps"); do
  ours+=("$(ms "$qvcomm" ports -v)")
  theirs+=("$(ms "$python" -m serial.tools.list_ports -v)")
done
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR + 1) / 2)]}'; }
o=$(median "${ours[@]}") p=$(median "${theirs[@]}")
awk -v o="$o" -v p="$p" 'BEGIN {printf "qvcomm ports -v %.1f ms, pyserial list_ports -v %.1f ms, ratio %.2f\n", o / 1000, p / 1000, o / p}'

echo "== one listing: system calls (first, refresh) and times"
for kind in pty sysfs pairs; do
  for n in 1 8 64; do
    strace -f -o "$XDG_CONFIG_HOME/trace" "$portlist" "$kind" "$n" >/dev/null
    "$portlist" "$kind" "$n" >"$XDG_CONFIG_HOME/out"  # the times without strace
    calls=$(awk '/qv-list-begin/ {on = 1; n = 0; next} /qv-list-end/ {printf "%d ", n; on = 0} on {n++}' \
            "$XDG_CONFIG_HOME/trace")
    read -r first refresh <<<"$calls"
    printf 'syscalls first %5d refresh %5d (budget %d)  ' "$first" "$refresh" $((200 + 40 * n))
    cat "$XDG_CONFIG_HOME/out"
  done
done

# 4. The program open while another one maps and unmaps a port CYCLES times (default 1000):
#    the program's CPU (user + system, from /proc) over the wall time of the churn.
cycles=${2:-1000}
app=build/plain/app/qvbarcode
if [[ -x $app ]]; then
  echo "== $cycles map/unmap cycles with the program open"
  exec 3< <(exec "$python" -c 'import os, time; m, s = os.openpty(); print(os.ttyname(s), flush=True); time.sleep(3600)')
  pty_pid=$!
  read -r pty <&3
  QT_QPA_PLATFORM=offscreen "$app" >/dev/null 2>&1 &
  app_pid=$!
  sleep 2  # started, its port list built
  cpu() { awk '{print $14 + $15}' "/proc/$app_pid/stat"; }
  c0=$(cpu) t0=$(date +%s%N)
  for _ in $(seq "$cycles"); do
    "$qvcomm" map COM200 "$pty" >/dev/null
    "$qvcomm" unmap COM200 >/dev/null
  done
  sleep 1  # the last refresh
  c1=$(cpu) t1=$(date +%s%N)
  kill "$app_pid" "$pty_pid"
  wait "$app_pid" 2>/dev/null || true
  awk -v c=$((c1 - c0)) -v hz="$(getconf CLK_TCK)" -v ns=$((t1 - t0)) \
    'BEGIN {printf "program CPU %.2f s in %.1f s: %.1f%% of one CPU\n", c / hz, ns / 1e9, 100 * c / hz / (ns / 1e9)}'
fi
