// ONNX Runtime's side of bench/ort_compare: times one model on the CPU
// execution provider with all graph optimisations.
//
//   node ort_compare_ort.js ORT_DIR MODEL.onnx THREADS SECONDS INPUTS.json [MIN_RUNS [OUTPUT]]
//
// INPUTS.json: [{"name", "dtype": "f32"|"i64", "shape", "file"}]. Makes three
// untimed runs (one with MIN_RUNS given), then times runs for about SECONDS
// (at least MIN_RUNS, 10 unless given; at most 500) and prints {"median_ms",
// "min_ms", "runs"} on one line. OUTPUT receives the first output of the
// first run as raw little-endian values.
'use strict';
const fs = require('fs');
const path = require('path');

const [ortDir, model, threadsText, secondsText, inputsPath, minRunsText, outputPath] = process.argv.slice(2);
const minRuns = minRunsText === undefined ? 10 : Math.max(1, Number(minRunsText));
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
  for (let i = 0; i < (minRunsText === undefined ? 3 : 1); ++i) {
    const results = await session.run(feeds);
    if (i === 0 && outputPath) {
      const data = results[session.outputNames[0]].data;
      fs.writeFileSync(outputPath, Buffer.from(data.buffer, data.byteOffset, data.byteLength));
    }
  }
  const times = [];
  const budget = Number(secondsText) * 1e3;
  const start = performance.now();
  while (times.length < 500 && (times.length < minRuns || performance.now() - start < budget)) {
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
