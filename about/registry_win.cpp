// SPDX-License-Identifier: MIT
#include "registry.h"

#include <windows.h>

namespace {

class WindowsRegistry : public Registry
{
public:
    long open(quint32 root, const QByteArray &keyPath, quint32 access, Handle &handle) override
    {
        // The predefined roots are 32-bit values, sign-extended into a handle.
        const auto rootKey
            = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(root)));
        HKEY key = nullptr;
        const LONG result = RegOpenKeyExA(rootKey, keyPath.constData(), 0, access, &key);
        handle = result == ERROR_SUCCESS ? reinterpret_cast<Handle>(key) : 0;
        return result;
    }

    long queryValue(Handle handle, const QByteArray &valueName, quint32 &type, char *buffer,
        quint32 &size) override
    {
        DWORD valueType = 0;
        DWORD length = size;
        const LONG result = RegQueryValueExA(reinterpret_cast<HKEY>(handle), valueName.constData(),
            nullptr, &valueType, reinterpret_cast<BYTE *>(buffer), &length);
        type = valueType;
        size = length;
        return result;
    }

    void close(Handle handle) override { RegCloseKey(reinterpret_cast<HKEY>(handle)); }
};

} // namespace

Registry &platformRegistry()
{
    static WindowsRegistry registry;
    return registry;
}
