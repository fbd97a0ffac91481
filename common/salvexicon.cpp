// SPDX-License-Identifier: MIT
#include "salvexicon.h"

#include <QPainter>
#include <QPainterPath>

QPixmap salvexPixmap(int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing, size > 32);
    p.scale(size / 32.0, size / 32.0);

    // The modem box, with its front panel of lights.
    p.setPen(QPen(QColor(0x40, 0x40, 0x40), 1));
    p.setBrush(QColor(0xC0, 0xC0, 0xC0));
    p.drawRect(QRectF(1.5, 19.5, 29, 10));
    p.setBrush(QColor(0x80, 0x80, 0x80));
    p.drawRect(QRectF(3.5, 24.5, 25, 3));
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 6; ++i) {
        p.setBrush(QColor(0xFF, 0x00, 0x00));
        p.drawRect(QRectF(5 + i * 3.5, 25, 2, 2));
    }
    p.setBrush(QColor(0x00, 0xFF, 0x00));
    p.drawRect(QRectF(26, 25, 2, 2));

    // The telephone standing on it: base, then the handset across the top.
    p.setPen(QPen(Qt::black, 1));
    p.setBrush(QColor(0xFF, 0xFF, 0x00));
    QPainterPath base;
    base.moveTo(8.5, 19.5);
    base.lineTo(11.5, 11.5);
    base.lineTo(20.5, 11.5);
    base.lineTo(23.5, 19.5);
    base.closeSubpath();
    p.drawPath(base);
    QPainterPath handset;
    handset.moveTo(4.5, 9.5);
    handset.cubicTo(4.5, 2.5, 27.5, 2.5, 27.5, 9.5);
    handset.lineTo(22.5, 10.5);
    handset.lineTo(21.5, 7.5);
    handset.cubicTo(18, 6, 14, 6, 10.5, 7.5);
    handset.lineTo(9.5, 10.5);
    handset.closeSubpath();
    p.drawPath(handset);
    // The dial.
    p.setBrush(QColor(0x80, 0x80, 0x00));
    p.drawEllipse(QRectF(13.5, 12.5, 5, 5));
    return pixmap;
}

QIcon salvexIcon()
{
    QIcon icon;
    for (int size : { 16, 32, 48, 64, 128 })
        icon.addPixmap(salvexPixmap(size));
    return icon;
}
