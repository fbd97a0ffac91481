// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QString>

// Every byte value, 0x00 to 0xFF in order, and the text Windows-1252 makes of them, written
// out rather than computed: "€" for 0x80, the table's letters, and the five bytes it leaves
// undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) keeping their own codes.
inline QByteArray everyByte()
{
    QByteArray bytes;
    for (int i = 0; i < 256; ++i)
        bytes.append(char(i));
    return bytes;
}

inline QString everyByteAsText()
{
    return QStringLiteral(
        u"\u0000\u0001\u0002\u0003\u0004\u0005\u0006\u0007\u0008\u0009\u000A\u000B\u000C\u000D"
        u"\u000E\u000F\u0010\u0011\u0012\u0013\u0014\u0015\u0016\u0017\u0018\u0019\u001A\u001B"
        u"\u001C\u001D\u001E\u001F"
        u" !\"#$%&'()*+,-./0123456789:;<=>?"
        u"@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_"
        u"`abcdefghijklmnopqrstuvwxyz{|}~\u007F"
        u"€\u0081‚ƒ„…†‡ˆ‰Š‹Œ\u008DŽ\u008F\u0090‘’“”•–—˜™š›œ\u009DžŸ"
        u"\u00A0¡¢£¤¥¦§¨©ª«¬\u00AD®¯°±²³´µ¶·¸¹º»¼½¾¿"
        u"ÀÁÂÃÄÅÆÇÈÉÊËÌÍÎÏÐÑÒÓÔÕÖ×ØÙÚÛÜÝÞß"
        u"àáâãäåæçèéêëìíîïðñòóôõö÷øùúûüýþÿ");
}
