// SPDX-License-Identifier: MIT
#pragma once

#include <QCoreApplication>
#include <QDesktopServices>
#include <QList>
#include <QObject>
#include <QUrl>

namespace quenlark::testing {

// Delivers the queued work of a few rounds: the view model's bindings post their assignments,
// whose announcements in turn post the panel's refresh.
inline void settle()
{
    for (int round = 0; round < 4; ++round)
        QCoreApplication::sendPostedEvents();
}

// Takes every https address the program opens instead of a browser, for as long as it lives.
class UrlRecorder : public QObject {
    Q_OBJECT

public:
    UrlRecorder() { QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "open"); }
    ~UrlRecorder() override { QDesktopServices::unsetUrlHandler(QStringLiteral("https")); }

    QList<QUrl> opened;

public Q_SLOTS:
    void open(const QUrl& url) { opened.append(url); }
};

} // namespace quenlark::testing
