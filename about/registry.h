// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QtGlobal>

// The few registry calls the about dialog makes, in their 8-bit forms: results are the
// system's error codes, 0 for success. Tests put a registry of their own in its place.
class Registry
{
public:
    using Handle = quintptr;

    virtual ~Registry() = default;

    // Opens keyPath under a predefined root (HKEY_LOCAL_MACHINE is 0x80000002). On failure
    // the handle is left empty.
    virtual long open(quint32 root, const QByteArray &keyPath, quint32 access, Handle &handle) = 0;
    // Reads the value into buffer, whose size in bytes is given in size; on return size holds
    // the length of the data. Data longer than the buffer is a failure.
    virtual long queryValue(
        Handle handle, const QByteArray &valueName, quint32 &type, char *buffer, quint32 &size)
        = 0;
    virtual void close(Handle handle) = 0;
};

// The registry of the system the program runs on. Where there is none, every opening fails.
Registry &platformRegistry();
