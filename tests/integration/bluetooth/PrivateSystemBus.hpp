// SPDX-License-Identifier: MIT
#pragma once

#include <QProcess>

#include <optional>

namespace quenlark::integration {

// A dbus-daemon of the test's own, standing in for the system bus. Qt opens the system bus once per
// process, so this starts before anything touches D-Bus and points DBUS_SYSTEM_BUS_ADDRESS at
// itself; children started afterwards inherit it.
class PrivateSystemBus {
public:
    ~PrivateSystemBus() { stop(); }
    // Returns why the daemon did not come up, if it did not.
    std::optional<QString> start(const QString& configFile);
    void stop();
    QString address() const { return address_; }

private:
    QProcess daemon_;
    QString address_;
};

} // namespace quenlark::integration
