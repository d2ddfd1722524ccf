// SPDX-License-Identifier: MIT
#include "ChildProcess.hpp"

#include <csignal>
#include <sys/prctl.h>

namespace quenlark::integration::ChildProcess {

void endWithParent(QProcess& process)
{
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
}

std::optional<QString> readLine(QProcess& process, QDeadlineTimer deadline)
{
    while (!process.canReadLine()) {
        if (deadline.hasExpired() || process.state() == QProcess::NotRunning)
            return std::nullopt;
        process.waitForReadyRead(static_cast<int>(std::min<qint64>(deadline.remainingTime(), 500)));
    }
    return QString::fromLocal8Bit(process.readLine()).trimmed();
}

void stop(QProcess& process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

} // namespace quenlark::integration::ChildProcess
