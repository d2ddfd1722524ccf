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

    bool isRunning() const { return !m_display.isEmpty(); }
    // ":N" once running.
    QByteArray display() const { return m_display; }
    // Why it did not start.
    QString failure() const { return m_failure; }

private:
    QProcess m_process;
    QByteArray m_display;
    QString m_failure;
};

} // namespace quenlark::integration
