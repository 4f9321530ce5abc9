// SPDX-License-Identifier: GPL-3.0-or-later
// tallamo-say's DAISY 2.02 books, read back by one validator: the NCC's metadata; every heading leads to
// a SMIL par, every par to a sentence of the text and to a clip inside its MP3's decoded audio (as
// libavcodec decodes it, the encoder's delay left out), the clips of a file in order, the sections'
// times adding up to the book's; the same bytes from the same input; and the outputs it refuses.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/support/audio_files.h"
#include "tests/support/document_fixtures.h"
#include "tests/tools/say/book_xml.h"
#include "tests/tools/say/say_process.h"

namespace fs = std::filesystem;
using namespace say_test;

namespace {

constexpr uint64_t kRate = 22050;  // the books' format, SAFT22kHz16BitMono

// "npt=1.234s" in milliseconds.
uint64_t nptMs(const std::string& value) {
    EXPECT_TRUE(value.starts_with("npt=") && value.ends_with("s")) << value;
    return static_cast<uint64_t>(std::stod(value.substr(4)) * 1000 + 0.5);
}

struct DaisyBook {
    std::map<std::string, std::string> meta;  // the NCC's
    std::vector<std::string> headings;
    std::vector<uint64_t> onsets;   // every clip's begin, in reading order
    std::vector<float> firstAudio;  // the first section's audio, decoded
};

// Reads the book in `dir` and checks everything in it that ties one file to another.
DaisyBook checkBook(const fs::path& dir) {
    DaisyBook book;
    std::set<std::string> textIds;
    const auto content = parse(dir / "content.html");
    const auto ncc = parse(dir / "ncc.html");
    if (!content || !ncc) return book;
    // Both documents' headings: the first an h1 of the class "title", and no level skipped.
    const auto checkHeading = [](xmlNode* e, int& last) {
        const std::string name = nameOf(e);
        if (name.size() != 2 || name[0] != 'h' || name[1] < '1' || name[1] > '6') return false;
        if (last == 0) {
            EXPECT_EQ(name + "." + attribute(e, "class"), "h1.title") << "the first heading";
        }
        EXPECT_LE(name[1] - '0', last + 1) << textOf(e);
        last = name[1] - '0';
        return true;
    };
    int lastInText = 0;
    eachElement(xmlDocGetRootElement(content.get()), [&](xmlNode* e) {
        if (const auto id = attribute(e, "id"); !id.empty()) {
            EXPECT_TRUE(textIds.insert(id).second) << id;
        }
        checkHeading(e, lastInText);
    });
    std::vector<std::string> links;
    int depth = 0;
    int last = 0;
    eachElement(xmlDocGetRootElement(ncc.get()), [&](xmlNode* e) {
        const std::string name = nameOf(e);
        if (name == "meta" && !attribute(e, "name").empty()) book.meta[attribute(e, "name")] = attribute(e, "content");
        if (checkHeading(e, last)) {
            depth = std::max(depth, last);
            book.headings.push_back(textOf(e));
        }
        if (name == "a") links.push_back(attribute(e, "href"));
    });

    std::vector<fs::path> smils;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().extension() == ".smil") smils.push_back(entry.path());
    std::sort(smils.begin(), smils.end());
    std::set<std::string> pars;  // "s0001.smil#p1"
    uint64_t elapsedMs = 0;
    for (const auto& path : smils) {
        SCOPED_TRACE(path.filename().string());
        const auto smil = parse(path);
        if (!smil) continue;
        std::map<std::string, std::string> meta;
        std::string audio;
        uint64_t lastEnd = 0;
        uint64_t decodedMs = 0;
        eachElement(xmlDocGetRootElement(smil.get()), [&](xmlNode* e) {
            const std::string name = nameOf(e);
            if (name == "meta") meta[attribute(e, "name")] = attribute(e, "content");
            if (name == "par") pars.insert(path.filename().string() + "#" + attribute(e, "id"));
            if (name == "text") {
                const std::string src = attribute(e, "src");
                EXPECT_TRUE(src.starts_with("content.html#") && textIds.count(src.substr(13))) << src;
            }
            if (name != "audio") return;
            if (audio.empty()) {
                audio = attribute(e, "src");
                auto decoded = testing_support::decodeAudio(dir / audio);
                decodedMs = decoded.size() * 1000 / kRate;
                if (book.firstAudio.empty()) book.firstAudio = std::move(decoded);
            }
            EXPECT_EQ(attribute(e, "src"), audio) << "one audio file a section";
            const uint64_t begin = nptMs(attribute(e, "clip-begin"));
            const uint64_t end = nptMs(attribute(e, "clip-end"));
            EXPECT_LE(lastEnd, begin) << "clips in order, none overlapping";
            EXPECT_LT(begin, end);
            EXPECT_LE(end, decodedMs) << "inside the decoded audio";
            lastEnd = end;
            book.onsets.push_back(begin);
        });
        EXPECT_TRUE(shaped(meta["ncc:timeInThisSmil"], "00:00:00.000")) << meta["ncc:timeInThisSmil"];
        EXPECT_EQ(clockMs(meta["ncc:totalElapsedTime"]), elapsedMs);
        EXPECT_EQ(clockMs(meta["ncc:timeInThisSmil"]), lastEnd) << "the last clip ends the section";
        EXPECT_TRUE(fs::exists(dir / audio));
        elapsedMs += clockMs(meta["ncc:timeInThisSmil"]);
    }
    for (const auto& link : links) EXPECT_TRUE(pars.count(link)) << "a heading leads to " << link;
    EXPECT_EQ(links.size(), book.headings.size());

    const uint64_t seconds = (elapsedMs + 500) / 1000;
    char total[32];
    std::snprintf(total, sizeof total, "%02llu:%02llu:%02llu", static_cast<unsigned long long>(seconds / 3600),
                  static_cast<unsigned long long>(seconds / 60 % 60), static_cast<unsigned long long>(seconds % 60));
    EXPECT_EQ(book.meta["ncc:totalTime"], total);
    EXPECT_EQ(book.meta["dc:format"], "Daisy 2.02");
    EXPECT_EQ(book.meta["ncc:multimediaType"], "audioFullText");
    EXPECT_EQ(book.meta["ncc:charset"], "utf-8");
    EXPECT_TRUE(book.meta["ncc:generator"].starts_with("Tallamo ")) << book.meta["ncc:generator"];
    EXPECT_TRUE(book.meta["dc:identifier"].starts_with("tallamo-")) << book.meta["dc:identifier"];
    EXPECT_FALSE(book.meta["dc:language"].empty());
    EXPECT_EQ(book.meta["ncc:tocItems"], std::to_string(book.headings.size()));
    EXPECT_EQ(book.meta["ncc:depth"], std::to_string(depth));
    EXPECT_EQ(book.meta["ncc:files"],
              std::to_string(std::distance(fs::directory_iterator(dir), fs::directory_iterator())));
    EXPECT_EQ(smils.size() * 2 + 2, std::stoul("0" + book.meta["ncc:files"]));
    return book;
}

// Every file under `dir` and its bytes.
std::map<std::string, std::string> snapshot(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        files[fs::relative(entry.path(), dir).string()] = entry.is_regular_file() ? readAll(entry.path()) : "<dir>";
    return files;
}

}  // namespace

// A book with chapters and a plain text each become a DAISY book whose parts all lead where they should.
// The same command again replaces the book it made with the same bytes.
TEST(SayDaisy, ABookAndATextBecomeDaisyBooksWhosePartsAllFit) {
    Folder dir;
    const std::vector<fixtures::Section> chapters = {
        {"Chapter One", {"It was a bright cold day in April. The clocks were striking thirteen."}},
        {"第二章", {"外面很冷。风很大。"}, 2},  // a section of chapter one: an h2
        {"Chapter Three & Four", {"The hallway smelt of boiled cabbage < and old rag mats."}},
    };
    fixtures::writeFile(dir / "book.epub",
                        fixtures::epub(chapters, fixtures::Facts{"Ann Author", "", "2001", "en", ""}));
    fixtures::writeFile(dir / "notes.txt", "First line here. A second sentence.\n\nAnother paragraph, alone.\n");
    // A Chinese text names no language: the book says Chinese, whichever voice reads the rest.
    fixtures::writeFile(dir / "chinese.txt", "外面很冷。风很大。\n");
    const struct {
        std::string input;
        std::vector<std::string> headings;
        std::string title;
        std::string creator;
        std::string language;  // empty: the voice's, not checked
        const char* depth;
    } cases[] = {
        {"book.epub", {"Chapter One", "第二章", "Chapter Three & Four"}, "Fixture Book", "Ann Author", "en", "2"},
        {"notes.txt", {"notes"}, "notes", "", "", "1"},
        {"chinese.txt", {"chinese"}, "chinese", "", "zh", "1"},
    };
    long made = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        const std::string out = dir / (c.input + ".daisy/");
        const std::vector<std::string> args{"--file", dir / c.input, "--format", "SAFT22kHz16BitMono", "--output", out};
        const SayRun r = runSay(args);
        ASSERT_EQ(r.status, 0) << r.err;
        DaisyBook book = checkBook(out);
        EXPECT_EQ(book.headings, c.headings);
        EXPECT_EQ(book.meta["dc:title"], c.title);
        EXPECT_EQ(book.meta["dc:creator"], c.creator);
        EXPECT_EQ(book.meta["ncc:depth"], c.depth);
        if (!c.language.empty()) {
            EXPECT_EQ(book.meta["dc:language"], c.language);
        }
        if (c.input.ends_with(".txt")) {
            // The sentences' clips against a WAV render of the text.
            const SayRun wav = runSay({"--file", dir / c.input, "--format", "SAFT22kHz16BitMono", "--output",
                                       dir / "reference.wav", "--events"});
            ASSERT_EQ(wav.status, 0) << wav.err;
            const auto reference = testing_support::decodeAudio(dir / "reference.wav");
            fs::remove(dir / "reference.wav");
            expectClipsOnTheirOnsets(book.onsets, book.firstAudio, eventTimes(wav, "Sentence"), reference, kRate);
        }
        const auto first = snapshot(out);
        const SayRun again = runSay(args);
        ASSERT_EQ(again.status, 0) << again.err;
        EXPECT_TRUE(first == snapshot(out)) << "the same bytes again";
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 3 + ++made)
            << "nothing left beside the books";
    }
}

// What is under the name and is not a book of ours is left as it is, and options that do not go with
// a book are refused before anything is done.
TEST(SayDaisy, AnythingElseUnderTheNameAndOptionsThatDoNotFitAreRefused) {
    Folder dir;
    fixtures::writeFile(dir / "in.txt", "Some words.");
    const struct {
        const char* name;
        std::vector<std::string> args;
        std::function<void()> setUp;
        int status;
    } cases[] = {
        {"a folder of other files",
         {},
         [&] {
             fs::create_directory(dir / "out.daisy");
             fixtures::writeFile(dir / "out.daisy/keep", "x");
         },
         1},
        {"another program's book",
         {},
         [&] {
             fs::create_directory(dir / "out.daisy");
             fixtures::writeFile(dir / "out.daisy/ncc.html", "<meta name=\"ncc:generator\" content=\"Other 1.0\"/>");
         },
         1},
        {"a file", {}, [&] { fixtures::writeFile(dir / "out.daisy", "a file"); }, 1},
        {"a text without words",
         {"--file", dir / "blank.txt"},
         [&] { fixtures::writeFile(dir / "blank.txt", " \n\n "); },
         1},
        {"--chapters", {"--chapters"}, [] {}, 2},
        {"--timings", {"--timings", dir / "t.srt"}, [] {}, 2},
        {"a journal that links elsewhere",
         {"--resume"},
         [&] {
             fs::create_directory(dir / "elsewhere");
             fixtures::writeFile(dir / "elsewhere/s0001.mp3", "kept");
             fs::create_directory_symlink(dir / "elsewhere", dir / ".out.daisy.resume");
         },
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir / "out.daisy");
        c.setUp();
        const auto before = snapshot(dir.path);
        std::vector<std::string> args{"--file", dir / "in.txt", "--output", dir / "out.daisy/"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const SayRun r = runSay(args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_TRUE(before == snapshot(dir.path)) << r.err;
    }
    // Without the slash the name is no folder: the command says how to write it.
    const SayRun r = runSay({"--file", dir / "in.txt", "--output", dir / "out.daisy"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("end its name with a slash"), std::string::npos) << r.err;
}

// A render stopped by a signal leaves the book that was there as it was, and nothing beside it; a killed
// one leaves its hidden folder, which the next render of the book removes. An EPUB book is made the same
// way.
TEST(SayDaisy, AStoppedRenderLeavesTheEarlierBookAndNothingElse) {
    for (const char* name : {"long.daisy/", "long.epub"}) {
        SCOPED_TRACE(name);
        Folder dir;
        const std::string out = dir / name;
        ASSERT_EQ(runSay({"--output", out, "An earlier book."}).status, 0);
        const auto before = snapshot(dir.path);
        for (const int signal : {SIGINT, SIGTERM, SIGKILL}) {
            SCOPED_TRACE(signal);
            LiveSay render({}, {"--output", out});
            ASSERT_TRUE(render.started());
            render.readUntil("Sentence");  // rendering
            ::kill(render.pid(), signal);
            const int status = render.finish();
            if (signal == SIGKILL) {
                EXPECT_FALSE(before == snapshot(dir.path)) << "no folder left behind to remove";
                continue;
            }
            ASSERT_TRUE(WIFEXITED(status)) << "killed by the signal";
            EXPECT_EQ(WEXITSTATUS(status), 128 + signal);
            EXPECT_TRUE(before == snapshot(dir.path));
        }
        ASSERT_EQ(runSay({"--output", out, "An earlier book."}).status, 0);
        EXPECT_TRUE(before == snapshot(dir.path));
    }
}
