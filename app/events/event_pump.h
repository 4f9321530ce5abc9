// SPDX-License-Identifier: GPL-3.0-or-later
// How the voice's events reach the window: the voice calls the pump's notifier from its worker
// thread; the notifier posts one queued call to the pump, which drains the voice's queue on the UI
// thread and hands each event to the window's handler, in order.
#pragma once

#include <QObject>
#include <atomic>
#include <cstddef>
#include <functional>
#include <vector>

#include "speech/names.h"
#include "speech/voice.h"

class EventPump : public QObject {
    Q_OBJECT

public:
    // `voice` gives the voice to take events from, or null once there is none (released by an unload
    // or a fatal error: what is left is then dropped); `handle` runs one event.
    EventPump(std::function<speech::SpVoice*()> voice, std::function<void(const speech::VoiceEvent&)> handle,
              QObject* parent = nullptr);

    // A notify function for SpVoice::SetNotify. Safe to call from any thread while the pump lives; the
    // window stops notifications and joins the voice's threads before it goes away.
    std::function<void()> notifier();

    // Drains the voice's event queue and handles each event, in order (UI thread only). A backlog (the
    // hundreds of thousands of events of a long text saved to a file) is handled in slices of a few
    // tens of milliseconds, with input and painting in between.
    Q_INVOKABLE void dispatch();

    // Events taken from the voice and not handled yet, and whether a call to dispatch is waiting.
    size_t pending() const { return backlog_.size() - next_; }
    bool posted() const { return posted_.load(); }

private:
    // Posts a call to dispatch unless one is waiting already.
    void post();

    std::function<speech::SpVoice*()> voice_;
    std::function<void(const speech::VoiceEvent&)> handle_;
    // Set when a call to dispatch is posted and has not run yet, so a burst of notifications posts one.
    std::atomic<bool> posted_{false};
    // Events taken from the voice; those from next_ on are not handled yet.
    std::vector<speech::VoiceEvent> backlog_;
    size_t next_ = 0;
    bool dispatching_ = false;
};
