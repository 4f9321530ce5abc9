// SPDX-License-Identifier: GPL-3.0-or-later
// The state a voice's calls, its worker and the request being processed share: purging the queue,
// waking the sink, and releasing events to the owner.
#include "speech/pipeline/voice_state.h"

#include <algorithm>

#include "speech/pipeline/sinks.h"

namespace speech::pipeline {
namespace {

int32_t interestOf(core::EventKind kind) {
    switch (kind) {
        case core::EventKind::StartStream:
            return core::SVEStartInputStream;
        case core::EventKind::EndStream:
            return core::SVEEndInputStream;
        case core::EventKind::VoiceChange:
            return core::SVEVoiceChange;
        case core::EventKind::Bookmark:
            return core::SVEBookmark;
        case core::EventKind::Word:
            return core::SVEWordBoundary;
        case core::EventKind::Sentence:
            return core::SVESentenceBoundary;
        case core::EventKind::Phoneme:
            return core::SVEPhoneme;
        case core::EventKind::Viseme:
            return core::SVEViseme;
        case core::EventKind::AudioLevel:
            return core::SVEAudioLevel;
        case core::EventKind::EnginePrivate:
            return core::SVEPrivate;
    }
    return 0;
}

}  // namespace

void VoiceState::purgeLocked() {
    while (!queue.empty()) {
        doneThrough = std::max(doneThrough, queue.front()->number);
        queue.front()->stopped();
        queue.pop_front();
    }
    ++purgeGeneration;
    ++controlSerial;
    epoch.fetch_add(1, std::memory_order_acq_rel);
    purges.fetch_add(1, std::memory_order_acq_rel);
    interruptSinkLocked();
    wake.notify_all();
    idle.notify_all();
}

void VoiceState::interruptSinkLocked() {
    if (activeSink) activeSink->interrupt();
}

void VoiceState::progressed() {
    {
        std::lock_guard lock(mutex);
        ++progressSerial;
    }
    wake.notify_all();
}

void VoiceState::publish(std::vector<core::VoiceEvent> released) {
    const int32_t wanted = interests.load(std::memory_order_relaxed);
    {
        std::lock_guard lock(eventsMutex);
        bool any = false;
        for (auto& e : released) {
            if (e.kind == core::EventKind::StartStream) status = core::SpVoiceStatus{};
            status.currentStreamNumber = e.streamNumber;
            if (e.kind == core::EventKind::Word) {
                status.inputWordPosition = e.characterPosition;
                status.inputWordLength = e.length;
            } else if (e.kind == core::EventKind::Sentence) {
                status.inputSentencePosition = e.characterPosition;
                status.inputSentenceLength = e.length;
            }
            if ((interestOf(e.kind) & wanted) == 0) continue;
            events.push_back(std::move(e));
            any = true;
        }
        if (!any) return;
    }
    // Called without the event queue's lock (the callback may take the events at once); SetNotify waits
    // for a running call, so a replaced function is never called afterwards.
    std::lock_guard lock(notifyMutex);
    if (notify) notify();
}

}  // namespace speech::pipeline
