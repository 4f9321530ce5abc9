// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/pipeline/named_file.h"

#include <sndfile.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "documents/document.h"
#include "encoding/decoder.h"
#include "speech/pipeline/pipe_bytes.h"

namespace speech::pipeline {
namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

constexpr size_t kChunk = 1 << 20;

base::Fault fileFault(int32_t code, const std::string& path, const std::string& what) {
    return base::Fault{code, "The file \"" + path + "\" " + what};
}

}  // namespace

struct SoundFileReader::Handle {
    // The bytes of a file read whole (from a pipe), which libsndfile reads through its virtual I/O.
    std::shared_ptr<const std::string> memory;
    sf_count_t at = 0;
    SNDFILE* file = nullptr;
    ~Handle() {
        if (file) sf_close(file);
    }
};

namespace {

// libsndfile's virtual I/O over SoundFileReader::Handle::memory, read-only.
SF_VIRTUAL_IO memoryIo() {
    using Handle = SoundFileReader::Handle;
    SF_VIRTUAL_IO io{};
    io.get_filelen = [](void* h) { return static_cast<sf_count_t>(static_cast<Handle*>(h)->memory->size()); };
    io.seek = [](sf_count_t offset, int whence, void* h) {
        auto& handle = *static_cast<Handle*>(h);
        const auto size = static_cast<sf_count_t>(handle.memory->size());
        const sf_count_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? handle.at : size;
        handle.at = std::clamp<sf_count_t>(base + offset, 0, size);
        return handle.at;
    };
    io.read = [](void* out, sf_count_t count, void* h) {
        auto& handle = *static_cast<Handle*>(h);
        const auto n = std::min<sf_count_t>(count, static_cast<sf_count_t>(handle.memory->size()) - handle.at);
        std::memcpy(out, handle.memory->data() + handle.at, static_cast<size_t>(n));
        handle.at += n;
        return n;
    };
    io.write = [](const void*, sf_count_t, void*) { return sf_count_t{0}; };
    io.tell = [](void* h) { return static_cast<Handle*>(h)->at; };
    return io;
}

}  // namespace

SoundFileReader::~SoundFileReader() = default;

base::Result<std::unique_ptr<SoundFileReader>> SoundFileReader::open(const std::string& path,
                                                                     std::shared_ptr<const std::string> memory) {
    SF_INFO info{};
    auto handle = std::make_unique<Handle>();
    if (memory) {
        handle->memory = std::move(memory);
        SF_VIRTUAL_IO io = memoryIo();
        handle->file = sf_open_virtual(&io, SFM_READ, &info, handle.get());
    } else {
        handle->file = sf_open(path.c_str(), SFM_READ, &info);
    }
    if (!handle->file) return base::Fault{base::errc::kFile, sf_strerror(nullptr)};
    std::unique_ptr<SoundFileReader> reader(new SoundFileReader());
    reader->handle_ = std::move(handle);
    reader->sampleRate_ = info.samplerate;
    reader->channels_ = info.channels;
    if (info.samplerate <= 0 || info.channels <= 0) {
        return fileFault(base::errc::kFile, path, "has no playable audio.");
    }
    return reader;
}

size_t SoundFileReader::read(std::span<float> out) {
    if (channels_ <= 0) return 0;
    sf_count_t frames = static_cast<sf_count_t>(out.size() / static_cast<size_t>(channels_));
    sf_count_t got = sf_readf_float(handle_->file, out.data(), frames);
    return got > 0 ? static_cast<size_t>(got) : 0;
}

struct TextFileReader::Handle {
    // A constructor rather than aggregate initialisation through make_unique, which clang 14 lacks.
    Handle(FilePtr f, std::unique_ptr<PipeBytes> p, encoding::Decoder d, uint64_t limit)
        : file(std::move(f)), pipe(std::move(p)), decoder(std::move(d)), wholeLimit(limit) {}
    FilePtr file;                     // a file, or
    std::unique_ptr<PipeBytes> pipe;  // a pipe, read as it comes
    encoding::Decoder decoder;
    uint64_t wholeLimit;  // the bytes of a pipe readAll takes
    std::vector<uint8_t> chunk;
    bool atEnd = false;
    bool paused = false;   // the pipe's writer paused at a line end
    bool lineEnd = false;  // the text handed out so far ends at a line end
};

namespace {

bool isLineEnd(char16_t c) {
    return c == u'\n' || c == u'\r' || c == u'\u2028' || c == u'\u2029';
}

}  // namespace

TextFileReader::~TextFileReader() = default;

bool TextFileReader::read(std::u16string& out) {
    if (!first_.empty()) {
        out += first_;
        first_.clear();
        return true;
    }
    Handle& h = *handle_;
    h.paused = false;
    while (!h.atEnd) {
        h.chunk.resize(h.pipe ? size_t{1} << 16 : kChunk);
        size_t got = 0;
        if (h.pipe) {
            // What the pipe holds; a pause of its writer after a line is the end of the text for now.
            got = h.pipe->read(h.chunk, h.lineEnd);
            h.atEnd = got == 0 && !h.pipe->paused();
            if (got == 0 && !h.atEnd) {
                h.paused = true;
                h.lineEnd = false;
                return true;
            }
        } else {
            got = std::fread(h.chunk.data(), 1, h.chunk.size(), h.file.get());
            h.atEnd = got < kChunk;
        }
        h.chunk.resize(got);
        // A read error ends the text where it stopped; what was read is still spoken.
        const size_t before = out.size();
        h.decoder.decode(h.chunk, h.atEnd, out);
        if (out.size() > before) {
            h.lineEnd = isLineEnd(out.back());
            return true;
        }
    }
    return false;
}

bool TextFileReader::paused() const {
    return handle_->paused && handle_->pipe->paused();
}

std::optional<char16_t> TextFileReader::firstUnit() const {
    if (first_.empty()) return std::nullopt;
    return first_.front();
}

const std::string& TextFileReader::encoding() const {
    return handle_->decoder.encoding().name;
}

void TextFileReader::restart() {
    first_.clear();
    Handle& h = *handle_;
    if (h.pipe) {
        h.pipe->restart();
    } else {
        std::fseek(h.file.get(), 0, SEEK_SET);
        std::clearerr(h.file.get());
    }
    h.decoder.reset();
    h.atEnd = false;
    h.paused = false;
    h.lineEnd = false;
}

base::Result<std::u16string> TextFileReader::readAll() {
    Handle& h = *handle_;
    std::u16string text;
    if (h.pipe) {
        // Input that may never end is read whole only up to the limit of a document.
        while (read(text)) {
            if (h.pipe->total() > h.wholeLimit) {
                return fileFault(documents::errc::kTooLarge, path_,
                                 "holds more than " + std::to_string(h.wholeLimit >> 20) +
                                     " MB of text, more than is read whole (as markup is).");
            }
        }
        if (h.pipe->cancelled())
            return fileFault(base::errc::kCancelled, path_, "was not read: reading it was stopped.");
        if (h.pipe->failed()) return fileFault(base::errc::kAccessDenied, path_, "cannot be read.");
        return text;
    }
    const long at = std::ftell(h.file.get());
    std::fseek(h.file.get(), 0, SEEK_END);
    const long size = std::ftell(h.file.get());
    std::fseek(h.file.get(), at, SEEK_SET);
    if (size > at) {
        const auto bytes = static_cast<size_t>(size - at);
        text.reserve(encoding().starts_with("UTF-16") ? bytes / 2 : bytes);
    }
    while (read(text)) {
    }
    if (std::ferror(h.file.get())) return fileFault(base::errc::kAccessDenied, path_, "cannot be read.");
    return text;
}

DocumentReader::DocumentReader(std::unique_ptr<documents::Document> document) : document_(std::move(document)) {}

DocumentReader::~DocumentReader() = default;

bool DocumentReader::read(std::u16string& out) {
    std::vector<documents::Chapter> chapters;
    const size_t before = out.size();
    bool more = true;
    // A piece may hold only chapter starts; read on to text, so that true always means text.
    while (out.size() == before && (more = document_->read(out, chapters))) {
    }
    for (auto& c : chapters) {
        const auto position = static_cast<int32_t>(std::min<uint64_t>(c.position, std::numeric_limits<int32_t>::max()));
        marks_.push_back(text::SegmentMark{std::move(c.title), c.number, position});
    }
    return more;
}

void DocumentReader::restart() {
    document_->restart();
    marks_.clear();
}

std::vector<text::SegmentMark> DocumentReader::takeMarks() {
    return std::exchange(marks_, {});
}

std::unique_ptr<TextFileReader> TextFileReader::open(std::string path, std::unique_ptr<Handle> handle) {
    std::unique_ptr<TextFileReader> reader(new TextFileReader());
    reader->handle_ = std::move(handle);
    reader->path_ = std::move(path);
    reader->restart();
    // The first piece is decoded now, so that Speak can tell markup from plain text without reading
    // the file twice.
    reader->read(reader->first_);
    return reader;
}

namespace {

// The bytes of a pipe's input looked at before deciding what it holds.
constexpr size_t kPipeHead = size_t{64} << 10;

// What a pipe's first bytes show it holds: a sound file or a document is read whole (a document up to
// the limit of one), input that is no text is refused; nothing for text, which is read as it comes.
base::Result<std::optional<NamedFile>> openWholeFromPipe(PipeBytes& bytes, const std::vector<uint8_t>& head,
                                                         const std::string& path, const documents::Options& options) {
    auto startsWith = [&](const char* magic) { return head.size() >= 4 && std::memcmp(head.data(), magic, 4) == 0; };
    const bool wave = startsWith("RIFF") || startsWith("RIFX") || startsWith("RF64");
    if (wave || SoundFileReader::open(path, std::make_shared<const std::string>(head.begin(), head.end())).ok()) {
        auto all = bytes.rest(std::numeric_limits<uint64_t>::max(), path);
        if (!all) return all.fault();
        auto sound = SoundFileReader::open(path, std::make_shared<const std::string>(std::move(all.value())));
        if (!sound) {
            return fileFault(
                base::errc::kFile, path,
                "is a damaged WAV file or uses an encoding that cannot be played (" + sound.fault().message + ").");
        }
        return std::optional<NamedFile>(NamedFile{std::move(sound.value())});
    }
    if (documents::looksLikeDocument(head)) {
        auto all = bytes.rest(options.limits.maxExpandedBytes, path);
        if (!all) return all.fault();
        auto document =
            documents::Document::openBytes(std::make_shared<const std::string>(std::move(all.value())), path, options);
        if (!document) return document.fault();
        return std::optional<NamedFile>(NamedFile{std::make_unique<DocumentReader>(std::move(document.value()))});
    }
    if (encoding::looksBinary(head))
        return fileFault(base::errc::kFile, path, "is neither a WAV file nor a text file.");
    return std::optional<NamedFile>();
}

}  // namespace

base::Result<NamedFile> openNamedFile(const std::string& path, const documents::Options& options) {
    FilePtr file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        int e = errno;
        if (e == ENOENT) return fileFault(base::errc::kNotFound, path, "does not exist.");
        return fileFault(base::errc::kAccessDenied, path, std::string("cannot be read: ") + std::strerror(e) + ".");
    }
    // A pipe (a named one, a shell's process substitution, standard input) or a device can be read
    // once only, and may never end.
    struct stat st {};
    if (::fstat(::fileno(file.get()), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode) &&
        !S_ISDIR(st.st_mode)) {
        auto bytes = std::make_unique<PipeBytes>(base::UniqueFd(::dup(::fileno(file.get()))), options.cancelled);
        file.reset();
        const std::vector<uint8_t> head = bytes->head(kPipeHead);
        if (bytes->cancelled()) return fileFault(base::errc::kCancelled, path, "was not read: reading it was stopped.");
        auto whole = openWholeFromPipe(*bytes, head, path, options);
        if (!whole) return whole.fault();
        if (whole.value()) return std::move(*whole.value());
        const encoding::Encoding encoding = encoding::detectEncoding(head, bytes->ended());
        return NamedFile{TextFileReader::open(
            path, std::make_unique<TextFileReader::Handle>(nullptr, std::move(bytes), encoding::Decoder(encoding),
                                                           options.limits.maxExpandedBytes))};
    }
    std::vector<uint8_t> head(kChunk);
    size_t headSize = std::fread(head.data(), 1, head.size(), file.get());
    if (std::ferror(file.get())) {
        return fileFault(base::errc::kAccessDenied, path, "cannot be read (it may be a folder).");
    }
    head.resize(headSize);
    bool wholeFileInHead = headSize < kChunk;

    auto sound = SoundFileReader::open(path);
    if (sound.ok()) return NamedFile{std::move(sound.value())};

    auto startsWith = [&](const char* magic) { return head.size() >= 4 && std::memcmp(head.data(), magic, 4) == 0; };
    if (startsWith("RIFF") || startsWith("RIFX") || startsWith("RF64")) {
        return fileFault(
            base::errc::kFile, path,
            "is a damaged WAV file or uses an encoding that cannot be played (" + sound.fault().message + ").");
    }

    if (documents::looksLikeDocument(head)) {
        auto document = documents::Document::open(path, options);
        if (!document) return document.fault();
        return NamedFile{std::make_unique<DocumentReader>(std::move(document.value()))};
    }

    if (encoding::looksBinary(head))
        return fileFault(base::errc::kFile, path, "is neither a WAV file nor a text file.");
    const encoding::Encoding encoding = encoding::detectEncoding(head, wholeFileInHead);
    return NamedFile{TextFileReader::open(
        path, std::make_unique<TextFileReader::Handle>(std::move(file), nullptr, encoding::Decoder(encoding),
                                                       options.limits.maxExpandedBytes))};
}

}  // namespace speech::pipeline
