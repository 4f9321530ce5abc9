// SPDX-License-Identifier: GPL-3.0-or-later
// An ordered list of pictures, numbered from 1, each optionally with a text key, that composes two
// of its entries into one picture: the base drawn first, the top drawn over it, mask-coloured pixels
// of the top letting the base show through, and pixels that are mask-coloured in both taking the
// background colour.
#pragma once

#include <QColor>
#include <QImage>
#include <QString>
#include <map>
#include <utility>
#include <variant>
#include <vector>

class MouthImageList {
public:
    // An entry number (1-based) or a key.
    using Ref = std::variant<int, QString>;

    // Appends a picture; a non-empty key must be unique (throws speech::Error otherwise).
    void add(const QImage& picture, const QString& key = {});
    int count() const { return static_cast<int>(entries_.size()); }
    void clear() {
        entries_.clear();
        composites_.clear();
    }

    void setMaskColor(QColor color) {
        maskColor_ = color;
        composites_.clear();
    }
    QColor maskColor() const { return maskColor_; }
    void setBackColor(QColor color) {
        backColor_ = color;
        composites_.clear();
    }
    QColor backColor() const { return backColor_; }

    // Where the window's loader reads the pictures by name: the program's resource folder by
    // default; tests point it at a folder of their own.
    void setSource(const QString& prefix) { source_ = prefix; }
    QString source() const { return source_; }

    // The entry's own picture; throws speech::Error when there is no such entry.
    const QImage& picture(const Ref& ref) const;
    // The composite of two entries; throws speech::Error when either does not exist.
    QImage overlay(const Ref& base, const Ref& top) const;

private:
    struct Entry {
        QImage picture;
        QString key;
    };
    const Entry& find(const Ref& ref) const;
    std::vector<Entry> entries_;
    // Composites already made, by (base, top) entry position: a long text raises hundreds of thousands
    // of viseme events, all drawn from the same few pictures. Entries never change once added.
    mutable std::map<std::pair<size_t, size_t>, QImage> composites_;
    QColor maskColor_{0xFF, 0x00, 0xFF};
    QColor backColor_{Qt::lightGray};
    QString source_{QStringLiteral(":/bitmaps/")};
};
