// SPDX-License-Identifier: GPL-3.0-or-later
// The standard descriptors 0, 1 and 2 of a program started with some of them closed ("prog >&-").
// Left closed, the next descriptor the program makes (a helper's socket, a file) takes the number, and
// what is meant for standard output would go there: every program of ours opens them first thing.
#pragma once

namespace base {

struct ClosedStandardStreams {
    bool input = false;
    bool output = false;
    bool error = false;
};

// Opens /dev/null as each of the standard descriptors that is closed (for reading as 0, for writing
// as 1 and 2); says which were.
ClosedStandardStreams reopenClosedStandardStreams();

}  // namespace base
