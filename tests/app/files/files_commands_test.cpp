// SPDX-License-Identifier: GPL-3.0-or-later
// The three file commands driven through the real window: open a text file or a document, save
// speech to a WAV file, speak a WAV file. The voice runs over the scripted synthesizer and a virtual
// device, so lengths are exact and no audio server is needed.
#include <sndfile.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QMenu>
#include <QPushButton>
#include <QTemporaryDir>
#include <cmath>

#include "app/dialogs/common_dialog.h"
#include "tests/app/window_fixture.h"
#include "tests/support/document_fixtures.h"
#include "tests/support/encodings.h"
#include "tests/support/voice_helpers.h"

namespace {

constexpr int kSamplesPerChar = 220;  // the scripted synthesizer's 10 ms per code point at 22050 Hz

void writeBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(bytes), bytes.size());
}

struct WavInfo {
    bool ok = false;
    int rate = 0;
    int channels = 0;
    int subformat = 0;
    sf_count_t frames = 0;
};

WavInfo readWavInfo(const QString& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (file == nullptr) return {};
    sf_close(file);
    return {(info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAV, info.samplerate, info.channels,
            info.format & SF_FORMAT_SUBMASK, info.frames};
}

// Writes `seconds` of a 440 Hz tone.
void writeTone(const QString& path, int rate, int channels, int subformat, double seconds) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | subformat;
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    const auto frames = static_cast<sf_count_t>(seconds * rate);
    std::vector<double> samples(static_cast<size_t>(frames * channels));
    for (sf_count_t i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            samples[static_cast<size_t>(i * channels + c)] = 0.5 * std::sin(2 * M_PI * 440.0 * double(i) / rate);
    EXPECT_EQ(sf_writef_double(file, samples.data(), frames), frames);
    sf_close(file);
}

class FilesTest : public WindowTest {
protected:
    testing_support::ScriptedBackends backends_{20.0};  // the virtual device plays 20 times real time
    QTemporaryDir dir_;

    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        useBackends(backends_.backends());
        load();
    }
    void TearDown() override {
        WindowTest::TearDown();
        speech::setPlatformDataDirForTesting(speech::platformDataDir());
    }
    QString path(const QString& name) const { return dir_.filePath(name); }
    QString text() const { return window->MainTxtBox->toPlainText(); }
    // Lines written to the debug pane since `before` lines were there.
    QStringList newLines(qsizetype before) const { return debugLines().mid(before); }
    void selectFormat(int type) {
        const int index = window->FormatCB->findData(type);
        ASSERT_GE(index, 0);
        window->selectComboEntry(window->FormatCB, index);
    }
    bool outputIsDevice() const {
        auto stream = window->Voice->AudioOutputStream();
        return stream && stream->kind() == speech::SpStream::Kind::Device;
    }
    bool idle() const { return !window->Speaking && !window->Voice->isBusy(); }
};

// ---- open a text file ----

TEST_F(FilesTest, OpenLoadsTheWholeFileWithoutADebugLine) {
    writeBytes(path("zh.txt"), QStringLiteral("你好，世界。\r\n第二行").toUtf8());
    window->MainTxtBox->setPlainText(QStringLiteral("old"));
    const qsizetype before = debugLines().size();
    dialogs->answerFile(path("zh.txt"));
    window->menuFileOpenText->trigger();
    EXPECT_EQ(text(), QStringLiteral("你好，世界。\r\n第二行").replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    EXPECT_TRUE(newLines(before).isEmpty()) << newLines(before).join('|').toStdString();

    ASSERT_EQ(dialogs->fileRequests.size(), 1u);
    const FileDialogRequest& request = dialogs->fileRequests[0];
    EXPECT_EQ(request.mode, FileDialogRequest::Mode::Open);
    EXPECT_EQ(request.title, QStringLiteral("打开文件"));
    EXPECT_EQ(request.flags, 0x1800);
    EXPECT_EQ(request.filter, QStringLiteral("所有文件 (*.*)|*.*|Text, XML 文件 (*.txt;*.xml)|*.txt;*.xml"));
    EXPECT_EQ(request.filterIndex, 2);

    // Invalid bytes arrive as replacement characters; an empty file empties the box.
    writeBytes(path("bad.txt"), QByteArray("ok\xFF\xFF"
                                           "end"));
    dialogs->answerFile(path("bad.txt"));
    window->menuFileOpenText_Click();
    EXPECT_EQ(text(), QStringLiteral("ok\uFFFD\uFFFDend"));
    writeBytes(path("empty.txt"), QByteArray());
    dialogs->answerFile(path("empty.txt"));
    window->menuFileOpenText_Click();
    EXPECT_TRUE(text().isEmpty());
    EXPECT_TRUE(exitStatuses.empty());
}

TEST_F(FilesTest, OpenGivesTheSameTextFromEveryEncoding) {
    for (const auto& copy : testing_support::encodedCopies(testing_support::kChineseText)) {
        SCOPED_TRACE(copy.label);
        writeBytes(path("copy.txt"), QByteArray::fromStdString(copy.bytes));
        window->MainTxtBox->clear();
        dialogs->answerFile(path("copy.txt"));
        window->menuFileOpenText_Click();
        EXPECT_EQ(text(), QString::fromUtf8(testing_support::kChineseText));
    }
}

TEST_F(FilesTest, OpenFailuresAreReportedAndKeepTheText) {
    window->MainTxtBox->setPlainText(QStringLiteral("keep me"));
    const qsizetype before = debugLines().size();

    dialogs->answerCancel();
    window->menuFileOpenText_Click();
    EXPECT_TRUE(newLines(before).isEmpty());

    dialogs->answerFile(path("missing.txt"));
    window->menuFileOpenText_Click();
    ASSERT_EQ(newLines(before).size(), 1);
    EXPECT_TRUE(newLines(before)[0].startsWith(QStringLiteral("Open file: ")));
    EXPECT_TRUE(newLines(before)[0].contains(QStringLiteral("missing.txt"))) << newLines(before)[0].toStdString();

    // Sparse files of NUL bytes: one character over the limit (decoded, then refused), and one so
    // large that its size alone refuses it before it is read.
    for (const qint64 bytes : {(qint64{32} << 20) + 1, qint64{1} << 30}) {
        QFile big(path("big.txt"));
        ASSERT_TRUE(big.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_TRUE(big.resize(bytes));
        big.close();
        dialogs->answerFile(path("big.txt"));
        window->menuFileOpenText_Click();
        const QString line = newLines(before).value(newLines(before).size() - 1);
        EXPECT_TRUE(line.startsWith(QStringLiteral("Open file: ")) &&
                    line.contains(QStringLiteral("more text than the text box can take")))
            << line.toStdString();
    }
    EXPECT_EQ(newLines(before).size(), 3);

    EXPECT_EQ(text(), QStringLiteral("keep me"));
    EXPECT_TRUE(exitStatuses.empty());
}

TEST_F(FilesTest, AFileNamedOnTheCommandLineOpensAsTheOpenCommandWould) {
    writeBytes(path("zh.txt"), QStringLiteral("第一行\n第二行").toUtf8());
    writeBytes(path("bad.txt"), QByteArray("ok\xFF"
                                           "end"));
    writeBytes(path("book.epub"), QByteArray::fromStdString(fixtures::epub({{"第一章", {"你好。"}}})));
    for (const QString& name : {QStringLiteral("zh.txt"), QStringLiteral("bad.txt"), QStringLiteral("book.epub")}) {
        SCOPED_TRACE(name.toStdString());
        window->MainTxtBox->setPlainText(QStringLiteral("before"));
        dialogs->answerFile(path(name));
        window->menuFileOpenText_Click();
        const QString opened = text();

        window->MainTxtBox->setPlainText(QStringLiteral("before"));
        const qsizetype before = debugLines().size();
        window->openTextFile(path(name));
        EXPECT_EQ(text(), opened);
        EXPECT_TRUE(newLines(before).isEmpty()) << newLines(before).join('|').toStdString();
    }

    // No dialog has checked that the file exists: reading it reports the failure.
    window->MainTxtBox->setPlainText(QStringLiteral("before"));
    const qsizetype before = debugLines().size();
    window->openTextFile(path("missing.txt"));
    ASSERT_EQ(newLines(before).size(), 1);
    EXPECT_TRUE(newLines(before)[0].startsWith(QStringLiteral("Open file: ")));
    EXPECT_TRUE(newLines(before)[0].contains(QStringLiteral("missing.txt"))) << newLines(before)[0].toStdString();
    EXPECT_EQ(text(), QStringLiteral("before"));
    EXPECT_TRUE(exitStatuses.empty());
}

TEST_F(FilesTest, OpenLoadsADocumentsTextAndReportsABrokenDocument) {
    const std::vector<fixtures::Section> book = {{"第一章", {"今天天气很好。", "It was a bright cold day."}},
                                                 {"Chapter Two", {"The end."}}};
    const std::string epub = fixtures::epub(book);
    const QString expected = QString::fromStdString(fixtures::expectedText(book));
    const struct {
        const char* file;
        std::string bytes;
        QString text;
    } cases[] = {
        {"book.epub", epub, expected},
        {"letter.docx", fixtures::docx(book, "A note."), expected + QStringLiteral("\n\nA note.")},
    };
    const qsizetype before = debugLines().size();
    for (const auto& c : cases) {
        writeBytes(path(c.file), QByteArray::fromStdString(c.bytes));
        dialogs->answerFile(path(c.file));
        window->menuFileOpenText_Click();
        EXPECT_EQ(text(), c.text) << c.file;
    }
    EXPECT_TRUE(newLines(before).isEmpty()) << newLines(before).join('|').toStdString();

    writeBytes(path("cut.epub"), QByteArray::fromStdString(epub.substr(0, epub.size() / 2)));
    dialogs->answerFile(path("cut.epub"));
    window->menuFileOpenText_Click();
    ASSERT_EQ(newLines(before).size(), 1);
    EXPECT_TRUE(newLines(before)[0].startsWith(QStringLiteral("Open file: ")) &&
                newLines(before)[0].contains(QStringLiteral("cut.epub\" is a damaged")))
        << newLines(before)[0].toStdString();
    EXPECT_EQ(text(), cases[1].text);
}

// A PDF page whose content would take gigabytes is given up: the other pages open, and a PDF without
// another page takes Open's failure path; the window is usable afterwards, its busy cursor gone.
TEST_F(FilesTest, OpenGivesUpOnAPdfPageThatCannotBeReadAndStaysUsable) {
    const fixtures::PdfPage bomb{fixtures::PdfPage::Inflating, {}, 2000};
    writeBytes(path("pages.pdf"),
               QByteArray::fromStdString(fixtures::handMadePdf(
                   {{fixtures::PdfPage::Text, "Page one.", 0}, bomb, {fixtures::PdfPage::Text, "Page three.", 0}})));
    writeBytes(path("bomb.pdf"), QByteArray::fromStdString(fixtures::handMadePdf({bomb})));
    writeBytes(path("after.txt"), QByteArrayLiteral("After."));
    const qsizetype before = debugLines().size();
    window->openTextFile(path("pages.pdf"));
    EXPECT_EQ(text(), QStringLiteral("Page one.\n\nPage three."));
    EXPECT_TRUE(newLines(before).isEmpty()) << newLines(before).join('|').toStdString();

    window->openTextFile(path("bomb.pdf"));
    EXPECT_EQ(newLines(before), QStringList{QStringLiteral("Open file: The file \"%1\" has no page that could be read "
                                                           "(page 1: it needs more than 256 MB of memory).")
                                                .arg(path("bomb.pdf"))});
    EXPECT_EQ(text(), QStringLiteral("Page one.\n\nPage three."));
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    window->openTextFile(path("after.txt"));
    EXPECT_EQ(text(), QStringLiteral("After."));
}

TEST_F(FilesTest, StartingFolderComesFromTheSamplePath) {
    QDir(dir_.path()).mkpath(QStringLiteral("data/samples/common"));
    speech::setPlatformDataDirForTesting(QFile::encodeName(path("data")).toStdString());
    const QString expected = path("data") + QStringLiteral("/samples/common");
    EXPECT_EQ(window->GetDirectory(), expected);
    dialogs->answerCancel();
    window->menuFileOpenText_Click();
    EXPECT_EQ(dialogs->fileRequests.back().initDir, expected);

    // Without the value the result is empty and the dialog keeps its previous starting folder.
    speech::setPlatformDataDirForTesting("");
    EXPECT_EQ(window->GetDirectory(), QString());
    window->ComDlg->InitDir = QStringLiteral("/elsewhere");
    dialogs->answerCancel();
    window->menuFileOpenText_Click();
    EXPECT_EQ(dialogs->fileRequests.back().initDir, QStringLiteral("/elsewhere"));
}

// ---- save speech to a WAV file ----

TEST_F(FilesTest, SaveWritesEachSelectedFormat) {
    struct Case {
        int type;
        int rate;
        int channels;
        int subformat;
    };
    const QString spoken = QStringLiteral("Hello there, this is a test.");
    window->MainTxtBox->setPlainText(spoken);
    for (const Case& c : {Case{4, 8000, 1, SF_FORMAT_PCM_U8}, Case{22, 22050, 1, SF_FORMAT_PCM_16},
                          Case{33, 44100, 2, SF_FORMAT_PCM_U8}, Case{39, 48000, 2, SF_FORMAT_PCM_16}}) {
        SCOPED_TRACE(c.type);
        // The last save's stream ends in the window too: its end may still be on its way, and the
        // file menu stays grey until it arrives.
        ASSERT_TRUE(waitFor([&] { return idle(); }));
        selectFormat(c.type);
        const qsizetype before = debugLines().size();
        const size_t boxes = dialogs->messages.size();
        const QString out = path(QStringLiteral("out%1.wav").arg(c.type));
        dialogs->answerFile(out, 2);
        window->menuFileSaveToWave->trigger();

        EXPECT_EQ(newLines(before).value(0), QStringLiteral("保存WAV文件"));
        ASSERT_EQ(dialogs->messages.size(), boxes + 1);
        EXPECT_EQ(dialogs->messages.back().title, QStringLiteral("文件保存"));
        EXPECT_EQ(dialogs->messages.back().text, QStringLiteral("WAV文件成功的保存出去"));
        EXPECT_EQ(dialogs->messages.back().icon, MessageIcon::Information);
        const WavInfo info = readWavInfo(out);
        ASSERT_TRUE(info.ok);
        EXPECT_EQ(info.rate, c.rate);
        EXPECT_EQ(info.channels, c.channels);
        EXPECT_EQ(info.subformat, c.subformat);
        // Every spoken character is 10 ms of audio, whatever the rate.
        const double seconds = double(info.frames) / info.rate;
        const double expected = double(spoken.size() * kSamplesPerChar) / 22050.0;
        EXPECT_GT(seconds, 0.7 * expected);
        EXPECT_LT(seconds, 1.1 * expected);
        EXPECT_TRUE(outputIsDevice());
    }
    const FileDialogRequest& request = dialogs->fileRequests.back();
    EXPECT_EQ(request.mode, FileDialogRequest::Mode::Save);
    EXPECT_EQ(request.title, QStringLiteral("保存WAV文件"));
    EXPECT_EQ(request.flags, 0x8802);
    EXPECT_EQ(request.filter, QStringLiteral("所有文件 (*.*)|*.*|Wave 文件 (*.wav)|*.wav"));
    EXPECT_EQ(request.filterIndex, 2);
    EXPECT_TRUE(exitStatuses.empty());
}

TEST_F(FilesTest, SaveReplacesAFileAndAcceptsAnEmptyText) {
    const QString out = path("old.wav");
    writeBytes(out, QByteArray(200'000, 'x'));
    window->MainTxtBox->setPlainText(QStringLiteral("Short."));
    dialogs->answerFile(out);
    window->menuFileSaveToWave_Click();
    WavInfo info = readWavInfo(out);
    ASSERT_TRUE(info.ok);
    EXPECT_LT(QFileInfo(out).size(), 200'000);
    EXPECT_GT(info.frames, 0);

    window->MainTxtBox->clear();
    dialogs->answerFile(path("empty.wav"));
    window->menuFileSaveToWave_Click();
    info = readWavInfo(path("empty.wav"));
    ASSERT_TRUE(info.ok);
    EXPECT_EQ(info.frames, 0);
    EXPECT_EQ(dialogs->messages.size(), 2u);
}

TEST_F(FilesTest, SaveFailuresReportRestoreTheOutputAndCancelIsSilent) {
    window->MainTxtBox->setPlainText(QStringLiteral("Some words."));
    const qsizetype before = debugLines().size();
    dialogs->answerCancel();
    window->menuFileSaveToWave_Click();
    EXPECT_TRUE(newLines(before).isEmpty());

    // A folder where no file can be created.
    dialogs->answerFile(QStringLiteral("/sys/tallamo-test.wav"));
    window->menuFileSaveToWave_Click();
    ASSERT_EQ(newLines(before).size(), 1);
    EXPECT_TRUE(newLines(before)[0].startsWith(QStringLiteral("Save to Wave file Error: ")));
    EXPECT_TRUE(outputIsDevice());

    // The voice refuses the text after the output was switched to the file (its named file is missing).
    window->setCheckValue(window->chkSpFlagIsFilename, 1);
    window->MainTxtBox->setPlainText(path("no-such-text.txt"));
    dialogs->answerFile(path("out.wav"));
    window->menuFileSaveToWave_Click();
    const QStringList lines = newLines(before);
    EXPECT_EQ(lines.size(), 3) << lines.join('|').toStdString();
    EXPECT_EQ(lines.value(1), QStringLiteral("保存WAV文件"));
    EXPECT_TRUE(lines.value(2).startsWith(QStringLiteral("Save to Wave file Error: ")));
    EXPECT_TRUE(outputIsDevice());
    EXPECT_TRUE(dialogs->messages.empty());
    EXPECT_TRUE(exitStatuses.empty());
}

TEST_F(FilesTest, SaveSpeaksTheNamedFileWhenTheTextIsAFileName) {
    writeBytes(path("words.txt"), QByteArray(50, 'a') + ' ' + QByteArray(49, 'b'));  // 100 characters
    window->setCheckValue(window->chkSpFlagIsFilename, 1);
    window->MainTxtBox->setPlainText(path("words.txt"));
    dialogs->answerFile(path("named.wav"));
    window->menuFileSaveToWave_Click();
    const WavInfo info = readWavInfo(path("named.wav"));
    ASSERT_TRUE(info.ok);
    EXPECT_GT(info.frames, 90 * kSamplesPerChar);
    EXPECT_LT(info.frames, 110 * kSamplesPerChar);
}

TEST_F(FilesTest, SpeakingGoesToTheDeviceAgainAfterSaving) {
    window->MainTxtBox->setPlainText(QStringLiteral("Before and after."));
    dialogs->answerFile(path("between.wav"));
    window->menuFileSaveToWave_Click();
    ASSERT_TRUE(readWavInfo(path("between.wav")).ok);
    const int opens = backends_.host->openCount();
    window->SpeakBtn->click();
    EXPECT_TRUE(waitFor([&] { return idle(); }));
    EXPECT_GT(backends_.host->openCount(), opens);
    EXPECT_EQ(backends_.host->lastFormat().sampleRate, 22050);
}

TEST_F(FilesTest, SaveWhileThePauseIsOnDoesNotHang) {
    backends_.synth->microsecondsPerChar = 200;
    window->MainTxtBox->setPlainText(QString(2000, QLatin1Char('w')));
    window->SpeakBtn->click();
    window->PauseBtn->click();
    ASSERT_TRUE(window->Voice->isPaused());
    window->SetSpeakingControls(false, true);  // a stream end or a failed speak while paused

    // With the default flags the paused speech is purged and the file is rendered despite the pause.
    window->MainTxtBox->setPlainText(QStringLiteral("Into the file."));
    dialogs->answerFile(path("paused.wav"));
    window->menuFileSaveToWave_Click();
    const WavInfo info = readWavInfo(path("paused.wav"));
    ASSERT_TRUE(info.ok);
    EXPECT_GT(info.frames, 10 * kSamplesPerChar);
    EXPECT_EQ(dialogs->messages.size(), 1u);
    EXPECT_TRUE(window->Paused);
    // The file's stream ends in the window too (its events may still be on their way), so that the
    // next Speak is not taken for a resume of speech under way.
    ASSERT_TRUE(waitFor([&] { return !window->Speaking; }));

    // Without the purge flag, queued paused speech would hold the file back forever: refused.
    window->setCheckValue(window->chkSpFlagPurgeBeforeSpeak, 0);
    window->MainTxtBox->setPlainText(QString(2000, QLatin1Char('w')));
    window->SpeakBtn->click();  // speaks, and resumes the voice as the pause flag was still set
    window->PauseBtn->click();
    ASSERT_TRUE(window->Voice->isPaused() && window->Voice->isBusy());
    const qsizetype before = debugLines().size();
    dialogs->answerFile(path("held.wav"));
    window->menuFileSaveToWave_Click();
    EXPECT_TRUE(newLines(before).value(0).startsWith(QStringLiteral("Save to Wave file Error: ")));
    EXPECT_TRUE(outputIsDevice());
}

// ---- speak a WAV file ----

TEST_F(FilesTest, SpeakWavePlaysEachEncodingAtItsOwnLength) {
    struct Case {
        const char* name;
        int rate;
        int channels;
        int subformat;
    };
    window->setCheckValue(window->chkShowEvents, 1);
    const double seconds = 0.5;
    for (const Case& c : {Case{"u8", 11025, 1, SF_FORMAT_PCM_U8}, Case{"s16", 22050, 1, SF_FORMAT_PCM_16},
                          Case{"s24", 48000, 1, SF_FORMAT_PCM_24}, Case{"float", 16000, 1, SF_FORMAT_FLOAT},
                          Case{"stereo", 44100, 2, SF_FORMAT_PCM_16}}) {
        SCOPED_TRACE(c.name);
        const QString wav = path(QStringLiteral("%1.wav").arg(QLatin1String(c.name)));
        writeTone(wav, c.rate, c.channels, c.subformat, seconds);
        const qsizetype before = debugLines().size();
        dialogs->answerFile(wav, 2);
        window->menuFileSpeakWave->trigger();
        EXPECT_EQ(text(), wav);
        EXPECT_TRUE(window->chkSpFlagIsFilename->isChecked());
        EXPECT_NE(window->SpeakFlags & speech::SVSFIsFilename, 0);
        ASSERT_TRUE(waitFor([&] { return idle(); }));
        processEvents(50);

        const QStringList lines = newLines(before);
        EXPECT_EQ(lines.value(0), QStringLiteral("读取WAV文件"));
        EXPECT_EQ(lines.value(1), QStringLiteral("Speak"));
        // The end of the stream is at the file's length in the device's format (22 kHz 16-bit mono).
        qint64 endBytes = -1;
        for (const QString& line : lines) {
            if (line.startsWith(QStringLiteral("  Event: EndStream")))
                endBytes = line.section(QStringLiteral("StreamPos="), 1).toLongLong();
            EXPECT_FALSE(line.startsWith(QStringLiteral("Speak Error: "))) << line.toStdString();
        }
        EXPECT_NEAR(double(endBytes) / (22050.0 * 2), seconds, 0.02);
    }
    const FileDialogRequest& request = dialogs->fileRequests.back();
    EXPECT_EQ(request.title, QStringLiteral("读取WAV文件"));
    EXPECT_EQ(request.flags, 0x1800);
    EXPECT_EQ(request.filter, QStringLiteral("所有文件 (*.*)|*.*|Wave 文件 (*.wav)|*.wav"));
    EXPECT_TRUE(exitStatuses.empty());
}

TEST_F(FilesTest, SpeakWaveReportsBrokenFilesThroughSpeak) {
    writeTone(path("whole.wav"), 22050, 1, SF_FORMAT_PCM_16, 0.5);
    QFile whole(path("whole.wav"));
    ASSERT_TRUE(whole.open(QIODevice::ReadOnly));
    writeBytes(path("truncated.wav"), whole.read(30));  // cut inside the header
    QByteArray binary("PK\x03\x04", 4);                 // an archive's header followed by zeros and control bytes
    for (int i = 0; i < 512; ++i) binary += char(i % 7 == 0 ? i % 32 : 0);
    writeBytes(path("notwav.wav"), binary);
    for (const QString& name : {QStringLiteral("truncated.wav"), QStringLiteral("notwav.wav")}) {
        SCOPED_TRACE(name.toStdString());
        const qsizetype before = debugLines().size();
        dialogs->answerFile(path(name));
        window->menuFileSpeakWave_Click();
        const QStringList lines = newLines(before);
        EXPECT_EQ(lines.value(0), QStringLiteral("读取WAV文件"));
        EXPECT_TRUE(lines.value(2).startsWith(QStringLiteral("Speak Error: ")) && lines.value(2).contains(name))
            << lines.join('|').toStdString();
        EXPECT_TRUE(waitFor([&] { return idle(); }));
    }
    EXPECT_TRUE(exitStatuses.empty());
}

TEST_F(FilesTest, SpeakWaveCancelLeavesTextAndFlagsButGoesIdle) {
    window->MainTxtBox->setPlainText(QStringLiteral("unchanged"));
    const int flags = window->SpeakFlags;
    window->SetSpeakingControls(true, true);
    const qsizetype before = debugLines().size();
    dialogs->answerCancel();
    window->menuFileSpeakWave_Click();
    EXPECT_EQ(text(), QStringLiteral("unchanged"));
    EXPECT_EQ(window->SpeakFlags, flags);
    EXPECT_FALSE(window->chkSpFlagIsFilename->isChecked());
    EXPECT_TRUE(newLines(before).isEmpty());
    EXPECT_FALSE(window->Speaking);
    EXPECT_TRUE(window->Paused);  // passed through unchanged
    EXPECT_TRUE(window->menuFileSpeakWave->isEnabled());
    EXPECT_FALSE(window->StopBtn->isEnabled());

    // A choice refused by the dialog's own checks is a failure of this command.
    dialogs->answerFile(path("gone.wav"));
    window->menuFileSpeakWave_Click();
    EXPECT_TRUE(newLines(before).value(0).startsWith(QStringLiteral("Speak Wave Error: ")));
    EXPECT_EQ(text(), QStringLiteral("unchanged"));
}

}  // namespace
