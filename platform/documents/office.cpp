// SPDX-License-Identifier: GPL-3.0-or-later
// Word processing documents: DOCX (Office Open XML) and ODT (OpenDocument Text). The body is read in
// order, headings of the first two levels start chapters, and footnotes and endnotes follow the body.
#include <algorithm>
#include <map>

#include "documents/archive.h"
#include "documents/markup.h"
#include "documents/xml_reader.h"

namespace documents::detail {
namespace {

bool isOff(std::optional<std::string_view> value) {
    return value == "0" || value == "false" || value == "off";
}

int toLevel(std::string_view digits) {
    int n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9' || n > 100) return -1;
        n = n * 10 + (c - '0');
    }
    return digits.empty() ? -1 : n;
}

// What a word processing document's properties say (docProps/core.xml, meta.xml), and where it keeps a
// picture of its first page.
struct Properties {
    std::string title;
    Metadata metadata;
    std::string coverPath;
};

// Reads the parts of a document one after another, each through its own handler.
class PartsReader : public Reader {
public:
    struct Part {
        uint64_t entry;
        std::unique_ptr<MarkupHandler> handler;
    };
    PartsReader(std::unique_ptr<Archive> archive, std::vector<Part> parts, Properties properties)
        : archive_(std::move(archive)), parts_(std::move(parts)), properties_(std::move(properties)) {}

    base::Result<bool> step() override {
        if (!pump_) {
            if (next_ == parts_.size()) return false;
            auto bytes = archive_->openEntry(parts_[next_].entry);
            if (!bytes) return bytes.fault();
            pump_ = std::make_unique<MarkupPump>(std::move(bytes.value()), Syntax::Xml, *parts_[next_].handler);
        }
        auto stepped = pump_->step();
        if (!stepped) return stepped.fault();
        if (!stepped.value()) {
            pump_.reset();
            finished(*parts_[next_++].handler);
        }
        return true;
    }
    std::string title() const override { return properties_.title; }
    Metadata metadata() const override { return properties_.metadata; }

    base::Result<std::optional<std::string>> cover() override {
        if (properties_.coverPath.empty() || !archive_->find(properties_.coverPath))
            return std::optional<std::string>();
        auto bytes = archive_->readWhole(properties_.coverPath);
        if (!bytes) return bytes.fault();
        return std::optional<std::string>(std::move(bytes.value()));
    }

protected:
    virtual void finished(MarkupHandler&) {}

private:
    std::unique_ptr<Archive> archive_;
    std::vector<Part> parts_;
    Properties properties_;
    size_t next_ = 0;
    std::unique_ptr<MarkupPump> pump_;
};

// The most of a property's text kept: a hostile document cannot make it grow.
constexpr size_t kMaxPropertyText = 4096;

// The title, author, date and language in a document's core properties (docProps/core.xml, meta.xml). The
// author is the document's first creator (ODT's initial-creator) before its last editor (ODT's
// dc:creator); the date its creation before its last change.
base::Result<Properties> readProperties(Archive& archive, std::string_view entry) {
    auto xml = archive.readIfPresent(entry);
    if (!xml) return xml.fault();
    Properties p;
    if (!xml.value()) return p;
    std::map<std::string, std::string, std::less<>> fields;
    std::string* text = nullptr;
    CallbackHandler h;
    h.start = [&](std::string_view name, const Attributes&) {
        static constexpr std::string_view kNames[] = {"title",         "creator", "initial-creator", "created",
                                                      "creation-date", "date",    "language"};
        const bool wanted = std::find(std::begin(kNames), std::end(kNames), name) != std::end(kNames);
        text = wanted && !fields.contains(name) ? &fields[std::string(name)] : nullptr;
    };
    h.end = [&](std::string_view) { text = nullptr; };
    h.text = [&](std::string_view chunk) {
        if (text && text->size() < kMaxPropertyText) text->append(chunk);
    };
    if (auto parsed = parseWhole(*xml.value(), Syntax::Xml, h); !parsed) return parsed.fault();
    const auto first = [&](std::initializer_list<std::string_view> names) {
        for (const auto name : names) {
            const auto field = fields.find(name);
            if (field != fields.end() && !plainTitle(field->second).empty()) return plainTitle(field->second);
        }
        return std::string();
    };
    p.title = first({"title"});
    p.metadata = Metadata{first({"initial-creator", "creator"}), first({"created", "creation-date", "date"}),
                          first({"language"})};
    return p;
}

// ---- DOCX ----

// The text of a DOCX body, footnotes or endnotes part.
class DocxText final : public MarkupHandler {
public:
    DocxText(TextBuilder& out, std::shared_ptr<const std::map<std::string, int>> headingLevels, bool notes)
        : out_(out), headingLevels_(std::move(headingLevels)), notes_(notes) {}

    void startElement(std::string_view name, const Attributes& a) override {
        if (skip_) {
            ++skip_;
            return;
        }
        // A note's separator lines, deleted text, field codes and the fallback copy of drawings are not
        // part of the text.
        const auto type = a.get("type");
        if (name == "Fallback" || ((name == "footnote" || name == "endnote") && type && *type != "normal")) {
            skip_ = 1;
        } else if (name == "p") {
            out_.paragraph();
            heading_ = false;
        } else if (name == "pStyle" && !notes_) {
            const auto level = headingLevels_->find(std::string(a.get("val").value_or("")));
            if (level != headingLevels_->end()) startHeading(level->second);
        } else if (name == "outlineLvl" && !notes_ && !run_) {
            startHeading(toLevel(a.get("val").value_or("")));
        } else if (name == "r") {
            ++run_;
            hidden_ = false;
        } else if (name == "vanish" && run_) {
            hidden_ = !isOff(a.get("val"));
        } else if (name == "t" && run_) {
            inText_ = true;
        } else if ((name == "tab" || name == "ptab") && run_) {
            out_.space();
        } else if ((name == "br" || name == "cr") && run_) {
            out_.lineBreak();
        } else if (name == "noBreakHyphen" && run_ && !hidden_) {
            out_.text("-");
        }
    }

    void endElement(std::string_view name) override {
        if (skip_) {
            --skip_;
            return;
        }
        if (name == "p") {
            if (heading_) out_.endTitle();
            heading_ = false;
            out_.paragraph();
        } else if (name == "r" && run_ > 0) {
            --run_;
        } else if (name == "t") {
            inText_ = false;
        }
    }

    void characters(std::string_view utf8) override {
        if (inText_ && !hidden_ && !skip_) out_.text(utf8);
    }

private:
    void startHeading(int level) {
        if (heading_ || level < 0 || level > 1) return;
        heading_ = true;
        out_.startChapter(std::nullopt, level + 1);
    }

    TextBuilder& out_;
    std::shared_ptr<const std::map<std::string, int>> headingLevels_;
    bool notes_;
    int skip_ = 0;
    int run_ = 0;
    bool hidden_ = false;
    bool inText_ = false;
    bool heading_ = false;
};

// Paragraph styles that are headings, by style id, with their outline level (0 for Heading 1): an
// outline level of their own, or a name "heading N" (built-in names are stored in English).
base::Result<std::map<std::string, int>> headingStyles(Archive& archive, const std::string& path) {
    std::map<std::string, int> levels;
    if (path.empty()) return levels;
    auto xml = archive.readIfPresent(path);
    if (!xml) return xml.fault();
    if (!xml.value()) return levels;
    std::string id;
    CallbackHandler h;
    h.start = [&](std::string_view name, const Attributes& a) {
        if (name == "style") {
            id = a.get("type") == "paragraph" ? std::string(a.get("styleId").value_or("")) : std::string();
        } else if (name == "outlineLvl" && !id.empty()) {
            levels[id] = toLevel(a.get("val").value_or(""));
        } else if (name == "name" && !id.empty()) {
            std::string n(a.get("val").value_or(""));
            std::transform(n.begin(), n.end(), n.begin(), [](unsigned char c) { return std::tolower(c); });
            if (n.starts_with("heading ") && !levels.contains(id)) levels[id] = toLevel(n.substr(8)) - 1;
        }
    };
    if (auto parsed = parseWhole(*xml.value(), Syntax::Xml, h); !parsed) return parsed.fault();
    return levels;
}

// The picture of its first page a DOCX package keeps (the package relationship of type thumbnail).
base::Result<std::string> packageThumbnail(Archive& archive) {
    auto rels = archive.readIfPresent("_rels/.rels");
    if (!rels || !rels.value()) return rels ? std::string() : base::Result<std::string>(rels.fault());
    std::string path;
    CallbackHandler h;
    h.start = [&](std::string_view name, const Attributes& a) {
        if (name == "Relationship" && path.empty() && a.get("Type").value_or("").ends_with("/thumbnail") &&
            a.get("TargetMode") != "External")
            path = resolveHref("", a.get("Target").value_or(""));
    };
    if (auto parsed = parseWhole(*rels.value(), Syntax::Xml, h); !parsed) return parsed.fault();
    return path;
}

}  // namespace

base::Result<std::unique_ptr<Reader>> openDocx(std::unique_ptr<Archive> archive, const Options&, TextBuilder& out) {
    // The main part from the content types, then the styles and notes from its relationships.
    auto types = archive->readWhole("[Content_Types].xml");
    if (!types) return types.fault();
    std::string main;
    CallbackHandler typesHandler;
    typesHandler.start = [&](std::string_view name, const Attributes& a) {
        const auto type = a.get("ContentType").value_or("");
        if (name == "Override" && main.empty() && type.find("wordprocessingml") != std::string_view::npos &&
            type.ends_with(".main+xml")) {
            main = resolveHref("", a.get("PartName").value_or(""));
        }
    };
    if (auto parsed = parseWhole(types.value(), Syntax::Xml, typesHandler); !parsed) return parsed.fault();
    if (main.empty()) main = "word/document.xml";
    const auto mainEntry = archive->find(main);
    if (!mainEntry) return fault(errc::kDamaged, archive->input(), "is damaged: its body \"" + main + "\" is missing.");

    const std::string folder = folderOf(main);
    auto rels = archive->readIfPresent(folder + "_rels/" + main.substr(folder.size()) + ".rels");
    if (!rels) return rels.fault();
    std::map<std::string, std::string> related;  // "styles", "footnotes", "endnotes" -> entry
    CallbackHandler relsHandler;
    relsHandler.start = [&](std::string_view name, const Attributes& a) {
        const auto type = a.get("Type").value_or("");
        if (name != "Relationship" || a.get("TargetMode") == "External") return;
        const std::string kind(type.substr(type.rfind('/') + 1));
        related.emplace(kind, resolveHref(folder, a.get("Target").value_or("")));
    };
    if (rels.value()) {
        if (auto parsed = parseWhole(*rels.value(), Syntax::Xml, relsHandler); !parsed) return parsed.fault();
    }
    auto levels = headingStyles(*archive, related["styles"]);
    if (!levels) return levels.fault();
    auto properties = readProperties(*archive, "docProps/core.xml");
    if (!properties) return properties.fault();
    auto thumbnail = packageThumbnail(*archive);
    if (!thumbnail) return thumbnail.fault();
    properties.value().coverPath = thumbnail.value();

    auto headingLevels = std::make_shared<const std::map<std::string, int>>(std::move(levels.value()));
    std::vector<PartsReader::Part> parts;
    parts.push_back({*mainEntry, std::make_unique<DocxText>(out, headingLevels, false)});
    for (const char* kind : {"footnotes", "endnotes"}) {
        const auto entry = related.contains(kind) ? archive->find(related[kind]) : std::nullopt;
        if (entry) parts.push_back({*entry, std::make_unique<DocxText>(out, headingLevels, true)});
    }
    for (const auto& part : parts) {
        if (auto ok = archive->check(part.entry); !ok) return ok.fault();
    }
    return std::unique_ptr<Reader>(
        std::make_unique<PartsReader>(std::move(archive), std::move(parts), std::move(properties.value())));
}

namespace {

// ---- ODT ----

// The text of an ODT's content.xml: the paragraphs and headings of office:text, with the bodies of
// footnotes and endnotes gathered apart and appended at the end.
class OdtText final : public MarkupHandler {
public:
    explicit OdtText(TextBuilder& out) : out_(out) {}

    void startElement(std::string_view name, const Attributes& a) override {
        if (skip_) {
            ++skip_;
            return;
        }
        // Comments, tracked deletions, note numbers, drawing captions and index templates are not text.
        if (name == "annotation" || name == "tracked-changes" || name == "note-citation" || name == "desc" ||
            name == "title" || name.ends_with("-source") || name == "sequence-decls" || name == "forms") {
            skip_ = 1;
        } else if (name == "text" && !body_) {
            body_ = true;
        } else if (name == "note-body") {
            ++note_;
        } else if (name == "p" || name == "h") {
            ++paragraph_;
            target().paragraph();
            const int level = toLevel(a.get("outline-level").value_or("1"));
            if (name == "h" && !note_ && !heading_ && level <= 2) {
                heading_ = paragraph_;
                out_.startChapter(std::nullopt, std::max(level, 1));
            }
        } else if (name == "s" || name == "tab") {
            target().space();
        } else if (name == "line-break") {
            target().lineBreak();
        }
    }

    void endElement(std::string_view name) override {
        if (skip_) {
            --skip_;
            return;
        }
        if (name == "note-body" && note_ > 0) {
            --note_;
            notes_.paragraph();
        } else if ((name == "p" || name == "h") && paragraph_ > 0) {
            if (heading_ == paragraph_) {
                out_.endTitle();
                heading_ = 0;
            }
            --paragraph_;
            target().paragraph();
        }
    }

    void characters(std::string_view utf8) override {
        if (body_ && paragraph_ && !skip_) target().text(utf8);
    }

    void appendNotes() {
        std::u16string notes;
        std::vector<Chapter> none;
        notes_.take(notes, none);
        if (!notes.empty()) out_.appendParagraphs(notes);
    }

private:
    TextBuilder& target() { return note_ ? notes_ : out_; }

    TextBuilder& out_;
    TextBuilder notes_;
    bool body_ = false;
    int skip_ = 0;
    int note_ = 0;
    int paragraph_ = 0;
    int heading_ = 0;  // the paragraph depth of the heading being read, 0 for none
};

class OdtReader final : public PartsReader {
public:
    using PartsReader::PartsReader;

protected:
    void finished(MarkupHandler& handler) override { static_cast<OdtText&>(handler).appendNotes(); }
};

}  // namespace

base::Result<std::unique_ptr<Reader>> openOdt(std::unique_ptr<Archive> archive, const Options&, TextBuilder& out) {
    const auto content = archive->find("content.xml");
    if (!content) return fault(errc::kDamaged, archive->input(), "is damaged: its content.xml is missing.");
    if (auto ok = archive->check(*content); !ok) return ok.fault();
    auto properties = readProperties(*archive, "meta.xml");
    if (!properties) return properties.fault();
    properties.value().coverPath = "Thumbnails/thumbnail.png";
    std::vector<PartsReader::Part> parts;
    parts.push_back({*content, std::make_unique<OdtText>(out)});
    return std::unique_ptr<Reader>(
        std::make_unique<OdtReader>(std::move(archive), std::move(parts), std::move(properties.value())));
}

}  // namespace documents::detail
