// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/audio/journal_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <xxhash.h>
#include <zlib.h>

#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <new>
#include <sstream>

#include "base/child_process.h"
#include "base/files.h"

namespace speech::audio {

namespace {

constexpr const char* kMagic = "tallamo-journal 5";

bool parseHex32(const std::string& text, uint32_t& value) {
    return text.size() == 8 && std::from_chars(text.data(), text.data() + 8, value, 16).ptr == text.data() + 8;
}

// A chapter title as one word of the state: its bytes in hexadecimal ("-" when empty).
std::string hexText(std::string_view text) {
    if (text.empty()) return "-";
    std::string out;
    out.reserve(text.size() * 2);
    constexpr const char* kDigits = "0123456789abcdef";
    for (const unsigned char c : text) {
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out;
}

bool parseHexText(const std::string& word, std::string& text) {
    text.clear();
    if (word == "-") return true;
    if (word.size() % 2 != 0) return false;
    for (size_t i = 0; i < word.size(); i += 2) {
        unsigned value = 0;
        if (std::from_chars(word.data() + i, word.data() + i + 2, value, 16).ptr != word.data() + i + 2) return false;
        text += static_cast<char>(value);
    }
    return true;
}

}  // namespace

uint32_t checksum32(uint32_t crc, std::span<const uint8_t> bytes) {
    // zlib's takes at most an unsigned int's worth at a time.
    for (size_t at = 0; at < bytes.size(); at += 1u << 30)
        crc = static_cast<uint32_t>(
            ::crc32(crc, bytes.data() + at, static_cast<uInt>(std::min<size_t>(1u << 30, bytes.size() - at))));
    return crc;
}

int checksumBlocks(int fd, uint64_t at, uint64_t size, uint32_t& crc) {
    return readBlocks(fd, at, size, [&](std::span<const uint8_t> b) {
        crc = checksum32(crc, b);
        return base::Result<void>();
    });
}

AudioChecksum::AudioChecksum() : state_(XXH3_createState()) {
    if (!state_) throw std::bad_alloc();
    reset();
}

AudioChecksum::~AudioChecksum() = default;

void AudioChecksum::Deleter::operator()(XXH3_state_s* state) const {
    XXH3_freeState(state);
}

void AudioChecksum::add(std::span<const uint8_t> bytes) {
    XXH3_64bits_update(state_.get(), bytes.data(), bytes.size());
}

uint64_t AudioChecksum::value() const {
    return XXH3_64bits_digest(state_.get());
}

void AudioChecksum::reset() {
    XXH3_64bits_reset(state_.get());
}

int audioChecksumBlocks(int fd, uint64_t at, uint64_t size, uint64_t& sum) {
    AudioChecksum checksum;
    const int err = readBlocks(fd, at, size, [&](std::span<const uint8_t> b) {
        checksum.add(b);
        return base::Result<void>();
    });
    sum = checksum.value();
    return err;
}

std::string hex32(uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08" PRIx32, value);
    return text;
}

base::Fault journalFault(const std::string& folder, const std::string& what, int err) {
    // The journal opens its files refusing links and anything but a regular file, both with ELOOP.
    const std::string reason =
        err == ELOOP ? "a link or something other than a file is in the way" : base::fileErrorReason(err);
    return base::Fault{base::errc::kAccessDenied,
                       "Cannot keep the render's journal in \"" + folder + "\": " + what + " (" + reason + ")."};
}

std::string journalStateText(const JournalKey& key, const JournalState& state) {
    std::ostringstream out;
    out << kMagic << '\n'
        << "version " << key.version << '\n'
        << "input " << key.inputDigest << '\n'
        << "options " << key.optionsDigest << '\n'
        << "data " << key.dataDigest << '\n'
        << "format " << key.format.sampleRate << ' ' << key.format.bitsPerSample << ' ' << key.format.channels << '\n'
        << "aac " << state.aacParts << ' ' << state.aacBytes << ' ' << hex32(state.aacCrc) << '\n';
    for (const auto& l : state.units) out << "unit " << l.unit.frames << ' ' << l.unit.segments << ' ' << l.sum << '\n';
    out << "bookmarks " << (state.marks.sawBookmark ? 1 : 0) << '\n';
    for (const auto& m : state.marks.marks) out << "mark " << m.startFrame << ' ' << hexText(m.title) << '\n';
    for (const auto& w : state.marks.waiting) out << "waiting " << hexText(w) << '\n';
    std::string text = out.str();
    return text + "check " +
           hex32(checksum32(0, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()))) + '\n';
}

std::optional<std::string> parseJournalState(const std::string& text, const JournalKey& key, JournalState& out) {
    const size_t checkAt = text.rfind("check ");
    if (checkAt == std::string::npos || text.empty() || text.back() != '\n') return "it was cut short";
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    if (text.substr(checkAt + 6, 8) != hex32(checksum32(0, std::span(bytes, checkAt))) || text.size() != checkAt + 15)
        return "its state is damaged";
    std::istringstream in(text.substr(0, checkAt));
    std::string line;
    if (!std::getline(in, line) || line != kMagic) return "it is from another version of the program";
    if (!std::getline(in, line) || !line.starts_with("version ")) return "its state is damaged";
    if (line.substr(8) != key.version) return "it is from another version of the program";
    std::string word, input, options, data;
    core::WaveFormat format;
    in >> word >> input;
    if (word != "input") return "its state is damaged";
    in >> word >> options;
    if (word != "options") return "its state is damaged";
    in >> word >> data;
    if (word != "data") return "its state is damaged";
    in >> word >> format.sampleRate >> format.bitsPerSample >> format.channels;
    if (word != "format" || !in) return "its state is damaged";
    if (input != key.inputDigest) return "the input has changed since";
    if (options != key.optionsDigest || !(format == key.format)) return "the options have changed since";
    if (data != key.dataDigest) return "the lexicons or the speech data have changed since";
    std::string crc;
    in >> word >> out.aacParts >> out.aacBytes >> crc;
    if (word != "aac" || !in || !parseHex32(crc, out.aacCrc)) return "its state is damaged";
    while (in >> word && word == "unit") {
        JournalState::Listed l;
        in >> l.unit.frames >> l.unit.segments >> l.sum;
        if (!in) return "its state is damaged";
        out.units.push_back(l);
    }
    int bookmarks = 0;
    if (word != "bookmarks" || !(in >> bookmarks)) return "its state is damaged";
    out.marks.sawBookmark = bookmarks != 0;
    std::string title;
    while (in >> word) {
        if (word == "mark") {
            core::ChapterMark m;
            in >> m.startFrame >> title;
            if (!in || !parseHexText(title, m.title)) return "its state is damaged";
            out.marks.marks.push_back(std::move(m));
        } else if (word == "waiting") {
            std::string waiting;
            in >> title;
            if (!in || !parseHexText(title, waiting)) return "its state is damaged";
            out.marks.waiting.push_back(std::move(waiting));
        } else {
            return "its state is damaged";
        }
    }
    return std::nullopt;
}

std::string textChecksum(std::string_view text) {
    return hex32(checksum32(0, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()))) + "-" +
           std::to_string(text.size());
}

std::string contentChecksum(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return "none";
    if (S_ISDIR(st.st_mode)) {
        std::error_code error;
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path, error))
            names.push_back(entry.path().filename().string());
        if (error) return "unreadable";
        std::sort(names.begin(), names.end());
        std::string listing;
        for (const auto& name : names) {
            const std::string at = path + "/" + name;
            // A link to a folder counts by where it points, so that a loop of links ends.
            struct stat link {};
            const bool folderLink = ::lstat(at.c_str(), &link) == 0 && S_ISLNK(link.st_mode) &&
                                    ::stat(at.c_str(), &link) == 0 && S_ISDIR(link.st_mode);
            listing +=
                name + ' ' +
                (folderLink ? "link " + std::filesystem::read_symlink(at, error).string() : contentChecksum(at)) + '\n';
        }
        return "folder-" + textChecksum(listing);
    }
    if (!S_ISREG(st.st_mode)) return "other";
    // Not blocking, should the file have been swapped for a pipe since.
    base::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return "unreadable";
    uint32_t crc = 0;
    if (checksumBlocks(fd.get(), 0, static_cast<uint64_t>(st.st_size), crc) != 0) return "unreadable";
    return hex32(crc) + "-" + std::to_string(st.st_size);
}

base::Result<std::string> fileChecksum(const std::string& path) {
    base::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0)
        return base::Fault{base::errc::kFile,
                           "Cannot read the file \"" + path + "\": " + base::fileErrorReason(errno) + "."};
    uint32_t crc = 0;
    if (const int err = checksumBlocks(fd.get(), 0, static_cast<uint64_t>(st.st_size), crc); err != 0)
        return base::Fault{base::errc::kFile,
                           "Cannot read the file \"" + path + "\": " + base::fileErrorReason(err) + "."};
    return hex32(crc) + "-" + std::to_string(st.st_size);
}

}  // namespace speech::audio
