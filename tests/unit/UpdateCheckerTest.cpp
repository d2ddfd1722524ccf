// SPDX-License-Identifier: MIT
#include "Core/UpdateChecker.hpp"
#include "FakeHttpClient.hpp"

#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace quenlark;
using namespace Qt::StringLiterals;

namespace {

const QString siteHost = QStringLiteral(QUENLARK_SITE_HOST);

struct Offer {
    QString version;
    QUrl url;
    bool onMainThread;
};

class UpdateCheckTest : public testing::Test {
protected:
    void check(std::optional<QString> running)
    {
        checkForUpdates(http, std::move(running), [this](const QString& version, const QUrl& url) {
            offers.push_back({version, url, QThread::currentThread() == qApp->thread()});
        });
    }

    // Runs what the check posted to the main thread; no clock is involved.
    static void runMainQueue() { QCoreApplication::sendPostedEvents(); }

    // One whole check: start, answer from another thread, then let the main thread run.
    void checkAndAnswer(std::optional<QString> running, std::optional<QByteArray> body)
    {
        check(std::move(running));
        http.answerFromOtherThread(std::move(body));
        runMainQueue();
    }

    fakes::FakeHttpClient http;
    std::vector<Offer> offers;
};

QByteArray feed(const char* version, const char* url)
{
    return QByteArray(R"({"version":")") + version + R"(","mac_url":")" + url + R"("})";
}

} // namespace

TEST_F(UpdateCheckTest, AsksForTheFeedOnTheSiteHostOncePerCheck)
{
    check(u"1.0"_s);
    check(u"1.0"_s);

    const QUrl expected(u"https://"_s + siteHost + u"/releases/latest.json"_s);
    ASSERT_EQ(http.requests.size(), 2);
    EXPECT_EQ(http.requests[0], expected);
    EXPECT_EQ(http.requests[1], expected);
    EXPECT_TRUE(expected.isValid());
    EXPECT_EQ(expected.port(), -1);
    EXPECT_FALSE(expected.hasQuery() || expected.hasFragment());

    EXPECT_EQ(siteURL(), QUrl(u"https://"_s + siteHost + u"/"_s));
    EXPECT_EQ(siteURL().path(), u"/"_s);
}

TEST_F(UpdateCheckTest, NewerFeedIsOfferedOnceOnTheMainThreadThroughTheQueue)
{
    check(u"1.0"_s);
    http.answerFromOtherThread(feed("1.0.1", "https://quenlark.example/get/companion-1.0.1.deb"));
    EXPECT_TRUE(offers.empty()) << "the offer must wait for the main thread's queue";

    runMainQueue();
    runMainQueue();
    ASSERT_EQ(offers.size(), 1u);
    EXPECT_EQ(offers[0].version, u"1.0.1"_s);
    EXPECT_EQ(offers[0].url, QUrl(u"https://quenlark.example/get/companion-1.0.1.deb"_s));
    EXPECT_TRUE(offers[0].onMainThread);
}

TEST_F(UpdateCheckTest, OffersOnlyNewerVersionsAndKeepsTheirText)
{
    const struct {
        const char* name;
        std::optional<QString> running;
        const char* version;
        bool offered;
    } table[] = {
        {"no running version counts as 1.0", std::nullopt, "1.0.1", true},
        {"equal to the fallback", std::nullopt, "1.0", false},
        {"equal once zero-filled", u"1.0"_s, "1.0.0", false},
        {"equal", u"2.3.4"_s, "2.3.4", false},
        {"older", u"2.3.4"_s, "2.3.3", false},
        {"suffix kept verbatim", u"1.9"_s, "2.0-beta", true},
        {"feed without numbers", u"1.0"_s, "beta", false},
        {"running version without numbers", u"nightly"_s, "0.1", true},
        {"ten is above nine", u"1.9"_s, "1.10", true},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        offers.clear();
        checkAndAnswer(row.running, feed(row.version, "https://quenlark.example/get"));
        ASSERT_EQ(offers.size(), row.offered ? 1u : 0u);
        if (row.offered) {
            EXPECT_EQ(offers[0].version, QString::fromUtf8(row.version));
        }
    }
}

TEST_F(UpdateCheckTest, OnlyAStrictFeedObjectIsUsable)
{
    const struct {
        const char* name;
        QByteArray body;
        bool offered;
    } table[] = {
        {"plain feed", R"({"version":"2.0","mac_url":"https://q.example/a"})", true},
        {"further keys ignored",
         R"({"notes":["x"],"version":"2.0","size":12,"Version":"0","mac_url":"https://q.example/a"})",
         true},
        {"white space around",
         " \n{ \"version\" : \"2.0\" , \"mac_url\" : \"https://q.example/a\" }\n ", true},
        {"version as number", R"({"version":2.0,"mac_url":"https://q.example/a"})", false},
        {"version as null", R"({"version":null,"mac_url":"https://q.example/a"})", false},
        {"version as array", R"({"version":["2.0"],"mac_url":"https://q.example/a"})", false},
        {"version as object", R"({"version":{"v":"2.0"},"mac_url":"https://q.example/a"})", false},
        {"address as boolean", R"({"version":"2.0","mac_url":true})", false},
        {"no version", R"({"mac_url":"https://q.example/a"})", false},
        {"no address", R"({"version":"2.0"})", false},
        {"keys match case", R"({"Version":"2.0","Mac_URL":"https://q.example/a"})", false},
        {"array at the top", R"([{"version":"2.0","mac_url":"https://q.example/a"}])", false},
        {"string at the top", R"("2.0")", false},
        {"empty body", "", false},
        {"HTML", "<!doctype html><title>Not Found</title>", false},
        {"garbage after the object", R"({"version":"2.0","mac_url":"https://q.example/a"} x)",
         false},
        {"cut short", R"({"version":"2.0","mac_url":"https://q.exa)", false},
        {"invalid UTF-8", "{\"version\":\"2.0\xff\",\"mac_url\":\"https://q.example/a\"}", false},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        offers.clear();
        checkAndAnswer(u"1.0"_s, row.body);
        EXPECT_EQ(offers.size(), row.offered ? 1u : 0u);
    }
}

TEST_F(UpdateCheckTest, OnlyAbsoluteWebAddressesAreOffered)
{
    const struct {
        const char* text;
        const char* offered; // the address handed on, or null for no offer
    } table[] = {
        {"https://quenlark.example/get?os=linux#deb", "https://quenlark.example/get?os=linux#deb"},
        {"http://quenlark.example/get", "http://quenlark.example/get"},
        {"HTTPS://Quenlark.Example/Get", "https://quenlark.example/Get"},
        {"", nullptr},
        {"/get/companion.deb", nullptr},
        {"companion.deb", nullptr},
        {"//quenlark.example/get", nullptr},
        {"file:///etc/passwd", nullptr},
        {"javascript:alert(1)", nullptr},
        {"data:text/html,hi", nullptr},
        {"quenlark-companion:update", nullptr},
        {"ftp://quenlark.example/get", nullptr},
        {"https:get", nullptr},
        {"http:///get", nullptr},
        {"https://quenlark example/get", nullptr},
        {"https://quenlark.example/%zz", nullptr},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.text);
        offers.clear();
        checkAndAnswer(u"1.0"_s, feed("2.0", row.text));
        if (row.offered == nullptr) {
            EXPECT_TRUE(offers.empty());
            continue;
        }
        ASSERT_EQ(offers.size(), 1u);
        EXPECT_EQ(offers[0].url.toString(), QString::fromUtf8(row.offered));
    }
}

TEST_F(UpdateCheckTest, NoBodyOrAnOversizedBodyEndsTheCheckSilently)
{
    checkAndAnswer(u"1.0"_s, std::nullopt);
    EXPECT_TRUE(offers.empty());

    // The cap is 64 KiB: a feed padded to exactly that is read, one byte more is not.
    QByteArray padded = feed("2.0", "https://quenlark.example/get");
    padded.append(QByteArray(64 * 1024 - padded.size(), ' '));
    checkAndAnswer(u"1.0"_s, padded);
    EXPECT_EQ(offers.size(), 1u);

    checkAndAnswer(u"1.0"_s, padded + ' ');
    EXPECT_EQ(offers.size(), 1u);
}

TEST_F(UpdateCheckTest, CallbackIsReleasedWhenTheCheckEnds)
{
    const auto start = [this](std::optional<QString> running) {
        auto token = std::make_shared<int>(0);
        std::weak_ptr<int> watch = token;
        checkForUpdates(http, std::move(running),
                        [token = std::move(token)](const QString&, const QUrl&) {});
        return watch;
    };

    const auto failed = start(u"9.0"_s);
    http.answerFromOtherThread(feed("2.0", "https://quenlark.example/get"));
    EXPECT_TRUE(failed.expired());

    const auto offered = start(u"1.0"_s);
    EXPECT_FALSE(offered.expired());
    http.answerFromOtherThread(feed("2.0", "https://quenlark.example/get"));
    EXPECT_FALSE(offered.expired()) << "held until the main thread has run it";
    runMainQueue();
    EXPECT_TRUE(offered.expired());
}
