// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/text/alias_stage.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "speech/text/mandarin/reader.h"

namespace speech::text {

namespace {

// A letter or digit of an alphabet: an alias's grapheme made of them is a whole word.
bool isWordChar(char32_t c) {
    return c != 0 && !mandarin::readsAsHan(c) && u_isalnum(static_cast<UChar32>(c));
}

// Units asked of the inner producer at a time: what is held stays small however long the text.
constexpr uint64_t kRead = 256;

class AliasStage final : public UnitProducer, private UnitSink {
public:
    // The aliases of `user`, which is kept while they are read.
    AliasStage(std::unique_ptr<UnitProducer> inner, std::shared_ptr<const UserLexicon> user)
        : inner_(std::move(inner)),
          user_(std::move(user)),
          aliases_(user_->aliases()),
          longest_(user_->longestAlias()) {}

    // Passes on at least `minUnits` units (or all there is). An alias's text is handed on as it is
    // asked for, never more than the sink wants: what is held is bounded by the longest grapheme and
    // a read, however long and however many the aliases met.
    bool fill(UnitSink& sink, uint64_t minUnits) override {
        out_ = &sink;
        const uint64_t target = sink.size() + minUnits;
        while (sink.size() < target) {
            if (expansion_) {
                expand(target);
                continue;
            }
            if (passOne(ended_ || flushing_)) continue;
            if (ended_) return false;
            if (flushing_) {
                flushing_ = false;
                return true;
            }
            const uint64_t before = received_ + markersIn_;
            ended_ = !inner_->fill(*this, kRead);
            // At a pause of the input, what is held has nothing more to wait for.
            if (!ended_ && received_ + markersIn_ == before && inner_->paused()) flushing_ = true;
        }
        return !(ended_ && held_.empty() && !expansion_);
    }
    bool paused() const override { return !expansion_ && held_.empty() && inner_->paused(); }

    void restart() override {
        inner_->restart();
        held_.clear();
        markers_.clear();
        markersIn_ = 0;
        expansion_ = nullptr;
        before_ = 0;
        received_ = 0;
        ended_ = false;
        flushing_ = false;
    }

private:
    struct Held {
        char32_t c;
        int32_t src, srcEnd;
        uint32_t style;
        bool marker;  // stands for the next of markers_
    };

    void put(char32_t cp, int32_t src, int32_t srcEnd, uint32_t style) override {
        received_ += cp > 0xFFFF ? 2 : 1;
        held_.push_back({cp, src, srcEnd, style, false});
    }
    void marker(Marker m) override {
        ++markersIn_;
        markers_.push_back(std::move(m));
        held_.push_back({0, 0, 0, 0, true});
    }
    uint64_t size() const override { return received_; }

    // Passes on what is first held: a marker, a character, or the start of an alias. False when
    // nothing is held, or (unless `final`) when a longer grapheme could still be matching.
    bool passOne(bool final) {
        if (held_.empty()) return false;
        if (held_.front().marker) {
            held_.pop_front();
            out_->marker(std::move(markers_.front()));
            markers_.pop_front();
            return true;
        }
        if (!final && markers_.empty() && held_.size() <= longest_) return false;
        if (const Alias* a = match()) {
            const size_t n = a->grapheme.size();
            expansion_ = &a->alias;
            at_ = 0;
            src_ = held_.front().src;
            srcEnd_ = held_[n - 1].srcEnd;
            style_ = held_.front().style;
            before_ = a->grapheme.back();
            held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(n));
            return true;
        }
        const Held h = held_.front();
        held_.pop_front();
        out_->put(h.c, h.src, h.srcEnd, h.style);
        before_ = h.c;
        return true;
    }

    // The alias's characters take the source range of the whole grapheme.
    void expand(uint64_t target) {
        const std::u32string& text = *expansion_;
        while (at_ < text.size() && out_->size() < target) out_->put(text[at_++], src_, srcEnd_, style_);
        if (at_ == text.size()) expansion_ = nullptr;
    }

    // The longest alias whose grapheme the held characters start with, in one style and as a whole
    // word where it is made of letters. The sorted graphemes are narrowed a character at a time (those
    // sharing the characters read so far are one range), so each place of the text costs at most the
    // longest grapheme's length in steps, whatever the number of aliases.
    const Alias* match() const {
        const Held& first = held_.front();
        if (isWordChar(first.c) && isWordChar(before_)) return nullptr;
        auto lo = aliases_.begin();
        auto hi = aliases_.end();
        const Alias* best = nullptr;
        for (size_t d = 0; d < held_.size() && lo != hi; ++d) {
            const Held& h = held_[d];
            if (h.marker || h.style != first.style) break;
            // The one grapheme of exactly d characters sorts first; it was judged at the last step.
            if (lo->grapheme.size() == d) ++lo;
            lo = std::lower_bound(lo, hi, h.c, [d](const Alias& a, char32_t c) { return a.grapheme[d] < c; });
            hi = std::upper_bound(lo, hi, h.c, [d](char32_t c, const Alias& a) { return c < a.grapheme[d]; });
            if (lo == hi || lo->grapheme.size() != d + 1) continue;
            const bool wordAfter = d + 1 < held_.size() && !held_[d + 1].marker && isWordChar(held_[d + 1].c);
            if (!(isWordChar(lo->grapheme.back()) && wordAfter)) best = &*lo;
        }
        return best;
    }

    std::unique_ptr<UnitProducer> inner_;
    std::shared_ptr<const UserLexicon> user_;
    const std::vector<Alias>& aliases_;  // sorted by grapheme
    size_t longest_ = 0;
    UnitSink* out_ = nullptr;
    std::deque<Held> held_;
    std::deque<Marker> markers_;
    uint64_t markersIn_ = 0;  // markers received, to tell a pause from a read that brought only markers
    // The alias being handed on: its text, how much of it went, and the grapheme's range and style.
    const std::u32string* expansion_ = nullptr;
    size_t at_ = 0;
    int32_t src_ = 0, srcEnd_ = 0;
    uint32_t style_ = 0;
    char32_t before_ = 0;  // the last character passed on
    uint64_t received_ = 0;
    bool ended_ = false;
    bool flushing_ = false;  // the input paused: what is held goes on without waiting for more
};

}  // namespace

std::unique_ptr<UnitProducer> makeAliasStage(std::unique_ptr<UnitProducer> inner,
                                             std::shared_ptr<const UserLexicon> user) {
    if (!user || user->aliases().empty()) return inner;
    return std::make_unique<AliasStage>(std::move(inner), std::move(user));
}

}  // namespace speech::text
