// SPDX-License-Identifier: GPL-3.0-or-later
// tallamo-pdf: the PDF reader helper (documents/pdf_protocol.h). It reads the document handed to it
// as descriptor 4 with poppler, one page at a time as the program asks, and answers on the socket
// that is its descriptor 3, until the program closes it. Before it reads a byte of the document it
// bounds its own memory (RLIMIT_DATA), and it bounds the processor time of the opening and of each
// page (RLIMIT_CPU): a page that would take more ends the process, never the program, which watches
// its memory and its time from outside as well.
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <optional>
#include <string>

#include "documents/pdf/extractor.h"
#include "documents/pdf_protocol.h"

namespace {

using namespace documents::pdf;

constexpr int kSocket = 3;
constexpr const char* kDocument = "/proc/self/fd/4";

std::optional<Frame> receive(FrameReader& frames) {
    for (;;) {
        if (auto frame = frames.next()) return frame;
        if (frames.broken()) return std::nullopt;
        uint8_t buffer[4096];
        const ssize_t n = ::read(kSocket, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        frames.append({buffer, static_cast<size_t>(n)});
    }
}

bool send(const std::vector<uint8_t>& frame) {
    for (size_t sent = 0; sent < frame.size();) {
        const ssize_t n = ::send(kSocket, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

void setLimit(int resource, rlim_t soft, rlim_t hard) {
    const rlimit limit{soft, hard};
    (void)::setrlimit(resource, &limit);
}

// The memory bound, no core file and no file written.
void boundSelf(const Bounds& bounds) {
    setLimit(RLIMIT_DATA, bounds.memoryBytes, bounds.memoryBytes);
    setLimit(RLIMIT_CORE, 0, 0);
    setLimit(RLIMIT_FSIZE, 0, 0);
}

// Allows `seconds` of processor time from now; past it the kernel ends the process (SIGXCPU).
void allowProcessorTime(uint32_t seconds) {
    rusage used{};
    ::getrusage(RUSAGE_SELF, &used);
    rlimit limit{};
    ::getrlimit(RLIMIT_CPU, &limit);
    rlim_t soft = static_cast<rlim_t>(used.ru_utime.tv_sec + used.ru_stime.tv_sec) + 1 + seconds;
    if (limit.rlim_max != RLIM_INFINITY && soft > limit.rlim_max) soft = limit.rlim_max;
    setLimit(RLIMIT_CPU, soft, limit.rlim_max);
}

// Answers one page; false when the program is gone. (A failed allocation ends the process, in main.)
bool answerPage(const Extractor& extractor, uint32_t index, const Bounds& bounds) {
    allowProcessorTime(bounds.pageCpuSeconds);
    const std::u16string text = extractor.pageText(static_cast<int>(index));
    if (text.size() > bounds.maxPageUnits) {
        return send(encodePageRefused(
            index, "it holds more than " + std::to_string(bounds.maxPageUnits) + " characters of text"));
    }
    return send(encodePage(index, text));
}

int serve() {
    FrameReader frames;
    const auto first = receive(frames);
    if (!first) return static_cast<int>(HelperExit::Done);
    const auto bounds = first->type == Message::Open ? decodeOpen(first->payload) : std::nullopt;
    if (!bounds) return static_cast<int>(HelperExit::BadRequest);
    boundSelf(*bounds);
    allowProcessorTime(bounds->pageCpuSeconds);
    auto opened = Extractor::open(std::string(kDocument));
    if (auto* why = std::get_if<NotOpened>(&opened)) {
        (void)send(encodeNotOpened(*why));
        return static_cast<int>(HelperExit::Done);
    }
    const Extractor& extractor = *std::get<std::unique_ptr<Extractor>>(opened);
    if (!send(encodeOpened(extractor.info()))) return static_cast<int>(HelperExit::Done);
    for (;;) {
        const auto frame = receive(frames);
        if (!frame) return static_cast<int>(frames.broken() ? HelperExit::BadRequest : HelperExit::Done);
        const auto index = frame->type == Message::ReadPage ? decodeReadPage(frame->payload) : std::nullopt;
        if (!index) return static_cast<int>(HelperExit::BadRequest);
        if (!answerPage(extractor, *index, *bounds)) return static_cast<int>(HelperExit::Done);
    }
}

}  // namespace

int main() {
    // The program may go away at any time: a write to its socket then fails instead of ending this
    // process with a signal.
    ::signal(SIGPIPE, SIG_IGN);
    try {
        return serve();
    } catch (const std::bad_alloc&) {
        return static_cast<int>(HelperExit::OutOfMemory);
    }
}
