// SPDX-License-Identifier: GPL-3.0-or-later
// The main window. How text becomes sound: a handler hands the text and the flag word to the voice
// (SpeakBtn_Click); the voice's worker synthesizes, converts and plays it. How events come back: the
// voice queues its events and calls a notify function from its worker; that function posts a queued
// call to this window, which drains the queue on the UI thread and runs the Voice_* handler of each
// event, one at a time, like any user action. Every handler runs inside one guard that turns an error
// it does not trap into the fatal message box.
//
// The handlers are defined in the folder of their subsystem: app/ (start-up, control states, debug
// pane), app/commands/ (flags, commands, voice settings, output and format), app/files/ (open, save,
// speak WAV), app/events/ (the event pump, voice events, highlighting, mouth), app/dialogs/ (About,
// the file dialog).
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <cstdint>
#include <functional>
#include <memory>

#include "app/dialogs/dialogs.h"
#include "app/events/mouth_image_list.h"
#include "speech/names.h"
#include "speech/voice.h"

class QAction;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QSlider;
class UpDown;
class CommonDialog;
class AboutDialog;
class EventPump;

class ParlanMain : public QMainWindow {
    Q_OBJECT

public:
    struct Services {
        // Creates the window's voice (start-up step 2); throws speech::Error when no engine is usable.
        std::function<std::unique_ptr<speech::SpVoice>()> makeVoice;
        std::shared_ptr<Dialogs> dialogs;
        // Ends the process after a failed start or an untrapped error (the program calls std::exit).
        std::function<void(int status)> exitProcess;
    };
    static Services defaultServices();

    explicit ParlanMain(Services services, QWidget* parent = nullptr);
    ~ParlanMain() override;

    // Start-up; false when it failed (the failure box was shown and exitProcess called).
    bool Form_Load();

    // Runs `handler` under the guard: an uncaught error shows the fatal box and ends the program.
    void guard(const std::function<void()>& handler);

    // ---- controls (named as in the window's design) ----
    QGroupBox* Frame1 = nullptr;
    QGroupBox* Frame2 = nullptr;
    QGroupBox* Frame3 = nullptr;
    QPushButton* ResetBtn = nullptr;
    QPushButton* PauseBtn = nullptr;
    QPushButton* StopBtn = nullptr;
    QPushButton* SpeakBtn = nullptr;
    QPushButton* SkipBtn = nullptr;
    QPlainTextEdit* MainTxtBox = nullptr;
    QPlainTextEdit* DebugTxtBox = nullptr;
    QLabel* VisemePicture = nullptr;
    QCheckBox* chkShowEvents = nullptr;
    QCheckBox* chkSpFlagNLPSpeakPunc = nullptr;
    QCheckBox* chkSpFlagPurgeBeforeSpeak = nullptr;
    QCheckBox* chkSpFlagAync = nullptr;
    QCheckBox* chkSpFlagIsFilename = nullptr;
    QCheckBox* chkSpFlagPersistXML = nullptr;
    QCheckBox* chkSpFlagIsXML = nullptr;
    QComboBox* AudioOutputCB = nullptr;
    QComboBox* FormatCB = nullptr;
    QComboBox* VoiceCB = nullptr;
    QLineEdit* SkipTxtBox = nullptr;
    UpDown* UpDown1 = nullptr;
    QSlider* RateSldr = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label5 = nullptr;
    QMenu* menuFile = nullptr;
    QMenu* edit = nullptr;
    QMenu* menuHelp = nullptr;
    QAction* menuFileOpenText = nullptr;
    QAction* menuFileSpeakWave = nullptr;
    QAction* menuFileSaveToWave = nullptr;
    QAction* menuSep = nullptr;
    QAction* menuFileExit = nullptr;
    QAction* vol = nullptr;
    QAction* menuAbout = nullptr;
    MouthImageList MouthImgList;
    std::unique_ptr<CommonDialog> ComDlg;
    QPointer<AboutDialog> frmAbout;

    // ---- state ----
    // Declared before the voice, so that the voice (and its threads) goes first.
    std::unique_ptr<EventPump> eventPump;
    std::unique_ptr<speech::SpVoice> Voice;
    int32_t SpeakFlags = 0;
    // The flag word at start-up and after a reset: asynchronous, purge before speak, XML (11).
    static constexpr int32_t kDefaultSpeakFlags =
        speech::SVSFlagsAsync | speech::SVSFPurgeBeforeSpeak | speech::SVSFIsXML;
    bool Speaking = false;
    bool Paused = false;

    // ---- selections made by code run the control's handler, as a user's pick does ----
    void selectComboEntry(QComboBox* box, int index);        // sets the index, then runs its click handler
    void setComboText(QComboBox* box, const QString& text);  // selects the entry with that text
    void setCheckValue(QCheckBox* box, int value);           // 0 or 1; the click handler runs on a change

    // ---- app/: start-up and shutdown, control states, debug pane, About ----
    void Form_Unload();
    void menuFileExit_Click();
    void menuAbout_Click();
    void SetSpeakingControls(bool speaking, bool paused);
    void AppendDebugText(const QString& message, const QString& detail);
    void LogVoiceEvent(const QStringList& items);

    // ---- app/commands/: flags, commands, voice settings, output and format ----
    static int32_t ApplyFlagBit(int16_t state, int32_t flags, int32_t bit);
    void chkSpFlagAync_Click();
    void chkSpFlagPurgeBeforeSpeak_Click();
    void chkSpFlagIsFilename_Click();
    void chkSpFlagIsXML_Click();
    void chkSpFlagPersistXML_Click();
    void chkSpFlagNLPSpeakPunc_Click();
    void SpeakBtn_Click();
    void PauseBtn_Click();
    void StopBtn_Click();
    void SkipBtn_Click();
    void VoiceCB_Click();
    void RateSldr_Scroll();
    void vol_Click();
    void ResetBtn_Click();
    void FillFormatList();
    void AddFormatEntry(const QString& name, int32_t type);
    void AudioOutputCB_Click();
    void FormatCB_Click();

    // ---- app/files/: open, save, speak WAV ----
    void menuFileOpenText_Click();
    void menuFileSaveToWave_Click();
    void menuFileSpeakWave_Click();
    QString GetDirectory();
    // Loads `path` into MainTxtBox as the Open command does with the file chosen in its dialog,
    // failures included (the program's command line names a file to open this way).
    void openTextFile(const QString& path);

    // ---- app/events/: voice events, highlighting, mouth ----
    void Voice_StartStream(int32_t streamNumber, const QVariant& streamPosition);
    void Voice_EndStream(int32_t streamNumber, const QVariant& streamPosition);
    void Voice_VoiceChange(int32_t streamNumber, const QVariant& streamPosition, const speech::SpObjectToken& token);
    void Voice_Bookmark(int32_t streamNumber, const QVariant& streamPosition, const QString& bookmark,
                        int32_t bookmarkId);
    void Voice_Word(int32_t streamNumber, const QVariant& streamPosition, int32_t characterPosition, int32_t length);
    void Voice_Sentence(int32_t streamNumber, const QVariant& streamPosition, int32_t characterPosition,
                        int32_t length);
    void Voice_Phoneme(int32_t streamNumber, const QVariant& streamPosition, int32_t duration, int16_t nextPhoneId,
                       int32_t feature, int16_t currentPhoneId);
    void Voice_Viseme(int32_t streamNumber, const QVariant& streamPosition, int32_t duration, int32_t visemeType,
                      int32_t feature, int32_t visemeId);
    void Voice_AudioLevel(int32_t streamNumber, const QVariant& streamPosition, int32_t audioLevel);
    void Voice_EnginePrivate(int32_t streamNumber, int32_t streamPosition, const QVariant& engineData);
    void HighlightSpokenRange(int32_t start, int32_t length);
    void LoadMouthImages();
    void ShowRestPicture();  // composite("MICFULL", "MICFULL") into VisemePicture
    // Runs the handler of one event the voice released, under the guard (the event pump's callback).
    void dispatchVoiceEvent(const speech::VoiceEvent& event);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void createControls();
    void createMenus();
    void connectHandlers();
    Services services_;
};
