#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The speech platform's figures in one run:
#   render time against espeak-ng -w, 100 KB English and 20 KB Chinese, at 22 kHz mono and 48 kHz
#     stereo, with the default jobs and --jobs 1, and the scaling over 1, 2 and 4 jobs
#     (render_vs_espeak.sh; targets 0.60, 0.70 and 1.10 of espeak-ng's wall time);
#   Speak to first sample written and to first sample played, memory of all processes together while
#     rendering a 20 MB text (bench_render; the device figures on the test audio server, started here
#     when PULSE_SERVER is not set);
#   program start to window shown (bench_ui_startup; target under 150 ms median).
#   bench/platform.sh [build folder, default build/]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
[ -x "$build/bench/bench_render" ] || { echo "platform.sh: build the benchmarks first (scripts/build)" >&2; exit 1; }
# Renders into files need no sound server, and the test server's null sink keeps playing silence (some
# 4% of a processor), which would be timed with them: the server starts after them.
"$root/bench/render_vs_espeak.sh" "$build/tools/tallamo-say"
if [ -z "${PULSE_SERVER:-}" ]; then
  # shellcheck source=scripts/audio-server
  source "$root/scripts/audio-server"
  audio_server_start
  trap audio_server_stop EXIT
fi
"$build/bench/bench_render" 2>/dev/null
if [ -x "$build/bench/bench_ui_startup" ]; then "$build/bench/bench_ui_startup" 10; fi
