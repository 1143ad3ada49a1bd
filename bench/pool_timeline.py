#!/usr/bin/env python3
"""Summarises the worker pool's dispatch timeline (platform/parallel_trace.h).

    VORN_POOL_TRACE=/tmp/t.txt taskset -c 0-7 build-bench/bench/ort_compare_runner run M.vorn 1 ...
    bench/pool_timeline.py /tmp/t.txt build-bench/bench/ort_compare_runner

Finds the pass's period (the repeating sequence of loops), drops the first
third of the passes as warm-up, and prints per dispatch of the pass (medians
over the passes): the loop's function, iterations and chunks, its time, the
threads that ran chunks, the latest first chunk of a worker, the spread of
the threads' last chunk ends, the caller's wait after its own chunks, the
threads' idle share, and the gap before the next dispatch (work on the
calling thread); then the totals per pass.
"""
import collections
import statistics as st
import subprocess
import sys


def parse(path):
    lines = open(path).read().splitlines()
    base = int(lines[0].split()[1], 16)
    rows = []
    for line in lines[1:]:
        parts = line.split('|')
        h = parts[0].split()
        f = dict(zip(h[0::2], h[1::2]))
        seats = []
        for p in parts[1:]:
            x = p.split()
            seats.append(tuple(int(v) for v in x[:5]) + (tuple(tuple(map(int, c.split(':'))) for c in x[5:]),))
        rows.append(dict(fn=int(f['fn'], 16), it=int(f['it']), ch=int(f['ch']), post=int(f['post']),
                         cdone=int(f['cdone']), ret=int(f['ret']), seats=seats))
    return base, rows


def period(rows):
    fns = [r['fn'] for r in rows]
    for per in range(1, len(fns) // 4 + 1):
        if all(fns[-1 - i] == fns[-1 - i - per] for i in range(min(3 * per, len(fns) - per))):
            return per
    return len(fns)


def names(binary, base, addrs):
    if binary is None:
        return {a: hex(a) for a in addrs}
    nm = subprocess.run(['nm', binary], capture_output=True, text=True).stdout.split('\n')
    dump = [int(x.split()[0], 16) for x in nm if x.endswith('_ZN4vorn5trace4dumpEv')]
    load = base - dump[0] if dump else 0
    ordered = sorted(addrs)
    out = subprocess.run(['addr2line', '-f', '-C', '-e', binary] + [hex(a - load) for a in ordered],
                         capture_output=True, text=True).stdout.split('\n')
    short = {}
    for i, a in enumerate(ordered):
        n = out[2 * i].replace('vorn::', '').replace('kern::', '').replace('(anonymous namespace)::', '')
        short[a] = n.replace('parallel_for<', '')[:44]
    return short


def main():
    base, rows = parse(sys.argv[1])
    per = period(rows)
    rows = rows[len(rows) // 3:]
    rows = rows[len(rows) % per:]
    label = names(sys.argv[2] if len(sys.argv) > 2 else None, base, {r['fn'] for r in rows})
    threads = max(len(r['seats']) for r in rows)
    by = collections.defaultdict(list)
    for i, r in enumerate(rows):
        r['gap'] = rows[i + 1]['post'] - (r['post'] + r['ret']) if i + 1 < len(rows) else 0
        by[i % per].append(r)
    print('%d passes of %d dispatches, %d threads; times in us' % (len(rows) // per, per, threads))
    print('%3s %-44s %5s %4s %8s %4s %7s %7s %7s %5s %7s' %
          ('#', 'loop', 'it', 'ch', 'time', 'thr', 'start', 'spread', 'cwait', 'idle', 'gap'))
    tot = collections.Counter()
    for k in sorted(by):
        rs = by[k]
        med = lambda f: st.median(f(r) for r in rs) / 1e3
        time = med(lambda r: r['ret'])
        start = med(lambda r: max([s[2] for s in r['seats'] if s[0] != 0] or [0]))
        spread = med(lambda r: max(s[3] for s in r['seats']) - min(s[3] for s in r['seats']))
        cwait = med(lambda r: r['ret'] - r['cdone'])
        idle = med(lambda r: (sum(r['ret'] - s[3] + s[2] for s in r['seats']) +
                              (threads - len(r['seats'])) * r['ret']) / threads)
        gap = med(lambda r: r['gap'])
        thr = st.mean(len(r['seats']) for r in rs)
        tot.update(time=time, idle=idle, gap=gap, cwait=cwait)
        print('%3d %-44s %5d %4d %8.1f %4.1f %7.1f %7.1f %7.1f %4.0f%% %7.1f' %
              (k, label[rs[0]['fn']], rs[0]['it'], rs[0]['ch'], time, thr, start, spread, cwait,
               100 * idle / time if time else 0, gap))
    print('per pass: dispatches %.0f us (threads idle in them %.0f us, %.0f%%; caller waiting %.0f us), '
          'between them %.0f us' % (tot['time'], tot['idle'], 100 * tot['idle'] / max(tot['time'], 1e-9),
                                    tot['cwait'], tot['gap']))


if __name__ == '__main__':
    main()
