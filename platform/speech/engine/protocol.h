// SPDX-License-Identifier: GPL-3.0-or-later
// The binary protocol between the platform and its engine worker processes (tallamo-engine), over a
// stream socket pair. Every message is one frame: a 32-bit payload length, a one-byte type, then the
// payload. Integers travel in the host's own byte order: both ends are built together and run on the
// same machine.
//
//   worker -> platform   Ready     once, after the engine started: sample rate, the voice list, and the
//                                  engine's version and data folder
//                        Audio     16-bit mono samples of the request being synthesized
//                        Event     one engine event of that request (sample offsets count from its start)
//                        Done      the request ended: fine, or the engine's fault (also sent instead of
//                                  Ready when the engine cannot start)
//   platform -> worker   Synthesize  one segment: its text, voice and settings, and whether it starts a
//                                    run from the engine's initial state or continues the run before
//                        Cancel      stop the request in progress (it still ends with Done)
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/uninitialized_vector.h"
#include "base/wire.h"
#include "speech/core/tokens.h"
#include "speech/engine/synthesizer.h"

namespace speech::engine {

enum class MessageType : uint8_t { Ready = 1, Audio, Event, Done, Synthesize, Cancel };

// How a worker (or a child reading one of its runs) ends: its exit status.
enum class WorkerExit : int {
    Done = 0,         // the platform closed its socket, or went away while it was answered
    CannotStart = 1,  // the engine did not start (the platform was told why), or a child could not be set up
    BadRequest = 2,   // it was sent something it could not read as a request (a frame past kMaxPayload, say)
    CannotGoOn = 3,   // waiting or forking failed, or a child ended without a status of its own to pass on
};

// How a worker ended, from its wait status, for the platform's messages: "it could not read what it
// was sent", "killed by signal 11 (Segmentation fault)". A worker that ends by itself (status 0) while
// it was reading a request "ended without answering".
std::string describeWorkerEnd(int waitStatus);

// A frame larger than this is taken as a broken stream, not as a message.
inline constexpr uint32_t kMaxPayload = 16u << 20;
inline constexpr size_t kHeaderSize = base::wire::kHeaderSize;

struct Frame {
    MessageType type = MessageType::Done;
    base::UninitializedVector<uint8_t> payload;
};

struct ReadyInfo {
    int sampleRate = 0;
    std::vector<core::SpObjectToken> voices;
    EngineData data = {};
};

// Each encoder returns a whole frame, header included.
std::vector<uint8_t> encodeReady(const ReadyInfo& info);
std::vector<uint8_t> encodeAudio(std::span<const int16_t> samples);
// An Audio frame built where its samples are gathered (audio is most of what is sent, so it is not
// copied into a frame of its own): `frame` holds kHeaderSize bytes of room, then the samples' bytes;
// this fills the header in.
void closeAudio(std::vector<uint8_t>& frame);
std::vector<uint8_t> encodeEvent(const SynthEvent& event);
std::vector<uint8_t> encodeDone(const std::optional<base::Fault>& fault);
std::vector<uint8_t> encodeSynthesize(const SynthRequest& request);
std::vector<uint8_t> encodeCancel();
// A frame as received, whole again (to pass it on).
std::vector<uint8_t> encodeFrame(const Frame& frame);

// Each decoder reads a payload of its type; nothing when the payload is malformed.
std::optional<ReadyInfo> decodeReady(std::span<const uint8_t> payload);
std::optional<std::vector<int16_t>> decodeAudio(std::span<const uint8_t> payload);
// The same into `samples`, whose memory is used again; false for a malformed payload.
bool decodeAudio(std::span<const uint8_t> payload, std::vector<int16_t>& samples);
std::optional<SynthEvent> decodeEvent(std::span<const uint8_t> payload);
// The outer optional is the payload's validity; the inner one the fault it carries.
std::optional<std::optional<base::Fault>> decodeDone(std::span<const uint8_t> payload);
std::optional<SynthRequest> decodeSynthesize(std::span<const uint8_t> payload);

// Splits a byte stream into frames. Bytes are read into space() and reported with filled() (or copied
// in with append()); complete frames come out.
//
// A frame with a large payload (audio) is not gathered in the buffer: once its header is in, its
// payload is read straight into the frame handed out, which saves two copies of every byte of audio
// on its way from the engine.
class FrameSplitter {
public:
    // Where the next bytes of the stream go: the rest of a large frame's payload, or free room at the
    // end of the buffer (at least kReadBytes). Never empty.
    std::span<uint8_t> space();
    // `count` bytes were written at the start of space().
    void filled(size_t count);
    // Copies `bytes` in through space() and filled().
    void append(std::span<const uint8_t> bytes);
    // The next complete frame; nothing while it is incomplete. A header announcing more than
    // kMaxPayload or an unknown type makes the stream broken: nothing comes out any more.
    std::optional<Frame> next();
    // The same into `frame`, whose payload's memory is used again; false when there is none.
    bool next(Frame& frame);
    bool broken() const { return broken_; }

    // Bytes read from the stream at once when no large frame is coming: a few engine replies.
    static constexpr size_t kReadBytes = 256 * 1024;
    // A payload at least this long is read straight into its frame.
    static constexpr size_t kDirectBytes = 64 * 1024;

private:
    // Whether the buffer starts with a valid header; false (and broken) when it announces no frame.
    bool headerAt(uint32_t& length, uint8_t& type);

    base::UninitializedVector<uint8_t> buffer_;
    size_t start_ = 0;  // the first byte not yet taken
    size_t end_ = 0;    // after the last byte read
    // The large frame being read, and how many bytes of its payload are in.
    std::optional<Frame> large_;
    size_t largeFilled_ = 0;
    // The memory of a payload handed back by next(), for the next large frame.
    base::UninitializedVector<uint8_t> spare_;
    bool broken_ = false;
};

}  // namespace speech::engine
