// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <random>
#include <system_error>
#include <tuple>
#include <utility>

namespace base {

namespace {

Fault createFault(const std::string& name, int err) {
    const int32_t code = (err == ENOENT || err == ENOTDIR) ? errc::kNotFound : errc::kAccessDenied;
    return Fault{code, "Cannot create the file \"" + name + "\": " + fileErrorReason(err) + "."};
}

Fault saveFault(const std::string& name, int err) {
    return Fault{errc::kAccessDenied, "Cannot save the file \"" + name + "\": " + fileErrorReason(err) + "."};
}

// The folder part of a path (ending in '/', "./" for none) and the name in it.
std::pair<std::string, std::string> split(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {"./", path};
    return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

// Makes a hidden, unique name beside `leaf` in `folder` with `make` (a descriptor, 0 for a link, or -1
// with errno), trying other names while one exists. Returns what `make` returned, with the name in
// `made` when it succeeded.
template <typename Make>
int createNamed(const std::string& leaf, std::string& made, Make make) {
    thread_local std::mt19937_64 random{std::random_device{}()};
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = "." + leaf.substr(0, 200) + ".";
        for (int i = 0; i < 8; ++i) name += kLetters[random() % (sizeof kLetters - 1)];
        name += ".part";
        const int result = make(name);
        if (result < 0 && errno == EEXIST) continue;
        if (result >= 0) made = std::move(name);
        return result;
    }
    errno = EEXIST;
    return -1;
}

}  // namespace

std::string fileErrorReason(int err) {
    switch (err) {
        case ENOENT:
            return "the folder does not exist";
        case ENOTDIR:
            return "a part of the path is not a folder";
        case EACCES:
        case EPERM:
            return "permission denied";
        case EROFS:
            return "the file system is read-only";
        case EISDIR:
            return "it is a folder";
        case ENOSPC:
            return "the disk is full";
        case EDQUOT:
            return "the disk quota is exhausted";
        case ELOOP:
            return "there are too many symbolic links on the way";
        default:
            return std::generic_category().message(err);
    }
}

int pwriteAll(int fd, std::span<const uint8_t> bytes, uint64_t offset) {
    while (!bytes.empty()) {
        const ssize_t n = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return EIO;
        bytes = bytes.subspan(static_cast<size_t>(n));
        offset += static_cast<uint64_t>(n);
    }
    return 0;
}

Result<Folder> Folder::open(const std::string& path) {
    Folder folder;
    folder.fd_ = UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.fd() < 0) {
        const int err = errno;
        return Fault{err == ENOENT ? errc::kNotFound : errc::kAccessDenied,
                     "Cannot open the folder \"" + path +
                         "\": " + (err == ENOENT ? std::string("it does not exist") : fileErrorReason(err)) + "."};
    }
    folder.path_ = path;
    return folder;
}

std::string Folder::pathOf(std::string_view name) const {
    if (path_.empty() || path_.back() == '/') return path_ + std::string(name);
    return path_ + "/" + std::string(name);
}

Result<ReplacingFile> ReplacingFile::create(const Place& place) {
    ReplacingFile file;
    file.shown_ = place.shown();
    std::string folder;
    if (place.folder) {
        file.folder_ = UniqueFd(::fcntl(place.folder->fd(), F_DUPFD_CLOEXEC, 0));
        file.leaf_ = place.name;
    } else {
        std::string target = place.name;
        // The file a symbolic link names is the one replaced; the link stays.
        std::unique_ptr<char, decltype(&std::free)> real(::realpath(target.c_str(), nullptr), &std::free);
        if (real && place.link == Link::Follow) target = real.get();
        std::tie(folder, file.leaf_) = split(target);
        file.folder_ = UniqueFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    if (file.folder_.get() < 0) return createFault(file.shown_, errno);
    if (file.leaf_.empty() || file.leaf_.find('/') != std::string::npos) return createFault(file.shown_, EISDIR);
    struct stat st {};
    if (::fstatat(file.folder_.get(), file.leaf_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISDIR(st.st_mode)) return createFault(file.shown_, EISDIR);
        if (S_ISREG(st.st_mode)) {
            if (::faccessat(file.folder_.get(), file.leaf_.c_str(), W_OK, 0) != 0)
                return createFault(file.shown_, errno);
            file.mode_ = st.st_mode & 07777;
        } else if (!S_ISLNK(st.st_mode)) {
            return Fault{errc::kAccessDenied,
                         "Cannot create the file \"" + file.shown_ + "\": it is not a regular file."};
        }
    }
    return file.again();
}

Result<ReplacingFile> ReplacingFile::again() const {
    ReplacingFile file;
    file.folder_ = UniqueFd(::fcntl(folder_.get(), F_DUPFD_CLOEXEC, 0));
    file.leaf_ = leaf_;
    file.shown_ = shown_;
    file.mode_ = mode_;
    // A file without a name is given one through /proc when it is put in place.
    if (::access("/proc/self/fd", X_OK) == 0)
        file.fd_ = UniqueFd(::openat(folder_.get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666));
    if (file.fd() < 0) {
        file.fd_ = UniqueFd(createNamed(leaf_, file.temporary_, [&](const std::string& name) {
            return ::openat(folder_.get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        }));
        if (file.fd() < 0) return createFault(shown_, errno);
    }
    if (mode_) ::fchmod(file.fd(), *mode_);
    return file;
}

ReplacingFile::ReplacingFile(ReplacingFile&& other) noexcept
    : folder_(std::move(other.folder_)),
      leaf_(std::move(other.leaf_)),
      shown_(std::move(other.shown_)),
      mode_(other.mode_),
      fd_(std::move(other.fd_)),
      temporary_(std::exchange(other.temporary_, {})) {}

ReplacingFile& ReplacingFile::operator=(ReplacingFile&& other) noexcept {
    if (this != &other) {
        removeNow();
        folder_ = std::move(other.folder_);
        leaf_ = std::move(other.leaf_);
        shown_ = std::move(other.shown_);
        mode_ = other.mode_;
        fd_ = std::move(other.fd_);
        temporary_ = std::exchange(other.temporary_, {});
    }
    return *this;
}

ReplacingFile::~ReplacingFile() {
    removeNow();
}

void ReplacingFile::removeNow() {
    fd_.reset();
    if (!temporary_.empty() && folder_.get() >= 0) ::unlinkat(folder_.get(), temporary_.c_str(), 0);
    temporary_.clear();
}

Result<void> ReplacingFile::write(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd(), bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            return Fault{errc::kAccessDenied,
                         "Cannot write to the file \"" + shown_ + "\": " + fileErrorReason(n < 0 ? errno : EIO) + "."};
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return {};
}

Result<void> ReplacingFile::flush() {
    if (::fsync(fd()) != 0) return saveFault(shown_, errno);
    return {};
}

Result<void> ReplacingFile::putInPlace() {
    if (auto flushed = flush(); !flushed) return flushed;
    if (temporary_.empty()) {
        // A link cannot replace a file: the file without a name gets a hidden one first.
        const std::string self = "/proc/self/fd/" + std::to_string(fd());
        if (createNamed(leaf_, temporary_, [&](const std::string& name) {
                return ::linkat(AT_FDCWD, self.c_str(), folder_.get(), name.c_str(), AT_SYMLINK_FOLLOW);
            }) < 0) {
            return saveFault(shown_, errno);
        }
    }
    if (fd_.reset() != 0) return saveFault(shown_, errno);
    // A link at the name is replaced by the rename itself; its target is never opened.
    if (::renameat(folder_.get(), temporary_.c_str(), folder_.get(), leaf_.c_str()) != 0)
        return saveFault(shown_, errno);
    temporary_.clear();
    // The rename itself is made durable with the folder.
    ::fsync(folder_.get());
    return {};
}

}  // namespace base
