// SPDX-License-Identifier: GPL-3.0-or-later
// How tallamo-say stops: Ctrl+C, a closed terminal, a kill and a reader of standard output that went
// away are caught, and every wait of the program asks interrupted() whether to give up.
#pragma once

#include "documents/document.h"

namespace say {

// Catches SIGINT, SIGTERM, SIGHUP and SIGPIPE; from then on interrupted() tells whether one came.
void catchStopSignals();

bool interrupted();

// The shell's status of a program ended by the signal that stopped it (130 for Ctrl+C).
int interruptedStatus();

// How documents are read: a stop signal stops the reading at once (a PDF's page being read by its
// helper included); a PDF page that could not be read is named on standard error.
documents::Options documentOptions();
// Whether documentOptions() has images read by their alt text (--speak-alt); set once, at the start.
void readImageAltText(bool read);

}  // namespace say
