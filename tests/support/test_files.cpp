// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/test_files.h"

#include <stdlib.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testing_support {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tallamo-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a temporary folder");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::file(const std::string& name) const {
    return (std::filesystem::path(path_) / name).string();
}

FileSizeLimit::FileSizeLimit(unsigned long bytes) {
    struct rlimit limit {};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    savedCurrent_ = limit.rlim_cur;
    savedHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
}

FileSizeLimit::~FileSizeLimit() {
    struct rlimit limit {};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = savedCurrent_;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, savedHandler_);
}

std::vector<ProcessInfo> childProcesses(pid_t parent) {
    std::vector<ProcessInfo> found;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        // "pid (name) state ppid ...": the name may hold blanks and parentheses.
        if (!std::getline(stat, line) || line.find('(') == std::string::npos) continue;
        const size_t open = line.find('(');
        const size_t close = line.rfind(')');
        std::istringstream rest(line.substr(close + 1));
        ProcessInfo process;
        pid_t ppid = 0;
        rest >> process.state >> ppid;
        if (ppid != parent) continue;
        process.pid = static_cast<pid_t>(std::stol(line.substr(0, open)));
        process.name = line.substr(open + 1, close - open - 1);
        found.push_back(std::move(process));
    }
    return found;
}

}  // namespace testing_support
