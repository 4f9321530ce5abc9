#!/usr/bin/env bash
# The speech platform's figures in one run: render time against espeak-ng -w at 22 kHz mono and
# 48 kHz stereo (render_vs_espeak.sh), then the voice's own figures (bench_render: first sample,
# memory for a 50 MB text file and a 20 MB text, and with PULSE_SERVER set the device figures).
#   bench/platform.sh [build folder, default build/]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
[ -x "$build/bench/bench_render" ] || { echo "platform.sh: build the benchmarks first (scripts/build)" >&2; exit 1; }
"$root/bench/render_vs_espeak.sh" "$build/tools/tallamo-say"
"$build/bench/bench_render" 2>/dev/null
