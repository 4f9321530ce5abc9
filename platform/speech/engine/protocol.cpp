// SPDX-License-Identifier: GPL-3.0-or-later
#include "speech/engine/protocol.h"

#include <sys/wait.h>

#include <array>
#include <cstring>
#include <type_traits>

#include "base/child_process.h"
#include "base/wire.h"

namespace speech::engine {

using base::wire::Decoder;
using base::wire::Encoder;
using base::wire::ifDone;

namespace {

// A request's switches, one bit each in this order.
constexpr std::array<bool SynthRequest::*, 8> kRequestFlags{
    &SynthRequest::emphasis, &SynthRequest::speakPunctuation, &SynthRequest::phonemes, &SynthRequest::ssml,
    &SynthRequest::endPause, &SynthRequest::stress,           &SynthRequest::fresh,    &SynthRequest::bulk,
};
static_assert(kRequestFlags.size() <= 8, "the switches travel in one byte");

}  // namespace

std::vector<uint8_t> encodeReady(const ReadyInfo& info) {
    base::wire::Encoder e(MessageType::Ready);
    e.put(static_cast<int32_t>(info.sampleRate));
    e.put(static_cast<uint32_t>(info.voices.size()));
    for (const core::SpObjectToken& voice : info.voices) {
        e.put(voice.Id());
        e.put(voice.GetDescription());
        e.put(static_cast<uint32_t>(voice.attributes().size()));
        for (const auto& [name, value] : voice.attributes()) {
            e.put(name);
            e.put(value);
        }
    }
    e.put(info.data.version);
    e.put(info.data.folder);
    return std::move(e).finish();
}

std::optional<ReadyInfo> decodeReady(std::span<const uint8_t> payload) {
    base::wire::Decoder d(payload);
    ReadyInfo info;
    info.sampleRate = d.get<int32_t>();
    const auto count = d.get<uint32_t>();
    for (uint32_t i = 0; i < count && !d.failed(); ++i) {
        std::string id = d.getString();
        std::string description = d.getString();
        std::map<std::string, std::string> attributes;
        const auto attributeCount = d.get<uint32_t>();
        for (uint32_t k = 0; k < attributeCount && !d.failed(); ++k) {
            std::string name = d.getString();
            attributes[std::move(name)] = d.getString();
        }
        info.voices.emplace_back(core::TokenKind::Voice, std::move(id), std::move(description), std::move(attributes));
    }
    info.data.version = d.getString();
    info.data.folder = d.getString();
    return base::wire::ifDone(d, std::move(info));
}

std::vector<uint8_t> encodeAudio(std::span<const int16_t> samples) {
    base::wire::Encoder e(MessageType::Audio);
    e.putRaw(samples);
    return std::move(e).finish();
}

void closeAudio(std::vector<uint8_t>& frame) {
    base::wire::writeHeader(frame, static_cast<uint8_t>(MessageType::Audio));
}

std::optional<std::vector<int16_t>> decodeAudio(std::span<const uint8_t> payload) {
    std::vector<int16_t> samples;
    if (!decodeAudio(payload, samples)) return std::nullopt;
    return samples;
}

bool decodeAudio(std::span<const uint8_t> payload, std::vector<int16_t>& samples) {
    if (payload.size() % sizeof(int16_t) != 0) return false;
    samples.resize(payload.size() / sizeof(int16_t));
    if (!payload.empty()) std::memcpy(samples.data(), payload.data(), payload.size());
    return true;
}

std::vector<uint8_t> encodeEvent(const SynthEvent& event) {
    base::wire::Encoder e(MessageType::Event);
    e.put(static_cast<uint8_t>(event.kind));
    e.put(event.sample);
    e.put(event.textPosition);
    e.put(event.length);
    e.put(event.phoneId);
    e.put(event.viseme);
    e.put(static_cast<uint8_t>(event.stressed));
    e.put(event.name);
    return std::move(e).finish();
}

std::optional<SynthEvent> decodeEvent(std::span<const uint8_t> payload) {
    base::wire::Decoder d(payload);
    SynthEvent event;
    const auto kind = d.get<uint8_t>();
    if (kind > static_cast<uint8_t>(SynthEvent::Kind::End)) return std::nullopt;
    event.kind = static_cast<SynthEvent::Kind>(kind);
    event.sample = d.get<uint64_t>();
    event.textPosition = d.get<int32_t>();
    event.length = d.get<int32_t>();
    event.phoneId = d.get<int32_t>();
    event.viseme = d.get<int32_t>();
    event.stressed = d.get<uint8_t>() != 0;
    event.name = d.getString();
    return base::wire::ifDone(d, std::move(event));
}

std::vector<uint8_t> encodeDone(const std::optional<base::Fault>& fault) {
    base::wire::Encoder e(MessageType::Done);
    e.put(static_cast<uint8_t>(fault.has_value()));
    if (fault) {
        e.put(fault->code);
        e.put(fault->message);
    }
    return std::move(e).finish();
}

std::optional<std::optional<base::Fault>> decodeDone(std::span<const uint8_t> payload) {
    base::wire::Decoder d(payload);
    std::optional<base::Fault> fault;
    if (d.get<uint8_t>() != 0) {
        base::Fault f;
        f.code = d.get<int32_t>();
        f.message = d.getString();
        fault = std::move(f);
    }
    return base::wire::ifDone(d, std::move(fault));
}

std::vector<uint8_t> encodeSynthesize(const SynthRequest& request) {
    base::wire::Encoder e(MessageType::Synthesize);
    e.put(request.voiceId);
    e.put(request.runVoiceId);
    e.put(static_cast<int32_t>(request.rate));
    e.put(static_cast<int32_t>(request.volume));
    e.put(static_cast<int32_t>(request.pitch));
    uint8_t flags = 0;
    for (size_t i = 0; i < kRequestFlags.size(); ++i) {
        if (request.*kRequestFlags[i]) flags |= static_cast<uint8_t>(1u << i);
    }
    e.put(flags);
    e.putArray(std::span<const char32_t>(request.text.data(), request.text.size()));
    return std::move(e).finish();
}

std::optional<SynthRequest> decodeSynthesize(std::span<const uint8_t> payload) {
    base::wire::Decoder d(payload);
    SynthRequest request;
    request.voiceId = d.getString();
    request.runVoiceId = d.getString();
    request.rate = d.get<int32_t>();
    request.volume = d.get<int32_t>();
    request.pitch = d.get<int32_t>();
    const auto flags = d.get<uint8_t>();
    for (size_t i = 0; i < kRequestFlags.size(); ++i) request.*kRequestFlags[i] = ((flags >> i) & 1u) != 0;
    const auto text = d.getArray<char32_t>();
    request.text.assign(text.begin(), text.end());
    return base::wire::ifDone(d, std::move(request));
}

std::vector<uint8_t> encodeCancel() {
    return base::wire::Encoder(MessageType::Cancel).finish();
}

std::vector<uint8_t> encodeFrame(const Frame& frame) {
    base::wire::Encoder e(frame.type);
    e.putRaw(std::span<const uint8_t>(frame.payload));
    return std::move(e).finish();
}

std::optional<Frame> FrameSplitter::next() {
    Frame frame;
    if (!next(frame)) return std::nullopt;
    return frame;
}

bool FrameSplitter::headerAt(uint32_t& length, uint8_t& type) {
    std::memcpy(&length, buffer_.data() + start_, sizeof length);
    type = buffer_[start_ + 4];
    if (length > kMaxPayload || type < static_cast<uint8_t>(MessageType::Ready) ||
        type > static_cast<uint8_t>(MessageType::Cancel)) {
        broken_ = true;
        return false;
    }
    return true;
}

std::span<uint8_t> FrameSplitter::space() {
    if (large_ && largeFilled_ < large_->payload.size())
        return std::span<uint8_t>(large_->payload).subspan(largeFilled_);
    // Bytes after a large frame (read before it is taken) wait in the buffer. What is left of a frame moves
    // to the front, so the buffer stays about one read long.
    if (start_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + start_, end_ - start_);
        end_ -= start_;
        start_ = 0;
    }
    if (buffer_.size() < end_ + kReadBytes) buffer_.resize(end_ + kReadBytes);
    return std::span<uint8_t>(buffer_).subspan(end_);
}

void FrameSplitter::filled(size_t count) {
    if (large_ && largeFilled_ < large_->payload.size())
        largeFilled_ += count;
    else
        end_ += count;
}

void FrameSplitter::append(std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
        const auto room = space();
        const size_t count = std::min(room.size(), bytes.size());
        std::memcpy(room.data(), bytes.data(), count);
        filled(count);
        bytes = bytes.subspan(count);
    }
}

bool FrameSplitter::next(Frame& frame) {
    if (broken_) return false;
    if (large_) {
        if (largeFilled_ < large_->payload.size()) return false;
        frame.type = large_->type;
        std::swap(frame.payload, large_->payload);
        spare_ = std::move(large_->payload);
        large_.reset();
        return true;
    }
    const size_t available = end_ - start_;
    if (available < kHeaderSize) return false;
    uint32_t length = 0;
    uint8_t type = 0;
    if (!headerAt(length, type)) return false;
    const uint8_t* payload = buffer_.data() + start_ + kHeaderSize;
    if (available < kHeaderSize + length) {
        if (length < kDirectBytes) return false;
        // The rest of this payload is read straight into its frame.
        large_.emplace();
        large_->type = static_cast<MessageType>(type);
        large_->payload = std::move(spare_);
        large_->payload.resize(length);
        largeFilled_ = available - kHeaderSize;
        std::memcpy(large_->payload.data(), payload, largeFilled_);
        start_ = end_ = 0;
        return false;
    }
    frame.type = static_cast<MessageType>(type);
    frame.payload.assign(payload, payload + length);
    start_ += kHeaderSize + length;
    if (start_ == end_) start_ = end_ = 0;
    return true;
}

std::string describeWorkerEnd(int waitStatus) {
    if (WIFEXITED(waitStatus)) {
        switch (static_cast<WorkerExit>(WEXITSTATUS(waitStatus))) {
            case WorkerExit::Done:
                return "it ended without answering";
            case WorkerExit::CannotStart:
                return "it could not start";
            case WorkerExit::BadRequest:
                return "it could not read what it was sent";
            case WorkerExit::CannotGoOn:
                return "it could not go on";
        }
    }
    return base::describeWaitStatus(waitStatus);
}

}  // namespace speech::engine
