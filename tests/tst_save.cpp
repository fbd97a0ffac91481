#include "dirlistbox.h"
#include "drivelistbox.h"
#include "form1.h"
#include "form2.h"
#include "ptypair.h"
#include "scripteddialogs.h"
#include "textorecibido.h"

#include <QDir>
#include <QFile>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>

// The save dialog against real folders and files: the proposal, the questions, what ends
// up in the file and every failure the operator can meet.
class TestSave : public QObject
{
    Q_OBJECT

private:
    static QString native(const QString &path) { return QDir::toNativeSeparators(path); }

    static QByteArray contents(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<sin fichero>");
    }

    static bool writeFile(const QString &path, const QByteArray &bytes)
    {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    }

    static QString report(const QString &numberAndDescription)
    {
        return QStringLiteral("Se ha producido el siguiente error:\r\n") + numberAndDescription;
    }

    static const QString confirmation;
    static const QString question;

private Q_SLOTS:
    void theProposalIsTheOpenedFolderThenTheDefaultName()
    {
        QTemporaryDir dir;
        const QString before = QDir::currentPath();
        ScriptedDialogs boxes;
        boxes.inputAnswers = { QString(), QString() };
        Form2 form(nullptr, [] { return QStringLiteral("x"); });

        QCOMPARE(form.Dir1->setPath(dir.path()), 0);
        form.Command1_Click();
        QCOMPARE(boxes.boxes.size(), 1);
        QVERIFY(boxes.boxes[0].input);
        QCOMPARE(boxes.boxes[0].prompt, native(dir.path()));
        QCOMPARE(boxes.boxes[0].title, QStringLiteral(" Salvex by Brel"));
        QCOMPARE(
            boxes.boxes[0].defaultText, native(dir.path()) + QDir::separator() + "terminal.xls");

        // A root already ends with the separator; the doubled one is kept as it is.
        QCOMPARE(form.Dir1->setPath(QDir::rootPath()), 0);
        form.Command1_Click();
        QCOMPARE(boxes.boxes[1].prompt, native(QDir::rootPath()));
        QCOMPARE(boxes.boxes[1].defaultText,
            native(QDir::rootPath()) + QDir::separator() + "terminal.xls");
        QCOMPARE(QDir::currentPath(), before);
    }

    void cancelOrAnEmptyAnswerEndsSilently()
    {
        QTemporaryDir dir;
        ScriptedDialogs boxes;
        // Cancel and OK on a cleared text both come back empty.
        boxes.inputAnswers = { QString(), QStringLiteral("") };
        Form2 form(nullptr, [] { return QStringLiteral("x"); });
        form.Dir1->setPath(dir.path());
        form.Command1_Click();
        form.Command1_Click();
        QCOMPARE(boxes.boxes.size(), 2);
        QVERIFY(boxes.boxes[0].input && boxes.boxes[1].input);
        QVERIFY(QDir(dir.path()).isEmpty());
    }

    void aNewNameIsWrittenAndConfirmedAndTheNextSaveAsksToReplace()
    {
        QTemporaryDir dir;
        ScriptedDialogs boxes;
        Form2 form(nullptr, [] { return QStringLiteral("MAQUINA 1"); });
        form.Dir1->setPath(dir.path());
        const QString file = dir.filePath("terminal.xls");

        form.Command1_Click();
        QCOMPARE(boxes.boxes.size(), 2);
        QCOMPARE(boxes.boxes[1].prompt, confirmation);
        QCOMPARE(boxes.boxes[1].buttons, 0);
        QCOMPARE(boxes.boxes[1].title, QStringLiteral("SALVEX"));
        QCOMPARE(contents(file), QByteArray("MAQUINA 1\r\n"));

        boxes.clear();
        form.Command1_Click();
        QCOMPARE(boxes.boxes[0].defaultText, native(file));
        QCOMPARE(boxes.prompts().mid(1), (QStringList { question, confirmation }));
        QCOMPARE(boxes.boxes[1].buttons, 1);
        QCOMPARE(boxes.boxes[1].title, QStringLiteral("SALVEX"));
    }

    void theFileHoldsEachCharacterAsOneByteThenCrLf_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bytes");
        QString all;
        QByteArray every;
        for (int i = 0; i < 256; ++i) {
            all.append(QChar(i));
            every.append(char(i));
        }
        QTest::newRow("two lines") << QStringLiteral("A\r\nB") << QByteArray("A\r\nB\r\n");
        QTest::newRow("empty") << QString() << QByteArray("\r\n");
        QTest::newRow("lone CR and LF") << QStringLiteral("a\rb\nc") << QByteArray("a\rb\nc\r\n");
        QTest::newRow("every byte value") << all << every + "\r\n";
        QTest::newRow("outside the page") << QStringLiteral("1€ 😀ñ") << QByteArray("1? ?\xf1\r\n");
    }

    void theFileHoldsEachCharacterAsOneByteThenCrLf()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, bytes);
        QTemporaryDir dir;
        ScriptedDialogs boxes;
        Form2 form(nullptr, [&] { return text; });
        form.Dir1->setPath(dir.path());
        form.Command1_Click();
        QCOMPARE(contents(dir.filePath("terminal.xls")), bytes);
        QCOMPARE(boxes.prompts().last(), confirmation);
    }

    void anExistingFileIsReplacedWholeOnlyOnOk()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath("terminal.xls");
        QVERIFY(writeFile(file, "un contenido anterior mucho mas largo"));
        ScriptedDialogs boxes;
        boxes.msgAnswers = { vbCancel };
        Form2 form(nullptr, [] { return QStringLiteral("B"); });
        form.Dir1->setPath(dir.path());

        form.Command1_Click();
        QCOMPARE(boxes.prompts().mid(1), QStringList { question });
        QCOMPARE(contents(file), QByteArray("un contenido anterior mucho mas largo"));

        boxes.clear();
        form.Command1_Click();
        QCOMPARE(boxes.prompts().mid(1), (QStringList { question, confirmation }));
        QCOMPARE(contents(file), QByteArray("B\r\n"));
    }

    void aMissingFolderIsReportedAndNothingIsCreated()
    {
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("fichero"), "x"));
        ScriptedDialogs boxes;
        boxes.inputAnswers
            = { dir.filePath("falta/terminal.xls"), dir.filePath("fichero/terminal.xls") };
        Form2 form(nullptr, [] { return QStringLiteral("x"); });
        form.Dir1->setPath(dir.path());

        // A folder that does not exist, and a file standing where a folder should be.
        for (int i = 0; i < 2; ++i) {
            boxes.clear();
            form.Command1_Click();
            QCOMPARE(boxes.boxes.size(), 2);
            QCOMPARE(boxes.boxes[1].prompt, report("76, No se encontró la ruta de acceso"));
            QCOMPARE(boxes.boxes[1].buttons, 0);
            QCOMPARE(boxes.boxes[1].title, QStringLiteral("En Command1_Click"));
        }
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
            QStringList { "fichero" });
        QCOMPARE(contents(dir.filePath("fichero")), QByteArray("x"));
    }

    void failuresWhileWritingAreReportedAndNeverConfirmed_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("asked");
        QTest::addColumn<QString>("failure");
        QTest::newRow("full disk")
            << QStringLiteral("/dev/full") << true << QStringLiteral("61, El disco está lleno");
        QTest::newRow("a folder as the name")
            << QStringLiteral("%1/carpeta") << true << QStringLiteral("75, ");
        QTest::newRow("a pipe nobody reads") << QStringLiteral(
            "%1/tuberia") << true << QStringLiteral("68, El dispositivo no está disponible");
        QTest::newRow("a NUL in the name")
            << QStringLiteral("%1/ab") + QChar(0) + QStringLiteral("c") << false
            << QStringLiteral("52, Nombre de fichero incorrecto");
    }

    void failuresWhileWritingAreReportedAndNeverConfirmed()
    {
        QFETCH(QString, name);
        QFETCH(bool, asked);
        QFETCH(QString, failure);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir("carpeta"));
        QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath("tuberia")).constData(), 0600), 0);
        ScriptedDialogs boxes;
        boxes.inputAnswers = { name.contains("%1") ? name.arg(dir.path()) : name };
        Form2 form(nullptr, [] { return QStringLiteral("datos"); });
        form.Dir1->setPath(dir.path());

        form.Command1_Click();
        QCOMPARE(boxes.boxes.size(), asked ? 3 : 2);
        if (asked)
            QCOMPARE(boxes.boxes[1].prompt, question);
        QVERIFY2(boxes.boxes.last().prompt.startsWith(report(failure)),
            qPrintable(boxes.boxes.last().prompt));
        QCOMPARE(boxes.boxes.last().title, QStringLiteral("En Command1_Click"));
        QVERIFY(QFileInfo(dir.filePath("carpeta")).isDir());
        QCOMPARE(QDir(dir.path())
                     .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                     .size(),
            2);
    }

    void aRelativeNameIsTakenAsTypedInTheCurrentFolder()
    {
        QTemporaryDir current;
        QTemporaryDir opened;
        const QString before = QDir::currentPath();
        QVERIFY(QDir::setCurrent(current.path()));
        ScriptedDialogs boxes;
        boxes.inputAnswers = { QStringLiteral("datos.xls"), QStringLiteral("  ") };
        Form2 form(nullptr, [] { return QStringLiteral("x"); });
        form.Dir1->setPath(opened.path());
        form.Command1_Click();
        form.Command1_Click();
        QDir::setCurrent(before);

        QCOMPARE(contents(current.filePath("datos.xls")), QByteArray("x\r\n"));
        QCOMPARE(contents(current.filePath("  ")), QByteArray("x\r\n"));
        QVERIFY(QDir(opened.path()).isEmpty());
    }

    void textArrivingWhileTheBoxesAreUpIsSaved()
    {
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("terminal.xls"), "viejo"));
        QString text = QStringLiteral("inicio");
        ScriptedDialogs boxes;
        boxes.whileShown = [&](const ScriptedDialogs::Box &box) {
            text += box.input ? QStringLiteral("+entrada") : QStringLiteral("+pregunta");
        };
        Form2 form(nullptr, [&] { return text; });
        form.Dir1->setPath(dir.path());
        form.Command1_Click();
        QCOMPARE(boxes.prompts().mid(1), (QStringList { question, confirmation }));
        QCOMPARE(contents(dir.filePath("terminal.xls")), QByteArray("inicio+entrada+pregunta\r\n"));
    }

    void theFolderListShowsAncestorsAndSortedSubfoldersAndOpensOnlyOnRequest()
    {
        QTemporaryDir dir;
        for (const char *sub : { "beta", "Alfa", "gamma" })
            QVERIFY(QDir(dir.path()).mkdir(sub));
        QVERIFY(writeFile(dir.filePath("zeta.txt"), "x"));
        const QString before = QDir::currentPath();
        ScriptedDialogs boxes;
        Form2 form(nullptr, [] { return QString(); });
        DirListBox *list = form.Dir1;
        QCOMPARE(list->setPath(dir.path()), 0);

        QTreeWidgetItem *opened = list->currentItem();
        QVERIFY(opened);
        QCOMPARE(opened->text(0), QFileInfo(dir.path()).fileName());
        QStringList subfolders;
        for (int i = 0; i < opened->childCount(); ++i)
            subfolders.append(opened->child(i)->text(0));
        QCOMPARE(subfolders, (QStringList { "Alfa", "beta", "gamma" }));
        // Every ancestor sits one level above, up to the root, and holds only the next one.
        int depth = 0;
        QTreeWidgetItem *root = opened;
        for (; root->parent(); root = root->parent()) {
            QCOMPARE(root->parent()->childCount(), 1);
            ++depth;
        }
        QCOMPARE(list->topLevelItemCount(), 1);
        QCOMPARE(root->text(0), native(QDir::rootPath()));
        QCOMPARE(depth, QDir::cleanPath(dir.path()).count('/'));

        // Highlighting is not opening; Enter and double-click open.
        list->setCurrentItem(opened->child(1));
        QCOMPARE(list->Path(), native(dir.path()));
        QTest::keyClick(list, Qt::Key_Return);
        QCOMPARE(list->Path(), native(dir.filePath("beta")));
        QCOMPARE(list->currentItem()->childCount(), 0);
        Q_EMIT list->itemDoubleClicked(list->currentItem()->parent(), 0);
        QCOMPARE(list->Path(), native(dir.path()));

        // What cannot be opened leaves the list where it was.
        QCOMPARE(list->setPath(dir.filePath("falta")), 76);
        QCOMPARE(list->setPath(dir.filePath("zeta.txt")), 76);
        QCOMPARE(list->Path(), native(dir.path()));
        QCOMPARE(QDir::currentPath(), before);
        QVERIFY(boxes.boxes.isEmpty());
    }

    void aDriveOpensItsFolderAndOneNotReadyKeepsTheOldFolder()
    {
        QTemporaryDir volume;
        QTemporaryDir gone;
        const QString missing = gone.path();
        QVERIFY(gone.remove());
        ScriptedDialogs boxes;
        Form2 form(nullptr, [] { return QStringLiteral("x"); });
        DriveListBox *drives = form.Drive1;

        // At creation both lists show where the process is.
        QCOMPARE(form.Dir1->Path(), native(QDir::currentPath()));
        QVERIFY(QDir::currentPath().startsWith(drives->folder()));
        QVERIFY(drives->findData(QDir::rootPath()) >= 0);
        QVERIFY(drives->findData(QDir::homePath()) >= 0);

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

        boxes.clear();
        boxes.inputAnswers = { QString() };
        form.Command1_Click();
        QCOMPARE(boxes.boxes[0].prompt, native(volume.path()));
    }

    void cancelarHidesKeepingTheFolderAndTheFrameButtonUnloads()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir("sub"));
        ScriptedDialogs boxes;
        QPointer<Form2> form = new Form2(nullptr, [] { return QStringLiteral("x"); });
        form->Dir1->setPath(dir.path());
        form->Dir1->setCurrentItem(form->Dir1->currentItem()->child(0));

        bool stayedUp = false;
        QTimer::singleShot(0, form, [&] {
            // Esc presses neither button, and Enter in the folder list opens the folder.
            QTest::keyClick(form->Dir1, Qt::Key_Escape);
            QTest::keyClick(form->Dir1, Qt::Key_Return);
            stayedUp = form->isVisible();
            // Enter presses the button that has the focus.
            form->Command2->setFocus();
            QTest::keyClick(form->Command2, Qt::Key_Return);
        });
        form->exec();
        QVERIFY(stayedUp);
        QVERIFY(form);
        QVERIFY(!form->isVisible());
        QCOMPARE(form->Dir1->Path(), native(dir.filePath("sub")));
        QVERIFY(boxes.boxes.isEmpty());

        QString shownWith;
        QTimer::singleShot(0, form, [&] {
            shownWith = form->Dir1->Path();
            form->close();
        });
        form->exec();
        QCOMPARE(shownWith, native(dir.filePath("sub")));
        QTRY_VERIFY(form.isNull());

        Form2 again(nullptr, [] { return QString(); });
        QCOMPARE(again.Dir1->Path(), native(QDir::currentPath()));
    }

    void everyByteReceivedByTheMainWindowIsSavedAsItself()
    {
        QTemporaryDir dir;
        ScriptedDialogs boxes;
        PtyPair pty;
        QVERIFY(pty.isValid());
        Form1 form;
        qputenv("SALVEX_COM1", pty.devicePath().toLocal8Bit());
        form.Boton_Abrir_Click();
        boxes.clear();

        QByteArray every;
        for (int i = 0; i < 256; ++i)
            every.append(char(i));
        QVERIFY(pty.send(every));
        QTRY_COMPARE(form.Texto_Recibido->text().size(), 256);

        Form2 dialog(&form, [&] { return form.Texto_Recibido->text(); });
        dialog.Dir1->setPath(dir.path());
        dialog.Command1_Click();
        QCOMPARE(boxes.prompts().last(), confirmation);
        QCOMPARE(contents(dir.filePath("terminal.xls")), every + "\r\n");
    }
};

const QString TestSave::confirmation = QStringLiteral("Verifique su correcta grabación, gracias");
const QString TestSave::question = QStringLiteral("El fichero existe,desea reemplazarlo");

QTEST_MAIN(TestSave)
#include "tst_save.moc"
