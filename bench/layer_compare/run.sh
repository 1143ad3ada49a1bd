#!/bin/bash
# Conv layers against ONNX Runtime, one thread (both pinned to core 0) and
# every core, back to back per thread count; prints ours/ORT per layer and
# the geometric mean.
#
#   bench/layer_compare/run.sh BUILD_DIR ORT_DIR [SECONDS_PER_LAYER] [LAYER...]
#
# BUILD_DIR holds bench/layer_compare_runner (built with -DVORN_BENCH=ON);
# ORT_DIR is a folder with node_modules/onnxruntime-node. The ONNX graphs are
# written to ${LAYER_DIR:-/tmp/vorn_layer_compare}.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$1
ort=$2
secs=${3:-0.5}
shift $(( $# < 3 ? $# : 3 ))
dir=${LAYER_DIR:-/tmp/vorn_layer_compare}
/usr/bin/python3 "$here/make_layers.py" "$dir" "$@"
cores=$(nproc)
for t in 1 "$cores"; do
  if [ "$t" = 1 ]; then pin=(taskset -c 0); else pin=(); fi
  ours=$("${pin[@]}" "$build/bench/layer_compare_runner" "$dir/layers.txt" "$secs")
  theirs=$("${pin[@]}" node "$here/ort_layers.js" "$ort" "$dir" "$t" "$secs")
  echo "== threads $t (of $cores cores): median ms, ours / ORT"
  join <(echo "$ours" | sort) <(echo "$theirs" | sort) |
    awk '{ r = $2 / $4; s += log(r); n++; printf "%-22s %9.4f %9.4f %6.2f\n", $1, $2, $4, r }
         END { if (n) printf "geomean ratio %.2f over %d layers\n", exp(s / n), n }'
done
