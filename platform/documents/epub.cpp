// SPDX-License-Identifier: GPL-3.0-or-later
// EPUB 2 and 3: the container names the package; the package's spine gives the reading order of its
// XHTML documents, and the navigation document (EPUB 3) or NCX (EPUB 2) the chapter titles.
#include <map>
#include <set>

#include "documents/archive.h"
#include "documents/html_text.h"
#include "documents/markup.h"

namespace documents::detail {
namespace {

// The most of a metadata element's text kept (a name, a date): a hostile package cannot make it grow.
constexpr size_t kMaxMetadataText = 4096;

struct ManifestItem {
    std::string path;  // entry name in the archive
    std::string mediaType;
    std::string properties;
};

struct Creator {
    std::string id;
    std::string role;  // a MARC relator ("aut", "ill", ...), from its attribute or a refining meta
    std::string name;
};

struct Package {
    std::string title;
    std::map<std::string, ManifestItem> manifest;  // by id
    std::vector<std::string> spine;                // ids of the linear items, in reading order
    std::string tocId;                             // the NCX named by the spine
    std::vector<Creator> creators;
    std::string date;
    std::string dateEvent;  // EPUB 2's opf:event of the date kept ("publication", "modification", ...)
    std::string language;
    std::string coverId;  // EPUB 2: <meta name="cover" content="ID">
};

// The authors: the creators whose role is author or unstated, else every creator.
std::string authorsOf(const std::vector<Creator>& creators) {
    std::string authors;
    std::string everyone;
    for (const auto& c : creators) {
        const std::string name = plainTitle(c.name);
        if (name.empty()) continue;
        everyone += (everyone.empty() ? "" : ", ") + name;
        if (c.role.empty() || c.role == "aut") authors += (authors.empty() ? "" : ", ") + name;
    }
    return authors.empty() ? everyone : authors;
}

struct SpineItem {
    uint64_t entry = 0;
    std::string path;
    std::optional<std::string> title;  // from the navigation, when a chapter starts here
    int32_t level = 1;                 // the depth of its entry in the navigation
};

struct NavEntry {
    std::string path;
    std::string title;
    int32_t level = 1;  // 1 at the top of the navigation, 2 under an entry, ...
};

bool isXhtml(std::string_view mediaType) {
    return mediaType == "application/xhtml+xml" || mediaType == "text/html" || mediaType == "application/xml" ||
           mediaType == "text/xml";
}

base::Result<std::string> packagePath(Archive& archive) {
    auto container = archive.readWhole("META-INF/container.xml");
    if (!container) return container.fault();
    std::string path;
    CallbackHandler h;
    h.start = [&](std::string_view name, const Attributes& a) {
        if (name != "rootfile" || !path.empty()) return;
        const auto type = a.get("media-type");
        if (type && *type != "application/oebps-package+xml") return;
        path = resolveHref("", a.get("full-path").value_or(""));
    };
    if (auto parsed = parseWhole(container.value(), Syntax::Xml, h); !parsed) return parsed.fault();
    if (path.empty()) return fault(errc::kDamaged, archive.input(), "is damaged: its container names no package.");
    return path;
}

base::Result<Package> readPackage(Archive& archive, const std::string& path) {
    auto opf = archive.readWhole(path);
    if (!opf) return opf.fault();
    const std::string folder = folderOf(path);
    Package p;
    bool inTitle = false;
    bool haveTitle = false;
    // The element of the package's metadata whose text is being read, and where it goes.
    std::string* text = nullptr;
    std::string roleOf;  // the creator a refining <meta property="role"> names
    std::string role;
    CallbackHandler h;
    h.start = [&](std::string_view name, const Attributes& a) {
        if (name == "title" && !haveTitle) {
            inTitle = true;
        } else if (name == "creator") {
            p.creators.push_back(
                Creator{std::string(a.get("id").value_or("")), std::string(a.get("role").value_or("")), {}});
            text = &p.creators.back().name;
        } else if (name == "date" &&
                   (p.date.empty() || (p.dateEvent != "publication" && a.get("event") == "publication"))) {
            p.date.clear();
            p.dateEvent = a.get("event").value_or("");
            text = &p.date;
        } else if (name == "language" && p.language.empty()) {
            text = &p.language;
        } else if (name == "meta" && a.get("name") == "cover") {
            p.coverId = a.get("content").value_or("");
        } else if (name == "meta" && a.get("property") == "role" && a.get("refines")) {
            roleOf = std::string(a.get("refines")->substr(a.get("refines")->starts_with("#") ? 1 : 0));
            role.clear();
            text = &role;
        } else if (name == "item") {
            p.manifest[std::string(a.get("id").value_or(""))] = ManifestItem{
                resolveHref(folder, a.get("href").value_or("")), std::string(a.get("media-type").value_or("")),
                std::string(a.get("properties").value_or(""))};
        } else if (name == "spine") {
            p.tocId = a.get("toc").value_or("");
        } else if (name == "itemref" && a.get("linear") != "no") {
            p.spine.emplace_back(a.get("idref").value_or(""));
        }
    };
    h.end = [&](std::string_view name) {
        if (name == "title" && inTitle) {
            inTitle = false;
            haveTitle = true;
        }
        if (name == "meta" && !roleOf.empty()) {
            for (auto& c : p.creators) {
                if (c.id == roleOf) c.role = plainTitle(role);
            }
            roleOf.clear();
        }
        if (name == "creator" || name == "date" || name == "language" || name == "meta") text = nullptr;
    };
    h.text = [&](std::string_view chunk) {
        if (inTitle) p.title.append(chunk);
        if (text && text->size() < kMaxMetadataText) text->append(chunk);
    };
    if (auto parsed = parseWhole(opf.value(), Syntax::Xml, h); !parsed) return parsed.fault();
    p.title = plainTitle(p.title);
    return p;
}

// The entries META-INF/encryption.xml lists: a book whose chapters are among them is protected by DRM
// (fonts alone are often obfuscated, which does not stop reading).
base::Result<std::set<std::string>> encryptedEntries(Archive& archive) {
    auto xml = archive.readIfPresent("META-INF/encryption.xml");
    if (!xml) return xml.fault();
    std::set<std::string> entries;
    if (!xml.value()) return entries;
    CallbackHandler h;
    h.start = [&](std::string_view name, const Attributes& a) {
        if (name == "CipherReference") entries.insert(resolveHref("", a.get("URI").value_or("")));
    };
    if (auto parsed = parseWhole(*xml.value(), Syntax::Xml, h); !parsed) return parsed.fault();
    return entries;
}

// The chapter links of an EPUB 3 navigation document: the toc nav's links (every nav's when none is
// marked as the table of contents).
base::Result<std::vector<NavEntry>> readNav(Archive& archive, const std::string& path) {
    auto nav = archive.readWhole(path);
    if (!nav) return nav.fault();
    const std::string folder = folderOf(path);
    std::vector<NavEntry> toc;
    std::vector<NavEntry> any;
    int navDepth = 0;
    int32_t lists = 0;  // the lists open in the nav: an entry's level
    bool inToc = false;
    std::optional<NavEntry> link;
    CallbackHandler h;
    h.start = [&](std::string_view name, const Attributes& a) {
        if (name == "nav") {
            if (navDepth++ == 0) inToc = hasToken(a.get("epub:type").value_or(""), "toc");
        } else if (name == "ol" && navDepth > 0) {
            ++lists;
        } else if (name == "a" && navDepth > 0 && !link) {
            link = NavEntry{resolveHref(folder, a.get("href").value_or("")), {}, std::max(lists, 1)};
        }
    };
    h.end = [&](std::string_view name) {
        if (name == "nav" && navDepth > 0) --navDepth;
        if (name == "ol" && navDepth > 0 && lists > 0) --lists;
        if (name == "a" && link) {
            link->title = plainTitle(link->title);
            (inToc ? toc : any).push_back(std::move(*link));
            link.reset();
        }
    };
    h.text = [&](std::string_view text) {
        if (link) link->title.append(text);
    };
    if (auto parsed = parseWhole(nav.value(), Syntax::Html, h); !parsed) return parsed.fault();
    return toc.empty() ? any : toc;
}

// The navigation points of an EPUB 2 NCX, in document order.
base::Result<std::vector<NavEntry>> readNcx(Archive& archive, const std::string& path) {
    auto ncx = archive.readWhole(path);
    if (!ncx) return ncx.fault();
    const std::string folder = folderOf(path);
    std::vector<NavEntry> entries;
    std::vector<size_t> open;  // the navPoints being read, as indices into entries
    bool inLabel = false;
    CallbackHandler h;
    h.start = [&](std::string_view name, const Attributes& a) {
        if (name == "navPoint") {
            open.push_back(entries.size());
            entries.emplace_back().level = static_cast<int32_t>(open.size());
        } else if (name == "navLabel" && !open.empty()) {
            inLabel = true;
        } else if (name == "content" && !open.empty() && entries[open.back()].path.empty()) {
            entries[open.back()].path = resolveHref(folder, a.get("src").value_or(""));
        }
    };
    h.end = [&](std::string_view name) {
        if (name == "navLabel") inLabel = false;
        if (name == "navPoint" && !open.empty()) open.pop_back();
    };
    h.text = [&](std::string_view text) {
        if (inLabel) entries[open.back()].title.append(text);
    };
    if (auto parsed = parseWhole(ncx.value(), Syntax::Xml, h); !parsed) return parsed.fault();
    for (auto& e : entries) e.title = plainTitle(e.title);
    return entries;
}

// The cover image's entry: EPUB 3's manifest item with the cover-image property, else the item EPUB 2's
// cover meta names, when it is an image.
std::string coverPath(const Package& p) {
    for (const auto& [id, item] : p.manifest) {
        if (hasToken(item.properties, "cover-image")) return item.path;
    }
    const auto named = p.manifest.find(p.coverId);
    if (named != p.manifest.end() && named->second.mediaType.starts_with("image/")) return named->second.path;
    return {};
}

base::Result<std::vector<NavEntry>> navigation(Archive& archive, const Package& p) {
    for (const auto& [id, item] : p.manifest) {
        if (!hasToken(item.properties, "nav") || !archive.find(item.path)) continue;
        auto nav = readNav(archive, item.path);
        if (!nav || !nav.value().empty()) return nav;
    }
    auto ncx = p.manifest.find(p.tocId);
    if (ncx == p.manifest.end()) {
        ncx = std::find_if(p.manifest.begin(), p.manifest.end(),
                           [](const auto& item) { return item.second.mediaType == "application/x-dtbncx+xml"; });
    }
    if (ncx == p.manifest.end() || !archive.find(ncx->second.path)) return std::vector<NavEntry>();
    return readNcx(archive, ncx->second.path);
}

class EpubReader final : public Reader {
public:
    EpubReader(std::unique_ptr<Archive> archive, std::vector<SpineItem> spine, bool titled, const Package& package,
               const Options& options, TextBuilder& out)
        : archive_(std::move(archive)),
          spine_(std::move(spine)),
          titled_(titled),
          title_(package.title),
          metadata_{authorsOf(package.creators), plainTitle(package.date), plainTitle(package.language)},
          coverPath_(coverPath(package)),
          imageAltText_(options.imageAltText),
          out_(out) {}

    base::Result<bool> step() override {
        if (!pump_) {
            if (next_ == spine_.size()) return false;
            if (auto opened = startItem(spine_[next_]); !opened) return opened.fault();
        }
        auto stepped = pump_->step();
        if (!stepped) return stepped.fault();
        if (!stepped.value()) {
            out_.endTitle(fallback_);
            out_.paragraph();
            pump_.reset();
            text_.reset();
            ++next_;
        }
        return true;
    }

    std::string title() const override { return title_; }
    Metadata metadata() const override { return metadata_; }

    std::vector<std::string> sourceParts() const override {
        std::vector<std::string> parts;
        for (const auto& item : spine_) parts.push_back(item.path);
        return parts;
    }

    base::Result<std::string> entry(const std::string& name) override { return archive_->readWhole(name); }

    base::Result<std::optional<std::string>> cover() override {
        if (coverPath_.empty()) return std::optional<std::string>();
        auto bytes = archive_->readWhole(coverPath_);
        if (!bytes) return bytes.fault();
        return std::optional<std::string>(std::move(bytes.value()));
    }

private:
    base::Result<void> startItem(const SpineItem& item) {
        auto bytes = archive_->openEntry(item.entry);
        if (!bytes) return bytes.fault();
        // Without navigation every spine item is a chapter, titled by its page title or file name.
        fallback_ = item.path.substr(item.path.rfind('/') + 1);
        fallback_ = fallback_.substr(0, fallback_.rfind('.'));
        if (item.title) {
            out_.startChapter(item.title, item.level);
        } else if (!titled_) {
            out_.startChapter(std::nullopt);
        }
        text_ = std::make_unique<HtmlText>(
            out_, HtmlText::Settings{
                      .headingChapters = false,
                      .imageAltText = imageAltText_,
                      .fallbackTitle = fallback_,
                      .sourcePart = out_.tracking() ? std::optional(static_cast<uint32_t>(next_)) : std::nullopt});
        pump_ = std::make_unique<MarkupPump>(std::move(bytes.value()), Syntax::Html, *text_);
        return {};
    }

    std::unique_ptr<Archive> archive_;
    std::vector<SpineItem> spine_;
    bool titled_;
    std::string title_;
    Metadata metadata_;
    std::string coverPath_;
    bool imageAltText_;
    TextBuilder& out_;
    size_t next_ = 0;
    std::string fallback_;
    std::unique_ptr<HtmlText> text_;
    std::unique_ptr<MarkupPump> pump_;
};

}  // namespace

base::Result<std::unique_ptr<Reader>> openEpub(std::unique_ptr<Archive> archive, const Options& options,
                                               TextBuilder& out) {
    auto path = packagePath(*archive);
    if (!path) return path.fault();
    auto package = readPackage(*archive, path.value());
    if (!package) return package.fault();
    auto encrypted = encryptedEntries(*archive);
    if (!encrypted) return encrypted.fault();
    const Package& p = package.value();

    std::vector<SpineItem> spine;
    std::map<std::string, size_t> byPath;
    uint64_t total = 0;
    for (const auto& id : p.spine) {
        const auto item = p.manifest.find(id);
        if (item == p.manifest.end()) {
            return fault(errc::kDamaged, archive->input(),
                         "is damaged: its reading order names \"" + id + "\", which its manifest does not list.");
        }
        if (!isXhtml(item->second.mediaType)) continue;
        const auto entry = archive->find(item->second.path);
        if (!entry) {
            return fault(errc::kDamaged, archive->input(),
                         "is damaged: its chapter \"" + item->second.path + "\" is missing.");
        }
        if (encrypted.value().contains(item->second.path)) {
            return fault(errc::kProtected, archive->input(), "is protected by DRM and cannot be read.");
        }
        auto size = archive->check(*entry);
        if (!size) return size.fault();
        total += size.value();
        if (total > options.limits.maxExpandedBytes) {
            return fault(errc::kTooLarge, archive->input(),
                         "is too large to read: its chapters expand past " +
                             std::to_string(options.limits.maxExpandedBytes >> 20) + " MB.");
        }
        byPath.emplace(item->second.path, spine.size());
        spine.push_back(SpineItem{*entry, item->second.path, std::nullopt});
    }
    if (spine.empty()) return fault(errc::kNoText, archive->input(), "has no text to read.");

    auto nav = navigation(*archive, p);
    if (!nav) return nav.fault();
    bool titled = false;
    for (const auto& entry : nav.value()) {
        const auto at = byPath.find(entry.path);
        if (at == byPath.end() || spine[at->second].title) continue;
        spine[at->second].title = entry.title;
        spine[at->second].level = entry.level;
        titled = true;
    }
    return std::unique_ptr<Reader>(
        std::make_unique<EpubReader>(std::move(archive), std::move(spine), titled, p, options, out));
}

}  // namespace documents::detail
