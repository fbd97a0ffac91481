// SPDX-License-Identifier: MIT
// Writes the program's icon at build time: a PNG file for the desktop's icon theme, a
// Windows icon file (.ico) holding several sizes for the executable's resources, or a
// picture for the installer's pages with the icon on white.
//   salvex_exporticon SIZE FILE.png
//   salvex_exporticon SIZE,SIZE,... FILE.ico
//   salvex_exporticon WIDTHxHEIGHT FILE.bmp
#include "salvexicon.h"

#include <QBuffer>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QtEndian>

namespace {

void put16(QByteArray &out, quint16 value)
{
    char bytes[2];
    qToLittleEndian(value, bytes);
    out.append(bytes, 2);
}

void put32(QByteArray &out, quint32 value)
{
    char bytes[4];
    qToLittleEndian(value, bytes);
    out.append(bytes, 4);
}

// The classic form, a 32-bit bottom-up bitmap with its transparency mask: every version of
// Windows and every resource tool reads it. Sizes of 256 are stored as PNG instead, which
// Windows reads since Vista and which keeps the file small.
QByteArray entryImage(int size)
{
    const QImage image = salvexPixmap(size).toImage().convertToFormat(QImage::Format_ARGB32);
    if (size >= 256) {
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        return png;
    }
    const int maskStride = (size + 31) / 32 * 4;
    QByteArray dib;
    put32(dib, 40); // BITMAPINFOHEADER
    put32(dib, quint32(size));
    put32(dib, quint32(size * 2)); // the colour rows and the mask rows
    put16(dib, 1);
    put16(dib, 32);
    put32(dib, 0); // BI_RGB
    put32(dib, quint32(size * size * 4 + maskStride * size));
    for (int i = 0; i < 4; ++i)
        put32(dib, 0);
    // ARGB32 lies in memory as B, G, R, A on a little-endian machine: the bitmap's order.
    for (int y = size - 1; y >= 0; --y) {
        const QRgb *row = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < size; ++x)
            put32(dib, row[x]);
    }
    for (int y = size - 1; y >= 0; --y) {
        QByteArray mask(maskStride, '\0');
        for (int x = 0; x < size; ++x) {
            if (qAlpha(image.pixel(x, y)) == 0)
                mask[x / 8] = char(mask[x / 8] | (0x80 >> (x % 8)));
        }
        dib.append(mask);
    }
    return dib;
}

bool writeIco(const QList<int> &sizes, const QString &fileName)
{
    QList<QByteArray> images;
    for (int size : sizes)
        images.append(entryImage(size));
    QByteArray out;
    put16(out, 0);
    put16(out, 1); // an icon, not a cursor
    put16(out, quint16(sizes.size()));
    quint32 offset = quint32(6 + 16 * sizes.size());
    for (qsizetype i = 0; i < sizes.size(); ++i) {
        const int size = sizes.at(i);
        out.append(char(size >= 256 ? 0 : size)); // 0 means 256
        out.append(char(size >= 256 ? 0 : size));
        out.append(char(0)); // no palette
        out.append(char(0));
        put16(out, 1); // planes
        put16(out, 32); // bits per pixel
        put32(out, quint32(images.at(i).size()));
        put32(out, offset);
        offset += quint32(images.at(i).size());
    }
    for (const QByteArray &image : images)
        out.append(image);
    QFile file(fileName);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(out) == out.size();
}

// A tall picture (the installer's welcome and finish pages) carries a large icon near its
// top; a wide one (the header of the other pages) a small one at its right.
bool writePicture(const QSize &size, const QString &fileName)
{
    QImage picture(size, QImage::Format_RGB32);
    picture.fill(Qt::white);
    const bool tall = size.height() > size.width();
    const int side = tall ? size.width() * 3 / 4 : size.height() * 6 / 7;
    const QPoint at = tall
        ? QPoint((size.width() - side) / 2, size.height() / 8)
        : QPoint(size.width() - side - (size.height() - side) / 2, (size.height() - side) / 2);
    QPainter painter(&picture);
    painter.drawPixmap(at, salvexPixmap(side));
    painter.end();
    return picture.save(fileName, "BMP");
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3)
        return 2;
    if (args[2].endsWith(QLatin1String(".bmp"))) {
        const QStringList size = args[1].split(QLatin1Char('x'));
        const int width = size.value(0).toInt();
        const int height = size.value(1).toInt();
        if (size.size() != 2 || width < 1 || height < 1)
            return 2;
        return writePicture(QSize(width, height), args[2]) ? 0 : 1;
    }
    if (args[2].endsWith(QLatin1String(".ico"))) {
        QList<int> sizes;
        for (const QString &size : args[1].split(QLatin1Char(','))) {
            const int value = size.toInt();
            if (value < 1 || value > 256)
                return 2;
            sizes.append(value);
        }
        return writeIco(sizes, args[2]) ? 0 : 1;
    }
    return salvexPixmap(args[1].toInt()).save(args[2], "PNG") ? 0 : 1;
}
