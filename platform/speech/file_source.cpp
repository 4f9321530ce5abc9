#include "file_source.h"

#include <langinfo.h>
#include <locale.h>
#include <sndfile.h>
#include <unicode/ucnv.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

namespace speech {
namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

struct ConverterCloser {
    void operator()(UConverter* c) const { ucnv_close(c); }
};
using UConverterPtr = std::unique_ptr<UConverter, ConverterCloser>;

constexpr size_t kChunk = 1 << 20;

Fault fileFault(int32_t code, const std::string& path, const std::string& what) {
    return Fault{code, "The file \"" + path + "\" " + what};
}

// The encoding of the user's locale (LC_ALL, LC_CTYPE, LANG), without touching the global locale.
std::string localeEncoding() {
    locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
    if (loc == static_cast<locale_t>(nullptr)) return "UTF-8";
    std::string codeset = nl_langinfo_l(CODESET, loc);
    freelocale(loc);
    // The C locale reports ASCII; ASCII text is valid UTF-8 anyway, and UTF-8 keeps other bytes readable.
    if (codeset.empty() || codeset == "ANSI_X3.4-1968" || codeset == "ASCII") return "UTF-8";
    return codeset;
}

// Appends the decoding of `bytes` by `cnv` to `out`. `flush` on the last piece.
bool decodeInto(UConverter* cnv, std::span<const uint8_t> bytes, bool flush, std::u16string& out) {
    const char* src = reinterpret_cast<const char*>(bytes.data());
    const char* srcEnd = src + bytes.size();
    std::array<UChar, 8192> buffer{};
    for (;;) {
        UErrorCode err = U_ZERO_ERROR;
        UChar* target = buffer.data();
        ucnv_toUnicode(cnv, &target, buffer.data() + buffer.size(), &src, srcEnd, nullptr, flush, &err);
        out.append(reinterpret_cast<const char16_t*>(buffer.data()), static_cast<size_t>(target - buffer.data()));
        if (err == U_BUFFER_OVERFLOW_ERROR) continue;
        return U_SUCCESS(err);
    }
}

UConverterPtr openConverter(const std::string& name) {
    UErrorCode err = U_ZERO_ERROR;
    UConverterPtr cnv(ucnv_open(name.c_str(), &err));
    if (U_FAILURE(err)) cnv.reset();
    return cnv;
}

// True when every byte of the reader's content is valid UTF-8.
// `firstOnly`: judge by the first chunk alone (true when it holds no invalid byte).
template <class Reader>
bool isValidUtf8(Reader&& readChunk, bool firstOnly = false) {
    UConverterPtr cnv = openConverter("UTF-8");
    if (!cnv) return false;
    UErrorCode err = U_ZERO_ERROR;
    ucnv_setToUCallBack(cnv.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &err);
    std::u16string scratch;
    std::vector<uint8_t> chunk;
    for (;;) {
        bool last = !readChunk(chunk);
        scratch.clear();
        if (!decodeInto(cnv.get(), chunk, last, scratch)) return false;
        if (last || firstOnly) return true;
    }
}

enum class Bom { None, Utf8, Utf16Le, Utf16Be };

Bom bomOf(std::span<const uint8_t> head) {
    if (head.size() >= 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF) return Bom::Utf8;
    if (head.size() >= 2 && head[0] == 0xFF && head[1] == 0xFE) return Bom::Utf16Le;
    if (head.size() >= 2 && head[0] == 0xFE && head[1] == 0xFF) return Bom::Utf16Be;
    return Bom::None;
}

size_t bomLength(Bom bom) {
    switch (bom) {
        case Bom::Utf8: return 3;
        case Bom::Utf16Le:
        case Bom::Utf16Be: return 2;
        case Bom::None: return 0;
    }
    return 0;
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

std::string converterNameFor(Bom bom) {
    switch (bom) {
        case Bom::Utf8: return "UTF-8";
        case Bom::Utf16Le: return "UTF-16LE";
        case Bom::Utf16Be: return "UTF-16BE";
        case Bom::None: break;
    }
    return {};
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

std::u16string decodeText(std::span<const uint8_t> bytes) {
    Bom bom = bomOf(bytes);
    std::string name = converterNameFor(bom);
    std::span<const uint8_t> body = bytes.subspan(bomLength(bom));
    if (name.empty()) {
        name = isValidUtf8([&](std::vector<uint8_t>& chunk) {
            chunk.assign(body.begin(), body.end());
            return false;
        })
                   ? "UTF-8"
                   : localeEncoding();
    }
    UConverterPtr cnv = openConverter(name);
    if (!cnv) cnv = openConverter("UTF-8");
    std::u16string out;
    if (cnv) decodeInto(cnv.get(), body, true, out);
    return out;
}

struct TextFileReader::Handle {
    FilePtr file;
    UConverterPtr converter;
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
        decodeInto(h.converter.get(), h.chunk, h.atEnd, out);
        if (out.size() > before) return true;
    }
    return false;
}

std::optional<char16_t> TextFileReader::firstUnit() const {
    if (first_.empty()) return std::nullopt;
    return first_.front();
}

void TextFileReader::restart() {
    first_.clear();
    std::fseek(handle_->file.get(), bodyStart_, SEEK_SET);
    std::clearerr(handle_->file.get());
    ucnv_resetToUnicode(handle_->converter.get());
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
        text.reserve(encoding_.starts_with("UTF-16") ? bytes / 2 : bytes);
    }
    while (read(text)) {
    }
    if (std::ferror(handle_->file.get())) return fileFault(errc::kAccessDenied, path_, "cannot be read.");
    return text;
}

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

    Bom bom = bomOf(head);
    if (bom == Bom::None && looksBinary(std::span<const uint8_t>(head).first(std::min<size_t>(head.size(), 65536)))) {
        return fileFault(errc::kFile, path, "is neither a WAV file nor a text file.");
    }

    // Without a byte-order mark the head decides: UTF-8 when it is valid UTF-8 (a sequence cut at its
    // end still counts), else the locale's encoding. The rest of the file is not read before speaking.
    std::string name = converterNameFor(bom);
    if (name.empty()) {
        name = isValidUtf8([&](std::vector<uint8_t>& chunk) {
            chunk = head;
            return !wholeFileInHead;  // a head that is not the whole file is not flushed
        }, true)
                   ? "UTF-8"
                   : localeEncoding();
    }
    UConverterPtr cnv = openConverter(name);
    if (!cnv) {
        name = "UTF-8";
        cnv = openConverter(name);
    }
    if (!cnv) return fileFault(errc::kFile, path, "cannot be decoded as text.");

    std::unique_ptr<TextFileReader> reader(new TextFileReader());
    reader->handle_ = std::make_unique<TextFileReader::Handle>();
    reader->handle_->file = std::move(file);
    reader->handle_->converter = std::move(cnv);
    reader->path_ = path;
    reader->encoding_ = name;
    reader->bodyStart_ = static_cast<long>(bomLength(bom));
    reader->restart();
    // The first piece is decoded now, so that Speak can tell markup from plain text without reading
    // the file twice.
    reader->read(reader->first_);
    return NamedFile{std::move(reader)};
}

}  // namespace speech
