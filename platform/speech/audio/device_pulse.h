// SPDX-License-Identifier: GPL-3.0-or-later
// The audio host that plays through a PulseAudio server (or PipeWire's PulseAudio service), on
// libpulse's threaded main loop.
//
// One connection to the server is shared by the host and the streams it opened; when the server goes
// away every call on those objects answers kDeviceLost at once, and the host's next devices() or
// open() connects afresh. Connecting never autospawns a server and never waits more than about two
// seconds for one that does not answer.
//
// Stream coordinates: writtenBytes counts every byte accepted since open(); playedBytes is the part the
// stream's clock says has been heard, never more than writtenBytes and never going backwards. A flush
// drops what has not been heard and moves playedBytes up to writtenBytes.
//
// interrupt() wakes a blocked write() or drain() on another thread; if nothing is blocked, the next
// write() or drain() returns at once instead. Either way the interrupt is consumed by that call.
#pragma once

#include <memory>

#include "speech/audio/device.h"

namespace speech::audio {

std::shared_ptr<AudioHost> makePulseAudioHost();

}  // namespace speech::audio
