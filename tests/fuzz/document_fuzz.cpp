// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer entry for one document reader, chosen when it is built (-DTALLAMO_FUZZ_TARGET="epub").
// With TALLAMO_FUZZ_SEEDS=DIR in the environment it first writes its seeds into DIR.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "tests/fuzz/document_fuzz_input.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (const char* dir = std::getenv("TALLAMO_FUZZ_SEEDS")) {
        for (const auto& [name, bytes] : fuzzing::documentSeeds(TALLAMO_FUZZ_TARGET)) {
            const auto path = std::filesystem::path(dir) / name;
            if (!std::filesystem::exists(path)) std::ofstream(path, std::ios::binary) << bytes;
        }
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string wrong = fuzzing::fuzzDocument(TALLAMO_FUZZ_TARGET, {data, size});
    if (!wrong.empty()) {
        std::fprintf(stderr, "document reader: %s\n", wrong.c_str());
        __builtin_trap();
    }
    return 0;
}
