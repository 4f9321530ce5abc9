#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# What the audio file's codec and a timing file cost: tallamo-say renders the 100 KB English text into
# WAV, FLAC, Ogg Opus and an .m4b audiobook, and into WAV with a word-timing file beside it. Prints the
# median wall and cpu time of each and their ratios to WAV (targets, in wall time: FLAC and Opus at
# most 1.30, .m4b at most 3, timings under 1.02; the cpu figures tell more on a busy machine), and the
# peak memory of the WAV and .m4b renders. Then what resuming costs: a render with --resume into WAV and
# into .m4b, stopped with SIGKILL once 90% of its work is kept, and the run that completes it, against a
# whole render with --resume (target: at most 0.15); and a whole render with --resume into WAV and FLAC
# against the same without it, in wall time (target: at most 1.05; the files must be the same bytes).
# The runs take turns, so a busy spell of the machine hits every kind alike.
# ONLY=resume runs the resuming part alone.
#   [RUNS=5] [FORMAT=SAFT22kHz16BitMono] [ONLY=resume] bench/save_formats.sh [path/to/tallamo-say]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
say="${1:-$root/build/tools/tallamo-say}"
[ -x "$say" ] || { echo "save_formats: build tallamo-say first (or pass its path)" >&2; exit 1; }

work="$(mktemp -d /tmp/tallamo-save.XXXXXX)"
trap 'rm -rf "$work"' EXIT
# shellcheck source=bench/timing.sh
source "$root/bench/timing.sh"
fill "$root/platform/data/samples/common/english.txt" 102400 "$work/english.txt"
voice=(--voice "English (America)" --format "${FORMAT:-SAFT22kHz16BitMono}")

if [ "${ONLY:-}" != resume ]; then
  kinds=(wav flac opus m4b timings)
  declare -A walls cpus peaks
  for ((i = 0; i < ${RUNS:-5}; i++)); do
    for kind in "${kinds[@]}"; do
      case "$kind" in
        timings) args=(--output "$work/out.wav" --timings "$work/out.json" --timings-unit word) ;;
        *) args=(--output "$work/out.$kind") ;;
      esac
      read -r wall cpu <<<"$(seconds "$say" "${voice[@]}" "${args[@]}" --file "$work/english.txt")"
      walls[$kind]+="$wall"$'\n'
      cpus[$kind]+="$cpu"$'\n'
    done
  done
  for kind in wav m4b; do
    peaks[$kind]=$( { /usr/bin/time -f %M "$say" "${voice[@]}" --output "$work/out.$kind" --file "$work/english.txt"; } 2>&1 | tail -n 1)
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
  for kind in wav m4b; do printf 'peak memory of the %s render: %d MB\n' "$kind" "$((peaks[$kind] / 1024))"; done
fi

# Resuming: a whole render with --resume, watched to learn how much its journal lists at the end (the
# units of text for WAV; for .m4b, whose encoding lags behind the synthesis, the encoded parts), then a
# render killed with SIGKILL as soon as its journal lists 90% of that, and the run that completes it.
# Stopping at a share of the work kept, not of a time measured in another run, keeps a busy spell of
# the machine from moving the point of the stop.
kept() {  # kept KIND: what the journal of resume.KIND lists now
  local state="$work/.resume.$1.resume/state"
  [ -f "$state" ] || { echo 0; return; }
  if [ "$1" = m4b ]; then
    awk '$1 == "aac" { n = $2 } END { print n + 0 }' "$state" 2>/dev/null || echo 0
  else
    awk '$1 == "unit" { n++ } END { print n + 0 }' "$state" 2>/dev/null || echo 0
  fi
}
for kind in wav m4b; do
  resume=("$say" "${voice[@]}" --resume --output "$work/resume.$kind" --file "$work/english.txt")
  rm -f "$work/resume.$kind"
  start=$(date +%s.%N)
  "${resume[@]}" 2>/dev/null &
  pid=$!
  most=0
  while kill -0 "$pid" 2>/dev/null; do
    n=$(kept "$kind")
    [ "$n" -le "$most" ] || most=$n
    sleep 0.02
  done
  wait "$pid"
  whole=$(echo "$(date +%s.%N) - $start" | bc -l)
  rm -f "$work/resume.$kind"
  "${resume[@]}" 2>/dev/null &
  pid=$!
  goal=$(( (most * 9 + 9) / 10 ))
  while kill -0 "$pid" 2>/dev/null && [ "$(kept "$kind")" -lt "$goal" ]; do sleep 0.01; done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  stopped=$(kept "$kind")
  read -r rest restcpu <<<"$(seconds "${resume[@]}")"
  printf '%-4s with --resume: whole %6.2f s; stopped with %s of %s %s kept, the rest took %6.2f s (cpu %.2f s): %.3f of a whole\n' \
    "$kind" "$whole" "$stopped" "$most" "$([ "$kind" = m4b ] && echo "encoded parts" || echo "units")" "$rest" "$restcpu" \
    "$(echo "$rest / $whole" | bc -l)"
done

# What keeping the journal costs a whole render, and that it changes none of its bytes.
for kind in wav flac; do
  plain=()
  kept=()
  for _ in $(seq "${RUNS:-5}"); do
    read -r t _ <<<"$(seconds "$say" "${voice[@]}" --output "$work/plain.$kind" --file "$work/english.txt")"
    plain+=("$t")
    read -r t _ <<<"$(seconds "$say" "${voice[@]}" --resume --output "$work/kept.$kind" --file "$work/english.txt")"
    kept+=("$t")
  done
  p=$(printf '%s\n' "${plain[@]}" | median)
  k=$(printf '%s\n' "${kept[@]}" | median)
  same=$(cmp -s "$work/plain.$kind" "$work/kept.$kind" && echo "the same bytes" || echo "DIFFERENT bytes")
  printf '%-4s a whole render with --resume %6.2f s, without %6.2f s: %.3f; %s\n' "$kind" "$k" "$p" \
    "$(echo "$k / $p" | bc -l)" "$same"
done
