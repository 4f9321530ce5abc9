// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/standard_streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace base {

ClosedStandardStreams reopenClosedStandardStreams() {
    ClosedStandardStreams closed;
    bool* const flags[] = {&closed.input, &closed.output, &closed.error};
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        *flags[fd] = true;
        // The lowest free number is this one, the lower ones being open by now.
        const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
    return closed;
}

}  // namespace base
