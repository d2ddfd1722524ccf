// SPDX-License-Identifier: MIT
#include "XvfbServer.hpp"

#include <QDeadlineTimer>

namespace quenlark::integration {

namespace {
constexpr int startTimeoutMs = 30000;
constexpr int stopTimeoutMs = 10000;
} // namespace

XvfbServer::XvfbServer(const QStringList& extraArguments)
{
    // With -displayfd the server takes the first free display and writes its number, followed by
    // a newline, once it accepts connections.
    QStringList arguments{QStringLiteral("-displayfd"), QStringLiteral("1"),
                          QStringLiteral("-nolisten"),  QStringLiteral("tcp"),
                          QStringLiteral("-screen"),    QStringLiteral("0"),
                          QStringLiteral("640x480x24")};
    arguments += extraArguments;
    // Its messages go straight to the test's output, so no pipe can fill up and stall it.
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start(QStringLiteral("Xvfb"), arguments);
    if (!process_.waitForStarted(startTimeoutMs)) {
        failure_ = QStringLiteral("Xvfb did not start: ") + process_.errorString();
        return;
    }
    const QDeadlineTimer deadline(startTimeoutMs);
    QByteArray output;
    while (!output.contains('\n') && !deadline.hasExpired() &&
           process_.state() == QProcess::Running) {
        process_.waitForReadyRead(static_cast<int>(deadline.remainingTime()));
        output += process_.readAllStandardOutput();
    }
    const QByteArray number = output.trimmed();
    if (!output.contains('\n') || number.isEmpty()) {
        failure_ = QStringLiteral("Xvfb gave no display number (its messages are above)");
        return;
    }
    display_ = ':' + number;
}

XvfbServer::~XvfbServer()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.terminate();
    if (!process_.waitForFinished(stopTimeoutMs)) {
        process_.kill();
        process_.waitForFinished(stopTimeoutMs);
    }
}

} // namespace quenlark::integration
