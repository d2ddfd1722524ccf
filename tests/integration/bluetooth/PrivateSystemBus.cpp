// SPDX-License-Identifier: MIT
#include "PrivateSystemBus.hpp"

#include "ChildProcess.hpp"

namespace quenlark::integration {

void PrivateSystemBus::stop()
{
    ChildProcess::stop(daemon_);
}

std::optional<QString> PrivateSystemBus::start(const QString& configFile)
{
    ChildProcess::endWithParent(daemon_);
    // Its standard error is kept back: as root without CAP_SYS_RESOURCE it warns on every start
    // that it cannot raise its file limit, which matters to nobody here.
    daemon_.start(QStringLiteral("dbus-daemon"),
                  {QStringLiteral("--config-file=") + configFile, QStringLiteral("--nofork"),
                   QStringLiteral("--print-address=1")});
    const auto address = ChildProcess::readLine(daemon_, QDeadlineTimer(20000));
    if (!address || address->isEmpty())
        return QStringLiteral("dbus-daemon printed no address: ") + daemon_.errorString() +
               QString::fromLocal8Bit(daemon_.readAllStandardError());
    address_ = *address;
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", address_.toLocal8Bit());
    return std::nullopt;
}

} // namespace quenlark::integration
