// SPDX-License-Identifier: MIT
#include "twips.h"

#include <QFontMetrics>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QWidget>

int twips(int value)
{
    // Round to the nearest pixel, as the designer's grid does.
    return (value + 7) / 15;
}

QRect twips(int left, int top, int width, int height)
{
    return QRect(twips(left), twips(top), twips(width), twips(height));
}

void place(QWidget *control, int left, int top, int width, int height)
{
    control->setGeometry(twips(left, top, width, height));
    control->setFont(formFont());
}

QPushButton *plainButton(
    QWidget *container, const QString &caption, int left, int top, int width, int height)
{
    auto *control = new QPushButton(caption, container);
    place(control, left, top, width, height);
    control->setAutoDefault(false);
    control->setDefault(false);
    fitCaption(control);
    return control;
}

int captionRoom(const QPushButton *button)
{
    // What QPushButton itself keeps around its text: the frame, and the margin without which
    // a style's drawn frame (Fusion's is wider than its metric) touches the caption.
    QStyleOptionButton option;
    option.initFrom(button);
    const QStyle *style = button->style();
    return button->width() - 2 * style->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, button)
        - style->pixelMetric(QStyle::PM_ButtonMargin, &option, button);
}

void fitCaption(QPushButton *button)
{
    // The layout was drawn for a narrow bitmap face; where an outline font is too wide for
    // the inside of the button's frame, the caption is set one size smaller, and if even that
    // is too wide, narrowed until it fits: never cut off, never smaller still.
    const int room = captionRoom(button);
    QFont font = button->font();
    const auto width = [&] { return QFontMetrics(font).horizontalAdvance(button->text()); };
    if (width() > room)
        font.setPixelSize(QFontInfo(font).pixelSize() - 1);
    for (int stretch = 99; width() > room && stretch > 0; --stretch)
        font.setStretch(stretch);
    button->setFont(font);
}

QColor vbColor(quint32 bgr)
{
    return QColor(int(bgr & 0xFF), int((bgr >> 8) & 0xFF), int((bgr >> 16) & 0xFF));
}

QFont formFont(bool bold)
{
    QFont font(QStringLiteral("MS Sans Serif"));
#ifdef Q_OS_WIN
    // The system's own font. "MS Sans Serif" itself is a bitmap font that Qt does not use:
    // Windows has its outline twin; under Wine, Liberation Sans would lose the stem of "I"
    // in Wine's rendering, FreeSans does not.
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
        { QStringLiteral("Microsoft Sans Serif"), QStringLiteral("Tahoma"), QStringLiteral("Arial"),
            QStringLiteral("FreeSans"), QStringLiteral("DejaVu Sans") });
    font.setPointSizeF(8.25);
#else
    // Where "MS Sans Serif" is missing, Liberation Sans has the closest metrics; at 11
    // pixels it would not fit "Recibir Datos" in its button.
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
        { QStringLiteral("Microsoft Sans Serif"), QStringLiteral("Liberation Sans"),
            QStringLiteral("Arial") });
    font.setPixelSize(10);
#endif
    font.setWeight(bold ? QFont::Bold : QFont::Normal);
    font.setStyleHint(QFont::SansSerif);
    return font;
}
