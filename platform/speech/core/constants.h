// SPDX-License-Identifier: GPL-3.0-or-later
// Numbers of the automation interface: speak flags, event interests, stream file modes.
#pragma once

#include <cstdint>

namespace speech::core {

enum SpeechVoiceSpeakFlags : int32_t {
    SVSFDefault = 0,
    SVSFlagsAsync = 1,
    SVSFPurgeBeforeSpeak = 2,
    SVSFIsFilename = 4,
    SVSFIsXML = 8,
    SVSFIsNotXML = 16,
    SVSFPersistXML = 32,
    SVSFNLPSpeakPunc = 64,
};

// Bits of SpVoice::EventInterests.
enum SpeechVoiceEvents : int32_t {
    SVEStartInputStream = 2,
    SVEEndInputStream = 4,
    SVEVoiceChange = 8,
    SVEBookmark = 16,
    SVEWordBoundary = 32,
    SVEPhoneme = 64,
    SVESentenceBoundary = 128,
    SVEViseme = 256,
    SVEAudioLevel = 512,
    SVEPrivate = 32768,
    SVEAllEvents = 33790,
};

// The default interests: everything except audio level and engine-private events.
inline constexpr int32_t kDefaultEventInterests = SVEAllEvents & ~(SVEAudioLevel | SVEPrivate);

enum SpeechStreamFileMode : int32_t {
    SSFMOpenForRead = 0,
    SSFMOpenReadWrite = 1,
    SSFMCreate = 2,
    SSFMCreateForWrite = 3,
};

}  // namespace speech::core
