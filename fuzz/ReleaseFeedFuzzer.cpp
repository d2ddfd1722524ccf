// SPDX-License-Identifier: MIT
// Hands the input to the release check as the feed's body, answered at once on the calling
// thread, then runs the main queue. Whatever the body, nothing may crash, the callback comes at
// most once, and only for a JSON object whose string "version" is newer than the running one,
// with that version unchanged and an absolute http or https address.

#include "Core/UpdateChecker.hpp"
#include "FakeHttpClient.hpp"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdint>
#include <cstdio>
#include <memory>

using namespace quenlark;

namespace {

const QString running = QStringLiteral("1.0");

[[noreturn]] void broken(const char* rule)
{
    std::fprintf(stderr, "release check broke: %s\n", rule);
    __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    // The update callback is posted to the main queue, which needs an application object.
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray body(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    fakes::FakeHttpClient http;
    int calls = 0;
    QString offeredVersion;
    QUrl offeredURL;
    checkForUpdates(http, running, [&](const QString& version, const QUrl& url) {
        ++calls;
        offeredVersion = version;
        offeredURL = url;
    });
    if (http.requests.size() != 1 || !http.pending)
        broken("the check did not make exactly one request");
    std::exchange(http.pending, {})(body);
    QCoreApplication::sendPostedEvents();

    if (calls > 1)
        broken("the callback came more than once");
    if (calls == 0)
        return 0;
    const QJsonDocument document = QJsonDocument::fromJson(body);
    const QJsonObject feed = document.object();
    if (!document.isObject() || !feed.value(u"version").isString() ||
        !feed.value(u"mac_url").isString())
        broken("an update was offered from a body that is no usable feed");
    if (offeredVersion != feed.value(u"version").toString())
        broken("the offered version is not the feed's text");
    if (!isNewer(offeredVersion, running))
        broken("the offered version is not newer than the running one");
    if (!offeredURL.isValid() || offeredURL.isRelative() ||
        (offeredURL.scheme() != u"http" && offeredURL.scheme() != u"https"))
        broken("the offered address is not an absolute http or https URL");
    return 0;
}
