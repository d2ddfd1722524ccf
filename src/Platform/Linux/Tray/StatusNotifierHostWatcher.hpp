// SPDX-License-Identifier: MIT
#pragma once

#include <QDBusConnection>
#include <QObject>

#include <optional>

class QDBusServiceWatcher;

namespace quenlark {

// Follows whether a StatusNotifierItem host (the tray of current Linux desktops) is registered
// on the session bus. Qt decides once, when the first tray icon is made, whether that tray
// exists; waiting for this watcher's yes before making the icon keeps a tray that starts after
// the program from being missed.
class StatusNotifierHostWatcher : public QObject {
    Q_OBJECT

public:
    static const QString& watcherService();

    explicit StatusNotifierHostWatcher(const QDBusConnection& bus, QObject* parent = nullptr);

    // Asks the bus once without blocking, then follows every change.
    void start();
    // Absent until the first answer has arrived.
    std::optional<bool> isHostPresent() const { return present_; }

Q_SIGNALS:
    // The first answer, then every change.
    void presenceChanged(bool present);

private Q_SLOTS:
    void query();

private:
    void setPresent(bool present);

    QDBusConnection bus_;
    QDBusServiceWatcher* serviceWatcher_;
    std::optional<bool> present_;
    quint64 lastQuery_ = 0;
};

} // namespace quenlark
