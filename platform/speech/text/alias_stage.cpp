// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/text/alias_stage.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <deque>
#include <map>
#include <vector>

#include "speech/text/mandarin/reader.h"

namespace speech::text {

namespace {

// A letter or digit of an alphabet: an alias's grapheme made of them is a whole word.
bool isWordChar(char32_t c) {
    return c != 0 && !mandarin::readsAsHan(c) && u_isalnum(static_cast<UChar32>(c));
}

class AliasStage final : public UnitProducer, private UnitSink {
public:
    AliasStage(std::unique_ptr<UnitProducer> inner, std::map<std::u32string, std::u32string> aliases)
        : inner_(std::move(inner)) {
        for (auto& [grapheme, alias] : aliases) {
            longest_ = std::max(longest_, grapheme.size());
            byFirst_[grapheme[0]].push_back({grapheme, std::move(alias)});
        }
        for (auto& [c, list] : byFirst_) {
            std::stable_sort(list.begin(), list.end(),
                             [](const Alias& a, const Alias& b) { return a.grapheme.size() > b.grapheme.size(); });
        }
    }

    bool fill(UnitSink& sink, uint64_t minUnits) override {
        out_ = &sink;
        const uint64_t start = sink.size();
        while (!ended_ && sink.size() - start < minUnits) {
            ended_ = !inner_->fill(*this, minUnits);
            if (ended_) drain(0);
        }
        return !ended_;
    }

    void restart() override {
        inner_->restart();
        pending_.clear();
        before_ = 0;
        received_ = 0;
        ended_ = false;
    }

private:
    struct Alias {
        std::u32string grapheme;
        std::u32string alias;
    };
    struct Held {
        char32_t c;
        int32_t src, srcEnd;
        uint32_t style;
    };

    void put(char32_t cp, int32_t src, int32_t srcEnd, uint32_t style) override {
        received_ += cp > 0xFFFF ? 2 : 1;
        pending_.push_back({cp, src, srcEnd, style});
        drain(longest_ + 1);
    }
    void marker(Marker m) override {
        drain(0);
        out_->marker(std::move(m));
    }
    uint64_t size() const override { return received_; }

    // Passes held characters on until only `keep` are held: a grapheme is seen whole, with the
    // character after it, before it is replaced.
    void drain(size_t keep) {
        while (pending_.size() > keep) {
            if (const Alias* a = match()) {
                const Held& first = pending_.front();
                const Held& last = pending_[a->grapheme.size() - 1];
                for (char32_t c : a->alias) out_->put(c, first.src, last.srcEnd, first.style);
                before_ = a->grapheme.back();
                pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(a->grapheme.size()));
                continue;
            }
            const Held& h = pending_.front();
            out_->put(h.c, h.src, h.srcEnd, h.style);
            before_ = h.c;
            pending_.pop_front();
        }
    }

    // The longest alias whose grapheme the held characters start with, in one style and as a whole
    // word where it is made of letters.
    const Alias* match() const {
        auto it = byFirst_.find(pending_.front().c);
        if (it == byFirst_.end()) return nullptr;
        for (const Alias& a : it->second) {
            const size_t n = a.grapheme.size();
            if (n > pending_.size()) continue;
            bool same = true;
            for (size_t i = 0; i < n && same; ++i) {
                same = pending_[i].c == a.grapheme[i] && pending_[i].style == pending_.front().style;
            }
            if (!same) continue;
            if (isWordChar(a.grapheme.front()) && isWordChar(before_)) continue;
            if (isWordChar(a.grapheme.back()) && n < pending_.size() && isWordChar(pending_[n].c)) continue;
            return &a;
        }
        return nullptr;
    }

    std::unique_ptr<UnitProducer> inner_;
    std::map<char32_t, std::vector<Alias>> byFirst_;  // longest first
    size_t longest_ = 0;
    UnitSink* out_ = nullptr;
    std::deque<Held> pending_;
    char32_t before_ = 0;  // the last character passed on
    uint64_t received_ = 0;
    bool ended_ = false;
};

}  // namespace

std::unique_ptr<UnitProducer> makeAliasStage(std::unique_ptr<UnitProducer> inner,
                                             std::shared_ptr<const UserLexicon> user) {
    if (!user) return inner;
    std::map<std::u32string, std::u32string> aliases;  // the later entry for a grapheme wins
    for (const UserEntry& e : user->entries) {
        if (e.pinyin.empty() && !e.alias.empty() && !e.grapheme.empty()) {
            aliases[e.grapheme] = e.alias;
        } else {
            aliases.erase(e.grapheme);
        }
    }
    if (aliases.empty()) return inner;
    return std::make_unique<AliasStage>(std::move(inner), std::move(aliases));
}

}  // namespace speech::text
