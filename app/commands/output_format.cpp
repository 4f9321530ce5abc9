// SPDX-License-Identifier: GPL-3.0-or-later
// The audio output list and the audio format list.
#include <QComboBox>

#include "app/current_voice.h"
#include "app/parlan_main.h"
#include "speech/core/formats.h"
#include "speech/names.h"

void ParlanMain::FillFormatList() {
    for (const speech::FormatEntry& entry : speech::formatTable()) {
        AddFormatEntry(QString::fromLatin1(entry.name.data(), static_cast<qsizetype>(entry.name.size())), entry.type);
    }
}

void ParlanMain::AddFormatEntry(const QString& name, int32_t type) {
    FormatCB->insertItem(FormatCB->count(), name, QVariant::fromValue<int32_t>(type));
}

// Moves the voice to the selected device, then applies the selected format to its new stream.
void ParlanMain::AudioOutputCB_Click() {
    try {
        speech::SpVoice& voice = currentVoice(*this);
        const speech::SpObjectTokens outputs = voice.GetAudioOutputs("", "");
        voice.SetAudioOutput(outputs.Item(AudioOutputCB->currentIndex()));
    } catch (const speech::Error& error) {
        AppendDebugText(QStringLiteral("Set audio output error: "), errorText(error));
        return;
    }
    FormatCB_Click();
}

void ParlanMain::FormatCB_Click() {
    try {
        speech::SpVoice& voice = currentVoice(*this);
        voice.SetAllowAudioOutputFormatChangesOnNextSet(false);
        std::shared_ptr<speech::SpStream> stream = voice.AudioOutputStream();
        if (!stream) throw speech::Error(speech::errc::kUnexpected, "The voice has no audio output stream.");
        if (FormatCB->currentIndex() < 0) {
            throw speech::Error(speech::errc::kInvalidArg, "No audio format is selected.");
        }
        stream->Format().SetType(FormatCB->currentData().value<int32_t>());
        voice.SetAudioOutputStream(stream);
    } catch (const speech::Error& error) {
        AppendDebugText(QStringLiteral("Set format error: "), errorText(error));
    }
}
