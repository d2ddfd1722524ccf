// SPDX-License-Identifier: MIT
#include "Core/UpdateChecker.hpp"
#include "FakeHttpClient.hpp"

#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

#include <vector>

using namespace quenlark;
using namespace Qt::StringLiterals;

namespace {

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

    fakes::FakeHttpClient http;
    std::vector<Offer> offers;
};

QByteArray feed(const QByteArray& version, const QByteArray& url = "https://q.example/get")
{
    return R"({"version":")" + version + R"(","mac_url":")" + url + R"("})";
}

} // namespace

TEST(VersionComparisonTest, OnlyWholeSignedDecimalPiecesBetweenFullStopsCount)
{
    const QString manyPieces = u"0."_s.repeated(10000) + u'1';
    const struct {
        QString candidate, reference;
        bool newer;
    } table[] = {
        {u"1.2.1"_s, u"1.2"_s, true},
        {u"1.10"_s, u"1.9"_s, true},
        {u"2.0"_s, u"2.0"_s, false},
        // A missing component counts as 0, and a negative one is smaller.
        {u"1.2"_s, u"1.2.0"_s, false},
        {u"1.2.0"_s, u"1.2"_s, false},
        {u"1.0"_s, u""_s, true},
        {u""_s, u"-1"_s, true},
        {u"1.0.-1"_s, u"1"_s, false},
        // Any other piece is dropped: suffixes, prefixes, blanks, other notations and digits.
        {u"2.0-beta"_s, u"2.0"_s, false},
        {u"2.0-beta"_s, u"1.9"_s, true},
        {u"v2.0"_s, u"1.5"_s, false},
        {u"1. 2"_s, u"1"_s, false},
        {u"0x10.3"_s, u"3"_s, false},
        {u"１.２"_s, u"0"_s, false},
        {u"٣.4"_s, u"4"_s, false},
        {u"1..2"_s, u"01.002"_s, false},
        {u"+2"_s, u"1"_s, true},
        {u"+-1.--1"_s, u"-1"_s, true},
        // Only a bare ASCII full stop separates; a mark on a stop or a digit spoils that piece.
        {u"1。2"_s, u"0"_s, false},
        {u"1.\u03012"_s, u"0"_s, false},
        {u"1.2.\u03013"_s, u"1"_s, false},
        {u"1\u0301.2"_s, u"1"_s, true},
        // The signed 64-bit range, compared without overflow; a piece outside it is dropped.
        {u"9223372036854775807"_s, u"9223372036854775806"_s, true},
        {u"0.9223372036854775807"_s, u"0.-9223372036854775808"_s, true},
        {u"+0000000000000000000000009223372036854775807"_s, u"9223372036854775806"_s, true},
        {u"9223372036854775808"_s, u"1"_s, false},
        {u"-9223372036854775809"_s, u"-1"_s, true},
        // No limit on the number of components.
        {manyPieces, u"0"_s, true},
        {u"0"_s, manyPieces, false},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.candidate.left(40).toStdString() + " against " +
                     row.reference.left(40).toStdString());
        EXPECT_EQ(isNewer(row.candidate, row.reference), row.newer);
    }
}

TEST_F(UpdateCheckTest, AsksTheSiteAndOffersANewerVersionVerbatimOnTheMainThread)
{
    check(u"1.9"_s);
    ASSERT_EQ(http.requests.size(), 1);
    EXPECT_EQ(http.requests[0], QUrl(u"https://" QUENLARK_SITE_HOST "/releases/latest.json"_s));
    EXPECT_EQ(siteURL(), QUrl(u"https://" QUENLARK_SITE_HOST "/"_s)); // opened by "Get the App"

    http.answerFromOtherThread(feed("2.0-beta"));
    EXPECT_TRUE(offers.empty()) << "the offer must wait for the main thread's queue";
    QCoreApplication::sendPostedEvents();
    ASSERT_EQ(offers.size(), 1u);
    EXPECT_EQ(offers[0].version, u"2.0-beta"_s);
    EXPECT_EQ(offers[0].url, QUrl(u"https://q.example/get"_s));
    EXPECT_TRUE(offers[0].onMainThread);
}

// The feed must never make the program open a local file, a custom scheme or a script, and a
// body that is no strict feed object, or larger than 64 KiB, ends the check silently.
TEST_F(UpdateCheckTest, OffersOnlyANewerStrictFeedWithAnAbsoluteWebAddress)
{
    QByteArray capped = feed("2.0");
    capped.append(QByteArray(64 * 1024 - capped.size(), ' '));
    const struct {
        std::optional<QByteArray> body;
        const char* offered; // the address handed on, or null for no offer
        std::optional<QString> running = u"1.0"_s;
    } table[] = {
        {feed("1.0.1"), "https://q.example/get", std::nullopt}, // no version counts as 1.0
        {feed("1.0"), nullptr, std::nullopt},
        {feed("1.0.0"), nullptr},
        {feed("2.0", "https://q.example/get?os=linux#deb"), "https://q.example/get?os=linux#deb"},
        {feed("2.0", "HTTP://Q.Example/Get"), "http://q.example/Get"},
        {feed("2.0", "/get/companion.deb"), nullptr},
        {feed("2.0", "//q.example/get"), nullptr},
        {feed("2.0", "file:///etc/passwd"), nullptr},
        {feed("2.0", "javascript:alert(1)"), nullptr},
        {feed("2.0", "ftp://q.example/get"), nullptr},
        {feed("2.0", "http:///get"), nullptr},
        {feed("2.0", "https://q.example/%zz"), nullptr},
        {R"({"notes":["x"],"Version":"0","version":"2.0","mac_url":"https://q.example/a"})",
         "https://q.example/a"},
        {" \n{ \"version\" : \"2.0\" , \"mac_url\" : \"https://q.example/a\" }\n ",
         "https://q.example/a"},
        {R"({"version":2.0,"mac_url":"https://q.example/a"})", nullptr},
        {R"({"version":"2.0","mac_url":true})", nullptr},
        {R"({"Version":"2.0","Mac_URL":"https://q.example/a"})", nullptr},
        {"[" + feed("2.0") + "]", nullptr},
        {feed("2.0") + " x", nullptr},
        {"<!doctype html><title>Not Found</title>", nullptr},
        {std::nullopt, nullptr},
        {capped, "https://q.example/get"},
        {capped + ' ', nullptr},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.body.value_or("no body").left(80).toStdString());
        offers.clear();
        check(row.running);
        http.answerFromOtherThread(row.body);
        QCoreApplication::sendPostedEvents();
        ASSERT_EQ(offers.size(), row.offered ? 1u : 0u);
        if (row.offered) {
            EXPECT_EQ(offers[0].url.toString(), QString::fromUtf8(row.offered));
        }
    }
}
