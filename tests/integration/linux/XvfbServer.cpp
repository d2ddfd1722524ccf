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
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral("Xvfb"), arguments);
    if (!m_process.waitForStarted(startTimeoutMs)) {
        m_failure = QStringLiteral("Xvfb did not start: ") + m_process.errorString();
        return;
    }
    const QDeadlineTimer deadline(startTimeoutMs);
    QByteArray output;
    while (!output.contains('\n') && !deadline.hasExpired() &&
           m_process.state() == QProcess::Running) {
        m_process.waitForReadyRead(static_cast<int>(deadline.remainingTime()));
        output += m_process.readAllStandardOutput();
    }
    const QByteArray number = output.trimmed();
    if (!output.contains('\n') || number.isEmpty()) {
        m_failure = QStringLiteral("Xvfb gave no display number (its messages are above)");
        return;
    }
    m_display = ':' + number;
}

XvfbServer::~XvfbServer()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(stopTimeoutMs)) {
        m_process.kill();
        m_process.waitForFinished(stopTimeoutMs);
    }
}

} // namespace quenlark::integration
