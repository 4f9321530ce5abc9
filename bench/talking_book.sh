#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# What narrating a book costs: a 100 KB EPUB (ten chapters of the English sample) rendered by
# tallamo-say into one MP3 file, then into an EPUB 3 book with Media Overlays at sentence and at word
# level, and into a DAISY book. Prints the median wall time of each (RUNS, default 3, taking turns) with
# its ratio to the MP3 render (target for the sentence-level EPUB: at most 1.2), and the peak memory of
# tallamo-say in each (target: at most the MP3 render's + 30 MB).
#   [RUNS=3] bench/talking_book.sh [path/to/tallamo-say]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
say="${1:-$root/build/tools/tallamo-say}"
[ -x "$say" ] || { echo "talking_book: build tallamo-say first (or pass its path)" >&2; exit 1; }
work="$(mktemp -d /tmp/tallamo-book.XXXXXX)"
trap 'rm -rf "$work"' EXIT
# shellcheck source=bench/timing.sh
source "$root/bench/timing.sh"
fill "$root/platform/data/samples/common/english.txt" 102400 "$work/english.txt"

python3 - "$work" <<'PY'
import sys, zipfile
work = sys.argv[1]
words = open(work + '/english.txt', encoding='utf-8').read().split('\n')
lines = [l.strip() for l in words if l.strip()]
per = (len(lines) + 9) // 10
escape = lambda t: t.replace('&', '&amp;').replace('<', '&lt;')
with zipfile.ZipFile(work + '/book.epub', 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr(zipfile.ZipInfo('mimetype'), 'application/epub+zip')
    z.writestr('META-INF/container.xml', '<?xml version="1.0"?><container version="1.0" xmlns="urn:oasis:names:tc:opendocument:xmlns:container"><rootfiles><rootfile full-path="OEBPS/content.opf" media-type="application/oebps-package+xml"/></rootfiles></container>')
    manifest, spine, links = '<item id="nav" href="nav.xhtml" media-type="application/xhtml+xml" properties="nav"/>', '', ''
    for i in range(10):
        title = 'Chapter %d' % (i + 1)
        manifest += '<item id="c%d" href="c%d.xhtml" media-type="application/xhtml+xml"/>' % (i, i)
        spine += '<itemref idref="c%d"/>' % i
        links += '<li><a href="c%d.xhtml">%s</a></li>' % (i, title)
        body = '<h1>%s</h1>' % title + ''.join('<p>%s</p>' % escape(p) for p in lines[i * per:(i + 1) * per])
        z.writestr('OEBPS/c%d.xhtml' % i, '<?xml version="1.0" encoding="UTF-8"?><html xmlns="http://www.w3.org/1999/xhtml"><head><title>%s</title></head><body>%s</body></html>' % (title, body))
    z.writestr('OEBPS/content.opf', '<?xml version="1.0" encoding="UTF-8"?><package xmlns="http://www.idpf.org/2007/opf" version="3.0" unique-identifier="id"><metadata xmlns:dc="http://purl.org/dc/elements/1.1/"><dc:identifier id="id">bench</dc:identifier><dc:title>Bench Book</dc:title><dc:language>en</dc:language></metadata><manifest>%s</manifest><spine>%s</spine></package>' % (manifest, spine))
    z.writestr('OEBPS/nav.xhtml', '<?xml version="1.0" encoding="UTF-8"?><html xmlns="http://www.w3.org/1999/xhtml" xmlns:epub="http://www.idpf.org/2007/ops"><head><title>Contents</title></head><body><nav epub:type="toc"><ol>%s</ol></nav></body></html>' % links)
PY

kinds=(mp3 sentence word daisy)
declare -A times peaks
for _ in $(seq "${RUNS:-3}"); do
  for kind in "${kinds[@]}"; do
    case "$kind" in
      mp3) args=(--output "$work/out.mp3") ;;
      sentence) args=(--output "$work/out.epub") ;;
      word) args=(--overlay word --output "$work/out.epub") ;;
      daisy) args=(--output "$work/out.daisy/") ;;
    esac
    rm -rf "$work/out.mp3" "$work/out.epub" "$work/out.daisy"
    /usr/bin/time -f '%e %M' -o "$work/time" "$say" --voice "English (America)" "${args[@]}" --file "$work/book.epub" \
      >/dev/null 2>&1
    read -r t kb <"$work/time"
    times[$kind]+="$t "
    [ "${peaks[$kind]:-0}" -ge "$kb" ] || peaks[$kind]=$kb
  done
done
mp3=$(printf '%s\n' ${times[mp3]} | median)
for kind in "${kinds[@]}"; do
  t=$(printf '%s\n' ${times[$kind]} | median)
  printf '%-8s %6.2f s  %.3f of the MP3 render  peak memory %d MB (%+d MB)\n' "$kind" "$t" "$(echo "$t / $mp3" | bc -l)" \
    "$((peaks[$kind] / 1024))" "$(((peaks[$kind] - peaks[mp3]) / 1024))"
done
