// SPDX-License-Identifier: GPL-3.0-or-later
// Files for tests: a temporary folder, and a limit on the size of the files written (a full disk).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testing_support {

// A fresh folder under the system's temporary folder, removed with everything in it (read-only
// parts included) when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Limits the size of the files this process writes (a "full disk" after `bytes`), with the signal
// that the limit raises ignored, so writes past it fail with EFBIG; both restored when it goes.
class FileSizeLimit {
public:
    explicit FileSizeLimit(unsigned long bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    unsigned long savedCurrent_ = 0;
    void (*savedHandler_)(int) = nullptr;
};

// A process as /proc shows it: its number, its program's name and its state ('R' running, 'S' asleep).
struct ProcessInfo {
    pid_t pid = 0;
    std::string name;
    char state = '?';
};

// The processes whose parent is `parent` (nothing for a process that has gone).
std::vector<ProcessInfo> childProcesses(pid_t parent);

}  // namespace testing_support
