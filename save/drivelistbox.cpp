// SPDX-License-Identifier: MIT
#include "drivelistbox.h"
#include "textfilewriter.h"

#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>

#include <algorithm>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#include <winnetwk.h>

#include <string>
#endif

namespace {

bool holds(const QString &folder, const QString &path)
{
#ifdef Q_OS_WIN
    const Qt::CaseSensitivity cs = Qt::CaseInsensitive;
#else
    const Qt::CaseSensitivity cs = Qt::CaseSensitive;
#endif
    const QString root = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
    return path.compare(folder, cs) == 0 || path.startsWith(root, cs);
}

#ifdef Q_OS_WIN
// A network drive is named after its share, as the system remembers it: asking the share
// itself could keep the list waiting on a server that is gone.
QString driveLabel(const QString &root)
{
    const std::wstring native = QDir::toNativeSeparators(root).toStdWString();
    if (GetDriveTypeW(native.c_str()) != DRIVE_REMOTE)
        return QStorageInfo(root).name();
    wchar_t share[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    const DWORD result = WNetGetConnectionW(native.substr(0, 2).c_str(), share, &size);
    // One that is not connected now is still named, when it is a remembered connection.
    return result == NO_ERROR || result == ERROR_CONNECTION_UNAVAIL ? QString::fromWCharArray(share)
                                                                    : QString();
}
#endif

} // namespace

DriveListBox::DriveListBox(QWidget *parent) : QComboBox(parent)
{
    setEditable(false);
#ifdef Q_OS_WIN
    for (const QFileInfo &drive : QDir::drives()) {
        const QString root = drive.absolutePath();
        const QString label = driveLabel(root);
        QString text = root.left(2).toLower();
        if (!label.isEmpty())
            text += QStringLiteral(" [%1]").arg(label);
        addDrive(text, root);
    }
#else
    // Volumes that are not ready, and mount points that are not folders, are left out.
    QList<std::pair<QString, QString>> volumes { { QStringLiteral("/"), QString() },
        { QDir::homePath(), QString() } };
    for (const QStorageInfo &volume : QStorageInfo::mountedVolumes()) {
        const QString root = volume.rootPath();
        const bool known = std::any_of(
            volumes.cbegin(), volumes.cend(), [&](const auto &v) { return v.first == root; });
        if (volume.isValid() && volume.isReady() && QFileInfo(root).isDir() && !known)
            volumes.append({ root, volume.name() });
    }
    std::sort(volumes.begin(), volumes.end(), [](const auto &a, const auto &b) {
        return a.first.compare(b.first, Qt::CaseInsensitive) < 0;
    });
    for (const auto &[root, label] : std::as_const(volumes))
        addDrive(label.isEmpty() ? root : QStringLiteral("%1 [%2]").arg(root, label), root);
#endif

    // The innermost volume that holds the current folder.
    const QString current = QDir::currentPath();
    int best = -1;
    for (int i = 0; i < count(); ++i) {
        const QString root = itemData(i).toString();
        if (holds(root, current) && (best < 0 || root.size() > itemData(best).toString().size()))
            best = i;
    }
    setCurrentIndex(qMax(best, 0));
}

QString DriveListBox::Drive() const
{
    return currentText();
}

QString DriveListBox::folder() const
{
    const QString root = currentData().toString();
    const QFileInfo info(root);
    if (root.isEmpty() || !info.isDir() || !info.isReadable())
        throw Failure { TextFileWriter::DeviceUnavailable,
            QStringLiteral("El dispositivo no está disponible") };
#ifdef Q_OS_WIN
    // "D:" alone names the current folder of drive D; one that went away leaves the root.
    const std::wstring drive = QDir::toNativeSeparators(root).left(2).toStdWString();
    wchar_t path[MAX_PATH];
    const DWORD length = GetFullPathNameW(drive.c_str(), MAX_PATH, path, nullptr);
    if (length > 0 && length < MAX_PATH) {
        const QString current = QDir::fromNativeSeparators(QString::fromWCharArray(path, length));
        if (QFileInfo(current).isDir())
            return current;
    }
#endif
    return root;
}

void DriveListBox::addDrive(const QString &text, const QString &folder)
{
    addItem(text, QDir(folder).absolutePath());
}
