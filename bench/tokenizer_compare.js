// Tokenizer encode speed beside the reference tokenizer (npm `tokenizers`,
// Rust) on the same texts (tests/data/gpt2/corpus.json) and vocabulary, both
// pinned to one core. The reference is timed two ways, one encode call per
// text and one batch call over all texts, and its faster figure is the one
// compared; its word cache is warm after the first round, as ours has none.
// Both sides count the process's CPU time, not wall time, so a busy machine
// does not tilt the ratio.
//
//   npm install tokenizers     (in a scratch folder outside the repo)
//   NODE_PATH=<scratch>/node_modules taskset -c 2 node bench/tokenizer_compare.js build/bench/tokenizer_bench
'use strict';
process.env.TOKENIZERS_PARALLELISM = 'false';
process.env.RAYON_NUM_THREADS = '1';
const fs = require('fs');
const path = require('path');
const {spawnSync} = require('child_process');
const {Tokenizer} = require('tokenizers');

const root = path.resolve(__dirname, '..');
const seconds = 2;

async function main() {
  const ours = process.argv[2] || path.join(root, 'build/bench/tokenizer_bench');
  const texts = JSON.parse(fs.readFileSync(path.join(root, 'tests/data/gpt2/corpus.json'), 'utf8')).documents;
  const bytes = texts.reduce((n, t) => n + Buffer.byteLength(t, 'utf8'), 0);
  const tok = Tokenizer.fromFile(path.join(root, 'tests/data/gpt2/tokenizer.json'));

  const time = async (round) => {
    await round();  // warm-up
    const cpu = () => {
      const u = process.cpuUsage();
      return (u.user + u.system) / 1e6;
    };
    let rounds = 0;
    const start = cpu();
    let elapsed = 0;
    while (elapsed < seconds) {
      await round();
      rounds++;
      elapsed = cpu() - start;
    }
    return (bytes * rounds) / elapsed / 1e6;
  };
  const single = await time(async () => {
    for (const t of texts) await tok.encode(t);
  });
  const batch = await time(async () => {
    await tok.encodeBatch(texts);
  });
  const r = spawnSync('taskset', ['-c', process.env.VORN_BENCH_CPU || '2', ours, '--seconds', String(seconds)],
                      {encoding: 'utf8'});
  if (r.status !== 0) throw new Error(`${ours}: ${r.stderr}`);
  const mine = JSON.parse(r.stdout.trim().split('\n').pop()).mb_per_s;
  const reference = Math.max(single, batch);
  console.log(`corpus: ${texts.length} texts, ${bytes} bytes`);
  console.log(`reference, one call per text: ${single.toFixed(2)} MB/s`);
  console.log(`reference, one batch call:    ${batch.toFixed(2)} MB/s`);
  console.log(`vorn bpe_encode:              ${mine.toFixed(2)} MB/s`);
  console.log(`ratio vorn / reference:       ${(mine / reference).toFixed(2)}`);
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
