// Where the running program lives, for finding the platform's installed parts beside it.
#pragma once

#include <filesystem>

namespace speech {

// The folder of the running executable; empty when it cannot be told.
std::filesystem::path executableDir();

}  // namespace speech
