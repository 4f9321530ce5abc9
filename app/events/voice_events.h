// How the voice's events reach the window: the voice calls the notifier from its worker thread; the
// notifier posts one queued call to the window, which drains the queue on the UI thread.
#pragma once

#include <functional>

class ParlanMain;

// A notify function for SpVoice::SetNotify. Safe to call from any thread while the window lives; the
// window stops notifications and joins the voice's threads before it goes away.
std::function<void()> voiceEventNotifier(ParlanMain& window);
