// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/paths.h"

#include <cstdlib>
#include <system_error>

namespace base {

std::filesystem::path executableDir() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    return exe.parent_path();
}

std::vector<std::filesystem::path> installedPartCandidates(const std::string& name) {
    const auto exeDir = executableDir();
    if (exeDir.empty()) return {};
    return {exeDir / name, exeDir / ".." / "libexec" / "tallamo" / name};
}

std::filesystem::path installedDataFile(const std::string& name) {
    const auto exeDir = executableDir();
    if (exeDir.empty()) return {};
    return exeDir / ".." / "share" / "tallamo" / name;
}

std::filesystem::path userConfigFile(const std::string& name) {
    // An XDG_CONFIG_HOME that is not absolute is to be ignored.
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/') return std::filesystem::path(config) / "tallamo" / name;
    const char* home = std::getenv("HOME");
    if (home && home[0] != '\0') return std::filesystem::path(home) / ".config" / "tallamo" / name;
    return {};
}

}  // namespace base
