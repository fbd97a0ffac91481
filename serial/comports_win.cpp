// SPDX-License-Identifier: MIT
#include "comports.h"

#include <QHash>

#include <qt_windows.h>
// GUID_DEVCLASS_PORTS is defined here rather than taken from a library.
#include <initguid.h>

#include <devguid.h>
#include <setupapi.h>

namespace {

// A registry key, closed by its owner.
class RegKey
{
public:
    explicit RegKey(HKEY key) : m_key(key) { }
    ~RegKey()
    {
        if (isValid())
            RegCloseKey(m_key);
    }
    RegKey(const RegKey &) = delete;
    RegKey &operator=(const RegKey &) = delete;
    // SetupDiOpenDevRegKey answers INVALID_HANDLE_VALUE, RegOpenKeyExW leaves it null.
    bool isValid() const { return m_key && m_key != HKEY(INVALID_HANDLE_VALUE); }
    HKEY get() const { return m_key; }

private:
    HKEY m_key;
};

// The list of devices of one class, destroyed by its owner.
class DeviceList
{
public:
    explicit DeviceList(HDEVINFO list) : m_list(list) { }
    ~DeviceList()
    {
        if (isValid())
            SetupDiDestroyDeviceInfoList(m_list);
    }
    DeviceList(const DeviceList &) = delete;
    DeviceList &operator=(const DeviceList &) = delete;
    bool isValid() const { return m_list != INVALID_HANDLE_VALUE; }
    HDEVINFO get() const { return m_list; }

private:
    HDEVINFO m_list;
};

// Registry text is not always ended by a null; anything after the first one is dropped.
QString fromRegistry(const wchar_t *text, DWORD bytes)
{
    const QString value = QString::fromWCharArray(text, int(bytes / sizeof(wchar_t)));
    return value.left(value.indexOf(QChar::Null));
}

// Device Manager's names of the ports installed and present ("USB-SERIAL CH340 (COM8)"), by
// their COM name in capitals.
QHash<QString, QString> friendlyNames()
{
    QHash<QString, QString> names;
    const DeviceList devices(
        SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT));
    if (!devices.isValid())
        return names;
    SP_DEVINFO_DATA device {};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(devices.get(), i, &device); ++i) {
        const RegKey key(SetupDiOpenDevRegKey(
            devices.get(), &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE));
        wchar_t port[64] = {};
        DWORD type = 0;
        DWORD size = sizeof port;
        if (!key.isValid()
            || RegQueryValueExW(
                   key.get(), L"PortName", nullptr, &type, reinterpret_cast<BYTE *>(port), &size)
                != ERROR_SUCCESS
            || type != REG_SZ)
            continue;
        wchar_t name[256] = {};
        DWORD nameSize = 0;
        if (!SetupDiGetDeviceRegistryPropertyW(devices.get(), &device, SPDRP_FRIENDLYNAME, &type,
                reinterpret_cast<BYTE *>(name), sizeof name, &nameSize))
            continue;
        names.insert(fromRegistry(port, size).toUpper(), fromRegistry(name, nameSize));
    }
    return names;
}

// A port switched off stays in the list with no device behind its name.
bool answers(const QString &com)
{
    wchar_t target[512];
    return QueryDosDeviceW(reinterpret_cast<const wchar_t *>(com.utf16()), target, 512) != 0
        || GetLastError() == ERROR_INSUFFICIENT_BUFFER;
}

} // namespace

QList<PresentPort> systemPorts()
{
    HKEY opened = nullptr;
    if (RegOpenKeyExW(
            HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE, &opened)
        != ERROR_SUCCESS)
        return {};
    const RegKey serialComm(opened);
    const QHash<QString, QString> names = friendlyNames();
    QList<PresentPort> ports;
    for (DWORD i = 0;; ++i) {
        // The value is the driver's device, its data the COM name.
        wchar_t driver[256];
        DWORD driverLength = 256;
        wchar_t com[64];
        DWORD comSize = sizeof com;
        DWORD type = 0;
        const LONG result = RegEnumValueW(serialComm.get(), i, driver, &driverLength, nullptr,
            &type, reinterpret_cast<BYTE *>(com), &comSize);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS || type != REG_SZ)
            continue;
        const QString name = fromRegistry(com, comSize);
        const QString device = QString::fromWCharArray(driver, int(driverLength));
        if (name.isEmpty() || !answers(name))
            continue;
        ports.append({ name, names.value(name.toUpper(), device), device });
    }
    return ports;
}

PresentPort entryPort(int port, const QList<PresentPort> &present, const QString &chosen)
{
    return windowsComPort(port, present, chosen);
}

QList<PresentPort> entryPorts(const QList<PresentPort> &present)
{
    // Every port present is reached by one of the four entries when one of them has none.
    QList<PresentPort> entries;
    for (int entry = 1; entry <= 4; ++entry)
        entries.append(windowsComPort(entry, present, QString()));
    return entries;
}

QString noPortPresent(int port)
{
    return QStringLiteral("no hay ningún puerto serie presente (conecte un adaptador serie USB, "
                          "o indique el puerto en SALVEX_COM%1)")
        .arg(port);
}
