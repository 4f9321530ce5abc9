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

namespace speech {
namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

constexpr size_t kChunk = 1 << 20;

Fault fileFault(int32_t code, const std::string& path, const std::string& what) {
    return Fault{code, "The file \"" + path + "\" " + what};
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

// A pipe (a named one, or a shell's process substitution) or a device can be read only once, and
// opening it again would wait for another writer or take bytes from this reader: it is read whole,
// after the `head` read already, and `file` then reads that memory (`head` and `whole` stay true of
// it). Nothing for a file that can be opened again.
Result<std::shared_ptr<const std::string>> readPipeWhole(FilePtr& file, std::vector<uint8_t>& head, bool& whole,
                                                         const std::string& path) {
    struct stat st {};
    if (::fstat(::fileno(file.get()), &st) != 0 || S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))
        return std::shared_ptr<const std::string>();
    auto bytes = std::make_shared<std::string>(head.begin(), head.end());
    // A stream that starts as no kind of file is not read on: it may never end (/dev/zero).
    if (!whole && encoding::looksBinary(head) && !documents::looksLikeDocument(head) &&
        !SoundFileReader::open(path, bytes).ok()) {
        return fileFault(errc::kFile, path, "is neither a WAV file nor a text file.");
    }
    for (size_t n; !whole && (n = std::fread(head.data(), 1, head.size(), file.get())) > 0;)
        bytes->append(head.begin(), head.begin() + static_cast<std::ptrdiff_t>(n));
    if (std::ferror(file.get())) return fileFault(errc::kAccessDenied, path, "cannot be read.");
    head.assign(bytes->begin(), bytes->begin() + static_cast<std::ptrdiff_t>(std::min(bytes->size(), kChunk)));
    whole = true;
    file.reset(::fmemopen(bytes->data(), bytes->size(), "rb"));
    if (!file) return fileFault(errc::kAccessDenied, path, "cannot be read.");
    return std::shared_ptr<const std::string>(std::move(bytes));
}

}  // namespace

SoundFileReader::~SoundFileReader() = default;

Result<std::unique_ptr<SoundFileReader>> SoundFileReader::open(const std::string& path,
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
    if (!handle->file) return Fault{errc::kFile, sf_strerror(nullptr)};
    std::unique_ptr<SoundFileReader> reader(new SoundFileReader());
    reader->handle_ = std::move(handle);
    reader->sampleRate_ = info.samplerate;
    reader->channels_ = info.channels;
    if (info.samplerate <= 0 || info.channels <= 0) {
        return fileFault(errc::kFile, path, "has no playable audio.");
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
    Handle(std::shared_ptr<const std::string> m, FilePtr f, encoding::Decoder d)
        : memory(std::move(m)), file(std::move(f)), decoder(std::move(d)) {}
    std::shared_ptr<const std::string> memory;  // what `file` reads, for a file read whole (from a pipe)
    FilePtr file;
    encoding::Decoder decoder;
    std::vector<uint8_t> chunk;
    bool atEnd = false;
};

TextFileReader::~TextFileReader() = default;

bool TextFileReader::read(std::u16string& out) {
    if (!first_.empty()) {
        out += first_;
        first_.clear();
        return true;
    }
    Handle& h = *handle_;
    while (!h.atEnd) {
        h.chunk.resize(kChunk);
        const size_t got = std::fread(h.chunk.data(), 1, h.chunk.size(), h.file.get());
        h.chunk.resize(got);
        // A read error ends the text where it stopped; what was read is still spoken.
        h.atEnd = got < kChunk;
        const size_t before = out.size();
        h.decoder.decode(h.chunk, h.atEnd, out);
        if (out.size() > before) return true;
    }
    return false;
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
    std::fseek(handle_->file.get(), 0, SEEK_SET);
    std::clearerr(handle_->file.get());
    handle_->decoder.reset();
    handle_->atEnd = false;
}

Result<std::u16string> TextFileReader::readAll() {
    std::u16string text;
    const long at = std::ftell(handle_->file.get());
    std::fseek(handle_->file.get(), 0, SEEK_END);
    const long size = std::ftell(handle_->file.get());
    std::fseek(handle_->file.get(), at, SEEK_SET);
    if (size > at) {
        const auto bytes = static_cast<size_t>(size - at);
        text.reserve(encoding().starts_with("UTF-16") ? bytes / 2 : bytes);
    }
    while (read(text)) {
    }
    if (std::ferror(handle_->file.get())) return fileFault(errc::kAccessDenied, path_, "cannot be read.");
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
        marks_.push_back(SegmentMark{std::move(c.title), c.number, position});
    }
    return more;
}

void DocumentReader::restart() {
    document_->restart();
    marks_.clear();
}

std::vector<SegmentMark> DocumentReader::takeMarks() {
    return std::exchange(marks_, {});
}

Result<NamedFile> openNamedFile(const std::string& path, const documents::Options& options) {
    FilePtr file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        int e = errno;
        if (e == ENOENT) return fileFault(errc::kNotFound, path, "does not exist.");
        return fileFault(errc::kAccessDenied, path, std::string("cannot be read: ") + std::strerror(e) + ".");
    }
    std::vector<uint8_t> head(kChunk);
    size_t headSize = std::fread(head.data(), 1, head.size(), file.get());
    if (std::ferror(file.get())) {
        return fileFault(errc::kAccessDenied, path, "cannot be read (it may be a folder).");
    }
    head.resize(headSize);
    bool wholeFileInHead = headSize < kChunk;

    auto memory = readPipeWhole(file, head, wholeFileInHead, path);
    if (!memory) return memory.fault();

    auto sound = SoundFileReader::open(path, memory.value());
    if (sound.ok()) return NamedFile{std::move(sound.value())};

    auto startsWith = [&](const char* magic) { return head.size() >= 4 && std::memcmp(head.data(), magic, 4) == 0; };
    if (startsWith("RIFF") || startsWith("RIFX") || startsWith("RF64")) {
        return fileFault(
            errc::kFile, path,
            "is a damaged WAV file or uses an encoding that cannot be played (" + sound.fault().message + ").");
    }

    if (documents::looksLikeDocument(head)) {
        auto document = memory.value() ? documents::Document::openBytes(memory.value(), path, options)
                                       : documents::Document::open(path, options);
        if (!document) return document.fault();
        return NamedFile{std::make_unique<DocumentReader>(std::move(document.value()))};
    }

    if (encoding::looksBinary(head)) return fileFault(errc::kFile, path, "is neither a WAV file nor a text file.");
    const encoding::Encoding encoding = encoding::detectEncoding(head, wholeFileInHead);

    std::unique_ptr<TextFileReader> reader(new TextFileReader());
    reader->handle_ =
        std::make_unique<TextFileReader::Handle>(memory.value(), std::move(file), encoding::Decoder(encoding));
    reader->path_ = path;
    reader->restart();
    // The first piece is decoded now, so that Speak can tell markup from plain text without reading
    // the file twice.
    reader->read(reader->first_);
    return NamedFile{std::move(reader)};
}

}  // namespace speech
