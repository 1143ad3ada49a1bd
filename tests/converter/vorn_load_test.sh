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
[ "$(ls -A "$dir" | grep -c '\.vorn-[0-9]')" = 0 ] || fail "--q8 left its intermediate file"

"$tool" --report-only "$model" "$dir/none.vorn" > "$dir/out" || fail "--report-only failed"
[ -e "$dir/none.vorn" ] && fail "--report-only wrote a file"

expect_failure() {  # expected status, text in the message, arguments...
  want=$1; text=$2; shift 2
  timeout 120 "$tool" "$@" > "$dir/out" 2> "$dir/err"
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
# The container goes where a link leads, and through a FIFO or a device
# without replacing it; a FIFO as the model is refused at once.
ln -s made.vorn "$dir/link.vorn"
"$tool" "$model" "$dir/link.vorn" > /dev/null || fail "conversion through a link failed"
[ -L "$dir/link.vorn" ] && [ -s "$dir/made.vorn" ] || fail "the link was replaced instead of its file written"
"$tool" --q8 "$model" "$dir/link.vorn" > /dev/null || fail "--q8 through a link failed"
[ -L "$dir/link.vorn" ] || fail "--q8 replaced the link"
mkfifo "$dir/fifo"
timeout 120 cat "$dir/fifo" > "$dir/from-fifo" &
reader=$!
timeout 120 "$tool" "$model" "$dir/fifo" > /dev/null || fail "conversion into a FIFO failed"
wait $reader
cmp -s "$dir/from-fifo" "$dir/a.vorn" || fail "the FIFO's reader did not get the container"
[ -p "$dir/fifo" ] || fail "the FIFO was replaced"
expect_failure 1 "failed to open onnx file" "$dir/fifo" "$dir/x.vorn"
if [ "$(id -u)" = 0 ]; then  # only root may make a device: a null device of our own
  mknod "$dir/null" c 1 3
  "$tool" --q8 "$model" "$dir/null" > /dev/null || fail "conversion into a null device failed"
  [ -c "$dir/null" ] || fail "the null device was replaced by a file"
fi

# What a killed run left beside its output goes at the next run; what a live
# one is writing stays.
sleep 100 &
dead=$!
kill -9 $dead
wait $dead 2> /dev/null
echo x > "$dir/.q.vorn.vorn-$dead-AbC123"
echo x > "$dir/.q.vorn.vorn-$$-AbC123"
"$tool" --q8 "$model" "$dir/q.vorn" > /dev/null || fail "--q8 failed"
[ -e "$dir/.q.vorn.vorn-$dead-AbC123" ] && fail "a killed run's intermediate file was left"
[ -e "$dir/.q.vorn.vorn-$$-AbC123" ] || fail "a live run's intermediate file was removed"
echo "vorn-load: all checks passed"
