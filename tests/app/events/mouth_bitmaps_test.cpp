// SPDX-License-Identifier: GPL-3.0-or-later
// The program's pictures as carried in its resources: file format, drawn regions and alignment.
#include <gtest/gtest.h>

#include <QFile>
#include <QImage>
#include <QRect>
#include <QSet>
#include <QString>
#include <QStringList>
#include <cstdint>

namespace {

constexpr QRgb kMagenta = 0xFF00FF;

struct Region {
    const char* name;
    QRect drawn;  // inclusive pixel bounds the drawing must stay within
};

const Region kRegions[] = {
    {"MICFULL", QRect(QPoint(28, 17), QPoint(88, 127))},     {"MIC2", QRect(QPoint(33, 56), QPoint(87, 100))},
    {"MIC3", QRect(QPoint(33, 56), QPoint(87, 100))},        {"MIC4", QRect(QPoint(33, 56), QPoint(87, 100))},
    {"MIC5", QRect(QPoint(33, 56), QPoint(87, 100))},        {"MIC6", QRect(QPoint(33, 56), QPoint(87, 100))},
    {"MIC7", QRect(QPoint(33, 56), QPoint(87, 100))},        {"MIC8", QRect(QPoint(33, 56), QPoint(87, 100))},
    {"MIC9", QRect(QPoint(33, 56), QPoint(87, 100))},        {"MIC10", QRect(QPoint(33, 56), QPoint(87, 100))},
    {"MIC11", QRect(QPoint(33, 56), QPoint(87, 100))},       {"MIC12", QRect(QPoint(33, 56), QPoint(87, 100))},
    {"MIC13", QRect(QPoint(33, 56), QPoint(87, 100))},       {"MICEYECLOSED", QRect(QPoint(36, 33), QPoint(79, 49))},
    {"MICEYENARROW", QRect(QPoint(36, 33), QPoint(77, 49))},
};

uint32_t le(const QByteArray& bytes, int offset, int size) {
    uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(bytes[offset + i]);
    return value;
}

QByteArray resourceBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.readAll();
}

// The header fields of an uncompressed, bottom-up, 24-bit device-independent bitmap.
void expectPlain24BitBmp(const QByteArray& bytes, int width, int height, const QString& what) {
    SCOPED_TRACE(what.toStdString());
    ASSERT_GE(bytes.size(), 54);
    EXPECT_EQ(bytes.left(2), QByteArray("BM"));
    EXPECT_EQ(le(bytes, 2, 4), static_cast<uint32_t>(bytes.size())) << "file size field";
    EXPECT_GE(le(bytes, 14, 4), 40u) << "info header size";
    EXPECT_EQ(static_cast<int32_t>(le(bytes, 18, 4)), width);
    EXPECT_EQ(static_cast<int32_t>(le(bytes, 22, 4)), height) << "positive height: bottom row first";
    EXPECT_EQ(le(bytes, 26, 2), 1u) << "planes";
    EXPECT_EQ(le(bytes, 28, 2), 24u) << "bits per pixel";
    EXPECT_EQ(le(bytes, 30, 4), 0u) << "BI_RGB, no compression";
    const uint32_t dataOffset = le(bytes, 10, 4);
    const uint32_t rowBytes = (static_cast<uint32_t>(width) * 3 + 3) & ~3u;
    EXPECT_EQ(static_cast<uint32_t>(bytes.size()), dataOffset + rowBytes * static_cast<uint32_t>(height));
}

QImage load(const QString& name) {
    QImage picture;
    picture.load(QStringLiteral(":/bitmaps/") + name, "BMP");
    return picture;
}

TEST(MouthBitmaps, AreUncompressed24BitBottomUpBitmapsOfTheCommonFrame) {
    for (const Region& region : kRegions) {
        const QString path = QStringLiteral(":/bitmaps/") + QLatin1String(region.name);
        const QByteArray bytes = resourceBytes(path);
        ASSERT_FALSE(bytes.isEmpty()) << "missing resource " << path.toStdString();
        expectPlain24BitBmp(bytes, 128, 128, path);
        // The first stored row is the bottom one: compare it with the decoded picture's last row.
        const QImage picture = load(QLatin1String(region.name));
        ASSERT_EQ(picture.size(), QSize(128, 128));
        const int offset = static_cast<int>(le(bytes, 10, 4));
        for (int x = 0; x < 128; x += 7) {
            const QRgb pixel = picture.pixel(x, 127);
            EXPECT_EQ(static_cast<uint8_t>(bytes[offset + 3 * x]), qBlue(pixel));
            EXPECT_EQ(static_cast<uint8_t>(bytes[offset + 3 * x + 2]), qRed(pixel));
        }
    }
}

TEST(MouthBitmaps, AreMagentaOutsideTheirRegionAndDrawnAcrossIt) {
    for (const Region& region : kRegions) {
        SCOPED_TRACE(region.name);
        const QImage picture = load(QLatin1String(region.name));
        ASSERT_FALSE(picture.isNull());
        QRect bounds;  // the drawn pixels' bounding box
        int drawn = 0;
        for (int y = 0; y < 128; ++y) {
            for (int x = 0; x < 128; ++x) {
                if ((picture.pixel(x, y) & RGB_MASK) == kMagenta) continue;
                ++drawn;
                bounds |= QRect(x, y, 1, 1);
            }
        }
        EXPECT_TRUE(region.drawn.contains(bounds)) << "drawn box " << bounds.left() << "," << bounds.top() << " to "
                                                   << bounds.right() << "," << bounds.bottom();
        // The drawing fills its region well, not a speck in a corner.
        EXPECT_GT(bounds.width(), region.drawn.width() * 3 / 4);
        EXPECT_GT(bounds.height(), region.drawn.height() * 3 / 4);
        EXPECT_GT(drawn, region.drawn.width() * region.drawn.height() / 3);
    }
}

// A mouth or eye picture laid over the whole figure must line up with it: along the edge of its
// region, away from the mouth or eyes, it shows exactly the figure's own pixels.
TEST(MouthBitmaps, PartialPicturesLineUpWithTheWholeFigure) {
    const QImage full = load(QStringLiteral("MICFULL"));
    ASSERT_FALSE(full.isNull());
    for (const Region& region : kRegions) {
        if (QLatin1String(region.name) == QLatin1String("MICFULL")) continue;
        SCOPED_TRACE(region.name);
        const QImage part = load(QLatin1String(region.name));
        const QRect& r = region.drawn;
        int compared = 0;
        auto check = [&](int x, int y) {
            const QRgb pixel = part.pixel(x, y) & RGB_MASK;
            if (pixel == kMagenta) return;
            ++compared;
            EXPECT_EQ(pixel, full.pixel(x, y) & RGB_MASK) << "at " << x << "," << y;
        };
        for (int x = r.left(); x <= r.right(); ++x) {
            check(x, r.top());
            check(x, r.bottom());
        }
        for (int y = r.top(); y <= r.bottom(); ++y) {
            check(r.left(), y);
            check(r.right(), y);
        }
        EXPECT_GT(compared, r.width()) << "the region's edge carries the figure";
    }
}

TEST(MouthBitmaps, EveryMouthAndEyeShapeIsItsOwnDrawingAndHidesTheFiguresOwn) {
    const QImage full = load(QStringLiteral("MICFULL"));
    QSet<QByteArray> seen;
    for (const Region& region : kRegions) {
        const QImage picture = load(QLatin1String(region.name));
        const QByteArray pixels(reinterpret_cast<const char*>(picture.constBits()),
                                static_cast<int>(picture.sizeInBytes()));
        EXPECT_FALSE(seen.contains(pixels)) << region.name << " repeats another picture";
        seen.insert(pixels);
        if (QLatin1String(region.name) == QLatin1String("MICFULL")) continue;
        // Within its region, every pixel is drawn: the figure's mouth or eyes cannot show through.
        // (The head's edge is excepted: the region is a rectangle, the head is round.)
        int differing = 0;
        for (int y = region.drawn.top(); y <= region.drawn.bottom(); ++y) {
            for (int x = region.drawn.left(); x <= region.drawn.right(); ++x) {
                const QRgb own = full.pixel(x, y) & RGB_MASK;
                const QRgb over = picture.pixel(x, y) & RGB_MASK;
                if (own != kMagenta && over == kMagenta) {
                    ADD_FAILURE() << region.name << " leaves the figure visible at " << x << "," << y;
                    return;
                }
                if (own != over) ++differing;
            }
        }
        EXPECT_GT(differing, 20) << region.name << " changes the figure visibly";
    }
}

TEST(ApplicationIcon, IsA32By32TwentyFourBitBitmap) {
    const QByteArray bytes = resourceBytes(QStringLiteral(":/icons/tallamo"));
    ASSERT_FALSE(bytes.isEmpty());
    expectPlain24BitBmp(bytes, 32, 32, QStringLiteral("icon"));
    QImage icon;
    ASSERT_TRUE(icon.loadFromData(bytes, "BMP"));
    // Not a blank tile: the figure's violet and black are both there.
    int violet = 0, dark = 0;
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 32; ++x) {
            const QColor c(icon.pixel(x, y));
            if (c.blue() > 150 && c.red() > 60 && c.green() < 100) ++violet;
            if (c.lightness() < 50) ++dark;
        }
    }
    EXPECT_GT(violet, 60);
    EXPECT_GT(dark, 20);
}

}  // namespace
