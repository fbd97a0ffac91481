// SPDX-License-Identifier: MIT
#include "frmabout.h"
#include "registry.h"
#include "scripteddialogs.h"
#include "twips.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFontMetrics>
#include <QLabel>
#include <QMap>
#include <QPointer>
#include <QPushButton>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QTextLayout>

#include <QScopeGuard>

#include <cstring>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#include <string>
#endif

namespace {

const QByteArray ToolKey = "SOFTWARE\\Microsoft\\Shared Tools\\MSINFO";
const QByteArray FolderKey = "SOFTWARE\\Microsoft\\Shared Tools Location";
const QString Unavailable = QStringLiteral("System Information Is Unavailable At This Time");
constexpr quint32 KeyQueryValue = 0x1;
// Set value, create subkey, create link, and the standard write rights.
constexpr quint32 KeyWriteRights = 0x2 | 0x4 | 0x20 | 0x10000 | 0x40000 | 0x80000;

// The Windows registry, kept in memory: keys by path, values by name, and a record of every
// call the dialog makes.
class MemoryRegistry : public Registry
{
public:
    struct Value
    {
        quint32 type = 1;
        QByteArray data;
    };
    struct Key
    {
        QMap<QByteArray, Value> values;
        bool writable = true;
    };

    QMap<QByteArray, Key> keys;
    QList<QByteArray> opened;
    QList<Handle> closed;
    QSet<Handle> openHandles;
    bool everyQueryGotCleanBuffer = true;

    void set(const QByteArray &key, const QByteArray &name, quint32 type, const QByteArray &data)
    {
        keys[key].values[name] = { type, data };
    }

    long open(quint32 root, const QByteArray &keyPath, quint32 access, Handle &handle) override
    {
        opened.append(keyPath);
        handle = 0;
        const auto key = keys.constFind(keyPath);
        if (root != 0x80000002 || !(access & KeyQueryValue) || key == keys.constEnd())
            return 2;
        if (!key->writable && (access & KeyWriteRights))
            return 5; // access denied, as to an ordinary account asking to write
        handle = Handle(100 + opened.size());
        m_paths[handle] = keyPath;
        openHandles.insert(handle);
        return 0;
    }

    long queryValue(Handle handle, const QByteArray &valueName, quint32 &type, char *buffer,
        quint32 &size) override
    {
        everyQueryGotCleanBuffer = everyQueryGotCleanBuffer && size == 1024
            && QByteArray(buffer, size) == QByteArray(1024, '\0');
        if (!openHandles.contains(handle))
            return 6;
        const Key &key = keys[m_paths[handle]];
        if (!key.values.contains(valueName))
            return 2;
        const Value &value = key.values[valueName];
        if (quint32(value.data.size()) > size)
            return 234; // more data
        std::memcpy(buffer, value.data.constData(), value.data.size());
        type = value.type;
        size = quint32(value.data.size());
        return 0;
    }

    void close(Handle handle) override
    {
        closed.append(handle);
        openHandles.remove(handle);
    }

private:
    QMap<Handle, QByteArray> m_paths;
};

// A dialog over the memory registry, recording every program it starts.
struct Launcher
{
    QWidget owner;
    MemoryRegistry registry;
    ScriptedDialogs boxes;
    QStringList started;
    frmAbout *about = new frmAbout(&owner);

    explicit Launcher(bool startSucceeds = true)
    {
        about->setRegistry(registry);
        about->setProgramStarter([this, startSucceeds](const QString &path) {
            started.append(path);
            return startSucceeds;
        });
    }

    void useRealStart() { about->setProgramStarter(&frmAbout::startProgram); }

    void press()
    {
        about->cmdSysInfo->click();
        // Every key opened is closed, failed openings included.
        QCOMPARE(registry.closed.size(), registry.opened.size());
        QVERIFY(registry.openHandles.isEmpty());
        QVERIFY(registry.everyQueryGotCleanBuffer);
    }
};

// A program that leaves the file "ran" beside itself when started, as dir/MSINFO32.EXE.
bool placeTool(const QTemporaryDir &dir)
{
    const QString path = dir.filePath(QStringLiteral("MSINFO32.EXE"));
#ifdef Q_OS_WIN
    return QFile::copy(QStringLiteral(SALVEX_FAKE_MSINFO), path);
#else
    QFile tool(path);
    if (!tool.open(QIODevice::WriteOnly))
        return false;
    tool.write("#!/bin/sh\ncd \"$(dirname \"$0\")\" && echo ran > ran\n");
    tool.close();
    return tool.setPermissions(tool.permissions() | QFile::ExeOwner);
#endif
}

QString folderIn(const QTemporaryDir &dir, bool withProgram)
{
    if (withProgram) {
        QFile program(dir.filePath(QStringLiteral("MSINFO32.EXE")));
        program.open(QIODevice::WriteOnly);
    }
    return dir.path();
}

} // namespace

class TestAbout : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { useProgramLook(); }

    void showsTitleVersionAndFixedTexts()
    {
        QWidget owner;
        frmAbout about(&owner);
        QCOMPARE(about.windowTitle(), QStringLiteral("Salvex by Brel"));
        QCOMPARE(about.lblTitle->text(), QStringLiteral("SALVEX"));
        QCOMPARE(about.lblVersion->text(), QStringLiteral("Version 1.0.0"));
        QCOMPARE(about.lblDescription->text(),
            QStringLiteral("App Description") + QString(73, ' ')
                + QStringLiteral("Terminal recepctor rs232 datos recaudaciones de maquinas "
                                 "recreativas fabricante Tarvo")
                + QString(8, ' '));
        QCOMPARE(about.lblDisclaimer->text(),
            QStringLiteral("Warning: ...   No me hago responsable de los daños que tanto el "
                           "terminal como este programa pudieran causar......."));
        QCOMPARE(about.cmdSysInfo->text(), QStringLiteral("&System Info..."));
        QVERIFY(about.cmdOK->isDefault());
        QCOMPARE(about.size(), QSize(391, 235));
        QCOMPARE(about.minimumSize(), about.maximumSize());
        QVERIFY(
            !(about.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
        QCOMPARE(about.picIcon->pixmap().size(), QSize(32, 32));
        QCOMPARE(about.picIcon->accessibleName(), QStringLiteral("Icono"));
    }

    void everyLabelShowsItsWholeText()
    {
        QWidget owner;
        frmAbout about(&owner);
        for (QLabel *label :
            { about.lblTitle, about.lblVersion, about.lblDescription, about.lblDisclaimer }) {
            const QRect needed
                = QFontMetrics(label->font())
                      .boundingRect(label->contentsRect(),
                          Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, label->text());
            QVERIFY2(needed.height() <= label->contentsRect().height(),
                qPrintable(QStringLiteral("%1: %2 px needed, %3 px there, in %4 %5 px")
                               .arg(label->text())
                               .arg(needed.height())
                               .arg(label->contentsRect().height())
                               .arg(QFontInfo(label->font()).family())
                               .arg(QFontInfo(label->font()).pixelSize())));
        }
        // The run of spaces carries the second text onto a line of its own.
        QTextLayout layout(about.lblDescription->text(), about.lblDescription->font());
        QTextOption wrap;
        wrap.setWrapMode(QTextOption::WordWrap);
        layout.setTextOption(wrap);
        layout.beginLayout();
        layout.createLine().setLineWidth(about.lblDescription->contentsRect().width());
        QTextLine second = layout.createLine();
        second.setLineWidth(about.lblDescription->contentsRect().width());
        layout.endLayout();
        QVERIFY(about.lblDescription->text().mid(second.textStart()).startsWith("Terminal "));
    }

    void tabOrderAndKeysFollowTheButtons()
    {
        Launcher launcher;
        frmAbout *about = launcher.about;
        QCOMPARE(about->cmdOK->nextInFocusChain(), about->cmdSysInfo);
        QCOMPARE(about->cmdSysInfo->nextInFocusChain(), about->picIcon);
        about->show();
        QVERIFY(QTest::qWaitForWindowActive(about));
        QCOMPARE(QApplication::focusWidget(), about->cmdOK);

        // Enter on "System Info..." presses it, not OK.
        about->cmdSysInfo->setFocus();
        QTest::keyClick(about->cmdSysInfo, Qt::Key_Return);
        QCOMPARE(launcher.boxes.prompts(), QStringList { Unavailable });
        QVERIFY(about->isVisible());

        // Elsewhere Enter presses OK.
        QPointer<frmAbout> alive(about);
        about->picIcon->setFocus();
        QTest::keyClick(about->picIcon, Qt::Key_Return);
        QTRY_VERIFY(alive.isNull());
    }

    void textValueOfTheToolKeyIsStartedWithoutMessage()
    {
        Launcher launcher;
        launcher.registry.set(ToolKey, "PATH", 1, "C:\\WINDOWS\\system32\\msinfo32.exe");
        launcher.about->show();
        launcher.press();
        QCOMPARE(launcher.started, QStringList { "C:\\WINDOWS\\system32\\msinfo32.exe" });
        QVERIFY(launcher.boxes.boxes.isEmpty());
        QCOMPARE(launcher.registry.opened, QList<QByteArray> { ToolKey });
        QVERIFY(launcher.about->isVisible());
    }

    void numberValueGivesEachByteWithoutLeadingZeros_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("path");
        QTest::newRow("0x1234") << QByteArray("\x34\x12\0\0", 4) << "4660";
        QTest::newRow("261") << QByteArray("\x05\x01\0\0", 4) << "21";
        QTest::newRow("all bits set reads positive")
            << QByteArray("\xFF\xFF\xFF\xFF", 4) << "4294967295";
    }

    void numberValueGivesEachByteWithoutLeadingZeros()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, path);
        Launcher launcher;
        launcher.registry.set(ToolKey, "PATH", 4, bytes);
        launcher.press();
        QCOMPARE(launcher.started, QStringList { path });
    }

    void valueOfAnotherTypeCountsAsFoundAndLeavesThePathEmpty()
    {
        QTemporaryDir dir;
        Launcher launcher;
        launcher.useRealStart();
        launcher.registry.set(ToolKey, "PATH", 2, "%SystemRoot%\\system32\\msinfo32.exe");
        launcher.registry.set(FolderKey, "MSINFO", 1, folderIn(dir, true).toUtf8());
        launcher.press();
        QCOMPARE(launcher.boxes.prompts(), QStringList { Unavailable });
        QCOMPARE(launcher.registry.opened, QList<QByteArray> { ToolKey });
    }

    void missingToolFileShowsMessageWithoutAskingForTheFolder()
    {
        QTemporaryDir dir;
        Launcher launcher;
        launcher.useRealStart();
        launcher.registry.set(ToolKey, "PATH", 1, dir.filePath("missing.exe").toUtf8());
        launcher.registry.set(FolderKey, "MSINFO", 1, folderIn(dir, true).toUtf8());
        launcher.press();
        QCOMPARE(launcher.boxes.boxes.size(), 1);
        QCOMPARE(launcher.boxes.boxes[0].prompt, Unavailable);
        QCOMPARE(launcher.boxes.boxes[0].buttons, 0);
        QCOMPARE(launcher.boxes.boxes[0].title, QStringLiteral("SALVEX"));
        QCOMPARE(launcher.registry.opened, QList<QByteArray> { ToolKey });
    }

    void missingKeysShowTheMessage()
    {
        Launcher launcher;
        launcher.press();
        QCOMPARE(launcher.boxes.prompts(), QStringList { Unavailable });
        QVERIFY(launcher.started.isEmpty());
        QCOMPARE(launcher.registry.opened, (QList<QByteArray> { ToolKey, FolderKey }));
        QCOMPARE(launcher.registry.closed, (QList<Registry::Handle> { 0, 0 }));
    }

    void keysAnOrdinaryAccountMayOnlyReadStillFindTheTool()
    {
        Launcher launcher;
        launcher.registry.set(ToolKey, "PATH", 1, "C:\\msinfo32.exe");
        launcher.registry.keys[ToolKey].writable = false;
        launcher.press();
        QVERIFY(launcher.boxes.boxes.isEmpty());
        QCOMPARE(launcher.started, QStringList { QStringLiteral("C:\\msinfo32.exe") });
    }

    void folderOfTheSecondKeyIsSearchedForTheTool_data()
    {
        QTest::addColumn<bool>("withProgram");
        QTest::addColumn<QString>("ending");
        QTest::newRow("with the tool") << true << "";
        QTest::newRow("with the tool, ending in a backslash") << true << "\\";
        QTest::newRow("without the tool") << false << "";
        QTest::newRow("without the tool, ending in a backslash") << false << "\\";
    }

    void folderOfTheSecondKeyIsSearchedForTheTool()
    {
        QFETCH(bool, withProgram);
        QFETCH(QString, ending);
        QTemporaryDir dir;
        Launcher launcher;
        const QString folder = folderIn(dir, withProgram) + ending;
        launcher.registry.set(FolderKey, "MSINFO", 1, folder.toUtf8());
        launcher.press();
        if (withProgram) {
            QCOMPARE(launcher.started, QStringList { folder + "\\MSINFO32.EXE" });
            QVERIFY(launcher.boxes.boxes.isEmpty());
        } else {
            QVERIFY(launcher.started.isEmpty());
            QCOMPARE(launcher.boxes.prompts(), QStringList { Unavailable });
        }
    }

    void folderNamedLikeTheToolDoesNotCount()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("MSINFO32.EXE")));
        Launcher launcher;
        launcher.registry.set(FolderKey, "MSINFO", 1, dir.path().toUtf8());
        launcher.press();
        QVERIFY(launcher.started.isEmpty());
        QCOMPARE(launcher.boxes.prompts(), QStringList { Unavailable });
    }

    void toolFoundInTheFolderReallyRuns()
    {
        QTemporaryDir dir;
        const QString marker = dir.filePath(QStringLiteral("ran"));
        QVERIFY(placeTool(dir));
        Launcher launcher;
        launcher.useRealStart();
        launcher.registry.set(FolderKey, "MSINFO", 1, (dir.path() + "\\").toUtf8());
        launcher.press();
        QVERIFY(launcher.boxes.boxes.isEmpty());
        QTRY_VERIFY(QFile::exists(marker));
    }

    void valueTooLongForTheBufferCountsAsMissing()
    {
        QTemporaryDir dir;
        Launcher launcher;
        launcher.registry.set(ToolKey, "PATH", 1, QByteArray(1500, 'A'));
        const QString folder = folderIn(dir, true);
        launcher.registry.set(FolderKey, "MSINFO", 1, folder.toUtf8());
        launcher.press();
        QCOMPARE(launcher.started, QStringList { folder + "\\MSINFO32.EXE" });
    }

    void fullBufferWithoutNulGoesStraightToTheMessage()
    {
        QTemporaryDir dir;
        Launcher launcher;
        launcher.registry.set(ToolKey, "PATH", 1, QByteArray(1024, 'A'));
        launcher.registry.set(FolderKey, "MSINFO", 1, folderIn(dir, true).toUtf8());
        launcher.press();
        QVERIFY(launcher.started.isEmpty());
        QCOMPARE(launcher.boxes.prompts(), QStringList { Unavailable });
        QCOMPARE(launcher.registry.opened, QList<QByteArray> { ToolKey });
    }

#ifdef Q_OS_WIN
    // The machine's own registry: the tool's key is written as an installer would, then
    // the dialog finds and starts it with the rights of an ordinary lookup.
    void theSystemRegistryLeadsToTheTool()
    {
        QTemporaryDir dir;
        QVERIFY(placeTool(dir));
        const QString tool = QDir::toNativeSeparators(dir.filePath(QStringLiteral("MSINFO32.EXE")));
        HKEY key = nullptr;
        DWORD created = 0;
        QCOMPARE(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Shared Tools\\MSINFO",
                     0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, &created),
            LONG(ERROR_SUCCESS));
        const std::wstring path = tool.toStdWString();
        RegSetValueExW(key, L"PATH", 0, REG_SZ, reinterpret_cast<const BYTE *>(path.c_str()),
            DWORD((path.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
        const auto restore = qScopeGuard([created] {
            if (created == REG_CREATED_NEW_KEY)
                RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Shared Tools\\MSINFO");
        });

        ScriptedDialogs boxes;
        QWidget owner;
        frmAbout about(&owner);
        about.cmdSysInfo->click();
        QVERIFY2(boxes.boxes.isEmpty(), qPrintable(boxes.prompts().join(QLatin1Char('|'))));
        QTRY_VERIFY(QFile::exists(dir.filePath(QStringLiteral("ran"))));
    }
#else
    void withoutARegistryTheToolIsUnavailable()
    {
        ScriptedDialogs boxes;
        QWidget owner;
        frmAbout about(&owner);
        about.cmdSysInfo->click();
        QCOMPARE(boxes.prompts(), QStringList { Unavailable });
    }
#endif
};

QTEST_MAIN(TestAbout)
#include "tst_about.moc"
