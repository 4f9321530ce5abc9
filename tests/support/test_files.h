// SPDX-License-Identifier: GPL-3.0-or-later
// Files for tests: a temporary folder, and a limit on the size of the files written (a full disk).
#pragma once

#include <string>

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

}  // namespace testing_support
