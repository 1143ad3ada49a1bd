// Drives bench/ort_compare --layers: the time of every node of our CPU
// engine (ort_compare_layers, each node's kernel timed in the engine's own
// order) and of ONNX Runtime (ort_compare_peer --profile: its trace of
// per-node kernel times) on the same models and pinned cores, grouped by
// layer class and summed over the models, one table per thread count, and
// one over the eleven common models alone (the sum over all is led by the
// largest models).
//
// Grouping, the same rule on both sides, read from each node's operator
// and shapes as that side runs it:
// - a convolution is depthwise when it has groups of one input channel,
//   grouped when its groups are wider, 1x1 when its kernel is 1x1 with one
//   group, other conv otherwise (ConvTranspose included). Each side's fused
//   convolutions count as convolutions: ours with the BatchNormalization
//   folded in and the activation of their fused mode; ONNX Runtime's
//   FusedConv (convolution and activation) and its channel-blocked Conv
//   (which may also hold the residual Add and the activation after it, an
//   Add that on our side stays an elementwise node);
// - pooling: MaxPool, AveragePool and the global pools;
// - elementwise/activation: arithmetic, comparisons, activations (ours with
//   the Relu fused into an Add, the SiLU of a Sigmoid and Mul), Cast;
// - normalisation: BatchNormalization left standing (ONNX Runtime runs
//   one as a depthwise 1x1 convolution in its channel-blocked layout),
//   LayerNormalization, InstanceNormalization and ONNX Runtime's fused
//   layer norms;
// - MatMul/Gemm: products, with ONNX Runtime's FusedMatMul, FusedGemm and
//   attention;
// - layout/copies: shape and data movement (Transpose, Reshape, Concat,
//   Split, Slice, Gather, Pad, ...) and ONNX Runtime's ReorderInput and
//   ReorderOutput around its channel-blocked layout;
// - other: the rest (Softmax, Resize, reductions, ArgMax, TopK, ...).
'use strict';
const fs = require('fs');
const path = require('path');
const lib = require('./ort_compare_lib');

const {fmt} = lib;
const CLASSES = ['depthwise conv', 'grouped conv', '1x1 conv', 'other conv', 'pooling', 'elementwise/activation',
                 'normalisation', 'MatMul/Gemm', 'layout/copies', 'other'];
const CONV = new Set(['Conv', 'FusedConv', 'ConvTranspose', 'NhwcConv', 'NhwcFusedConv', 'ConvInteger',
                      'QLinearConv']);
const POOL = new Set(['MaxPool', 'AveragePool', 'GlobalAveragePool', 'GlobalMaxPool', 'LpPool']);
const ELEMENTWISE = new Set(['Add', 'Sub', 'Mul', 'Div', 'Sum', 'Max', 'Min', 'Mod', 'Pow', 'Equal', 'Less',
  'Greater', 'LessOrEqual', 'GreaterOrEqual', 'And', 'Or', 'Not', 'Where', 'Relu', 'Sigmoid', 'Tanh', 'Clip',
  'LeakyRelu', 'PRelu', 'Elu', 'Selu', 'HardSigmoid', 'HardSwish', 'Erf', 'Gelu', 'FastGelu', 'BiasGelu',
  'QuickGelu', 'Softplus', 'Exp', 'Log', 'Sqrt', 'Reciprocal', 'Abs', 'Neg', 'Floor', 'Ceil', 'Round', 'Sign',
  'Sin', 'Cos', 'Cast', 'BiasAdd']);
const NORM = new Set(['BatchNormalization', 'LayerNormalization', 'InstanceNormalization', 'GroupNormalization',
  'GroupNorm', 'SkipLayerNormalization', 'SimplifiedLayerNormalization', 'SkipSimplifiedLayerNormalization',
  'LpNormalization', 'MeanVarianceNormalization']);
const MATMUL = new Set(['MatMul', 'Gemm', 'FusedMatMul', 'FusedGemm', 'MatMulInteger', 'QGemm', 'Attention',
  'MultiHeadAttention']);
const LAYOUT = new Set(['Transpose', 'Reshape', 'Flatten', 'Squeeze', 'Unsqueeze', 'Concat', 'Split', 'Slice',
  'Gather', 'GatherElements', 'GatherND', 'ScatterND', 'ScatterElements', 'Pad', 'DepthToSpace', 'SpaceToDepth',
  'Expand', 'Tile', 'Identity', 'Dropout', 'ReorderInput', 'ReorderOutput', 'Shape', 'Size', 'ConstantOfShape',
  'Range', 'MemcpyFromHost', 'MemcpyToHost']);

// x: input 0's dims, w: input 1's, group when the side states it.
function classOf(op, x, w, group) {
  if (CONV.has(op)) {
    if (op === 'ConvTranspose' || !x || !w || w.length < 3 || !(w[1] > 0)) return 'other conv';
    const g = group || Math.max(1, Math.round(x[1] / w[1]));
    const pointwise = w.slice(2).every((k) => k === 1);
    // A depthwise 1x1 convolution scales each channel: it is how ONNX
    // Runtime's channel-blocked layout runs a BatchNormalization that
    // folds into no convolution (which stays one on our side).
    if (g > 1 && w[1] === 1 && pointwise) return 'normalisation';
    if (g > 1) return w[1] === 1 ? 'depthwise conv' : 'grouped conv';
    return pointwise ? '1x1 conv' : 'other conv';
  }
  if (POOL.has(op)) return 'pooling';
  if (ELEMENTWISE.has(op)) return 'elementwise/activation';
  if (NORM.has(op)) return 'normalisation';
  if (MATMUL.has(op)) return 'MatMul/Gemm';
  if (LAYOUT.has(op)) return 'layout/copies';
  return 'other';
}

const median = (xs) => {
  const s = [...xs].sort((a, b) => a - b);
  const n = s.length;
  return n === 0 ? NaN : n % 2 ? s[(n - 1) / 2] : 0.5 * (s[n / 2 - 1] + s[n / 2]);
};

function emptyClasses() {
  return Object.fromEntries(CLASSES.map((k) => [k, 0]));
}

// Our nodes, from ort_compare_layers's lines.
function ours(f) {
  const classes = emptyClasses();
  let total = null;
  for (const l of f.lines) {
    const n = JSON.parse(l);
    if (n.pass_ms !== undefined) total = n;
    else classes[classOf(n.op, n.x, n.w, n.group)] += n.ms;
  }
  return {classes, whole: total ? total.pass_ms : NaN, nodes: total ? total.nodes_ms : NaN};
}

// ONNX Runtime's nodes from its trace: each node's kernel time per run,
// the three warm-up runs left out, the median of the rest.
function theirs(traceFile, warmups) {
  const events = JSON.parse(fs.readFileSync(traceFile, 'utf8'));
  fs.rmSync(traceFile, {force: true});
  const nodes = new Map();
  const runs = [];
  for (const e of events) {
    if (e.cat === 'Session' && e.name === 'model_run') runs.push(e.dur / 1e3);
    if (e.cat !== 'Node' || !e.name.endsWith('_kernel_time')) continue;
    const dims = (e.args.input_type_shape || []).map((t) => Object.values(t)[0]);
    const n = nodes.get(e.name) || {op: e.args.op_name, x: dims[0], w: dims[1], ms: []};
    n.ms.push(e.dur / 1e3);
    nodes.set(e.name, n);
  }
  const classes = emptyClasses();
  let sum = 0;
  for (const n of nodes.values()) {
    const ms = median(n.ms.slice(warmups));
    classes[classOf(n.op, n.x, n.w)] += ms;
    sum += ms;
  }
  return {classes, whole: median(runs.slice(warmups)), nodes: sum};
}

// The classes summed over the models measured on both sides at t threads;
// as Markdown when md is set. what names the models summed.
function table(t, rows, md = false, what = 'models') {
  const ok = rows.filter((r) => r.threads[t] && r.threads[t].ours && r.threads[t].ort);
  const sum = (side, key) => ok.reduce((s, r) => s + r.threads[t][side][key], 0);
  const total = {ours: emptyClasses(), ort: emptyClasses()};
  for (const r of ok)
    for (const k of CLASSES)
      for (const side of ['ours', 'ort']) total[side][k] += r.threads[t][side].classes[k];
  const nodesOurs = sum('ours', 'nodes'), nodesOrt = sum('ort', 'nodes');
  const loads = ok.flatMap((r) => r.threads[t].load);
  const row = md ? (cells) => `| ${cells.map((c) => String(c).trim()).join(' | ')} |`
                 : (cells) => `${cells[0].padEnd(24)} ${cells.slice(1).join(' ')}`;
  const out = [`${md ? '' : '\n'}${t} thread(s), summed over ${ok.length} ${what} (load ` +
               `${fmt(Math.min(...loads), 0, 1)}-${fmt(Math.max(...loads), 0, 1)})${md ? ':\n' : ''}`,
               row(['layer class', 'vorn ms'.padStart(10), 'ORT ms'.padStart(10), 'ratio'.padStart(6),
                    'vorn %'.padStart(7), 'ORT %'.padStart(7)])];
  if (md) out.push('|---|---:|---:|---:|---:|---:|');
  for (const k of CLASSES) {
    const a = total.ours[k], b = total.ort[k];
    if (a === 0 && b === 0) continue;
    out.push(row([k, fmt(a, 10, 3), fmt(b, 10, 3), fmt(a / b, 6), fmt(100 * a / nodesOurs, 7, 1),
                  fmt(100 * b / nodesOrt, 7, 1)]));
  }
  out.push(row(['sum of nodes', fmt(nodesOurs, 10, 3), fmt(nodesOrt, 10, 3), fmt(nodesOurs / nodesOrt, 6), '', '']));
  const wholeOurs = sum('ours', 'whole'), wholeOrt = sum('ort', 'whole');
  out.push(row(['whole runs (medians)', fmt(wholeOurs, 10, 3), fmt(wholeOrt, 10, 3), fmt(wholeOurs / wholeOrt, 6),
                '', '']));
  return out.join('\n');
}

// Per thread count the table over every model, then over the eleven.
function tables(opts, rows, md) {
  const eleven = rows.filter((r) => lib.ELEVEN.includes(r.name));
  return opts.threads.flatMap((t) => [table(t, rows, md),
                                      ...(eleven.length ? [table(t, eleven, md, 'common models')] : [])])
      .join(md ? '\n\n' : '\n');
}

function perModel(t, rows) {
  const short = ['dw', 'grp', '1x1', 'conv', 'pool', 'elem', 'norm', 'mm', 'layout', 'other'];
  const out = [`\n${t} thread(s) per model, ms ours/ORT per class:`,
               `${'model'.padEnd(26)} ${short.map((s) => s.padStart(13)).join('')}`];
  for (const r of rows) {
    const m = r.threads[t];
    if (!m || !m.ours || !m.ort) {
      out.push(`${r.name.padEnd(26)} ${m && m.error ? m.error : 'not measured'}`);
      continue;
    }
    out.push(`${r.name.padEnd(26)} ${CLASSES.map((k) => {
      const a = m.ours.classes[k], b = m.ort.classes[k];
      return a === 0 && b === 0 ? '-'.padStart(13) : `${fmt(a, 6, 2)}/${fmt(b, 0, 2).padEnd(6)}`;
    }).join('')}`);
  }
  return out.join('\n');
}

function main() {
  const opts = lib.parseArgs(process.argv.slice(2));
  if (opts.from) {
    // Renders a finished run's tables again, as Markdown.
    const saved = JSON.parse(fs.readFileSync(opts.from, 'utf8'));
    console.log(tables(saved.opts, saved.rows, true));
    return;
  }
  const list = lib.cases(opts);
  const build = lib.builds(opts)[0];
  if (!build.layers) {
    console.error(`ort_compare: the build ${build.label} has no ort_compare_layers`);
    process.exit(1);
  }
  const converted = lib.convertAll(build, list, opts.work);
  const runs = Math.max(1, Number(opts.runs));
  console.log(lib.machine(opts));
  console.log(`${new Date().toISOString()}; build ${build.label} (${build.runner}); per node the median of ${runs} ` +
              'passes (ours) and of at least 10 runs after 3 warm-ups (ONNX Runtime\'s profile)');
  const rows = [];
  for (const c of list) {
    const row = {name: c.name, set: c.set, threads: {}};
    for (const t of opts.threads) {
      const cores = lib.coresFor(opts, t);
      const m = (row.threads[t] = {load: [lib.load()]});
      const vorn = converted.get(c.name);
      const a = typeof vorn === 'string'
                    ? lib.pinned(cores, build.layers, [vorn, String(runs), ...lib.inputArgs(c)])
                    : vorn;
      m.load.push(lib.load());
      const b = lib.pinned(cores, opts.peer, [lib.ortLibrary(opts.ort), path.join(c.dir, c.model), String(t), '0',
                                              '--profile', path.join(opts.work, `trace-${t}-`),
                                              ...lib.inputArgs(c)]);
      m.load.push(lib.load());
      if (a.error || b.error) {
        m.error = a.error ? `ours: ${a.error}` : `ORT: ${b.error}`;
        console.log(`${c.name} at ${t} thread(s): ${m.error}`);
        continue;
      }
      m.ours = ours(a);
      m.ort = theirs(b.profile, 3);
      // Our nodes are timed by calling their kernels as the executor does;
      // when the two part, the executor does something per pass that
      // ort_compare_layers.cpp does not (it must follow).
      if (Math.abs(m.ours.nodes / m.ours.whole - 1) > 0.15)
        console.log(`${c.name} at ${t} thread(s): our nodes sum to ${fmt(m.ours.nodes, 0, 3)} ms, our passes take ` +
                    `${fmt(m.ours.whole, 0, 3)} ms`);
    }
    rows.push(row);
  }
  console.log(tables(opts, rows, false));
  if (opts['per-model'] === '1') for (const t of opts.threads) console.log(perModel(t, rows));
  const json = opts.json || path.join(opts.work, 'layers.json');
  fs.writeFileSync(json, JSON.stringify({opts, rows}, null, 1));
  fs.writeFileSync(json.replace(/(\.json)?$/, '.md'), `${tables(opts, rows, true)}\n`);
  console.log(`\nfigures: ${json} (and as Markdown beside it)`);
}

main();
