// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/parlan_main.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <utility>

#include "app/debug_pane.h"
#include "app/dialogs/about_dialog.h"
#include "app/dialogs/common_dialog.h"
#include "app/events/event_pump.h"
#include "app/up_down.h"
#include "base/error.h"
#include "base/paths.h"
#include "speech/names.h"
#include "speech/spoken_text.h"

namespace {

// Positions and sizes are designed in twips: 15 twips are one pixel at 96 dpi.
class Twips {
public:
    explicit Twips(const QWidget& widget) : scale_(widget.logicalDpiX() / 96.0) {}
    int operator()(int twips) const { return qRound(twips * scale_ / 15.0); }
    void place(QWidget* widget, int left, int top, int width, int height) const {
        widget->setGeometry((*this)(left), (*this)(top), (*this)(width), (*this)(height));
    }

private:
    double scale_;
};

constexpr int kClientWidth = 9345;
constexpr int kClientHeight = 7155;

QFont labelFont() {
    QFont font;
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                      QStringLiteral("DejaVu Sans"), QStringLiteral("WenQuanYi Micro Hei")});
    font.setPointSizeF(8.25);
    font.setWeight(QFont::Bold);
    return font;
}

// The user's pronunciation lexicon, when there is one. A malformed one is left out, and why is
// printed on standard error only: the debug pane keeps to its own lines. So is a missing Mandarin
// lexicon, which leaves Chinese to the engine's own rules.
void loadUserLexicon(speech::SpVoice& voice) {
    if (auto problem = speech::mandarinLexiconProblem()) std::fprintf(stderr, "tallamo: %s\n", problem->c_str());
    const std::filesystem::path path = base::userConfigFile("lexicon.pls");
    std::error_code ec;
    if (path.empty() || !std::filesystem::exists(path, ec)) return;
    try {
        voice.addLexicon(path.string());
    } catch (const speech::Error& e) {
        std::fprintf(stderr, "tallamo: %s\n", e.description().c_str());
    }
}

QString describe(const std::exception& error) {
    if (const auto* speechError = dynamic_cast<const speech::Error*>(&error))
        return QString::fromStdString(speechError->description());
    return QString::fromUtf8(error.what());
}

int32_t errorNumber(const std::exception& error) {
    if (const auto* speechError = dynamic_cast<const speech::Error*>(&error)) return speechError->code();
    return speech::errc::kUnexpected;
}

// Where a control goes, in twips, with its object name and caption.
struct Place {
    const char* name;
    const char16_t* caption;
    int left, top, width, height;
};

QString captionOf(const Place& place) {
    return QString::fromUtf16(place.caption);
}

QPushButton* makeButton(QWidget* container, const Place& place, const Twips& tw) {
    auto* b = new QPushButton(captionOf(place), container);
    b->setObjectName(QString::fromLatin1(place.name));
    b->setAutoDefault(false);
    // A click leaves the focus where it was: the text box keeps it while its words are spoken, so
    // the selection that follows them stays visible (it shows only while the box has the focus).
    b->setFocusPolicy(Qt::TabFocus);
    tw.place(b, place.left, place.top, place.width, place.height);
    return b;
}

QComboBox* makeCombo(QWidget* client, const Place& place, const Twips& tw) {
    auto* c = new QComboBox(client);
    c->setObjectName(QString::fromLatin1(place.name));
    c->setEditable(false);
    tw.place(c, place.left, place.top, place.width, place.height);
    return c;
}

template <class Widget>
Widget* makeNamed(Widget* widget, const Place& place, const Twips& tw) {
    widget->setObjectName(QString::fromLatin1(place.name));
    tw.place(widget, place.left, place.top, place.width, place.height);
    return widget;
}

// The four command buttons in their frame on the left.
void createCommandButtons(ParlanMain& w, QWidget* client, const Twips& tw) {
    w.Frame3 = makeNamed(new QGroupBox(client), {"Frame3", u"", 120, 120, 1455, 6135}, tw);
    const std::pair<QPushButton * ParlanMain::*, Place> buttons[] = {
        {&ParlanMain::ResetBtn, {"ResetBtn", u"复位", 120, 3120, 1215, 375}},
        {&ParlanMain::PauseBtn, {"PauseBtn", u"暂停", 120, 3720, 1215, 375}},
        {&ParlanMain::StopBtn, {"StopBtn", u"停止", 120, 2520, 1215, 375}},
        {&ParlanMain::SpeakBtn, {"SpeakBtn", u"朗读", 120, 1920, 1215, 375}},
    };
    for (const auto& [member, place] : buttons) w.*member = makeButton(w.Frame3, place, tw);
}

// The text box in its frame.
void createTextBox(ParlanMain& w, QWidget* client, const Twips& tw) {
    w.Frame2 = makeNamed(new QGroupBox(client), {"Frame2", u"", 1680, 120, 7455, 6135}, tw);
    w.MainTxtBox = new QPlainTextEdit(w.Frame2);
    w.MainTxtBox->setToolTip(QStringLiteral("文字区"));
    w.MainTxtBox->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    w.MainTxtBox->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    w.MainTxtBox->setTabChangesFocus(true);
    // The selection shows only while the box has the focus: an inactive box paints its selection like
    // plain text.
    QPalette palette = w.MainTxtBox->palette();
    palette.setColor(QPalette::Inactive, QPalette::Highlight, palette.color(QPalette::Inactive, QPalette::Base));
    palette.setColor(QPalette::Inactive, QPalette::HighlightedText, palette.color(QPalette::Inactive, QPalette::Text));
    w.MainTxtBox->setPalette(palette);
    makeNamed(w.MainTxtBox, {"MainTxtBox", u"", 120, 240, 7215, 5775}, tw);
}

// The mouth picture and the speak flags' check boxes, below the visible edge.
void createFlagBoxes(ParlanMain& w, QWidget* client, const Twips& tw) {
    w.VisemePicture = makeNamed(new QLabel(client), {"VisemePicture", u"", -360, 8760, 1700, 2175}, tw);
    w.VisemePicture->setFocusPolicy(Qt::TabFocus);

    const std::pair<QCheckBox * ParlanMain::*, Place> boxes[] = {
        {&ParlanMain::chkShowEvents, {"chkShowEvents", u"Show Events", 4440, 8760, 1335, 195}},
        {&ParlanMain::chkSpFlagNLPSpeakPunc, {"chkSpFlagNLPSpeakPunc", u"NLPSpeakPunc", 4920, 9360, 1575, 255}},
        {&ParlanMain::chkSpFlagPurgeBeforeSpeak,
         {"chkSpFlagPurgeBeforeSpeak", u"PurgeBeforeSpeak", 4680, 9000, 1695, 255}},
        {&ParlanMain::chkSpFlagAync, {"chkSpFlagAync", u"FlagsAsync", 5040, 8760, 1575, 255}},
        {&ParlanMain::chkSpFlagIsFilename, {"chkSpFlagIsFilename", u"IsFilename", 3360, 9360, 1215, 255}},
        {&ParlanMain::chkSpFlagPersistXML, {"chkSpFlagPersistXML", u"PersistXML", 3360, 9000, 1215, 255}},
    };
    for (const auto& [member, place] : boxes) w.*member = makeNamed(new QCheckBox(captionOf(place), client), place, tw);

    w.Frame1 =
        makeNamed(new QGroupBox(QStringLiteral("Speak Flags"), client), {"Frame1", u"", 3720, 9600, 3615, 1575}, tw);
    const Place isXml{"chkSpFlagIsXML", u"IsXML", 240, 360, 855, 255};
    w.chkSpFlagIsXML = makeNamed(new QCheckBox(captionOf(isXml), w.Frame1), isXml, tw);
}

// The other controls below the visible edge: the audio output and format lists, the debug pane, and
// the sentence skip with its count box and spinner.
void createWorkingControls(ParlanMain& w, QWidget* client, const Twips& tw) {
    w.AudioOutputCB = makeCombo(client, {"AudioOutputCB", u"", 840, 8760, 3300, 300}, tw);
    w.DebugTxtBox = makeNamed(new DebugPane(client), {"DebugTxtBox", u"", 600, 8760, 180, 180}, tw);
    w.SkipBtn = makeButton(client, {"SkipBtn", u"Skip", 7320, 8760, 500, 350}, tw);
    w.UpDown1 = makeNamed(new UpDown(client), {"UpDown1", u"", 7680, 8760, 240, 345}, tw);
    w.SkipTxtBox = makeNamed(new QLineEdit(QStringLiteral("0"), client), {"SkipTxtBox", u"", 7560, 8760, 400, 350}, tw);
    w.UpDown1->setRange(-50, 50);
    w.UpDown1->setBuddy(w.SkipTxtBox);
    w.FormatCB = makeCombo(client, {"FormatCB", u"", 960, 8760, 3300, 300}, tw);
}

// The rate slider, the voice list and the labels.
void createVoiceControls(ParlanMain& w, QWidget* client, const Twips& tw) {
    w.RateSldr = makeNamed(new QSlider(Qt::Horizontal, client), {"RateSldr", u"", 5880, 6480, 3300, 315}, tw);
    w.RateSldr->setToolTip(QStringLiteral("设置语音读取速度"));
    w.RateSldr->setRange(-10, 10);
    w.RateSldr->setSingleStep(1);
    w.RateSldr->setPageStep(5);
    w.RateSldr->setTickPosition(QSlider::TicksBelow);
    w.RateSldr->setTickInterval(1);

    w.VoiceCB = makeCombo(client, {"VoiceCB", u"", 2040, 6480, 2940, 300}, tw);
    w.VoiceCB->setToolTip(QStringLiteral("设置语言发音"));

    const std::pair<QLabel * ParlanMain::*, Place> labels[] = {
        {&ParlanMain::Label1, {"Label1", u"音频输出：", 0, 8640, 975, 195}},
        {&ParlanMain::Label5, {"Label5", u"格式", 240, 8760, 615, 255}},
        {&ParlanMain::Label3, {"Label3", u"速度：", 5160, 6600, 585, 195}},
        {&ParlanMain::Label2, {"Label2", u"语音选择：", 960, 6600, 975, 195}},
    };
    for (const auto& [member, place] : labels) {
        w.*member = makeNamed(new QLabel(captionOf(place), client), place, tw);
        (w.*member)->setFont(labelFont());
    }
}

}  // namespace

ParlanMain::Services ParlanMain::defaultServices() {
    Services services;
    services.makeVoice = [] { return std::make_unique<speech::SpVoice>(); };
    services.dialogs = makeQtDialogs();
    services.exitProcess = [](int status) {
        // The voice is released before this runs; nothing else needs an orderly teardown.
        std::fflush(nullptr);
        std::_Exit(status);
    };
    return services;
}

ParlanMain::ParlanMain(Services services, QWidget* parent) : QMainWindow(parent), services_(std::move(services)) {
    setObjectName(QStringLiteral("ParlanMain"));
    setWindowTitle(QStringLiteral("Tallamo"));
    const QIcon icon(QStringLiteral(":/icons/tallamo"));
    if (!icon.isNull()) setWindowIcon(icon);
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    createControls();
    createMenus();
    connectHandlers();
    eventPump = std::make_unique<EventPump>([this] { return Voice.get(); },
                                            [this](const speech::VoiceEvent& event) { dispatchVoiceEvent(event); });
    // Fixed size: the client area below the menu bar, nothing more, so the controls under its bottom
    // edge stay out of sight.
    setFixedSize(centralWidget()->width(), centralWidget()->height() + menuBar()->sizeHint().height());
    ComDlg = std::make_unique<CommonDialog>(services_.dialogs, this);
}

ParlanMain::~ParlanMain() {
    if (Voice) Voice->SetNotify({});
    Voice.reset();
    // The About box has no owner window, so the main window disposes of it.
    std::unique_ptr<AboutDialog> about(frmAbout.data());
}

void ParlanMain::createControls() {
    const Twips tw(*this);
    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    client->setFixedSize(tw(kClientWidth), tw(kClientHeight));
    setCentralWidget(client);
    // Made in this order, which is also the order in which overlapping controls are painted.
    createCommandButtons(*this, client, tw);
    createTextBox(*this, client, tw);
    createFlagBoxes(*this, client, tw);
    createWorkingControls(*this, client, tw);
    createVoiceControls(*this, client, tw);

    // Tab order by tab index; labels and frames take no focus.
    const QWidget* order[] = {SkipBtn,
                              SkipTxtBox,
                              UpDown1,
                              VoiceCB,
                              RateSldr,
                              FormatCB,
                              AudioOutputCB,
                              chkSpFlagIsXML,
                              chkSpFlagAync,
                              chkSpFlagPersistXML,
                              chkSpFlagPurgeBeforeSpeak,
                              chkSpFlagIsFilename,
                              chkSpFlagNLPSpeakPunc,
                              chkShowEvents,
                              DebugTxtBox,
                              VisemePicture,
                              MainTxtBox,
                              SpeakBtn,
                              StopBtn,
                              PauseBtn,
                              ResetBtn};
    for (size_t i = 1; i < std::size(order); ++i)
        setTabOrder(const_cast<QWidget*>(order[i - 1]), const_cast<QWidget*>(order[i]));
}

void ParlanMain::createMenus() {
    const auto item = [](QMenu* menu, const char* name, const QString& caption, const QKeySequence& shortcut) {
        QAction* action = menu->addAction(caption);
        action->setObjectName(QString::fromLatin1(name));
        if (!shortcut.isEmpty()) action->setShortcut(shortcut);
        return action;
    };
    menuFile = menuBar()->addMenu(QStringLiteral("文件(&F)"));
    menuFile->setObjectName(QStringLiteral("menuFile"));
    menuFileOpenText =
        item(menuFile, "menuFileOpenText", QStringLiteral("打开文件"), QKeySequence(QStringLiteral("Ctrl+O")));
    menuFileSpeakWave =
        item(menuFile, "menuFileSpeakWave", QStringLiteral("打开WAV文件"), QKeySequence(QStringLiteral("Ctrl+W")));
    menuFileSaveToWave =
        item(menuFile, "menuFileSaveToWave", QStringLiteral("保存WAV文件"), QKeySequence(QStringLiteral("Ctrl+S")));
    menuSep = menuFile->addSeparator();
    menuSep->setObjectName(QStringLiteral("menuSep"));
    menuFileExit = item(menuFile, "menuFileExit", QStringLiteral("退出"), QKeySequence(QStringLiteral("Ctrl+Q")));

    edit = menuBar()->addMenu(QStringLiteral("编辑(&E)"));
    edit->setObjectName(QStringLiteral("edit"));
    vol = item(edit, "vol", QStringLiteral("调节音量"), {});

    menuHelp = menuBar()->addMenu(QStringLiteral("帮助(&H)"));
    menuHelp->setObjectName(QStringLiteral("menuHelp"));
    menuAbout = item(menuHelp, "menuAbout", QStringLiteral("关于(&A)"), {});
}

void ParlanMain::connectHandlers() {
    const auto onClick = [this](QPushButton* b, void (ParlanMain::*handler)()) {
        connect(b, &QPushButton::clicked, this, [this, handler] { guard([this, handler] { (this->*handler)(); }); });
    };
    onClick(SpeakBtn, &ParlanMain::SpeakBtn_Click);
    onClick(StopBtn, &ParlanMain::StopBtn_Click);
    onClick(PauseBtn, &ParlanMain::PauseBtn_Click);
    onClick(ResetBtn, &ParlanMain::ResetBtn_Click);
    onClick(SkipBtn, &ParlanMain::SkipBtn_Click);

    // A user's click on a flag box; a value set by code runs the same handler through setCheckValue.
    const auto onCheck = [this](QCheckBox* c, void (ParlanMain::*handler)()) {
        connect(c, &QCheckBox::clicked, this, [this, handler] { guard([this, handler] { (this->*handler)(); }); });
    };
    onCheck(chkSpFlagAync, &ParlanMain::chkSpFlagAync_Click);
    onCheck(chkSpFlagPurgeBeforeSpeak, &ParlanMain::chkSpFlagPurgeBeforeSpeak_Click);
    onCheck(chkSpFlagIsFilename, &ParlanMain::chkSpFlagIsFilename_Click);
    onCheck(chkSpFlagIsXML, &ParlanMain::chkSpFlagIsXML_Click);
    onCheck(chkSpFlagPersistXML, &ParlanMain::chkSpFlagPersistXML_Click);
    onCheck(chkSpFlagNLPSpeakPunc, &ParlanMain::chkSpFlagNLPSpeakPunc_Click);

    // A user's pick in a list; a selection by code runs the same handler through selectComboEntry.
    const auto onPick = [this](QComboBox* c, void (ParlanMain::*handler)()) {
        connect(c, &QComboBox::activated, this, [this, handler] { guard([this, handler] { (this->*handler)(); }); });
    };
    onPick(VoiceCB, &ParlanMain::VoiceCB_Click);
    onPick(AudioOutputCB, &ParlanMain::AudioOutputCB_Click);
    onPick(FormatCB, &ParlanMain::FormatCB_Click);

    // The slider's scroll handler runs for the user's moves only (drag, keys, wheel, clicks on the
    // track), once the new value is in place; a value set by code does not run it.
    auto userMove = std::make_shared<bool>(false);
    connect(RateSldr, &QAbstractSlider::actionTriggered, this, [this, userMove](int) {
        if (RateSldr->sliderPosition() != RateSldr->value()) *userMove = true;
    });
    connect(RateSldr, &QAbstractSlider::valueChanged, this, [this, userMove](int) {
        if (!*userMove) return;
        *userMove = false;
        guard([this] { RateSldr_Scroll(); });
    });

    const auto onMenu = [this](QAction* a, void (ParlanMain::*handler)()) {
        connect(a, &QAction::triggered, this, [this, handler] { guard([this, handler] { (this->*handler)(); }); });
    };
    onMenu(menuFileOpenText, &ParlanMain::menuFileOpenText_Click);
    onMenu(menuFileSpeakWave, &ParlanMain::menuFileSpeakWave_Click);
    onMenu(menuFileSaveToWave, &ParlanMain::menuFileSaveToWave_Click);
    onMenu(menuFileExit, &ParlanMain::menuFileExit_Click);
    onMenu(vol, &ParlanMain::vol_Click);
    onMenu(menuAbout, &ParlanMain::menuAbout_Click);
}

bool ParlanMain::Form_Load() {
    try {
        MainTxtBox->setPlainText(QStringLiteral("欢迎使用Brindle工作室Tallamo！"));

        Voice = services_.makeVoice();
        if (!Voice) throw speech::Error(speech::errc::kNoVoice, "No speech engine is available.");
        Voice->SetNotify(eventPump->notifier());
        loadUserLexicon(*Voice);

        for (const speech::SpObjectToken& token : Voice->GetVoices("", ""))
            VoiceCB->addItem(QString::fromStdString(token.GetDescription(0)));
        selectComboEntry(VoiceCB, 0);

        FillFormatList();
        RateSldr->setValue(static_cast<int>(Voice->Rate()));
        setComboText(FormatCB, QStringLiteral("SAFT22kHz16BitMono"));

        if (Voice->GetAudioOutputs("", "").Count() > 0) {
            for (const speech::SpObjectToken& token : Voice->GetAudioOutputs("", ""))
                AudioOutputCB->addItem(QString::fromStdString(token.GetDescription(0)));
        } else {
            AudioOutputCB->addItem(QStringLiteral("No audio ouput object available"));
            AudioOutputCB->setEnabled(false);
        }
        selectComboEntry(AudioOutputCB, 0);

        LoadMouthImages();
        MouthImgList.setMaskColor(QColor(0xFF, 0x00, 0xFF));
        MouthImgList.setBackColor(palette().color(QPalette::Active, QPalette::Button));
        ShowRestPicture();

        SpeakFlags = kDefaultSpeakFlags;
        setCheckValue(chkSpFlagAync, 1);
        setCheckValue(chkSpFlagPurgeBeforeSpeak, 1);
        setCheckValue(chkSpFlagIsXML, 1);
        SetSpeakingControls(false, false);
    } catch (const std::exception& error) {
        // No event may reach a half-built window while the box waits, so the voice goes first.
        if (Voice) Voice->SetNotify({});
        Voice.reset();
        services_.dialogs->message(
            this, QStringLiteral("Brindle"),
            QStringLiteral("初始化错误: \r\n\r\n") + describe(error) + QStringLiteral("\r\n\r\n."), MessageIcon::None);
        services_.exitProcess(1);
        return false;
    }
    if (const QScreen* screen = this->screen()) {
        const QRect area = screen->availableGeometry();
        const QSize size = sizeHint().expandedTo(minimumSize());
        move(area.center() - QPoint(size.width() / 2, size.height() / 2));
    }
    // The first control in tab order is the hidden Skip box; the user starts in the text box instead.
    MainTxtBox->setFocus();
    return true;
}

void ParlanMain::Form_Unload() {
    if (Voice) Voice->SetNotify({});
    Voice.reset();
}

void ParlanMain::closeEvent(QCloseEvent* event) {
    guard([this] { Form_Unload(); });
    event->accept();
}

void ParlanMain::menuFileExit_Click() {
    close();
    if (frmAbout) frmAbout->close();
    services_.exitProcess(0);
}

void ParlanMain::menuAbout_Click() {
    if (!frmAbout) frmAbout = new AboutDialog(nullptr);
    if (!frmAbout->isVisible()) frmAbout->Form_Load(windowIcon());
    frmAbout->show();
    frmAbout->raise();
    frmAbout->activateWindow();
}

void ParlanMain::guard(const std::function<void()>& handler) {
    QString description;
    int32_t number = speech::errc::kUnexpected;
    try {
        handler();
        return;
    } catch (const std::exception& error) {
        description = describe(error);
        number = errorNumber(error);
    } catch (...) {
        description = QStringLiteral("An unknown error occurred.");
    }
    // An error no handler trapped ends the program: the voice stops first so no thread outlives it.
    if (Voice) Voice->SetNotify({});
    Voice.reset();
    const QString text = QStringLiteral("运行时错误 %1 (0x%2):\r\n\r\n%3")
                             .arg(number)
                             .arg(static_cast<uint32_t>(number), 8, 16, QLatin1Char('0'))
                             .arg(description);
    services_.dialogs->message(this, QStringLiteral("Tallamo"), text, MessageIcon::None);
    services_.exitProcess(2);
}

namespace {
QString boxName(const QWidget* box) {
    return box->objectName();
}
}  // namespace

void ParlanMain::selectComboEntry(QComboBox* box, int index) {
    if (index < 0 || index >= box->count())
        throw speech::Error(
            speech::errc::kInvalidArg,
            QStringLiteral("Invalid property value: %1 has no entry %2.").arg(boxName(box)).arg(index).toStdString());
    box->setCurrentIndex(index);
    if (box == VoiceCB)
        VoiceCB_Click();
    else if (box == AudioOutputCB)
        AudioOutputCB_Click();
    else if (box == FormatCB)
        FormatCB_Click();
}

void ParlanMain::setComboText(QComboBox* box, const QString& text) {
    const int index = box->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (index < 0)
        throw speech::Error(
            speech::errc::kInvalidArg,
            QStringLiteral("Invalid property value: %1 has no entry \"%2\".").arg(boxName(box), text).toStdString());
    selectComboEntry(box, index);
}

void ParlanMain::setCheckValue(QCheckBox* box, int value) {
    if (value != 0 && value != 1)
        throw speech::Error(speech::errc::kInvalidArg,
                            QStringLiteral("Invalid property value: %1 cannot take the value %2.")
                                .arg(boxName(box))
                                .arg(value)
                                .toStdString());
    const Qt::CheckState state = value == 1 ? Qt::Checked : Qt::Unchecked;
    if (box->checkState() == state) return;
    box->setCheckState(state);
    if (box == chkSpFlagAync)
        chkSpFlagAync_Click();
    else if (box == chkSpFlagPurgeBeforeSpeak)
        chkSpFlagPurgeBeforeSpeak_Click();
    else if (box == chkSpFlagIsFilename)
        chkSpFlagIsFilename_Click();
    else if (box == chkSpFlagIsXML)
        chkSpFlagIsXML_Click();
    else if (box == chkSpFlagPersistXML)
        chkSpFlagPersistXML_Click();
    else if (box == chkSpFlagNLPSpeakPunc)
        chkSpFlagNLPSpeakPunc_Click();
}
