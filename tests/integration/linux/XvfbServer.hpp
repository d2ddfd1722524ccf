// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace quenlark::integration {

// A private X server for one test: it picks a free display itself and is stopped on destruction.
class XvfbServer {
public:
    explicit XvfbServer(const QStringList& extraArguments = {});
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    bool isRunning() const { return !display_.isEmpty(); }
    // ":N" once running.
    QByteArray display() const { return display_; }
    // Why it did not start.
    QString failure() const { return failure_; }

private:
    QProcess process_;
    QByteArray display_;
    QString failure_;
};

} // namespace quenlark::integration
