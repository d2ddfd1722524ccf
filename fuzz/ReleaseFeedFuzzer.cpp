// SPDX-License-Identifier: MIT
// The input is the feed's body. Whatever it is, nothing may crash, and the release check offers at
// most once: the version of a JSON object's "version", verbatim and newer than the running one,
// with an absolute http(s) address.
#include "Core/UpdateChecker.hpp"
#include "FakeHttpClient.hpp"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>

using namespace quenlark;

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv); // the offer is posted to the main queue
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray body(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    fakes::FakeHttpClient http;
    int offers = 0;
    checkForUpdates(http, QStringLiteral("1.0"), [&](const QString& version, const QUrl& url) {
        const bool web = url.scheme() == u"https" || url.scheme() == u"http";
        if (++offers > 1 || version != QJsonDocument::fromJson(body)[u"version"].toString() ||
            !isNewer(version, QStringLiteral("1.0")) || !web || url.host().isEmpty())
            __builtin_trap();
    });
    std::exchange(http.pending, {})(body);
    QCoreApplication::sendPostedEvents();
    return 0;
}
