// SPDX-License-Identifier: GPL-3.0-or-later
// The mouth figure in the window: the picture each viseme shows, the rest picture, the event's log
// line, and what a partly failed load leaves working.
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <algorithm>
#include <array>

#include "tests/app/window_fixture.h"
#include "tests/support/audio_server.h"
#include "tests/support/voice_helpers.h"

namespace {

constexpr QRgb kMagenta = 0xFF00FF;

// The bitmap each of the list's 24 entries holds.
const std::array<const char*, 24> kEntryBitmaps{"MICFULL", "MIC11", "MIC11", "MIC11", "MIC10",        "MIC11",
                                                "MIC9",    "MIC2",  "MIC13", "MIC9",  "MIC12",        "MIC11",
                                                "MIC9",    "MIC3",  "MIC6",  "MIC7",  "MIC8",         "MIC5",
                                                "MIC4",    "MIC7",  "MIC9",  "MIC11", "MICEYECLOSED", "MICEYENARROW"};

// What the figure shows for visemes 0..21: the picture laid over the whole figure.
const std::array<const char*, 22> kShownForViseme{
    "MICFULL", "MICFULL", "MICEYECLOSED", "MIC11", "MIC11", "MICEYENARROW", "MIC11", "MIC9", "MICEYECLOSED",
    "MIC13",   "MIC9",    "MICEYENARROW", "MIC11", "MIC9",  "MICEYECLOSED", "MIC6",  "MIC7", "MICEYENARROW",
    "MIC5",    "MIC4",    "MICEYECLOSED", "MIC9"};

QImage bitmap(const QString& name) {
    QImage picture;
    picture.load(QStringLiteral(":/bitmaps/") + name, "BMP");
    return picture.convertToFormat(QImage::Format_RGB32);
}

// The whole figure with `top` laid over it, built from the bitmaps directly.
QImage overFigure(const QString& top, QColor background) {
    const QImage base = bitmap(QStringLiteral("MICFULL"));
    const QImage over = bitmap(top);
    QImage out(base.size(), QImage::Format_RGB32);
    for (int y = 0; y < base.height(); ++y) {
        for (int x = 0; x < base.width(); ++x) {
            const QRgb t = over.pixel(x, y) & RGB_MASK, b = base.pixel(x, y) & RGB_MASK;
            const QRgb pixel = t != kMagenta ? t : b != kMagenta ? b : background.rgb() & RGB_MASK;
            out.setPixel(x, y, pixel | 0xFF000000);
        }
    }
    return out;
}

class MouthTest : public WindowTest {
protected:
    testing_support::ScriptedBackends doubles;
    QImage rest;

    void SetUp() override { useBackends(doubles.backends()); }

    ParlanMain& loadWindow() {
        ParlanMain& w = load();
        rest = expected("MICFULL");
        return w;
    }
    QImage expected(const char* top) const { return overFigure(QLatin1String(top), window->MouthImgList.backColor()); }
    QImage shown() const { return window->VisemePicture->pixmap().toImage().convertToFormat(QImage::Format_RGB32); }
    void viseme(int id, int stream = 1) { window->Voice_Viseme(stream, QVariant(qlonglong(4410)), 60, 7, 0, id); }
};

TEST_F(MouthTest, StartUpLoadsTheTwentyFourEntriesAndShowsTheRestPictureOnButtonFace) {
    ParlanMain& w = loadWindow();
    EXPECT_TRUE(dialogs->messages.empty());
    ASSERT_EQ(w.MouthImgList.count(), 24);
    for (int entry = 1; entry <= 24; ++entry) {
        EXPECT_EQ(w.MouthImgList.picture(entry), bitmap(QLatin1String(kEntryBitmaps[static_cast<size_t>(entry - 1)])))
            << "entry " << entry;
    }
    for (const char* key : {"MICFULL", "MICEYECLOSED", "MICEYENARROW"}) {
        EXPECT_EQ(w.MouthImgList.picture(QLatin1String(key)), bitmap(QLatin1String(key))) << key;
    }
    EXPECT_EQ(w.MouthImgList.maskColor(), QColor(0xFF, 0x00, 0xFF));
    EXPECT_EQ(w.MouthImgList.backColor(), QApplication::palette().color(QPalette::Button));
    EXPECT_EQ(shown(), rest);
    // The corners are outside the figure: they take the background colour.
    EXPECT_EQ(QColor(shown().pixel(0, 0)), w.MouthImgList.backColor());
}

TEST_F(MouthTest, EveryVisemeShowsItsPictureWhateverCameBefore) {
    loadWindow();
    std::array<QImage, 22> want;
    for (size_t v = 0; v < want.size(); ++v) want[v] = expected(kShownForViseme[v]);
    // Every ordered pair: the second picture depends on the second id alone.
    for (int before = 0; before < 22; ++before) {
        for (int v = 0; v < 22; ++v) {
            viseme(before);
            viseme(v);
            ASSERT_EQ(shown(), want[static_cast<size_t>(v)]) << "viseme " << v << " after " << before;
        }
    }
    EXPECT_TRUE(dialogs->messages.empty());
    EXPECT_TRUE(exitStatuses.empty());
}

TEST_F(MouthTest, StreamEndAndResetBringBackTheRestPicture) {
    ParlanMain& w = loadWindow();
    viseme(15);
    ASSERT_NE(shown(), rest);
    w.Voice_EndStream(1, QVariant(qlonglong(8820)));
    EXPECT_EQ(shown(), rest);

    viseme(17);
    ASSERT_NE(shown(), rest);
    w.guard([&w] { w.ResetBtn_Click(); });
    EXPECT_TRUE(exitStatuses.empty());
    EXPECT_EQ(shown(), rest);
}

TEST_F(MouthTest, EachEventIsLoggedWithItsOwnValuesOnlyWhileShowEventsIsChecked) {
    ParlanMain& w = loadWindow();
    w.chkShowEvents->setChecked(true);
    const QString before = debugText();
    w.Voice_Viseme(3, QVariant(qlonglong(123456789012)), 85, 19, 2, 0);
    const QString line = debugText().mid(before.size());
    const QStringList items{"Viseme",    "StreamNum=3", "StreamPos=123456789012", "Duration=85", "VisemeType=19",
                            "Feature=2", "VisemeId=0"};
    qsizetype at = 0;
    for (const QString& item : items) {
        const qsizetype found = line.indexOf(item, at);
        EXPECT_GE(found, at) << item.toStdString() << " missing or out of order in " << line.toStdString();
        if (found >= 0) at = found + item.size();
    }
    EXPECT_EQ(shown(), rest) << "silence shows the rest picture";

    // Unchecked: no log, but the picture still follows.
    w.chkShowEvents->setChecked(false);
    const QString quiet = debugText();
    viseme(19);
    EXPECT_EQ(debugText(), quiet);
    EXPECT_EQ(shown(), expected("MIC4"));
}

// The real engine on the test audio server: while it speaks the figure only ever shows pictures of the
// table, it moves, and it is at rest when the speech has ended.
class MouthSpeechTest : public WindowTest {};

TEST_F(MouthSpeechTest, TheFigureFollowsRealSpeechAndComesToRest) {
    TALLAMO_NEED_AUDIO_SERVER();
    ParlanMain& w = load();
    w.chkShowEvents->setChecked(true);
    w.MainTxtBox->setPlainText(QStringLiteral("Hello world, how are you today? Fine, thank you very much."));
    auto shown = [&w] { return w.VisemePicture->pixmap().toImage().convertToFormat(QImage::Format_RGB32); };
    const QColor back = w.MouthImgList.backColor();
    std::vector<QImage> allowed;
    for (const char* top : kShownForViseme) allowed.push_back(overFigure(QLatin1String(top), back));
    const QImage rest = allowed[0];
    ASSERT_EQ(shown(), rest);

    w.DebugTxtBox->clear();
    std::vector<QImage> seen;
    int unknown = 0;
    click(w.SpeakBtn);
    const bool ended = waitFor(
        [&] {
            const QImage now = shown();
            if (seen.empty() || seen.back() != now) {
                seen.push_back(now);
                if (std::find(allowed.begin(), allowed.end(), now) == allowed.end()) ++unknown;
            }
            return debugText().contains(QStringLiteral("EndStream"));
        },
        30000);
    ASSERT_TRUE(ended);
    EXPECT_EQ(unknown, 0) << "a picture outside the table was shown";
    EXPECT_GE(seen.size(), 4u) << "the mouth moved while speaking";
    EXPECT_EQ(shown(), rest);

    // Every viseme the engine raised was logged with an id the table knows.
    const QRegularExpression line(QStringLiteral("Viseme, .*VisemeId=(-?\\d+)"));
    int visemes = 0;
    for (const QString& text : debugLines()) {
        const QRegularExpressionMatch m = line.match(text);
        if (!m.hasMatch()) continue;
        ++visemes;
        const int id = m.captured(1).toInt();
        EXPECT_TRUE(id >= 0 && id <= 21) << text.toStdString();
    }
    EXPECT_GT(visemes, 10);
    EXPECT_TRUE(exitStatuses.empty());
}

// Copies the bitmaps into a folder, leaving out one, and points the window's list at it.
class MouthLoadFailureTest : public MouthTest {
protected:
    std::unique_ptr<QTemporaryDir> folder;

    void prepare(const QString& missing) {
        folder = std::make_unique<QTemporaryDir>();
        ASSERT_TRUE(folder->isValid());
        for (const char* name : kEntryBitmaps) {
            const QString target = folder->filePath(QLatin1String(name));
            if (QLatin1String(name) == missing || QFile::exists(target)) continue;
            ASSERT_TRUE(QFile::copy(QStringLiteral(":/bitmaps/") + QLatin1String(name), target));
        }
        create();
        window->MouthImgList.setSource(folder->path() + QLatin1Char('/'));
    }
};

TEST_F(MouthLoadFailureTest, LaterEntriesFailThroughTheGuardAndThePictureStays) {
    // Leaving out each bitmap first used at entry k stops the loading there.
    struct Case {
        const char* missing;
        int k;
    };
    for (const Case c : {Case{"MIC11", 2}, Case{"MIC10", 5}, Case{"MIC2", 8}, Case{"MIC6", 15}, Case{"MIC4", 19},
                         Case{"MICEYECLOSED", 23}, Case{"MICEYENARROW", 24}}) {
        SCOPED_TRACE(c.missing);
        dialogs->messages.clear();
        exitStatuses.clear();
        prepare(QLatin1String(c.missing));
        ParlanMain& w = *window;
        ASSERT_TRUE(w.Form_Load());
        w.show();
        ASSERT_EQ(dialogs->messages.size(), 1u);
        EXPECT_EQ(dialogs->messages[0].text, QStringLiteral("出错啦!"));
        EXPECT_EQ(dialogs->messages[0].title, w.windowTitle());
        EXPECT_EQ(dialogs->messages[0].icon, MessageIcon::Information);
        EXPECT_EQ(w.MouthImgList.count(), c.k - 1) << "entries before the failure stay";
        rest = expected("MICFULL");
        EXPECT_EQ(shown(), rest);

        size_t fatal = 0;
        for (int v = 0; v < 22; ++v) {
            const QImage previous = shown();
            w.guard([&] { viseme(v); });
            const int id = v == 0 ? 1 : v;
            const int blinkEntry = id % 6 == 2 ? 23 : id % 6 == 5 ? 24 : 0;
            if (id >= c.k) {
                ++fatal;
                EXPECT_EQ(shown(), previous) << "viseme " << v << ": its entry is missing, the picture stays";
            } else if (blinkEntry >= c.k) {
                // The mouth was shown before the blink failed; it stays.
                ++fatal;
                EXPECT_EQ(shown(), expected(kEntryBitmaps[static_cast<size_t>(id - 1)])) << "viseme " << v;
            } else {
                EXPECT_EQ(shown(), expected(kShownForViseme[static_cast<size_t>(v)])) << "viseme " << v;
            }
            EXPECT_EQ(exitStatuses.size(), fatal) << "viseme " << v;
        }
        EXPECT_GT(fatal, 0u);
        ASSERT_EQ(dialogs->messages.size(), 1 + fatal) << "the loading box once, then one fatal box per failure";
        for (size_t i = 1; i < dialogs->messages.size(); ++i) {
            EXPECT_EQ(dialogs->messages[i].title, QStringLiteral("Tallamo"));
            EXPECT_NE(dialogs->messages[i].text, QStringLiteral("出错啦!"));
        }
        for (int status : exitStatuses) EXPECT_NE(status, 0);
        window.reset();
    }
}

TEST_F(MouthLoadFailureTest, AMissingWholeFigureStopsStartUpAfterTheLoadingBox) {
    prepare(QStringLiteral("MICFULL"));
    EXPECT_FALSE(window->Form_Load()) << "the rest picture cannot be composed without the figure";
    ASSERT_GE(dialogs->messages.size(), 2u);
    EXPECT_EQ(dialogs->messages[0].text, QStringLiteral("出错啦!"));
    EXPECT_EQ(window->MouthImgList.count(), 0);
    ASSERT_EQ(exitStatuses.size(), 1u);
    EXPECT_NE(exitStatuses[0], 0);
}

}  // namespace
