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

#include "app/debug_pane.h"
#include "app/dialogs/about_dialog.h"
#include "app/dialogs/common_dialog.h"
#include "app/events/event_pump.h"
#include "app/up_down.h"
#include "base/error.h"

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

QString describe(const std::exception& error) {
    if (const auto* speechError = dynamic_cast<const speech::Error*>(&error))
        return QString::fromStdString(speechError->description());
    return QString::fromUtf8(error.what());
}

int32_t errorNumber(const std::exception& error) {
    if (const auto* speechError = dynamic_cast<const speech::Error*>(&error)) return speechError->code();
    return speech::errc::kUnexpected;
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

    const auto button = [&](QWidget* container, const char* name, const QString& caption, int l, int t, int w, int h) {
        auto* b = new QPushButton(caption, container);
        b->setObjectName(QString::fromLatin1(name));
        b->setAutoDefault(false);
        // A click leaves the focus where it was: the text box keeps it while its words are spoken, so
        // the selection that follows them stays visible (it shows only while the box has the focus).
        b->setFocusPolicy(Qt::TabFocus);
        tw.place(b, l, t, w, h);
        return b;
    };
    const auto check = [&](QWidget* container, const char* name, const QString& caption, int l, int t, int w, int h) {
        auto* c = new QCheckBox(caption, container);
        c->setObjectName(QString::fromLatin1(name));
        tw.place(c, l, t, w, h);
        return c;
    };
    const auto combo = [&](const char* name, int l, int t, int w, int h) {
        auto* c = new QComboBox(client);
        c->setObjectName(QString::fromLatin1(name));
        c->setEditable(false);
        tw.place(c, l, t, w, h);
        return c;
    };
    const auto label = [&](const char* name, const QString& caption, int l, int t, int w, int h) {
        auto* lb = new QLabel(caption, client);
        lb->setObjectName(QString::fromLatin1(name));
        lb->setFont(labelFont());
        tw.place(lb, l, t, w, h);
        return lb;
    };

    Frame3 = new QGroupBox(client);
    Frame3->setObjectName(QStringLiteral("Frame3"));
    tw.place(Frame3, 120, 120, 1455, 6135);
    ResetBtn = button(Frame3, "ResetBtn", QStringLiteral("复位"), 120, 3120, 1215, 375);
    PauseBtn = button(Frame3, "PauseBtn", QStringLiteral("暂停"), 120, 3720, 1215, 375);
    StopBtn = button(Frame3, "StopBtn", QStringLiteral("停止"), 120, 2520, 1215, 375);
    SpeakBtn = button(Frame3, "SpeakBtn", QStringLiteral("朗读"), 120, 1920, 1215, 375);

    Frame2 = new QGroupBox(client);
    Frame2->setObjectName(QStringLiteral("Frame2"));
    tw.place(Frame2, 1680, 120, 7455, 6135);
    MainTxtBox = new QPlainTextEdit(Frame2);
    MainTxtBox->setObjectName(QStringLiteral("MainTxtBox"));
    MainTxtBox->setToolTip(QStringLiteral("文字区"));
    MainTxtBox->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    MainTxtBox->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    MainTxtBox->setTabChangesFocus(true);
    {
        // The selection shows only while the box has the focus: an inactive box paints its
        // selection like plain text.
        QPalette palette = MainTxtBox->palette();
        palette.setColor(QPalette::Inactive, QPalette::Highlight, palette.color(QPalette::Inactive, QPalette::Base));
        palette.setColor(QPalette::Inactive, QPalette::HighlightedText,
                         palette.color(QPalette::Inactive, QPalette::Text));
        MainTxtBox->setPalette(palette);
    }
    tw.place(MainTxtBox, 120, 240, 7215, 5775);

    VisemePicture = new QLabel(client);
    VisemePicture->setObjectName(QStringLiteral("VisemePicture"));
    VisemePicture->setFocusPolicy(Qt::TabFocus);
    tw.place(VisemePicture, -360, 8760, 1700, 2175);

    chkShowEvents = check(client, "chkShowEvents", QStringLiteral("Show Events"), 4440, 8760, 1335, 195);
    chkSpFlagNLPSpeakPunc =
        check(client, "chkSpFlagNLPSpeakPunc", QStringLiteral("NLPSpeakPunc"), 4920, 9360, 1575, 255);
    chkSpFlagPurgeBeforeSpeak =
        check(client, "chkSpFlagPurgeBeforeSpeak", QStringLiteral("PurgeBeforeSpeak"), 4680, 9000, 1695, 255);
    chkSpFlagAync = check(client, "chkSpFlagAync", QStringLiteral("FlagsAsync"), 5040, 8760, 1575, 255);
    chkSpFlagIsFilename = check(client, "chkSpFlagIsFilename", QStringLiteral("IsFilename"), 3360, 9360, 1215, 255);
    chkSpFlagPersistXML = check(client, "chkSpFlagPersistXML", QStringLiteral("PersistXML"), 3360, 9000, 1215, 255);

    Frame1 = new QGroupBox(QStringLiteral("Speak Flags"), client);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    tw.place(Frame1, 3720, 9600, 3615, 1575);
    chkSpFlagIsXML = check(Frame1, "chkSpFlagIsXML", QStringLiteral("IsXML"), 240, 360, 855, 255);

    AudioOutputCB = combo("AudioOutputCB", 840, 8760, 3300, 300);

    auto* debugPane = new DebugPane(client);
    debugPane->setObjectName(QStringLiteral("DebugTxtBox"));
    tw.place(debugPane, 600, 8760, 180, 180);
    DebugTxtBox = debugPane;

    SkipBtn = button(client, "SkipBtn", QStringLiteral("Skip"), 7320, 8760, 500, 350);
    UpDown1 = new UpDown(client);
    UpDown1->setObjectName(QStringLiteral("UpDown1"));
    tw.place(UpDown1, 7680, 8760, 240, 345);
    SkipTxtBox = new QLineEdit(QStringLiteral("0"), client);
    SkipTxtBox->setObjectName(QStringLiteral("SkipTxtBox"));
    tw.place(SkipTxtBox, 7560, 8760, 400, 350);
    UpDown1->setRange(-50, 50);
    UpDown1->setBuddy(SkipTxtBox);

    FormatCB = combo("FormatCB", 960, 8760, 3300, 300);

    RateSldr = new QSlider(Qt::Horizontal, client);
    RateSldr->setObjectName(QStringLiteral("RateSldr"));
    RateSldr->setToolTip(QStringLiteral("设置语音读取速度"));
    RateSldr->setRange(-10, 10);
    RateSldr->setSingleStep(1);
    RateSldr->setPageStep(5);
    RateSldr->setTickPosition(QSlider::TicksBelow);
    RateSldr->setTickInterval(1);
    tw.place(RateSldr, 5880, 6480, 3300, 315);

    VoiceCB = combo("VoiceCB", 2040, 6480, 2940, 300);
    VoiceCB->setToolTip(QStringLiteral("设置语言发音"));

    Label1 = label("Label1", QStringLiteral("音频输出："), 0, 8640, 975, 195);
    Label5 = label("Label5", QStringLiteral("格式"), 240, 8760, 615, 255);
    Label3 = label("Label3", QStringLiteral("速度："), 5160, 6600, 585, 195);
    Label2 = label("Label2", QStringLiteral("语音选择："), 960, 6600, 975, 195);

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
