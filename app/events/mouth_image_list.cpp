// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/events/mouth_image_list.h"

#include "base/error.h"
#include "speech/names.h"

// The resources live in the static library tallamo_ui; a static library's resource initialiser is
// dropped by the linker unless something refers to it, and this file is always linked because the
// window holds an image list.
static int registerProgramResources() {
    Q_INIT_RESOURCE(resources);
    return 0;
}
[[maybe_unused]] static const int programResourcesRegistered = registerProgramResources();

void MouthImageList::add(const QImage& picture, const QString& key) {
    if (!key.isEmpty()) {
        for (const Entry& entry : entries_) {
            if (entry.key == key) {
                throw speech::Error(speech::errc::kInvalidArg,
                                    "The image list already has an entry with the key \"" + key.toStdString() + "\".");
            }
        }
    }
    entries_.push_back(Entry{picture.convertToFormat(QImage::Format_RGB32), key});
}

const MouthImageList::Entry& MouthImageList::find(const Ref& ref) const {
    if (const int* index = std::get_if<int>(&ref)) {
        if (*index < 1 || *index > count()) {
            throw speech::Error(speech::errc::kInvalidArg, "The image list has no entry number " +
                                                               std::to_string(*index) + " (it holds " +
                                                               std::to_string(count()) + ").");
        }
        return entries_[static_cast<size_t>(*index - 1)];
    }
    const QString& key = std::get<QString>(ref);
    for (const Entry& entry : entries_) {
        if (!key.isEmpty() && entry.key == key) return entry;
    }
    throw speech::Error(speech::errc::kInvalidArg,
                        "The image list has no entry with the key \"" + key.toStdString() + "\".");
}

const QImage& MouthImageList::picture(const Ref& ref) const {
    return find(ref).picture;
}

QImage MouthImageList::overlay(const Ref& base, const Ref& top) const {
    const Entry& baseEntry = find(base);
    const Entry& topEntry = find(top);
    const std::pair<size_t, size_t> cacheKey{static_cast<size_t>(&baseEntry - entries_.data()),
                                             static_cast<size_t>(&topEntry - entries_.data())};
    if (auto cached = composites_.find(cacheKey); cached != composites_.end()) return cached->second;
    const QImage& below = baseEntry.picture;
    const QImage& above = topEntry.picture;
    const QRgb mask = maskColor_.rgb() & RGB_MASK;
    const QRgb back = backColor_.rgb() | ~RGB_MASK;
    QImage result(below.size(), QImage::Format_RGB32);
    for (int y = 0; y < result.height(); ++y) {
        const auto* baseRow = reinterpret_cast<const QRgb*>(below.constScanLine(y));
        const auto* topRow = y < above.height() ? reinterpret_cast<const QRgb*>(above.constScanLine(y)) : nullptr;
        auto* out = reinterpret_cast<QRgb*>(result.scanLine(y));
        for (int x = 0; x < result.width(); ++x) {
            if (topRow != nullptr && x < above.width() && (topRow[x] & RGB_MASK) != mask) {
                out[x] = topRow[x];
            } else if ((baseRow[x] & RGB_MASK) != mask) {
                out[x] = baseRow[x];
            } else {
                out[x] = back;
            }
        }
    }
    composites_.emplace(cacheKey, result);
    return result;
}
