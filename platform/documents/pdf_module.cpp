// SPDX-License-Identifier: GPL-3.0-or-later
// Loads the PDF reader module the first time a PDF is opened. It lies beside the running program or
// under <program's folder>/../libexec/tallamo, as the engine helper does.
#include <dlfcn.h>

#include <filesystem>
#include <mutex>

#include "base/paths.h"
#include "documents/reader.h"

// Defined when the PDF reader is linked into the program itself (a static build, as the fuzzers
// are): then it is called directly and nothing is loaded.
extern "C" [[gnu::weak]] documents::detail::PdfOpener tallamo_pdf_opener();

namespace documents::detail {

namespace {

struct Module {
    PdfOpener opener = nullptr;
    std::string error;  // why it could not be loaded
};

Module load() {
    if (&tallamo_pdf_opener != nullptr) return Module{tallamo_pdf_opener(), {}};
    Module module;
    module.error = "is a PDF file, and the PDF reader (" + std::string(kPdfModule) +
                   ") is not installed beside the program or under libexec/tallamo.";
    for (const auto& candidate : speech::installedPartCandidates(kPdfModule)) {
        std::error_code ec;
        if (!std::filesystem::exists(candidate, ec)) continue;
        // Never closed: the readers it makes live as long as their documents.
        void* handle = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            const char* why = ::dlerror();
            module.error = "is a PDF file, and the PDF reader could not be loaded: " +
                           std::string(why != nullptr ? why : "unknown error") + ".";
            continue;
        }
        auto entry = reinterpret_cast<PdfOpener (*)()>(::dlsym(handle, kPdfEntry));
        if (entry == nullptr) {
            module.error = "is a PDF file, and " + candidate.lexically_normal().string() + " is not the PDF reader.";
            continue;
        }
        module.opener = entry();
        return module;
    }
    return module;
}

}  // namespace

Result<std::unique_ptr<Reader>> openPdf(const Input& input, const Options& options, TextBuilder& out) {
    static std::once_flag once;
    static Module module;
    std::call_once(once, [] { module = load(); });
    if (module.opener == nullptr) return fault(speech::errc::kUnsupportedFormat, input, module.error);
    return module.opener(input, options, out);
}

}  // namespace documents::detail
