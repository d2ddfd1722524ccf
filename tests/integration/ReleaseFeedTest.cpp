// SPDX-License-Identifier: MIT
// The release check's helper-backed client: over real HTTPS against a loopback server whose
// private certificate authority only the client under test trusts, and against helpers that
// misbehave.
#include "Platform/Qt/HelperHttpClient.hpp"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

using namespace quenlark;
using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

const QByteArray feedBody =
    R"({"version":"9.1.0","mac_url":"https://quenlark.example/get/9.1.0","notes":"Faster."})";

// One whole GET: what it delivered, once it has completed exactly once. Waiting runs deferred
// deletes too: once a helper's process is deleted, nothing can complete its request again.
std::optional<QByteArray> fetch(HttpClient& client, const QUrl& url,
                                std::chrono::milliseconds limit = 20s)
{
    // Shared with the completion, which may outlive this call when the wait fails.
    const auto deliveries = std::make_shared<QList<std::optional<QByteArray>>>();
    client.get(url, [deliveries](std::optional<QByteArray> body) { deliveries->append(body); });
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return !deliveries->isEmpty(); }, static_cast<int>(limit.count())));
    EXPECT_EQ(deliveries->size(), 1);
    return deliveries->value(0);
}

} // namespace

// Against tests/support/release_feed_server.py, which tells on standard output how each
// exchange ended; the first segment of a path picks its answer.
TEST(ReleaseFeedTest, DeliversOnlyWholeBodiesOverTrustedHttps)
{
    QTemporaryDir dir;
    QProcess server;
    QStringList events;
    QObject::connect(&server, &QProcess::readyReadStandardOutput, [&] {
        while (server.canReadLine())
            events.append(QString::fromUtf8(server.readLine()).trimmed());
    });
    const auto saw = [&](const QString& event, int limitMs = 20'000) {
        return QTest::qWaitFor([&] { return !events.filter(event).isEmpty(); }, limitMs);
    };
    server.start(u"/usr/bin/python3"_s, {QStringLiteral(RELEASE_FEED_SERVER), dir.path()});
    // Four keys and three certificates take a while on a busy machine.
    ASSERT_TRUE(saw(u"ready"_s, 60'000)) << server.readAllStandardError().toStdString();
    // The client under test trusts the server's own authority and nothing else.
    const QString authority = events.filter(u"ca "_s).value(0).section(u' ', 1);

    const struct {
        const char* listener;
        const char* scenario;
        std::optional<QByteArray> delivered;
        const char* serverSaw; // how the exchange ended, to the server
        std::chrono::seconds total = 60s;
    } table[] = {
        {"trusted", "loop", std::nullopt, "hop loop 5"},
        // The status is not reported: an error page is a body like any other.
        {"trusted", "failing", feedBody, "sent failing"},
        {"trusted", "moved", feedBody, "sent newer"},
        {"trusted", "downgrade", std::nullopt, "sent downgrade"},
        // Qt would inflate a compressed body before the 64 KiB cap could see it.
        {"trusted", "encoding", "identity", "sent encoding"},
        {"trusted", "cut", std::nullopt, "cut cut"},
        {"trusted", "full", QByteArray(64 * 1024, 'x'), "sent full"},
        {"trusted", "over", std::nullopt, "request over"},
        // 1 GiB on offer: the client goes away past the cap, long before its timeouts.
        {"trusted", "huge", std::nullopt, "cut huge"},
        // Both would keep the connection up for a minute: the stall timeout alone cuts off the
        // stalled one, the total timeout alone the trickling one.
        {"trusted", "stalled", std::nullopt, "cut stalled"},
        {"trusted", "trickle", std::nullopt, "cut trickle", 6s},
        {"untrusted", "newer", std::nullopt, "handshake-failed untrusted"},
        {"wronghost", "newer", std::nullopt, "handshake-failed wronghost"},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.serverSaw);
        const QString port =
            events.filter(u"port "_s + QLatin1StringView(row.listener)).value(0).section(u' ', 2);
        HelperHttpClient client(QStringLiteral(FETCH_HELPER), {u"--ca-certificates"_s, authority});
        client.setTimeouts(3s, row.total);
        EXPECT_EQ(fetch(client, QUrl(u"https://127.0.0.1:%1/%2/releases/latest.json"_s.arg(
                                    port, QLatin1StringView(row.scenario)))),
                  row.delivered);
        EXPECT_TRUE(saw(QLatin1StringView(row.serverSaw)));
    }
    // Five redirects were followed, and by now a sixth would have shown.
    EXPECT_EQ(events.filter(u"hop loop 6"_s), QStringList());
    server.closeWriteChannel(); // the server leaves when its standard input closes
    server.waitForFinished();
}

// Shell scripts stand in for the helper, whose clean exit alone vouches for the body.
TEST(HelperEndTest, OnlyAWholeBodyFromACleanExitIsDelivered)
{
    const struct {
        const char* script; // run by sh -c; none: no helper at all
        std::optional<QByteArray> delivered;
    } table[] = {
        {"exit 0", QByteArray()},
        {"head -c 65536 /dev/zero", QByteArray(65536, '\0')},
        {"printf partial; exit 1", std::nullopt},
        {"printf partial; kill -SEGV $$", std::nullopt},
        {"printf partial; exec sleep 60", std::nullopt},
        {nullptr, std::nullopt},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.script ? row.script : "no helper");
        HelperHttpClient client(row.script ? u"/bin/sh"_s : u"/nonexistent/helper"_s,
                                {u"-c"_s, QString::fromUtf8(row.script), u"helper"_s});
        client.setTimeouts(500ms, 1s);
        // The total timeout and the grace after it, with room for a loaded machine.
        EXPECT_EQ(fetch(client, QUrl(u"https://quenlark.example/latest.json"_s),
                        20s + HelperHttpClient::exitGrace),
                  row.delivered);
    }
}
