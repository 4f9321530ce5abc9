// SPDX-License-Identifier: GPL-3.0-or-later
#include "documents/document.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "documents/archive.h"
#include "documents/reader.h"

namespace documents {
namespace detail {

namespace {

constexpr size_t kHead = 4096;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// A file or a buffer read a chunk at a time, refused past `maxBytes`.
class InputStream final : public ByteStream {
public:
    InputStream(const Input& input, FilePtr file, uint64_t maxBytes)
        : input_(input), file_(std::move(file)), maxBytes_(maxBytes) {}

    base::Result<size_t> read(std::span<char> out) override {
        size_t got = 0;
        if (file_) {
            got = std::fread(out.data(), 1, out.size(), file_.get());
            if (std::ferror(file_.get())) return fault(base::errc::kAccessDenied, input_, "cannot be read.");
        } else {
            got = std::min(out.size(), input_.bytes->size() - static_cast<size_t>(read_));
            std::memcpy(out.data(), input_.bytes->data() + read_, got);
        }
        read_ += got;
        if (read_ > maxBytes_) {
            return fault(errc::kTooLarge, input_,
                         "is too large to read: it holds more than " + std::to_string(maxBytes_ >> 20) + " MB.");
        }
        return got;
    }

private:
    Input input_;
    FilePtr file_;
    uint64_t maxBytes_;
    uint64_t read_ = 0;
};

enum class Kind { None, Pdf, Zip, Html, Fb2 };

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), s.begin(), [](char lower, char c) {
               return std::tolower(static_cast<unsigned char>(c)) == lower;
           });
}

// What a file's first bytes show. Markup counts when its first element is <html> or <FictionBook>, or
// its document type is html, after any declaration, comments and blanks (a UTF-16 file is looked at
// through its low bytes).
Kind sniff(std::span<const uint8_t> head) {
    std::string_view s(reinterpret_cast<const char*>(head.data()), head.size());
    if (s.starts_with("PK\x03\x04") || s.starts_with("PK\x05\x06")) return Kind::Zip;
    if (s.substr(0, 1024).find("%PDF-") != std::string_view::npos) return Kind::Pdf;
    std::string narrow;
    if (s.starts_with("\xFF\xFE") || s.starts_with("\xFE\xFF")) {
        for (size_t i = s.starts_with("\xFF\xFE") ? 2 : 3; i < s.size(); i += 2) narrow.push_back(s[i]);
        s = narrow;
    } else if (s.starts_with("\xEF\xBB\xBF")) {
        s.remove_prefix(3);
    }
    // Declarations, comments and document types before the first element (an internal subset in
    // brackets may hold '>').
    for (;;) {
        while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
        size_t end = std::string_view::npos;
        if (s.starts_with("<!--")) {
            end = s.find("-->");
            if (end != std::string_view::npos) end += 3;
        } else if (s.starts_with("<?") || s.starts_with("<!")) {
            if (startsWithNoCase(s, "<!doctype")) {
                std::string_view rest = s.substr(9);
                while (!rest.empty() && std::isspace(static_cast<unsigned char>(rest.front()))) rest.remove_prefix(1);
                if (startsWithNoCase(rest, "html")) return Kind::Html;
            }
            const size_t bracket = s.find('[');
            end = s.find('>');
            if (bracket < end) end = s.find('>', s.find(']', bracket));
            if (end != std::string_view::npos) end += 1;
        } else {
            break;
        }
        if (end == std::string_view::npos) return Kind::None;
        s.remove_prefix(end);
    }
    const auto element = [&](std::string_view name) {
        return startsWithNoCase(s, name) &&
               (s.size() == name.size() || !std::isalnum(static_cast<unsigned char>(s[name.size()])));
    };
    if (element("<html")) return Kind::Html;
    if (s.starts_with("<FictionBook") || s.find(":FictionBook") < 32) return Kind::Fb2;
    return Kind::None;
}

base::Result<std::string> readHead(const Input& input) {
    if (input.bytes) return input.bytes->substr(0, kHead);
    FilePtr file(std::fopen(input.path.c_str(), "rb"));
    if (!file) return fileOpenFault(input, errno);
    std::string head(kHead, '\0');
    head.resize(std::fread(head.data(), 1, head.size(), file.get()));
    if (std::ferror(file.get())) return fault(base::errc::kAccessDenied, input, "cannot be read (it may be a folder).");
    return head;
}

}  // namespace

base::Fault fileOpenFault(const Input& input, int error) {
    if (error == ENOENT) return fault(base::errc::kNotFound, input, "does not exist.");
    return fault(base::errc::kAccessDenied, input, std::string("cannot be read: ") + std::strerror(error) + ".");
}

base::Result<std::unique_ptr<ByteStream>> openInputStream(const Input& input, uint64_t maxBytes) {
    FilePtr file;
    if (!input.bytes) {
        file.reset(std::fopen(input.path.c_str(), "rb"));
        if (!file) return fileOpenFault(input, errno);
    }
    return std::unique_ptr<ByteStream>(std::make_unique<InputStream>(input, std::move(file), maxBytes));
}

base::Result<std::unique_ptr<Reader>> openArchive(const Input& input, const Options& options, TextBuilder& out,
                                                  Format& format) {
    auto archive = Archive::open(input, options.limits);
    if (!archive) return archive.fault();
    Archive& a = *archive.value();
    auto mimetype = a.readIfPresent("mimetype");
    if (!mimetype) return mimetype.fault();
    const std::string type = mimetype.value().value_or("");
    if (type.starts_with("application/epub+zip") || (type.empty() && a.find("META-INF/container.xml"))) {
        format = Format::Epub;
        return openEpub(std::move(archive.value()), options, out);
    }
    if (type.starts_with("application/vnd.oasis.opendocument.text")) {
        format = Format::Odt;
        return openOdt(std::move(archive.value()), options, out);
    }
    auto types = a.readIfPresent("[Content_Types].xml");
    if (!types) return types.fault();
    if (types.value() && types.value()->find("wordprocessingml") != std::string::npos) {
        format = Format::Docx;
        return openDocx(std::move(archive.value()), options, out);
    }
    return fault(errc::kNotADocument, input, "is an archive, but not an EPUB, DOCX or ODT document.");
}

}  // namespace detail

using namespace detail;

namespace {

struct FormatInfo {
    Format format;
    std::string_view name;
    std::string_view mime;
};

constexpr FormatInfo kFormats[] = {
    {Format::Html, "HTML", "text/html"},
    {Format::Epub, "EPUB", "application/epub+zip"},
    {Format::Docx, "DOCX", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
    {Format::Odt, "ODT", "application/vnd.oasis.opendocument.text"},
    {Format::Fb2, "FB2", "application/x-fictionbook+xml"},
    {Format::Pdf, "PDF", "application/pdf"},
};

const FormatInfo* formatInfo(Format format) {
    for (const FormatInfo& info : kFormats) {
        if (info.format == format) return &info;
    }
    return nullptr;
}

}  // namespace

std::string_view formatName(Format format) {
    const FormatInfo* info = formatInfo(format);
    return info ? info->name : std::string_view{};
}

std::string_view mimeType(Format format) {
    const FormatInfo* info = formatInfo(format);
    return info ? info->mime : std::string_view{};
}

bool looksLikeDocument(std::span<const uint8_t> head) {
    return sniff(head) != Kind::None;
}

bool looksLikeDocument(const std::string& path) {
    auto head = readHead(Input{path, nullptr, path});
    return head &&
           looksLikeDocument(std::span(reinterpret_cast<const uint8_t*>(head.value().data()), head.value().size()));
}

struct Document::Impl {
    Input input;
    Options options;
    Format format = Format::Html;
    TextBuilder builder;
    std::unique_ptr<Reader> reader;  // writes into builder
    std::string title;
    Metadata metadata;
    std::optional<base::Fault> failure;
    bool ended = false;

    base::Result<void> start() {
        builder.reset();
        failure.reset();
        ended = false;
        if (!reader || !reader->rewind()) {
            reader.reset();
            if (auto opened = open(); !opened) return opened;
        }
        // The first text is read now: a document without any is refused before it is spoken, and
        // reading again from the start hands out the same pieces.
        while (!builder.hasText() && !ended) {
            if (auto stepped = step(); !stepped) return stepped.fault();
        }
        return {};
    }

    // The reader of the document's format.
    base::Result<void> open() {
        auto head = readHead(input);
        if (!head) return head.fault();
        base::Result<std::unique_ptr<Reader>> opened =
            fault(errc::kNotADocument, input, "is not a document this program reads.");
        switch (sniff(std::span(reinterpret_cast<const uint8_t*>(head.value().data()), head.value().size()))) {
            case Kind::None:
                break;
            case Kind::Pdf:
                format = Format::Pdf;
                opened = openPdf(input, options, builder);
                break;
            case Kind::Zip:
                opened = openArchive(input, options, builder, format);
                break;
            case Kind::Html:
                format = Format::Html;
                opened = openHtml(input, options, builder);
                break;
            case Kind::Fb2:
                format = Format::Fb2;
                opened = openFb2(input, options, builder);
                break;
        }
        if (!opened) return opened.fault();
        reader = std::move(opened.value());
        return {};
    }

    // Reads on until there is text to hand out or the document ends.
    base::Result<bool> step() {
        auto stepped = reader->step();
        if (!stepped || !stepped.value()) {
            ended = true;
            builder.endTitle();
        }
        if (!stepped) failure = stepped.fault();
        return stepped;
    }
};

Document::Document() : impl_(std::make_unique<Impl>()) {}
Document::~Document() = default;

base::Result<std::unique_ptr<Document>> Document::open(const std::string& path, const Options& options) {
    return openInput(Input{path, nullptr, path}, options);
}

base::Result<std::unique_ptr<Document>> Document::openBytes(std::shared_ptr<const std::string> bytes,
                                                            const std::string& name, const Options& options) {
    if (!bytes) bytes = std::make_shared<const std::string>();
    return openInput(Input{{}, std::move(bytes), name}, options);
}

base::Result<std::unique_ptr<Document>> Document::openInput(detail::Input input, const Options& options) {
    std::unique_ptr<Document> document(new Document());
    Impl& d = *document->impl_;
    d.input = std::move(input);
    d.options = options;
    if (options.sourcePlaces) d.builder.trackSources();
    if (auto started = d.start(); !started) return started.fault();
    if (!d.builder.hasText()) return fault(errc::kNoText, d.input, "has no text to read.");
    d.title = d.reader->title();
    d.metadata = d.reader->metadata();
    return document;
}

Format Document::format() const {
    return impl_->format;
}
const std::string& Document::title() const {
    return impl_->title;
}
const Metadata& Document::metadata() const {
    return impl_->metadata;
}

base::Result<std::optional<std::string>> Document::cover() {
    Impl& d = *impl_;
    // A restart that failed leaves no reader: the fault that stopped it stands for the cover too.
    if (!d.reader) return d.failure ? *d.failure : fault(errc::kDamaged, d.input, "cannot be read.");
    return d.reader->cover();
}

const std::optional<base::Fault>& Document::failure() const {
    return impl_->failure;
}

bool Document::read(std::u16string& out, std::vector<Chapter>& chapters, std::vector<SourceRun>& runs) {
    const bool more = read(out, chapters);
    impl_->builder.takeRuns(runs);
    return more;
}

std::vector<std::string> Document::sourceParts() const {
    const Impl& d = *impl_;
    if (!d.options.sourcePlaces || !d.reader) return {};
    if (d.format == Format::Html) return {std::string()};
    return d.reader->sourceParts();
}

base::Result<std::string> Document::entry(const std::string& name) {
    Impl& d = *impl_;
    if (!d.reader) return d.failure ? *d.failure : fault(errc::kDamaged, d.input, "cannot be read.");
    return d.reader->entry(name);
}

base::Result<std::string> Reader::entry(const std::string&) {
    return base::Fault{errc::kNotADocument, "The document is not an archive."};
}

bool Document::read(std::u16string& out, std::vector<Chapter>& chapters) {
    Impl& d = *impl_;
    const size_t text = out.size();
    const size_t marks = chapters.size();
    for (;;) {
        d.builder.take(out, chapters);
        if (out.size() > text || chapters.size() > marks) return true;
        if (d.ended) return false;
        (void)d.step();  // a failure is kept in d.failure and ends the document
    }
}

void Document::restart() {
    Impl& d = *impl_;
    if (auto started = d.start(); !started) {
        d.failure = started.fault();
        d.ended = true;
    }
}

}  // namespace documents
