// SPDX-License-Identifier: GPL-3.0-or-later
// tallamo-say and books: one file holding a book's chapters (each where its first word starts), its
// tags and cover; a file a chapter, named for every file system and tagged as a track of the book; and
// renders that resume where a stopped one ended. The tool runs as a separate process; its files are
// read back through libavformat and libsndfile.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <espeak-ng/espeak_ng.h>

#include "documents/document.h"
#include "tests/support/audio_files.h"
#include "tests/support/document_fixtures.h"
#include "tests/support/test_files.h"
#include "tools/say/book.h"

namespace fs = std::filesystem;

namespace {

using testing_support::TempDir;

// tallamo-say run with `args`, its standard output read as it comes (until `until` appears, when given),
// its standard error kept.
class Say {
public:
    explicit Say(const std::vector<std::string>& args) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            const int err = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(err, 2);
            const int in = ::open("/dev/null", O_RDONLY);
            ::dup2(in, 0);
            std::vector<const char*> argv{TALLAMO_SAY};
            for (const auto& a : args) argv.push_back(a.c_str());
            argv.push_back(nullptr);
            ::execv(TALLAMO_SAY, const_cast<char* const*>(argv.data()));
            ::_exit(127);
        }
        ::close(out[1]);
        out_ = out[0];
    }
    ~Say() {
        if (pid_ > 0 && !waited_) {
            ::kill(pid_, SIGKILL);
            wait();
        }
        if (out_ >= 0) ::close(out_);
        fs::remove(err_);
    }
    Say(const Say&) = delete;
    Say& operator=(const Say&) = delete;

    // Reads standard output until it holds `text`; false when it ended first.
    bool readUntil(const std::string& text) {
        char buf[4096];
        for (ssize_t n; got_.find(text) == std::string::npos && (n = ::read(out_, buf, sizeof buf)) > 0;)
            got_.append(buf, static_cast<size_t>(n));
        return got_.find(text) != std::string::npos;
    }
    void kill(int signal) { ::kill(pid_, signal); }
    // Waits for the end; the exit status, or 128 + the signal that ended it.
    int wait() {
        readUntil(std::string(1, '\0'));
        int status = 0;
        ::waitpid(pid_, &status, 0);
        waited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::string err() const { return testing_support::readFile(err_); }

private:
    const fs::path err_ = fs::temp_directory_path() / ("tallamo-say-book-" + std::to_string(::getpid()));
    pid_t pid_ = -1;
    int out_ = -1;
    bool waited_ = false;
    std::string got_;
};

struct Done {
    int status;
    std::string err;
};

Done say(const std::vector<std::string>& args) {
    Say run(args);
    const int status = run.wait();
    return {status, run.err()};
}

const std::vector<fixtures::Section> kBook = {
    {"Chapter One", {"It was a bright cold day in April, and the clocks were striking thirteen."}},
    {"第二章", {"Outside, even through the shut window-pane, the world looked cold."}},
    {"Chapter Three", {"The hallway smelt of boiled cabbage and old rag mats."}},
};

// When each chapter's first word starts (ms), from a word timing file: the first word at or after the
// chapter's position in the document's text.
std::vector<uint64_t> firstWords(const std::string& epub, const std::string& json) {
    auto document = documents::Document::open(epub);
    std::u16string text;
    std::vector<documents::Chapter> chapters;
    while (document.value()->read(text, chapters)) {
    }
    std::vector<std::pair<uint64_t, uint64_t>> words;  // offset, start
    const auto number = [&](size_t at, std::string_view key) { return std::stoull(json.substr(at + key.size())); };
    for (size_t at = json.find("\"offset\":"); at != std::string::npos; at = json.find("\"offset\":", at + 1))
        words.emplace_back(number(at, "\"offset\":"), number(json.find("\"startMs\":", at), "\"startMs\":"));
    std::vector<uint64_t> starts;
    for (const auto& c : chapters) {
        const auto at = std::find_if(words.begin(), words.end(), [&](const auto& w) { return w.first >= c.position; });
        if (at != words.end()) starts.push_back(at->second);
    }
    return starts;
}

TEST(SayBook, OneFileHoldsTheChaptersWhereTheirFirstWordsStartWithTheBooksTagsAndCover) {
    TempDir dir;
    const fixtures::Facts facts{"Herman Melville", "Mary Shelley", "1851-10-18", "en",
                                testing_support::pngImage(64, 80)};
    fixtures::writeFile(dir.file("book.epub"), fixtures::epub(kBook, facts));
    const Done wav = say({"--output", dir.file("book.wav"), "--timings", dir.file("book.json"), "--timings-unit",
                          "word", "--file", dir.file("book.epub")});
    ASSERT_EQ(wav.status, 0) << wav.err;
    const Done m4b = say({"--output", dir.file("book.m4b"), "--file", dir.file("book.epub")});
    ASSERT_EQ(m4b.status, 0) << m4b.err;

    const auto words = firstWords(dir.file("book.epub"), testing_support::readFile(dir.file("book.json")));
    ASSERT_EQ(words.size(), kBook.size());
    // WAV: a cue point at the chapter's first word, to the sample (the word's time is rounded down).
    const auto cues = testing_support::waveCues(dir.file("book.wav"));
    ASSERT_EQ(cues.points.size(), kBook.size());
    for (size_t i = 0; i < kBook.size(); ++i) {
        EXPECT_EQ(uint64_t{cues.points[i].second} * 1000 / 22050, words[i]) << i;
        EXPECT_EQ(cues.labels[i].second, kBook[i].title);
    }
    // The audiobook: every chapter to the millisecond, the tags and the cover.
    const auto probe = testing_support::probe(dir.file("book.m4b"));
    ASSERT_EQ(probe.chapters.size(), kBook.size());
    for (size_t i = 0; i < kBook.size(); ++i) {
        EXPECT_EQ(probe.chapters[i].startMs, static_cast<double>(words[i])) << i;
        EXPECT_EQ(probe.chapters[i].title, kBook[i].title);
    }
    const std::map<std::string, std::string> tags{{"title", "Fixture Book"},
                                                  {"artist", "Herman Melville, Mary Shelley"},
                                                  {"album_artist", "Herman Melville, Mary Shelley"},
                                                  {"album", "Fixture Book"},
                                                  {"genre", "Audiobook"},
                                                  {"date", "1851"}};
    for (const auto& [key, value] : tags) EXPECT_EQ(probe.tags.count(key) ? probe.tags.at(key) : "", value) << key;
    EXPECT_EQ(probe.coverPictures, 1);
    EXPECT_EQ(probe.audioCodec, "aac");
}

TEST(SayBook, ABookWithoutChaptersOrWithABrokenCoverIsStillOneBook) {
    TempDir dir;
    // A page without headings: one chapter, titled by the page.
    fixtures::writeFile(dir.file("page.html"),
                        "<html><head><title>The Page</title></head><body><p>Just some "
                        "words.</p></body></html>");
    fixtures::Facts facts{"A", "B", "2001", "en", "not an image"};
    fixtures::writeFile(dir.file("book.epub"), fixtures::epub(kBook, facts));
    const struct {
        std::string input;
        std::string output;
        std::vector<std::string> chapters;
        std::string says;
    } cases[] = {
        {"page.html", "page.m4b", {"The Page"}, ""},
        {"book.epub", "book.mp3", {"Chapter One", "第二章", "Chapter Three"}, "The cover image is left out of"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        const Done done = say({"--output", dir.file(c.output), "--file", dir.file(c.input)});
        ASSERT_EQ(done.status, 0) << done.err;
        EXPECT_NE(done.err.find(c.says), std::string::npos) << done.err;
        const auto probe = testing_support::probe(dir.file(c.output));
        std::vector<std::string> titles;
        for (const auto& chapter : probe.chapters) titles.push_back(chapter.title);
        EXPECT_EQ(titles, c.chapters);
        EXPECT_EQ(probe.coverPictures, 0);
    }
}

TEST(SayBook, ChapterFilesAreNamedForEveryFileSystemAndTaggedAsTracks) {
    TempDir dir;
    const std::vector<fixtures::Section> hostile = {
        {"Part 1: \"Begin\"?", {"One."}},
        {"\u202Eevil/../x*<>|\\", {"Two."}},
        {std::string(5000, 'y'), {"Three."}},
    };
    fixtures::writeFile(dir.file("book.epub"),
                        fixtures::epub(hostile, fixtures::Facts{"Ann Author", "", "2001", "en", ""}));
    const Done done = say(
        {"--file", dir.file("book.epub"), "--chapters", "--output", dir.file("parts/"), "--chapters-format", "mp3"});
    ASSERT_EQ(done.status, 0) << done.err;
    const std::string names[] = {"01-Part 1 Begin.mp3", "02-evil .. x.mp3", "03-" + std::string(100, 'y') + ".mp3"};
    for (size_t i = 0; i < std::size(names); ++i) {
        SCOPED_TRACE(names[i]);
        ASSERT_TRUE(fs::exists(dir.file("parts/" + names[i])));
        auto probe = testing_support::probe(dir.file("parts/" + names[i]));
        EXPECT_EQ(probe.tags["track"], std::to_string(i + 1) + "/3");
        EXPECT_EQ(probe.tags["album"], "Fixture Book");
        EXPECT_EQ(probe.tags["artist"], "Ann Author");
        // The chapter's title as the document gives it (a reader keeps a few hundred bytes of one), made
        // fit for a tag.
        const std::string title = probe.tags["title"];
        EXPECT_FALSE(title.empty());
        EXPECT_EQ(title, speech::tagText(hostile[i].title, 1024).substr(0, title.size()));
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.file("parts")), fs::directory_iterator()), 3);
}

// A text long enough for a few synthesis chains, each of which a render that can resume keeps.
std::string longText(int paragraphs = 12) {
    std::string text;
    for (int paragraph = 0; paragraph < paragraphs; ++paragraph) {
        for (int sentence = 0; sentence < 8; ++sentence)
            text += "Paragraph " + std::to_string(paragraph) + " says sentence " + std::to_string(sentence) +
                    " of its eight, and then some. ";
        text += "\n";
    }
    return text;
}

void writeLongText(const std::string& path) {
    std::ofstream(path) << longText();
}

// Runs `args` until the journal in `folder` keeps some audio (its state lists a unit; or until `kept`
// says so), then (after `meanwhile`) stops it with `signal`.
void stopOnceKept(const std::vector<std::string>& args, const std::string& folder, int signal,
                  const std::function<void()>& meanwhile = {}, std::function<bool()> kept = {}) {
    if (!kept) kept = [&] { return testing_support::readFile(folder + "/state").find("\nunit ") != std::string::npos; };
    Say run(args);
    // Polled: the journal's state file is renamed into place when the first unit's audio is kept.
    for (int i = 0; i < 24000 && !kept(); ++i) ::usleep(5000);
    ASSERT_TRUE(kept()) << "nothing was kept";
    // Held while `meanwhile` runs, so that it finds the render still going, whatever the machine's speed.
    if (meanwhile) {
        run.kill(SIGSTOP);
        meanwhile();
    }
    run.kill(signal);
    if (meanwhile) run.kill(SIGCONT);
    EXPECT_EQ(run.wait(), 128 + signal);
}

TEST(SayBook, AStoppedRenderResumesWithTheSameBytesAndOnlyOneRunsAtATime) {
    TempDir dir;
    writeLongText(dir.file("book.txt"));
    const std::vector<std::string> render{"--resume", "--output", dir.file("book.wav"), "--file", dir.file("book.txt")};
    ASSERT_EQ(say({"--output", dir.file("plain.wav"), "--file", dir.file("book.txt")}).status, 0);
    const std::string plain = testing_support::readFile(dir.file("plain.wav"));
    ASSERT_EQ(say({"--resume", "--output", dir.file("whole.wav"), "--file", dir.file("book.txt")}).status, 0);
    EXPECT_TRUE(testing_support::readFile(dir.file("whole.wav")) == plain) << "--resume changed the audio";

    // A second render of the same output is refused while one runs; killed once its journal keeps
    // some audio, the same command then goes on and gives the same bytes.
    stopOnceKept(render, dir.file(".book.wav.resume"), SIGKILL, [&] {
        const Done second = say(render);
        EXPECT_EQ(second.status, 1);
        EXPECT_NE(second.err.find("Another render of"), std::string::npos) << second.err;
    });
    EXPECT_FALSE(fs::exists(dir.file("book.wav")));
    const Done resumed = say(render);
    ASSERT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_NE(resumed.err.find("going on after the "), std::string::npos) << resumed.err;
    EXPECT_TRUE(testing_support::readFile(dir.file("book.wav")) == plain);
    EXPECT_FALSE(fs::exists(dir.file(".book.wav.resume")));

    // Stopped again, then run with other options, lexicons or engine data: it says why it starts over.
    const auto stopInSecondPart = [&] { stopOnceKept(render, dir.file(".book.wav.resume"), SIGINT); };
    stopInSecondPart();
    std::vector<std::string> faster = render;
    faster.insert(faster.begin(), {"--rate", "3"});
    const Done restarted = say(faster);
    ASSERT_EQ(restarted.status, 0) << restarted.err;
    EXPECT_NE(restarted.err.find("cannot be used (the options have changed since); the render starts over"),
              std::string::npos)
        << restarted.err;
    EXPECT_FALSE(testing_support::readFile(dir.file("book.wav")) == plain);

    // A lexicon that changes a reading: the render starts over rather than mixing both readings.
    stopInSecondPart();
    std::ofstream(dir.file("book.pls")) << "<lexicon version=\"1.0\"><lexeme><grapheme>Paragraph</grapheme>"
                                           "<alias>Chapter</alias></lexeme></lexicon>";
    std::vector<std::string> withLexicon = render;
    withLexicon.insert(withLexicon.begin(), {"--lexicon", dir.file("book.pls")});
    const Done relexed = say(withLexicon);
    ASSERT_EQ(relexed.status, 0) << relexed.err;
    EXPECT_NE(relexed.err.find("the lexicons or the speech data have changed since"), std::string::npos) << relexed.err;

    // The engine's data changed (its folder, here links to the installed one's files, gains a file).
    espeak_ng_InitializePath(nullptr);  // where espeak-ng finds its data, without starting the engine
    const char* installed = nullptr;
    espeak_Info(&installed);
    ASSERT_NE(installed, nullptr);
    fs::create_directories(dir.file("espeak/espeak-ng-data"));
    for (const auto& entry : fs::directory_iterator(installed))
        fs::create_symlink(entry.path(), dir.file("espeak/espeak-ng-data/") + entry.path().filename().string());
    ::setenv("ESPEAK_DATA_PATH", dir.file("espeak").c_str(), 1);
    stopInSecondPart();
    std::ofstream(dir.file("espeak/espeak-ng-data/added")) << "an update";
    const Done updated = say(render);
    ::unsetenv("ESPEAK_DATA_PATH");
    ASSERT_EQ(updated.status, 0) << updated.err;
    EXPECT_NE(updated.err.find("the lexicons or the speech data have changed since"), std::string::npos) << updated.err;
}

// The bytes of the file at `path`, or of every file in the folder at `path` with its name.
std::string contents(const std::string& path) {
    if (!fs::is_directory(path)) return testing_support::readFile(path);
    std::map<std::string, std::string> files;
    for (const auto& e : fs::directory_iterator(path)) files[e.path().filename()] = testing_support::readFile(e.path());
    std::string all;
    for (const auto& [name, bytes] : files) all += name + '\n' + bytes;
    return all;
}

// Stopped part way and resumed, a render with --resume has the bytes of the same command without it:
// a book whose chapters are marked by the voice's bookmarks, a Chinese text, a text read as markup
// (it starts with "<"), each into a lossless file of another rate than the voice's; and talking books,
// killed once a part is kept.
TEST(SayBook, AResumedRenderIsThePlainRender) {
    std::string chinese;
    for (int i = 0; i < 40; ++i)
        chinese += "第" + std::to_string(i) + "段：银行的行长说，我们明天去长城看看，天气很好。他们都很高兴。\n";
    std::vector<fixtures::Section> chapters;
    for (int i = 0; i < 4; ++i) chapters.push_back({"Chapter " + std::to_string(i + 1), {longText(3)}});
    const struct {
        const char* input;
        std::string bytes;
        const char* output;
        std::vector<std::string> options;
    } rows[] = {
        {"book.epub", fixtures::epub(chapters, fixtures::Facts{"Ann Author", "", "2001", "en", ""}), "book.flac", {}},
        {"book.txt", chinese, "book.wav", {"--voice", "Chinese (Mandarin)", "--format", "38"}},
        {"book.txt", "<speak>" + longText(6) + "</speak>", "book.wav", {"--format", "6"}},
        {"book.epub", fixtures::epub(chapters), "book.daisy/", {}},
        {"book.epub", fixtures::epub(chapters), "narrated.epub", {"--overlay", "word"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.output + std::string(" from ") + row.input);
        TempDir dir;
        fixtures::writeFile(dir.file(row.input), row.bytes);
        std::vector<std::string> plain = row.options;
        plain.insert(plain.end(),
                     {"--output", dir.file(std::string("plain-") + row.output), "--file", dir.file(row.input)});
        const Done made = say(plain);
        ASSERT_EQ(made.status, 0) << made.err;
        std::vector<std::string> resumable = row.options;
        resumable.insert(resumable.end(),
                         {"--resume", "--output", dir.file(row.output), "--file", dir.file(row.input)});
        // The EPUB book is killed once a part is kept whole, the DAISY book inside its first part, once
        // that part's own journal keeps audio and the log of its times goes past it.
        const std::string_view name = std::string_view(row.output);
        const std::string journal = dir.file("." + std::string(name.substr(0, name.find('/'))) + ".resume");
        std::function<bool()> kept;
        if (name.ends_with(".epub")) kept = [&] { return fs::exists(journal + "/part.0"); };
        if (name.ends_with("/"))
            kept = [&] {
                const std::string state = testing_support::readFile(journal + "/.s0001.mp3.resume/state");
                uint64_t bytes = 0;  // of 16-bit mono
                for (size_t at = state.find("\nunit "); at != std::string::npos; at = state.find("\nunit ", at + 1))
                    bytes += 2 * std::stoull(state.substr(at + 6));
                // The last field of the log's last whole line: the byte of its last event.
                const std::string times = testing_support::readFile(journal + "/s0001.mp3.times");
                const size_t end = times.rfind('\n');
                return bytes > 0 && end != std::string::npos &&
                       std::stoull(times.substr(times.rfind(' ', end) + 1)) >= bytes;
            };
        stopOnceKept(resumable, journal, SIGKILL, {}, kept);
        const Done resumed = say(resumable);
        ASSERT_EQ(resumed.status, 0) << resumed.err;
        EXPECT_NE(resumed.err.find(name.ends_with("/") ? "going on in part " : "going on after the "),
                  std::string::npos)
            << resumed.err;
        EXPECT_TRUE(contents(dir.file(row.output)) == contents(dir.file(std::string("plain-") + row.output)))
            << "the resumed file differs from the plain render";
        EXPECT_FALSE(fs::exists(journal));
    }
}

// A talking book's journal that was damaged or made for other options is not used: the book says why
// and is made whole again, the same bytes as without --resume when only the journal was damaged.
TEST(SayBook, ABookJournalThatCannotBeUsedSaysWhyAndTheBookStartsOver) {
    std::vector<fixtures::Section> chapters;
    for (int i = 0; i < 4; ++i) chapters.push_back({"Chapter " + std::to_string(i + 1), {longText(2)}});
    TempDir dir;
    fixtures::writeFile(dir.file("book.epub"), fixtures::epub(chapters));
    ASSERT_EQ(say({"--output", dir.file("plain.epub"), "--file", dir.file("book.epub")}).status, 0);
    const std::string journal = dir.file(".narrated.epub.resume");
    const auto appendTo = [](const std::string& path) { std::ofstream(path, std::ios::app) << 'x'; };
    const struct {
        const char* what;
        std::function<void()> change;
        std::vector<std::string> options;
        const char* why;
    } rows[] = {
        {"a part's list damaged", [&] { appendTo(journal + "/part.0"); }, {}, "its state is damaged"},
        {"a kept part's audio changed",
         [&] {
             std::istringstream list(testing_support::readFile(journal + "/part.0"));
             std::string heading, word, index, audio;  // "part 0 AUDIO ..." after the heading
             std::getline(list, heading);
             list >> word >> index >> audio;
             appendTo(journal + "/" + audio);
         },
         {},
         "the audio of a part it kept has changed since"},
        {"other options", [] {}, {"--rate", "2"}, "the input or the options have changed since"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<std::string> render{"--resume", "--output", dir.file("narrated.epub"), "--file",
                                        dir.file("book.epub")};
        stopOnceKept(render, journal, SIGKILL, {}, [&] { return fs::exists(journal + "/part.0"); });
        row.change();
        render.insert(render.end(), row.options.begin(), row.options.end());
        const Done resumed = say(render);
        ASSERT_EQ(resumed.status, 0) << resumed.err;
        EXPECT_NE(resumed.err.find(std::string("cannot be used (") + row.why + "); the book starts over"),
                  std::string::npos)
            << resumed.err;
        EXPECT_EQ(contents(dir.file("narrated.epub")) == contents(dir.file("plain.epub")), row.options.empty());
        EXPECT_FALSE(fs::exists(journal));
    }
}

}  // namespace
