#include "file_source.h"

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "platform/documents/document.h"
#include "platform/text/decoder.h"

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

// A file without a byte-order mark whose first bytes are largely control codes is not text.
bool looksBinary(std::span<const uint8_t> head) {
    if (head.empty()) return false;
    size_t control = 0;
    for (uint8_t b : head) {
        if (b < 0x20 && b != '\t' && b != '\n' && b != '\r' && b != '\f' && b != '\v' && b != 0x1B) ++control;
    }
    return control * 10 > head.size();
}

}  // namespace

struct SoundFileReader::Handle {
    SNDFILE* file = nullptr;
    ~Handle() {
        if (file) sf_close(file);
    }
};

SoundFileReader::~SoundFileReader() = default;

Result<std::unique_ptr<SoundFileReader>> SoundFileReader::open(const std::string& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) return Fault{errc::kFile, sf_strerror(nullptr)};
    std::unique_ptr<SoundFileReader> reader(new SoundFileReader());
    reader->handle_ = std::make_unique<Handle>();
    reader->handle_->file = file;
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
    Handle(FilePtr f, text::Decoder d) : file(std::move(f)), decoder(std::move(d)) {}
    FilePtr file;
    text::Decoder decoder;
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

const std::string& TextFileReader::encoding() const { return handle_->decoder.encoding().name; }

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

std::vector<SegmentMark> DocumentReader::takeMarks() { return std::exchange(marks_, {}); }

Result<NamedFile> openNamedFile(const std::string& path) {
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
    const bool wholeFileInHead = headSize < kChunk;

    auto sound = SoundFileReader::open(path);
    if (sound.ok()) return NamedFile{std::move(sound.value())};

    auto startsWith = [&](const char* magic) {
        return head.size() >= 4 && std::memcmp(head.data(), magic, 4) == 0;
    };
    if (startsWith("RIFF") || startsWith("RIFX") || startsWith("RF64")) {
        return fileFault(errc::kFile, path,
                         "is a damaged WAV file or uses an encoding that cannot be played (" +
                             sound.fault().message + ").");
    }

    if (documents::looksLikeDocument(head)) {
        auto document = documents::Document::open(path);
        if (!document) return document.fault();
        return NamedFile{std::make_unique<DocumentReader>(std::move(document.value()))};
    }

    const text::Encoding encoding = text::detectEncoding(head, wholeFileInHead);
    if (encoding.markLength == 0 &&
        looksBinary(std::span<const uint8_t>(head).first(std::min<size_t>(head.size(), 65536)))) {
        return fileFault(errc::kFile, path, "is neither a WAV file nor a text file.");
    }

    std::unique_ptr<TextFileReader> reader(new TextFileReader());
    reader->handle_ = std::make_unique<TextFileReader::Handle>(std::move(file), text::Decoder(encoding));
    reader->path_ = path;
    reader->restart();
    // The first piece is decoded now, so that Speak can tell markup from plain text without reading
    // the file twice.
    reader->read(reader->first_);
    return NamedFile{std::move(reader)};
}

}  // namespace speech
