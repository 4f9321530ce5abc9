#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Render time of tallamo-say --output against espeak-ng -w on the same text and voice: a 100 KB English
# text and a 20 KB Chinese text, at SAFT22kHz16BitMono and SAFT48kHz16BitStereo (espeak-ng always
# writes its own 22.05 kHz mono). tallamo-say runs with its default number of jobs (the processor
# count) and with --jobs 1. Prints seconds and the ratios tallamo/espeak (targets: default jobs 0.60 at
# 22 kHz mono and 0.70 at 48 kHz stereo; --jobs 1 at most 1.10), then the wall time of the English
# render with 1, 2 and 4 jobs. Wall time is what the targets are about; cpu time (every process,
# engine workers included) is printed beside it. Every run writes a new file: replacing the last run's
# output would time the file system freeing it (some 170 ms for the 1.2 GB of a 48 kHz stereo render on
# a disk mounted with discard), which is no part of rendering.
#   [RUNS=3] [FORMATS="SAFT22kHz16BitMono SAFT48kHz16BitStereo"] bench/render_vs_espeak.sh [path/to/tallamo-say]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
say="${1:-$root/build/tools/tallamo-say}"
[ -x "$say" ] || { echo "render_vs_espeak: build tallamo-say first (or pass its path)" >&2; exit 1; }
command -v espeak-ng >/dev/null || { echo "render_vs_espeak: espeak-ng is not installed" >&2; exit 1; }

work="$(mktemp -d /tmp/tallamo-render.XXXXXX)"
trap 'rm -rf "$work"' EXIT

# shellcheck source=bench/timing.sh
source "$root/bench/timing.sh"
fill "$root/platform/data/samples/common/english.txt" 102400 "$work/english.txt"
fill "$root/platform/data/samples/common/chinese.txt" 20480 "$work/chinese.txt"

# Removes the last run's output, and lets the disk settle, before a timed run.
fresh() {
  rm -f "$work/espeak.wav" "$work/tallamo.wav"
  sync
}

# The programs take turns, RUNS times each (default 3), so that a busy spell of the machine hits all
# alike; the figures are the medians.
run() {  # run LABEL TEXT ESPEAK_VOICE TALLAMO_VOICE FORMAT
  local i w c ew="" ec="" tw="" tc="" ow="" oc=""
  for ((i = 0; i < ${RUNS:-3}; i++)); do
    fresh
    read -r w c <<<"$(seconds espeak-ng -v "$3" -w "$work/espeak.wav" -f "$2")"
    ew+="$w"$'\n'; ec+="$c"$'\n'
    fresh
    read -r w c <<<"$(seconds "$say" --voice "$4" --format "$5" --output "$work/tallamo.wav" --file "$2")"
    tw+="$w"$'\n'; tc+="$c"$'\n'
    fresh
    read -r w c <<<"$(seconds "$say" --jobs 1 --voice "$4" --format "$5" --output "$work/tallamo.wav" --file "$2")"
    ow+="$w"$'\n'; oc+="$c"$'\n'
  done
  ew=$(printf %s "$ew" | median); ec=$(printf %s "$ec" | median)
  tw=$(printf %s "$tw" | median); tc=$(printf %s "$tc" | median)
  ow=$(printf %s "$ow" | median); oc=$(printf %s "$oc" | median)
  printf '%-8s %-21s espeak-ng -w %6.2f s (cpu %6.2f)  tallamo-say %6.2f s (cpu %6.2f) ratio %.2f  --jobs 1 %6.2f s (cpu %6.2f) ratio %.2f\n' \
    "$1" "$5" "$ew" "$ec" "$tw" "$tc" "$(echo "$tw / $ew" | bc -l)" "$ow" "$oc" "$(echo "$ow / $ew" | bc -l)"
}

scaling() {  # scaling TEXT TALLAMO_VOICE FORMAT
  local i jobs w c line=""
  for jobs in 1 2 4; do
    local ws=""
    for ((i = 0; i < ${RUNS:-3}; i++)); do
      fresh
      read -r w c <<<"$(seconds "$say" --jobs "$jobs" --voice "$2" --format "$3" --output "$work/tallamo.wav" --file "$1")"
      ws+="$w"$'\n'
    done
    line+="$(printf '  %d jobs %6.2f s' "$jobs" "$(printf %s "$ws" | median)")"
  done
  echo "scaling English $3 ($(nproc) processors):$line"
}

echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "tallamo-say runs with $(nproc) jobs unless told (the processor count)"
for format in ${FORMATS:-SAFT22kHz16BitMono SAFT48kHz16BitStereo}; do
  run English "$work/english.txt" en-us "English (America)" "$format"
  run Chinese "$work/chinese.txt" cmn-latn-pinyin "Chinese (Mandarin)" "$format"
done
scaling "$work/english.txt" "English (America)" SAFT22kHz16BitMono
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
