// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/text/mandarin/lexicon.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/paths.h"

namespace speech::text::mandarin {

using namespace lexicon;

namespace {

template <typename T>
bool sectionSpan(const char* base, size_t size, const SectionRef& s, size_t count, std::span<const T>& out) {
    if (s.offset % alignof(T) != 0 || s.offset > size || count > (size - s.offset) / sizeof(T)) return false;
    out = {reinterpret_cast<const T*>(base + s.offset), count};
    return true;
}

}  // namespace

std::unique_ptr<MandarinLexicon> MandarinLexicon::open(const std::string& path, std::string& error) {
    auto bytes = FileBytes::read(path, UINT32_MAX, error);
    if (!bytes) return nullptr;
    if (bytes->size() < sizeof(Header)) {
        error = path + ": not a Mandarin lexicon";
        return nullptr;
    }
    auto lex = std::make_unique<MandarinLexicon>(PassKey{}, std::move(*bytes));
    if (!lex->validate(error)) {
        error = path + ": " + error;
        return nullptr;
    }
    return lex;
}

// Checks the header and that every section lies inside the file. Nothing else is checked at
// start-up: the lookups bound every index they take from the file, so a damaged file gives wrong
// readings, never a read outside it.
bool MandarinLexicon::validate(std::string& error) {
    const char* base = file_.data();
    const size_t size = file_.size();
    Header h;
    std::memcpy(&h, base, sizeof h);
    if (std::memcmp(h.magic, kMagic, sizeof h.magic) != 0 || h.version != kVersion || h.fileSize != size) {
        error = "not a Mandarin lexicon of this version";
        return false;
    }
    const auto& s = h.sections;
    const bool inBounds = sectionSpan(base, size, s[kSyllables], size_t{s[kSyllables].count} + 1, syllableOffsets_) &&
                          sectionSpan(base, size, s[kChars], s[kChars].count, chars_) &&
                          sectionSpan(base, size, s[kTrieNodes], s[kTrieNodes].count, nodes_) &&
                          sectionSpan(base, size, s[kTrieEdges], s[kTrieEdges].count, edges_) &&
                          sectionSpan(base, size, s[kEntries], s[kEntries].count, entries_) &&
                          sectionSpan(base, size, s[kReadings], s[kReadings].count, readings_);
    // Breadth-first numbering: edge e leads to node e + 1, so there is one edge less than real nodes.
    if (!inBounds || edges_.size() + 2 != nodes_.size()) {
        error = "damaged lexicon";
        return false;
    }
    const size_t blobStart = s[kSyllables].offset + syllableOffsets_.size() * 4;
    syllableBlob_ = base + blobStart;
    blobSize_ = size - blobStart;
    return true;
}

const CharRecord* MandarinLexicon::character(char32_t c) const {
    auto it =
        std::lower_bound(chars_.begin(), chars_.end(), c, [](const CharRecord& r, char32_t v) { return r.cp < v; });
    return it != chars_.end() && it->cp == c ? &*it : nullptr;
}

std::string_view MandarinLexicon::syllable(uint16_t id) const {
    if (size_t{id} + 1 >= syllableOffsets_.size()) return {};
    const uint32_t begin = syllableOffsets_[id], end = syllableOffsets_[id + 1u];
    if (begin > end || end > blobSize_) return {};
    return {syllableBlob_ + begin, end - begin};
}

int MandarinLexicon::syllableId(std::string_view s) const {
    size_t lo = 0, hi = syllableOffsets_.size() - 1;
    while (lo < hi) {
        const size_t mid = (lo + hi) / 2;
        if (syllable(static_cast<uint16_t>(mid)) < s)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo < syllableOffsets_.size() - 1 && syllable(static_cast<uint16_t>(lo)) == s ? static_cast<int>(lo) : -1;
}

int32_t MandarinLexicon::child(uint32_t node, char32_t c) const {
    const size_t begin = std::min<size_t>(nodes_[node].firstEdge, edges_.size());
    const size_t end = std::clamp<size_t>(nodes_[node + 1].firstEdge, begin, edges_.size());
    const uint32_t* first = edges_.data() + begin;
    const uint32_t* last = edges_.data() + end;
    const uint32_t* it = std::lower_bound(first, last, static_cast<uint32_t>(c));
    return it != last && *it == c ? static_cast<int32_t>(it - edges_.data()) + 1 : -1;
}

const WordEntry* MandarinLexicon::entry(uint32_t node) const {
    const uint32_t e = nodes_[node].entry;
    return e < entries_.size() ? &entries_[e] : nullptr;
}

std::shared_ptr<const MandarinLexicon> installedMandarinLexicon(std::string* problem) {
    struct Installed {
        std::shared_ptr<const MandarinLexicon> lexicon;
        std::string problem;
    };
    static const Installed installed = [] {
        Installed i;
        const char* named = std::getenv("TALLAMO_MANDARIN_LEXICON");
        const std::string path = named && named[0] ? named : base::installedDataFile("mandarin.lex").string();
        std::string error;
        auto lexicon = MandarinLexicon::open(path, error);
        if (!lexicon) {
            i.problem = "The Mandarin lexicon could not be used (" + error +
                        "): Chinese is read by the engine's own rules, without its words.";
            return i;
        }
        const char* model = std::getenv("TALLAMO_MANDARIN_MODEL");
        const std::string modelPath = model && model[0] ? model : base::installedDataFile("mandarin.model").string();
        if (auto m = PolyphoneModel::load(modelPath, error)) {
            lexicon->setModel(std::move(m));
        } else {
            i.problem = "The Mandarin polyphone model could not be used (" + error +
                        "): characters with several readings are read by the reader's rules alone.";
        }
        i.lexicon = std::move(lexicon);
        return i;
    }();
    if (problem) *problem = installed.problem;
    return installed.lexicon;
}

}  // namespace speech::text::mandarin
