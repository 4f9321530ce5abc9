// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/paths.h"

#include <system_error>

namespace speech {

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

}  // namespace speech
