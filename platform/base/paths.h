// SPDX-License-Identifier: GPL-3.0-or-later
// Where the running program lives, for finding the platform's installed parts beside it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace base {

// The folder of the running executable; empty when it cannot be told.
std::filesystem::path executableDir();

// Where a part the platform installs with its programs (the engine helper, the PDF reader module)
// named `name` may lie, in the order to look: beside the running program, then in libexec/tallamo
// beside its folder (installed, and in the build tree, whose programs sit one folder down).
std::vector<std::filesystem::path> installedPartCandidates(const std::string& name);

// Where the platform's data file `name` lies: share/tallamo beside the running program's folder
// (installed, and in the build tree, whose programs sit one folder down). Empty when the program's
// folder cannot be told.
std::filesystem::path installedDataFile(const std::string& name);

// The user's own file `name` of the program: $XDG_CONFIG_HOME/tallamo/name, by default
// ~/.config/tallamo/name. Empty when neither XDG_CONFIG_HOME nor HOME is set.
std::filesystem::path userConfigFile(const std::string& name);

}  // namespace base
