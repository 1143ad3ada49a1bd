// Runs ONNX models through ONNX Runtime's CPU provider and writes every
// output as a raw little-endian file, for the conformance fixtures.
//
//   node ort_reference.js ORT_DIR REQUEST.json
//
// ORT_DIR holds node_modules/onnxruntime-node. REQUEST.json is a list of
// {"model": path, "inputs": [{"name", "dtype", "shape", "file"}],
//  "output_prefix": path}. Each output is written to
// output_prefix + "<i>.bin"; a JSON list with one entry per request
// ({"outputs": [{"name", "dtype", "shape", "file"}]} or {"error": text}) goes
// to standard output.
'use strict';
const fs = require('fs');
const path = require('path');

const ortDir = process.argv[2];
const request = JSON.parse(fs.readFileSync(process.argv[3], 'utf8'));
const ort = require(path.join(path.resolve(ortDir), 'node_modules', 'onnxruntime-node'));

const typedArrays = {
  f32: [Float32Array, 'float32'],
  i64: [BigInt64Array, 'int64'],
  i32: [Int32Array, 'int32'],
  u8: [Uint8Array, 'uint8'],
  bool: [Uint8Array, 'bool'],
};
const dtypeOfOrt = {float32: 'f32', int64: 'i64', int32: 'i32', uint8: 'u8', bool: 'bool'};

function readInput(spec) {
  const [Kind, ortType] = typedArrays[spec.dtype];
  const bytes = fs.readFileSync(spec.file);
  const copy = new ArrayBuffer(bytes.length);
  new Uint8Array(copy).set(bytes);
  const data = new Kind(copy);
  return new ort.Tensor(ortType, data, spec.shape);
}

async function runOne(entry) {
  const session = await ort.InferenceSession.create(entry.model, {
    executionProviders: ['cpu'],
    intraOpNumThreads: 1,
    interOpNumThreads: 1,
    // No graph rewrites: the reference is the plain operator semantics.
    graphOptimizationLevel: 'disabled',
  });
  const feeds = {};
  for (const spec of entry.inputs) feeds[spec.name] = readInput(spec);
  const results = await session.run(feeds);
  const outputs = [];
  session.outputNames.forEach((name, i) => {
    const t = results[name];
    const dtype = dtypeOfOrt[t.type];
    if (!dtype) throw new Error(`output ${name} has unsupported type ${t.type}`);
    const file = `${entry.output_prefix}${i}.bin`;
    const d = t.data;
    fs.writeFileSync(file, Buffer.from(d.buffer, d.byteOffset, d.byteLength));
    outputs.push({name, dtype, shape: t.dims.map(Number), file});
  });
  await session.release();
  return {outputs};
}

(async () => {
  const answers = [];
  for (const entry of request) {
    try {
      answers.push(await runOne(entry));
    } catch (e) {
      answers.push({error: String(e && e.message ? e.message : e)});
    }
  }
  process.stdout.write(JSON.stringify(answers));
})();
