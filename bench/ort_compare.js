// Drives bench/ort_compare: converts every model of the manifests once per
// build, then, model by model and for each thread count, times it in
// separate processes on our CPU engine (ort_compare_runner of each build)
// and on ONNX Runtime (ort_compare_peer), all pinned to the same cores and
// each under /usr/bin/time -v for its peak resident memory, in rounds whose
// order turns by one side each round. A side's latency is the best of its
// rounds' medians. The first round also writes every output, which is
// checked against the manifest's reference (ONNX Runtime without graph
// rewrites, the conformance fixtures' rule). The first build is the one
// judged against the targets; every other build is shown beside it.
'use strict';
const fs = require('fs');
const path = require('path');
const lib = require('./ort_compare_lib');

const {ELEVEN, fmt} = lib;
const TARGET = {geo1: 1.0, geoAll: 0.9, worst: 1.25};
const NAME = 26;  // width of the model column
// Width of a latency column, whose heading names the build.
const width = (opts, label) => Math.max(12, ...opts.threads.map((t) => `${t}t ${label}`.length));

function readTensor(file, count) {
  const bytes = fs.readFileSync(file);
  const copy = new ArrayBuffer(bytes.length);
  new Uint8Array(copy).set(bytes);
  if (bytes.length === count * 8) return Array.from(new BigInt64Array(copy), Number);
  if (bytes.length === count * 4) return new Float32Array(copy);
  return null;
}

// The worst |got - ref| over the bound relative * max|ref| + absolute of
// each output (integer references exactly), and for classifiers the
// arg-max of every row of the first output; answers {ratio, text}, ratio
// above 1 failing.
function check(c, names, prefix) {
  if (!names || names.length === 0) return null;
  const tol = c.tolerance || {relative: 1e-4, absolute: 1e-5};
  let worst = 0;
  let text = '';
  c.outputs.forEach((o, k) => {
    const count = o.shape.reduce((a, b) => a * b, 1);
    const ref = readTensor(path.join(c.dir, o.file), count);
    const slot = names.indexOf(o.name);
    const got = slot < 0 ? null : readTensor(`${prefix}${slot}.bin`, count);
    if (!got || !ref) {
      worst = Infinity;
      text = `${o.name} missing`;
      return;
    }
    let maxRef = 0;
    for (const v of ref) maxRef = Math.max(maxRef, Math.abs(v));
    const bound = o.dtype === 'i64' ? 0 : tol.relative * maxRef + tol.absolute;
    let diff = 0;
    for (let i = 0; i < count; ++i) {
      const d = Number.isNaN(ref[i]) && Number.isNaN(got[i]) ? 0 : Math.abs(got[i] - ref[i]);
      diff = Number.isNaN(d) ? Infinity : Math.max(diff, d);
    }
    const ratio = bound > 0 ? diff / bound : diff > 0 ? Infinity : 0;
    if (ratio > worst) {
      worst = ratio;
      text = `${o.name} |diff| ${diff.toExponential(2)} > ${bound.toExponential(2)}`;
    }
    if (k === 0 && c.top1) {
      const row = o.shape[o.shape.length - 1];
      for (let r = 0; r < count / row; ++r) {
        const arg = (v) => {
          let best = r * row;
          for (let i = r * row; i < (r + 1) * row; ++i) if (v[i] > v[best]) best = i;
          return best;
        };
        if (arg(got) !== arg(ref)) {
          worst = Infinity;
          text = `${o.name} row ${r}: top-1 differs`;
          break;
        }
      }
    }
  });
  return {ratio: worst, text: worst > 1 ? text : ''};
}

// One side's invocation; answers the figures line as lib.pinned does.
function runSide(opts, side, c, cores, vorn, outPrefix) {
  if (side.kind === 'ort') {
    const args = [lib.ortLibrary(opts.ort), path.join(c.dir, c.model), String(cores.split(',').length),
                  String(opts.seconds)];
    if (outPrefix) args.push('--outputs', outPrefix);
    return lib.pinned(cores, opts.peer, [...args, ...lib.inputArgs(c)]);
  }
  if (typeof vorn !== 'string') return vorn || {error: 'not converted'};
  const args = ['run', vorn, String(opts.seconds), '--backend', side.backend];
  if (outPrefix && side.build.current) args.push('--outputs', outPrefix);
  return lib.pinned(cores, side.build.runner, [...args, ...lib.inputArgs(c, side.build.current)]);
}

// Measures one model: every thread count, rounds of all sides in turning
// order; answers {threads: {t: {side label: figures}}, load: [lo, hi]}.
function measure(opts, sides, converted, c) {
  const row = {name: c.name, set: c.set, threads: {}};
  const loads = [lib.load()];
  for (const t of opts.threads) {
    const cores = lib.coresFor(opts, t);
    const got = {};
    for (let r = 0; r < opts.rounds; ++r) {
      for (let k = 0; k < sides.length; ++k) {
        const side = sides[(k + r) % sides.length];
        const prefix = r === 0 ? path.join(opts.work, 'out', `${side.label}-${t}-${c.name}-`) : null;
        const vorn = side.build ? converted.get(side.build.label).get(c.name) : null;
        const f = runSide(opts, side, c, cores, vorn, prefix);
        loads.push(lib.load());
        const s = (got[side.label] = got[side.label] || {medians: [], rss: NaN});
        if (f.error) {
          s.error = s.error || f.error;
          continue;
        }
        s.medians.push(f.median_ms);
        s.rss = Number.isFinite(s.rss) ? Math.max(s.rss, f.rss_mib) : f.rss_mib;
        if (prefix) s.check = check(c, f.outputs, prefix);
      }
    }
    for (const s of Object.values(got)) s.ms = s.medians.length ? Math.min(...s.medians) : NaN;
    row.threads[t] = got;
  }
  row.load = [Math.min(...loads), Math.max(...loads)];
  return row;
}

// The targets a model misses on the first build: R1/RN its ratio above
// 1.25 at one thread / at all cores, T slower at all cores than at one,
// M peak memory not below ONNX Runtime's, O outputs outside the tolerance,
// E a side failed.
function missed(opts, row, label) {
  const flags = [];
  const t1 = opts.threads[0];
  const tn = opts.threads[opts.threads.length - 1];
  for (const t of opts.threads) {
    const v = row.threads[t][label];
    const o = row.threads[t].ort;
    if (v.error || o.error) flags.push('E');
    if (v.ms / o.ms > TARGET.worst) flags.push(t === t1 ? 'R1' : 'RN');
    if (v.rss >= o.rss) flags.push('M');
    if (v.check && v.check.ratio > 1) flags.push('O');
  }
  if (opts.threads.length > 1 && row.threads[tn][label].ms > row.threads[t1][label].ms) flags.push('T');
  return [...new Set(flags)];
}

function header(opts, label) {
  const t1 = opts.threads[0];
  const tn = opts.threads[opts.threads.length - 1];
  let h = `${'model'.padEnd(NAME)}`;
  for (const t of opts.threads) h += ` | ${`${t}t ${label}`.padStart(width(opts, label))} ${'ORT ms'.padStart(9)} ${'ratio'.padStart(5)}`;
  if (opts.threads.length > 1) h += ` | ${`${tn}t/${t1}t`.padStart(6)}`;
  h += ` | ${'MiB ours'.padStart(8)} ${'ORT'.padStart(6)} | ${'out'.padStart(5)} ${'ORT'.padStart(5)} | ${'load'.padStart(9)} | missed`;
  return h;
}

function line(opts, row, label) {
  const t1 = opts.threads[0];
  const tn = opts.threads[opts.threads.length - 1];
  let s = row.name.padEnd(NAME);
  let rssV = -Infinity, rssO = -Infinity, out = 0, outOrt = 0;
  const notes = [];
  for (const t of opts.threads) {
    const v = row.threads[t][label];
    const o = row.threads[t].ort;
    s += ` | ${fmt(v.ms, width(opts, label), 3)} ${fmt(o.ms, 9, 3)} ${fmt(v.ms / o.ms, 5)}`;
    rssV = Math.max(rssV, v.rss);
    rssO = Math.max(rssO, o.rss);
    if (v.check) out = Math.max(out, v.check.ratio);
    else out = NaN;
    if (o.check) outOrt = Math.max(outOrt, o.check.ratio);
    if (v.error) notes.push(`${t}t ${label}: ${v.error}`);
    if (o.error) notes.push(`${t}t ORT: ${o.error}`);
    if (v.check && v.check.text) notes.push(`${t}t: ${v.check.text}`);
  }
  if (opts.threads.length > 1) s += ` | ${fmt(row.threads[tn][label].ms / row.threads[t1][label].ms, 6)}`;
  s += ` | ${fmt(rssV, 8, 1)} ${fmt(rssO, 6, 1)} | ${fmt(out, 5)} ${fmt(outOrt, 5)} | ` +
       `${row.load[0].toFixed(1).padStart(4)}-${row.load[1].toFixed(1).padEnd(4)} | ${missed(opts, row, label).join(',')}`;
  return s + [...new Set(notes)].map((n) => `\n    ${n}`).join('');
}

// Geometric means of a build's ratio to ONNX Runtime per thread count, over
// every model and over the eleven, and whether each target holds.
function summary(opts, rows, label) {
  const t1 = opts.threads[0];
  const tn = opts.threads[opts.threads.length - 1];
  const out = [];
  const geo = {};
  for (const t of opts.threads) {
    const all = rows.map((r) => r.threads[t][label].ms / r.threads[t].ort.ms).filter(Number.isFinite);
    const eleven = rows.filter((r) => ELEVEN.includes(r.name))
                       .map((r) => r.threads[t][label].ms / r.threads[t].ort.ms).filter(Number.isFinite);
    geo[t] = all.length ? lib.geomean(all) : NaN;
    out.push(`geometric mean ${label} / ORT at ${t} thread(s): ${fmt(geo[t], 0, 3)} over ${all.length} models` +
             (eleven.length ? `; the eleven common ${fmt(lib.geomean(eleven), 0, 3)}` : ''));
    for (const set of [...new Set(rows.map((r) => r.set))]) {
      const xs = rows.filter((r) => r.set === set).map((r) => r.threads[t][label].ms / r.threads[t].ort.ms)
                     .filter(Number.isFinite);
      if (xs.length) out.push(`    ${set}: ${fmt(lib.geomean(xs), 0, 3)} over ${xs.length}`);
    }
  }
  const names = (flag) => rows.filter((r) => missed(opts, r, label).includes(flag)).map((r) => r.name);
  const verdict = (ok, text, list) => out.push(`${ok ? 'met   ' : 'MISSED'} ${text}${list && list.length ? `: ${list.join(', ')}` : ''}`);
  out.push(`targets (${label}):`);
  verdict(geo[t1] <= TARGET.geo1, `geometric mean at ${t1} thread <= ${TARGET.geo1} (${fmt(geo[t1], 0, 3)})`);
  if (opts.threads.length > 1)
    verdict(geo[tn] <= TARGET.geoAll, `geometric mean at ${tn} threads <= ${TARGET.geoAll} (${fmt(geo[tn], 0, 3)})`);
  verdict(names('R1').length === 0, `no model above ${TARGET.worst} at ${t1} thread`, names('R1'));
  if (opts.threads.length > 1) {
    verdict(names('RN').length === 0, `no model above ${TARGET.worst} at ${tn} threads`, names('RN'));
    verdict(names('T').length === 0, `no model slower at ${tn} threads than at ${t1}`, names('T'));
  }
  verdict(names('M').length === 0, 'peak memory below ONNX Runtime\'s', names('M'));
  const unchecked = rows.filter((r) => opts.threads.some((t) => !r.threads[t][label].check &&
                                                                 !r.threads[t][label].error));
  if (unchecked.length === rows.length) out.push('-      outputs not checked (the build\'s runner writes none)');
  else verdict(names('O').length === 0, 'outputs within the conformance tolerance', names('O'));
  verdict(names('E').length === 0, 'every model ran on both sides', names('E'));
  return out.join('\n');
}

// Another build beside the first: its latency, the first's over it, and its
// output check.
function besideLine(opts, row, first, label) {
  let s = row.name.padEnd(NAME);
  for (const t of opts.threads) {
    const a = row.threads[t][first];
    const b = row.threads[t][label];
    s += ` | ${fmt(b.ms, 10, 3)} ${fmt(b.ms / row.threads[t].ort.ms, 5)} ${fmt(a.ms / b.ms, 6, 3)}`;
  }
  const outs = opts.threads.map((t) => row.threads[t][label].check).filter(Boolean);
  s += ` | ${outs.length ? fmt(Math.max(...outs.map((c) => c.ratio)), 5) : '    -'}`;
  const errors = opts.threads.map((t) => row.threads[t][label].error).filter(Boolean);
  return s + (errors.length ? `  ${errors[0]}` : '');
}

// The first build's table and targets as Markdown, for bench/RESULTS.md.
function markdown(opts, rows, label) {
  const t1 = opts.threads[0];
  const tn = opts.threads[opts.threads.length - 1];
  const cols = ['model', ...opts.threads.flatMap((t) => [`${t}t ${label} / ORT ms`, 'ratio'])];
  if (opts.threads.length > 1) cols.push(`${tn}t / ${t1}t`);
  cols.push('peak MiB ours / ORT', 'out', 'load', 'missed');
  const out = [`| ${cols.join(' | ')} |`, `|---|${cols.slice(1).map(() => '---:').join('|')}|`];
  for (const r of rows) {
    const cells = [r.name];
    for (const t of opts.threads) {
      const v = r.threads[t][label], o = r.threads[t].ort;
      cells.push(`${fmt(v.ms, 0, 3)} / ${fmt(o.ms, 0, 3)}`, fmt(v.ms / o.ms, 0));
    }
    if (opts.threads.length > 1) cells.push(fmt(r.threads[tn][label].ms / r.threads[t1][label].ms, 0));
    const rss = (side) => Math.max(...opts.threads.map((t) => r.threads[t][side].rss));
    const checks = opts.threads.map((t) => r.threads[t][label].check).filter(Boolean);
    cells.push(`${fmt(rss(label), 0, 1)} / ${fmt(rss('ort'), 0, 1)}`,
               checks.length ? fmt(Math.max(...checks.map((c) => c.ratio)), 0) : '-',
               `${r.load[0].toFixed(1)}-${r.load[1].toFixed(1)}`, missed(opts, r, label).join(', '));
    out.push(`| ${cells.join(' | ')} |`);
  }
  return `${out.join('\n')}\n\n${summary(opts, rows, label).split('\n').map((l) => `    ${l}`).join('\n')}\n`;
}

function main() {
  const opts = lib.parseArgs(process.argv.slice(2));
  if (opts.from) {
    // Renders a finished run's figures again, as Markdown.
    const saved = JSON.parse(fs.readFileSync(opts.from, 'utf8'));
    process.stdout.write(markdown(saved.opts, saved.rows, saved.opts.builds[0].split('=')[0]));
    return;
  }
  fs.mkdirSync(path.join(opts.work, 'out'), {recursive: true});
  const list = lib.cases(opts);
  const builds = lib.builds(opts);
  const converted = new Map(builds.map((b) => [b.label, lib.convertAll(b, list, opts.work)]));
  const first = builds[0].label;
  const sides = [...builds.map((b) => ({kind: 'vorn', label: b.label, build: b, backend: 'cpu'})),
                 {kind: 'ort', label: 'ort'}];
  if (opts.gpu === '1') sides.push({kind: 'vorn', label: 'gpu', build: builds[0], backend: 'gpu'});

  console.log(lib.machine(opts));
  console.log(`${new Date().toISOString()}; ${opts.seconds} s per run of a side, ${opts.rounds} rounds per model ` +
              `and thread count, sides alternating; builds: ${builds.map((b) => `${b.label} (${b.runner})`).join(', ')}`);
  console.log('ms: best of the rounds\' medians; MiB: peak resident memory, the most of any round and thread count;');
  console.log('out: worst |diff| / bound against the reference outputs (above 1 fails; ORT: ONNX Runtime\'s own, ' +
              'with its rewrites); load: 1-minute load average while the model ran');
  console.log('missed: R1/RN ratio above 1.25 at one thread/all cores, T slower at all cores, M memory, O outputs, ' +
              'E a side failed\n');
  console.log(header(opts, first));
  const rows = [];
  for (const c of list) {
    const row = measure(opts, sides, converted, c);
    rows.push(row);
    console.log(line(opts, row, first));
  }
  console.log(`\nload average at the end ${lib.loadText()}; 1-minute load over the models ` +
              `${Math.min(...rows.map((r) => r.load[0])).toFixed(1)}-${Math.max(...rows.map((r) => r.load[1])).toFixed(1)}`);
  console.log(summary(opts, rows, first));
  for (const side of sides.slice(1)) {
    if (side.kind === 'ort') continue;
    console.log(`\n${side.label} beside ${first} (${side.label} ms, ${side.label} / ORT, ${first} / ${side.label}; ` +
                'out as above)');
    for (const row of rows) console.log(besideLine(opts, row, first, side.label));
    for (const t of opts.threads) {
      const xs = rows.map((r) => r.threads[t][first].ms / r.threads[t][side.label].ms).filter(Number.isFinite);
      if (xs.length) console.log(`geometric mean ${first} / ${side.label} at ${t} thread(s): ${fmt(lib.geomean(xs), 0, 3)}`);
    }
    if (side.label !== 'gpu') console.log(summary(opts, rows, side.label));
  }
  const json = opts.json || path.join(opts.work, 'results.json');
  fs.writeFileSync(json, JSON.stringify({opts, rows}, null, 1));
  fs.writeFileSync(json.replace(/(\.json)?$/, '.md'), markdown(opts, rows, first));
  console.log(`\nfigures: ${json} (and as Markdown beside it)`);
}

main();
