// SPDX-License-Identifier: GPL-3.0-or-later
// One table for phonemes: espeak-ng phoneme mnemonics ("aI", "tS", "s.") become stable 16-bit phone
// ids (an American English phone set shared by every voice) and the 22 mouth shapes (visemes):
//   0 silence, 1 ae/ax/ah, 2 aa, 3 ao, 4 ey/eh/uh, 5 er, 6 y/iy/ih/ix, 7 w/uw, 8 ow, 9 aw, 10 oy,
//   11 ay, 12 h, 13 r, 14 l, 15 s/z, 16 sh/ch/jh/zh, 17 th/dh, 18 f/v, 19 d/t/n, 20 k/g/ng, 21 p/b/m.
#pragma once

#include <cstdint>
#include <string_view>

namespace speech::engine::espeak {

struct PhoneInfo {
    int32_t id = 0;         // 1..49, see phoneName
    int32_t viseme = 0;     // 0..21
    std::string_view name;  // the phone's name: "aa", "ch", "_" (silence)
};

inline constexpr int32_t kSilencePhone = 7;  // "_"
inline constexpr int32_t kVisemeCount = 22;

// The phone for an espeak-ng mnemonic. Unknown mnemonics fall back on their longest known prefix and
// then on the class of their first character; anything else (pauses included) is silence.
PhoneInfo phoneOf(std::string_view mnemonic);

// The name of a phone id ("aa"), or empty for an id outside the table.
std::string_view phoneName(int32_t id);

// The viseme of a phone id; 0 (silence) for ids that are not sounds.
int32_t visemeOfPhone(int32_t id);

}  // namespace speech::engine::espeak
