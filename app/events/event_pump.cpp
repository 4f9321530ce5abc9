// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/events/event_pump.h"

#include <QElapsedTimer>
#include <QMetaObject>
#include <utility>

namespace {

// How long one call handles events before it lets the window handle input and paint.
constexpr qint64 kDispatchSliceMs = 30;

}  // namespace

EventPump::EventPump(std::function<speech::SpVoice*()> voice, std::function<void(const speech::VoiceEvent&)> handle,
                     QObject* parent)
    : QObject(parent), voice_(std::move(voice)), handle_(std::move(handle)) {}

std::function<void()> EventPump::notifier() {
    // One queued call at a time: further notifications while it waits add nothing, since the call
    // drains everything queued by the time it runs. The call is posted by name, so the worker thread
    // builds nothing of ours that the UI thread then reads.
    return [this] { post(); };
}

void EventPump::post() {
    if (posted_.exchange(true)) return;
    QMetaObject::invokeMethod(this, "dispatch", Qt::QueuedConnection);
}

void EventPump::dispatch() {
    // A handler that opens a modal box lets the event loop run; a nested call leaves the events to
    // the outer one so they are handled in order.
    posted_.store(false);
    if (dispatching_) return;
    dispatching_ = true;
    QElapsedTimer slice;
    slice.start();
    while (speech::SpVoice* voice = voice_()) {
        if (next_ == backlog_.size()) {
            backlog_ = voice->TakeEvents();
            next_ = 0;
            if (backlog_.empty()) break;
        }
        if (slice.elapsed() >= kDispatchSliceMs) {
            // The rest waits for one more queued call, behind the input and painting queued meanwhile.
            post();
            break;
        }
        const speech::VoiceEvent event = std::move(backlog_[next_++]);
        handle_(event);
    }
    if (!voice_()) {
        backlog_.clear();
        next_ = 0;
    }
    dispatching_ = false;
}
