// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QString>

// Bytes and text in the system's 8-bit code page: Windows-1252 on a Spanish PC, and on
// Linux too, since the files go to Windows PCs. Each of the 256 byte values is one
// character and comes back as the same byte, the five that Windows-1252 leaves undefined
// included (they keep the C1 control of the same code, as Windows itself maps them).
namespace CodePage {

QString toText(const QByteArray &bytes);
// A character the code page lacks becomes one "?", also when it takes two code units.
QByteArray toBytes(QStringView text);

} // namespace CodePage
