// SPDX-License-Identifier: GPL-3.0-or-later
// Reads the lexicons a message's SSML names on a thread of its own, so that the module's protocol loop
// never waits on a file: the message is answered at once, and spoken once its lexicons are read.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace sd_tallamo {

class LexiconLoader {
public:
    // `read` reads the lexicons of an SSML text and throws for one that cannot be read (the voice's
    // readSsmlLexicons, or a double in tests); `wake` is called on the loader's thread when a read
    // ends, and must not block.
    LexiconLoader(std::function<void(const std::u16string&)> read, std::function<void()> wake);
    ~LexiconLoader();  // waits for the read under way, if any
    LexiconLoader(const LexiconLoader&) = delete;
    LexiconLoader& operator=(const LexiconLoader&) = delete;

    // Starts reading the lexicons of `ssml` for message `id`, after the read under way; a read asked
    // before and not yet begun is dropped.
    void start(uint64_t id, std::u16string ssml);
    // Once the read for `id` is done: nothing when every lexicon was read, else why one was not.
    // Nothing at all while it is not done.
    std::optional<std::optional<std::string>> take(uint64_t id);

private:
    void run();

    std::function<void(const std::u16string&)> read_;
    std::function<void()> wake_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<std::pair<uint64_t, std::u16string>> asked_;
    std::optional<std::pair<uint64_t, std::optional<std::string>>> done_;
    bool ending_ = false;
    std::thread thread_;  // last: started once the rest is there
};

}  // namespace sd_tallamo
