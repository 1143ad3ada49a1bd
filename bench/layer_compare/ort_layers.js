// Times each single-Conv graph of make_layers.py in ONNX Runtime's CPU
// execution provider at the default graph optimisation level.
//
//   node ort_layers.js ORT_DIR LAYER_DIR THREADS SECONDS_PER_LAYER
//
// Prints one line per layer of LAYER_DIR/layers.txt: "name median_ms min_ms".
// Three untimed runs, then timed runs for about SECONDS_PER_LAYER (at least 20).
'use strict';
const fs = require('fs');
const path = require('path');

const [ortDir, layerDir, threadsText, secondsText] = process.argv.slice(2);
const ort = require(path.join(path.resolve(ortDir), 'node_modules', 'onnxruntime-node'));

function median(sorted) {
  const n = sorted.length;
  return n % 2 ? sorted[(n - 1) / 2] : 0.5 * (sorted[n / 2 - 1] + sorted[n / 2]);
}

(async () => {
  const threads = Number(threadsText);
  const budget = Number(secondsText) * 1e3;
  const lines = fs.readFileSync(path.join(layerDir, 'layers.txt'), 'utf8').trim().split('\n');
  for (const line of lines) {
    const [name, cin, h, w] = line.split(' ');
    const session = await ort.InferenceSession.create(path.join(layerDir, name + '.onnx'), {
      executionProviders: ['cpu'],
      executionMode: 'sequential',
      intraOpNumThreads: threads,
      interOpNumThreads: 1,
    });
    const n = Number(cin) * Number(h) * Number(w);
    const x = new Float32Array(n);
    for (let i = 0; i < n; ++i) x[i] = (i % 17) * 0.05 - 0.4;
    const feeds = {x: new ort.Tensor('float32', x, [1, Number(cin), Number(h), Number(w)])};
    for (let i = 0; i < 3; ++i) await session.run(feeds);
    const times = [];
    const start = performance.now();
    while (times.length < 2000 && (times.length < 20 || performance.now() - start < budget)) {
      const t0 = performance.now();
      await session.run(feeds);
      times.push(performance.now() - t0);
    }
    times.sort((a, b) => a - b);
    console.log(`${name} ${median(times).toFixed(4)} ${times[0].toFixed(4)}`);
    await session.release();
  }
})().catch((e) => {
  console.error(String(e && e.message ? e.message : e));
  process.exit(1);
});
