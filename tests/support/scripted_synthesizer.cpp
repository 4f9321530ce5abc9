// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/scripted_synthesizer.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <thread>

namespace testing_support {

using base::Fault;
using base::Result;
using speech::core::SpObjectToken;
using speech::core::TokenKind;
namespace errc = base::errc;

// ---- ScriptedSynthesizer -----------------------------------------------------------------------------

ScriptedSynthesizer::ScriptedSynthesizer() = default;

std::vector<speech::core::SpObjectToken> ScriptedSynthesizer::voices() {
    return {
        SpObjectToken(TokenKind::Voice, "test-a", "Test Voice A",
                      {{"Language", "409"}, {"Gender", "Female"}, {"Name", "A"}}),
        SpObjectToken(TokenKind::Voice, "test-b", "Test Voice B",
                      {{"Language", "804"}, {"Gender", "Male"}, {"Name", "B"}}),
    };
}

std::vector<speech::engine::SynthRequest> ScriptedSynthesizer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

Result<void> ScriptedSynthesizer::synthesize(const speech::engine::SynthRequest& request,
                                             speech::engine::SynthSink& sink) {
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
    }
    const char32_t fail = failOn.load();
    if (fail != 0 && request.text.find(fail) != std::u32string::npos) {
        return Fault{base::errc::kEngine, "The scripted engine was told to fail."};
    }
    if (const char32_t oom = throwOn.load(); oom != 0 && request.text.find(oom) != std::u32string::npos)
        throw std::bad_alloc();
    const int perChar = samplesPerChar.load();
    const int delay = microsecondsPerChar.load();
    std::vector<int16_t> block(static_cast<size_t>(perChar));
    for (size_t i = 0; i < block.size(); ++i) block[i] = (i / 10) % 2 ? 8000 : -8000;

    const auto& text = request.text;
    auto isSpace = [](char32_t c) { return c == U' ' || c == U'\n' || c == U'\r' || c == U'\t'; };
    for (size_t i = 0; i < text.size(); ++i) {
        const uint64_t sample = static_cast<uint64_t>(i) * static_cast<uint64_t>(perChar);
        if (!isSpace(text[i]) && (i == 0 || isSpace(text[i - 1]))) {
            size_t end = i;
            while (end < text.size() && !isSpace(text[end])) ++end;
            speech::engine::SynthEvent word;
            word.kind = speech::engine::SynthEvent::Kind::Word;
            word.sample = sample;
            word.textPosition = static_cast<int32_t>(i);
            word.length = static_cast<int32_t>(end - i);
            if (!sink.event(word)) return {};
        }
        if (!isSpace(text[i])) {
            speech::engine::SynthEvent phone;
            phone.kind = speech::engine::SynthEvent::Kind::Phoneme;
            phone.sample = sample;
            phone.phoneId = static_cast<int32_t>(text[i] % 100 + 1);
            phone.viseme = static_cast<int32_t>(text[i] % 22);
            phone.stressed = i % 2 == 0;
            if (!sink.event(phone)) return {};
        }
        if (delay > 0) std::this_thread::sleep_for(std::chrono::microseconds(delay));
        if (!sink.audio(block)) return {};
    }
    speech::engine::SynthEvent end;
    end.kind = speech::engine::SynthEvent::Kind::End;
    end.sample = text.size() * static_cast<uint64_t>(perChar);
    sink.event(end);
    return {};
}

}  // namespace testing_support
