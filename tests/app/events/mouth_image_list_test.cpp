// SPDX-License-Identifier: GPL-3.0-or-later
// The image list: entries by number and key, and the composite of two entries.
#include "app/events/mouth_image_list.h"

#include <gtest/gtest.h>

#include <QImage>

#include "base/error.h"

namespace {

constexpr QRgb kMask = 0xFFFF00FF;

QImage filled(QRgb colour, int size = 4) {
    QImage picture(size, size, QImage::Format_RGB32);
    picture.fill(colour);
    return picture;
}

QRgb rgb(const QImage& picture, int x, int y) {
    return picture.pixel(x, y) | 0xFF000000;
}

// A 2 x 2 picture: the given colours at (0,0), (1,0), (0,1), (1,1).
QImage quad(QRgb a, QRgb b, QRgb c, QRgb d) {
    QImage picture(2, 2, QImage::Format_RGB32);
    picture.setPixel(0, 0, a);
    picture.setPixel(1, 0, b);
    picture.setPixel(0, 1, c);
    picture.setPixel(1, 1, d);
    return picture;
}

TEST(MouthImageList, CompositeLetsBaseShowThroughMaskAndFillsDoubleMaskWithBackColour) {
    MouthImageList list;
    list.setBackColor(QColor(0x12, 0x34, 0x56));
    // Pixel by pixel: top opaque over base opaque, top mask over base opaque, top opaque over base
    // mask, both mask.
    list.add(quad(0xFF0000FF, 0xFF00FF00, kMask, kMask), QStringLiteral("base"));
    list.add(quad(0xFFAA0000, kMask, 0xFF00AA00, kMask), QStringLiteral("top"));

    const QImage out = list.overlay(QStringLiteral("base"), QStringLiteral("top"));
    ASSERT_EQ(out.size(), QSize(2, 2));
    EXPECT_EQ(rgb(out, 0, 0), 0xFFAA0000u);
    EXPECT_EQ(rgb(out, 1, 0), 0xFF00FF00u);
    EXPECT_EQ(rgb(out, 0, 1), 0xFF00AA00u);
    EXPECT_EQ(rgb(out, 1, 1), 0xFF123456u);

    // The order matters: the second argument is drawn over the first.
    const QImage reversed = list.overlay(2, 1);
    EXPECT_EQ(rgb(reversed, 0, 0), 0xFF0000FFu);
    EXPECT_EQ(rgb(reversed, 0, 1), 0xFF00AA00u);

    // An entry over itself: the picture, with its mask pixels in the back colour.
    const QImage self = list.overlay(1, 1);
    EXPECT_EQ(rgb(self, 0, 0), 0xFF0000FFu);
    EXPECT_EQ(rgb(self, 0, 1), 0xFF123456u);
}

TEST(MouthImageList, MaskAndBackColoursTakeEffectWhenChanged) {
    MouthImageList list;
    list.add(filled(0xFF00FF00));  // green base
    list.add(filled(0xFFFF0000));  // red top
    list.setMaskColor(QColor(0xFF, 0x00, 0x00));
    EXPECT_EQ(rgb(list.overlay(1, 2), 1, 1), 0xFF00FF00u) << "red is now the mask: the base shows";
    list.setMaskColor(QColor(0x00, 0xFF, 0x00));
    list.setBackColor(QColor(0x01, 0x02, 0x03));
    EXPECT_EQ(rgb(list.overlay(2, 1), 1, 1), 0xFFFF0000u);
    EXPECT_EQ(rgb(list.overlay(1, 1), 1, 1), 0xFF010203u);
    // A magenta pixel is ordinary paint once magenta is not the mask.
    list.add(filled(kMask));
    EXPECT_EQ(rgb(list.overlay(1, 3), 0, 0), kMask);
}

TEST(MouthImageList, NumbersAndKeysFindTheirOwnEntries) {
    MouthImageList list;
    EXPECT_EQ(list.count(), 0);
    list.add(filled(0xFF111111), QStringLiteral("A"));
    list.add(filled(0xFF222222));
    list.add(filled(0xFF333333), QStringLiteral("C"));
    EXPECT_EQ(list.count(), 3);
    EXPECT_EQ(rgb(list.picture(2), 0, 0), 0xFF222222u);
    EXPECT_EQ(rgb(list.picture(QStringLiteral("C")), 0, 0), 0xFF333333u);
    EXPECT_EQ(rgb(list.picture(QStringLiteral("A")), 0, 0), rgb(list.picture(1), 0, 0));

    // A picture added later is the list's own copy: changing the caller's image changes nothing.
    QImage mine = filled(0xFF444444);
    list.add(mine, QStringLiteral("D"));
    mine.fill(0xFF555555);
    EXPECT_EQ(rgb(list.picture(QStringLiteral("D")), 0, 0), 0xFF444444u);
}

TEST(MouthImageList, MissingEntriesAndDuplicateKeysAreErrors) {
    MouthImageList list;
    list.add(filled(0xFF111111), QStringLiteral("A"));
    list.add(filled(0xFF222222));
    for (int bad : {0, -1, 3, 1000}) {
        EXPECT_THROW(list.picture(bad), base::Error) << bad;
        EXPECT_THROW(list.overlay(1, bad), base::Error) << bad;
        EXPECT_THROW(list.overlay(bad, 1), base::Error) << bad;
    }
    EXPECT_THROW(list.picture(QStringLiteral("B")), base::Error);
    EXPECT_THROW(list.picture(QStringLiteral("a")), base::Error) << "keys are exact";
    EXPECT_THROW(list.picture(QString()), base::Error) << "unkeyed entries are not found by an empty key";
    EXPECT_THROW(list.add(filled(0xFF333333), QStringLiteral("A")), base::Error);
    EXPECT_EQ(list.count(), 2) << "a refused entry is not added";
    // Unkeyed entries may repeat freely.
    list.add(filled(0xFF333333));
    list.add(filled(0xFF333333));
    EXPECT_EQ(list.count(), 4);
    list.clear();
    EXPECT_EQ(list.count(), 0);
    EXPECT_THROW(list.picture(1), base::Error);
}

}  // namespace
