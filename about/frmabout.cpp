// SPDX-License-Identifier: MIT
#include "frmabout.h"

#include "dialogs.h"
#include "failure.h"
#include "registry.h"
#include "salvexicon.h"
#include "twips.h"

#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

namespace {

constexpr quint32 HKeyLocalMachine = 0x80000002;
// Read rights only (read control, query, enumerate, notify): the lookup never writes, and an
// ordinary account is refused write rights on machine-wide keys.
constexpr quint32 KeyAccess = 0x20019;
constexpr long RegistrySuccess = 0;
constexpr quint32 ValueText = 1;
constexpr quint32 ValueNumber = 4;
// The system's error codes for what stops the launcher; it answers all with one message.
constexpr int ErrorFileNotFound = 2;
constexpr int ErrorInvalidData = 13;
constexpr int ErrorMoreData = 234;

QPushButton *button(
    QWidget *container, const QString &caption, int left, int top, int width, int height)
{
    auto *control = new QPushButton(caption, container);
    place(control, left, top, width, height);
    return control;
}

QLabel *label(QWidget *container, const QString &caption, int left, int top, int width, int height,
    bool black)
{
    auto *control = new QLabel(caption, container);
    place(control, left, top, width, height);
    control->setTextFormat(Qt::PlainText);
    control->setWordWrap(true);
    control->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    control->setFocusPolicy(Qt::NoFocus);
    if (black) {
        QPalette palette = control->palette();
        palette.setColor(QPalette::WindowText, Qt::black);
        control->setPalette(palette);
    }
    return control;
}

// Registry paths are written with backslashes. Where the file system separates with "/",
// each backslash is read as a separator, the way Windows reads it: a doubled one is one.
QString fileSystemPath(const QString &path)
{
#ifdef Q_OS_WIN
    return path;
#else
    return QString(path).replace(QLatin1Char('\\'), QLatin1Char('/'));
#endif
}

// A normal file: not a folder, nor anything hidden.
bool isNormalFile(const QString &path)
{
    const QFileInfo info(fileSystemPath(path));
    return info.isFile() && !info.isHidden();
}

} // namespace

frmAbout::frmAbout(QWidget *owner)
    : QDialog(owner,
        Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint
            | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      m_registry(&platformRegistry()), m_startProgram(&frmAbout::startProgram)
{
    // Every way of closing it unloads it; the next showing builds it afresh.
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Salvex by Brel"));
    setFont(formFont());
    setFixedSize(twips(5865), twips(3525));

    cmdOK = button(this, QStringLiteral("OK"), 4245, 2625, 1467, 345);
    cmdOK->setDefault(true);
    cmdSysInfo = button(this, QStringLiteral("&System Info..."), 4260, 3075, 1452, 345);

    picIcon = new QLabel(this);
    place(picIcon, 240, 240, 540, 540);
    picIcon->setAccessibleName(QStringLiteral("Icono"));
    picIcon->setFocusPolicy(Qt::StrongFocus);
    picIcon->setAutoFillBackground(true);
    QPalette background = picIcon->palette();
    background.setColor(QPalette::Window, vbColor(0xC0C0C0));
    picIcon->setPalette(background);
    picIcon->setAlignment(Qt::AlignCenter);
    picIcon->setPixmap(salvexPixmap(32));

    lblDisclaimer = label(this,
        QStringLiteral("Warning: ...   No me hago responsable de los daños que tanto el terminal "
                       "como este programa pudieran causar......."),
        255, 2625, 3870, 825, true);
    lblVersion = label(this, QStringLiteral("Version"), 1050, 780, 4092, 225, false);
    lblTitle = label(this, QStringLiteral("Application Title"), 1050, 240, 4092, 480, true);
    // The run of spaces is what carries the second text onto a line of its own.
    lblDescription = label(this,
        QStringLiteral("App Description") + QString(73, QLatin1Char(' '))
            + QStringLiteral("Terminal recepctor rs232 datos recaudaciones de maquinas "
                             "recreativas fabricante Tarvo")
            + QString(8, QLatin1Char(' ')),
        1050, 1125, 4092, 1170, true);

    QWidget::setTabOrder(cmdOK, cmdSysInfo);
    QWidget::setTabOrder(cmdSysInfo, picIcon);
    cmdOK->setFocus();

    connect(cmdOK, &QPushButton::clicked, this, &frmAbout::cmdOK_Click);
    connect(cmdSysInfo, &QPushButton::clicked, this, &frmAbout::cmdSysInfo_Click);

    Form_Load();
}

frmAbout::~frmAbout() = default;

void frmAbout::setRegistry(Registry &registry)
{
    m_registry = &registry;
}

void frmAbout::setProgramStarter(ProgramStarter starter)
{
    m_startProgram = std::move(starter);
}

bool frmAbout::startProgram(const QString &path)
{
    const QString file = fileSystemPath(path);
#ifdef Q_OS_WIN
    QProcess process;
    process.setProgram(file);
    process.setCreateProcessArgumentsModifier([](QProcess::CreateProcessArguments *arguments) {
        arguments->startupInfo->dwFlags |= STARTF_USESHOWWINDOW;
        arguments->startupInfo->wShowWindow = SW_SHOWNORMAL;
    });
    return process.startDetached();
#else
    // A detached start may report a program that cannot run only after the fact, and a bare
    // name would be looked for along the search path.
    const QFileInfo info(file);
    if (!info.isFile() || !info.isExecutable())
        return false;
    return QProcess::startDetached(info.absoluteFilePath(), {});
#endif
}

void frmAbout::Form_Load()
{
    const qint16 major = SALVEX_VERSION_MAJOR;
    const qint16 minor = SALVEX_VERSION_MINOR;
    const qint16 revision = SALVEX_VERSION_REVISION;
    lblVersion->setText(QStringLiteral("Version ") + QString::number(major) + QLatin1Char('.')
        + QString::number(minor) + QLatin1Char('.') + QString::number(revision));
    lblTitle->setText(AppTitle);
}

void frmAbout::cmdOK_Click()
{
    close();
}

void frmAbout::cmdSysInfo_Click()
{
    StartSysInfo();
}

void frmAbout::keyPressEvent(QKeyEvent *event)
{
    // OK is also the cancel button: Esc presses it.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        cmdOK->click();
        return;
    }
    QDialog::keyPressEvent(event);
}

void frmAbout::paintEvent(QPaintEvent *)
{
    // Line1, the etched separator: a grey line with a white one just below it.
    QPainter painter(this);
    painter.fillRect(QRect(QPoint(twips(225), twips(2430)), QPoint(twips(5657) - 1, twips(2430))),
        vbColor(0x808080));
    painter.fillRect(
        QRect(QPoint(twips(240), twips(2445)), QPoint(twips(5657) - 1, twips(2445) + 1)),
        vbColor(0xFFFFFF));
}

void frmAbout::StartSysInfo()
{
    const QString ProgramFile = QStringLiteral("\\MSINFO32.EXE");
    try {
        QString SysInfoPath;
        if (!GetKeyValue(HKeyLocalMachine,
                QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO"), QStringLiteral("PATH"),
                SysInfoPath)) {
            if (!GetKeyValue(HKeyLocalMachine,
                    QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools Location"),
                    QStringLiteral("MSINFO"), SysInfoPath))
                throw Failure { ErrorFileNotFound, QStringLiteral("No location is registered") };
            // Only this folder is tested; the first location's path goes straight to the start.
            if (!isNormalFile(SysInfoPath + ProgramFile))
                throw Failure { ErrorFileNotFound, SysInfoPath + ProgramFile };
            SysInfoPath += ProgramFile;
        }
        if (!m_startProgram(SysInfoPath))
            throw Failure { ErrorFileNotFound, SysInfoPath };
    } catch (const Failure &) {
        MsgBox(
            QStringLiteral("System Information Is Unavailable At This Time"), vbOKOnly, AppTitle);
    }
}

bool frmAbout::GetKeyValue(
    quint32 KeyRoot, const QString &KeyName, const QString &SubKeyRef, QString &KeyVal)
{
    Registry::Handle hKey = 0;
    // Closed on every way out, also after a failed opening, when the handle is still empty.
    const auto closeKey = qScopeGuard([&] { m_registry->close(hKey); });

    if (m_registry->open(KeyRoot, KeyName.toLocal8Bit(), KeyAccess, hKey) != RegistrySuccess) {
        KeyVal.clear();
        return false;
    }

    QByteArray tmpVal(1024, '\0');
    quint32 KeyValSize = 1024;
    quint32 KeyValType = 0;
    if (m_registry->queryValue(hKey, SubKeyRef.toLocal8Bit(), KeyValType, tmpVal.data(), KeyValSize)
        != RegistrySuccess) {
        KeyVal.clear();
        return false;
    }

    // The value ends at its first NUL; data that fills the whole buffer has no end to cut at.
    const qsizetype end = tmpVal.indexOf('\0');
    if (end < 0)
        throw Failure { ErrorMoreData, SubKeyRef };
    const QByteArray kept = tmpVal.left(end);

    switch (KeyValType) {
    case ValueText:
        KeyVal = QString::fromLocal8Bit(kept);
        break;
    case ValueNumber: {
        // The bytes from last to first, each in hexadecimal without leading zeros, are read
        // back as one hexadecimal number.
        for (qsizetype i = kept.size() - 1; i >= 0; --i)
            KeyVal += QString::number(uchar(kept.at(i)), 16).toUpper();
        bool isNumber = false;
        const qulonglong number = KeyVal.toULongLong(&isNumber, 16);
        if (!isNumber)
            throw Failure { ErrorInvalidData, SubKeyRef };
        KeyVal = QString::number(number);
        break;
    }
    default:
        break;
    }
    return true;
}
