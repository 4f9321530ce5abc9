// SPDX-License-Identifier: GPL-3.0-or-later
// The messages between the program and its PDF reader, tallamo-pdf: a helper process that runs
// poppler on one document, so that a page whose content inflates to gigabytes or draws itself
// without end costs that process, never the program. Over a stream socket (the helper's descriptor
// 3; the document is its descriptor 4), every message is one frame: a 32-bit payload length, a
// one-byte type, then the payload. Both ends are built together and run on the same machine, so
// numbers travel in the host's byte order.
//
//   program -> helper   Open        the bounds the helper keeps to (memory, processor time a page,
//                                   text a page); it then opens the document
//                       ReadPage    a page's number, counted from 0
//   helper -> program   Opened      the page count, the document's information as named fields
//                                   ("title", "author", "date"; a new field needs no new message) and the outline's
//                                   top-level titles
//                       NotOpened   why the document cannot be read (damaged, protected)
//                       Page        a page's text
//                       PageRefused a page the helper gives up itself, and why
//
// The helper is built with this file and nothing of the platform's libraries: it runs without the
// sanitizers, whose address-space reservation its memory bound would refuse.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/wire.h"

namespace documents::pdf {

enum class Message : uint8_t { Open = 1, ReadPage, Opened, NotOpened, Page, PageRefused };

// A frame larger than this is taken as a broken stream, not as a message. A page's text is bounded
// well below it (Bounds::maxPageUnits).
inline constexpr uint32_t kMaxPayload = 16u << 20;
inline constexpr size_t kHeaderSize = base::wire::kHeaderSize;

struct Frame {
    Message type = Message::Open;
    std::vector<uint8_t> payload;
};

struct Bounds {
    uint64_t memoryBytes = 0;     // the helper's data (RLIMIT_DATA)
    uint32_t pageCpuSeconds = 0;  // processor time for the opening and for each page
    uint32_t maxPageUnits = 0;    // UTF-16 units of text a page may give
};

// A piece of the document's information (UTF-8): "title", "author", "date" (ISO 8601, to the day).
struct Field {
    std::string name;
    std::string value;
    friend bool operator==(const Field&, const Field&) = default;
};

struct Info {
    int32_t pages = 0;
    std::vector<Field> fields;
    std::vector<std::u16string> outline;  // the top-level entries' titles, in order

    // The value of the field `name`; empty when there is none.
    std::string field(std::string_view name) const;
};

enum class NotOpened : uint8_t { Damaged = 1, Protected };

// How the helper ends: its exit status. (Past its processor time the kernel ends it with SIGXCPU; an
// allocation that poppler's own allocator cannot make ends it with SIGABRT.)
enum class HelperExit : int {
    Done = 0,         // the program closed the socket, or went away
    BadRequest = 2,   // the program sent something else than a request
    OutOfMemory = 3,  // an allocation failed past the memory bound
};

struct PageText {
    uint32_t index = 0;
    std::u16string text;
};

struct PageRefusal {
    uint32_t index = 0;
    std::string reason;  // the end of "page N was skipped: ...", e.g. "it holds more than 1048576 characters"
};

// Each encoder returns a whole frame, header included.
std::vector<uint8_t> encodeOpen(const Bounds& bounds);
std::vector<uint8_t> encodeReadPage(uint32_t index);
std::vector<uint8_t> encodeOpened(const Info& info);
std::vector<uint8_t> encodeNotOpened(NotOpened why);
std::vector<uint8_t> encodePage(uint32_t index, std::u16string_view text);
std::vector<uint8_t> encodePageRefused(uint32_t index, std::string_view reason);

// Each decoder reads a payload of its type; nothing when it is malformed.
std::optional<Bounds> decodeOpen(std::span<const uint8_t> payload);
std::optional<uint32_t> decodeReadPage(std::span<const uint8_t> payload);
std::optional<Info> decodeOpened(std::span<const uint8_t> payload);
std::optional<NotOpened> decodeNotOpened(std::span<const uint8_t> payload);
std::optional<PageText> decodePage(std::span<const uint8_t> payload);
std::optional<PageRefusal> decodePageRefused(std::span<const uint8_t> payload);

// Splits a byte stream into frames: bytes go in with append(), whole frames come out of next(). A
// header announcing more than kMaxPayload or an unknown type makes the stream broken.
class FrameReader {
public:
    void append(std::span<const uint8_t> bytes);
    std::optional<Frame> next();
    bool broken() const { return broken_; }

private:
    std::vector<uint8_t> buffer_;
    size_t start_ = 0;  // the first byte not yet taken
    bool broken_ = false;
};

}  // namespace documents::pdf
