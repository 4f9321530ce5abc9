// SPDX-License-Identifier: GPL-3.0-or-later
// Plain text read through the front end to its end, for the front end's tests.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "speech/core/constants.h"
#include "speech/text/frontend.h"

namespace testing_support {

inline std::vector<speech::text::Segment> readAll(const std::u16string& text,
                                                  const speech::text::FrontEndContext& context) {
    auto source = speech::text::openText(std::make_shared<const std::u16string>(text), speech::core::SVSFIsNotXML,
                                         context, nullptr);
    std::vector<speech::text::Segment> out;
    while (auto s = source->next()) out.push_back(std::move(*s));
    return out;
}

// What the segments hand the engine, one after another.
inline std::u32string joined(const std::vector<speech::text::Segment>& segments) {
    std::u32string all;
    for (const auto& s : segments) all += s.text;
    return all;
}

}  // namespace testing_support
