// SPDX-License-Identifier: GPL-3.0-or-later
// The messages the program and its helper programs (the engine's, the PDF reader's) send each other on
// a socket pair: a header of kHeaderSize bytes (the payload's length, 4 bytes, then the message's type,
// 1 byte) and the payload, which holds values as they lie in memory, and arrays and strings as a 32-bit
// count followed by their elements. Both ends are programs of the same build on the same machine, so
// the layout needs no conversion; what decides trust is that every read is checked against the
// payload's length.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace base::wire {

inline constexpr size_t kHeaderSize = 5;

// Writes the header at the start of `frame` for the payload that follows it.
inline void writeHeader(std::vector<uint8_t>& frame, uint8_t type) {
    const auto length = static_cast<uint32_t>(frame.size() - kHeaderSize);
    std::memcpy(frame.data(), &length, sizeof length);
    frame[4] = type;
}

// Builds one message: its header's room, then each value put, in order.
class Encoder {
public:
    template <class Type>
    explicit Encoder(Type type, size_t reserve = 64) : type_(static_cast<uint8_t>(type)) {
        bytes_.reserve(reserve);  // also keeps GCC 12's -O3 from a false out-of-bounds warning in put()
        bytes_.resize(kHeaderSize);
    }

    template <class T>
    void put(T value) {
        static_assert(std::is_trivially_copyable_v<T> && !std::is_pointer_v<T>, "a value, not what it points to");
        putRaw(std::span<const T>(&value, 1));
    }
    template <class T>
    void putArray(std::span<const T> values) {
        put(static_cast<uint32_t>(values.size()));
        putRaw(values);
    }
    // The elements alone, without their count.
    template <class T>
    void putRaw(std::span<const T> values) {
        static_assert(std::is_trivially_copyable_v<T>);
        const size_t at = bytes_.size();
        bytes_.resize(at + values.size_bytes());
        if (!values.empty()) std::memcpy(bytes_.data() + at, values.data(), values.size_bytes());
    }
    void put(std::string_view s) { putArray(std::span<const char>(s)); }
    void put(std::u16string_view s) { putArray(std::span<const char16_t>(s)); }
    void put(const std::string& s) { put(std::string_view(s)); }
    void put(const std::u16string& s) { put(std::u16string_view(s)); }

    std::vector<uint8_t> finish() && {
        writeHeader(bytes_, type_);
        return std::move(bytes_);
    }

private:
    uint8_t type_;
    std::vector<uint8_t> bytes_;
};

// Reads a payload front to back; any read past its end leaves it failed, and gives zeros or nothing.
class Decoder {
public:
    explicit Decoder(std::span<const uint8_t> payload) : rest_(payload) {}

    template <class T>
    T get() {
        static_assert(std::is_trivially_copyable_v<T>);
        T value{};
        if (rest_.size() < sizeof value) {
            failed_ = true;
            return value;
        }
        std::memcpy(&value, rest_.data(), sizeof value);
        rest_ = rest_.subspan(sizeof value);
        return value;
    }
    template <class T>
    std::vector<T> getArray() {
        const std::span<const uint8_t> bytes = counted(sizeof(T));
        std::vector<T> values(bytes.size() / sizeof(T));
        if (!values.empty()) std::memcpy(values.data(), bytes.data(), bytes.size());
        return values;
    }
    template <class Char = char>
    std::basic_string<Char> getString() {
        const std::span<const uint8_t> bytes = counted(sizeof(Char));
        std::basic_string<Char> s(bytes.size() / sizeof(Char), Char{});
        if (!s.empty()) std::memcpy(s.data(), bytes.data(), bytes.size());
        return s;
    }

    bool failed() const { return failed_; }
    // Succeeded when every read fitted and the whole payload was read, no more and no less.
    bool done() const { return !failed_ && rest_.empty(); }

private:
    // A count, then that many elements of `size` bytes: their bytes, taken from the payload.
    std::span<const uint8_t> counted(size_t size) {
        const auto count = get<uint32_t>();
        if (failed_ || count > rest_.size() / size) {
            failed_ = true;
            return {};
        }
        const std::span<const uint8_t> bytes = rest_.first(count * size);
        rest_ = rest_.subspan(count * size);
        return bytes;
    }

    std::span<const uint8_t> rest_;
    bool failed_ = false;
};

// `value` when the whole payload was read and nothing else; nothing otherwise.
template <class T>
std::optional<T> ifDone(const Decoder& d, T value) {
    if (!d.done()) return std::nullopt;
    return value;
}

}  // namespace base::wire
