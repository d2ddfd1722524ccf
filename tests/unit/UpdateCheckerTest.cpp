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

TEST_F(UpdateCheckTest, AsksTheSiteHostForTheFeedAndOffersANewerOneOnTheMainThread)
{
    check(u"1.0"_s);
    ASSERT_EQ(http.requests.size(), 1);
    EXPECT_EQ(http.requests[0], QUrl(u"https://"_s + siteHost + u"/releases/latest.json"_s));
    EXPECT_EQ(siteURL(), QUrl(u"https://"_s + siteHost + u"/"_s));

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
        std::optional<QString> running;
        const char* version;
        bool offered;
    } table[] = {
        {std::nullopt, "1.0.1", true}, // no running version counts as 1.0
        {std::nullopt, "1.0", false},  {u"1.0"_s, "1.0.0", false},  {u"2.3.4"_s, "2.3.3", false},
        {u"1.9"_s, "2.0-beta", true},  {u"nightly"_s, "0.1", true},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.version);
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
    const std::pair<QByteArray, bool> table[] = {
        {R"({"notes":["x"],"version":"2.0","Version":"0","mac_url":"https://q.example/a"})", true},
        {" \n{ \"version\" : \"2.0\" , \"mac_url\" : \"https://q.example/a\" }\n ", true},
        {R"({"version":2.0,"mac_url":"https://q.example/a"})", false},
        {R"({"version":["2.0"],"mac_url":"https://q.example/a"})", false},
        {R"({"version":"2.0","mac_url":true})", false},
        {R"({"version":"2.0"})", false},
        {R"({"Version":"2.0","Mac_URL":"https://q.example/a"})", false},
        {R"([{"version":"2.0","mac_url":"https://q.example/a"}])", false},
        {"<!doctype html><title>Not Found</title>", false},
        {R"({"version":"2.0","mac_url":"https://q.example/a"} x)", false},
        {"{\"version\":\"2.0\xff\",\"mac_url\":\"https://q.example/a\"}", false},
    };
    for (const auto& [body, offered] : table) {
        SCOPED_TRACE(body.toStdString());
        offers.clear();
        checkAndAnswer(u"1.0"_s, body);
        EXPECT_EQ(offers.size(), offered ? 1u : 0u);
    }
}

// The feed must never make the program open a local file, a custom scheme or a script.
TEST_F(UpdateCheckTest, OnlyAbsoluteWebAddressesAreOffered)
{
    const struct {
        const char* text;
        const char* offered; // the address handed on, or null for no offer
    } table[] = {
        {"https://quenlark.example/get?os=linux#deb", "https://quenlark.example/get?os=linux#deb"},
        {"HTTP://Quenlark.Example/Get", "http://quenlark.example/Get"},
        {"/get/companion.deb", nullptr},
        {"//quenlark.example/get", nullptr},
        {"file:///etc/passwd", nullptr},
        {"javascript:alert(1)", nullptr},
        {"ftp://quenlark.example/get", nullptr},
        {"http:///get", nullptr},
        {"https://quenlark.example/%zz", nullptr},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.text);
        offers.clear();
        checkAndAnswer(u"1.0"_s, feed("2.0", row.text));
        ASSERT_EQ(offers.size(), row.offered ? 1u : 0u);
        if (row.offered) {
            EXPECT_EQ(offers[0].url.toString(), QString::fromUtf8(row.offered));
        }
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
