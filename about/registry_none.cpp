// SPDX-License-Identifier: MIT
#include "registry.h"

namespace {

// This system keeps no registry: no key can be found, so no value can be read.
class MissingRegistry : public Registry
{
public:
    long open(quint32, const QByteArray &, quint32, Handle &handle) override
    {
        handle = 0;
        return 2; // ERROR_FILE_NOT_FOUND
    }

    long queryValue(Handle, const QByteArray &, quint32 &, char *, quint32 &) override
    {
        return 6; // ERROR_INVALID_HANDLE
    }

    void close(Handle) override { }
};

} // namespace

Registry &platformRegistry()
{
    static MissingRegistry registry;
    return registry;
}
