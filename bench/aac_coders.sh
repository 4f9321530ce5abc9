#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Which of FFmpeg's AAC quantizer searches the .m4b writer uses: tallamo-say renders the 100 KB English
# text into a WAV, bench_aac encodes its first SECONDS_OF_AUDIO with each search at 64 kbit/s and decodes them
# again, and sox tells how far each decoded output lies from the speech, in all and band by band (the
# error's RMS level against the speech's own in the band), besides the encoders' speed. A spectrogram
# of each (three seconds) is left in FOLDER when one is given, to look at.
#   [SECONDS_OF_AUDIO=600] bench/aac_coders.sh [path/to/tallamo-say] [FOLDER]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
say="${1:-$root/build/tools/tallamo-say}"
bench="$(dirname "$say")/../bench/bench_aac"
[ -x "$say" ] && [ -x "$bench" ] || { echo "aac_coders: build tallamo-say and bench_aac first" >&2; exit 1; }
work="$(mktemp -d /tmp/tallamo-aac.XXXXXX)"
trap 'rm -rf "$work"' EXIT
# shellcheck source=bench/timing.sh
source "$root/bench/timing.sh"
fill "$root/platform/data/samples/common/english.txt" 102400 "$work/english.txt"
"$say" --voice "English (America)" --output "$work/book.wav" --file "$work/english.txt"
"$bench" "$work/book.wav" "${SECONDS_OF_AUDIO:-600}" "$work"
level() { sox "$@" -n stats 2>&1 | awk '/RMS lev dB/ { print $4 }'; }
printf '%-12s %10s %10s %10s %10s %10s\n' "" "all" "0-1 kHz" "1-4 kHz" "4-8 kHz" "8-11 kHz"
bands=("" "sinc -1000" "sinc 1000-4000" "sinc 4000-8000" "sinc 8000")
row() {
  local name="$1"
  shift
  printf '%-12s' "$name"
  for band in "${bands[@]}"; do
    # shellcheck disable=SC2086
    printf ' %10s' "$(level "$@" $band)"
  done
  echo
}
row speech "$work/input.wav"
for coder in fast twoloop; do
  row "$coder error" -m -v 1 "$work/input.wav" -v -1 "$work/$coder.wav"
done
if [ -n "${2:-}" ]; then
  for f in input fast twoloop; do
    sox "$work/$f.wav" -n trim 60 3 spectrogram -o "$2/spectrogram-$f.png" -x 600 -y 257 -t "${f/input/speech}"
  done
fi
