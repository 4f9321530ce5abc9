// SPDX-License-Identifier: GPL-3.0-or-later
// A book's cover: its size read from its header before it is decoded, so that an image that would
// fill the memory once decoded is left out at once.
#include "speech/audio/media/cover_image.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/audio_files.h"

namespace speech::audio::media {
namespace {

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) out += static_cast<char>(v);
    return out;
}

TEST(CoverImage, IsRefusedFromItsHeaderWhenItWouldTakeTooMuchOnceDecoded) {
    // A PNG 16000 pixels square, 16-bit RGBA (2 GB decoded), its pixels never there to decode.
    const std::string png = bytes({0x89, 'P', 'N', 'G',  0x0D, 0x0A, 0x1A, 0x0A, 0,    0,  0, 13, 'I', 'H', 'D',
                                   'R',  0,   0,   0x3E, 0x80, 0,    0,    0x3E, 0x80, 16, 6, 0,  0,   0}) +
                            std::string(1 << 16, '\0');
    // A baseline JPEG 20000 by 20000 in three components, after an APP0 segment.
    const std::string jpeg =
        bytes({0xFF, 0xD8, 0xFF, 0xE0, 0, 4, 0, 0, 0xFF, 0xC0, 0, 17, 8, 0x4E, 0x20, 0x4E, 0x20, 3}) +
        std::string(1 << 16, '\0');
    const struct {
        std::string bytes;
        const char* fault;  // what the message holds; empty: taken
    } cases[] = {
        {png, "it would take more than 64 MB once decoded"},
        {jpeg, "it would take more than 64 MB once decoded"},
        {bytes({0xFF, 0xD8, 0xFF, 0xDA, 0, 2}), "its size cannot be read from its header"},
        {testing_support::pngImage(64, 32), ""},
        {testing_support::jpegImage(64, 32), ""},
    };
    for (const auto& c : cases) {
        const auto cover = checkCover(c.bytes);
        if (*c.fault == '\0') {
            ASSERT_TRUE(cover.ok()) << cover.fault().message;
            EXPECT_EQ(cover.value().width, 64);
            EXPECT_EQ(cover.value().height, 32);
        } else {
            ASSERT_FALSE(cover.ok());
            EXPECT_NE(cover.fault().message.find(c.fault), std::string::npos) << cover.fault().message;
        }
    }
}

}  // namespace
}  // namespace speech::audio::media
