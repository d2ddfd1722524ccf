// SPDX-License-Identifier: MIT
#pragma once

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>

#include <csignal>
#include <functional>
#include <optional>
#include <sys/prctl.h>

namespace quenlark::integration {

// A process a test starts; the kernel ends it when the test process dies, even by a crash.
class ChildProcess : public QProcess {
public:
    ChildProcess()
    {
        setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    }
    ~ChildProcess() override { stop(); }

    void stop()
    {
        terminate();
        if (!waitForFinished(5000)) {
            kill();
            waitForFinished(5000);
        }
    }
    // The next line on its standard output; nothing if it exits or the deadline passes first.
    std::optional<QString> nextLine(QDeadlineTimer deadline)
    {
        while (!canReadLine()) {
            if (deadline.hasExpired() || state() == NotRunning)
                return std::nullopt;
            waitForReadyRead(static_cast<int>(std::min<qint64>(deadline.remainingTime(), 500)));
        }
        return QString::fromLocal8Bit(readLine()).trimmed();
    }
};

// Runs a nested event loop until the condition holds: unlike QTest::qWaitFor it never sleeps, so
// each D-Bus reply is handled as soon as it comes, and the way the program itself runs them.
inline bool waitUntil(const std::function<bool()>& condition, int ms = 20000)
{
    const QDeadlineTimer deadline(ms);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QEventLoop loop;
        QTimer::singleShot(50, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

} // namespace quenlark::integration
