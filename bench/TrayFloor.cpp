// SPDX-License-Identifier: MIT
// The start-up floor: the least a Qt Widgets program does to put an item in the tray, measured
// the same way as the program (bench/start_up.py --program <this>) to tell Qt's own cost from
// the program's.

#include <QApplication>
#include <QIcon>
#include <QPixmap>
#include <QSystemTrayIcon>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    QPixmap pixmap(22, 22);
    pixmap.fill(Qt::black);
    QSystemTrayIcon tray{QIcon(pixmap)};
    tray.show();
    return QApplication::exec();
}
