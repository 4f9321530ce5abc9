// SPDX-License-Identifier: GPL-3.0-or-later
// An engine worker for tests: the real one (espeak-ng), except that a segment holding one of these
// marks makes it fail the way engines do. U+1F4A5 (a collision): the process reading the segment is
// killed once its first audio is out. U+23F3 (an hourglass): it hangs, answering nothing.
#include <signal.h>
#include <unistd.h>

#include "speech/engine/espeak/espeak_synthesizer.h"
#include "speech/engine/worker/serve.h"

namespace {

using namespace speech;

class MisbehavingSynthesizer final : public engine::Synthesizer {
public:
    explicit MisbehavingSynthesizer(std::shared_ptr<engine::Synthesizer> real) : real_(std::move(real)) {}
    std::vector<core::SpObjectToken> voices() override { return real_->voices(); }
    int sampleRate() const override { return real_->sampleRate(); }

    base::Result<void> synthesize(const engine::SynthRequest& request, engine::SynthSink& sink) override {
        if (request.text.find(U'\u23F3') != std::u32string::npos) {
            for (;;) ::pause();
        }
        if (request.text.find(U'\U0001F4A5') == std::u32string::npos) return real_->synthesize(request, sink);
        // Dies with some of the segment delivered, so the audio a fresh worker gives again is seen twice.
        class Dying final : public engine::SynthSink {
        public:
            explicit Dying(SynthSink& sink) : sink_(sink) {}
            bool audio(std::span<const int16_t> samples) override {
                sink_.audio(samples);
                ::raise(SIGKILL);
                return false;
            }
            bool event(const engine::SynthEvent& event) override { return sink_.event(event); }

        private:
            engine::SynthSink& sink_;
        } dying(sink);
        return real_->synthesize(request, dying);
    }

private:
    std::shared_ptr<engine::Synthesizer> real_;
};

}  // namespace

int main() {
    return engine::worker::serveEngine(
        [] { return std::make_shared<MisbehavingSynthesizer>(engine::espeak::makeEspeakSynthesizer()); });
}
