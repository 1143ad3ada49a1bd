#!/usr/bin/env node
// Runs the reference tokenizer (npm `tokenizers`, installed normally so its
// native binding is there) over tests/data/gpt2/corpus.json and writes
// tests/data/gpt2/corpus_expected.json:
//   documents: per text, the reference's ids and its decoding of them;
//   divergent: texts with U+000B or U+0085, white space for the reference
//     but not for our class [\t\n\f\r\p{Z}]: their ids come from the split
//     rules written out below (independently of the C++ code) with each
//     piece merged by the reference's BPE; the reference's own ids are kept
//     beside them;
//   decode: random id lists (byte tokens cut mid-character, special ids)
//     with the reference's decoding;
//   class_differences: with --sweep, every code point whose letter / number /
//     white-space class differs between the reference and the generated
//     table, as [first, last, reference class, our class] (about a minute).
//
//   cd <scratch> && npm install tokenizers
//   NODE_PATH=<scratch>/node_modules node tests/generation/make_tokenizer_expected.js [--sweep]
'use strict';
const fs = require('fs');
const path = require('path');
const {Tokenizer} = require('tokenizers');

const root = path.resolve(__dirname, '../..');
const dataDir = path.join(root, 'tests/data/gpt2');
const tokenizerPath = path.join(dataDir, 'tokenizer.json');
const corpus = JSON.parse(fs.readFileSync(path.join(dataDir, 'corpus.json'), 'utf8'));
const reference = Tokenizer.fromFile(tokenizerPath);

// The same vocabulary and merges with no split at all: encodes one piece as
// one word.
const wordJson = JSON.parse(fs.readFileSync(tokenizerPath, 'utf8'));
wordJson.pre_tokenizer = {type: 'ByteLevel', add_prefix_space: false, trim_offsets: false, use_regex: false};
const wordTokenizer = Tokenizer.fromString(JSON.stringify(wordJson));

const isLetter = (c) => /^\p{L}$/u.test(c);
const isNumber = (c) => /^\p{N}$/u.test(c);
const isWhite = (c) => /^[\t\n\f\r\p{Z}]$/u.test(c);
const CONTRACTIONS = ["'s", "'t", "'re", "'ve", "'m", "'ll", "'d"];

// The pieces of a text without special tokens: digits alone, then in each
// run the contractions, words, numbers, white space and punctuation runs.
function splitPieces(text) {
  const cps = Array.from(text);
  const pieces = [];
  let a = 0;
  while (a < cps.length) {
    let b = a + 1;
    if (!isNumber(cps[a])) while (b < cps.length && !isNumber(cps[b])) b++;
    let k = a;
    while (k < b) {
      let end = -1;
      if (cps[k] === "'") {
        for (const c of CONTRACTIONS) {
          if (k + c.length <= b && cps.slice(k, k + c.length).join('') === c) { end = k + c.length; break; }
        }
      }
      if (end < 0) {
        const p = cps[k] === ' ' && k + 1 < b ? k + 1 : k;
        const cls = (c) => (isLetter(c) ? 'L' : isNumber(c) ? 'N' : isWhite(c) ? 'W' : 'P');
        const cp = cls(cps[p]);
        if (cp === 'L' || cp === 'N') {
          end = p + 1;
          while (end < b && cls(cps[end]) === cp) end++;
        } else if (cp === 'W') {
          let q = k;
          while (q < b && isWhite(cps[q])) q++;
          end = q === b ? b : q > k + 1 ? q - 1 : q;
        } else {
          end = p + 1;
          while (end < b && cls(cps[end]) === 'P') end++;
        }
      }
      pieces.push(cps.slice(k, end).join(''));
      k = end;
    }
    a = b;
  }
  return pieces;
}

const SPECIAL = '<|endoftext|>';
const SPECIAL_ID = 50256;

async function splitRoute(text) {
  const ids = [];
  const segments = text.split(SPECIAL);
  for (let i = 0; i < segments.length; i++) {
    if (i > 0) ids.push(SPECIAL_ID);
    for (const piece of splitPieces(segments[i])) ids.push(...(await wordTokenizer.encode(piece)).getIds());
  }
  return ids;
}

const sameIds = (x, y) => x.length === y.length && x.every((v, i) => v === y[i]);

function mulberry32(seed) {
  return () => {
    seed = (seed + 0x6D2B79F5) | 0;
    let t = Math.imul(seed ^ (seed >>> 15), 1 | seed);
    t = (t + Math.imul(t ^ (t >>> 7), 61 | t)) ^ t;
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

async function sweep() {
  const words = (e) => new Set(e.getWordIds().filter((w) => w !== null && w !== undefined)).size;
  const refClass = new Uint8Array(0x110000);
  const cps = [];
  for (let c = 0; c <= 0x10FFFF; c++) if (c < 0xD800 || c > 0xDFFF) cps.push(c);
  for (let i = 0; i < cps.length; i += 4096) {
    const chunk = cps.slice(i, i + 4096);
    const probes = [];
    for (const c of chunk) {
      const s = String.fromCodePoint(c);
      probes.push('a' + s, '!' + s, 'x' + s + s);
    }
    const enc = await reference.encodeBatch(probes);
    chunk.forEach((c, j) => {
      const [a, p, x] = [words(enc[3 * j]), words(enc[3 * j + 1]), words(enc[3 * j + 2])];
      // a letter joins "a"; punctuation joins "!"; of the rest, white space
      // joins its own repeat at the end and a digit stands alone.
      refClass[c] = a === 1 ? 1 : p === 1 ? 0 : x === 2 ? 4 : 2;
    });
  }
  const ours = new Uint8Array(0x110000);
  const table = fs.readFileSync(path.join(root, 'generation/unicode_class_table.inc'), 'utf8');
  for (const m of table.matchAll(/\{0x([0-9A-F]+), 0x([0-9A-F]+), (\d)\}/g))
    ours.fill(Number(m[3]), parseInt(m[1], 16), parseInt(m[2], 16) + 1);
  const ranges = [];
  for (const c of cps) {
    if (refClass[c] === ours[c]) continue;
    const last = ranges[ranges.length - 1];
    if (last && last[1] === c - 1 && last[2] === refClass[c] && last[3] === ours[c]) last[1] = c;
    else ranges.push([c, c, refClass[c], ours[c]]);
  }
  return ranges;
}

(async () => {
  const out = {documents: [], divergent: [], decode: [], class_differences: null};
  let routeMismatch = 0;
  for (const text of corpus.documents) {
    const ids = (await reference.encode(text)).getIds();
    const text_ = await reference.decode(ids, true);
    if (!sameIds(ids, await splitRoute(text))) routeMismatch++;
    out.documents.push({ids, text: text_});
  }
  if (routeMismatch) throw new Error(`the split rules disagree with the reference on ${routeMismatch} texts`);
  for (const text of corpus.divergent) {
    out.divergent.push({text, ids: await splitRoute(text), reference_ids: (await reference.encode(text)).getIds()});
  }
  // Byte-level tokens of single high bytes cut characters apart.
  const rand = mulberry32(1206);
  const vocab = reference.getVocab(true);
  const byteTokens = Object.entries(vocab).filter(([t]) => t.length === 1 && t.codePointAt(0) >= 0xA1).map(([, id]) => id);
  for (let i = 0; i < 200; i++) {
    const n = 1 + Math.floor(rand() * 12);
    const ids = [];
    for (let j = 0; j < n; j++) {
      const r = rand();
      ids.push(r < 0.6 ? byteTokens[Math.floor(rand() * byteTokens.length)] :
               r < 0.95 ? Math.floor(rand() * 50256) : SPECIAL_ID);
    }
    out.decode.push({ids, text: await reference.decode(ids, true)});
  }
  if (process.argv.includes('--sweep')) out.class_differences = await sweep();
  else {
    const old = path.join(dataDir, 'corpus_expected.json');
    if (fs.existsSync(old)) out.class_differences = JSON.parse(fs.readFileSync(old, 'utf8')).class_differences;
  }
  // One text or id list a line keeps the file diffable.
  const lines = ['{'];
  for (const key of ['documents', 'divergent', 'decode']) {
    lines.push(` "${key}": [`);
    out[key].forEach((e, i) => lines.push('  ' + JSON.stringify(e) + (i + 1 < out[key].length ? ',' : '')));
    lines.push(' ],');
  }
  lines.push(' "class_differences": ' + JSON.stringify(out.class_differences));
  lines.push('}');
  fs.writeFileSync(path.join(dataDir, 'corpus_expected.json'), lines.join('\n') + '\n');
  console.log(`${out.documents.length} documents, ${out.divergent.length} divergent texts, ` +
              `${out.decode.length} decode cases, ${out.class_differences ? out.class_differences.length : 0} class ranges`);
})().catch((e) => { console.error(e); process.exit(1); });
