// SPDX-License-Identifier: MIT
// Follows the first clicker found through the program's central and prints a line per callback;
// a re-entrant one fails the run. Usable by hand against a real clicker.
#include "Platform/Linux/Bluez/BluezCentral.hpp"
#include "RecordingDelegate.hpp"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Connects the first clicker found and prints what the adapter reports."));
    parser.addHelpOption();
    const QCommandLineOption values(QStringLiteral("values"),
                                    QStringLiteral("Exit after this many values (0: never)."),
                                    QStringLiteral("count"), QStringLiteral("0"));
    parser.addOption(values);
    parser.process(app);

    quenlark::integration::RecordingDelegate delegate;
    delegate.followClickers = true;
    delegate.onLine = [&, wanted = parser.value(values).toInt()](const QString& line) {
        QTextStream(stdout) << line << Qt::endl;
        if (wanted > 0 && delegate.count("value") == wanted)
            QCoreApplication::exit(delegate.reentrantCallbacks > 0 ? 3 : 0);
    };
    const quenlark::BluezCentral central(delegate);
    return QCoreApplication::exec();
}
