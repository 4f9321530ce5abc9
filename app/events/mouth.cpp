// SPDX-License-Identifier: GPL-3.0-or-later
// The mouth figure: loading its pictures, the viseme-to-picture rules and the rest picture.
#include <QLabel>
#include <QPixmap>
#include <QStringList>
#include <array>

#include "app/parlan_main.h"
#include "base/error.h"
#include "speech/names.h"

namespace {

struct MouthEntry {
    const char* bitmap;
    const char* key;  // empty: the entry has no key
};

// Entry n of the list is kMouthEntries[n - 1]; entries 1 to 21 are looked up by viseme number.
constexpr std::array<MouthEntry, 24> kMouthEntries{{
    {"MICFULL", "MICFULL"},
    {"MIC11", ""},
    {"MIC11", ""},
    {"MIC11", ""},
    {"MIC10", ""},
    {"MIC11", ""},
    {"MIC9", ""},
    {"MIC2", ""},
    {"MIC13", ""},
    {"MIC9", ""},
    {"MIC12", ""},
    {"MIC11", ""},
    {"MIC9", ""},
    {"MIC3", ""},
    {"MIC6", ""},
    {"MIC7", ""},
    {"MIC8", ""},
    {"MIC5", ""},
    {"MIC4", ""},
    {"MIC7", ""},
    {"MIC9", ""},
    {"MIC11", ""},
    {"MICEYECLOSED", "MICEYECLOSED"},
    {"MICEYENARROW", "MICEYENARROW"},
}};

const QString kFullKey = QStringLiteral("MICFULL");

}  // namespace

void ParlanMain::LoadMouthImages() {
    try {
        for (const MouthEntry& entry : kMouthEntries) {
            const QString name = MouthImgList.source() + QLatin1String(entry.bitmap);
            QImage picture;
            if (!picture.load(name, "BMP")) {
                throw speech::Error(speech::errc::kNotFound, "The bitmap " + name.toStdString() + " cannot be loaded.");
            }
            MouthImgList.add(picture, QString::fromLatin1(entry.key));
        }
    } catch (...) {
        // The entries added so far stay; start-up goes on without the rest.
        services_.dialogs->message(this, windowTitle(), QStringLiteral("出错啦!"), MessageIcon::Information);
    }
}

void ParlanMain::Voice_Viseme(int32_t streamNumber, const QVariant& streamPosition, int32_t duration,
                              int32_t visemeType, int32_t feature, int32_t visemeId) {
    LogVoiceEvent({QStringLiteral("Viseme"), QStringLiteral("StreamNum=") + QString::number(streamNumber),
                   QStringLiteral("StreamPos=") + streamPosition.toString(),
                   QStringLiteral("Duration=") + QString::number(duration),
                   QStringLiteral("VisemeType=") + QString::number(visemeType),
                   QStringLiteral("Feature=") + QString::number(feature),
                   QStringLiteral("VisemeId=") + QString::number(visemeId)});

    // Silence shows the whole head, like viseme 1. The picture depends on the id alone.
    const int id = visemeId == 0 ? 1 : visemeId;
    QImage picture = MouthImgList.overlay(kFullKey, id);
    VisemePicture->setPixmap(QPixmap::fromImage(picture));
    // Some ids blink instead of showing their mouth: the head keeps its own closed mouth.
    if (id % 6 == 2) {
        picture = MouthImgList.overlay(kFullKey, QStringLiteral("MICEYECLOSED"));
        VisemePicture->setPixmap(QPixmap::fromImage(picture));
    } else if (id % 6 == 5) {
        picture = MouthImgList.overlay(kFullKey, QStringLiteral("MICEYENARROW"));
        VisemePicture->setPixmap(QPixmap::fromImage(picture));
    }
}

void ParlanMain::ShowRestPicture() {
    VisemePicture->setPixmap(QPixmap::fromImage(MouthImgList.overlay(kFullKey, kFullKey)));
}
