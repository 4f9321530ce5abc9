// SPDX-License-Identifier: GPL-3.0-or-later
// The window's voice for the speech handlers; a handler that runs after the voice was released fails
// with a speech::Error instead of touching a null pointer.
#pragma once

#include <QString>

#include "app/parlan_main.h"
#include "base/error.h"
#include "speech/names.h"

inline speech::SpVoice& currentVoice(const ParlanMain& window) {
    if (!window.Voice) throw speech::Error(speech::errc::kUnexpected, "The voice has already been released.");
    return *window.Voice;
}

inline QString errorText(const speech::Error& error) {
    return QString::fromStdString(error.description());
}
