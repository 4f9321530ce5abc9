#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# What the audio file's codec and a timing file cost: tallamo-say renders the 100 KB English text into
# WAV, FLAC and Ogg Opus, and into WAV with a word-timing file beside it. Prints the median wall and cpu
# time of each and their ratios to WAV (targets, in wall time: FLAC and Opus at most 1.30, timings under
# 1.02; the cpu figures tell more on a busy machine). The runs take turns, so a busy spell of the
# machine hits every kind alike.
#   [RUNS=5] [FORMAT=SAFT22kHz16BitMono] bench/save_formats.sh [path/to/tallamo-say]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
say="${1:-$root/build/tools/tallamo-say}"
[ -x "$say" ] || { echo "save_formats: build tallamo-say first (or pass its path)" >&2; exit 1; }

work="$(mktemp -d /tmp/tallamo-save.XXXXXX)"
trap 'rm -rf "$work"' EXIT
# shellcheck source=bench/timing.sh
source "$root/bench/timing.sh"
fill "$root/platform/data/samples/common/english.txt" 102400 "$work/english.txt"

kinds=(wav flac opus timings)
declare -A walls cpus
for ((i = 0; i < ${RUNS:-5}; i++)); do
  for kind in "${kinds[@]}"; do
    case "$kind" in
      timings) args=(--output "$work/out.wav" --timings "$work/out.json" --timings-unit word) ;;
      *) args=(--output "$work/out.$kind") ;;
    esac
    read -r wall cpu <<<"$(seconds "$say" --voice "English (America)" --format "${FORMAT:-SAFT22kHz16BitMono}" "${args[@]}" --file "$work/english.txt")"
    walls[$kind]+="$wall"$'\n'
    cpus[$kind]+="$cpu"$'\n'
  done
done

echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
wav=$(printf %s "${walls[wav]}" | median)
wavcpu=$(printf %s "${cpus[wav]}" | median)
for kind in "${kinds[@]}"; do
  t=$(printf %s "${walls[$kind]}" | median)
  c=$(printf %s "${cpus[$kind]}" | median)
  printf '%-8s wall %6.2f s (ratio to WAV %.3f)  cpu %6.2f s (ratio %.3f)\n' \
    "$kind" "$t" "$(echo "$t / $wav" | bc -l)" "$c" "$(echo "$c / $wavcpu" | bc -l)"
done
