// SPDX-License-Identifier: MIT
#include "twips.h"

#include <QApplication>
#include <QFontMetrics>
#include <QProxyStyle>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QWidget>

#ifdef Q_OS_WIN
#include <windows.h>

namespace {

// The classic Windows controls, on every Windows alike: left to itself, Qt 6.8 takes
// "windows11" on Windows 11 (flat, a grey text area, "9600 bauds" cut in its list) and
// "windowsvista" elsewhere, whose closed lists ignore the first click on their arrow.
class ProgramStyle : public QProxyStyle
{
public:
    ProgramStyle() : QProxyStyle(QStringLiteral("windows")) { }

    int styleHint(StyleHint hint, const QStyleOption *option, const QWidget *widget,
        QStyleHintReturn *returnData) const override
    {
        // A message box's buttons at its right, where the system's own boxes have them.
        if (hint == SH_MessageBox_CenterButtons)
            return false;
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }

    QIcon standardIcon(StandardPixmap icon, const QStyleOption *option,
        const QWidget *widget) const override
    {
        // The message icons straight from the system, as user32 gives them. Qt 6.8 asks the
        // shell's stock icons first, and Wine 10's shell answers "information" with a page.
        const wchar_t *name = icon == SP_MessageBoxInformation ? IDI_INFORMATION
            : icon == SP_MessageBoxWarning                     ? IDI_WARNING
            : icon == SP_MessageBoxCritical                    ? IDI_ERROR
            : icon == SP_MessageBoxQuestion                    ? IDI_QUESTION
                                                               : nullptr;
        if (name) {
            const int size = pixelMetric(PM_MessageBoxIconSize, option, widget);
            if (auto *handle = static_cast<HICON>(
                    LoadImageW(nullptr, name, IMAGE_ICON, size, size, LR_SHARED))) {
                const QImage image = QImage::fromHICON(handle);
                if (!image.isNull())
                    return QIcon(QPixmap::fromImage(image));
            }
        }
        return QProxyStyle::standardIcon(icon, option, widget);
    }
};

} // namespace
#endif

void useProgramLook()
{
#ifdef Q_OS_WIN
    QApplication::setStyle(new ProgramStyle);
#endif
    QApplication::setFont(formFont());
}

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
#ifdef Q_OS_WIN
    // Microsoft Sans Serif, the outline twin of "MS Sans Serif" that every Windows has. Not
    // "MS Sans Serif" itself: it is a bitmap font of a few sizes, and where the system offers
    // it to Qt (Wine 10 does) Qt takes its nearest size, 13 pixels for 11, and captions are
    // cut. Where the twin is missing (Wine), Wine's own Tahoma; under Wine, Liberation Sans
    // would lose the stem of "I", FreeSans does not.
    QFont font;
    font.setFamilies({ QStringLiteral("Microsoft Sans Serif"), QStringLiteral("Tahoma"),
        QStringLiteral("FreeSans") });
    font.setPointSizeF(8.25);
#else
    // Where "MS Sans Serif" is missing, Liberation Sans has the closest metrics; at 11
    // pixels it would not fit "Recibir Datos" in its button.
    QFont font(QStringLiteral("MS Sans Serif"));
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
        { QStringLiteral("Microsoft Sans Serif"), QStringLiteral("Liberation Sans"),
            QStringLiteral("Arial") });
    font.setPixelSize(10);
#endif
    font.setWeight(bold ? QFont::Bold : QFont::Normal);
    font.setStyleHint(QFont::SansSerif);
    return font;
}
