// SPDX-License-Identifier: MIT
#pragma once

#include <QDBusConnection>
#include <QMutex>
#include <QObject>
#include <QSemaphore>
#include <QStringList>
#include <QThread>

namespace quenlark::testing {

// The tray side of the StatusNotifierItem protocol: a watcher with one host registered. It lives
// on a thread and a bus connection of its own, because Qt asks it questions with blocking calls
// from the main thread.
class FakeStatusNotifierWatcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isHostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)

public:
    bool isHostRegistered() const { return true; }
    int protocolVersion() const { return 0; }
    QStringList items() const
    {
        QMutexLocker lock(&mutex_);
        return items_;
    }

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString& service)
    {
        {
            QMutexLocker lock(&mutex_);
            items_.append(service);
        }
        Q_EMIT StatusNotifierItemRegistered(service);
    }
    void RegisterStatusNotifierHost(const QString&) {}

Q_SIGNALS:
    void StatusNotifierItemRegistered(const QString& service);
    void StatusNotifierHostRegistered();

private:
    mutable QMutex mutex_;
    QStringList items_;
};

// Runs the fake watcher under its well-known name until stopped.
class FakeWatcherThread : public QThread {
public:
    ~FakeWatcherThread() override { stop(); }

    // Returns once the watcher's name is on the bus.
    bool startAndWait()
    {
        start();
        return ready_.tryAcquire(1, 30000) && registered_;
    }
    void stop()
    {
        quit();
        wait();
    }
    QStringList items() const
    {
        QMutexLocker lock(&mutex_);
        return watcher_ ? watcher_->items() : QStringList();
    }

protected:
    void run() override
    {
        const QString connectionName = QStringLiteral("fake-status-notifier-watcher");
        {
            QDBusConnection bus =
                QDBusConnection::connectToBus(QDBusConnection::SessionBus, connectionName);
            FakeStatusNotifierWatcher watcher;
            registered_ = bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &watcher,
                                             QDBusConnection::ExportAllContents) &&
                          bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"));
            {
                QMutexLocker lock(&mutex_);
                watcher_ = &watcher;
            }
            ready_.release();
            exec();
            {
                QMutexLocker lock(&mutex_);
                watcher_ = nullptr;
            }
            bus.unregisterService(QStringLiteral("org.kde.StatusNotifierWatcher"));
        }
        QDBusConnection::disconnectFromBus(connectionName);
    }

private:
    mutable QMutex mutex_;
    FakeStatusNotifierWatcher* watcher_ = nullptr;
    QSemaphore ready_;
    bool registered_ = false;
};

} // namespace quenlark::testing
