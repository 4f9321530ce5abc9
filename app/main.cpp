// SPDX-License-Identifier: GPL-3.0-or-later
#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QEvent>
#include <QStringList>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "app/parlan_main.h"
#include "base/standard_streams.h"
#include "speech/backends.h"
#include "speech/names.h"

#ifndef TALLAMO_VERSION
#define TALLAMO_VERSION "unknown"
#endif

namespace {

constexpr int kExitUsage = 2;

// --help and --version print and exit, so they are answered without connecting to a display: they
// work on a console and in a build that generates the manual page.
bool onlyPrints(int argc, char** argv) {
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        for (const char* name : {"-h", "--help", "-v", "--version"}) {
            if (std::strcmp(argv[i], name) == 0) return true;
        }
    }
    return false;
}

// Opens the file named on the command line once the window has been painted (or after a second, should
// it never be): a document that takes a while (a long PDF, one whose page is given up on after seconds)
// is waited for in a window on the screen with the busy cursor, not before any window appears.
class OpenOnceShown : public QObject {
public:
    OpenOnceShown(ParlanMain& window, QString file) : window_(window), file_(std::move(file)) {
        window_.installEventFilter(this);
        QTimer::singleShot(1000, this, [this] { open(); });
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        // Once this paint has reached the screen.
        if (event->type() == QEvent::Paint) QTimer::singleShot(0, this, [this] { open(); });
        return false;
    }

private:
    void open() {
        if (std::exchange(opened_, true)) return;
        window_.removeEventFilter(this);
        window_.openTextFile(file_);
    }

    ParlanMain& window_;
    QString file_;
    bool opened_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    // Before any descriptor is made, so that none takes a standard number that was closed.
    (void)base::reopenClosedStandardStreams();
    // Under a file-size limit (ulimit -f), saving past it fails with "File too large", which the window
    // reports, instead of the signal killing the program with the text unsaved.
    std::signal(SIGXFSZ, SIG_IGN);
    const bool printsOnly = onlyPrints(argc, argv);
    // The speech engine starts in its own process while Qt starts here.
    if (!printsOnly) speech::startEngineEarly();
    const std::unique_ptr<QCoreApplication> app =
        printsOnly ? std::make_unique<QCoreApplication>(argc, argv) : std::make_unique<QApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tallamo"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TALLAMO_VERSION));
#ifdef TALLAMO_APP_ID
    QGuiApplication::setDesktopFileName(QStringLiteral(TALLAMO_APP_ID));
#endif

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("A notepad that reads aloud: type or open a text or a document, pick a voice and a rate, and\n"
                       "hear it spoken while the spoken word is selected and a cartoon mouth follows the speech."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Print this help and exit."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Print the version and exit."));
    parser.addOption(help);
    parser.addOption(version);
    parser.addPositionalArgument(
        QStringLiteral("FILE"),
        QStringLiteral("A text file, or a document (EPUB, HTML, DOCX, ODT, FB2, PDF) whose text is taken, "
                       "to load into the text box, as File > 打开文件 does."),
        QStringLiteral("[FILE]"));
    const bool parsed = parser.parse(QCoreApplication::arguments());
    if (parsed && parser.isSet(help)) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return 0;
    }
    if (parsed && parser.isSet(version)) parser.showVersion();
    const QStringList files = parser.positionalArguments();
    if (!parsed || files.size() > 1) {
        const QString problem = parsed ? QStringLiteral("give one FILE only") : parser.errorText();
        std::fprintf(stderr, "tallamo: %s\nTry 'tallamo --help' for more information.\n", qPrintable(problem));
        return kExitUsage;
    }

    ParlanMain window(ParlanMain::defaultServices());
    if (!window.Form_Load()) return 1;
    window.show();
    std::optional<OpenOnceShown> opener;
    if (!files.isEmpty()) opener.emplace(window, files.front());
    return QCoreApplication::exec();
}
