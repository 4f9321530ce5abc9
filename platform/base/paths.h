// SPDX-License-Identifier: GPL-3.0-or-later
// Where the running program lives, for finding the platform's installed parts beside it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace speech {

// The folder of the running executable; empty when it cannot be told.
std::filesystem::path executableDir();

// Where a part the platform installs with its programs (the engine helper, the PDF reader module)
// named `name` may lie, in the order to look: beside the running program, then in libexec/tallamo
// beside its folder (installed, and in the build tree, whose programs sit one folder down).
std::vector<std::filesystem::path> installedPartCandidates(const std::string& name);

}  // namespace speech
