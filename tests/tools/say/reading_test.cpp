// SPDX-License-Identifier: GPL-3.0-or-later
// What tallamo-say reads and how: standard input as it comes, documents and PDFs through their readers,
// the Mandarin reading and the user's lexicons, English words inside Chinese.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <espeak-ng/espeak_ng.h>

#include "tests/support/audio_server.h"
#include "tests/support/document_fixtures.h"
#include "tests/support/test_files.h"
#include "tests/tools/say/say_process.h"

namespace fs = std::filesystem;
using namespace say_test;

TEST(Say, ReadsStandardInputLikeATextFile) {
    const fs::path dir = fs::temp_directory_path() / ("tallamo-say-stdin-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string text = "你好，世界。Hello.";
    ASSERT_EQ(runSay({"--output", (dir / "arg.wav").string(), text}).status, 0);
    const std::string expected = readAll(dir / "arg.wav");
    ASSERT_GT(expected.size(), 44u);

    // UTF-8, UTF-16LE with its byte-order mark, and GB18030 (no mark, not UTF-8).
    std::string utf16 = "\xFF\xFE";
    for (char16_t u : u"你好，世界。Hello.") {
        if (u == 0) break;
        utf16 += static_cast<char>(u & 0xFF);
        utf16 += static_cast<char>(u >> 8);
    }
    struct Case {
        std::string bytes;
        std::vector<std::string> extra;
        std::string shell = {};  // run before the tool, in its shell
    };
    const std::string gb18030 = "\xC4\xE3\xBA\xC3\xA3\xAC\xCA\xC0\xBD\xE7\xA1\xA3Hello.";
    // A named pipe can be read once only, and opening it again waits for a writer that never comes.
    const std::string fifo = (dir / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string writer = "(cat " + quote((dir / "in.txt").string()) + " >" + quote(fifo) + " &);";
    const std::string srt = (dir / "t.srt").string();
    const Case cases[] = {{text, {}},
                          {text, {"--file", "-"}},
                          {utf16, {}},
                          {gb18030, {}},
                          {gb18030, {"--file", fifo}, writer},
                          {text, {"--file", fifo, "--timings", srt}, writer}};
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        std::ofstream(dir / "in.txt", std::ios::binary) << cases[i].bytes;
        std::vector<std::string> args{"--output", (dir / "in.wav").string()};
        args.insert(args.end(), cases[i].extra.begin(), cases[i].extra.end());
        const SayRun r = runSay(args, dir / "in.txt", cases[i].shell);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(readAll(dir / "in.wav") == expected) << "not the audio of the same text given as an argument";
    }

    // A document on standard input is read as one whose file is named, not decoded as text.
    fixtures::writeFile((dir / "book.epub").string(), fixtures::epub({{"第一章", {"你好。"}}, {"Two", {"Hello."}}}));
    ASSERT_EQ(runSay({"--output", (dir / "named.wav").string(), "--file", (dir / "book.epub").string()}).status, 0);
    const SayRun piped =
        runSay({"--output", (dir / "piped.wav").string(), "--timings", (dir / "t.srt").string()}, dir / "book.epub");
    ASSERT_EQ(piped.status, 0) << piped.err;
    EXPECT_TRUE(readAll(dir / "piped.wav") == readAll(dir / "named.wav"));
    EXPECT_NE(readAll(dir / "t.srt").find("\n第一章\n"), std::string::npos) << readAll(dir / "t.srt");
    fs::remove_all(dir);
}

TEST(Say, NoMixedScriptLeavesEnglishWordsToTheMandarinVoice) {
    const fs::path wav = fs::temp_directory_path() / ("tallamo-say-mixed-" + std::to_string(::getpid()) + ".wav");
    auto phonemes = [&](bool mixed) {
        std::vector<std::string> args{"--output", wav.string(),         "--events",
                                      "--voice",  "Chinese (Mandarin)", "我用editor"};
        if (!mixed) args.insert(args.begin(), "--no-mixed-script");
        SayRun r = runSay(args);
        EXPECT_EQ(r.status, 0) << r.err;
        std::string out;
        for (const auto& l : r.lines()) {
            if (l.find("\"event\":\"Phoneme\"") != std::string::npos) out += l.substr(l.find("\"current\""));
        }
        return out;
    };
    const std::string mixed = phonemes(true);
    EXPECT_FALSE(mixed.empty());
    EXPECT_NE(mixed, phonemes(false));
    fs::remove(wav);
}

// A document's chapters as bookmarks in one render, and as a file each, with each file's timings
// counted from its own start and in its own text.
// PDF is read by a module beside the engine: a copy of the program where it cannot find that module
// says so, fails, and writes nothing, while the built program reads the same file.
TEST(Say, APdfIsReadThroughItsModuleAndRefusedWithTheReasonWithoutIt) {
    Folder dir;
    fixtures::writeFile(dir / "a.pdf", fixtures::pdf({{"Hello from a page."}}));
    SayRun built = runSay({"--file", dir / "a.pdf", "--output", dir / "a.wav"});
    EXPECT_EQ(built.status, 0) << built.err;
    EXPECT_GT(infoOf(dir / "a.wav").seconds, 0.5);

    fs::copy_file(TALLAMO_SAY, dir / "tallamo-say");
    const fs::path engine = fs::path(TALLAMO_SAY).parent_path() / ".." / "libexec" / "tallamo" / "tallamo-engine";
    SayRun lone = runSay({"--file", dir / "a.pdf", "--output", dir / "b.wav"}, "/dev/null",
                         "TALLAMO_ENGINE=" + quote(engine.string()), dir / "tallamo-say");
    EXPECT_EQ(lone.status, 1);
    EXPECT_NE(lone.err.find("a.pdf\" is a PDF file, and the PDF reader (tallamo-pdf) is not installed"),
              std::string::npos)
        << lone.err;
    EXPECT_FALSE(fs::exists(dir / "b.wav"));
}

namespace {

// The child of `parent` that runs `program`, once there is one (nothing when `parent` ends first).
std::optional<pid_t> childRunning(pid_t parent, const std::string& program) {
    for (;;) {
        if (::kill(parent, 0) != 0) return std::nullopt;
        for (const auto& child : testing_support::childProcesses(parent)) {
            if (child.name == program) return child.pid;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace

// A PDF page whose content would take gigabytes is skipped and named, the rest spoken; a page that
// draws itself without end is given up, and a stop signal ends its reading (and its helper) at once.
TEST(Say, APdfPageThatCannotBeReadIsNamedAndSkippedAndAStopSignalEndsItsReadingAtOnce) {
    Folder dir;
    const fixtures::PdfPage one{fixtures::PdfPage::Text, "Page one.", 0};
    const fixtures::PdfPage three{fixtures::PdfPage::Text, "Page three.", 0};
    fixtures::writeFile(dir / "pages.pdf",
                        fixtures::handMadePdf({one, {fixtures::PdfPage::Inflating, {}, 2000}, three}));
    SayRun pages = runSay({"--file", dir / "pages.pdf", "--output", dir / "pages.wav", "--events"});
    EXPECT_EQ(pages.status, 0) << pages.err;
    EXPECT_EQ(pages.err, "tallamo-say: Page 2 of \"" + (dir / "pages.pdf") +
                             "\" was skipped: it needs more than 256 MB of memory.\n");
    const auto lines = pages.lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.find("\"Sentence\"") != std::string::npos; }),
              2);

    fixtures::writeFile(dir / "forms.pdf", fixtures::handMadePdf({{fixtures::PdfPage::NestedForms, {}, 0}}));
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        LiveSay render({}, {"--file", dir / "forms.pdf", "--output", dir / "forms.wav"}, false);
        ASSERT_TRUE(render.started());
        const auto helper = childRunning(render.pid(), "tallamo-pdf");
        ASSERT_TRUE(helper.has_value()) << render.err();
        ::kill(render.pid(), signal);
        const int status = render.finish();
        ASSERT_TRUE(WIFEXITED(status)) << "killed by the signal";
        EXPECT_EQ(WEXITSTATUS(status), 128 + signal) << render.err();
        EXPECT_NE(::kill(*helper, 0), 0) << "the PDF reader was left running";
        EXPECT_FALSE(fs::exists(dir / "forms.wav"));
    }
}

// --pinyin prints the reading the Mandarin voice is sent; --lexicon files and the user's own lexicon
// change it (an alias in any language, pinyin for a word); a malformed lexicon ends the run with its
// line and reason; without the Mandarin lexicon, --pinyin fails and speech goes on by the engine's rules.
TEST(Say, PrintsTheMandarinReadingAndTakesTheUsersLexicons) {
    Folder dir;
    const std::string text = "他在银行工作，涨了3.5%。哪儿有MP3？";
    const struct {
        std::vector<std::string> args;
        std::string environment;
        std::string out;
    } cases[] = {
        {{"--pinyin", text},
         "",
         "ta1 zai4 yin2 hang2 gong1 zuo4 ， zhang3 le5 bai3 fen1 zhi1 san1 dian3 wu3 。 nar3 you3 MP3？\n"},
        {{"--pinyin=marks", text},
         "",
         "tā zài yín háng gōng zuò ， zhǎng le bǎi fēn zhī sān diǎn wǔ 。 nǎr yǒu MP3？\n"},
        {{"--pinyin=spoken", text},
         "",
         "ta1 zai4 yin2 hang2 gong1 zuo4 ， zhang3 le5 bai3 fen1 zhi1 san1 dian2 wu3 。 nar2 you3 MP3？\n"},
        {{"--lexicon", dir / "a.pls", "--pinyin", text},
         "",
         "ta1 zai4 yin2 xing2 gong1 zuo4 ， zhang3 le5 bai3 fen1 zhi1 san1 dian3 wu3 。 nar3 you3 yin1 yue4 bo1 fang4 "
         "qi4 ？\n"},
        {{"--pinyin", "工作"}, "XDG_CONFIG_HOME=" + dir.path.string(), "gong1 zuo5\n"},
    };
    fixtures::writeFile(dir / "a.pls",
                        "<lexicon version=\"1.0\" alphabet=\"x-pinyin\">"
                        "<lexeme><grapheme>银行</grapheme><phoneme>yin2 xing2</phoneme></lexeme>"
                        "<lexeme><grapheme>MP3</grapheme><alias>音乐播放器</alias></lexeme></lexicon>");
    fs::create_directories(dir.path / "tallamo");
    fixtures::writeFile(dir / "tallamo/lexicon.pls",
                        "<lexicon version=\"1.0\" alphabet=\"x-pinyin\">"
                        "<lexeme><grapheme>工作</grapheme><phoneme>gong1 zuo5</phoneme></lexeme></lexicon>");
    for (const auto& c : cases) {
        const SayRun r = runSay(c.args, "/dev/null", c.environment);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, c.out);
    }

    fixtures::writeFile(dir / "bad.pls",
                        "<lexicon version=\"1.0\">\n<lexeme>\n<grapheme>x</grapheme></lexeme>\n</lexicon>");
    const SayRun bad = runSay({"--lexicon", dir / "bad.pls", "--pinyin", text});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find(dir / "bad.pls" + ":2: a <lexeme> without a <phoneme> or an <alias>"), std::string::npos)
        << bad.err;
    EXPECT_EQ(runSay({"--pinyin=numbers", text}).status, 2);

    const std::string noLexicon = "TALLAMO_MANDARIN_LEXICON=" + dir / "missing.lex";
    const SayRun unread = runSay({"--pinyin", text}, "/dev/null", noLexicon);
    EXPECT_EQ(unread.status, 1);
    EXPECT_NE(unread.err.find("missing.lex"), std::string::npos) << unread.err;
    const SayRun spoken = runSay({"--output", dir / "out.wav", text}, "/dev/null", noLexicon);
    EXPECT_EQ(spoken.status, 0) << spoken.err;
    EXPECT_NE(spoken.err.find("Chinese is read by the engine's own rules"), std::string::npos) << spoken.err;
    EXPECT_GT(fs::file_size(dir / "out.wav"), 10000u);

    // Without the polyphone model the rules read alone, and say so.
    const SayRun rulesOnly = runSay({"--pinyin", text}, "/dev/null", "TALLAMO_MANDARIN_MODEL=" + dir / "missing.model");
    EXPECT_EQ(rulesOnly.status, 0) << rulesOnly.err;
    EXPECT_NE(rulesOnly.err.find("missing.model"), std::string::npos) << rulesOnly.err;
    EXPECT_EQ(rulesOnly.out.substr(0, 12), "ta1 zai4 yin");
}

// Standard input is spoken as it comes: a line whose writer then waits (as `tail -f` does) is heard
// while the writer still holds the pipe open, and the next line when it comes.
TEST(Say, StandardInputIsSpokenAsItComes) {
    TALLAMO_NEED_AUDIO_SERVER();
    int in[2];
    int out[2];
    ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::execl(TALLAMO_SAY, TALLAMO_SAY, "--events", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    std::string events;
    // Reads the events until `word` has been spoken; false when the output ends or stays silent for
    // 30 s (the line was not spoken while the writer waits).
    auto heard = [&](const std::string& word) {
        char buffer[4096];
        for (;;) {
            const size_t at = events.find("\"event\":\"Word\"");
            for (size_t w = at; w != std::string::npos; w = events.find("\"event\":\"Word\"", w + 1)) {
                if (events.find("\"pos\":" + word, w) < events.find('\n', w)) return true;
            }
            pollfd p{out[0], POLLIN, 0};
            if (::poll(&p, 1, 30000) <= 0) return false;
            const ssize_t n = ::read(out[0], buffer, sizeof buffer);
            if (n <= 0) return false;
            events.append(buffer, static_cast<size_t>(n));
        }
    };
    const std::string first = "Hello there.\n";
    ASSERT_EQ(::write(in[1], first.data(), first.size()), static_cast<ssize_t>(first.size()));
    EXPECT_TRUE(heard("6,")) << "\"there\" was not spoken while the writer waited";
    const std::string second = "And more.\n";
    ASSERT_EQ(::write(in[1], second.data(), second.size()), static_cast<ssize_t>(second.size()));
    EXPECT_TRUE(heard("17,")) << "\"more\" was not spoken while the writer waited";
    ::close(in[1]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(out[0]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
