// What bench/ort_compare.js (latency, memory, outputs) and
// bench/ort_compare_layers.js (the per-layer-class table) share: the
// command line, the models of the manifests, the builds and their runners,
// pinned and timed child processes, and the load average.
'use strict';
const fs = require('fs');
const os = require('os');
const path = require('path');
const {spawnSync} = require('child_process');

// --name value pairs; a repeated --vorn-build collects a list; the rest are
// manifests.
function parseArgs(argv) {
  const opts = {manifests: [], builds: []};
  for (let i = 0; i < argv.length; ++i) {
    const a = argv[i];
    if (a === '--vorn-build') opts.builds.push(argv[++i]);
    else if (a.startsWith('--')) opts[a.slice(2)] = argv[++i];
    else opts.manifests.push(a);
  }
  opts.threads = (opts.threads || '1').trim().split(/\s+/).map(Number);
  opts.cpus = (opts.cpus || '0').split(',').map(Number);
  opts.seconds = Number(opts.seconds);
  opts.rounds = Math.max(1, Number(opts.rounds || 1));
  return opts;
}

// The cores a side with `threads` threads is pinned to: the first `threads`
// of the list, the same for both sides.
const coresFor = (opts, threads) => opts.cpus.slice(0, threads).join(',');

// Each manifest is "SET=PATH"; a case keeps its set's name. The set
// "common" keeps the eleven common models of its manifest alone. The
// reduced architectures count once each (their opset 13 export) unless
// --all-opsets 1.
function cases(opts) {
  const out = [];
  for (const spec of opts.manifests) {
    const [set, file] = spec.includes('=') ? spec.split(/=(.*)/s) : ['', spec];
    if (!fs.existsSync(file)) continue;
    const manifest = JSON.parse(fs.readFileSync(file, 'utf8'));
    const dir = path.dirname(file);
    for (const c of manifest.cases) {
      if (c.kind === 'op' || (set === 'common' && !ELEVEN.includes(c.name))) continue;
      if (opts.filter && !opts.filter.split(',').some((f) => f && c.name.includes(f))) continue;
      if (opts['all-opsets'] !== '1' && /_op(11|17)$/.test(c.name)) continue;
      out.push({...c, set, dir, tolerance: manifest.tolerance});
    }
  }
  return out;
}

// A build: "LABEL=RUNNER_DIR" as the shell script resolved it, the folder
// holding ort_compare_runner (and ort_compare_layers when it could be
// built). Runners of builds older than this benchmark take NAME:DTYPE:FILE
// inputs and cannot write outputs; their usage text tells.
function builds(opts) {
  return opts.builds.map((spec) => {
    const [label, dir] = spec.split(/=(.*)/s);
    const runner = path.join(dir, 'ort_compare_runner');
    const usage = spawnSync(runner, [], {encoding: 'utf8'}).stderr || '';
    const layers = path.join(dir, 'ort_compare_layers');
    return {label, runner, current: usage.includes('SHAPE'), layers: fs.existsSync(layers) ? layers : null};
  });
}

// The input arguments of a case for a runner: NAME:DTYPE:SHAPE:FILE, or
// NAME:DTYPE:FILE for an older runner.
function inputArgs(c, current = true) {
  return c.inputs.map((s) => {
    const file = path.join(c.dir, s.file);
    return current ? `${s.name}:${s.dtype}:${s.shape.join('x')}:${file}` : `${s.name}:${s.dtype}:${file}`;
  });
}

// Runs a command pinned to cores under /usr/bin/time -v; answers the JSON
// lines it printed (merged, the figures last), its peak resident memory in
// MiB, or {error}.
function pinned(cores, cmd, args) {
  const r = spawnSync('/usr/bin/time', ['-v', 'taskset', '-c', cores, cmd, ...args],
                      {encoding: 'utf8', maxBuffer: 1 << 26});
  const rss = /Maximum resident set size \(kbytes\): (\d+)/.exec(r.stderr || '');
  if (r.status !== 0) {
    const text = (r.stderr || '').split('\n').filter((l) => l && !/^\t/.test(l) && !/Command (exited|terminated)/.test(l));
    return {error: text.slice(0, 2).join(' ') || `exit ${r.status}`};
  }
  const lines = r.stdout.trim().split('\n').filter((l) => l.startsWith('{'));
  return {...Object.assign({}, ...lines.map((l) => JSON.parse(l))), lines, rss_mib: rss ? Number(rss[1]) / 1024 : NaN};
}

// ONNX Runtime's shared library inside the npm package.
const ortLibrary = (ortDir) =>
  path.join(ortDir, 'node_modules', 'onnxruntime-node', 'bin', 'napi-v3', 'linux', 'x64', 'libonnxruntime.so.1');

// Converts every case once per build into work/<label>/; answers a map
// name -> .vorn path or {error}.
function convertAll(build, list, work) {
  const dir = path.join(work, build.label);
  fs.mkdirSync(dir, {recursive: true});
  const converted = new Map();
  for (const c of list) {
    const vorn = path.join(dir, c.name + '.vorn');
    const r = spawnSync(build.runner, ['convert', path.join(c.dir, c.model), vorn], {encoding: 'utf8'});
    if (r.status === 0) converted.set(c.name, vorn);
    else converted.set(c.name, {error: (r.stderr || `exit ${r.status}`).trim().split('\n')[0]});
  }
  return converted;
}

// The eleven common models the targets name first (bench/ort_compare_models.py).
const ELEVEN = ['convnext_tiny', 'efficientnet_b0', 'mobilenet_v2', 'mobilenet_v3_small', 'regnet_y_400mf',
                'resnet18', 'shufflenet_v2_x0_5', 'squeezenet1_1', 'unet', 'yolo_320', 'vit_4layer'];

const load = () => os.loadavg()[0];
const loadText = () => os.loadavg().map((l) => l.toFixed(2)).join(' ');
const geomean = (xs) => Math.exp(xs.reduce((s, x) => s + Math.log(x), 0) / xs.length);
const fmt = (v, w, d = 2) => (Number.isFinite(v) ? v.toFixed(d) : '-').padStart(w);

function machine(opts) {
  const pkg = path.join(opts.ort, 'node_modules', 'onnxruntime-node', 'package.json');
  const version = fs.existsSync(pkg) ? JSON.parse(fs.readFileSync(pkg, 'utf8')).version : '?';
  return `machine: ${os.cpus().length} cores (${os.cpus()[0].model}); ONNX Runtime ${version} (C interface); ` +
         `pinned to cores ${opts.cpus.join(',')} (the first N for N threads); load average at start ${loadText()}`;
}

module.exports = {ELEVEN, parseArgs, coresFor, cases, builds, inputArgs, pinned, ortLibrary, convertAll, load, loadText, geomean,
                  fmt, machine};
