// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/text/text_source.h"

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>

#include <deque>
#include <limits>
#include <mutex>

#include "base/error.h"
#include "speech/core/constants.h"
#include "speech/text/voice_markup.h"

namespace speech::text {

namespace {

// How much text is read ahead to find the end of a sentence, and how long a sentence may grow before
// it is cut at a space anyway (a text with no punctuation at all must not be read whole).
constexpr uint64_t kChunk = 4096;
constexpr size_t kLookahead = 64;
constexpr size_t kMaxSentence = 32768;
// The longest segment handed to the synthesizer, in code points.
constexpr int32_t kMaxSegment = 500;

struct UTextCloser {
    void operator()(UText* t) const { utext_close(t); }
};
using UTextPtr = std::unique_ptr<UText, UTextCloser>;

UTextPtr openText16(UText* reuse, const char16_t* chars, int32_t length) {
    UErrorCode status = U_ZERO_ERROR;
    UText* t = utext_openUChars(reuse, reinterpret_cast<const UChar*>(chars), length, &status);
    if (U_FAILURE(status)) throw base::Error(base::errc::kUnexpected, "The text could not be prepared for reading.");
    return UTextPtr(t);
}

// Break iterators are cloned from one prototype of each kind: creating one loads and builds its rules,
// which costs far more than reading a short text.
std::unique_ptr<icu::BreakIterator> makeIterator(bool sentences) {
    static std::mutex mutex;
    static std::unique_ptr<icu::BreakIterator> prototypes[2];
    std::lock_guard lock(mutex);
    auto& prototype = prototypes[sentences ? 1 : 0];
    if (!prototype) {
        UErrorCode status = U_ZERO_ERROR;
        prototype.reset(sentences ? icu::BreakIterator::createSentenceInstance(icu::Locale::getRoot(), status)
                                  : icu::BreakIterator::createWordInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status)) prototype.reset();
        if (!prototype) throw base::Error(base::errc::kUnexpected, "The text break rules are not available.");
    }
    std::unique_ptr<icu::BreakIterator> it(prototype->clone());
    if (!it) throw base::Error(base::errc::kUnexpected, "The text break rules are not available.");
    return it;
}

bool isSpace(char16_t c) {
    return u_isUWhiteSpace(c);
}

int32_t addSaturated(int32_t a, int32_t b) {
    int64_t sum = static_cast<int64_t>(a) + b;
    return static_cast<int32_t>(std::min<int64_t>(sum, std::numeric_limits<int32_t>::max()));
}

class TextSource final : public SegmentSource, private UnitSink {
public:
    TextSource(std::unique_ptr<UnitProducer> producer, std::shared_ptr<const VoiceTable> voices, bool speakPunctuation,
               uint32_t initialStyle)
        : producer_(std::move(producer)),
          voices_(std::move(voices)),
          speakPunctuation_(speakPunctuation),
          initialStyle_(initialStyle),
          sentence_(makeIterator(true)) {}

    std::optional<Segment> next() override {
        while (pending_.empty()) {
            if (!produceSentence()) return std::nullopt;
        }
        Segment s = std::move(pending_.front());
        pending_.pop_front();
        if (s.startsSentence) startedSentence_ = std::max(startedSentence_, s.sentenceIndex);
        return s;
    }

    bool paused() const override {
        return pending_.empty() && markers_.empty() && chars_.size() == head_ && !eof_ && producer_->paused();
    }

    bool seekSentence(long index) override {
        if (index < 0) index = 0;
        if (index <= startedSentence_) restart();
        for (;;) {
            while (pending_.empty()) {
                if (!produceSentence()) return false;
            }
            const Segment& s = pending_.front();
            if (s.startsSentence && s.sentenceIndex == index) return true;
            // A sentence passed over counts as handed out, so a later seek back restarts the text.
            if (s.startsSentence) startedSentence_ = std::max(startedSentence_, s.sentenceIndex);
            pending_.pop_front();
        }
    }

private:
    void put(char32_t cp, int32_t src, int32_t srcEnd, uint32_t style) override {
        append(cp, src, srcEnd, style, false);
    }
    void putReading(char32_t cp, int32_t src, int32_t srcEnd, uint32_t style) override {
        append(cp, src, srcEnd, style, true);
    }
    void append(char32_t cp, int32_t src, int32_t srcEnd, uint32_t style, bool reading) {
        cp = sanitize(cp);
        // Positions never go back, whatever a producer inserts.
        src = std::max(src, lastSrc_);
        srcEnd = std::max(srcEnd, src);
        lastSrc_ = src;
        const Unit u{style, src, srcEnd, reading};
        if (cp > 0xFFFF) {
            chars_.push_back(static_cast<char16_t>(U16_LEAD(cp)));
            chars_.push_back(static_cast<char16_t>(U16_TRAIL(cp)));
            breakChars_.push_back(static_cast<char16_t>(U16_LEAD(cp)));
            breakChars_.push_back(static_cast<char16_t>(U16_TRAIL(cp)));
            units_.push_back(u);
            units_.push_back(u);
        } else {
            chars_.push_back(static_cast<char16_t>(cp));
            breakChars_.push_back(reading ? kReadingStandIn : static_cast<char16_t>(cp));
            units_.push_back(u);
        }
    }
    void marker(Marker m) override {
        m.unit = size();
        markers_.push_back(std::move(m));
    }
    uint64_t size() const override { return base_ + chars_.size(); }

    void restart() {
        producer_->restart();
        chars_.clear();
        breakChars_.clear();
        units_.clear();
        markers_.clear();
        pending_.clear();
        head_ = 0;
        base_ = 0;
        eof_ = false;
        lastSrc_ = 0;
        sentences_ = 0;
        startedSentence_ = -1;
    }

    // Reads on until the first sentence in the window is known to be complete, then turns it into
    // segments. Returns false at the end of the text.
    bool produceSentence() {
        uint64_t want = kChunk;
        for (;;) {
            size_t avail = chars_.size() - head_;
            // A pause of the input (a pipe's writer waiting after a line) completes what has come.
            const bool paused = !eof_ && avail > 0 && producer_->paused();
            if (!eof_ && avail < want && !paused) {
                eof_ = !producer_->fill(*this, want - avail);
                continue;
            }
            if (avail == 0) {
                if (markers_.empty()) return false;
                emitSentence(0, true);
                return true;
            }
            size_t end = firstSentenceEnd(avail);
            if (eof_ || paused || end + kLookahead <= avail) {
                // complete
            } else if (avail >= kMaxSentence) {
                end = forcedCut(std::min(end, kMaxSentence));
            } else {
                want = std::max<uint64_t>(avail * 2, avail + kChunk);
                continue;
            }
            emitSentence(end, eof_ && end == avail);
            consume(end);
            return true;
        }
    }

    // The end of the first sentence in the window (`avail` when none ends before it). ICU is shown a
    // small part of the window first, which keeps the cost per sentence independent of the window.
    size_t firstSentenceEnd(size_t avail) {
        for (size_t view = std::min<size_t>(avail, 512);; view = std::min(avail, view * 4)) {
            openText16(&sentenceText_, breakChars_.data() + head_, static_cast<int32_t>(view)).release();
            UErrorCode status = U_ZERO_ERROR;
            sentence_->setText(&sentenceText_, status);
            if (U_FAILURE(status)) return avail;
            sentence_->first();
            const int32_t b = sentence_->next();
            if (b == icu::BreakIterator::DONE || b <= 0 || static_cast<size_t>(b) > view) return avail;
            if (view == avail || static_cast<size_t>(b) + kLookahead <= view) return static_cast<size_t>(b);
        }
    }

    // A cut for a run with no sentence end: after the last space before `limit`, else at `limit`
    // (never between the two halves of a surrogate pair).
    size_t forcedCut(size_t limit) const {
        for (size_t i = limit; i > limit / 2; --i) {
            if (isSpace(chars_[head_ + i - 1])) return i;
        }
        if (U16_IS_LEAD(chars_[head_ + limit - 1])) return limit - 1;
        return limit;
    }

    void consume(size_t end) {
        head_ += end;
        if (head_ >= kChunk && head_ * 2 >= chars_.size()) {
            chars_.erase(0, head_);
            breakChars_.erase(0, head_);
            units_.erase(units_.begin(), units_.begin() + static_cast<std::ptrdiff_t>(head_));
            base_ += head_;
            head_ = 0;
        }
    }

    Segment blankSegment(long index, int32_t position, int32_t length) const {
        Segment s;
        s.sentenceIndex = index;
        s.sentencePosition = position;
        s.sentenceLength = length;
        s.speakPunctuation = speakPunctuation_;
        return s;
    }

    void applyStyle(Segment& s, uint32_t packed) {
        const Style st = unpackStyle(packed);
        const auto& tokens = voices_->tokens;
        if (st.voice >= 0 && static_cast<size_t>(st.voice) < tokens.size()) s.voice = tokens[st.voice];
        s.rate = st.rate;
        s.volume = st.volume;
        s.pitch = st.pitch;
        s.emphasis = st.emphasis;
        s.phonemes = st.phonemes;
        s.engineVoiceId.clear();
        const auto voice = static_cast<size_t>(st.voice);
        if (st.otherScript && voice < voices_->otherScript.size() && voices_->otherScript[voice] >= 0) {
            s.engineVoiceId = tokens[static_cast<size_t>(voices_->otherScript[voice])].Id();
        }
        lastStyle_ = packed;
    }

    // The segments of one sentence as they are made: the runs of text between its markers, and the
    // markers (bookmarks, silences) between them, each taken in turn.
    struct SentenceSegments {
        TextSource& source;
        std::vector<Marker> markers;
        long index;
        int32_t position;
        int32_t length;
        bool hasText;
        size_t next = 0;  // the first marker not taken yet
        Segment seg{};
        bool segHasMarkers = false;
        bool pushedAny = false;

        Segment blank() const { return source.blankSegment(index, position, length); }

        void push() {
            seg.startsSentence = !pushedAny && hasText;
            pushedAny = true;
            source.pending_.push_back(std::move(seg));
            seg = blank();
        }

        // A segment of the markers taken since the last text, if any.
        void pushMarkersOnly() {
            if (!segHasMarkers) return;
            source.applyStyle(seg, source.lastMarkerStyle_);
            seg.sourceOffsets.assign(1, source.lastMarkerSource_);
            segHasMarkers = false;
            push();
        }

        // Takes the markers at units up to `upTo` (absolute) into the segment being made.
        void takeMarkers(uint64_t upTo) {
            while (next < markers.size() && markers[next].unit <= upTo) {
                Marker& m = markers[next++];
                if (m.isSilence) {
                    seg.silenceMs = addSaturated(seg.silenceMs, m.silenceMs);
                } else {
                    // A mark after a silence belongs after it: start a new segment.
                    if (seg.silenceMs > 0) pushMarkersOnly();
                    seg.marks.push_back(std::move(m.mark));
                }
                segHasMarkers = true;
                source.lastMarkerStyle_ = m.style;
                source.lastMarkerSource_ = m.source;
            }
        }
    };

    // Turns units [head_, head_ + end) into segments, with the markers that fall in it (all that are
    // left when `last`).
    void emitSentence(size_t end, bool last) {
        const size_t a = head_;
        const size_t b = head_ + end;
        std::vector<Marker> ms = takeMarkersBefore(base_ + b, last);
        size_t ta = a;
        while (ta < b && isSpace(chars_[ta])) ++ta;
        size_t tb = b;
        while (tb > ta && isSpace(chars_[tb - 1])) --tb;

        // A stretch of blanks holding only marks belongs to the sentence before it.
        const bool hasText = ta != tb;
        if (!hasText && ms.empty()) return;
        const long index = hasText ? sentences_++ : std::max(0L, sentences_ - 1);
        const int32_t position = hasText ? units_[ta].src : 0;
        const int32_t length = hasText ? units_[tb - 1].srcEnd - position : 0;

        const size_t firstPending = pending_.size();
        SentenceSegments out{*this, std::move(ms), index, position, length, hasText};
        out.seg = out.blank();
        out.takeMarkers(base_ + ta);
        for (size_t p = ta; p < tb;) {
            size_t limit = tb;
            if (out.next < out.markers.size() && out.markers[out.next].unit < base_ + tb) {
                limit = std::min<size_t>(limit, static_cast<size_t>(out.markers[out.next].unit - base_));
            }
            const uint32_t style = units_[p].style;
            const size_t q = runEnd(p, limit);
            applyStyle(out.seg, style);
            fillText(out.seg, p, q);
            out.segHasMarkers = false;
            out.push();
            p = q;
            out.takeMarkers(base_ + p);
        }
        out.takeMarkers(std::numeric_limits<uint64_t>::max());
        out.pushMarkersOnly();
        markSentenceEnd(firstPending, hasText);
    }

    // The markers before unit `absEnd` (absolute), or all that are left when `last`.
    std::vector<Marker> takeMarkersBefore(uint64_t absEnd, bool last) {
        std::vector<Marker> ms;
        while (!markers_.empty() && (last || markers_.front().unit < absEnd)) {
            ms.push_back(std::move(markers_.front()));
            markers_.pop_front();
        }
        return ms;
    }

    // The end of the run of one style from unit `p`, before `limit`: a segment holds at most
    // kMaxSegment code points, cut after a space where one is, or one pronunciation ("[[...]]"): two
    // side by side would reach the engine as one phoneme word, longer than it takes.
    size_t runEnd(size_t p, size_t limit) const {
        const uint32_t style = units_[p].style;
        const bool phonemes = unpackStyle(style).phonemes;
        size_t q = p;
        int32_t cps = 0;
        size_t afterSpace = 0;
        bool capped = false;
        while (q < limit && units_[q].style == style) {
            if (!phonemes && cps == kMaxSegment) {
                capped = true;
                break;
            }
            const bool space = isSpace(chars_[q]);
            q += (U16_IS_LEAD(chars_[q]) && q + 1 < limit) ? 2 : 1;
            ++cps;
            if (space) afterSpace = q;
            if (phonemes && q - p >= 2 && chars_[q - 1] == u']' && chars_[q - 2] == u']') break;
        }
        if (capped && afterSpace > p) q = afterSpace;
        return q;
    }

    // Only the last piece with text ends the sentence (a sentence of marks alone ends with its last).
    void markSentenceEnd(size_t firstPending, bool hasText) {
        bool isLast = true;
        for (size_t k = pending_.size(); k > firstPending; --k) {
            Segment& s = pending_[k - 1];
            s.endsSentence = isLast && (!s.text.empty() || !hasText);
            if (!s.text.empty()) isLast = false;
        }
    }

    void fillText(Segment& s, size_t p, size_t q) {
        cpIndex_.assign(q - p + 1, 0);
        cpEnd_.clear();
        cpReading_.clear();
        s.text.reserve(q - p);
        s.sourceOffsets.reserve(q - p + 1);
        for (size_t i = p; i < q;) {
            const size_t at = i;
            const char32_t cp = nextCodePoint(chars_.data(), i, q);
            cpIndex_[at - p] = static_cast<int32_t>(s.text.size());
            if (i - at == 2) cpIndex_[at - p + 1] = static_cast<int32_t>(s.text.size());
            s.text.push_back(cp);
            s.sourceOffsets.push_back(units_[at].src);
            cpEnd_.push_back(units_[at].srcEnd);
            cpReading_.push_back(units_[at].reading);
        }
        cpIndex_[q - p] = static_cast<int32_t>(s.text.size());
        s.sourceOffsets.push_back(units_[q - 1].srcEnd);
        if (s.phonemes) {
            if (s.sourceOffsets.back() > s.sourceOffsets.front()) {
                s.words.emplace_back(0, static_cast<int32_t>(s.text.size()));
            }
            return;
        }
        findWords(p, q);
        for (auto [w0, w1] : spans_) {
            const int32_t c0 = cpIndex_[static_cast<size_t>(w0)];
            const int32_t c1 = cpIndex_[static_cast<size_t>(w1)];
            if (c1 > c0) s.words.emplace_back(c0, c1);
        }
        readerWords(s);
        oneWordPerRewrite(s);
        // A word's end is the offset of the character after it. When markup stands between the two,
        // that character (a blank or punctuation, never part of a word) is given the offset where the
        // markup starts, so the word's range ends at its own last letter.
        size_t next = 0;
        for (size_t k = 0; k < s.words.size(); ++k) {
            const auto end = static_cast<size_t>(s.words[k].second);
            if (end >= s.text.size()) continue;
            next = k + 1;
            if (next < s.words.size() && static_cast<size_t>(s.words[next].first) == end) continue;
            const int32_t lastEnd = cpEnd_[end - 1];
            if (lastEnd < s.sourceOffsets[end]) s.sourceOffsets[end] = lastEnd;
        }
        // Words inserted for reading ("dollars" after a price) stand for no text of their own.
        std::erase_if(s.words, [&](const std::pair<int32_t, int32_t>& w) {
            return s.sourceOffsets[static_cast<size_t>(w.second)] <= s.sourceOffsets[static_cast<size_t>(w.first)];
        });
    }

    // The word breaker's words of units [p, q), as UTF-16 spans from p. The Mandarin reader's pinyin
    // has its own words (readerWords): the breaker reads only what lies between them.
    void findWords(size_t p, size_t q) {
        spans_.clear();
        for (size_t a = p; a < q;) {
            if (units_[a].reading) {
                ++a;
                continue;
            }
            size_t b = a;
            bool letters = false;
            for (; b < q && !units_[b].reading; ++b) letters = letters || u_isalnum(chars_[b]);
            if (letters) {
                const size_t before = spans_.size();
                words_.find(chars_.data() + a, static_cast<int32_t>(b - a), spans_);
                for (size_t k = before; k < spans_.size(); ++k) {
                    spans_[k].first += static_cast<int32_t>(a - p);
                    spans_[k].second += static_cast<int32_t>(a - p);
                }
            }
            a = b;
        }
    }

    // The words of the Mandarin reader's pinyin are the reader's words, not the word breaker's: 银行 is
    // one word, yin2hang2, whose event covers both characters. The words written for one piece of the
    // caller's text (a number read out) are one word, as below.
    void readerWords(Segment& s) const {
        const auto n = static_cast<int32_t>(s.text.size());
        for (int32_t i = 0; i < n;) {
            if (!cpReading_[static_cast<size_t>(i)]) {
                ++i;
                continue;
            }
            int32_t j = i;
            while (j < n && cpReading_[static_cast<size_t>(j)]) ++j;
            s.readings.emplace_back(i, j);
            i = j;
        }
        if (s.readings.empty()) return;
        const auto sameSource = [&](const auto& a, const auto& b) {
            return b.first == a.second + 1 &&
                   s.sourceOffsets[static_cast<size_t>(a.first)] == s.sourceOffsets[static_cast<size_t>(b.first)];
        };
        for (size_t k = 0; k < s.readings.size();) {
            size_t m = k + 1;
            while (m < s.readings.size() && sameSource(s.readings[m - 1], s.readings[m])) ++m;
            s.words.emplace_back(s.readings[k].first, s.readings[m - 1].second);
            k = m;
        }
        std::sort(s.words.begin(), s.words.end());
    }

    // Characters written for one piece of the caller's text (a number read out in words) are one word,
    // whatever word breaks fall inside them, so its Word event covers what the user wrote. Such a
    // piece is two or more code points that share one non-empty source range.
    void oneWordPerRewrite(Segment& s) const {
        const size_t n = s.text.size();
        size_t from = 0;  // the words before it end before the pieces still to come
        for (size_t i = 0; i < n;) {
            size_t j = i + 1;
            while (j < n && s.sourceOffsets[j] == s.sourceOffsets[i] && cpEnd_[j] == cpEnd_[i]) ++j;
            if (j - i >= 2 && cpEnd_[i] > s.sourceOffsets[i]) {
                auto g0 = static_cast<int32_t>(i);
                auto g1 = static_cast<int32_t>(j);
                auto first = std::find_if(s.words.begin() + static_cast<std::ptrdiff_t>(from), s.words.end(),
                                          [&](const auto& w) { return w.second > g0; });
                auto last = first;
                while (last != s.words.end() && last->first < g1) ++last;
                if (first != last) {
                    g0 = std::min(g0, first->first);
                    g1 = std::max(g1, std::prev(last)->second);
                }
                if (last - first == 1 && *first == std::make_pair(g0, g1)) {
                    from = static_cast<size_t>(first - s.words.begin());  // already one word (a syllable's)
                } else {
                    from = static_cast<size_t>(s.words.insert(s.words.erase(first, last), {g0, g1}) - s.words.begin());
                }
            }
            i = j;
        }
    }

    std::unique_ptr<UnitProducer> producer_;
    std::shared_ptr<const VoiceTable> voices_;
    bool speakPunctuation_;
    uint32_t initialStyle_;
    uint32_t lastStyle_ = initialStyle_;
    uint32_t lastMarkerStyle_ = initialStyle_;
    int32_t lastMarkerSource_ = 0;

    // The window of visible text: chars_[head_..] not yet made into segments; chars_[0] is unit
    // number base_ of the whole text.
    std::u16string chars_;
    // The same text as sentences are found in: the Mandarin reader's pinyin stands there as the Han
    // characters it reads (as one stand-in), so its lower-case letters do not keep a sentence going
    // ("Slow. 你好。" is two sentences, and so is "Slow. ni3hao3。").
    static constexpr char16_t kReadingStandIn = u'\u4E00';
    std::u16string breakChars_;
    std::vector<Unit> units_;
    size_t head_ = 0;
    uint64_t base_ = 0;
    std::deque<Marker> markers_;
    bool eof_ = false;
    int32_t lastSrc_ = 0;

    std::deque<Segment> pending_;
    long sentences_ = 0;         // sentences made so far
    long startedSentence_ = -1;  // the last sentence whose first segment was handed out

    std::unique_ptr<icu::BreakIterator> sentence_;
    UText sentenceText_ = UTEXT_INITIALIZER;
    WordFinder words_;
    std::vector<int32_t> cpIndex_;
    std::vector<int32_t> cpEnd_;
    std::vector<uint8_t> cpReading_;
    std::vector<std::pair<int32_t, int32_t>> spans_;

public:
    ~TextSource() override {
        sentence_.reset();
        utext_close(&sentenceText_);
    }
};

}  // namespace

std::unique_ptr<SegmentSource> makeTextSource(std::unique_ptr<UnitProducer> producer,
                                              std::shared_ptr<const VoiceTable> voices, bool speakPunctuation,
                                              uint32_t initialStyle) {
    return std::make_unique<TextSource>(std::move(producer), std::move(voices), speakPunctuation, initialStyle);
}

struct WordFinder::Impl {
    std::unique_ptr<icu::BreakIterator> it = makeIterator(false);
    UText text = UTEXT_INITIALIZER;
    ~Impl() {
        it.reset();
        utext_close(&text);
    }
};

WordFinder::WordFinder() : impl_(std::make_unique<Impl>()) {}
WordFinder::~WordFinder() = default;

void WordFinder::find(const char16_t* chars, int32_t length, std::vector<std::pair<int32_t, int32_t>>& out) {
    if (length <= 0) return;
    openText16(&impl_->text, chars, length).release();
    UErrorCode status = U_ZERO_ERROR;
    impl_->it->setText(&impl_->text, status);
    if (U_FAILURE(status)) return;
    int32_t start = impl_->it->first();
    for (int32_t end = impl_->it->next(); end != icu::BreakIterator::DONE; start = end, end = impl_->it->next()) {
        if (impl_->it->getRuleStatus() >= UBRK_WORD_NONE_LIMIT && end > start) out.emplace_back(start, end);
    }
}

}  // namespace speech::text
