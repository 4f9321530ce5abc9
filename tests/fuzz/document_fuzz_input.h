// SPDX-License-Identifier: GPL-3.0-or-later
// The document readers' fuzz targets, shared by the libFuzzer programs (scripts/fuzz) and the test
// that replays their stored inputs. An archive format's input is either a zip archive as it is, or the
// contents of its entries, in a fixed order of names, separated by kEntrySeparator, from which the
// archive is made, so mutations reach the XML inside rather than the zip's checksums.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fuzzing {

inline constexpr std::array<std::string_view, 6> kDocumentTargets = {"html", "epub", "docx", "odt", "fb2", "pdf"};
inline constexpr std::string_view kEntrySeparator = "\n@@@@\n";

// Reads `data` as an input of `target` and checks what the readers promise: a document opens or gives
// a fault naming the file; chapters are numbered 1, 2, ... and come with the text they start; the text
// holds no unpaired surrogate; reading again from the start gives the same first piece. Returns what
// went wrong, empty when nothing did.
std::string fuzzDocument(std::string_view target, std::span<const uint8_t> data);

// Inputs to start fuzzing `target` from, made from the test fixtures: (name, bytes).
std::vector<std::pair<std::string, std::string>> documentSeeds(std::string_view target);

}  // namespace fuzzing
