// SPDX-License-Identifier: GPL-3.0-or-later
// A small up-down spinner that steps the whole number written in its buddy line edit, within a range.
// The buddy accepts any text; a step starts from the number the buddy shows when it holds one, from
// the spinner's own last value otherwise.
#pragma once

#include <QWidget>

class QLineEdit;
class QToolButton;

class UpDown : public QWidget {
    Q_OBJECT

public:
    explicit UpDown(QWidget* parent = nullptr);

    void setBuddy(QLineEdit* buddy);
    QLineEdit* buddy() const { return buddy_; }
    void setRange(int minimum, int maximum);
    int minimum() const { return minimum_; }
    int maximum() const { return maximum_; }
    int value() const { return value_; }
    // Sets the value (clamped into the range) and writes it into the buddy.
    void setValue(int value);
    // One step up (+1) or down (-1), or several.
    void stepBy(int steps);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QToolButton* up_;
    QToolButton* down_;
    QLineEdit* buddy_ = nullptr;
    int minimum_ = 0;
    int maximum_ = 100;
    int value_ = 0;
};
