// SPDX-License-Identifier: MIT
// The release check's helper-backed client: over real HTTPS against a loopback server whose private
// certificate authority only the client under test trusts, and against misbehaving helpers.
#include "Platform/Qt/HelperHttpClient.hpp"
#include "RowName.hpp"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

using namespace quenlark;
using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using quenlark::testing_support::RowName;

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

struct ExchangeRow {
    const char* name;
    const char* listener;
    const char* scenario;
    std::optional<QByteArray> delivered;
    const char* serverSaw; // how the exchange ended, to the server
    std::chrono::seconds total = 60s;
    const char* serverNeverSaw = nullptr;
};
const ExchangeRow exchangeRows[] = {
    // Five redirects are followed, and no sixth.
    {"RedirectLoop", "trusted", "loop", std::nullopt, "hop loop 5", 60s, "hop loop 6"},
    // The status is not reported: an error page is a body like any other.
    {"ErrorPage", "trusted", "failing", feedBody, "sent failing"},
    {"Moved", "trusted", "moved", feedBody, "sent newer"},
    {"RedirectToPlainHttp", "trusted", "downgrade", std::nullopt, "sent downgrade"},
    // Qt would inflate a compressed body before the 64 KiB cap could see it.
    {"NoCompression", "trusted", "encoding", "identity", "sent encoding"},
    {"CutShort", "trusted", "cut", std::nullopt, "cut cut"},
    {"BodyAtTheCap", "trusted", "full", QByteArray(64 * 1024, 'x'), "sent full"},
    {"BodyOverTheCap", "trusted", "over", std::nullopt, "request over"},
    // 1 GiB on offer: the client goes away past the cap, long before its timeouts.
    {"Huge", "trusted", "huge", std::nullopt, "cut huge"},
    // Both would keep the connection up for a minute: the stall timeout alone cuts off the
    // stalled one, the total timeout alone the trickling one.
    {"Stalled", "trusted", "stalled", std::nullopt, "cut stalled"},
    {"Trickle", "trusted", "trickle", std::nullopt, "cut trickle", 6s},
    {"UntrustedAuthority", "untrusted", "newer", std::nullopt, "handshake-failed untrusted"},
    {"WrongHost", "wronghost", "newer", std::nullopt, "handshake-failed wronghost"},
};

// Against tests/support/release_feed_server.py, started once for all rows, which tells on
// standard output how each exchange ended; the first segment of a path picks its answer.
class ReleaseFeedTest : public testing::TestWithParam<ExchangeRow> {
protected:
    static void SetUpTestSuite()
    {
        dir = std::make_unique<QTemporaryDir>();
        server = std::make_unique<QProcess>();
        QObject::connect(server.get(), &QProcess::readyReadStandardOutput, [] {
            while (server->canReadLine())
                events.append(QString::fromUtf8(server->readLine()).trimmed());
        });
        server->start(u"/usr/bin/python3"_s, {QStringLiteral(RELEASE_FEED_SERVER), dir->path()});
    }
    static void TearDownTestSuite()
    {
        server->closeWriteChannel(); // the server leaves when its standard input closes
        server->waitForFinished();
        server.reset();
        dir.reset();
    }

    static bool saw(const QString& event, int limitMs = 20'000)
    {
        return QTest::qWaitFor([&] { return !events.filter(event).isEmpty(); }, limitMs);
    }

    static inline std::unique_ptr<QTemporaryDir> dir;
    static inline std::unique_ptr<QProcess> server;
    static inline QStringList events;
};

} // namespace

TEST_P(ReleaseFeedTest, DeliversOnlyWholeBodiesOverTrustedHttps)
{
    // Four keys and three certificates take a while on a busy machine.
    ASSERT_TRUE(saw(u"ready"_s, 60'000)) << server->readAllStandardError().toStdString();
    // The client under test trusts the server's own authority and nothing else.
    const QString authority = events.filter(u"ca "_s).value(0).section(u' ', 1);
    const auto& row = GetParam();
    const QString port =
        events.filter(u"port "_s + QLatin1StringView(row.listener)).value(0).section(u' ', 2);
    HelperHttpClient client(QStringLiteral(FETCH_HELPER), {u"--ca-certificates"_s, authority});
    client.setTimeouts(3s, row.total);
    EXPECT_EQ(fetch(client, QUrl(u"https://127.0.0.1:%1/%2/releases/latest.json"_s.arg(
                                port, QLatin1StringView(row.scenario)))),
              row.delivered);
    EXPECT_TRUE(saw(QLatin1StringView(row.serverSaw)));
    if (row.serverNeverSaw) {
        EXPECT_FALSE(saw(QLatin1StringView(row.serverNeverSaw), 1000));
    }
}
INSTANTIATE_TEST_SUITE_P(Rows, ReleaseFeedTest, testing::ValuesIn(exchangeRows), RowName());

struct HelperRow {
    const char* name;
    const char* script; // run by sh -c; none: no helper at all
    std::optional<QByteArray> delivered;
};
const HelperRow helperRows[] = {
    {"EmptyBody", "exit 0", QByteArray()},
    {"BodyAtTheCap", "head -c 65536 /dev/zero", QByteArray(65536, '\0')},
    {"FailedExit", "printf partial; exit 1", std::nullopt},
    {"Crashed", "printf partial; kill -SEGV $$", std::nullopt},
    {"Hung", "printf partial; exec sleep 60", std::nullopt},
    {"NoHelper", nullptr, std::nullopt},
};

class HelperEndTest : public testing::TestWithParam<HelperRow> {};

// Shell scripts stand in for the helper, whose clean exit alone vouches for the body.
TEST_P(HelperEndTest, OnlyAWholeBodyFromACleanExitIsDelivered)
{
    const auto& row = GetParam();
    HelperHttpClient client(row.script ? u"/bin/sh"_s : u"/nonexistent/helper"_s,
                            {u"-c"_s, QString::fromUtf8(row.script), u"helper"_s});
    client.setTimeouts(500ms, 1s);
    // The total timeout and the grace after it, with room for a loaded machine.
    EXPECT_EQ(fetch(client, QUrl(u"https://quenlark.example/latest.json"_s),
                    20s + HelperHttpClient::exitGrace),
              row.delivered);
}
INSTANTIATE_TEST_SUITE_P(Rows, HelperEndTest, testing::ValuesIn(helperRows), RowName());
