// SPDX-License-Identifier: GPL-3.0-or-later
// The state a voice's calls, its worker and the request being processed share: purging the queue,
// waking the sink, and releasing events to the owner.
#include "speech/pipeline/voice_state.h"

#include <algorithm>

#include "speech/pipeline/sinks.h"

namespace speech {
namespace {

int32_t interestOf(EventKind kind) {
    switch (kind) {
        case EventKind::StartStream:
            return SVEStartInputStream;
        case EventKind::EndStream:
            return SVEEndInputStream;
        case EventKind::VoiceChange:
            return SVEVoiceChange;
        case EventKind::Bookmark:
            return SVEBookmark;
        case EventKind::Word:
            return SVEWordBoundary;
        case EventKind::Sentence:
            return SVESentenceBoundary;
        case EventKind::Phoneme:
            return SVEPhoneme;
        case EventKind::Viseme:
            return SVEViseme;
        case EventKind::AudioLevel:
            return SVEAudioLevel;
        case EventKind::EnginePrivate:
            return SVEPrivate;
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

void VoiceState::publish(std::vector<VoiceEvent> released) {
    const int32_t wanted = interests.load(std::memory_order_relaxed);
    {
        std::lock_guard lock(eventsMutex);
        bool any = false;
        for (auto& e : released) {
            if (e.kind == EventKind::StartStream) status = SpVoiceStatus{};
            status.currentStreamNumber = e.streamNumber;
            if (e.kind == EventKind::Word) {
                status.inputWordPosition = e.characterPosition;
                status.inputWordLength = e.length;
            } else if (e.kind == EventKind::Sentence) {
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

}  // namespace speech
