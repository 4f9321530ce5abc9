// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/text/unit_producers.h"

#include <deque>
#include <limits>

namespace speech::text {

namespace {

// Plain text: every character is spoken with the same settings.
class PlainProducer final : public UnitProducer {
public:
    PlainProducer(std::shared_ptr<const std::u16string> text, uint32_t style) : text_(std::move(text)), style_(style) {}

    bool fill(UnitSink& sink, uint64_t minUnits) override {
        const std::u16string& s = *text_;
        const size_t n = s.size();
        const uint64_t start = sink.size();
        while (pos_ < n && sink.size() - start < minUnits) {
            const size_t at = pos_;
            const char32_t cp = nextCodePoint(s.data(), pos_, n);
            sink.put(cp, static_cast<int32_t>(at), static_cast<int32_t>(pos_), style_);
        }
        return pos_ < n;
    }
    void restart() override { pos_ = 0; }

private:
    std::shared_ptr<const std::u16string> text_;
    uint32_t style_;
    size_t pos_ = 0;
};

// Plain text read a piece at a time; positions count UTF-16 units from the start of the stream.
class StreamProducer final : public UnitProducer {
public:
    StreamProducer(std::unique_ptr<TextStream> stream, uint32_t style) : stream_(std::move(stream)), style_(style) {}

    bool fill(UnitSink& sink, uint64_t minUnits) override {
        const uint64_t start = sink.size();
        while (sink.size() - start < minUnits) {
            if (at_ == piece_.size() || (at_ + 1 == piece_.size() && U16_IS_LEAD(piece_[at_]) && !ended_)) {
                // Keep a lead surrogate at the end of a piece for its trail in the next one.
                piece_.erase(0, at_);
                at_ = 0;
                if (ended_ || !stream_->read(piece_)) ended_ = true;
                for (auto& m : stream_->takeMarks()) marks_.push_back(std::move(m));
                if (piece_.empty() && !ended_ && stream_->paused()) return true;
                if (piece_.empty()) {
                    placeMarks(sink, std::numeric_limits<uint64_t>::max());
                    return false;
                }
                continue;
            }
            placeMarks(sink, position_);
            const size_t from = at_;
            const char32_t cp = nextCodePoint(piece_.data(), at_, piece_.size());
            const size_t len = at_ - from;
            sink.put(cp, clamp32(position_), clamp32(position_ + len), style_);
            position_ += len;
        }
        return !(ended_ && at_ == piece_.size());
    }
    bool paused() const override { return !ended_ && at_ == piece_.size() && stream_->paused(); }
    void restart() override {
        stream_->restart();
        piece_.clear();
        at_ = 0;
        position_ = 0;
        ended_ = false;
        marks_.clear();
    }

private:
    // Turns the stream's bookmarks up to `position` into markers before the character there.
    void placeMarks(UnitSink& sink, uint64_t position) {
        while (!marks_.empty() && static_cast<uint64_t>(marks_.front().sourcePosition) <= position) {
            Marker m;
            m.style = style_;
            m.source = marks_.front().sourcePosition;
            m.mark = std::move(marks_.front());
            marks_.pop_front();
            sink.marker(std::move(m));
        }
    }

    // Positions are 32-bit offsets; a text longer than that keeps its last position.
    static int32_t clamp32(uint64_t v) {
        return static_cast<int32_t>(std::min<uint64_t>(v, std::numeric_limits<int32_t>::max()));
    }

    std::unique_ptr<TextStream> stream_;
    uint32_t style_;
    std::u16string piece_;
    size_t at_ = 0;
    uint64_t position_ = 0;
    bool ended_ = false;
    std::deque<SegmentMark> marks_;  // handed over by the stream, not yet placed
};

}  // namespace

std::unique_ptr<UnitProducer> makePlainProducer(std::shared_ptr<const std::u16string> text, uint32_t style) {
    return std::make_unique<PlainProducer>(std::move(text), style);
}

std::unique_ptr<UnitProducer> makeStreamProducer(std::unique_ptr<TextStream> stream, uint32_t style) {
    return std::make_unique<StreamProducer>(std::move(stream), style);
}

}  // namespace speech::text
