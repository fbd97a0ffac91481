// SPDX-License-Identifier: MIT
#include "framemargins.h"

#include <QWidget>

QMargins knownFrameMargins(const QWidget *window)
{
    const QRect frame = window->frameGeometry();
    const QRect inside = window->geometry();
    return QMargins(inside.left() - frame.left(), inside.top() - frame.top(),
        frame.right() - inside.right(), frame.bottom() - inside.bottom());
}

#ifdef Q_OS_WIN
// Windows frames a window as soon as its native window exists.
QMargins frameMarginsBeforeShow(QWidget *window)
{
    return knownFrameMargins(window);
}
#endif
