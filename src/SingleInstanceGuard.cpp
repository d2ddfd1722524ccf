// SPDX-License-Identifier: MIT
#include "SingleInstanceGuard.hpp"

#include "Core/DiagnosticLog.hpp"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

namespace quenlark {

namespace {
const QByteArray& showRequest()
{
    static const QByteArray request = QByteArrayLiteral("show\n");
    return request;
}

// Requests are one short line; anything longer is not ours and is cut off.
constexpr qint64 maxRequestLength = 64;
constexpr int clientTimeoutMilliseconds = 5000;
constexpr int askTimeoutMilliseconds = 3000;
constexpr int connectAttemptMilliseconds = 500;
constexpr int retryPauseMilliseconds = 100;
} // namespace

SingleInstanceGuard::SingleInstanceGuard(QString name, QObject* parent)
    : QObject(parent), name_(std::move(name))
{}

SingleInstanceGuard::~SingleInstanceGuard() = default;

QString SingleInstanceGuard::defaultName()
{
    // Qt hands out a runtime folder only when it is this user's and closed to others (its own
    // fallback in the temporary folder is checked the same way). A name in a shared folder could
    // be taken by another user, and every start would then leave at once.
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (runtime.isEmpty())
        return {};
    return QDir(runtime).filePath(QStringLiteral("quenlark-companion"));
}

bool SingleInstanceGuard::claim()
{
    if (name_.isEmpty()) {
        qCInfo(lcDiagnostic).noquote()
            << QStringLiteral("[App] No private runtime folder: a second start of the "
                              "program will not be noticed");
        return true;
    }
    lock_ = std::make_unique<QLockFile>(name_ + QStringLiteral(".lock"));
    // Stale only when its process is gone: a running program holds the lock for days.
    lock_->setStaleLockTime(0);
    if (!lock_->tryLock(0)) {
        askRunningInstance();
        return false;
    }

    // Holding the lock, any socket file left behind is from a run that crashed.
    QLocalServer::removeServer(name_);
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_->nextPendingConnection())
            serve(socket);
    });
    // Without the socket the program still runs; a second launch then only fails to reach it.
    server_->listen(name_);
    return true;
}

void SingleInstanceGuard::askRunningInstance()
{
    // The lock holder may have just started and not be listening yet.
    const QDeadlineTimer deadline(askTimeoutMilliseconds);
    QLocalSocket socket;
    while (!deadline.hasExpired()) {
        socket.connectToServer(name_);
        if (socket.waitForConnected(connectAttemptMilliseconds)) {
            socket.write(showRequest());
            socket.waitForBytesWritten(connectAttemptMilliseconds);
            socket.disconnectFromServer();
            return;
        }
        socket.abort();
        QThread::msleep(retryPauseMilliseconds);
    }
}

void SingleInstanceGuard::serve(QLocalSocket* socket)
{
    auto finish = [socket] {
        socket->abort();
        socket->deleteLater();
    };
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket, finish] {
        if (socket->canReadLine()) {
            if (socket->readLine(maxRequestLength + 1) == showRequest())
                Q_EMIT showPanelRequested();
            finish();
        } else if (socket->bytesAvailable() > maxRequestLength) {
            finish();
        }
    });
    QTimer::singleShot(clientTimeoutMilliseconds, socket, finish);
}

} // namespace quenlark
