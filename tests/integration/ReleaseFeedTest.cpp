// SPDX-License-Identifier: MIT
// The release check over real HTTPS: the helper-backed client, whose helper runs NetworkHttpClient,
// against a loopback server whose private certificate authority only the client under test
// trusts; and the client against helpers that misbehave.
#include "Core/UpdateChecker.hpp"
#include "Platform/Qt/HelperHttpClient.hpp"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <memory>
#include <vector>

using namespace quenlark;
using namespace Qt::StringLiterals;

namespace {

constexpr int serverStartLimitMs = 60'000; // four keys and three certificates on a busy machine
constexpr int answerLimitMs = 20'000;

const QByteArray feedBody =
    R"({"version":"9.1.0","mac_url":"https://quenlark.example/get/9.1.0","notes":"Faster."})";
const QByteArray htmlBody =
    "<!doctype html><html><head><title>404 Not Found</title></head><body>Gone</body></html>";

// The loopback server of tests/integration/release_feed_server.py, alive as long as this object.
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

    FeedServer(const FeedServer&) = delete;
    FeedServer& operator=(const FeedServer&) = delete;

    // Empty when the server is up, else what went wrong.
    QString start()
    {
        process_.start(QStringLiteral(PYTHON3), {QStringLiteral(RELEASE_FEED_SERVER), dir_.path()});
        if (!QTest::qWaitFor([this] { return lines_.contains(u"ready"_s); }, serverStartLimitMs))
            return u"the feed server did not start: "_s +
                   QString::fromUtf8(process_.readAllStandardError());
        return {};
    }

    int port(const QString& listener) const
    {
        return event(u"port "_s + listener + u' ').section(u' ', 2).toInt();
    }

    // A client that trusts the server's own authority and nothing else.
    std::unique_ptr<HelperHttpClient> trustingItsAuthority() const
    {
        return std::make_unique<HelperHttpClient>(
            QStringLiteral(FETCH_HELPER),
            QStringList{u"--ca-certificates"_s, event(u"ca "_s).section(u' ', 1)});
    }

    // The first line that starts with `prefix`, waiting for it for a while; empty if none came.
    QString waitForEvent(const QString& prefix) const
    {
        if (!QTest::qWaitFor([&] { return !event(prefix).isEmpty(); }, answerLimitMs))
            return {};
        return event(prefix);
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

struct Offer {
    QString version;
    QUrl url;
    bool onMainThread;
};

struct CheckResult {
    int completions = 0;
    std::optional<QByteArray> delivered;
    std::vector<Offer> offers;
};

// Sends the feed request to a loopback listener instead of the web site, under a first path
// segment that picks the server's answer, and records what the real client delivers.
class LoopbackFeed : public HttpClient {
public:
    LoopbackFeed(HttpClient& client, int port, QString scenario,
                 std::shared_ptr<CheckResult> result)
        : client_(client), port_(port), scenario_(std::move(scenario)), result_(std::move(result))
    {}

    void get(const QUrl& url, std::function<void(std::optional<QByteArray>)> completion) override
    {
        QUrl local = url;
        local.setHost(u"127.0.0.1"_s);
        local.setPort(port_);
        local.setPath(u'/' + scenario_ + url.path());
        client_.get(local, [result = result_,
                            completion = std::move(completion)](std::optional<QByteArray> body) {
            ++result->completions;
            result->delivered = body;
            completion(std::move(body));
        });
    }

private:
    HttpClient& client_;
    int port_;
    QString scenario_;
    std::shared_ptr<CheckResult> result_;
};

// Runs what the main thread has queued, including deferred deletes: once a reply is deleted,
// nothing can complete it a second time.
void drainMainQueue()
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

std::shared_ptr<CheckResult> startCheck(HttpClient& client, int port, const QString& scenario)
{
    auto result = std::make_shared<CheckResult>();
    LoopbackFeed feed(client, port, scenario, result);
    checkForUpdates(feed, u"1.0"_s, [result](const QString& version, const QUrl& url) {
        result->offers.push_back({version, url, QThread::currentThread() == qApp->thread()});
    });
    return result;
}

std::shared_ptr<CheckResult> runCheck(HttpClient& client, int port, const QString& scenario)
{
    auto result = startCheck(client, port, scenario);
    EXPECT_TRUE(QTest::qWaitFor([&result] { return result->completions > 0; }, answerLimitMs))
        << "no completion for " << scenario.toStdString();
    drainMainQueue();
    return result;
}

// The largest peak resident size of the helpers that have ended.
long helperMaxResidentKiB()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_maxrss;
}

class ReleaseFeedTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (!QFileInfo(QStringLiteral(PYTHON3)).isExecutable() ||
            QStandardPaths::findExecutable(u"openssl"_s).isEmpty())
            GTEST_SKIP() << "needs " PYTHON3 " and openssl (scripts/install-deps installs both)";
        const QString problem = server.start();
        ASSERT_TRUE(problem.isEmpty()) << problem.toStdString();
    }

    FeedServer server;
};

struct Scenario {
    const char* name;
    const char* scenario;
    const char* listener;
    std::optional<QByteArray> delivered;
    bool offered;
    const char* serverSaw; // the server's account of how the exchange ended
};

void PrintTo(const Scenario& scenario, std::ostream* out)
{
    *out << scenario.name;
}

class ReleaseFeedAnswerTest : public ReleaseFeedTest,
                              public testing::WithParamInterface<Scenario> {};

} // namespace

TEST_P(ReleaseFeedAnswerTest, DeliversWholeBodiesAndOffersOnlyUsableFeeds)
{
    const Scenario& row = GetParam();
    const auto client = server.trustingItsAuthority();

    const auto result = runCheck(*client, server.port(QString::fromUtf8(row.listener)),
                                 QString::fromUtf8(row.scenario));

    EXPECT_EQ(result->completions, 1);
    EXPECT_EQ(result->delivered, row.delivered);
    EXPECT_FALSE(server.waitForEvent(QString::fromUtf8(row.serverSaw)).isEmpty())
        << "the server never reported " << row.serverSaw;
    if (!row.offered) {
        EXPECT_TRUE(result->offers.empty());
        return;
    }
    ASSERT_EQ(result->offers.size(), 1u);
    EXPECT_EQ(result->offers[0].version, u"9.1.0"_s);
    EXPECT_EQ(result->offers[0].url, QUrl(u"https://quenlark.example/get/9.1.0"_s));
    EXPECT_TRUE(result->offers[0].onMainThread);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ReleaseFeedAnswerTest,
    testing::Values(
        Scenario{"Status200NewerFeed", "newer", "trusted", feedBody, true, "sent newer"},
        Scenario{"Status404Html", "missing", "trusted", htmlBody, false, "sent missing"},
        Scenario{"Status500NewerFeed", "failing", "trusted", feedBody, true, "sent failing"},
        Scenario{"NotJson", "not-json", "trusted", "Service temporarily unavailable", false,
                 "sent not-json"},
        Scenario{"RedirectToNewerFeed", "moved", "trusted", feedBody, true, "sent newer"},
        Scenario{"RedirectToPlainHttp", "downgrade", "trusted", std::nullopt, false,
                 "sent downgrade"},
        Scenario{"AsksForIdentityEncoding", "encoding", "trusted", "identity", false,
                 "sent encoding"},
        Scenario{"ClosedMidBody", "cut", "trusted", std::nullopt, false, "cut cut"},
        Scenario{"UntrustedAuthority", "newer", "untrusted", std::nullopt, false,
                 "handshake-failed untrusted"},
        Scenario{"CertificateForAnotherHost", "newer", "wronghost", std::nullopt, false,
                 "handshake-failed wronghost"}),
    [](const testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

TEST_F(ReleaseFeedTest, EndlessRedirectsStopAfterFive)
{
    const auto client = server.trustingItsAuthority();
    EXPECT_EQ(runCheck(*client, server.port(u"trusted"_s), u"loop"_s)->delivered, std::nullopt);
    // Five redirects followed, and not one more.
    EXPECT_FALSE(server.waitForEvent(u"hop loop 5"_s).isEmpty());
    QTest::qWait(500);
    EXPECT_EQ(server.event(u"hop loop 6"_s), QString());
}

TEST_F(ReleaseFeedTest, OversizedBodyIsCutOffWithBoundedMemory)
{
    const auto client = server.trustingItsAuthority();
    const int port = server.port(u"trusted"_s);
    // A first check gives the size of a helper that fetched a feed.
    ASSERT_EQ(runCheck(*client, port, u"newer"_s)->offers.size(), 1u);
    const long residentBefore = helperMaxResidentKiB();

    const auto result = runCheck(*client, port, u"huge"_s);
    const long grownKiB = helperMaxResidentKiB() - residentBefore;

    EXPECT_EQ(result->completions, 1);
    EXPECT_EQ(result->delivered, std::nullopt);
    EXPECT_TRUE(result->offers.empty());
    // The server would write 1 GiB; it must have been stopped near the 64 KiB cap, give or take
    // what the sockets buffer on the way.
    const QString cut = server.waitForEvent(u"cut huge "_s);
    ASSERT_FALSE(cut.isEmpty()) << "the client kept reading";
    const qint64 sentBytes = cut.section(u' ', 2).toLongLong();
    EXPECT_LT(sentBytes, 16 << 20);
    EXPECT_LT(grownKiB, 16 * 1024);
}

TEST_F(ReleaseFeedTest, StalledAndTricklingServersAreCutOff)
{
    const auto client = server.trustingItsAuthority();
    client->setTimeouts(std::chrono::seconds(1), std::chrono::seconds(3));
    const int port = server.port(u"trusted"_s);

    // Both servers keep the connection up for a minute; only the client's timeouts end it early.
    for (const QString& scenario : {u"stalled"_s, u"trickle"_s}) {
        SCOPED_TRACE(scenario.toStdString());
        const auto result = runCheck(*client, port, scenario);
        EXPECT_EQ(result->completions, 1);
        EXPECT_EQ(result->delivered, std::nullopt);
        EXPECT_TRUE(result->offers.empty());
        EXPECT_FALSE(server.waitForEvent(u"cut "_s + scenario).isEmpty());
    }
}

TEST_F(ReleaseFeedTest, DestroyingTheClientCompletesARequestOnce)
{
    // Destroyed before its helper started, and while the helper waits on a stalled server.
    for (const bool helperRunning : {false, true}) {
        SCOPED_TRACE(helperRunning ? "helper running" : "helper not started");
        auto client = server.trustingItsAuthority();
        const auto result = startCheck(*client, server.port(u"trusted"_s), u"stalled"_s);
        if (helperRunning) {
            ASSERT_FALSE(server.waitForEvent(u"request stalled"_s).isEmpty());
        }
        EXPECT_EQ(result->completions, 0);

        client.reset();
        EXPECT_EQ(result->completions, 1);
        EXPECT_EQ(result->delivered, std::nullopt);
        QTest::qWait(200);
        drainMainQueue();
        EXPECT_EQ(result->completions, 1);
        EXPECT_TRUE(result->offers.empty());
    }
    // The killed helper's connection closes.
    EXPECT_FALSE(server.waitForEvent(u"cut stalled"_s).isEmpty());
}

TEST_F(ReleaseFeedTest, OnlyWebAddressesAreFetched)
{
    QTemporaryDir dir;
    QFile local(dir.filePath(u"latest.json"_s));
    ASSERT_TRUE(local.open(QIODevice::WriteOnly));
    local.write(feedBody);
    local.close();

    const auto client = server.trustingItsAuthority();
    for (const QUrl& url :
         {QUrl::fromLocalFile(local.fileName()),
          QUrl(u"data:application/json,"_s + QString::fromUtf8(feedBody)), QUrl(u"--version"_s)}) {
        SCOPED_TRACE(url.toString().toStdString());
        int completions = 0;
        std::optional<QByteArray> delivered = QByteArray("unset");
        client->get(url, [&](std::optional<QByteArray> body) {
            ++completions;
            delivered = std::move(body);
        });
        EXPECT_TRUE(QTest::qWaitFor([&] { return completions > 0; }, answerLimitMs));
        drainMainQueue();
        EXPECT_EQ(completions, 1);
        EXPECT_EQ(delivered, std::nullopt);
    }
}

// What the client makes of a helper's end, with shell scripts standing in for the helper.
struct HelperEnd {
    const char* name;
    const char* script; // run by sh -c with the helper's arguments; none: no helper at all
    std::optional<QByteArray> delivered;
};

void PrintTo(const HelperEnd& end, std::ostream* out)
{
    *out << end.name;
}

class HelperEndTest : public testing::TestWithParam<HelperEnd> {};

TEST_P(HelperEndTest, OnlyAWholeBodyFromACleanExitIsDelivered)
{
    const HelperEnd& row = GetParam();
    const QString program = row.script ? u"/bin/sh"_s : u"/nonexistent/quenlark-fetch-release"_s;
    HelperHttpClient client(program, {u"-c"_s, QString::fromUtf8(row.script), u"helper"_s});
    client.setTimeouts(std::chrono::milliseconds(500), std::chrono::seconds(1));
    int completions = 0;
    std::optional<QByteArray> delivered;
    client.get(QUrl(u"https://quenlark.example/releases/latest.json"_s),
               [&](std::optional<QByteArray> body) {
                   ++completions;
                   delivered = std::move(body);
               });
    // The total timeout and the grace after it, with room for a loaded machine.
    const int limit = answerLimitMs + static_cast<int>(HelperHttpClient::exitGrace.count());
    ASSERT_TRUE(QTest::qWaitFor([&] { return completions > 0; }, limit));
    drainMainQueue();
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(delivered, row.delivered);
}

INSTANTIATE_TEST_SUITE_P(
    Ends, HelperEndTest,
    testing::Values(HelperEnd{"Body", "printf body", "body"},
                    HelperEnd{"EmptyBody", "exit 0", QByteArray()},
                    HelperEnd{"BodyOfTheCap", "head -c 65536 /dev/zero", QByteArray(65536, '\0')},
                    HelperEnd{"BodyPastTheCap", "head -c 65537 /dev/zero", std::nullopt},
                    HelperEnd{"EndlessOutput", "exec cat /dev/zero", std::nullopt},
                    HelperEnd{"NonZeroExit", "printf partial; exit 1", std::nullopt},
                    HelperEnd{"Crash", "printf partial; kill -SEGV $$", std::nullopt},
                    HelperEnd{"OutlivesItsTimeout", "printf partial; exec sleep 60", std::nullopt},
                    HelperEnd{"CannotStart", nullptr, std::nullopt}),
    [](const testing::TestParamInfo<HelperEnd>& info) { return std::string(info.param.name); });
