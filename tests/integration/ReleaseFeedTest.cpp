// SPDX-License-Identifier: MIT
// The release check's helper-backed client: over real HTTPS against a loopback server whose
// private certificate authority only the client under test trusts, and against helpers that
// misbehave.
#include "Platform/Qt/HelperHttpClient.hpp"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

using namespace quenlark;
using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

constexpr int answerLimitMs = 20'000;

struct Fetched {
    int completions = 0;
    std::optional<QByteArray> body;
};

std::shared_ptr<Fetched> startFetch(HttpClient& client, const QUrl& url)
{
    auto fetched = std::make_shared<Fetched>();
    client.get(url, [fetched](std::optional<QByteArray> body) {
        ++fetched->completions;
        fetched->body = std::move(body);
    });
    return fetched;
}

// Runs what the main thread has queued, deferred deletes included: once a helper's process is
// deleted, nothing can complete its request a second time.
void drainMainQueue()
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// One whole GET: what it delivered, once it has completed exactly once.
std::optional<QByteArray> fetch(HttpClient& client, const QUrl& url, int limitMs = answerLimitMs)
{
    const auto fetched = startFetch(client, url);
    EXPECT_TRUE(QTest::qWaitFor([&] { return fetched->completions > 0; }, limitMs));
    drainMainQueue();
    EXPECT_EQ(fetched->completions, 1);
    return fetched->body;
}

// tests/integration/release_feed_server.py, up as long as this object; the first path segment
// picks its answer, and it reports on standard output how each exchange ended.
class FeedServer {
public:
    FeedServer()
    {
        QObject::connect(&process_, &QProcess::readyReadStandardOutput, &process_, [this] {
            while (process_.canReadLine())
                lines_.append(QString::fromUtf8(process_.readLine()).trimmed());
        });
    }

    ~FeedServer()
    {
        // The server leaves when its standard input closes.
        process_.closeWriteChannel();
        if (!process_.waitForFinished(10'000))
            process_.kill();
        process_.waitForFinished(10'000);
    }

    bool start()
    {
        process_.start(QStringLiteral(PYTHON3), {QStringLiteral(RELEASE_FEED_SERVER), dir_.path()});
        // Four keys and three certificates take a while on a busy machine.
        return waitForEvent(u"ready"_s, 60'000);
    }

    QUrl url(const char* listener, const char* scenario) const
    {
        const QString port = event(u"port "_s + QString::fromUtf8(listener)).section(u' ', 2);
        return QUrl(u"https://127.0.0.1:%1/%2/releases/latest.json"_s.arg(
            port, QString::fromUtf8(scenario)));
    }

    // A client that trusts the server's own authority and nothing else.
    std::unique_ptr<HelperHttpClient> trustingClient() const
    {
        return std::make_unique<HelperHttpClient>(
            QStringLiteral(FETCH_HELPER),
            QStringList{u"--ca-certificates"_s, event(u"ca "_s).section(u' ', 1)});
    }

    bool waitForEvent(const QString& prefix, int limitMs = answerLimitMs) const
    {
        return QTest::qWaitFor([&] { return !event(prefix).isEmpty(); }, limitMs);
    }

    QString event(const QString& prefix) const
    {
        for (const QString& line : lines_)
            if (line.startsWith(prefix))
                return line;
        return {};
    }

private:
    QTemporaryDir dir_;
    QProcess process_;
    QStringList lines_;
};

class ReleaseFeedTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (!QFileInfo(QStringLiteral(PYTHON3)).isExecutable() ||
            QStandardPaths::findExecutable(u"openssl"_s).isEmpty())
            GTEST_SKIP() << "needs " PYTHON3 " and openssl (scripts/install-deps installs both)";
        ASSERT_TRUE(server.start()) << "the feed server did not start";
    }

    FeedServer server;
};

const QByteArray feedBody =
    R"({"version":"9.1.0","mac_url":"https://quenlark.example/get/9.1.0","notes":"Faster."})";

struct Exchange {
    const char* name;
    const char* listener;
    const char* scenario;
    std::optional<QByteArray> delivered;
    const char* serverSaw; // the server's account of how the exchange ended
};

void PrintTo(const Exchange& exchange, std::ostream* out)
{
    *out << exchange.name;
}

class ReleaseFeedExchangeTest : public ReleaseFeedTest,
                                public testing::WithParamInterface<Exchange> {};

} // namespace

TEST_P(ReleaseFeedExchangeTest, DeliversOnlyWholeBodiesOverTrustedHttps)
{
    const Exchange& row = GetParam();
    EXPECT_EQ(fetch(*server.trustingClient(), server.url(row.listener, row.scenario)),
              row.delivered);
    EXPECT_TRUE(server.waitForEvent(QString::fromUtf8(row.serverSaw)))
        << "the server never reported " << row.serverSaw;
}

INSTANTIATE_TEST_SUITE_P(
    Exchanges, ReleaseFeedExchangeTest,
    testing::Values(
        // The status is not reported: an error page is a body like any other.
        Exchange{"Status200", "trusted", "newer", feedBody, "sent newer"},
        Exchange{"Status404", "trusted", "missing",
                 "<!doctype html><html><head><title>404 Not Found</title></head><body>Gone</body>"
                 "</html>",
                 "sent missing"},
        Exchange{"Status500", "trusted", "failing", feedBody, "sent failing"},
        Exchange{"Redirect", "trusted", "moved", feedBody, "sent newer"},
        Exchange{"RedirectToPlainHttp", "trusted", "downgrade", std::nullopt, "sent downgrade"},
        // Qt would inflate a compressed body before the 64 KiB cap could see it.
        Exchange{"AsksForIdentityEncoding", "trusted", "encoding", "identity", "sent encoding"},
        Exchange{"ClosedMidBody", "trusted", "cut", std::nullopt, "cut cut"},
        // The server offers 1 GiB; the client goes away once past the cap, not at its timeouts.
        Exchange{"OversizedBody", "trusted", "huge", std::nullopt, "cut huge"},
        Exchange{"UntrustedAuthority", "untrusted", "newer", std::nullopt,
                 "handshake-failed untrusted"},
        Exchange{"CertificateForAnotherHost", "wronghost", "newer", std::nullopt,
                 "handshake-failed wronghost"}),
    [](const testing::TestParamInfo<Exchange>& info) { return std::string(info.param.name); });

TEST_F(ReleaseFeedTest, EndlessRedirectsStopAfterFive)
{
    EXPECT_EQ(fetch(*server.trustingClient(), server.url("trusted", "loop")), std::nullopt);
    EXPECT_TRUE(server.waitForEvent(u"hop loop 5"_s));
    QTest::qWait(500);
    EXPECT_EQ(server.event(u"hop loop 6"_s), QString());
}

// Both servers would keep the connection up for a minute: the stall timeout alone ends the
// stalled one, the total timeout alone the trickling one.
TEST_F(ReleaseFeedTest, StalledAndTricklingServersAreCutOff)
{
    for (const auto& [scenario, total] : {std::pair{"stalled", 60s}, {"trickle", 3s}}) {
        SCOPED_TRACE(scenario);
        const auto client = server.trustingClient();
        client->setTimeouts(1s, total);
        EXPECT_EQ(fetch(*client, server.url("trusted", scenario)), std::nullopt);
        EXPECT_TRUE(server.waitForEvent(u"cut "_s + QString::fromUtf8(scenario)));
    }
}

TEST_F(ReleaseFeedTest, DestroyingTheClientCompletesARequestOnce)
{
    // Destroyed before its helper started, and while the helper waits on a stalled server.
    for (const bool helperRunning : {false, true}) {
        SCOPED_TRACE(helperRunning ? "helper running" : "helper not started");
        auto client = server.trustingClient();
        const auto fetched = startFetch(*client, server.url("trusted", "stalled"));
        if (helperRunning) {
            ASSERT_TRUE(server.waitForEvent(u"request stalled"_s));
        }
        client.reset();
        QTest::qWait(200);
        drainMainQueue();
        EXPECT_EQ(fetched->completions, 1);
        EXPECT_EQ(fetched->body, std::nullopt);
    }
    // The killed helper's connection closes.
    EXPECT_TRUE(server.waitForEvent(u"cut stalled"_s));
}

// What the client makes of a helper's end, with shell scripts standing in for the helper; and the
// real helper given addresses it must not fetch.
TEST(HelperEndTest, OnlyAWholeBodyFromACleanExitIsDelivered)
{
    const struct {
        const char* script; // run by sh -c; none: no helper at all
        std::optional<QByteArray> delivered;
    } table[] = {
        {"exit 0", QByteArray()},
        {"head -c 65536 /dev/zero", QByteArray(65536, '\0')},
        {"head -c 65537 /dev/zero", std::nullopt},
        {"exec cat /dev/zero", std::nullopt},
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
        const int limit = answerLimitMs + static_cast<int>(HelperHttpClient::exitGrace.count());
        EXPECT_EQ(fetch(client, QUrl(u"https://quenlark.example/latest.json"_s), limit),
                  row.delivered);
    }
}

TEST(HelperEndTest, OnlyWebAddressesAreFetched)
{
    HelperHttpClient client(QStringLiteral(FETCH_HELPER));
    for (const QUrl& url :
         {QUrl::fromLocalFile(QStringLiteral(RELEASE_FEED_SERVER)),
          QUrl(u"data:application/json,"_s + QString::fromUtf8(feedBody)), QUrl(u"--version"_s)}) {
        SCOPED_TRACE(url.toString().toStdString());
        EXPECT_EQ(fetch(client, url), std::nullopt);
    }
}
