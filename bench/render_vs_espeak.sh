#!/usr/bin/env bash
# Render time of tallamo-say --output against espeak-ng -w on the same text and voice: a 100 KB English
# text and a 20 KB Chinese text, at SAFT22kHz16BitMono and SAFT48kHz16BitStereo (espeak-ng always
# writes its own 22.05 kHz mono). Prints seconds and the ratio tallamo/espeak (targets: 1.10 at 22 kHz
# mono, 1.30 at 48 kHz stereo). Wall time is what the targets are about; tallamo-say converts and writes
# on a second thread, so its cpu time is higher than its wall time on a machine with two cores or more.
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


# The two programs take turns, RUNS times each (default 3), so that a busy spell of the machine hits
# both alike; the figures are the medians.
run() {  # run LABEL TEXT ESPEAK_VOICE TALLAMO_VOICE FORMAT
  local i ew ec tw tc ews="" ecs="" tws="" tcs=""
  for ((i = 0; i < ${RUNS:-3}; i++)); do
    read -r ew ec <<<"$(seconds espeak-ng -v "$3" -w "$work/espeak.wav" -f "$2")"
    read -r tw tc <<<"$(seconds "$say" --voice "$4" --format "$5" --output "$work/tallamo.wav" --file "$2")"
    ews+="$ew"$'\n'; ecs+="$ec"$'\n'; tws+="$tw"$'\n'; tcs+="$tc"$'\n'
  done
  ew=$(printf %s "$ews" | median); ec=$(printf %s "$ecs" | median)
  tw=$(printf %s "$tws" | median); tc=$(printf %s "$tcs" | median)
  printf '%-8s %-21s espeak-ng -w %6.2f s (cpu %6.2f)  tallamo-say --output %6.2f s (cpu %6.2f)  ratio wall %.2f cpu %.2f\n' \
    "$1" "$5" "$ew" "$ec" "$tw" "$tc" "$(echo "$tw / $ew" | bc -l)" "$(echo "$tc / $ec" | bc -l)"
}

echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
for format in ${FORMATS:-SAFT22kHz16BitMono SAFT48kHz16BitStereo}; do
  run English "$work/english.txt" en-us "English (America)" "$format"
  run Chinese "$work/chinese.txt" cmn-latn-pinyin "Chinese (Mandarin)" "$format"
done
