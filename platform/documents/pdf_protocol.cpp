// SPDX-License-Identifier: GPL-3.0-or-later
#include "documents/pdf_protocol.h"

#include "base/wire.h"

namespace documents::pdf {

using base::wire::Decoder;
using base::wire::Encoder;
using base::wire::ifDone;

std::string Info::field(std::string_view name) const {
    for (const Field& f : fields) {
        if (f.name == name) return f.value;
    }
    return {};
}

std::vector<uint8_t> encodeOpen(const Bounds& bounds) {
    Encoder e(Message::Open);
    e.put(bounds.memoryBytes);
    e.put(bounds.pageCpuSeconds);
    e.put(bounds.maxPageUnits);
    return std::move(e).finish();
}

std::vector<uint8_t> encodeReadPage(uint32_t index) {
    Encoder e(Message::ReadPage);
    e.put(index);
    return std::move(e).finish();
}

std::vector<uint8_t> encodeOpened(const Info& info) {
    Encoder e(Message::Opened);
    e.put(info.pages);
    e.put(static_cast<uint32_t>(info.fields.size()));
    for (const Field& f : info.fields) {
        e.put(std::string_view(f.name));
        e.put(std::string_view(f.value));
    }
    e.put(static_cast<uint32_t>(info.outline.size()));
    for (const auto& title : info.outline) e.put(std::u16string_view(title));
    return std::move(e).finish();
}

std::vector<uint8_t> encodeNotOpened(NotOpened why) {
    Encoder e(Message::NotOpened);
    e.put(why);
    return std::move(e).finish();
}

std::vector<uint8_t> encodePage(uint32_t index, std::u16string_view text) {
    Encoder e(Message::Page);
    e.put(index);
    e.put(text);
    return std::move(e).finish();
}

std::vector<uint8_t> encodePageRefused(uint32_t index, std::string_view reason) {
    Encoder e(Message::PageRefused);
    e.put(index);
    e.put(reason);
    return std::move(e).finish();
}

std::optional<Bounds> decodeOpen(std::span<const uint8_t> payload) {
    Decoder d(payload);
    Bounds b;
    b.memoryBytes = d.get<uint64_t>();
    b.pageCpuSeconds = d.get<uint32_t>();
    b.maxPageUnits = d.get<uint32_t>();
    return ifDone(d, b);
}

std::optional<uint32_t> decodeReadPage(std::span<const uint8_t> payload) {
    Decoder d(payload);
    const auto index = d.get<uint32_t>();
    return ifDone(d, index);
}

std::optional<Info> decodeOpened(std::span<const uint8_t> payload) {
    Decoder d(payload);
    Info info;
    info.pages = d.get<int32_t>();
    // A count larger than the payload holds ends at the first read past its end.
    const auto fields = d.get<uint32_t>();
    for (uint32_t i = 0; i < fields && !d.failed(); ++i) {
        Field f;
        f.name = d.getString<char>();
        f.value = d.getString<char>();
        info.fields.push_back(std::move(f));
    }
    const auto titles = d.get<uint32_t>();
    for (uint32_t i = 0; i < titles && !d.failed(); ++i) info.outline.push_back(d.getString<char16_t>());
    if (info.pages < 0) return std::nullopt;
    return ifDone(d, std::move(info));
}

std::optional<NotOpened> decodeNotOpened(std::span<const uint8_t> payload) {
    Decoder d(payload);
    const auto why = d.get<NotOpened>();
    if (why != NotOpened::Damaged && why != NotOpened::Protected) return std::nullopt;
    return ifDone(d, why);
}

std::optional<PageText> decodePage(std::span<const uint8_t> payload) {
    Decoder d(payload);
    PageText page;
    page.index = d.get<uint32_t>();
    page.text = d.getString<char16_t>();
    return ifDone(d, std::move(page));
}

std::optional<PageRefusal> decodePageRefused(std::span<const uint8_t> payload) {
    Decoder d(payload);
    PageRefusal refusal;
    refusal.index = d.get<uint32_t>();
    refusal.reason = d.getString<char>();
    return ifDone(d, std::move(refusal));
}

void FrameReader::append(std::span<const uint8_t> bytes) {
    if (start_ > 0 && start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

std::optional<Frame> FrameReader::next() {
    if (broken_ || buffer_.size() - start_ < kHeaderSize) return std::nullopt;
    uint32_t length = 0;
    std::memcpy(&length, buffer_.data() + start_, sizeof length);
    const uint8_t type = buffer_[start_ + 4];
    if (length > kMaxPayload || type < static_cast<uint8_t>(Message::Open) ||
        type > static_cast<uint8_t>(Message::PageRefused)) {
        broken_ = true;
        return std::nullopt;
    }
    if (buffer_.size() - start_ - kHeaderSize < length) return std::nullopt;
    const auto* payload = buffer_.data() + start_ + kHeaderSize;
    Frame frame{static_cast<Message>(type), std::vector<uint8_t>(payload, payload + length)};
    start_ += kHeaderSize + length;
    // What is taken is dropped once it is most of the buffer, so that the buffer never grows past
    // a frame or two.
    if (start_ > buffer_.size() / 2) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    return frame;
}

}  // namespace documents::pdf
