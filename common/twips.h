// SPDX-License-Identifier: MIT
#pragma once

#include <QColor>
#include <QFont>
#include <QRect>

class QPushButton;
class QString;
class QWidget;

// Layouts are written in twips, as they were designed; 15 twips make one pixel at 96 dpi.
int twips(int value);
QRect twips(int left, int top, int width, int height);

// Places a control in its container at a twips rectangle and gives it the window font.
void place(QWidget *control, int left, int top, int width, int height);

// A push button at a twips rectangle that is never a window's default button.
QPushButton *plainButton(
    QWidget *container, const QString &caption, int left, int top, int width, int height);

// The width a button's caption may take clear of its frame.
int captionRoom(const QPushButton *button);
// Fits a button's caption inside its frame: a size smaller at most, then narrower.
void fitCaption(QPushButton *button);

// Colours are written 0x00BBGGRR.
QColor vbColor(quint32 bgr);
constexpr quint32 vbRed = 0x0000FF;
constexpr quint32 vbGreen = 0x00FF00;

// The whole program's look, set before its first window: the style (on Windows, the classic
// one, whatever the system would pick) and the windows' font, which message boxes and input
// boxes share.
void useProgramLook();

// "MS Sans Serif" 8.25 points: on Windows its outline twin, Microsoft Sans Serif; elsewhere
// a substitute held in pixels, so it scales with the twips geometry.
QFont formFont(bool bold = false);
