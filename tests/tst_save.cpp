// SPDX-License-Identifier: MIT
#include "dirlistbox.h"
#include "drivelistbox.h"
#include "failure.h"
#include "form1.h"
#include "form2.h"
#include "ptypair.h"
#include "scripteddialogs.h"
#include "textfilewriter.h"
#include "textorecibido.h"
#include "twips.h"
#include "windows1252.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QPushButton>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <atomic>
#include <functional>
#include <thread>

#ifdef Q_OS_WIN
#include "textfilewriter_win.h"

#include <qt_windows.h>
#else
#include <fcntl.h>
#include <sys/fsuid.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const QString confirmation = QStringLiteral("Verifique su correcta grabación, gracias");
const QString question = QStringLiteral("El fichero existe,desea reemplazarlo");
const QString reportTitle = QStringLiteral("En Command1_Click");

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<sin fichero>");
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

// The dialog opened on a fresh folder, saving whatever `text` holds.
struct Saving
{
    QTemporaryDir dir;
    ScriptedDialogs boxes;
    QString text = QStringLiteral("x");
    Form2 form { nullptr, [this] { return text; } };

    Saving() { form.Dir1->setPath(dir.path()); }
    QString path(const QString &name = QStringLiteral("terminal.xls")) const
    {
        return dir.filePath(name);
    }
    // Presses "Aceptar"; the boxes that followed the input box.
    QStringList save()
    {
        boxes.clear();
        form.Command1_Click();
        return boxes.prompts().mid(1);
    }
};

#ifdef Q_OS_WIN
// How Windows fails where Wine does not, played through the writer's system calls.
namespace played {

// Temporary names refused as Windows refuses one whose deletion is still pending: so many, or
// every one (-1).
int refusedNames = 0;
// The old text is handed over short: a few bytes, then the end of the file.
bool shortRead = false;
// ReplaceFileW stops with the old file under the backup name, and moving the new one in
// fails; so does putting the old one back, if `restoreFails`.
bool stepAside = false;
bool restoreFails = false;

const Win32Files calls = {
    [](const wchar_t *path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
        if (disposition == CREATE_NEW && refusedNames != 0) {
            refusedNames -= refusedNames > 0;
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        return TextFile::systemCalls().createFile(path, access, share, disposition, flags);
    },
    [](HANDLE file, void *buffer, DWORD size, DWORD *done) {
        static bool given = false;
        if (shortRead && given) {
            *done = 0;
            return TRUE;
        }
        given = shortRead;
        return TextFile::systemCalls().readFile(file, buffer, shortRead ? 4 : size, done);
    },
    [](const wchar_t *replaced, const wchar_t *replacement, const wchar_t *backup) {
        if (!stepAside)
            return TextFile::systemCalls().replaceFile(replaced, replacement, backup);
        MoveFileExW(replaced, backup, 0);
        SetLastError(ERROR_UNABLE_TO_MOVE_REPLACEMENT_2);
        return FALSE;
    },
    [](const wchar_t *from, const wchar_t *to, DWORD flags) {
        const bool restoring = std::wstring_view(from).ends_with(L"-anterior");
        if (stepAside && (!restoring || restoreFails)) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return FALSE;
        }
        return TextFile::systemCalls().moveFile(from, to, flags);
    },
};

} // namespace played

// The file behind a name: a replacement is another file, a rewriting the same one.
quint64 fileId(const QString &path)
{
    const std::wstring name = native(path).toStdWString();
    HANDLE file = CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
        OPEN_EXISTING, 0, nullptr);
    BY_HANDLE_FILE_INFORMATION info {};
    GetFileInformationByHandle(file, &info);
    CloseHandle(file);
    return quint64(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
}
#endif

} // namespace

// The save dialog against real folders and files: the proposal, the questions, what ends
// up in the file and every failure the operator can meet.
class TestSave : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        // As the program does at start-up.
        TextFileWriter::ignoreBrokenPipes();
        useProgramLook();
    }

    void theProposalIsTheOpenedFolderAndCancelOrEmptyEndsSilently()
    {
        Saving s;
        const QString before = QDir::currentPath();
        s.boxes.inputAnswers = { QString(), QString() };
        QCOMPARE(s.save(), QStringList());
        const ScriptedDialogs::Box box = s.boxes.boxes.value(0);
        QVERIFY(box.input);
        QCOMPARE(box.prompt, native(s.dir.path()));
        QCOMPARE(box.title, QStringLiteral(" Salvex by Brel"));
        QCOMPARE(box.defaultText, native(s.path()));

        // A root already ends with the separator; the doubled one is kept.
        s.form.Dir1->setPath(QDir::rootPath());
        QCOMPARE(s.save(), QStringList());
#ifdef Q_OS_WIN
        const QString separator = QStringLiteral("\\");
#else
        const QString separator = QStringLiteral("/");
#endif
        QCOMPARE(s.boxes.boxes[0].defaultText,
            native(QDir::rootPath()) + separator + QStringLiteral("terminal.xls"));
        QVERIFY(entries(s.dir.path()).isEmpty());
        QCOMPARE(QDir::currentPath(), before);
    }

    void aNewNameIsConfirmedAndAnExistingOneReplacedWholeOnlyOnOk()
    {
        Saving s;
        s.text = QStringLiteral("un contenido anterior mas largo");
        QCOMPARE(s.save(), QStringList { confirmation });
        QCOMPARE(s.boxes.boxes[1].buttons, 0);
        QCOMPARE(s.boxes.boxes[1].title, QStringLiteral("SALVEX"));
        QCOMPARE(contents(s.path()), QByteArray("un contenido anterior mas largo\r\n"));

        s.text = QStringLiteral("B");
        s.boxes.msgAnswers = { vbCancel };
        QCOMPARE(s.save(), QStringList { question });
        QCOMPARE(s.boxes.boxes[1].buttons, 1);
        QCOMPARE(contents(s.path()), QByteArray("un contenido anterior mas largo\r\n"));

        QCOMPARE(s.save(), (QStringList { question, confirmation }));
        QCOMPARE(contents(s.path()), QByteArray("B\r\n"));
    }

    void theFileHoldsEachCharacterAsOneByteThenCrLf_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("two lines") << QStringLiteral("A\r\nB") << QByteArray("A\r\nB\r\n");
        QTest::newRow("empty") << QString() << QByteArray("\r\n");
        QTest::newRow("lone CR and LF") << QStringLiteral("a\rb\nc") << QByteArray("a\rb\nc\r\n");
        // The Windows-1252 table, its five undefined bytes included.
        QTest::newRow("every byte value") << everyByteAsText() << everyByte() + "\r\n";
        QTest::newRow("outside the page")
            << QStringLiteral("1€ 😀ñ\u0080Ā") << QByteArray("1\x80 ?\xf1??\r\n");
    }

    void theFileHoldsEachCharacterAsOneByteThenCrLf()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, bytes);
        Saving s;
        s.text = text;
        QCOMPARE(s.save(), QStringList { confirmation });
        QCOMPARE(contents(s.path()), bytes);
    }

    void failuresAreReportedAndNeverConfirmed_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("asked");
        QTest::addColumn<QString>("failure");
        const QString noPath = QStringLiteral("76, No se encontró la ruta de acceso");
        QTest::newRow("missing folder") << QStringLiteral("%1/falta/t.xls") << false << noPath;
        QTest::newRow("file as folder") << QStringLiteral("%1/fichero/t.xls") << false << noPath;
#ifndef Q_OS_WIN
        QTest::newRow("full disk")
            << QStringLiteral("/dev/full") << true << QStringLiteral("61, El disco está lleno");
#endif
        QTest::newRow("folder as the name")
            << QStringLiteral("%1/carpeta") << true << QStringLiteral("75, ");
#ifndef Q_OS_WIN
        QTest::newRow("pipe nobody reads") << QStringLiteral(
            "%1/tuberia") << true << QStringLiteral("68, El dispositivo no está disponible");
#endif
        QTest::newRow("NUL in the name")
            << QStringLiteral("%1/ab") + QChar(0) + QStringLiteral("c") << false
            << QStringLiteral("52, Nombre de fichero incorrecto");
    }

    void failuresAreReportedAndNeverConfirmed()
    {
        QFETCH(QString, name);
        QFETCH(bool, asked);
        QFETCH(QString, failure);
        Saving s;
        QVERIFY(QDir(s.dir.path()).mkdir("carpeta"));
        QVERIFY(writeFile(s.path("fichero"), "x"));
#ifdef Q_OS_WIN
        // Windows has no named pipes in its file system; an empty file stands in.
        QVERIFY(writeFile(s.path("tuberia"), ""));
#else
        QCOMPARE(::mkfifo(QFile::encodeName(s.path("tuberia")).constData(), 0600), 0);
#endif
        s.boxes.inputAnswers = { name.contains("%1") ? name.arg(s.dir.path()) : name };

        const QStringList after = s.save();
        QCOMPARE(after.size(), asked ? 2 : 1);
        QCOMPARE(after.first() == question, asked);
        QVERIFY2(after.last().startsWith("Se ha producido el siguiente error:\r\n" + failure),
            qPrintable(after.last()));
        QCOMPARE(s.boxes.boxes.last().buttons, 0);
        QCOMPARE(s.boxes.boxes.last().title, reportTitle);
        // Nothing was created, and what stood there is untouched.
        QCOMPARE(entries(s.dir.path()), (QStringList { "carpeta", "fichero", "tuberia" }));
        QCOMPARE(contents(s.path("fichero")), QByteArray("x"));
    }

#ifndef Q_OS_WIN
    // A reader that takes a little from a named pipe, then leaves or stops reading.
    void aPipeThatStopsTakingIsReportedAndTheProgramGoesOn_data()
    {
        QTest::addColumn<bool>("readerLeaves");
        QTest::addColumn<QString>("failure");
        QTest::newRow("reader leaves") << true
                                       << QStringLiteral("57, Error de entrada/salida en el "
                                                         "dispositivo: nadie lee ya la tubería");
        QTest::newRow("reader stops reading")
            << false << QStringLiteral("24, Tiempo de espera agotado");
    }

    void aPipeThatStopsTakingIsReportedAndTheProgramGoesOn()
    {
        QFETCH(bool, readerLeaves);
        QFETCH(QString, failure);
        Saving s;
        s.text = QString(1000 * 1000, QLatin1Char('x'));
        const QByteArray fifo = QFile::encodeName(s.path("tuberia"));
        QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
        const int reading = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        QVERIFY(reading >= 0);
        ::fcntl(reading, F_SETFL, 0);
        std::atomic<bool> saved { false };
        std::thread reader([&] {
            // Until the writer comes, the pipe reads as ended.
            char some[1000];
            qsizetype got = 0;
            for (int i = 0; got < qsizetype(sizeof some) && i < 3000; ++i) {
                const ssize_t n = ::read(reading, some, sizeof some - size_t(got));
                if (n > 0)
                    got += n;
                else
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            // One that stops reading still goes away in the end, so that a writer that
            // waits for ever fails the test instead of hanging it.
            for (int i = 0; !readerLeaves && !saved && i < 150; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            ::close(reading);
        });
        s.boxes.inputAnswers = { QString::fromLocal8Bit(fifo) };
        QElapsedTimer clock;
        clock.start();
        const QStringList after = s.save();
        saved = true;
        reader.join();

        QCOMPARE(after.size(), 2);
        QCOMPARE(after.first(), question);
        QVERIFY2(after.last().startsWith("Se ha producido el siguiente error:\r\n" + failure),
            qPrintable(after.last()));
        QCOMPARE(s.boxes.boxes.last().title, reportTitle);
        if (!readerLeaves)
            QVERIFY2(clock.elapsed() >= 5000 && clock.elapsed() < 10000,
                qPrintable(QString::number(clock.elapsed())));
    }

    // What was in the file stays whole, and nothing else is left in the folder, when the
    // replacement fails; on success the new text replaces the file a link names, in its mode.
    void aReplacedFileIsWholeBeforeOrWholeAfter_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<qsizetype>("size");
        QTest::addColumn<QString>("failure");
        QTest::newRow("full disk")
            << QString() << qsizetype(200 * 1000) << QStringLiteral("61, El disco está lleno");
        QTest::newRow("read-only file system")
            << QStringLiteral("ro") << qsizetype(10) << QStringLiteral("70, Permiso denegado");
        QTest::newRow("kept mode") << QStringLiteral("0640") << qsizetype(10) << QString();
        QTest::newRow("through a link") << QStringLiteral("link") << qsizetype(10) << QString();
        // A folder that takes no new files: the file is rewritten where it is, and a failure
        // puts the old text back.
        QTest::newRow("no new files") << QStringLiteral("in place") << qsizetype(10) << QString();
        QTest::newRow("no new files, full disk")
            << QStringLiteral("in place") << qsizetype(200 * 1000)
            << QStringLiteral("61, El disco está lleno. El fichero conserva su contenido anterior");
    }

    void aReplacedFileIsWholeBeforeOrWholeAfter()
    {
        QFETCH(QString, setting);
        QFETCH(qsizetype, size);
        QFETCH(QString, failure);
        // The kept mode and the link need neither a small file system nor another user.
        const bool small = setting != "0640" && setting != "link";
        if (small && ::geteuid() != 0)
            QSKIP("Mounting the small file system this test fills needs root");
        Saving s;
        const QByteArray folder = QFile::encodeName(s.dir.path());
        if (small
            && ::mount("salvex-test", folder.constData(), "tmpfs", 0, "size=128k,mode=0755") != 0)
            QSKIP(qPrintable(
                "Cannot mount a small tmpfs: " + QString::fromLocal8Bit(strerror(errno))));
        const auto unmount = qScopeGuard([&] {
            if (small)
                ::umount2(folder.constData(), MNT_DETACH);
        });

        const QByteArray old = QByteArray(60 * 1000, 'v') + "\r\n";
        QVERIFY(writeFile(s.path("destino.xls"), old));
        QString name = s.path("destino.xls");
        QStringList wanted { "destino.xls" };
        if (setting == "link") {
            QVERIFY(QFile::link("destino.xls", s.path("enlace")));
            name = s.path("enlace");
            wanted.append("enlace");
        } else if (setting == "0640") {
            QVERIFY(::chmod(QFile::encodeName(name).constData(), 0640) == 0);
        } else if (setting == "ro") {
            QCOMPARE(::mount(nullptr, folder.constData(), nullptr, MS_REMOUNT | MS_RDONLY,
                         "size=128k,mode=0755"),
                0);
        } else if (setting == "in place") {
            QVERIFY(::chmod(QFile::encodeName(name).constData(), 0666) == 0);
        }

        s.text = QString(size, QLatin1Char('n'));
        s.boxes.inputAnswers = { name };
        // Saved as a user who may write the file but not create one in its folder.
        const uid_t saver = setting == "in place" ? 65534 : ::geteuid();
        ::setfsuid(saver);
        const QStringList after = s.save();
        ::setfsuid(::geteuid());
        QCOMPARE(uid_t(::setfsuid(uid_t(-1))), ::geteuid());
        QCOMPARE(after.first(), question);
        QCOMPARE(entries(s.dir.path()), wanted);
        if (!failure.isEmpty()) {
            QVERIFY2(after.last().startsWith("Se ha producido el siguiente error:\r\n" + failure),
                qPrintable(after.last()));
            QVERIFY(contents(s.path("destino.xls")) == old);
            return;
        }
        QCOMPARE(after.last(), confirmation);
        QCOMPARE(contents(s.path("destino.xls")), QByteArray(size, 'n') + "\r\n");
        QCOMPARE(QFileInfo(name).isSymLink(), setting == "link");
        struct stat info;
        QCOMPARE(::stat(QFile::encodeName(s.path("destino.xls")).constData(), &info), 0);
        QCOMPARE(info.st_mode & 07777,
            setting == "0640"           ? 0640u
                : setting == "in place" ? 0666u
                                        : 0644u);
    }

#endif

    void aNameIsTakenAsTypedAgainstTheCurrentFolder()
    {
        Saving s;
        QTemporaryDir current;
        const QString before = QDir::currentPath();
        QVERIFY(QDir::setCurrent(current.path()));
        s.boxes.inputAnswers = { QStringLiteral("datos.xls") };
        s.save();
#ifndef Q_OS_WIN
        // Windows cuts trailing spaces off a name, so a name of spaces names no file there.
        s.boxes.inputAnswers = { QStringLiteral("  ") };
        s.save();
        QCOMPARE(contents(current.filePath("  ")), QByteArray("x\r\n"));
#endif
        QDir::setCurrent(before);
        QCOMPARE(contents(current.filePath("datos.xls")), QByteArray("x\r\n"));
        QVERIFY(entries(s.dir.path()).isEmpty());
    }

    void textArrivingWhileTheBoxesAreUpIsSaved()
    {
        Saving s;
        QVERIFY(writeFile(s.path(), "viejo"));
        s.boxes.whileShown = [&](const ScriptedDialogs::Box &box) {
            s.text += box.input ? QStringLiteral("+entrada") : QStringLiteral("+pregunta");
        };
        QCOMPARE(s.save(), (QStringList { question, confirmation }));
        QCOMPARE(contents(s.path()), QByteArray("x+entrada+pregunta\r\n"));
    }

    void theFolderListShowsAncestorsAndSortedSubfoldersAndOpensOnlyOnRequest()
    {
        Saving s;
        for (const char *sub : { "beta", "Alfa", "gamma" })
            QVERIFY(QDir(s.dir.path()).mkdir(sub));
        QVERIFY(writeFile(s.path("zeta.txt"), "x"));
        const QString before = QDir::currentPath();
        DirListBox *list = s.form.Dir1;
        list->setPath(s.dir.path());

        QTreeWidgetItem *opened = list->currentItem();
        QCOMPARE(opened->text(0), QFileInfo(s.dir.path()).fileName());
        QStringList subfolders;
        for (int i = 0; i < opened->childCount(); ++i)
            subfolders.append(opened->child(i)->text(0));
        QCOMPARE(subfolders, (QStringList { "Alfa", "beta", "gamma" }));
        // Each ancestor one level up, holding only the next one, up to the root.
        int depth = 0;
        QTreeWidgetItem *up = opened;
        for (; up->parent(); up = up->parent(), ++depth)
            QCOMPARE(up->parent()->childCount(), 1);
        QCOMPARE(list->topLevelItemCount(), 1);
        QCOMPARE(up->text(0), native(QDir::rootPath()));
        QCOMPARE(depth, QDir::cleanPath(s.dir.path()).count('/'));

        // Highlighting is not opening; Enter and double-click open.
        list->setCurrentItem(opened->child(1));
        QCOMPARE(list->Path(), native(s.dir.path()));
        QTest::keyClick(list, Qt::Key_Return);
        QCOMPARE(list->Path(), native(s.path("beta")));
        Q_EMIT list->itemDoubleClicked(list->currentItem()->parent(), 0);
        QCOMPARE(list->Path(), native(s.dir.path()));

        for (const char *name : { "falta", "zeta.txt" }) {
            try {
                list->setPath(s.path(name));
                QFAIL(name);
            } catch (const Failure &failure) {
                QCOMPARE(failure.number, 76);
            }
        }
        QCOMPARE(list->Path(), native(s.dir.path()));
        QCOMPARE(QDir::currentPath(), before);
    }

#ifdef Q_OS_WIN
    // Another program holds the old file open and shares nothing: the replacement is
    // refused in the system's words, and the old file and the folder are as they were.
    void aFileHeldByAnotherProgramIsKeptWhole()
    {
        Saving s;
        QVERIFY(writeFile(s.path(), "anterior"));
        const std::wstring path = native(s.path()).toStdWString();
        HANDLE held
            = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        QVERIFY(held != INVALID_HANDLE_VALUE);
        const QStringList after = s.save();
        CloseHandle(held);
        QCOMPARE(after.size(), 2);
        QVERIFY2(after.last().startsWith("Se ha producido el siguiente error:\r\n70, "),
            qPrintable(after.last()));
        QVERIFY2(after.last().contains(QLatin1Char('(')), qPrintable(after.last()));
        QCOMPARE(contents(s.path()), QByteArray("anterior"));
        QCOMPARE(entries(s.dir.path()), QStringList { "terminal.xls" });
    }

    // ReplaceFileW may stop with the old file moved aside and the name empty: the old file
    // goes back, or, when it cannot, neither text is lost and the operator is told where both
    // are.
    void aReplacementStoppedHalfWayLosesNeitherText_data()
    {
        QTest::addColumn<bool>("restoreFails");
        QTest::newRow("the old file goes back") << false;
        QTest::newRow("it cannot go back") << true;
    }

    void aReplacementStoppedHalfWayLosesNeitherText()
    {
        QFETCH(bool, restoreFails);
        Saving s;
        QVERIFY(writeFile(s.path(), "anterior"));
        s.text = QStringLiteral("nuevo");
        played::stepAside = true;
        played::restoreFails = restoreFails;
        TextFile::setCalls(&played::calls);
        const auto restore = qScopeGuard([] {
            TextFile::setCalls(nullptr);
            played::stepAside = false;
        });
        const QStringList after = s.save();
        QCOMPARE(after.size(), 2);
        QVERIFY2(after.last().startsWith("Se ha producido el siguiente error:\r\n70, "),
            qPrintable(after.last()));
        const QStringList left = entries(s.dir.path());
        if (!restoreFails) {
            QCOMPARE(left, QStringList { "terminal.xls" });
            QCOMPARE(contents(s.path()), QByteArray("anterior"));
            QVERIFY2(after.last().contains("conserva su contenido anterior"),
                qPrintable(after.last()));
            return;
        }
        QCOMPARE(left.size(), 2);
        for (const QString &name : left) {
            QVERIFY2(after.last().contains(native(s.path(name))), qPrintable(after.last()));
            QCOMPARE(contents(s.path(name)),
                name.endsWith("-anterior") ? QByteArray("anterior") : QByteArray("nuevo\r\n"));
        }
    }

    // A temporary name refused may only be one still being deleted: the next is tried. Only a
    // folder refusing them all has the file rewritten where it is, and only from a whole copy
    // of the old text.
    void aRefusedTemporaryNameIsNotYetAFolderThatTakesNoFiles_data()
    {
        QTest::addColumn<int>("refused");
        QTest::addColumn<bool>("shortRead");
        QTest::addColumn<QString>("told");
        QTest::addColumn<QByteArray>("kept");
        const QByteArray replaced = "x\r\n";
        QTest::newRow("one name still being deleted") << 1 << false << confirmation << replaced;
        QTest::newRow("no new file in the folder") << -1 << false << confirmation << replaced;
        QTest::newRow("and the old text read short")
            << -1 << true << "Se ha producido el siguiente error:\r\n70, "
            << QByteArray("anterior de varias palabras");
    }

    void aRefusedTemporaryNameIsNotYetAFolderThatTakesNoFiles()
    {
        QFETCH(int, refused);
        QFETCH(bool, shortRead);
        QFETCH(QString, told);
        QFETCH(QByteArray, kept);
        Saving s;
        QVERIFY(writeFile(s.path(), "anterior de varias palabras"));
        const quint64 before = fileId(s.path());
        played::refusedNames = refused;
        played::shortRead = shortRead;
        TextFile::setCalls(&played::calls);
        const auto restore = qScopeGuard([] {
            TextFile::setCalls(nullptr);
            played::refusedNames = 0;
            played::shortRead = false;
        });
        const QStringList after = s.save();
        QCOMPARE(after.size(), 2);
        QVERIFY2(after.last().startsWith(told), qPrintable(after.last()));
        QCOMPARE(contents(s.path()), kept);
        QCOMPARE(entries(s.dir.path()), QStringList { "terminal.xls" });
        QCOMPARE(fileId(s.path()) == before, refused < 0);
    }

    // Names the system reads otherwise than as typed are read as Qt, and so the dialog's
    // question, reads them: a folder's final dot is dropped, and a volume may be named by its
    // GUID.
    void aNameIsSavedWhereTheQuestionSaidItWas_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QStringList>("told");
        QTest::newRow("a folder with a final dot")
            << "datos.\\terminal.xls" << QByteArray("anterior")
            << QStringList { question, confirmation };
        QTest::newRow("a new file on a volume by its GUID")
            << "%1datos\\terminal.xls" << QByteArray() << QStringList { confirmation };
        QTest::newRow("a file replaced there")
            << "%1datos\\terminal.xls" << QByteArray("anterior")
            << QStringList { question, confirmation };
    }

    void aNameIsSavedWhereTheQuestionSaidItWas()
    {
        QFETCH(QString, typed);
        QFETCH(QByteArray, before);
        QFETCH(QStringList, told);
        Saving s;
        QVERIFY(QDir(s.dir.path()).mkdir("datos"));
        const QString path = s.path("datos/terminal.xls");
        if (!before.isEmpty())
            QVERIFY(writeFile(path, before));
        const QString folder = native(s.dir.path()) + QLatin1Char('\\');
        if (typed.contains("%1")) {
            wchar_t root[MAX_PATH];
            wchar_t volume[MAX_PATH];
            const std::wstring at = folder.toStdWString();
            if (!GetVolumePathNameW(at.c_str(), root, MAX_PATH)
                || !GetVolumeNameForVolumeMountPointW(root, volume, MAX_PATH))
                QSKIP("The system names no volume behind the folder");
            typed = typed.arg(QString::fromWCharArray(volume)
                + folder.mid(int(wcslen(root))));
        } else {
            typed.prepend(folder);
        }
        s.boxes.inputAnswers = { typed };
        QCOMPARE(s.save(), told);
        QCOMPARE(contents(path), QByteArray("x\r\n"));
        QCOMPARE(entries(s.dir.path() + "/datos"), QStringList { "terminal.xls" });
    }

    // A last part of the name that Windows keeps for a device, or would refuse or change, is
    // refused before anything is written; its near neighbours are ordinary names.
    void namesWindowsWouldNotKeepAreRefused_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("failure");
        const QString bad = QStringLiteral("52, Nombre de fichero incorrecto: ");
        const QString device = bad + QStringLiteral("Windows reserva ");
        for (const char *name : { "nul", "Con", "aux.txt", "PRN.xls", "com1", "COM9.xls", "lpt1",
                 "lpt9.csv", "nul .xls", "con  ..xls" })
            QTest::newRow(name) << QString::fromLatin1(name) << device;
        QTest::newRow("COM superscript one") << QStringLiteral("COM¹") << device + "COM¹ ";
        QTest::newRow("com superscript two") << QStringLiteral("com².xls") << device + "COM² ";
        QTest::newRow("lpt superscript three") << QStringLiteral("lpt³.txt") << device + "LPT³ ";
        for (const char *name : { "a<b", "a>b", "a:b", "a\"b", "a|b", "a?b", "a*b" })
            QTest::newRow(name) << QString::fromLatin1(name)
                                << bad + "Windows no admite el carácter " + QChar(name[1]);
        QTest::newRow("tab") << QStringLiteral("a\tb") << bad + "Windows no admite caracteres";
        QTest::newRow("unit separator")
            << QStringLiteral("a\x1f.xls") << bad + "Windows no admite caracteres";
        for (const char *name : { "datos.", "datos.xls ", "datos..." })
            QTest::newRow(name) << QString::fromLatin1(name) << bad + "en Windows un nombre no";
        for (const char *name : { "com10.xls", "lpt.xls", "nula.xls", "con-datos.xls", "c.on" })
            QTest::newRow(name) << QString::fromLatin1(name) << QString();
        // The device namespace names no file: a pipe or a device may take the text never.
        for (const char *name :
            { "\\\\.\\pipe\\salvex", "\\\\.\\COM10", "//./nul", "\\\\?\\GLOBALROOT\\Device\\Null",
                "\\\\localhost\\pipe\\salvex", "\\\\?\\UNC\\localhost\\PIPE\\salvex" })
            QTest::newRow(name) << QString::fromLatin1(name)
                                << bad + QString::fromLatin1(name) + " es un dispositivo";
        QTest::newRow("\\\\?\\ and a drive") << QStringLiteral("\\\\?\\%1\\datos.xls") << QString();
    }

    void namesWindowsWouldNotKeepAreRefused()
    {
        QFETCH(QString, name);
        QFETCH(QString, failure);
        Saving s;
        // Not through filePath(), which takes "a:b" for a path of its own.
        const QString typed = name.contains(QLatin1String("%1")) ? name.arg(native(s.dir.path()))
            : name.startsWith(QLatin1String("\\\\")) || name.startsWith(QLatin1String("//"))
            ? name
            : native(s.dir.path() + QLatin1Char('/') + name);
        s.boxes.inputAnswers = { typed };
        const QStringList after = s.save();
        if (failure.isEmpty()) {
            QCOMPARE(after, QStringList { confirmation });
            QCOMPARE(entries(s.dir.path()), QStringList { QFileInfo(typed).fileName() });
            return;
        }
        QCOMPARE(after.size(), 1);
        QVERIFY2(after.last().startsWith("Se ha producido el siguiente error:\r\n" + failure),
            qPrintable(after.last()));
        QCOMPARE(s.boxes.boxes.last().title, reportTitle);
        QCOMPARE(entries(s.dir.path()), QStringList());
    }

    // A device reached through a link bears no name Windows keeps for one; one that takes
    // nothing is given up all the same. Under Wine the host's terminal behind the prefix's
    // COM5, which nobody reads, is one.
    void aDeviceThatStopsTakingIsGivenUp()
    {
        const QString prefix = qEnvironmentVariable("WINEPREFIX");
        if (prefix.isEmpty())
            QSKIP("Needs Wine: the device is a terminal of the host");
        PtyPair wired(PtyPair::Wired {});
        QVERIFY(wired.isValid());
        Saving s;
        s.text = QString(1000 * 1000, QLatin1Char('x'));
        s.boxes.inputAnswers = { QStringLiteral("Z:") + prefix + QStringLiteral("/salvex-com5") };
        QElapsedTimer clock;
        clock.start();
        const QStringList after = s.save();
        QVERIFY2(after.last().startsWith(
                     "Se ha producido el siguiente error:\r\n24, Tiempo de espera agotado"),
            qPrintable(after.last()));
        QVERIFY2(clock.elapsed() >= 5000 && clock.elapsed() < 10000,
            qPrintable(QString::number(clock.elapsed())));
    }

    // A path past the 260 characters of old (a deep OneDrive folder) saves, replaces and fails
    // as a short one does.
    void aLongPathSavesReplacesAndFailsAsAShortOne_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QStringList>("told");
        QTest::newRow("new") << QString() << QStringList { confirmation };
        QTest::newRow("replaced") << "anterior" << QStringList { question, confirmation };
        QTest::newRow("held by another program")
            << "retenido"
            << QStringList { question, "Se ha producido el siguiente error:\r\n70, " };
    }

    void aLongPathSavesReplacesAndFailsAsAShortOne()
    {
        QFETCH(QString, before);
        QFETCH(QStringList, told);
        Saving s;
        QString folder = s.dir.path();
        while (folder.size() < 300)
            folder += QStringLiteral("/carpeta-de-un-cliente-con-un-nombre-largo");
        QVERIFY(QDir().mkpath(folder));
        const QString path = folder + QStringLiteral("/terminal.xls");
        if (!before.isEmpty())
            QVERIFY(writeFile(path, before.toLatin1()));
        HANDLE held = INVALID_HANDLE_VALUE;
        if (before == "retenido") {
            const std::wstring name = (QStringLiteral("\\\\?\\") + native(path)).toStdWString();
            held = CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            QVERIFY(held != INVALID_HANDLE_VALUE);
        }
        s.boxes.inputAnswers = { native(path) };
        const QStringList after = s.save();
        if (held != INVALID_HANDLE_VALUE)
            CloseHandle(held);
        QCOMPARE(after.size(), told.size());
        for (qsizetype i = 0; i < told.size(); ++i)
            QVERIFY2(after[i].startsWith(told[i]), qPrintable(after[i]));
        QCOMPARE(
            contents(path), before == "retenido" ? QByteArray("retenido") : QByteArray("x\r\n"));
        QCOMPARE(entries(folder), QStringList { "terminal.xls" });
    }

    // The replacement is the old file still as far as the operator can tell: its attributes
    // and its creation time stay, and nothing of the making of it shows.
    void aReplacedFileKeepsItsAttributesAndCreationTime_data()
    {
        QTest::addColumn<quint32>("attributes");
        QTest::newRow("archive") << quint32(FILE_ATTRIBUTE_ARCHIVE);
        QTest::newRow("hidden") << quint32(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
        QTest::newRow("system") << quint32(FILE_ATTRIBUTE_SYSTEM);
    }

    void aReplacedFileKeepsItsAttributesAndCreationTime()
    {
        QFETCH(quint32, attributes);
        Saving s;
        QVERIFY(writeFile(s.path(), "anterior"));
        const std::wstring path = native(s.path()).toStdWString();
        // 1 January 2001, long before the test.
        const FILETIME born { 0xc89dc000, 0x01c07385 };
        HANDLE old = CreateFileW(
            path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        QVERIFY(old != INVALID_HANDLE_VALUE);
        QVERIFY(SetFileTime(old, &born, nullptr, nullptr));
        CloseHandle(old);
        QVERIFY(SetFileAttributesW(path.c_str(), attributes));
        WIN32_FILE_ATTRIBUTE_DATA before;
        QVERIFY(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &before));
        QCOMPARE(before.dwFileAttributes & attributes, attributes);

        QCOMPARE(s.save(), (QStringList { question, confirmation }));
        QCOMPARE(contents(s.path()), QByteArray("x\r\n"));
        WIN32_FILE_ATTRIBUTE_DATA now;
        QVERIFY(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &now));
        QCOMPARE(now.dwFileAttributes, before.dwFileAttributes);
        // Where the file system keeps the creation time it was given; Wine's does not.
        if (CompareFileTime(&before.ftCreationTime, &born) == 0)
            QCOMPARE(CompareFileTime(&now.ftCreationTime, &born), 0);
        QCOMPARE(entries(s.dir.path()), QStringList { "terminal.xls" });
    }

    // A drive letter that names nothing: the failure is the opening's own, in the system's
    // words, not a folder said to be missing.
    void aPathOnAMissingDriveGetsTheOpeningsOwnFailure()
    {
        const DWORD drives = GetLogicalDrives();
        char letter = 'Q';
        while (letter <= 'Y' && (drives & (1u << (letter - 'A'))))
            ++letter;
        QVERIFY(letter <= 'Y');
        Saving s;
        s.boxes.inputAnswers = { QStringLiteral("%1:\\x\\terminal.xls").arg(QLatin1Char(letter)) };
        const QStringList after = s.save();
        QCOMPARE(after.size(), 1);
        QVERIFY2(after.last().startsWith("Se ha producido el siguiente error:\r\n76, No se "
                                         "encontró la ruta de acceso (")
                && after.last().endsWith(QLatin1Char(')')),
            qPrintable(after.last()));
        QCOMPARE(s.boxes.boxes.last().title, reportTitle);
    }

    // Windows keeps a current folder for each drive; choosing a drive opens that folder.
    void aDriveOpensItsOwnCurrentFolderAndOneNotReadyKeepsTheOldFolder()
    {
        ScriptedDialogs boxes;
        QTemporaryDir onC(QStringLiteral("C:/salvex-drive-XXXXXX"));
        QVERIFY(onC.isValid());
        const QString before = QDir::currentPath();
        QVERIFY(QDir::setCurrent(QStringLiteral("C:/")));
        QVERIFY(QDir::setCurrent(QStringLiteral("Z:/")));
        const auto restore = qScopeGuard([&] {
            QDir::setCurrent(before);
            SetEnvironmentVariableW(L"=C:", nullptr);
        });
        // What the command prompt and the C runtime keep when a folder of C: is opened.
        QVERIFY(SetEnvironmentVariableW(
            L"=C:", reinterpret_cast<const wchar_t *>(native(onC.path()).utf16())));
        Form2 form(nullptr, [] { return QString(); });
        DriveListBox *drives = form.Drive1;
        QCOMPARE(drives->Drive().left(2), QStringLiteral("z:"));
        QCOMPARE(form.Dir1->Path(), QStringLiteral("Z:\\"));

        const int c = drives->findText(QStringLiteral("c:"), Qt::MatchStartsWith);
        QVERIFY(c >= 0);
        drives->setCurrentIndex(c);
        QCOMPARE(form.Dir1->Path(), native(onC.path()));
        QVERIFY(boxes.boxes.isEmpty());

        drives->addDrive("x: [ausente]", QStringLiteral("X:/"));
        drives->setCurrentIndex(drives->count() - 1);
        QCOMPARE(boxes.prompts(), QStringList { "La unidad seleccionada no está disponible" });
        QCOMPARE(boxes.boxes[0].buttons, 64);
        QCOMPARE(form.Dir1->Path(), native(onC.path()));
    }
#else
    void aDriveOpensItsFolderAndOneNotReadyKeepsTheOldFolder()
    {
        ScriptedDialogs boxes;
        QTemporaryDir volume;
        const QString missing = volume.path() + "-ausente";
        Form2 form(nullptr, [] { return QString(); });
        DriveListBox *drives = form.Drive1;

        // At creation both lists show where the process is.
        QCOMPARE(form.Dir1->Path(), native(QDir::currentPath()));
        QVERIFY(QDir::currentPath().startsWith(drives->folder()));
        QVERIFY(drives->findData(QDir::rootPath()) >= 0 && drives->findData(QDir::homePath()) >= 0);

        drives->addDrive("prueba", volume.path());
        drives->setCurrentIndex(drives->count() - 1);
        QCOMPARE(form.Dir1->Path(), native(volume.path()));
        QVERIFY(boxes.boxes.isEmpty());

        drives->addDrive("x: [ausente]", missing);
        drives->setCurrentIndex(drives->count() - 1);
        QCOMPARE(boxes.prompts(), QStringList { "La unidad seleccionada no está disponible" });
        QCOMPARE(boxes.boxes[0].buttons, 64);
        QCOMPARE(boxes.boxes[0].title, QStringLiteral("SALVEX"));
        QCOMPARE(drives->Drive(), QStringLiteral("x: [ausente]"));
        QCOMPARE(form.Dir1->Path(), native(volume.path()));
    }
#endif

    void escPressesNothingAndEnterOnlyTheFocusedButton()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir("sub"));
        ScriptedDialogs boxes;
        Form2 form(nullptr, [] { return QString(); });
        form.Dir1->setPath(dir.path());
        form.Dir1->setCurrentItem(form.Dir1->currentItem()->child(0));

        bool stayedUp = false;
        QTimer::singleShot(0, &form, [&] {
            QTest::keyClick(form.Dir1, Qt::Key_Escape);
            // In the folder list Enter opens the highlighted folder.
            QTest::keyClick(form.Dir1, Qt::Key_Return);
            stayedUp = form.isVisible();
            form.Command2->setFocus();
            QTest::keyClick(form.Command2, Qt::Key_Return);
        });
        form.exec();
        QVERIFY(stayedUp);
        QVERIFY(!form.isVisible());
        QCOMPARE(form.Dir1->Path(), native(dir.filePath("sub")));
        QVERIFY(boxes.boxes.isEmpty());
    }

    void theDialogFirstGoesWhereNewWindowsGoThenStaysWhereLeft()
    {
        ScriptedDialogs boxes;
        Form1 form;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        const QPoint left(37, 41);
        QList<QPoint> shownAt;
        for (int showing = 0; showing < 2; ++showing) {
            QTimer::singleShot(0, &form, [&] {
                auto *dialog = form.findChild<Form2 *>();
                shownAt.append(dialog->pos());
                // The operator drags it elsewhere through the window system.
                dialog->windowHandle()->setFramePosition(left);
                QTRY_COMPARE(dialog->pos(), left);
                dialog->Command2_Click();
            });
            form.Command1_Click();
        }
        QCOMPARE(shownAt.size(), 2);
        QRect centred(QPoint(), form.findChild<Form2 *>()->size());
        centred.moveCenter(form.geometry().center());
        // Give or take the frame.
        QVERIFY2((shownAt[0] - centred.topLeft()).manhattanLength() > 10,
            "centred over the main window");
        QCOMPARE(shownAt[1], left);
    }

    // The main window's own button, with every byte value received through a real port.
    void theMainWindowSavesEveryByteAndCancelarKeepsTheDialogUntilItIsClosed()
    {
        QTemporaryDir dir;
        ScriptedDialogs boxes;
        PtyPair pty;
        QVERIFY(pty.isValid());
        Form1 form;
        qputenv("SALVEX_COM1", pty.devicePath().toLocal8Bit());
        form.Boton_Abrir_Click();

        QVERIFY(pty.send(everyByte()));
        QTRY_COMPARE(form.Texto_Recibido->text().size(), 256);
        QCOMPARE(form.Texto_Recibido->text(), everyByteAsText());

        QPointer<Form2> dialog;
        const auto whileUp = [&](std::function<void()> steps) {
            QTimer::singleShot(0, &form, [&, steps] {
                dialog = form.findChild<Form2 *>();
                if (dialog && dialog->isVisible())
                    steps();
            });
            form.Command1_Click();
        };
        boxes.clear();
        whileUp([&] {
            dialog->Dir1->setPath(dir.path());
            dialog->Command1_Click();
            dialog->Command2_Click();
        });
        QCOMPARE(boxes.prompts().mid(1), QStringList { confirmation });
        QCOMPARE(contents(dir.filePath("terminal.xls")), everyByte() + "\r\n");

        // Hidden, not unloaded: the same dialog comes back on the same folder.
        QPointer<Form2> first = dialog;
        QString shownWith;
        whileUp([&] {
            shownWith = dialog->Dir1->Path();
            dialog->close();
        });
        QVERIFY(first && dialog == first);
        QCOMPARE(shownWith, native(dir.path()));
        QTRY_VERIFY(first.isNull());

        whileUp([&] {
            shownWith = dialog->Dir1->Path();
            dialog->Command2_Click();
        });
        QVERIFY(dialog);
        QCOMPARE(shownWith, native(QDir::currentPath()));
    }
};

QTEST_MAIN(TestSave)
#include "tst_save.moc"
