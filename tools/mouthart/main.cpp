// SPDX-License-Identifier: GPL-3.0-or-later
// Draws the program's artwork: the 15 pictures of the mouth figure (a blue-violet microphone head
// with a grille, two eyes and a mouth, held by a black clip on a round black base) and the 32 x 32
// application icon. Every picture is written as an uncompressed 24-bit BMP, bottom row first.
//
// All figure pictures share one 128 x 128 frame, so any of them placed over the whole figure lines
// up with it. Pixels outside a picture's drawing are magenta (0xFF00FF), the colour the image list
// treats as transparent. The mouth and eye pictures carry the figure itself (head, grille, clip)
// within their region with the mouth or eyes drawn in, so that laid over the whole figure they hide
// its own mouth or eyes completely.
//
// Usage: tallamo-mouthart <resources folder> [<preview folder>]
//        tallamo-mouthart --icons <hicolor folder> <icon name>
// The preview folder receives each picture enlarged as PNG and a sheet of the 22 viseme pictures.
// --icons writes the application icon for the desktop's icon theme (PNG at each size and an SVG);
// the build runs it, so the installed icons are always this drawing.
// The output depends on nothing but this code: running it twice gives the same bytes.
#include <QByteArray>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QRect>
#include <QString>
#include <QSvgGenerator>
#include <array>
#include <cstdio>
#include <functional>
#include <map>

namespace {

constexpr int kSize = 128;
constexpr QRgb kMagenta = 0xFF00FF;

// Regions each picture may draw in (inclusive pixel bounds, rows from the top).
const QRect kFullRegion(QPoint(28, 17), QPoint(88, 127));
const QRect kMouthRegion(QPoint(33, 56), QPoint(87, 100));
const QRect kEyeClosedRegion(QPoint(36, 33), QPoint(79, 49));
const QRect kEyeNarrowRegion(QPoint(36, 33), QPoint(77, 49));

// Colours.
const QColor kViolet(0x74, 0x3C, 0xDC);       // the head
const QColor kVioletDark(0x38, 0x18, 0x80);   // head outline, grille
const QColor kVioletLight(0xA4, 0x88, 0xF4);  // sheen on the head
const QColor kBlack(0x10, 0x10, 0x14);
const QColor kClipGrey(0x3A, 0x3A, 0x40);  // sheen on the clip and the base
const QColor kTeeth(0xE4, 0xE4, 0xE8);
const QColor kRed(0xC8, 0x1E, 0x28);
const QColor kTongue(0xF0, 0x6E, 0x78);
const QColor kDark(0x30, 0x08, 0x10);  // deep inside a round opening
const QColor kWhite(0xFA, 0xFA, 0xFA);

// Figure geometry: a capsule-shaped head centred on column 59.
constexpr double kCx = 59.5;
constexpr double kHeadLeft = 33.0, kHeadRight = 86.0, kHeadTop = 17.0, kHeadBottom = 100.0;
constexpr double kHeadRadius = (kHeadRight - kHeadLeft) / 2.0;
constexpr double kEyeLeftCx = 48.0, kEyeRightCx = 69.0, kEyeCy = 41.0;
constexpr double kEyeHalfW = 6.5, kEyeHalfH = 6.5;
constexpr double kMouthCy = 73.0;

QPainterPath headPath() {
    QPainterPath path;
    path.addRoundedRect(QRectF(kHeadLeft, kHeadTop, kHeadRight - kHeadLeft, kHeadBottom - kHeadTop), kHeadRadius,
                        kHeadRadius);
    return path;
}

QPainterPath ellipse(double cx, double cy, double rx, double ry) {
    QPainterPath path;
    path.addEllipse(QPointF(cx, cy), rx, ry);
    return path;
}

// A transparent layer to paint on with antialiasing; flatten() turns it into the final picture.
QImage newLayer() {
    QImage layer(kSize, kSize, QImage::Format_ARGB32);
    layer.fill(Qt::transparent);
    return layer;
}

void beginPainter(QPainter& p) {
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setPen(Qt::NoPen);
}

// The figure without its eyes and mouth: head with sheen and grille, clip, neck and base.
void paintBody(QPainter& p) {
    const QPainterPath head = headPath();
    // The clip: a black U that holds the lower half of the head, its ends rounded off.
    {
        QPainterPath outer = ellipse(kCx, kHeadBottom - kHeadRadius, kHeadRadius + 3.0, kHeadRadius + 3.0);
        QPainterPath lowerHalf;
        lowerHalf.addRoundedRect(QRectF(0.0, kHeadBottom - kHeadRadius - 6.0, kSize, kSize), 3.0, 3.0);
        p.setBrush(kBlack);
        p.drawPath(outer.intersected(lowerHalf));
    }

    // Head: outline, fill and a sheen on the left.
    p.setBrush(kVioletDark);
    p.drawPath(head);
    p.setBrush(kViolet);
    p.drawRoundedRect(
        QRectF(kHeadLeft + 2.0, kHeadTop + 2.0, kHeadRight - kHeadLeft - 4.0, kHeadBottom - kHeadTop - 4.0),
        kHeadRadius - 2.0, kHeadRadius - 2.0);
    p.setBrush(kVioletLight);
    p.drawEllipse(QRectF(38.0, 52.0, 4.0, 18.0));

    // Grille: a mesh over the dome above the eyes, with a rim below it.
    p.save();
    QPainterPath dome;
    dome.addRect(QRectF(0.0, 0.0, kSize, 31.0));
    p.setClipPath(head.intersected(dome));
    p.setPen(QPen(kVioletDark, 1.0));
    for (double x = kHeadLeft + 4.5; x < kHeadRight; x += 4.0) p.drawLine(QPointF(x, kHeadTop), QPointF(x, 31.0));
    for (double y = kHeadTop + 3.5; y < 31.0; y += 4.0) p.drawLine(QPointF(kHeadLeft, y), QPointF(kHeadRight, y));
    p.restore();
    p.setBrush(kVioletDark);
    p.drawRect(QRectF(37.0, 30.0, 45.0, 2.0));

    // The neck and the round base.
    p.setBrush(kBlack);
    p.drawRect(QRectF(53.0, 100.0, 13.0, 14.0));
    p.drawEllipse(QRectF(28.0, 112.0, 61.0, 16.0));
    p.setBrush(kClipGrey);
    p.drawRect(QRectF(55.0, 101.0, 2.0, 11.0));
    p.drawEllipse(QRectF(36.0, 115.0, 20.0, 4.0));
}

// One open eye centred on `cx`: outline, white and pupil.
void paintEyeball(QPainter& p, double cx) {
    p.setBrush(kBlack);
    p.drawEllipse(QPointF(cx, kEyeCy), kEyeHalfW, kEyeHalfH);
    p.setBrush(kWhite);
    p.drawEllipse(QPointF(cx, kEyeCy), kEyeHalfW - 1.5, kEyeHalfH - 1.5);
    p.setBrush(kBlack);
    p.drawEllipse(QPointF(cx + 1.0, kEyeCy + 1.0), 3.0, 3.5);
}

void paintOpenEyes(QPainter& p) {
    for (double cx : {kEyeLeftCx, kEyeRightCx}) {
        paintEyeball(p, cx);
        p.setBrush(kWhite);
        p.drawEllipse(QPointF(cx + 2.0, kEyeCy - 0.5), 1.0, 1.0);
    }
}

// Closed eyes: a curved lid line, bowed downwards, with a few lashes.
void paintClosedEyes(QPainter& p) {
    p.setBrush(Qt::NoBrush);
    for (double cx : {kEyeLeftCx, kEyeRightCx}) {
        p.setPen(QPen(kBlack, 2.0, Qt::SolidLine, Qt::RoundCap));
        QPainterPath lid;
        lid.moveTo(cx - kEyeHalfW + 0.5, kEyeCy);
        lid.quadTo(cx, kEyeCy + 7.0, cx + kEyeHalfW - 0.5, kEyeCy);
        p.drawPath(lid);
        p.setPen(QPen(kBlack, 1.2, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(cx - 3.5, kEyeCy + 3.0), QPointF(cx - 5.0, kEyeCy + 6.0));
        p.drawLine(QPointF(cx, kEyeCy + 3.8), QPointF(cx, kEyeCy + 7.0));
        p.drawLine(QPointF(cx + 3.5, kEyeCy + 3.0), QPointF(cx + 5.0, kEyeCy + 6.0));
    }
    p.setPen(Qt::NoPen);
}

// Narrowed eyes: the lower half of each eye shows below a heavy, straight upper lid.
void paintNarrowEyes(QPainter& p) {
    for (double cx : {kEyeLeftCx, kEyeRightCx}) {
        p.save();
        p.setClipRect(QRectF(cx - kEyeHalfW - 1.0, kEyeCy - 1.0, 2.0 * kEyeHalfW + 2.0, kEyeHalfH + 2.0));
        paintEyeball(p, cx);
        p.restore();
        p.setBrush(kBlack);
        p.drawRoundedRect(QRectF(cx - kEyeHalfW - 0.5, kEyeCy - 1.5, 2.0 * kEyeHalfW + 1.0, 2.5), 1.0, 1.0);
    }
}

// The closed mouth of the whole figure: a thin smiling curve.
void paintSmile(QPainter& p) {
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(kBlack, 2.0, Qt::SolidLine, Qt::RoundCap));
    QPainterPath smile;
    smile.moveTo(kCx - 12.0, kMouthCy - 2.0);
    smile.quadTo(kCx, kMouthCy + 8.0, kCx + 12.0, kMouthCy - 2.0);
    p.drawPath(smile);
    p.setPen(Qt::NoPen);
}

// A mouth: `shape` is its outline; inside it, a band of teeth `teeth` pixels high along the top
// (0: none), red below with a tongue when `tongue`, or a dark opening when `dark`.
struct Mouth {
    QPainterPath shape;
    double teeth = 0.0;
    bool tongue = false;
    bool dark = false;
    bool teethOnly = false;  // teeth fill the whole mouth, split by a line
    double gap = 1.0;        // height of that line: the parting between upper and lower teeth
};

void paintMouth(QPainter& p, const Mouth& m) {
    const QRectF box = m.shape.boundingRect();
    p.setBrush(kBlack);
    p.drawPath(m.shape);
    // The inside, 1.5 px within the outline.
    QPainterPathStroker stroker;
    stroker.setWidth(3.0);
    const QPainterPath inside = m.shape.subtracted(stroker.createStroke(m.shape));
    p.save();
    p.setClipPath(inside);
    if (m.dark) {
        p.setBrush(kDark);
        p.drawRect(box);
    } else if (m.teethOnly) {
        p.setBrush(kTeeth);
        p.drawRect(box);
        p.setBrush(kBlack);
        p.drawRect(QRectF(box.left(), box.center().y() - m.gap / 2.0, box.width(), m.gap));
    } else {
        p.setBrush(kRed);
        p.drawRect(box);
        if (m.tongue) {
            p.setBrush(kTongue);
            p.drawEllipse(QRectF(box.center().x() - box.width() * 0.3, box.bottom() - box.height() * 0.35,
                                 box.width() * 0.6, box.height() * 0.5));
        }
        if (m.teeth > 0.0) {
            p.setBrush(kTeeth);
            p.drawRect(QRectF(box.left(), box.top(), box.width(), 1.5 + m.teeth));
        }
    }
    p.restore();
}

QPainterPath roundedBox(double left, double top, double right, double bottom, double radius) {
    QPainterPath path;
    path.addRoundedRect(QRectF(left, top, right - left, bottom - top), radius, radius);
    return path;
}

// The twelve mouth shapes, by bitmap number.
std::map<int, Mouth> mouthShapes() {
    std::map<int, Mouth> mouths;
    // A small round dark opening.
    mouths[2] = Mouth{ellipse(kCx, kMouthCy + 1.0, 5.0, 5.0), 0.0, false, true, false};
    // A large round dark opening.
    mouths[3] = Mouth{ellipse(kCx, kMouthCy + 2.0, 10.0, 10.5), 0.0, false, true, false};
    // A wide, flat, slightly open mouth showing teeth.
    mouths[4] = Mouth{roundedBox(kCx - 18.0, kMouthCy - 3.0, kCx + 18.0, kMouthCy + 6.0, 3.5), 0.0, false, false, true};
    mouths[4].gap = 1.5;
    // A wide oval mouth, teeth above a red inside.
    mouths[5] = Mouth{ellipse(kCx, kMouthCy + 2.0, 16.0, 9.0), 4.0, true, false, false};
    // A tall open mouth, teeth above a large red inside.
    mouths[6] = Mouth{ellipse(kCx, kMouthCy + 3.0, 10.0, 14.0), 3.5, true, false, false};
    // A medium mouth with teeth and some red inside.
    mouths[7] = Mouth{ellipse(kCx, kMouthCy + 1.5, 12.0, 7.0), 4.0, false, false, false};
    // A small narrow mouth showing teeth only.
    mouths[8] = Mouth{roundedBox(kCx - 8.0, kMouthCy - 3.0, kCx + 8.0, kMouthCy + 5.0, 3.0), 0.0, false, false, true};
    // A medium-wide mouth showing teeth only.
    mouths[9] = Mouth{roundedBox(kCx - 13.0, kMouthCy - 4.0, kCx + 13.0, kMouthCy + 6.0, 3.5), 0.0, false, false, true};
    // A wide half-moon mouth, red inside, no teeth: flat on top, round below.
    {
        QPainterPath moon;
        moon.moveTo(kCx - 16.0, kMouthCy - 3.0);
        moon.lineTo(kCx + 16.0, kMouthCy - 3.0);
        moon.cubicTo(kCx + 16.0, kMouthCy + 15.0, kCx - 16.0, kMouthCy + 15.0, kCx - 16.0, kMouthCy - 3.0);
        moon.closeSubpath();
        mouths[10] = Mouth{moon, 0.0, true, false, false};
    }
    // A wide, narrow, barely parted mouth: a red line between the lips.
    mouths[11] = Mouth{ellipse(kCx, kMouthCy + 1.0, 15.0, 3.0), 0.0, false, false, false};
    // A medium rounded mouth with red inside.
    mouths[12] = Mouth{ellipse(kCx, kMouthCy + 2.0, 9.0, 8.0), 0.0, true, false, false};
    // A rounder, taller mouth with red inside.
    mouths[13] = Mouth{ellipse(kCx, kMouthCy + 3.0, 8.0, 11.0), 0.0, true, false, false};
    return mouths;
}

// Turns an antialiased layer into a picture: opaque where the layer is mostly covered, magenta
// elsewhere and outside `region`. No drawn pixel may be the mask colour itself.
QImage flatten(const QImage& layer, const QRect& region) {
    QImage picture(kSize, kSize, QImage::Format_RGB32);
    for (int y = 0; y < kSize; ++y) {
        for (int x = 0; x < kSize; ++x) {
            const QRgb pixel = layer.pixel(x, y);
            QRgb out = kMagenta;
            if (region.contains(x, y) && qAlpha(pixel) >= 128) {
                out = pixel & RGB_MASK;
                if (out == kMagenta) out = 0xFE00FE;
            }
            picture.setPixel(x, y, out | ~RGB_MASK);
        }
    }
    return picture;
}

QImage drawPicture(const std::function<void(QPainter&)>& paint, const QRect& region) {
    QImage layer = newLayer();
    {
        QPainter p(&layer);
        beginPainter(p);
        paint(p);
    }
    return flatten(layer, region);
}

// The application icon: the figure's head with its grille, eyes and smile on its clip and base,
// drawn with bolder features than the 128-pixel figure so they survive at 32 x 32. Drawn four
// times larger on a pale tile and scaled down smoothly.
// The application icon, drawn on a 128 x 128 canvas: the figure's head with open eyes and a smile
// over a light-blue tile. Every size and the scalable icon come from this one drawing.
constexpr int kIconCanvas = 128;

void paintIcon(QPainter& p) {
    beginPainter(p);
    p.fillRect(QRectF(0.0, 0.0, kIconCanvas, kIconCanvas), QColor(0xDC, 0xE6, 0xF5));
    const double cx = 64.0, left = 34.0, right = 94.0, top = 4.0, bottom = 92.0, r = (right - left) / 2.0;
    // Clip, neck and base.
    p.setBrush(kBlack);
    QPainterPath lowerHalf;
    lowerHalf.addRect(QRectF(0.0, bottom - r - 4.0, 128.0, 128.0));
    p.drawPath(ellipse(cx, bottom - r, r + 5.0, r + 5.0).intersected(lowerHalf));
    p.drawRect(QRectF(cx - 8.0, bottom, 16.0, 20.0));
    p.drawEllipse(QRectF(cx - 40.0, 106.0, 80.0, 20.0));
    // Head.
    QPainterPath head;
    head.addRoundedRect(QRectF(left, top, right - left, bottom - top), r, r);
    p.setBrush(kVioletDark);
    p.drawPath(head);
    p.setBrush(kViolet);
    p.drawRoundedRect(QRectF(left + 4.0, top + 4.0, right - left - 8.0, bottom - top - 8.0), r - 4.0, r - 4.0);
    // Grille on the dome: the bars' outlines cut to the dome, as one shape rather than strokes under
    // a clip, since an SVG written by QSvgGenerator carries no clip.
    QPainterPath bars;
    bars.setFillRule(Qt::WindingFill);  // the crossings stay filled
    for (double x = left + 6.0; x < right; x += 8.0) bars.addRect(QRectF(x - 1.5, top - 1.5, 3.0, 22.0 - top + 3.0));
    for (double y = top + 6.0; y < 22.0; y += 8.0) bars.addRect(QRectF(left - 1.5, y - 1.5, right - left + 3.0, 3.0));
    QPainterPath dome;
    dome.addRect(QRectF(0.0, 0.0, 128.0, 22.0));
    p.setBrush(kVioletDark);
    p.drawPath(bars.intersected(head.intersected(dome)));
    // Eyes.
    for (double ex : {cx - 13.0, cx + 13.0}) {
        p.setBrush(kBlack);
        p.drawEllipse(QPointF(ex, 38.0), 11.0, 12.0);
        p.setBrush(kWhite);
        p.drawEllipse(QPointF(ex, 38.0), 8.0, 9.0);
        p.setBrush(kBlack);
        p.drawEllipse(QPointF(ex + 1.5, 40.0), 5.0, 6.0);
    }
    // Smile.
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(kBlack, 5.0, Qt::SolidLine, Qt::RoundCap));
    QPainterPath smile;
    smile.moveTo(cx - 17.0, 62.0);
    smile.quadTo(cx, 80.0, cx + 17.0, 62.0);
    p.drawPath(smile);
}

// The icon drawn at `size` x `size` pixels.
QImage renderIcon(int size) {
    QImage icon(size, size, QImage::Format_ARGB32);
    icon.fill(Qt::transparent);
    QPainter p(&icon);
    p.scale(static_cast<double>(size) / kIconCanvas, static_cast<double>(size) / kIconCanvas);
    paintIcon(p);
    return icon;
}

// The 32 x 32 window icon: drawn large and scaled down smoothly.
QImage drawIcon() {
    const QImage small = renderIcon(kIconCanvas).scaled(32, 32, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return small.convertToFormat(QImage::Format_RGB32);
}

// The icon theme's files under `theme` (a hicolor folder): <n>x<n>/apps/<name>.png for each size
// desktops ask for, and scalable/apps/<name>.svg.
bool writeThemeIcons(const QString& theme, const QString& name) {
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QString folder = QString("%1/%2x%2/apps").arg(theme).arg(size);
        if (!QDir().mkpath(folder) || !renderIcon(size).save(folder + "/" + name + ".png")) return false;
    }
    const QString folder = theme + "/scalable/apps";
    if (!QDir().mkpath(folder)) return false;
    QSvgGenerator svg;
    svg.setFileName(folder + "/" + name + ".svg");
    svg.setSize(QSize(kIconCanvas, kIconCanvas));
    svg.setViewBox(QRect(0, 0, kIconCanvas, kIconCanvas));
    svg.setTitle(name);
    QPainter p;
    if (!p.begin(&svg)) return false;
    paintIcon(p);
    return p.end();
}

// Writes `picture` as a device-independent bitmap: BITMAPFILEHEADER, BITMAPINFOHEADER with 24 bits
// per pixel and no compression, then the rows bottom first, each padded to four bytes.
bool writeBmp(const QImage& picture, const QString& path) {
    const int width = picture.width(), height = picture.height();
    const int rowBytes = (width * 3 + 3) & ~3;
    const int dataBytes = rowBytes * height;
    QByteArray bytes;
    auto put16 = [&bytes](int v) {
        bytes.append(static_cast<char>(v & 0xFF));
        bytes.append(static_cast<char>((v >> 8) & 0xFF));
    };
    auto put32 = [&bytes](int v) {
        for (int i = 0; i < 4; ++i) bytes.append(static_cast<char>((v >> (8 * i)) & 0xFF));
    };
    bytes.append("BM");
    put32(14 + 40 + dataBytes);
    put16(0);
    put16(0);
    put32(14 + 40);
    put32(40);
    put32(width);
    put32(height);  // positive: bottom row first
    put16(1);       // planes
    put16(24);      // bits per pixel
    put32(0);       // BI_RGB
    put32(dataBytes);
    put32(2835);  // 72 dpi
    put32(2835);
    put32(0);
    put32(0);
    for (int y = height - 1; y >= 0; --y) {
        for (int x = 0; x < width; ++x) {
            const QRgb pixel = picture.pixel(x, y);
            bytes.append(static_cast<char>(qBlue(pixel)));
            bytes.append(static_cast<char>(qGreen(pixel)));
            bytes.append(static_cast<char>(qRed(pixel)));
        }
        for (int pad = width * 3; pad < rowBytes; ++pad) bytes.append('\0');
    }
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Base drawn first, top over it; magenta in the top shows the base, magenta in both the background.
QImage composite(const QImage& base, const QImage& top, QRgb background) {
    QImage out(base.size(), QImage::Format_RGB32);
    for (int y = 0; y < base.height(); ++y) {
        for (int x = 0; x < base.width(); ++x) {
            const QRgb t = top.pixel(x, y) & RGB_MASK, b = base.pixel(x, y) & RGB_MASK;
            out.setPixel(x, y, (t != kMagenta ? t : b != kMagenta ? b : background & RGB_MASK) | ~RGB_MASK);
        }
    }
    return out;
}

bool writePreview(const std::map<QString, QImage>& pictures, const QString& folder) {
    if (!QDir().mkpath(folder)) return false;
    for (const auto& [name, picture] : pictures) {
        if (!picture.scaled(picture.width() * 3, picture.height() * 3).save(folder + "/" + name + ".png")) return false;
    }
    // The pictures the viseme handler shows for visemes 0..21.
    const std::array<QString, 22> shown{"MICFULL", "MICFULL", "MICEYECLOSED", "MIC11", "MIC11", "MICEYENARROW",
                                        "MIC11",   "MIC9",    "MICEYECLOSED", "MIC13", "MIC9",  "MICEYENARROW",
                                        "MIC11",   "MIC9",    "MICEYECLOSED", "MIC6",  "MIC7",  "MICEYENARROW",
                                        "MIC5",    "MIC4",    "MICEYECLOSED", "MIC9"};
    const int scale = 2, cell = kSize * scale, label = 20;
    QImage sheet(6 * cell, 4 * (cell + label), QImage::Format_RGB32);
    sheet.fill(Qt::white);
    QPainter p(&sheet);
    QFont font;
    font.setPixelSize(14);
    p.setFont(font);
    const QRgb buttonFace = 0xEFEFEF;
    for (int v = 0; v < 22; ++v) {
        const int cx = (v % 6) * cell, cy = (v / 6) * (cell + label);
        const QImage pic = composite(pictures.at("MICFULL"), pictures.at(shown[static_cast<size_t>(v)]), buttonFace);
        p.drawImage(QPoint(cx, cy + label), pic.scaled(cell, cell));
        p.setPen(Qt::black);
        p.drawText(QRect(cx, cy, cell, label), Qt::AlignCenter,
                   QString("viseme %1: %2").arg(v).arg(shown[static_cast<size_t>(v)]));
    }
    p.end();
    return sheet.save(folder + "/sheet.png");
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc == 4 && QByteArray(argv[1]) == "--icons") {
        if (writeThemeIcons(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]))) return 0;
        std::fprintf(stderr, "cannot write the icons under %s\n", argv[2]);
        return 1;
    }
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s <resources folder> [<preview folder>]\n", argv[0]);
        std::fprintf(stderr, "       %s --icons <hicolor folder> <icon name>\n", argv[0]);
        return 2;
    }
    const QString resources = QString::fromLocal8Bit(argv[1]);

    std::map<QString, QImage> pictures;
    pictures["MICFULL"] = drawPicture(
        [](QPainter& p) {
            paintBody(p);
            paintOpenEyes(p);
            paintSmile(p);
        },
        kFullRegion);
    for (const auto& [number, shape] : mouthShapes()) {
        const auto& mouth = shape;  // a lambda cannot capture a structured binding in clang 14
        pictures[QString("MIC%1").arg(number)] = drawPicture(
            [&mouth](QPainter& p) {
                paintBody(p);
                paintMouth(p, mouth);
            },
            kMouthRegion);
    }
    pictures["MICEYECLOSED"] = drawPicture(
        [](QPainter& p) {
            paintBody(p);
            paintClosedEyes(p);
        },
        kEyeClosedRegion);
    pictures["MICEYENARROW"] = drawPicture(
        [](QPainter& p) {
            paintBody(p);
            paintNarrowEyes(p);
        },
        kEyeNarrowRegion);

    if (!QDir().mkpath(resources + "/bitmaps") || !QDir().mkpath(resources + "/icons")) {
        std::fprintf(stderr, "cannot create the folders under %s\n", argv[1]);
        return 1;
    }
    for (const auto& [name, picture] : pictures) {
        if (!writeBmp(picture, resources + "/bitmaps/" + name + ".bmp")) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(name));
            return 1;
        }
    }
    const QImage icon = drawIcon();
    if (!writeBmp(icon, resources + "/icons/tallamo.bmp")) {
        std::fprintf(stderr, "cannot write the icon\n");
        return 1;
    }
    if (argc == 3) {
        std::map<QString, QImage> preview = pictures;
        preview["icon"] = icon;
        if (!writePreview(preview, QString::fromLocal8Bit(argv[2]))) {
            std::fprintf(stderr, "cannot write the preview\n");
            return 1;
        }
    }
    return 0;
}
