// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;
class QLocalSocket;
class QLockFile;

namespace quenlark {

// Keeps one running program per user. The first process holds a lock and listens on a local
// socket; a later one finds the lock taken, asks the running one to show its panel and is told
// to leave, so that no second clicker link is ever started.
class SingleInstanceGuard : public QObject {
    Q_OBJECT

public:
    // `name` is the full path of a local socket in a folder private to the user; with an empty
    // name every launch runs.
    explicit SingleInstanceGuard(QString name, QObject* parent = nullptr);
    ~SingleInstanceGuard() override;

    // The per-user name: a socket in the user's private runtime folder, or empty without one.
    static QString defaultName();

    // True when this process is the one to run. Otherwise the running process has been asked to
    // show its panel (waiting a few seconds at most for it to listen), and the caller should exit.
    bool claim();

Q_SIGNALS:
    // Another launch asked this running process to show its panel.
    void showPanelRequested();

private:
    void askRunningInstance();
    void serve(QLocalSocket* socket);

    QString name_;
    std::unique_ptr<QLockFile> lock_;
    QLocalServer* server_ = nullptr;
};

} // namespace quenlark
