// Writes the program's icon as PNG files for the desktop's icon theme, at build time.
#include "salvexicon.h"

#include <QGuiApplication>

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3)
        return 2;
    return salvexPixmap(args[1].toInt()).save(args[2], "PNG") ? 0 : 1;
}
