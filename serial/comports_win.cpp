// SPDX-License-Identifier: MIT
#include "comports.h"

#include <QHash>

#include <qt_windows.h>
// GUID_DEVCLASS_PORTS is defined here rather than taken from a library.
#include <initguid.h>

#include <cfgmgr32.h>
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

// Registry text of a device's key, or nothing.
QString keyText(const RegKey &key, const wchar_t *value)
{
    wchar_t text[256] = {};
    DWORD type = 0;
    DWORD size = sizeof text - sizeof(wchar_t);
    if (!key.isValid()
        || RegQueryValueExW(key.get(), value, nullptr, &type, reinterpret_cast<BYTE *>(text), &size)
            != ERROR_SUCCESS
        || type != REG_SZ)
        return {};
    return fromRegistry(text, size);
}

QString deviceText(HDEVINFO devices, SP_DEVINFO_DATA *device, DWORD property)
{
    wchar_t text[256] = {};
    DWORD type = 0;
    DWORD size = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(devices, device, property, &type,
            reinterpret_cast<BYTE *>(text), sizeof text - sizeof(wchar_t), &size))
        return {};
    return fromRegistry(text, size);
}

// Whether the device hangs from a Bluetooth radio or is named for one. Other makers' stacks
// (Broadcom, Toshiba, BlueSoleil) enumerate their ports their own way, but under their radio
// or with "Bluetooth" in the name.
bool onBluetooth(DEVINST node, const QString &name)
{
    if (name.contains(QLatin1String("bluetooth"), Qt::CaseInsensitive))
        return true;
    for (int depth = 0; depth < 8; ++depth) {
        wchar_t id[MAX_DEVICE_ID_LEN] = {};
        GUID kind {};
        ULONG size = sizeof kind;
        if (CM_Get_Device_IDW(node, id, MAX_DEVICE_ID_LEN, 0) == CR_SUCCESS
            && QString::fromWCharArray(id).startsWith(QLatin1String("BTH"), Qt::CaseInsensitive))
            return true;
        if (CM_Get_DevNode_Registry_PropertyW(
                node, CM_DRP_CLASSGUID, nullptr, &kind, &size, 0) == CR_SUCCESS
            && IsEqualGUID(kind, GUID_DEVCLASS_BLUETOOTH))
            return true;
        if (CM_Get_Parent(&node, node, 0) != CR_SUCCESS)
            break;
    }
    return false;
}

struct PortName
{
    QString friendly;
    bool bluetooth = false;
};

// Device Manager's names of the devices that hold a COM name ("USB-SERIAL CH340 (COM8)"), by
// that name in capitals. Not only the Ports class: com0com's pairs and the modem-class USB
// adapters keep theirs elsewhere.
QHash<QString, PortName> friendlyNames()
{
    QHash<QString, PortName> names;
    const DeviceList devices(
        SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT));
    if (!devices.isValid())
        return names;
    SP_DEVINFO_DATA device {};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(devices.get(), i, &device); ++i) {
        QString port = keyText(RegKey(SetupDiOpenDevRegKey(devices.get(), &device,
                                   DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE)),
            L"PortName");
        // A modem tells its port in its driver's key.
        if (port.isEmpty())
            port = keyText(RegKey(SetupDiOpenDevRegKey(devices.get(), &device, DICS_FLAG_GLOBAL,
                               0, DIREG_DRV, KEY_QUERY_VALUE)),
                L"AttachedTo");
        if (port.isEmpty())
            continue;
        QString name = deviceText(devices.get(), &device, SPDRP_FRIENDLYNAME);
        if (name.isEmpty())
            name = deviceText(devices.get(), &device, SPDRP_DEVICEDESC);
        names.insert(port.toUpper(), { name, onBluetooth(device.DevInst, name) });
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
    const QHash<QString, PortName> names = friendlyNames();
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
        const PortName known = names.value(name.toUpper());
        PresentPort port { name, known.friendly.isEmpty() ? device : known.friendly, device };
        port.bluetooth = known.bluetooth;
        ports.append(port);
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

// Windows gives each adapter the same COM number every time: nothing to add.
QString keepingHint(int, const QString &)
{
    return {};
}
