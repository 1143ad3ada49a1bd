#!/bin/sh
# vorn-load from the command line: help, a conversion, Q8, report-only, and a
# clear message with a non-zero exit for each kind of failure.
# usage: vorn_load_test.sh VORN_LOAD FIXTURE_DIR
set -u
tool=$1
data=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

"$tool" --help > "$dir/help" || fail "--help exits non-zero"
grep -q "usage: vorn-load" "$dir/help" || fail "--help prints no usage"

model=$data/resnet_basic_op13/model.onnx
"$tool" "$model" "$dir/a.vorn" > "$dir/out" || fail "conversion failed"
grep -q "^input  input \[1, 3, 64, 64\] f32$" "$dir/out" || fail "summary lacks the input line"
grep -q "^output output \[1, 10\] f32$" "$dir/out" || fail "summary lacks the output line"
[ -s "$dir/a.vorn" ] || fail "no container written"
"$tool" --legacy "$model" "$dir/l.vorn" > "$dir/legacy" || fail "--legacy failed"
cmp -s "$dir/out" "$dir/legacy" || fail "--legacy prints another summary: $(cat "$dir/legacy")"

"$tool" --q8 "$model" "$dir/q.vorn" > "$dir/out" || fail "--q8 failed"
grep -q "weight tensors stored as Q8" "$dir/out" || fail "--q8 prints no summary"
[ "$(ls "$dir" | grep -c tmp)" = 0 ] || fail "--q8 left its intermediate file"

"$tool" --report-only "$model" "$dir/none.vorn" > "$dir/out" || fail "--report-only failed"
[ -e "$dir/none.vorn" ] && fail "--report-only wrote a file"

expect_failure() {  # expected status, text in the message, arguments...
  want=$1; text=$2; shift 2
  "$tool" "$@" > "$dir/out" 2> "$dir/err"
  got=$?
  [ "$got" = "$want" ] || fail "$* exited $got, expected $want"
  grep -q "$text" "$dir/err" || fail "$*: message lacks '$text': $(cat "$dir/err")"
}
expect_failure 2 "unknown option --bogus" --bogus "$model" "$dir/x.vorn"
expect_failure 2 "are both needed" "$model"
expect_failure 2 "needs a value" "$model" "$dir/x.vorn" --input
expect_failure 1 "failed to open onnx file" "$dir/missing.onnx" "$dir/x.vorn"
expect_failure 1 "'pad0' Pad" "$data/pad_reflect_op13/model.onnx" "$dir/x.vorn"
expect_failure 1 "'pad0' Pad" --legacy "$data/pad_reflect_op13/model.onnx" "$dir/x.vorn"
grep -q '^$' "$dir/err" && fail "the failure report holds an empty line"
expect_failure 1 "fixed at 64 in the model" --input input=1x3x32x32 "$model" "$dir/x.vorn"
[ -e "$dir/x.vorn" ] && fail "a failed conversion left an output file"
echo "vorn-load: all checks passed"
