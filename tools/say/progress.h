// SPDX-License-Identifier: GPL-3.0-or-later
// The progress of a long render on standard error, when it is a terminal: one line, redrawn in place
// (a carriage return, then the line) at most four times a second, with the part being spoken, the
// share of the text done and the time left, and cleared at the end. Nothing at all is written when
// standard error is not a terminal (a pipe, a file, a log).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace say {

class Progress {
public:
    // Whether a progress line would be shown: the text's length is worth finding only then.
    static bool wanted();

    // The progress over `total` characters of text (none: nothing is shown), on `fd`.
    explicit Progress(std::optional<uint64_t> total, int fd = 2);
    ~Progress();  // clears the line
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    bool shown() const { return shown_; }
    // The part spoken next: where it starts in the text, its length and what the line calls it
    // ("part 2 of 9"; empty: nothing).
    void startPart(uint64_t offset, uint64_t length, std::string label);
    // What the line says besides (the length of the audio made, say), asked for at each redraw.
    void setDetail(std::function<std::string()> detail) { detail_ = std::move(detail); }
    // Whether a redraw is due; cheap, for a caller to ask often.
    bool due() const;
    // The voice has reached `position` of the part: redrawn when due.
    void reached(uint64_t position);
    // The part is done: the line shows its end at once.
    void partDone();
    // All of the text is done.
    void finished();
    // Clears the line (the render ended).
    void clear();
    // Prints "tallamo-say: " and `message` on standard error, a line of its own: the line of the progress
    // being shown, if any, is cleared first (and drawn again at its next redraw). From any thread.
    static void printLine(std::string_view message);

private:
    void draw(uint64_t done);
    void clearLine();  // with the terminal's lock held

    int fd_;
    bool shown_ = false;
    uint64_t total_ = 0;
    uint64_t offset_ = 0;
    uint64_t length_ = 0;
    std::string label_;
    std::function<std::string()> detail_;
    std::chrono::steady_clock::time_point last_{};
    // Where the estimate of the time left counts from: the first moment the text moved on (after the
    // parts or audio a resume took as they were).
    std::optional<std::pair<std::chrono::steady_clock::time_point, double>> from_;
    size_t drawn_ = 0;  // characters on the line now
};

}  // namespace say
