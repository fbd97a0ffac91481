// SPDX-License-Identifier: MIT
#include "dirlistbox.h"

#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QKeyEvent>
#include <QStyle>

#include "textfilewriter.h"
#include "twips.h"

DirListBox::DirListBox(QWidget *parent) : QTreeWidget(parent)
{
    setColumnCount(1);
    setHeaderHidden(true);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setExpandsOnDoubleClick(false);
    setUniformRowHeights(true);
    setIndentation(twips(150));
    setIconSize(QSize(16, 13));
    setSelectionMode(QAbstractItemView::SingleSelection);
    setAllColumnsShowFocus(true);
    connect(this, &QTreeWidget::itemDoubleClicked, this, &DirListBox::openItem);
    try {
        setPath(QDir::currentPath());
    } catch (const Failure &) {
        // A current folder that cannot be read leaves the list empty until one is opened.
    }
}

QString DirListBox::Path() const
{
    return QDir::toNativeSeparators(m_path);
}

void DirListBox::setPath(const QString &folder)
{
    const QFileInfo info(folder);
    if (!info.isDir())
        throw Failure { TextFileWriter::PathNotFound,
            QStringLiteral("No se encontró la ruta de acceso") };
#ifdef Q_OS_WIN
    const bool searchable = true;
#else
    const bool searchable = info.isExecutable();
#endif
    if (!info.isReadable() || !searchable)
        throw Failure { TextFileWriter::PermissionDenied, QStringLiteral("Permiso denegado") };
    const QDir dir(info.absoluteFilePath());
    const QFileInfoList subfolders
        = dir.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);

    QStringList chain;
    for (QDir up(dir.absolutePath());;) {
        chain.prepend(up.absolutePath());
        if (up.isRoot() || !up.cdUp())
            break;
    }

    clear();
    m_opened = nullptr;
    QTreeWidgetItem *item = nullptr;
    for (const QString &path : std::as_const(chain))
        item = addEntry(item, path, true);
    QTreeWidgetItem *opened = item;
    for (const QFileInfo &sub : subfolders)
        addEntry(opened, sub.absoluteFilePath(), false);
    expandAll();
    setCurrentItem(opened);
    m_opened = opened;
    m_path = chain.last();
    showOpened();
}

QTreeWidgetItem *DirListBox::addEntry(QTreeWidgetItem *above, const QString &path, bool opened)
{
    const QDir dir(path);
    const QString text
        = dir.isRoot() ? QDir::toNativeSeparators(dir.absolutePath()) : QFileInfo(path).fileName();
    auto *item = above ? new QTreeWidgetItem(above) : new QTreeWidgetItem(this);
    item->setText(0, text);
    item->setData(0, Qt::UserRole, path);
    item->setIcon(
        0, style()->standardIcon(opened ? QStyle::SP_DirOpenIcon : QStyle::SP_DirClosedIcon));
    return item;
}

void DirListBox::showOpened()
{
    // The ancestors stay in sight as long as the opened folder does.
    scrollToTop();
    if (m_opened)
        scrollToItem(m_opened);
}

void DirListBox::resizeEvent(QResizeEvent *event)
{
    QTreeWidget::resizeEvent(event);
    showOpened();
}

void DirListBox::openItem(QTreeWidgetItem *item)
{
    if (!item)
        return;
    try {
        setPath(item->data(0, Qt::UserRole).toString());
    } catch (const Failure &) {
        // A folder that went away or cannot be read leaves the list as it was.
    }
}

void DirListBox::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        openItem(currentItem());
        event->accept();
        return;
    }
    QTreeWidget::keyPressEvent(event);
}
