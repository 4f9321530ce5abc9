// SPDX-License-Identifier: GPL-3.0-or-later
// A PDF is read by a helper process within bounds (lowered here, so that the rows run quickly): a
// page whose content inflates to gigabytes, draws itself without end or holds too much text is
// skipped and reported while the other pages are read; a document none of whose pages can be read is
// refused with the reason; a cancel ends reading at once; and no helper is ever left behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>

#include "documents/document.h"
#include "tests/support/document_fixtures.h"
#include "tests/support/test_files.h"
#include "tests/support/utf16.h"

namespace documents {
namespace {

using namespace std::chrono_literals;
using fixtures::PdfPage;
using testing_support::utf8;

const PdfPage kOne{PdfPage::Text, "Page one reads well."};
const PdfPage kThree{PdfPage::Text, "Page three reads well."};
const PdfPage kInflating{PdfPage::Inflating, {}, 400};
const PdfPage kForms{PdfPage::NestedForms, {}, 0};

// The processes this test program has started and not reaped.
size_t children() {
    return testing_support::childProcesses(::getpid()).size();
}

struct Bounded {
    Options options;
    std::vector<std::string> skipped;

    // Forms drawing each other grow slowly, but a quick machine could pass 64 MB within a second: where
    // the time is to stop them, the memory bound is one they cannot reach in it.
    explicit Bounded(std::chrono::milliseconds pageTime, uint64_t memoryMb = 64) {
        options.limits.pdfPageTime = pageTime;
        options.limits.pdfSkippedTime = 2s;
        options.limits.pdfMemoryBytes = memoryMb << 20;
        options.limits.maxPageUnits = 60;
        options.skipped = [this](const std::string& message) { skipped.push_back(message); };
    }
};

std::string readToEnd(Document& document) {
    std::u16string text;
    std::vector<Chapter> chapters;
    while (document.read(text, chapters)) {
    }
    EXPECT_FALSE(document.failure().has_value()) << document.failure()->message;
    return utf8(text);
}

TEST(PdfBounds, APageThatPassesABoundIsSkippedAndReportedOnceWhileTheOthersAreRead) {
    const std::string text = "Page one reads well.\n\nPage three reads well.";
    const std::string tooLong(80, 'x');
    const struct {
        const char* name;
        std::vector<PdfPage> pages;
        std::chrono::milliseconds pageTime;
        std::string text;
        std::vector<std::string> skipped;
    } cases[] = {
        // A long page time: the memory bound is what stops this page, on any machine.
        {"content inflating to 400 MB",
         {kOne, kInflating, kThree},
         60s,
         text,
         {"Page 2 of \"x.pdf\" was skipped: it needs more than 64 MB of memory."}},
        {"forms drawing each other",
         {kOne, kForms, kThree},
         1s,
         text,
         {"Page 2 of \"x.pdf\" was skipped: reading it took more than 1 s."}},
        {"a page past the text bound",
         {kOne, {PdfPage::Text, tooLong, 0}, kThree},
         10s,
         text,
         {"Page 2 of \"x.pdf\" was skipped: it holds more than 60 characters of text."}},
        // Past the time all skipped pages may cost, the rest is skipped unread.
        {"one skipped page after another",
         {kOne, kForms, kForms, kThree},
         1s,
         "Page one reads well.",
         {"Page 2 of \"x.pdf\" was skipped: reading it took more than 1 s.",
          "Page 3 of \"x.pdf\" was skipped: reading it took more than 1 s.",
          "Page 4 of \"x.pdf\" was skipped: the pages skipped before took more than 2 s."}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bounded bounded(c.pageTime, c.pageTime == 1s ? 1024 : 64);
        auto opened = Document::openBytes(std::make_shared<const std::string>(fixtures::handMadePdf(c.pages)), "x.pdf",
                                          bounded.options);
        ASSERT_TRUE(opened.ok()) << opened.fault().message;
        EXPECT_EQ(readToEnd(*opened.value()), c.text);
        EXPECT_EQ(bounded.skipped, c.skipped);
        // Read again from the start: the same text, without trying or reporting those pages again.
        opened.value()->restart();
        EXPECT_EQ(readToEnd(*opened.value()), c.text);
        EXPECT_EQ(bounded.skipped, c.skipped);
        opened.value().reset();
        EXPECT_EQ(children(), 0u);
    }
}

TEST(PdfBounds, ADocumentWithoutAReadablePageIsRefusedWithTheReasonAndACancelStopsAtOnce) {
    testing_support::TempDir dir;
    fixtures::writeFile(dir.file("bomb.pdf"), fixtures::handMadePdf({kForms}));
    Bounded bounded(1s, 1024);
    auto refused = Document::open(dir.file("bomb.pdf"), bounded.options);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.fault().code, errc::kNoText);
    EXPECT_EQ(refused.fault().message, "The file \"" + dir.file("bomb.pdf") +
                                           "\" has no page that could be read (page 1: reading it took more "
                                           "than 1 s).");

    // A page time no test waits for: only the cancel can end the reading.
    Bounded patient(600s);
    int asked = 0;
    patient.options.cancelled = [&] { return ++asked > 3; };
    auto cancelled = Document::open(dir.file("bomb.pdf"), patient.options);
    ASSERT_FALSE(cancelled.ok());
    EXPECT_EQ(cancelled.fault().code, base::errc::kCancelled);
    EXPECT_TRUE(patient.skipped.empty());
    EXPECT_EQ(children(), 0u);
}

}  // namespace
}  // namespace documents
