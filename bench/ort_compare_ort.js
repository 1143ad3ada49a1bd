// ONNX Runtime's side of bench/ort_compare: times one model on the CPU
// execution provider with all graph optimisations.
//
//   node ort_compare_ort.js ORT_DIR MODEL.onnx THREADS SECONDS INPUTS.json
//
// INPUTS.json: [{"name", "dtype": "f32"|"i64", "shape", "file"}]. Makes three
// untimed runs, then times runs for about SECONDS (at least 10, at most 500)
// and prints {"median_ms", "min_ms", "runs"} on one line.
'use strict';
const fs = require('fs');
const path = require('path');

const [ortDir, model, threadsText, secondsText, inputsPath] = process.argv.slice(2);
const ort = require(path.join(path.resolve(ortDir), 'node_modules', 'onnxruntime-node'));

function tensorOf(spec) {
  const bytes = fs.readFileSync(spec.file);
  const copy = new ArrayBuffer(bytes.length);
  new Uint8Array(copy).set(bytes);
  if (spec.dtype === 'i64') return new ort.Tensor('int64', new BigInt64Array(copy), spec.shape);
  return new ort.Tensor('float32', new Float32Array(copy), spec.shape);
}

(async () => {
  const threads = Number(threadsText);
  const session = await ort.InferenceSession.create(model, {
    executionProviders: ['cpu'],
    graphOptimizationLevel: 'all',
    executionMode: 'sequential',
    intraOpNumThreads: threads,
    interOpNumThreads: 1,
  });
  const feeds = {};
  for (const spec of JSON.parse(fs.readFileSync(inputsPath, 'utf8'))) feeds[spec.name] = tensorOf(spec);
  for (let i = 0; i < 3; ++i) await session.run(feeds);
  const times = [];
  const budget = Number(secondsText) * 1e3;
  const start = performance.now();
  while (times.length < 500 && (times.length < 10 || performance.now() - start < budget)) {
    const t0 = performance.now();
    await session.run(feeds);
    times.push(performance.now() - t0);
  }
  times.sort((a, b) => a - b);
  const n = times.length;
  const median = n % 2 ? times[(n - 1) / 2] : 0.5 * (times[n / 2 - 1] + times[n / 2]);
  console.log(JSON.stringify({median_ms: median, min_ms: times[0], runs: n}));
})().catch((e) => {
  console.error(String(e && e.message ? e.message : e));
  process.exit(1);
});
