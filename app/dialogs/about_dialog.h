// SPDX-License-Identifier: GPL-3.0-or-later
// The About box: the application icon, the product name, the version and the maker, with one button
// that closes it. Modeless and without an owner window; Enter and Esc press its button.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

class AboutDialog : public QDialog {
    Q_OBJECT

public:
    explicit AboutDialog(QWidget* parent = nullptr);

    // Runs each time the dialog is shown after having been closed: takes the main window's icon.
    void Form_Load(const QIcon& mainIcon);
    void cmdOK_Click();
    void reject() override;

    QPushButton* cmdOK = nullptr;
    QLabel* picIcon = nullptr;
    QLabel* lblTitle = nullptr;
    QLabel* lblVersion = nullptr;
    QLabel* Label1 = nullptr;
};
