// SPDX-License-Identifier: GPL-3.0-or-later
// Renders that can resume, through the file stream: a render killed at steps of its journal (each
// write, sync, rename and removal) and run again until it completes gives the bytes of a render never
// stopped and leaves the old output alone until then; a journal that cannot be used says why and is
// started over; two renders of one output cannot run at once.
#include "speech/audio/render_journal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "speech/core/constants.h"
#include "speech/streams.h"
#include "tests/support/audio_files.h"
#include "tests/support/test_files.h"

namespace speech::audio {
namespace {

namespace fs = std::filesystem;

constexpr size_t kUnits = 5;

// A unit's audio as the engine would give it: 0.5 to 1.5 s, different for every unit; for an MP4 file
// eight times that, so that the journal keeps some of its encoded parts (twelve seconds each).
std::vector<int16_t> unitAudio(size_t index, core::FileCodec codec = core::FileCodec::Wav) {
    const size_t scale = codec == core::FileCodec::M4b ? 8 : 1;
    return testing_support::speechLike(scale * (22050 * (1 + index % 3) / 2 + 137 * index), 22050,
                                       100 + static_cast<uint32_t>(index));
}

struct Book {
    std::string output;
    std::string input;
    core::FileCodec codec = core::FileCodec::Wav;
    std::string options = "voice=English;rate=0";
    std::string version = "test 1";
    std::vector<std::string> files = {};  // the lexicons in effect
};

std::shared_ptr<SpFileStream> openBook(const Book& book, ResumeState& state) {
    auto file = std::make_shared<SpFileStream>();
    file->Format().SetType(SAFT22kHz16BitMono);
    file->setCodec(book.codec);
    file->setTags(bookFileTags(core::BookInfo{"Book", "Author", "2001", ""}));
    state = file->openResumable(book.output, ResumeKey{book.input, book.options, book.version, {}, book.files});
    return file;
}

// Writes units from the first the journal lacks up to `last` (all when it is kUnits), in pieces as a
// render would, each with its chapter starting a little in.
void writeUnits(SpFileStream& file, size_t from, size_t last = kUnits, core::FileCodec codec = core::FileCodec::Wav) {
    for (size_t i = from; i < last; ++i) {
        const auto audio = unitAudio(i, codec);
        const auto* bytes = reinterpret_cast<const uint8_t*>(audio.data());
        for (size_t at = 0; at < audio.size() * 2; at += 3000) {
            ASSERT_TRUE(file.writeBytes(std::span(bytes + at, std::min<size_t>(3000, audio.size() * 2 - at))));
        }
        ASSERT_TRUE(file.commitChain(ChainStart{i + 1, {}}));
    }
}

// A render with --resume: the units the journal lacks, then the file, its chapters marked. Returns the
// file's warnings.
std::vector<std::string> render(const Book& book) {
    ResumeState state;
    auto file = openBook(book, state);
    writeUnits(*file, state.segments, kUnits, book.codec);
    std::vector<core::ChapterMark> marks;
    uint64_t start = 0;
    for (size_t i = 0; i < kUnits; ++i) {
        marks.push_back({"Chapter " + std::to_string(i + 1), start + 11 * i});
        start += unitAudio(i, book.codec).size();
    }
    file->setChapterMarks(marks);
    file->Close();
    return file->warnings();
}

// The AAC parts the journal in `folder` lists as kept.
int keptParts(const std::string& folder) {
    std::istringstream state(testing_support::readFile(folder + "/state"));
    for (std::string line; std::getline(state, line);) {
        if (line.starts_with("aac ")) return std::stoi(line.substr(4));
    }
    return 0;
}

// Every file below `folder` with its bytes, and every link with what it names.
std::map<std::string, std::string> snapshot(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        const std::string at = entry.path().string();
        files[at] = entry.is_symlink()        ? "-> " + fs::read_symlink(entry.path()).string()
                    : entry.is_regular_file() ? testing_support::readFile(at)
                                              : "folder";
    }
    return files;
}

class Resume : public testing::TestWithParam<core::FileCodec> {};

TEST_P(Resume, KilledAtStepsThenResumedGivesTheSameBytes) {
    testing_support::TempDir dir;
    Book book{dir.file("reference"), dir.file("book.txt"), GetParam()};
    std::ofstream(book.input) << "The book's text.";
    // The steps of a whole render, to choose where to stop, and the threads they are taken on.
    int steps = 0;
    std::mutex mutex;
    std::set<std::thread::id> threads;
    setJournalStepHookForTesting([&] {
        std::lock_guard lock(mutex);
        ++steps;
        threads.insert(std::this_thread::get_id());
    });
    render(book);
    setJournalStepHookForTesting({});
    ASSERT_GT(steps, 40);
    EXPECT_EQ(threads.size(), 1u) << "the journal writes from more than one thread";
    const std::string reference = testing_support::readFile(book.output);
    ASSERT_FALSE(fs::exists(dir.file(".reference.resume")));

    book.output = dir.file("book");
    const std::string old = "the file that was there before";
    // A dozen stops spread over the steps of a whole render, from its first write to the removal of its
    // journal: each render is killed there, then run again to its end.
    for (int stop = 1; stop <= 12; ++stop) {
        const int stopAt = stop * steps / 12 - (stop == 12 ? 1 : 0);
        SCOPED_TRACE("stopped at step " + std::to_string(stopAt) + " of " + std::to_string(steps));
        std::ofstream(book.output) << old;
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            int step = 0;
            setJournalStepHookForTesting([&] {
                if (++step == stopAt) ::raise(SIGKILL);
            });
            try {
                render(book);
            } catch (...) {
                ::_exit(1);
            }
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        // An MP4 render keeps its encoded parts as the encoder gets to them, so its steps vary a little
        // from run to run: it may end before the last stop.
        const bool ended = GetParam() == core::FileCodec::M4b && WIFEXITED(status) && WEXITSTATUS(status) == 0;
        ASSERT_TRUE((WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) || ended) << status;
        const std::string now = testing_support::readFile(book.output);
        EXPECT_TRUE(now == old || now == reference);
        // Whatever the step, the journal left is one a render goes on from, without a word.
        if (now == old) {
            ResumeState state;
            auto file = openBook(book, state);
            EXPECT_EQ(state.notice, "");
            file->discard();
            render(book);
        }
        EXPECT_EQ(testing_support::readFile(book.output), reference);
        // Stopped while its journal was being removed, a complete render may leave a folder, but no
        // state a render would go on from.
        EXPECT_FALSE(fs::exists(dir.file(".book.resume/state")));
        fs::remove_all(dir.file(".book.resume"));
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, Resume,
                         testing::Values(core::FileCodec::Wav, core::FileCodec::Flac, core::FileCodec::M4b),
                         [](const testing::TestParamInfo<core::FileCodec>& info) {
                             return info.param == core::FileCodec::Wav    ? "wav"
                                    : info.param == core::FileCodec::Flac ? "flac"
                                                                          : "m4b";
                         });

// A render whose last unit's audio is kept by Close, as a real render's last chain is, stopped once that
// unit is listed (while the file is made from the journal): it goes on to the same bytes, speaking
// none of the text again.
TEST(ResumeJournal, StoppedWhileItsFileIsMadeGoesOnToTheSameBytes) {
    const auto renderToClose = [](const Book& book) {
        ResumeState state;
        auto file = openBook(book, state);
        writeUnits(*file, state.segments, kUnits - 1, book.codec);
        if (state.segments < kUnits) {
            const auto last = unitAudio(kUnits - 1, book.codec);
            ASSERT_TRUE(file->writeBytes(std::span(reinterpret_cast<const uint8_t*>(last.data()), last.size() * 2)));
        }
        file->Close();
    };
    for (const core::FileCodec codec : {core::FileCodec::Flac, core::FileCodec::M4b}) {
        SCOPED_TRACE(static_cast<int>(codec));
        testing_support::TempDir dir;
        Book book{dir.file("reference"), dir.file("book.txt"), codec};
        std::ofstream(book.input) << "The book's text.";
        renderToClose(book);
        const std::string reference = testing_support::readFile(book.output);
        book.output = dir.file("book");
        const std::string state = dir.file(".book.resume/state");
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            setJournalStepHookForTesting([&] {
                const std::string listed = testing_support::readFile(state);
                size_t units = 0;
                for (size_t at = listed.find("\nunit "); at != std::string::npos; at = listed.find("\nunit ", at + 1))
                    ++units;
                if (units == kUnits) ::raise(SIGKILL);
            });
            renderToClose(book);
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
        ASSERT_FALSE(fs::exists(book.output));
        renderToClose(book);
        EXPECT_TRUE(testing_support::readFile(book.output) == reference) << "the resumed file differs";
    }
}

TEST(ResumeJournal, ThatCannotBeUsedIsStartedOverSayingWhy) {
    const auto flip = [](const std::string& path, long at) {
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        f.seekg(at);
        const char c = static_cast<char>(f.get());
        f.seekp(at);
        f.put(static_cast<char>(c ^ 0x20));
    };
    const struct {
        const char* why;
        std::function<void(Book&)> change;
        std::function<void(const std::string& folder)> damage;
        core::FileCodec codec = core::FileCodec::Wav;
    } rows[] = {
        {"another version", [](Book& b) { b.version = "test 2"; }, {}},
        {"input has changed", [](Book& b) { std::ofstream(b.input) << "Another text."; }, {}},
        {"options have changed", [](Book& b) { b.options += ";volume=50"; }, {}},
        {"lexicons or the speech data have changed",
         [](Book& b) {
             b.files.push_back(b.input + ".pls");
             std::ofstream(b.files.back()) << "<lexicon version=\"1.0\"/>";
         },
         {}},
        {"cut short", {}, [](const std::string& f) { fs::resize_file(f + "/state", fs::file_size(f + "/state") / 2); }},
        {"state is damaged", {}, [&](const std::string& f) { flip(f + "/state", 70); }},
        {"audio is missing", {}, [](const std::string& f) { fs::remove(f + "/audio.wav"); }},
        {"audio is cut short", {}, [](const std::string& f) { fs::resize_file(f + "/audio.wav", 1000); }},
        {"audio is damaged",
         {},
         [&](const std::string& f) { flip(f + "/audio.wav", fs::file_size(f + "/audio.wav") - 9); }},
        {"audio is damaged, in part 1", {}, [&](const std::string& f) { flip(f + "/audio.wav", 500); }},
        {"encoded audio is damaged",
         {},
         [&](const std::string& f) { flip(f + "/aac", static_cast<long>(fs::file_size(f + "/aac") / 2)); },
         core::FileCodec::M4b},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        testing_support::TempDir dir;
        Book book{dir.file("book"), dir.file("book.txt"), row.codec};
        std::ofstream(book.input) << "The book's text.";
        const std::string folder = dir.file(".book.resume");
        {
            ResumeState state;
            auto file = openBook(book, state);
            writeUnits(*file, 0, 3, book.codec);
            // The parts are encoded beside the render and kept at the next unit's end: units go on
            // until some are.
            for (size_t more = 3; book.codec == core::FileCodec::M4b && keptParts(folder) == 0; ++more)
                writeUnits(*file, more, more + 1, book.codec);
            file->discard();
        }
        if (row.change) row.change(book);
        if (row.damage) row.damage(folder);
        ResumeState state;
        auto file = openBook(book, state);
        EXPECT_NE(state.notice.find(row.why), std::string::npos) << state.notice;
        EXPECT_NE(state.notice.find("starts over"), std::string::npos) << state.notice;
        EXPECT_EQ(state.segments, 0u);
        EXPECT_EQ(state.frames, 0u);
        file->discard();
    }
}

TEST(ResumeJournal, OneRenderAtATimeAndAStopKeepsIt) {
    testing_support::TempDir dir;
    const Book book{dir.file("book.m4b"), dir.file("book.txt"), core::FileCodec::M4b};
    std::ofstream(book.input) << "The book's text.";
    ResumeState state;
    auto first = openBook(book, state);
    writeUnits(*first, 0, 2);
    ResumeState refused;
    try {
        openBook(book, refused);
        ADD_FAILURE() << "a second render of the same output went on";
    } catch (const base::Error& e) {
        EXPECT_NE(e.description().find("Another render of"), std::string::npos) << e.description();
    }
    // A stopped render keeps what it finished and drops the unit it was in; no file is made.
    const auto half = unitAudio(2);
    ASSERT_TRUE(first->writeBytes(std::span(reinterpret_cast<const uint8_t*>(half.data()), half.size())));
    first->discard();
    EXPECT_FALSE(fs::exists(book.output));
    auto again = openBook(book, state);
    EXPECT_EQ(state.segments, 2u);
    EXPECT_EQ(state.frames, unitAudio(0).size() + unitAudio(1).size());
    again->discard();
}

// The chapter marks a resume goes on from come back as they were kept, whatever their titles hold.
TEST(ResumeJournal, TheStateKeepsUnitsAndChapterMarksAsTheyWere) {
    const JournalKey key{"in", "opts", "data", core::WaveFormat{22050, 16, 1}, "test 1"};
    JournalState kept;
    kept.units = {{{100, 3}, 0x1234}, {{50, 9}, 0xabcdef0123456789}};
    kept.marks = {{{"Chapter one", 0}, {"", 70}, {"Two\nlines \xe4\xb8\x80", 120}}, {"Waiting one", "x y"}, true};
    JournalState read;
    ASSERT_EQ(parseJournalState(journalStateText(key, kept), key, read), std::nullopt);
    EXPECT_EQ(read.marks, kept.marks);
    ASSERT_EQ(read.units.size(), 2u);
    EXPECT_EQ(read.units[1].unit, (JournalUnit{50, 9}));
    EXPECT_EQ(read.units[1].sum, 0xabcdef0123456789u);
}

TEST(ResumeJournal, AFolderThereBeforeIsUsedOnlyIfItIsTheUsersOwn) {
    const struct {
        const char* why;
        std::function<void(const std::string& folder, const std::string& other)> make;
    } rows[] = {
        {"symbolic link",
         [](const std::string& f, const std::string& other) { fs::create_directory_symlink(other, f); }},
        {"not a folder", [](const std::string& f, const std::string&) { std::ofstream(f) << "a file of the user's"; }},
        {"another user",
         [](const std::string& f, const std::string& other) {
             fs::copy(other, f);
             ASSERT_EQ(::chown(f.c_str(), 65534, 65534), 0);
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        if (std::string(row.why) == "another user" && ::geteuid() != 0) continue;  // only root gives folders away
        testing_support::TempDir dir;
        const Book book{dir.file("out/book.wav"), dir.file("book.txt")};
        std::ofstream(book.input) << "The book's text.";
        // Someone else's files, with the names the journal gives its own.
        fs::create_directories(dir.file("other"));
        fs::create_directories(dir.file("out"));
        for (const char* name : {"lock", "state", "audio.wav", "notes.txt"})
            std::ofstream(dir.file("other/") + name) << "not the journal's " << name;
        row.make(dir.file("out/.book.wav.resume"), dir.file("other"));
        const auto before = snapshot(dir.path());
        ResumeState state;
        try {
            openBook(book, state);
            ADD_FAILURE() << "the render went on";
        } catch (const base::Error& e) {
            EXPECT_NE(e.description().find(row.why), std::string::npos) << e.description();
        }
        EXPECT_EQ(snapshot(dir.path()), before);
    }
}

TEST(ResumeJournal, ALinkInPlaceOfAJournalFileIsNeverFollowed) {
    const struct {
        const char* name;
        core::FileCodec codec;
        bool refused;  // else the journal is started over
    } rows[] = {
        {"audio.wav", core::FileCodec::Wav, false},
        {"aac", core::FileCodec::M4b, false},
        {"lock", core::FileCodec::Wav, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        testing_support::TempDir dir;
        Book book{dir.file("reference"), dir.file("book.txt"), row.codec};
        std::ofstream(book.input) << "The book's text.";
        render(book);
        book.output = dir.file("book");
        // A render stopped before it finished a unit, its file then replaced by a link to another.
        {
            ResumeState state;
            openBook(book, state)->discard();
        }
        const std::string victim = dir.file("victim");
        const std::string victimBytes(1 << 20, 'v');
        std::ofstream(victim) << victimBytes;
        const std::string planted = dir.file(".book.resume/") + row.name;
        fs::remove(planted);
        fs::create_symlink(victim, planted);
        if (row.refused) {
            ResumeState state;
            EXPECT_THROW(openBook(book, state), base::Error);
        } else {
            render(book);
            EXPECT_FALSE(fs::is_symlink(book.output));
            EXPECT_TRUE(testing_support::readFile(book.output) == testing_support::readFile(dir.file("reference")));
        }
        EXPECT_TRUE(testing_support::readFile(victim) == victimBytes) << "the file the link names was written";
    }
}

TEST(ResumeJournal, TheCleanUpRemovesOnlyTheFilesItMade) {
    testing_support::TempDir dir;
    const Book book{dir.file("book.wav"), dir.file("book.txt")};
    std::ofstream(book.input) << "The book's text.";
    fs::create_directory(dir.file(".book.wav.resume"));
    std::ofstream(dir.file(".book.wav.resume/notes.txt")) << "the user's notes";
    const auto warnings = render(book);
    EXPECT_TRUE(fs::exists(book.output));
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("files this program did not make"), std::string::npos) << warnings[0];
    EXPECT_EQ(testing_support::readFile(dir.file(".book.wav.resume/notes.txt")), "the user's notes");
    EXPECT_FALSE(fs::exists(dir.file(".book.wav.resume/state")));
    EXPECT_FALSE(fs::exists(dir.file(".book.wav.resume/audio.wav")));
}

// The data a journal is keyed by: a change in a file of a folder tells it apart, and neither a loop of
// links nor a pipe in the folder makes the checksum hang.
TEST(ResumeJournal, TheDataChecksumSeesChangesAndNeverHangs) {
    testing_support::TempDir dir;
    const std::string data = dir.file("data");
    fs::create_directories(data + "/voices");
    std::ofstream(data + "/voices/a") << "one";
    // Two links back up the tree: followed, each level would double the folders to read.
    fs::create_directory_symlink(data, data + "/voices/up");
    fs::create_directory_symlink(data, data + "/voices/back");
    ASSERT_EQ(::mkfifo((data + "/pipe").c_str(), 0600), 0);
    const std::string before = contentChecksum(data);
    EXPECT_EQ(contentChecksum(data), before);
    std::ofstream(data + "/voices/a") << "two";
    EXPECT_NE(contentChecksum(data), before);
}

}  // namespace
}  // namespace speech::audio
