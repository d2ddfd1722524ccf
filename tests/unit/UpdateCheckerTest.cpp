// SPDX-License-Identifier: MIT
#include "Core/UpdateChecker.hpp"
#include "BuildConfig.hpp"
#include "FakeHttpClient.hpp"

#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

using namespace quenlark;
using namespace Qt::StringLiterals;

TEST(VersionComparisonTest, OnlyWholeSignedDecimalPiecesBetweenFullStopsCount)
{
    const struct {
        QString candidate, reference;
        bool newer;
    } table[] = {
        {u"1.10"_s, u"1.9"_s, true},
        // A missing component counts as 0, and a negative one is smaller.
        {u"1.2.0"_s, u"1.2"_s, false},
        {u""_s, u"-1"_s, true},
        // Other pieces are dropped: suffixes, letters, blanks, other notations and digits.
        {u"2.1-beta"_s, u"2.0"_s, false},
        {u"v2.0. 1.0x3.４"_s, u"0"_s, false},
        {u"+2.01"_s, u"1.1"_s, true},
        // Only a bare ASCII full stop separates: one carrying a mark is part of its piece.
        {u"1。2"_s, u"0"_s, false},
        {u"1.\u03012"_s, u"0"_s, false},
        // The signed 64-bit range, compared without overflow; a piece outside it is dropped.
        {u"0.9223372036854775807"_s, u"0.-9223372036854775808"_s, true},
        {u"9223372036854775808"_s, u"1"_s, false},
        {u"-9223372036854775809"_s, u"-1"_s, true},
        {u"0."_s.repeated(10000) + u'1', u"0"_s, true}, // any number of components
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.candidate.left(40).toStdString() + " / " + row.reference.toStdString());
        EXPECT_EQ(isNewer(row.candidate, row.reference), row.newer);
    }
}

// Offers come on the main thread, with the feed's version verbatim. The feed must never make the
// program open a local file, a custom scheme, a script or a page off the site's own hosts.
TEST(UpdateCheckTest, AsksTheSiteAndOffersOnlyANewerFeedWithADownloadPageOfTheSite)
{
    EXPECT_EQ(siteURL(), QUrl(u"https://" QUENLARK_SITE_HOST "/"_s)); // opened by "Get the App"
    const auto feed = [](const QByteArray& version,
                         const QByteArray& url = "https://" QUENLARK_SITE_HOST "/get") {
        return R"({"version":")" + version + R"(","mac_url":")" + url + R"("})";
    };
    const struct {
        std::optional<QByteArray> body;
        const char* offered; // version and address handed on, or null for no offer
        std::optional<QString> running = u"1.0"_s;
    } table[] = {
        {feed("1.0.1"), "1.0.1 https://" QUENLARK_SITE_HOST "/get",
         std::nullopt}, // no version: 1.0
        {feed("1.0"), nullptr, std::nullopt},
        {feed("2.0-beta", "https://" QUENLARK_SITE_HOST "/get?os=linux#deb"),
         "2.0-beta https://" QUENLARK_SITE_HOST "/get?os=linux#deb"},
        {feed("2.0", "https://downloads." QUENLARK_SITE_HOST ":443/get"),
         "2.0 https://downloads." QUENLARK_SITE_HOST ":443/get"},
        {feed("2.0", "/get/companion.deb"), nullptr},
        {feed("2.0", "file:///etc/passwd"), nullptr},
        {feed("2.0", "javascript:alert(1)"), nullptr},
        {feed("2.0", "ftp://" QUENLARK_SITE_HOST "/get"), nullptr},
        {feed("2.0", "http://" QUENLARK_SITE_HOST "/get"), nullptr},
        {feed("2.0", "https://" QUENLARK_SITE_HOST "/%zz"), nullptr},
        // Only the site's host and its subdomains, named as such.
        {feed("2.0", "https://evil.example/get"), nullptr},
        {feed("2.0", "https://evil" QUENLARK_SITE_HOST "/get"), nullptr},
        {feed("2.0", "https://" QUENLARK_SITE_HOST ".evil.example/get"), nullptr},
        {feed("2.0", "https://" QUENLARK_SITE_HOST "@evil.example/get"), nullptr},
        {feed("2.0", "https://user@" QUENLARK_SITE_HOST "/get"), nullptr},
        {feed("2.0", "https://" QUENLARK_SITE_HOST ":8443/get"), nullptr},
        {R"({"notes":["x"],"version":"2.0","mac_url":"https://)" QUENLARK_SITE_HOST R"(/a"})",
         "2.0 https://" QUENLARK_SITE_HOST "/a"},
        {std::nullopt, nullptr},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.body.value_or("no body").left(80).toStdString());
        fakes::FakeHttpClient http;
        QString offered;
        checkForUpdates(http, row.running, [&](const QString& version, const QUrl& url) {
            EXPECT_EQ(QThread::currentThread(), qApp->thread());
            offered = version + u' ' + url.toString();
        });
        EXPECT_EQ(http.requests,
                  QList{QUrl(u"https://" QUENLARK_SITE_HOST "/releases/latest.json"_s)});
        http.answerFromOtherThread(row.body);
        EXPECT_TRUE(offered.isEmpty()) << "the offer must wait for the main thread's queue";
        QCoreApplication::sendPostedEvents();
        EXPECT_EQ(offered, QString::fromUtf8(row.offered));
    }
}
