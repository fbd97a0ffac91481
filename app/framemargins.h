// SPDX-License-Identifier: MIT
#pragma once

#include <QMargins>

class QWidget;

// The margins the window system's frame (title bar and borders) will put around a top-level
// window that has its native window but is not shown yet, so that it can be placed by its
// frame before it first appears.
QMargins frameMarginsBeforeShow(QWidget *window);

// What Qt itself knows of the frame so far.
QMargins knownFrameMargins(const QWidget *window);
