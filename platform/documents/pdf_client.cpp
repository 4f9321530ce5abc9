// SPDX-License-Identifier: GPL-3.0-or-later
// The PDF reader helper seen from the program: started on the document (handed over as a descriptor,
// so the helper never opens a name of its own), asked for one page at a time, and watched while it
// works. A page whose reading passes the wall-clock time or the memory of Limits is given up: the
// helper is killed, the page skipped, and a fresh helper reads on from the next page. The helper
// bounds its own memory and processor time as well; the watch from here holds in every build (a
// sanitizer's runtime cannot start under a memory bound, so the helper is never built with one).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string_view>

#include "base/child_process.h"
#include "base/paths.h"
#include "documents/pdf_pages.h"

namespace documents::detail {

namespace {

using Clock = std::chrono::steady_clock;
using base::ChildProcess;
using base::UniqueFd;

// How often a wait for the helper looks at the time, the helper's memory and the caller's cancel.
constexpr std::chrono::milliseconds kSlice{20};
constexpr const char* kHelperName = "tallamo-pdf";

base::Result<std::string> helperPath(const Input& input) {
    for (const auto& candidate : base::installedPartCandidates(kHelperName)) {
        if (::access(candidate.c_str(), X_OK) == 0) return candidate.lexically_normal().string();
    }
    return fault(base::errc::kUnsupportedFormat, input,
                 "is a PDF file, and the PDF reader (" + std::string(kHelperName) +
                     ") is not installed beside the program or under libexec/tallamo.");
}

// The document as a descriptor for the helper: the file itself, or a file in memory with its bytes.
base::Result<base::UniqueFd> documentDescriptor(const Input& input) {
    if (!input.bytes) {
        base::UniqueFd fd(::open(input.path.c_str(), O_RDONLY | O_CLOEXEC));
        if (fd.get() < 0) return fileOpenFault(input, errno);
        return fd;
    }
    base::UniqueFd fd(::memfd_create("pdf", MFD_CLOEXEC));
    if (fd.get() < 0) return fileOpenFault(input, errno);
    std::string_view rest(*input.bytes);
    while (!rest.empty()) {
        const ssize_t n = ::write(fd.get(), rest.data(), rest.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return fileOpenFault(input, n < 0 ? errno : EIO);
        rest.remove_prefix(static_cast<size_t>(n));
    }
    return fd;
}

std::string seconds(std::chrono::milliseconds time) {
    const auto ms = time.count();
    return ms % 1000 == 0 ? std::to_string(ms / 1000)
                          : std::to_string(ms / 1000) + "." + std::to_string(ms % 1000 / 100);
}

class HelperPages final : public PdfPages {
public:
    HelperPages(const Input& input, const Options& options, std::string path, base::UniqueFd document)
        : input_(input), options_(options), path_(std::move(path)), document_(std::move(document)) {}
    ~HelperPages() override { end(); }

    // Why the helper did not open the document: a fault code, the end of "page N was skipped: ...",
    // and the end of "The file "name" ..." for the document as a whole.
    struct Refusal {
        int32_t code;
        std::string why;
        std::string sentence;
    };

    // A fresh helper on the document, which it has opened; or why not.
    base::Result<std::optional<Refusal>> start();

    const pdf::Info& info() const override { return info_; }
    base::Result<PdfPage> page(int32_t index) override;
    void finished() override { end(); }

private:
    // The helper's answer, or why there is none (the helper is gone then): the bounds were passed
    // (kTooLarge) or the helper failed (kDamaged).
    struct Answer {
        std::optional<pdf::Frame> frame;
        std::string lost;
        int32_t code = errc::kDamaged;
    };
    static Answer passed(std::string why) { return Answer{std::nullopt, std::move(why), errc::kTooLarge}; }
    base::Result<Answer> await();
    // Why the helper ended by itself, as the end of "page N was skipped: ...".
    Answer endReason();
    std::string memoryReason() const {
        return "it needs more than " + std::to_string(options_.limits.pdfMemoryBytes >> 20) + " MB of memory";
    }
    void send(const std::vector<uint8_t>& frame) {
        // A helper that is gone is noticed by the wait for its answer.
        for (size_t sent = 0; sent < frame.size();) {
            const ssize_t n = ::send(socket_.get(), frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            sent += static_cast<size_t>(n);
        }
    }
    void end() {
        child_.reset();  // killed with its group and reaped
        socket_.reset();
        frames_ = pdf::FrameReader();
    }

    Input input_;
    Options options_;
    std::string path_;
    base::UniqueFd document_;
    std::unique_ptr<base::ChildProcess> child_;
    base::UniqueFd socket_;
    pdf::FrameReader frames_;
    pdf::Info info_;
};

base::Result<std::optional<HelperPages::Refusal>> HelperPages::start() {
    end();
    const int handed[] = {document_.get()};
    auto started = ChildProcess::start(path_, base::errc::kUnsupportedFormat, "The PDF reader", handed);
    if (!started) return started.fault();
    child_ = std::move(started.value().process);
    socket_ = std::move(started.value().socket);
    // The document is read again from its start by every helper.
    const auto& limits = options_.limits;
    const auto cpu = static_cast<uint32_t>(std::max<int64_t>(1, (limits.pdfPageTime.count() + 999) / 1000));
    send(pdf::encodeOpen({limits.pdfMemoryBytes, cpu, limits.maxPageUnits}));
    auto answer = await();
    if (!answer) return answer.fault();
    const auto& frame = answer.value().frame;
    if (!frame) {
        const Answer& a = answer.value();
        return std::optional<Refusal>(Refusal{a.code, a.lost, "could not be opened: " + a.lost + "."});
    }
    if (frame->type == pdf::Message::Opened) {
        if (auto info = pdf::decodeOpened(frame->payload)) {
            info_ = std::move(*info);
            return std::optional<Refusal>();
        }
    } else if (frame->type == pdf::Message::NotOpened) {
        if (auto why = pdf::decodeNotOpened(frame->payload)) {
            end();
            if (*why == pdf::NotOpened::Protected)
                return std::optional<Refusal>(Refusal{errc::kProtected, "it is protected by a password",
                                                      "is protected by a password and cannot be read."});
            return std::optional<Refusal>(
                Refusal{errc::kDamaged, "the PDF reader found it damaged", "is a damaged PDF file."});
        }
    }
    end();
    return std::optional<Refusal>(Refusal{errc::kDamaged, "the PDF reader sent a malformed reply",
                                          "could not be opened: the PDF reader sent a malformed reply."});
}

base::Result<HelperPages::Answer> HelperPages::await() {
    const auto deadline = Clock::now() + options_.limits.pdfPageTime;
    std::array<uint8_t, 64 * 1024> buffer;
    for (;;) {
        if (auto frame = frames_.next()) return Answer{std::move(frame), {}};
        if (frames_.broken()) {
            end();
            return Answer{std::nullopt, "the PDF reader sent a malformed reply"};
        }
        if (options_.cancelled && options_.cancelled()) {
            end();
            return fault(base::errc::kCancelled, input_, "was not read: reading it was stopped.");
        }
        if (child_->residentBytes() > options_.limits.pdfMemoryBytes) {
            end();
            return passed(memoryReason());
        }
        const auto now = Clock::now();
        if (now >= deadline) {
            end();
            return passed("reading it took more than " + seconds(options_.limits.pdfPageTime) + " s");
        }
        if (!base::waitForFd(socket_.get(), POLLIN, std::min(deadline, now + kSlice))) continue;
        const ssize_t n = ::recv(socket_.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n > 0) {
            frames_.append(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n)));
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
            Answer why = endReason();
            end();
            return why;
        }
    }
}

HelperPages::Answer HelperPages::endReason() {
    if (!child_->reap(std::chrono::milliseconds(1000))) return Answer{std::nullopt, "the PDF reader stopped answering"};
    const int status = child_->waitStatus();
    // poppler's own allocator aborts when an allocation fails; a C++ one ends the helper with a status.
    const bool outOfMemory =
        (WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) ||
        (WIFEXITED(status) && WEXITSTATUS(status) == static_cast<int>(pdf::HelperExit::OutOfMemory));
    if (outOfMemory) return passed(memoryReason());
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGXCPU)
        return passed("reading it took more than " + seconds(options_.limits.pdfPageTime) + " s of processor time");
    return Answer{std::nullopt, "the PDF reader failed on it (it " + base::describeWaitStatus(status) + ")"};
}

base::Result<PdfPage> HelperPages::page(int32_t index) {
    if (!child_) {
        auto started = start();
        if (!started) return started.fault();
        if (started.value()) return PdfPage{{}, started.value()->why};
    }
    send(pdf::encodeReadPage(static_cast<uint32_t>(index)));
    auto answer = await();
    if (!answer) return answer.fault();
    const auto& frame = answer.value().frame;
    if (!frame) return PdfPage{{}, answer.value().lost};
    if (frame->type == pdf::Message::Page) {
        if (auto page = pdf::decodePage(frame->payload); page && page->index == static_cast<uint32_t>(index))
            return PdfPage{std::move(page->text), std::nullopt};
    } else if (frame->type == pdf::Message::PageRefused) {
        if (auto refusal = pdf::decodePageRefused(frame->payload);
            refusal && refusal->index == static_cast<uint32_t>(index))
            return PdfPage{{}, std::move(refusal->reason)};
    }
    end();
    return PdfPage{{}, "the PDF reader sent a malformed reply"};
}

}  // namespace

base::Result<std::unique_ptr<PdfPages>> openPdfHelper(const Input& input, const Options& options) {
    auto path = helperPath(input);
    if (!path) return path.fault();
    auto document = documentDescriptor(input);
    if (!document) return document.fault();
    auto pages = std::make_unique<HelperPages>(input, options, std::move(path.value()), std::move(document.value()));
    auto started = pages->start();
    if (!started) return started.fault();
    if (const auto& refusal = started.value()) return fault(refusal->code, input, refusal->sentence);
    return std::unique_ptr<PdfPages>(std::move(pages));
}

}  // namespace documents::detail
