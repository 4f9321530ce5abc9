// SPDX-License-Identifier: GPL-3.0-or-later
// Replays the document fuzzers' stored inputs (tests/fuzz/documents/TARGET/: their seeds, and the
// inputs that once failed) through the same checks the fuzzers make.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/fuzz/document_fuzz_input.h"

namespace {

TEST(DocumentFuzzCorpus, EveryStoredInputAndSeedReadsCleanly) {
    namespace fs = std::filesystem;
    for (const auto target : fuzzing::kDocumentTargets) {
        const fs::path folder = fs::path(TALLAMO_SOURCE_DIR) / "tests" / "fuzz" / "documents" / target;
        int stored = 0;
        for (const auto& entry : fs::directory_iterator(folder)) {
            if (!entry.is_regular_file() || entry.path().filename().string().starts_with(".")) continue;
            std::ifstream in(entry.path(), std::ios::binary);
            const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            EXPECT_EQ(fuzzing::fuzzDocument(target, {reinterpret_cast<const uint8_t*>(data.data()), data.size()}), "")
                << entry.path();
            ++stored;
        }
        EXPECT_GT(stored, 0) << "no stored inputs in " << folder;
    }
}

}  // namespace
