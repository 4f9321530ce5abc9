// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/dialogs/about_dialog.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

namespace {

QFont dialogFont(const QStringList& families, double points) {
    QFont font;
    font.setFamilies(families);
    font.setPointSizeF(points);
    font.setWeight(QFont::Normal);
    return font;
}

// Designed in twips: 15 twips are one pixel at 96 dpi.
int px(const QWidget& widget, int twips) {
    return qRound(twips * widget.logicalDpiX() / 96.0 / 15.0);
}

}  // namespace

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(QStringLiteral("Tallamo"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setModal(false);
    setFixedSize(px(*this, 5730), px(*this, 2775));

    const auto place = [this](QWidget* w, int l, int t, int width, int height) {
        w->setGeometry(px(*this, l), px(*this, t), px(*this, width), px(*this, height));
    };

    cmdOK = new QPushButton(QStringLiteral("确定"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setDefault(true);
    place(cmdOK, 3600, 2160, 1500, 345);

    picIcon = new QLabel(this);
    picIcon->setObjectName(QStringLiteral("picIcon"));
    place(picIcon, 240, 240, 510, 510);

    const QStringList song = {QStringLiteral("宋体"),           QStringLiteral("SimSun"),
                              QStringLiteral("NSimSun"),        QStringLiteral("Noto Serif CJK SC"),
                              QStringLiteral("AR PL UMing CN"), QStringLiteral("WenQuanYi Micro Hei")};
    lblTitle = new QLabel(QStringLiteral("Tallamo"), this);
    lblTitle->setObjectName(QStringLiteral("lblTitle"));
    lblTitle->setFont(dialogFont(song, 14.25));
    place(lblTitle, 1800, 480, 1425, 285);

    lblVersion = new QLabel(QStringLiteral("版本：V1.0.0.1"), this);
    lblVersion->setObjectName(QStringLiteral("lblVersion"));
    lblVersion->setFont(dialogFont(song, 12));
    place(lblVersion, 1680, 1080, 1680, 240);

    Label1 = new QLabel(QStringLiteral("Brindle工作室 出品"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setFont(dialogFont({QStringLiteral("华文中宋"), QStringLiteral("STZhongsong"),
                                QStringLiteral("Noto Serif CJK SC"), QStringLiteral("WenQuanYi Micro Hei")},
                               10.5));
    place(Label1, 720, 1680, 4440, 240);

    // Enter presses the default button; Esc and the close box reject, which presses it too.
    connect(cmdOK, &QPushButton::clicked, this, &AboutDialog::cmdOK_Click);
}

void AboutDialog::Form_Load(const QIcon& mainIcon) {
    setWindowIcon(mainIcon);
    picIcon->setPixmap(mainIcon.pixmap(32, 32));
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }
    cmdOK->setFocus();
}

// Closing through done() (not a bare hide) lets the program end when this was its last window.
void AboutDialog::cmdOK_Click() {
    QDialog::accept();
}

void AboutDialog::reject() {
    cmdOK_Click();
}
