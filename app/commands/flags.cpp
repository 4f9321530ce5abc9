// SPDX-License-Identifier: GPL-3.0-or-later
// The speak flag word and the six check boxes that set its bits.
#include <QCheckBox>

#include "app/parlan_main.h"
#include "speech/core/constants.h"
#include "speech/names.h"

namespace {

// A box's value: 0 unchecked, 1 checked.
int16_t boxValue(const QCheckBox* box) {
    return box->isChecked() ? 1 : 0;
}

}  // namespace

int32_t ParlanMain::ApplyFlagBit(int16_t state, int32_t flags, int32_t bit) {
    return state != 0 ? (flags | bit) : (flags & ~bit);
}

void ParlanMain::chkSpFlagAync_Click() {
    SpeakFlags = ApplyFlagBit(boxValue(chkSpFlagAync), SpeakFlags, speech::SVSFlagsAsync);
}

void ParlanMain::chkSpFlagPurgeBeforeSpeak_Click() {
    SpeakFlags = ApplyFlagBit(boxValue(chkSpFlagPurgeBeforeSpeak), SpeakFlags, speech::SVSFPurgeBeforeSpeak);
}

void ParlanMain::chkSpFlagIsFilename_Click() {
    SpeakFlags = ApplyFlagBit(boxValue(chkSpFlagIsFilename), SpeakFlags, speech::SVSFIsFilename);
}

// XML and not-XML are two bits that are always opposite once this box has been clicked.
void ParlanMain::chkSpFlagIsXML_Click() {
    if (boxValue(chkSpFlagIsXML) != 0) {
        SpeakFlags &= ~speech::SVSFIsNotXML;
        SpeakFlags |= speech::SVSFIsXML;
    } else {
        SpeakFlags &= ~speech::SVSFIsXML;
        SpeakFlags |= speech::SVSFIsNotXML;
    }
}

void ParlanMain::chkSpFlagPersistXML_Click() {
    SpeakFlags = ApplyFlagBit(boxValue(chkSpFlagPersistXML), SpeakFlags, speech::SVSFPersistXML);
}

void ParlanMain::chkSpFlagNLPSpeakPunc_Click() {
    SpeakFlags = ApplyFlagBit(boxValue(chkSpFlagNLPSpeakPunc), SpeakFlags, speech::SVSFNLPSpeakPunc);
}
