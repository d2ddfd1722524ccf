// SPDX-License-Identifier: MIT
// Hands the input to the release check as the feed's body, then runs the main queue. Whatever the
// body, nothing may crash, and an offer comes at most once, only for a JSON object whose "version"
// is newer than the running one, with that version verbatim and an absolute http(s) address.
#include "Core/UpdateChecker.hpp"
#include "FakeHttpClient.hpp"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdint>

using namespace quenlark;

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    // The offer is posted to the main queue, which needs an application object.
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray body(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QString running = QStringLiteral("1.0");
    fakes::FakeHttpClient http;
    int offers = 0;
    checkForUpdates(http, running, [&](const QString& version, const QUrl& url) {
        const QJsonObject feed = QJsonDocument::fromJson(body).object();
        const bool web = url.scheme() == u"https" || url.scheme() == u"http";
        if (++offers > 1 || version != feed.value(u"version").toString() ||
            !isNewer(version, running) || !feed.value(u"mac_url").isString() || !web ||
            !url.isValid() || url.host().isEmpty())
            __builtin_trap();
    });
    std::exchange(http.pending, {})(body);
    QCoreApplication::sendPostedEvents();
    return 0;
}
