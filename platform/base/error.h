// SPDX-License-Identifier: GPL-3.0-or-later
// Errors raised by the speech platform's public calls.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace base {

// Error codes in the style of the automation objects' HRESULTs.
namespace errc {
inline constexpr int32_t kInvalidArg = static_cast<int32_t>(0x80070057);
inline constexpr int32_t kNotFound = static_cast<int32_t>(0x80070002);      // file or value missing
inline constexpr int32_t kAccessDenied = static_cast<int32_t>(0x80070005);  // cannot write or read
inline constexpr int32_t kUnsupportedFormat = static_cast<int32_t>(0x8004503A);
inline constexpr int32_t kNoAudioDevice = static_cast<int32_t>(0x80045050);
inline constexpr int32_t kDeviceLost = static_cast<int32_t>(0x80045051);
inline constexpr int32_t kMarkup = static_cast<int32_t>(0x80045052);  // malformed XML markup
inline constexpr int32_t kNoVoice = static_cast<int32_t>(0x8004503F);
inline constexpr int32_t kEngine = static_cast<int32_t>(0x80045053);  // the synthesizer failed
inline constexpr int32_t kFile = static_cast<int32_t>(0x80045054);    // a file is unreadable / not WAV
inline constexpr int32_t kOutOfMemory = static_cast<int32_t>(0x8007000E);
inline constexpr int32_t kCancelled = static_cast<int32_t>(0x800704C7);  // stopped before its end
inline constexpr int32_t kUnexpected = static_cast<int32_t>(0x8000FFFF);
}  // namespace errc

// A failing platform call throws this. `description()` is a sentence a user can read.
class Error : public std::runtime_error {
public:
    Error(int32_t code, const std::string& description) : std::runtime_error(description), code_(code) {}
    int32_t code() const noexcept { return code_; }
    std::string description() const { return what(); }

private:
    int32_t code_;
};

// Internal failures travel as values until the public boundary turns them into Error.
struct Fault {
    int32_t code = errc::kUnexpected;
    std::string message;
};

// The fault a platform thread reports when it runs out of memory (std::bad_alloc): the stream it
// serves ends with it, instead of the exception ending the whole program.
inline Fault outOfMemory() {
    return Fault{errc::kOutOfMemory, "There was not enough memory to go on; the speech was stopped."};
}

// Minimal result type (C++20 has no std::expected).
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : value_(std::move(value)), ok_(true) {}       // NOLINT(google-explicit-constructor)
    Result(Fault fault) : fault_(std::move(fault)), ok_(false) {}  // NOLINT(google-explicit-constructor)
    bool ok() const noexcept { return ok_; }
    explicit operator bool() const noexcept { return ok_; }
    T& value() { return value_; }
    const T& value() const { return value_; }
    const Fault& fault() const { return fault_; }
    // Throws Error for a fault; used at the public boundary only.
    T& orThrow() {
        if (!ok_) throw Error(fault_.code, fault_.message);
        return value_;
    }

private:
    T value_{};
    Fault fault_{};
    bool ok_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Fault fault) : fault_(std::move(fault)), ok_(false) {}  // NOLINT(google-explicit-constructor)
    bool ok() const noexcept { return ok_; }
    explicit operator bool() const noexcept { return ok_; }
    const Fault& fault() const { return fault_; }
    void orThrow() const {
        if (!ok_) throw Error(fault_.code, fault_.message);
    }

private:
    Fault fault_{};
    bool ok_ = true;
};

}  // namespace base
