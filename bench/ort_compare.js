// Drives bench/ort_compare: for every architecture and trained model of the
// given conformance manifests, converts the model once, then times it in
// separate processes on our CPU engine and our GPU backend
// (ort_compare_runner) and on ONNX Runtime (ort_compare_ort.js), each under
// /usr/bin/time -v for its peak resident memory. A single thread is enforced on both sides by pinning the
// process to one core; for more threads ONNX Runtime is given that many
// intra-op threads and our pool uses every core the process may run on.
'use strict';
const fs = require('fs');
const os = require('os');
const path = require('path');
const {spawnSync} = require('child_process');

function parseArgs(argv) {
  const opts = {manifests: []};
  for (let i = 0; i < argv.length; ++i) {
    const a = argv[i];
    if (a.startsWith('--')) opts[a.slice(2)] = argv[++i];
    else opts.manifests.push(a);
  }
  opts.threads = opts.threads.trim().split(/\s+/).map(Number);
  opts.seconds = Number(opts.seconds);
  return opts;
}

// Runs a command under /usr/bin/time -v; answers its JSON line, peak RSS in
// MiB, or an error text.
function timed(cmd, args, threads) {
  let full = ['-v', cmd, ...args];
  if (threads === 1) full = ['-v', 'taskset', '-c', '0', cmd, ...args];
  const r = spawnSync('/usr/bin/time', full, {encoding: 'utf8', maxBuffer: 1 << 24});
  const rss = /Maximum resident set size \(kbytes\): (\d+)/.exec(r.stderr || '');
  if (r.status !== 0) {
    const text = (r.stderr || '').split('\n').filter((l) => l && !/^\t/.test(l) && !/Command/.test(l));
    return {error: text.slice(0, 3).join(' ') || `exit ${r.status}`, status: r.status};
  }
  return {...JSON.parse(r.stdout.trim().split('\n').pop()), rss_mib: rss ? Number(rss[1]) / 1024 : NaN};
}

function cases(opts) {
  const out = [];
  for (const file of opts.manifests) {
    if (!fs.existsSync(file)) continue;
    const dir = path.dirname(file);
    for (const c of JSON.parse(fs.readFileSync(file, 'utf8')).cases) {
      if (c.kind === 'op') continue;
      if (opts.filter && !c.name.includes(opts.filter)) continue;
      if (opts['all-opsets'] !== '1' && /_op(11|17)$/.test(c.name)) continue;
      out.push({...c, dir});
    }
  }
  return out;
}

const fmt = (v, w, d = 2) => (Number.isFinite(v) ? v.toFixed(d) : '-').padStart(w);

function main() {
  const opts = parseArgs(process.argv.slice(2));
  fs.mkdirSync(opts.work, {recursive: true});
  const ortScript = path.join(__dirname, 'ort_compare_ort.js');
  const list = cases(opts);
  // Node's own footprint, to read ONNX Runtime's peak memory fairly.
  const idle = spawnSync('/usr/bin/time', ['-v', process.execPath, '-e', '0'], {encoding: 'utf8'});
  const nodeBase = Number((/Maximum resident set size \(kbytes\): (\d+)/.exec(idle.stderr) || [0, 0])[1]) / 1024;

  const converted = new Map();
  let unavailable = '';
  for (const c of list) {
    const vorn = path.join(opts.work, c.name + '.vorn');
    fs.rmSync(vorn, {force: true});
    const r = spawnSync(opts.runner, ['convert', path.join(c.dir, c.model), vorn], {encoding: 'utf8'});
    if (r.status === 0) converted.set(c.name, vorn);
    else if (r.status === 3) unavailable = r.stderr.trim();
    else converted.set(c.name, {error: (r.stderr || '').trim().split('\n')[0]});
  }

  console.log(`machine: ${os.cpus().length} cores (${os.cpus()[0].model}); ${opts.seconds} s per model and side`);
  console.log(`ONNX Runtime peak memory is shown minus node's own ${nodeBase.toFixed(1)} MiB`);
  for (const threads of opts.threads) {
    console.log(`\nthreads ${threads}`);
    console.log(`${'model'.padEnd(30)} ${'vorn ms'.padStart(9)} ${'ORT ms'.padStart(9)} ${'ratio'.padStart(6)} ` +
                `${'vorn MiB'.padStart(9)} ${'ORT MiB'.padStart(9)} ${'GPU ms'.padStart(9)} ${'GPU/CPU'.padStart(8)}`);
    const ratios = [], gpuRatios = [];
    let worst = null, worstGpu = null;
    for (const c of list) {
      const inputsFile = path.join(opts.work, c.name + '.inputs.json');
      fs.writeFileSync(inputsFile, JSON.stringify(c.inputs.map((s) => ({...s, file: path.join(c.dir, s.file)}))));
      const ort = timed(process.execPath, [ortScript, opts.ort, path.join(c.dir, c.model), String(threads),
                                           String(opts.seconds), inputsFile], threads);
      const vorn = converted.get(c.name);
      let ours = {error: unavailable ? 'no converter' : 'not converted'};
      let gpu = ours;
      if (typeof vorn === 'string') {
        const args = c.inputs.map((s) => `${s.name}:${s.dtype}:${path.join(c.dir, s.file)}`);
        ours = timed(opts.runner, ['run', vorn, String(opts.seconds), '--backend', 'cpu', ...args], threads);
        gpu = timed(opts.runner, ['run', vorn, String(opts.seconds), '--backend', 'gpu', ...args], threads);
      } else if (vorn && vorn.error) {
        ours = gpu = {error: vorn.error};
      }
      const gpuRatio = gpu.median_ms / ours.median_ms;
      if (Number.isFinite(gpuRatio)) {
        gpuRatios.push(gpuRatio);
        if (!worstGpu || gpuRatio > worstGpu.ratio) worstGpu = {name: c.name, ratio: gpuRatio};
      }
      const ratio = ours.median_ms / ort.median_ms;
      if (Number.isFinite(ratio)) {
        ratios.push(ratio);
        if (!worst || ratio > worst.ratio) worst = {name: c.name, ratio};
      }
      let line = `${c.name.padEnd(30)} ${fmt(ours.median_ms, 9, 3)} ${fmt(ort.median_ms, 9, 3)} ` +
                 `${fmt(ratio, 6)} ${fmt(ours.rss_mib, 9, 1)} ${fmt(ort.rss_mib - nodeBase, 9, 1)} ` +
                 `${fmt(gpu.median_ms, 9, 3)} ${fmt(gpuRatio, 8)}`;
      if (ours.error && !unavailable) line += `  vorn: ${ours.error}`;
      if (gpu.error && !ours.error && !unavailable) line += `  GPU: ${gpu.error}`;
      if (ort.error) line += `  ORT: ${ort.error}`;
      console.log(line);
    }
    if (ratios.length) {
      const geo = Math.exp(ratios.reduce((s, r) => s + Math.log(r), 0) / ratios.length);
      console.log(`geometric mean ratio (vorn / ORT) at ${threads} thread(s): ${geo.toFixed(3)} over ` +
                  `${ratios.length} models; worst ${worst.name} ${worst.ratio.toFixed(2)}`);
    }
    if (gpuRatios.length) {
      const geo = Math.exp(gpuRatios.reduce((s, r) => s + Math.log(r), 0) / gpuRatios.length);
      console.log(`geometric mean ratio (GPU backend / CPU engine) at ${threads} thread(s): ${geo.toFixed(3)} over ` +
                  `${gpuRatios.length} models; worst ${worstGpu.name} ${worstGpu.ratio.toFixed(2)}`);
    }
  }
  if (unavailable) {
    console.log(`\nour side was not measured: ${unavailable}`);
    process.exitCode = 3;
  }
}

main();
