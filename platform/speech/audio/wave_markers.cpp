// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/audio/wave_markers.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

#include "speech/audio/file_encoder.h"

namespace speech::audio {

namespace {

constexpr size_t kMaxLabelBytes = 255;  // libsndfile's reader gives up on a longer label

void putLe32(std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void putId(std::vector<uint8_t>& out, const char (&id)[5]) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(id[i]));
}

uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// A sub-chunk holding `text` and its terminating zero, padded to an even length.
void putText(std::vector<uint8_t>& out, const char (&id)[5], std::optional<uint32_t> cueId, const std::string& text) {
    putId(out, id);
    const size_t size = (cueId ? 4 : 0) + text.size() + 1;
    putLe32(out, static_cast<uint32_t>(size));
    if (cueId) putLe32(out, *cueId);
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
    if (size % 2 != 0) out.push_back(0);
}

std::vector<uint8_t> chunk(const char (&id)[5], std::span<const uint8_t> body) {
    std::vector<uint8_t> out;
    putId(out, id);
    putLe32(out, static_cast<uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    if (body.size() % 2 != 0) out.push_back(0);
    return out;
}

std::vector<uint8_t> infoList(const core::FileTags& tags) {
    std::vector<uint8_t> body;
    putId(body, "INFO");
    for (const auto& [id, value] : core::tagFields(tags, core::TagFormat::RiffInfo)) {
        if (value.empty()) continue;
        char key[5] = {};
        std::memcpy(key, id, 4);
        putText(body, key, std::nullopt, value);
    }
    return body;
}

struct Marks {
    std::vector<core::ChapterMark> chapters;
    std::vector<std::string> warnings;
};

Marks waveMarks(const core::FileTags& tags, std::span<const core::ChapterMark> marks, uint64_t totalFrames) {
    Marks out;
    out.chapters = fileChapters(marks, tags.album.empty() ? tags.title : tags.album, totalFrames);
    const auto past = std::find_if(out.chapters.begin(), out.chapters.end(),
                                   [](const core::ChapterMark& m) { return m.startFrame > UINT32_MAX; });
    if (past != out.chapters.end() || out.chapters.size() > kMaxWaveCues) {
        out.chapters.erase(std::min(past, out.chapters.begin() +
                                              static_cast<std::ptrdiff_t>(std::min(out.chapters.size(), kMaxWaveCues))),
                           out.chapters.end());
        out.warnings.push_back("Only the first " + std::to_string(out.chapters.size()) +
                               " chapters are marked: a WAV file holds no more.");
    }
    for (auto& mark : out.chapters) mark.title = core::tagText(mark.title, kMaxLabelBytes);
    return out;
}

std::vector<std::string> titlesOf(const std::vector<core::ChapterMark>& chapters) {
    std::vector<std::string> titles;
    for (const auto& c : chapters) titles.push_back(c.title);
    return titles;
}

base::Fault markFault(const std::string& name, const std::string& reason) {
    return base::Fault{base::errc::kAccessDenied,
                       "Cannot mark the chapters in the file \"" + name + "\": " + reason + "."};
}

int preadAll(int fd, uint8_t* out, size_t size, off_t at) {
    for (size_t done = 0; done < size;) {
        const ssize_t n = ::pread(fd, out + done, size - done, at + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return EIO;
        done += static_cast<size_t>(n);
    }
    return 0;
}

// The body of a LIST/adtl chunk: a `labl` for cue point i + 1 for each title.
std::vector<uint8_t> labelList(std::span<const std::string> titles) {
    std::vector<uint8_t> body;
    putId(body, "adtl");
    for (size_t i = 0; i < titles.size(); ++i) putText(body, "labl", static_cast<uint32_t>(i + 1), titles[i]);
    return body;
}

}  // namespace

base::Result<std::vector<std::string>> appendWaveMarkers(int fd, const std::string& name, const core::FileTags& tags,
                                                         std::span<const core::ChapterMark> chapters) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return markFault(name, base::fileErrorReason(errno));
    const auto fileSize = static_cast<uint64_t>(st.st_size);
    std::array<uint8_t, 12> riff{};
    if (fileSize < riff.size()) return markFault(name, "it is not a WAV file");
    if (const int err = preadAll(fd, riff.data(), riff.size(), 0); err != 0)
        return markFault(name, base::fileErrorReason(err));
    if (std::memcmp(riff.data(), "RF64", 4) == 0) return markFault(name, "it is an RF64 file");
    if (std::memcmp(riff.data(), "RIFF", 4) != 0 || std::memcmp(riff.data() + 8, "WAVE", 4) != 0)
        return markFault(name, "it is not a WAV file");
    const uint64_t end = std::min<uint64_t>(uint64_t{8} + le32(riff.data() + 4), fileSize);

    // The chunks: the frame size from `fmt `, the frame count from `data`, no cue points yet.
    uint32_t blockAlign = 0;
    uint64_t dataBytes = 0;
    bool haveData = false;
    uint64_t at = 12;
    for (; at + 8 <= end;) {
        // A chunk's id and size, and the start of its body (for `fmt `, up to its block size).
        std::array<uint8_t, 24> head{};
        const auto want = static_cast<size_t>(std::min<uint64_t>(head.size(), end - at));
        if (const int err = preadAll(fd, head.data(), want, static_cast<off_t>(at)); err != 0)
            return markFault(name, base::fileErrorReason(err));
        const uint32_t size = le32(&head[4]);
        if (std::memcmp(head.data(), "fmt ", 4) == 0 && want >= 22)
            blockAlign = static_cast<uint32_t>(head[8 + 12] | head[8 + 13] << 8);
        if (std::memcmp(head.data(), "data", 4) == 0) {
            dataBytes = std::min<uint64_t>(size, end - at - 8);
            haveData = true;
        }
        if (std::memcmp(head.data(), "cue ", 4) == 0) return markFault(name, "it has cue points already");
        at += uint64_t{8} + size + (size & 1);
    }
    if (!haveData || blockAlign == 0) return markFault(name, "it is not a WAV file");
    const uint64_t chunksEnd = std::min(at, end);

    Marks marks = waveMarks(tags, chapters, dataBytes / blockAlign);
    std::vector<uint8_t> cue;
    putLe32(cue, static_cast<uint32_t>(marks.chapters.size()));
    for (size_t i = 0; i < marks.chapters.size(); ++i) {
        const auto frame = static_cast<uint32_t>(marks.chapters[i].startFrame);
        putLe32(cue, static_cast<uint32_t>(i + 1));  // the point's id, which its label names
        putLe32(cue, frame);                         // its place in play order: the frame, as there is no playlist
        putId(cue, "data");
        putLe32(cue, 0);  // chunk start and block start: 0 for PCM in one data chunk
        putLe32(cue, 0);
        putLe32(cue, frame);
    }
    // A chunk starts at an even offset.
    std::vector<uint8_t> tail(chunksEnd & 1, 0);
    if (!marks.chapters.empty()) {
        for (const auto& part : {chunk("cue ", cue), chunk("LIST", labelList(titlesOf(marks.chapters)))})
            tail.insert(tail.end(), part.begin(), part.end());
    }
    const auto info = chunk("LIST", infoList(fitForTags(tags)));
    if (info.size() > 12) tail.insert(tail.end(), info.begin(), info.end());
    if (tail.size() <= (chunksEnd & 1)) return marks.warnings;
    if (chunksEnd + tail.size() - 8 > UINT32_MAX) return markFault(name, "the file is too large for a WAV file");
    if (const int err = base::pwriteAll(fd, tail, chunksEnd); err != 0)
        return markFault(name, base::fileErrorReason(err));
    std::vector<uint8_t> size;
    putLe32(size, static_cast<uint32_t>(chunksEnd + tail.size() - 8));
    if (const int err = base::pwriteAll(fd, size, 4); err != 0) return markFault(name, base::fileErrorReason(err));
    // Anything past the RIFF chunk before (junk a writer left) would now sit inside it.
    if (fileSize > chunksEnd + tail.size() && ::ftruncate(fd, static_cast<off_t>(chunksEnd + tail.size())) != 0)
        return markFault(name, base::fileErrorReason(errno));
    return marks.warnings;
}

}  // namespace speech::audio
