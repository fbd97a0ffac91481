// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QTreeWidget>

// A classic folder list: the opened folder under its ancestors, each one level further in,
// and its subfolders below it. Double-click or Enter opens the highlighted folder; opening
// never changes the process's current folder.
class DirListBox : public QTreeWidget
{
    Q_OBJECT

public:
    explicit DirListBox(QWidget *parent = nullptr);

    // The opened folder, in the system's own notation; not the highlighted entry.
    QString Path() const;
    // Opens a folder. Throws Failure 76 when it does not exist and 70 when it cannot be
    // read; the list then keeps its folder.
    void setPath(const QString &folder);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    // Every level is always open, so there is nothing to expand or fold.
    void drawBranches(QPainter *, const QRect &, const QModelIndex &) const override { }

private:
    void openItem(QTreeWidgetItem *item);
    void showOpened();
    QTreeWidgetItem *addEntry(QTreeWidgetItem *above, const QString &path, bool opened);

    QString m_path;
    QTreeWidgetItem *m_opened = nullptr;
};
