// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/text/ssml_passthrough.h"

#include <unicode/uchar.h>
#include <unicode/utf16.h>

namespace speech::text {

namespace {

constexpr size_t kMaxPiece = 2000;  // UTF-16 units before a piece is cut at a space anyway

bool isSentenceEnd(char16_t c) {
    return c == u'.' || c == u'!' || c == u'?' || c == u'\u3002' || c == u'\uFF01' || c == u'\uFF1F' || c == u';';
}
bool isNameStart(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_' || c == u':' || c >= 0x80;
}

class SsmlSource final : public SegmentSource {
public:
    SsmlSource(std::shared_ptr<const std::u16string> text, const Style& style, std::shared_ptr<const VoiceTable> voices,
               bool speakPunctuation)
        : text_(std::move(text)), voices_(std::move(voices)), style_(style), speakPunctuation_(speakPunctuation) {
        // Where the last character that is not markup ends: the rest rides with the piece before it.
        size_t i = 0;
        int depth = 0;
        while (i < text_->size()) {
            const size_t at = i;
            if (skipMarkup(i, depth)) continue;
            ++i;
            if (!u_isUWhiteSpace((*text_)[at])) lastVisibleEnd_ = i;
        }
    }

    std::optional<Segment> next() override {
        const std::u16string& t = *text_;
        while (pos_ < t.size()) {
            const size_t from = pos_;
            tags_.clear();
            size_t cut = cutAfter(from);
            if (cut >= lastVisibleEnd_) {
                // Only markup and blanks follow: they go with this piece.
                for (size_t i = cut; i < t.size();) {
                    const size_t at = i;
                    if (skipMarkup(i, depth_))
                        tags_.emplace_back(at, i);
                    else
                        ++i;
                }
                cut = t.size();
            }
            pos_ = cut;
            if (auto s = piece(from, cut)) {
                if (s->startsSentence) started_ = std::max(started_, s->sentenceIndex);
                return s;
            }
        }
        return std::nullopt;
    }

    bool seekSentence(long index) override {
        if (index < 0) index = 0;
        if (index <= started_) {
            pos_ = 0;
            depth_ = 0;
            sentences_ = 0;
            started_ = -1;
        }
        for (;;) {
            const size_t before = pos_;
            const int depthBefore = depth_;
            const long sentencesBefore = sentences_;
            auto s = next();
            if (!s) return false;
            if (s->sentenceIndex == index) {
                pos_ = before;
                depth_ = depthBefore;
                sentences_ = sentencesBefore;
                started_ = index - 1;
                return true;
            }
        }
    }

private:
    // Skips markup at `i` (a tag, comment, declaration), keeping count of open elements. Returns false
    // when `i` is not at markup.
    bool skipMarkup(size_t& i, int& depth) const {
        const std::u16string& t = *text_;
        if (t[i] != u'<' || i + 1 >= t.size()) return false;
        std::u16string_view rest(t.data() + i, t.size() - i);
        const char16_t c = t[i + 1];
        size_t end;
        if (rest.starts_with(u"<!--")) {
            end = t.find(u"-->", i + 4);
            end = end == std::u16string::npos ? t.size() : end + 3;
        } else if (c == u'?') {
            end = t.find(u"?>", i + 2);
            end = end == std::u16string::npos ? t.size() : end + 2;
        } else if (c == u'!' || c == u'/') {
            end = t.find(u'>', i + 2);
            end = end == std::u16string::npos ? t.size() : end + 1;
            if (c == u'/') --depth;
        } else if (isNameStart(c)) {
            char16_t quote = 0;
            end = i + 1;
            while (end < t.size() && (quote || t[end] != u'>')) {
                if (quote && t[end] == quote)
                    quote = 0;
                else if (!quote && (t[end] == u'"' || t[end] == u'\''))
                    quote = t[end];
                ++end;
            }
            if (end < t.size()) {
                if (t[end - 1] != u'/') ++depth;
                ++end;
            }
        } else {
            return false;
        }
        i = end;
        return true;
    }

    // The end of the piece that starts at `from`.
    size_t cutAfter(size_t from) {
        const std::u16string& t = *text_;
        size_t i = from;
        size_t lastSpace = 0;
        size_t lastAnySpace = 0;
        bool visible = false;
        while (i < t.size()) {
            const size_t at = i;
            if (skipMarkup(i, depth_)) {
                tags_.emplace_back(at, i);
                continue;
            }
            const char16_t c = t[i++];
            const bool space = u_isUWhiteSpace(c);
            if (space && depth_ <= 1) lastSpace = i;
            if (space) lastAnySpace = i;
            if (!space) visible = true;
            if (visible && depth_ <= 1 && isSentenceEnd(c) && (i >= t.size() || u_isUWhiteSpace(t[i]))) return i;
            if (i - from >= kMaxPiece && lastSpace > from) return lastSpace;
            // Deep inside elements a very long run is cut anyway, so no single call to the engine
            // grows without bound.
            if (i - from >= 4 * kMaxPiece && lastAnySpace > from) return lastAnySpace;
        }
        return t.size();
    }

    std::optional<Segment> piece(size_t from, size_t to) {
        const std::u16string& t = *text_;
        masked_.assign(t.begin() + static_cast<std::ptrdiff_t>(from), t.begin() + static_cast<std::ptrdiff_t>(to));
        for (auto [a, b] : tags_) {
            for (size_t k = std::max(a, from); k < std::min(b, to); ++k) masked_[k - from] = u' ';
        }
        size_t first = 0;
        while (first < masked_.size() && u_isUWhiteSpace(masked_[first])) ++first;
        if (first == masked_.size()) return std::nullopt;  // markup and blanks only
        size_t last = masked_.size();
        while (last > first && u_isUWhiteSpace(masked_[last - 1])) --last;

        Segment s;
        s.ssml = true;
        s.speakPunctuation = speakPunctuation_;
        if (static_cast<size_t>(style_.voice) < voices_->tokens.size()) s.voice = voices_->tokens[style_.voice];
        s.rate = style_.rate;
        s.volume = style_.volume;
        s.pitch = style_.pitch;
        s.sentenceIndex = sentences_++;
        s.startsSentence = true;
        s.sentencePosition = static_cast<int32_t>(from + first);
        s.sentenceLength = static_cast<int32_t>(last - first);

        std::vector<int32_t> cpIndex(to - from + 1, 0);
        for (size_t i = from; i < to;) {
            const size_t at = i;
            const char32_t c = nextCodePoint(t.data(), i, to);
            cpIndex[at - from] = static_cast<int32_t>(s.text.size());
            if (i - at == 2) cpIndex[at - from + 1] = static_cast<int32_t>(s.text.size());
            s.text.push_back(sanitize(c));
            s.sourceOffsets.push_back(static_cast<int32_t>(at));
        }
        cpIndex[to - from] = static_cast<int32_t>(s.text.size());
        s.sourceOffsets.push_back(static_cast<int32_t>(to));
        spans_.clear();
        words_.find(masked_.data(), static_cast<int32_t>(masked_.size()), spans_);
        for (auto [a, b] : spans_) {
            const int32_t c0 = cpIndex[static_cast<size_t>(a)];
            const int32_t c1 = cpIndex[static_cast<size_t>(b)];
            if (c1 > c0) s.words.emplace_back(c0, c1);
        }
        return s;
    }

    std::shared_ptr<const std::u16string> text_;
    std::shared_ptr<const VoiceTable> voices_;
    Style style_;
    bool speakPunctuation_;
    size_t lastVisibleEnd_ = 0;
    size_t pos_ = 0;
    int depth_ = 0;
    long sentences_ = 0;
    long started_ = -1;
    std::vector<std::pair<size_t, size_t>> tags_;
    std::u16string masked_;
    WordFinder words_;
    std::vector<std::pair<int32_t, int32_t>> spans_;
};

}  // namespace

std::unique_ptr<SegmentSource> openSsml(std::shared_ptr<const std::u16string> text, const Style& style,
                                        std::shared_ptr<const VoiceTable> voices, bool speakPunctuation) {
    return std::make_unique<SsmlSource>(std::move(text), style, std::move(voices), speakPunctuation);
}

}  // namespace speech::text
