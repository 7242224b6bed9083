#!/usr/bin/env python3
"""Where a barcode's time goes in a reader: per-thread CPU and context switches per code, and
(with --trace, as root) how many wake-ups crossed CPUs, from a tracefs scheduler trace.

    bench/chain_probe.py build/plain/bench/peer_reader [--n 3000] [--gap-us 1000] [--trace]

The reader follows the contract of bench/peer_reader (`READER barcode <port>`, prints READY,
then one line per CR-terminated barcode). Codes go into a pseudo-terminal one at a time, each
after the previous answer (and --gap-us of sleep).
"""
import argparse, collections, os, pty, re, select, statistics, subprocess, time, tty

TRACE = '/sys/kernel/tracing'


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument('reader')
    ap.add_argument('--n', type=int, default=3000)
    ap.add_argument('--gap-us', type=int, default=1000)
    ap.add_argument('--trace', action='store_true')
    a = ap.parse_args()
    master, slave = pty.openpty()
    tty.setraw(master)
    p = subprocess.Popen([a.reader, 'barcode', os.ttyname(slave)], stdout=subprocess.PIPE, bufsize=0)
    out = p.stdout.fileno()

    def line():
        b = b''
        while not b.endswith(b'\n'):
            select.select([out], [], [], 5.0)
            b += os.read(out, 65536)
        return b

    def sample():
        r = {}
        for t in os.listdir(f'/proc/{p.pid}/task'):
            try:
                cpu = int(open(f'/proc/{p.pid}/task/{t}/schedstat').read().split()[0])
                st = open(f'/proc/{p.pid}/task/{t}/status').read()
                vol = int(st.split('voluntary_ctxt_switches:')[1].split()[0])
                invol = int(st.split('nonvoluntary_ctxt_switches:')[1].split()[0])
                r[t] = (cpu, vol, invol)
            except (OSError, IndexError):
                pass
        return r

    assert line() == b'READY\n'
    for _ in range(200):
        os.write(master, b'1234567890123\r')
        line()
    if a.trace:
        open(f'{TRACE}/tracing_on', 'w').write('0')
        open(f'{TRACE}/trace', 'w').write('')
        open(f'{TRACE}/set_event', 'w').write('sched:sched_switch sched:sched_waking sched:sched_wakeup '
                                             'syscalls:sys_enter_write\n')
        open(f'{TRACE}/tracing_on', 'w').write('1')
    s0, lat = sample(), []
    for i in range(a.n):
        if a.gap_us:
            time.sleep(a.gap_us / 1e6)
        t0 = time.perf_counter_ns()
        os.write(master, b'%013d\r' % i)
        got = line()
        lat.append((time.perf_counter_ns() - t0) / 1000)
        assert got == b'%013d\n' % i, got
    s1 = sample()
    if a.trace:
        open(f'{TRACE}/tracing_on', 'w').write('0')
    p.terminate()
    p.wait()
    lat.sort()
    print(f'{a.n} codes, gap {a.gap_us} us: median {statistics.median(lat):.1f} us, '
          f'p99 {lat[int(len(lat) * 0.99)]:.1f} us')
    total = 0
    for t in sorted(s1):
        if t in s0:
            cpu, vol, invol = (x - y for x, y in zip(s1[t], s0[t]))
            total += cpu
            print(f'  thread {t}: CPU {cpu / 1000 / a.n:6.2f} us/code, voluntary switches {vol / a.n:.2f}, '
                  f'involuntary {invol / a.n:.2f}')
    print(f'  all threads: CPU {total / 1000 / a.n:.2f} us/code')
    if a.trace:
        cross_cpu_histogram(os.path.basename(a.reader)[:15])


def cross_cpu_histogram(comm):
    # Per code: the driver's write to the reader's answer, and how many wake-ups of the reader,
    # the driver or the pty's kernel worker landed on another CPU than the waker's.
    rx = re.compile(r'^\s*(.+)-(\d+)\s+\[(\d+)\]\s+\S+\s+([\d.]+): (\w+)(?:: |\()(.*)$')
    me = str(os.getpid())
    codes, cur = [], None
    for ln in open(f'{TRACE}/trace'):
        m = rx.match(ln)
        if not m:
            continue
        name, pid, cpu, ts, ev, rest = m.groups()
        ts = float(ts) * 1e6
        if pid == me and ev == 'sys_write' and 'count: 0xe' in rest:
            cur = {'t0': ts, 'cross': 0}
            codes.append(cur)
        elif cur is not None and ev == 'sched_waking' and re.search(rf'comm=({re.escape(comm)}|python|kworker)', rest):
            target = re.search(r'target_cpu=(\d+)', rest)
            if target and int(target.group(1)) != int(cpu):
                cur['cross'] += 1
        elif cur is not None and name.startswith(comm) and ev == 'sys_write' and 'fd: 1,' in rest \
                and 't1' not in cur:
            cur['t1'] = ts
    open(f'{TRACE}/set_event', 'w').write('')
    by = collections.defaultdict(list)
    for c in codes:
        if 't1' in c:
            by[c['cross']].append(c['t1'] - c['t0'])
    for k in sorted(by):
        print(f'  {k} cross-CPU wake-ups: {len(by[k])} codes, write to answer median '
              f'{statistics.median(by[k]):.1f} us (traced)')


if __name__ == '__main__':
    main()
