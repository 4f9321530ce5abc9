// SPDX-License-Identifier: GPL-3.0-or-later
// A text file spoken as it is read gives exactly the segments of the same text held whole: the same
// characters, the same positions, the same sentences, also across the pieces it is read in and after
// seeking back. A document read the same way places its chapter starts as bookmarks.
#include "speech/pipeline/named_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <thread>

#include "base/utf8.h"
#include "speech/core/constants.h"
#include "speech/text/frontend.h"
#include "tests/support/document_fixtures.h"
#include "tests/support/test_files.h"
#include "tests/support/utf16.h"

namespace speech::pipeline {
namespace {

class TextStreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        context_.voice = core::SpObjectToken(core::TokenKind::Voice, "en-us", "English (America)");
        context_.voices = {context_.voice};
    }
    std::string write(const std::string& name, const std::string& bytes) {
        const std::string path = dir_.file(name);
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    std::unique_ptr<TextFileReader> open(const std::string& path) {
        auto named = openNamedFile(path);
        EXPECT_TRUE(named.ok());
        auto* reader = std::get_if<std::unique_ptr<TextFileReader>>(&named.value().content);
        EXPECT_NE(reader, nullptr);
        return reader ? std::move(*reader) : nullptr;
    }

    testing_support::TempDir dir_;
    text::FrontEndContext context_;
};

// Hands out a text in pieces of `size` units, so pieces end between the halves of surrogate pairs.
class PiecesStream final : public text::TextStream {
public:
    PiecesStream(std::u16string text, size_t size) : text_(std::move(text)), size_(size) {}
    bool read(std::u16string& out) override {
        if (at_ >= text_.size()) return false;
        out += text_.substr(at_, size_);
        at_ += size_;
        return true;
    }
    void restart() override { at_ = 0; }

private:
    std::u16string text_;
    size_t size_;
    size_t at_ = 0;
};

// Everything a segment tells the voice, in one comparable string.
std::string describe(const text::Segment& s) {
    std::string out;
    for (char32_t c : s.text) out += std::to_string(static_cast<uint32_t>(c)) + ",";
    out += "|";
    for (int32_t o : s.sourceOffsets) out += std::to_string(o) + ",";
    out += "|";
    for (auto [a, b] : s.words) out += std::to_string(a) + "-" + std::to_string(b) + ",";
    out += "|" + std::to_string(s.sentenceIndex) + (s.startsSentence ? "S" : "") + (s.endsSentence ? "E" : "") + ":" +
           std::to_string(s.sentencePosition) + "+" + std::to_string(s.sentenceLength);
    return out;
}

std::vector<std::string> drain(text::SegmentSource& source, size_t limit = SIZE_MAX) {
    std::vector<std::string> out;
    while (out.size() < limit) {
        auto s = source.next();
        if (!s) break;
        out.push_back(describe(*s));
    }
    return out;
}

TEST_F(TextStreamTest, PiecesAndSurrogatesAcrossTheReadBoundaryGiveTheSegmentsOfTheWholeText) {
    // Just over 1 MiB of text (the size read at a time), with characters outside the BMP and
    // Chinese placed over the boundary, in UTF-8 without a mark and in UTF-16 with one.
    std::u16string text;
    const std::u16string sentence = u"Reading along, sentence by sentence. ";
    while (text.size() < (1u << 19) - 40) text += sentence;
    for (int i = 0; i < 20; ++i) text += u"\U0001F600中文 ";
    text += u"Past the boundary now. A run-on stretch without any stop";
    while (text.size() < (1u << 20) + 5000) text += u" and on";
    text += u". The end.";

    std::string utf8 = base::toUtf8(text);
    // Put the emoji run over the first megabyte's edge in the UTF-8 file.
    const size_t emoji = utf8.find("\xF0\x9F\x98\x80");
    ASSERT_NE(emoji, std::string::npos);
    utf8.insert(0, std::string((1u << 20) - emoji - 2, ' '));
    std::string utf16 = "\xFF\xFE";
    for (char16_t c : base::fromUtf8(utf8)) {
        utf16.push_back(static_cast<char>(c & 0xFF));
        utf16.push_back(static_cast<char>(c >> 8));
    }

    for (const auto& [name, bytes] : {std::pair{"utf8.txt", utf8}, std::pair{"utf16.txt", utf16}}) {
        SCOPED_TRACE(name);
        const std::string path = write(name, bytes);
        auto whole = text::openText(std::make_shared<const std::u16string>(base::fromUtf8(utf8)), core::SVSFDefault,
                                    context_, nullptr);
        auto streamed = openTextStream(open(path), core::SVSFDefault, context_, nullptr);
        const auto expected = drain(*whole);
        const auto got = drain(*streamed);
        ASSERT_GT(expected.size(), 100u);
        ASSERT_EQ(got.size(), expected.size());
        for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], expected[i]) << "segment " << i;

        // Seeking back reads the file again from the start.
        ASSERT_TRUE(streamed->seekSentence(3));
        ASSERT_TRUE(whole->seekSentence(3));
        EXPECT_EQ(drain(*streamed, 5), drain(*whole, 5));
    }

    // Pieces of 7 units split some of the 20 surrogate pairs; the pairs still arrive whole.
    const std::u16string short_ =
        u"Smile \U0001F600\U0001F600\U0001F600 now. " + text.substr(text.find(u"\U0001F600"), 200);
    auto whole = text::openText(std::make_shared<const std::u16string>(short_), core::SVSFDefault, context_, nullptr);
    auto pieces = text::openTextStream(std::make_unique<PiecesStream>(short_, 7), core::SVSFDefault, context_, nullptr);
    EXPECT_EQ(drain(*pieces), drain(*whole));
}

TEST_F(TextStreamTest, TheHeadDecidesTheEncodingAndLaterBadBytesBecomeReplacements) {
    // Valid UTF-8 in the first megabyte: the file is UTF-8, and a bad byte after it is a replacement.
    std::string bytes(1u << 20, 'a');
    bytes += " \xC3\x28 tail.";
    auto reader = open(write("late.txt", bytes));
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->encoding(), "UTF-8");
    auto text = reader->readAll();
    ASSERT_TRUE(text.ok());
    EXPECT_EQ(text.value().size(), (1u << 20) + 9u);
    EXPECT_EQ(text.value()[(1u << 20) + 1], u'\uFFFD');

    // An empty file is an empty text.
    auto empty = open(write("empty.txt", ""));
    ASSERT_TRUE(empty);
    std::u16string none;
    EXPECT_FALSE(empty->read(none));
    EXPECT_TRUE(drain(*openTextStream(std::move(empty), core::SVSFDefault, context_, nullptr)).empty());
}

TEST_F(TextStreamTest, MarkupIsNotStreamed) {
    EXPECT_TRUE(text::readsAsMarkup(core::SVSFDefault, u'<'));
    EXPECT_FALSE(text::readsAsMarkup(core::SVSFIsNotXML, u'<'));
    EXPECT_TRUE(text::readsAsMarkup(core::SVSFIsXML, u'x'));
    EXPECT_FALSE(text::readsAsMarkup(core::SVSFDefault, std::nullopt));
    EXPECT_THROW(text::readsAsMarkup(core::SVSFIsXML | core::SVSFIsNotXML, u'x'), base::Error);
    EXPECT_THROW(
        openTextStream(open(write("m.xml", "<volume level=\"5\">x</volume>")), core::SVSFIsXML, context_, nullptr),
        base::Error);
}

// A text from a pipe is spoken as it comes: a line its writer wrote before pausing is spoken without
// waiting for the writer to go on or end, and reading again starts from its first byte.
TEST_F(TextStreamTest, TextFromAPipeIsSpokenAsItComesAndReadAgainFromItsStart) {
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    const int writer = ends[1];
    auto say = [&](std::string_view line) {
        ASSERT_EQ(::write(writer, line.data(), line.size()), ssize_t(line.size()));
    };
    say("Hello there.\n");
    auto named = openNamedFile("/proc/self/fd/" + std::to_string(ends[0]));
    ::close(ends[0]);  // the reader opened one of its own
    ASSERT_TRUE(named.ok()) << named.fault().message;
    auto* reader = std::get_if<std::unique_ptr<TextFileReader>>(&named.value().content);
    ASSERT_NE(reader, nullptr);
    auto source = openTextStream(std::move(*reader), core::SVSFDefault, context_, nullptr);
    // Each line comes while the writer still holds the pipe open; were it not spoken until the pipe
    // ends, closing the writer after a bound lets the test end (and fail).
    auto next = [&] {
        auto segment = std::async(std::launch::async, [&] { return source->next(); });
        if (segment.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            ADD_FAILURE() << "the line was not spoken before the writer ended";
            ::close(writer);
        }
        auto s = segment.get();
        return s ? std::u32string(s->text) : U"(end)";
    };
    EXPECT_EQ(next(), U"Hello there.");
    say("Second line.\n");
    EXPECT_EQ(next(), U"Second line.");
    ::close(writer);
    EXPECT_EQ(next(), U"(end)");
    ASSERT_TRUE(source->seekSentence(0));
    EXPECT_EQ(next(), U"Hello there.");
}

// What a pipe holds that must be read whole is read so only up to the limit of a document: a
// document past it is refused, and so is markup (read whole to be checked) past it.
TEST_F(TextStreamTest, WhatAPipeHoldsIsReadWholeOnlyUpToTheLimitOfADocument) {
    const std::string epub = fixtures::epub({{"One", {std::string(4000, 'x') + "."}}});
    const struct {
        const char* name;
        std::string bytes;
        std::string refused;
    } cases[] = {
        {"a document", epub, "is too large to read: it holds more than 0 MB."},
        {"markup", "<volume level='50'>" + std::string(2 << 20, 'x') + "</volume>",
         "holds more than 1 MB of text, more than is read whole (as markup is)."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int ends[2];
        ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
        std::thread writer([&, fd = ends[1]] {
            // The reader stops reading: a write after it fails instead of raising SIGPIPE.
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            ::pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
            for (size_t at = 0; at < c.bytes.size();) {
                const ssize_t n = ::write(fd, c.bytes.data() + at, c.bytes.size() - at);
                if (n <= 0) break;
                at += static_cast<size_t>(n);
            }
            ::close(fd);
        });
        documents::Options options;
        options.limits.maxExpandedBytes = c.bytes.size() == epub.size() ? epub.size() - 1 : 1 << 20;
        const std::string path = "/proc/self/fd/" + std::to_string(ends[0]);
        auto named = openNamedFile(path, options);
        ::close(ends[0]);
        base::Fault refused;
        if (!named) {
            refused = named.fault();
        } else if (auto* reader = std::get_if<std::unique_ptr<TextFileReader>>(&named.value().content)) {
            auto all = (*reader)->readAll();
            if (!all) refused = all.fault();
        }
        named = base::Fault{};  // the reader goes, and with it the writer's pipe
        writer.join();
        EXPECT_EQ(refused.code, documents::errc::kTooLarge);
        EXPECT_EQ(refused.message, "The file \"" + path + "\" " + c.refused);
    }
}

TEST_F(TextStreamTest, ADocumentsChaptersAreBookmarksWhereTheyStart) {
    const std::vector<fixtures::Section> book = {
        {"Chapter <One> & Co", {"First words here."}}, {"第二章", {"今天天气很好。"}}, {"Three", {"End."}}};
    auto named = openNamedFile(write("book.epub", fixtures::epub(book)));
    ASSERT_TRUE(named.ok()) << named.fault().message;
    auto* document = std::get_if<std::unique_ptr<DocumentReader>>(&named.value().content);
    ASSERT_NE(document, nullptr);
    auto source = openTextStream(std::move(*document), core::SVSFIsNotXML, context_, nullptr);

    const std::u16string text = base::fromUtf8(fixtures::expectedText(book));
    std::vector<std::string> expected;
    for (size_t i = 0, from = 0; i < book.size(); ++i) {
        from = text.find(base::fromUtf8(book[i].title), from);
        expected.push_back(std::to_string(i + 1) + " " + book[i].title + " @" + std::to_string(from));
    }
    // Each chapter's mark opens the segment that starts with its title, also when read again.
    for (int pass = 0; pass < 2; ++pass) {
        std::vector<std::string> got;
        while (auto s = source->next()) {
            for (const auto& m : s->marks) {
                got.push_back(std::to_string(m.id) + " " + m.text + " @" + std::to_string(m.sourcePosition));
                EXPECT_EQ(s->sourceOffsets.front(), m.sourcePosition) << m.text;
            }
        }
        EXPECT_EQ(got, expected);
        source->seekSentence(0);
    }
}

}  // namespace
}  // namespace speech::pipeline
