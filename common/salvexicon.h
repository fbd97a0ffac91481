// SPDX-License-Identifier: MIT
#pragma once

#include <QIcon>
#include <QPixmap>

// The program's icon: a yellow telephone standing on a grey modem box that shows six red
// lights and a green one. Drawn on a 32-pixel grid and scaled to any size.
QPixmap salvexPixmap(int size = 32);
QIcon salvexIcon();
