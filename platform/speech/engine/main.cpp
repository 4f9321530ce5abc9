// tallamo-engine: the speech platform's engine worker. It runs espeak-ng (with sonic for slow rates)
// and nothing else, serving one segment at a time over the socket the platform passes as descriptor
// 3 (engine_protocol.h). It ends when the platform closes the socket or itself ends.
#include <signal.h>
#include <sys/prctl.h>

#include <chrono>
#include <vector>

#include "platform/speech/engine_process.h"
#include "platform/speech/engine_protocol.h"
#include "platform/speech/espeak_synthesizer.h"

namespace {

using namespace speech;
using engine::Channel;
using engine::MessageType;

constexpr int kSocket = 3;
constexpr std::chrono::milliseconds kNoLimit{-1};
constexpr std::chrono::milliseconds kNoWait{0};

// Streams one segment's output to the platform: events are gathered and go with the next audio, so
// one write carries each piece of audio with the events before it. A Cancel from the platform, looked
// for after every write, stops the engine.
class ReplySink final : public SynthSink {
public:
    explicit ReplySink(Channel& channel) : channel_(channel) {}

    bool audio(std::span<const int16_t> samples) override {
        const auto frame = engine::encodeAudio(samples);
        pending_.insert(pending_.end(), frame.begin(), frame.end());
        return flush() && !cancelRequested();
    }
    bool event(const SynthEvent& event) override {
        const auto frame = engine::encodeEvent(event);
        pending_.insert(pending_.end(), frame.begin(), frame.end());
        return !lost_;
    }
    // Sends what is gathered; false when the platform is gone.
    bool flush() {
        if (!lost_ && !pending_.empty()) lost_ = channel_.send(pending_, kNoLimit) != Channel::Status::Ok;
        pending_.clear();
        return !lost_;
    }
    bool lost() const { return lost_; }

private:
    bool cancelRequested() {
        engine::Frame frame;
        for (;;) {
            const auto status = channel_.receive(frame, kNoWait);
            if (status == Channel::Status::Timeout) return false;
            if (status == Channel::Status::Closed) {
                lost_ = true;
                return true;
            }
            if (frame.type == MessageType::Cancel) return true;
        }
    }

    Channel& channel_;
    std::vector<uint8_t> pending_;
    bool lost_ = false;
};

}  // namespace

int main() {
    // The worker never outlives the program that started it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    Channel channel{engine::UniqueFd(kSocket)};

    std::shared_ptr<Synthesizer> synthesizer;
    try {
        synthesizer = makeEspeakSynthesizer();
    } catch (const Error& error) {
        (void)channel.send(engine::encodeDone(Fault{error.code(), error.description()}), kNoLimit);
        return 1;
    }
    if (channel.send(engine::encodeReady({synthesizer->sampleRate(), synthesizer->voices()}), kNoLimit) !=
        Channel::Status::Ok) {
        return 0;
    }
    for (;;) {
        engine::Frame frame;
        if (channel.receive(frame, kNoLimit) != Channel::Status::Ok) return 0;
        if (frame.type == MessageType::Cancel) continue;  // it came after its segment had ended
        if (frame.type != MessageType::Synthesize) return 2;
        const auto request = engine::decodeSynthesize(frame.payload);
        if (!request) return 2;
        ReplySink sink(channel);
        const Result<void> result = synthesizer->synthesize(*request, sink);
        if (!sink.flush()) return 0;
        std::optional<Fault> fault;
        if (!result) fault = result.fault();
        if (channel.send(engine::encodeDone(fault), kNoLimit) != Channel::Status::Ok) return 0;
    }
}
