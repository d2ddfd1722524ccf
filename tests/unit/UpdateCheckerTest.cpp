// SPDX-License-Identifier: MIT
#include "Core/UpdateChecker.hpp"
#include "BuildConfig.hpp"
#include "FakeHttpClient.hpp"
#include "RowName.hpp"

#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

using namespace quenlark;
using namespace Qt::StringLiterals;
using quenlark::testing_support::RowName;

namespace {

struct VersionRow {
    const char* name;
    QString candidate, reference;
    bool newer;
};
const VersionRow versionRows[] = {
    {"NumbersNotText", u"1.10"_s, u"1.9"_s, true},
    // A missing component counts as 0, and a negative one is smaller.
    {"MissingComponentIsZero", u"1.2.0"_s, u"1.2"_s, false},
    {"NegativeIsSmaller", u""_s, u"-1"_s, true},
    // Other pieces are dropped: suffixes, letters, blanks, other notations and digits.
    {"SuffixDropped", u"2.1-beta"_s, u"2.0"_s, false},
    {"LettersBlanksAndOtherDigitsDropped", u"v2.0. 1.0x3.４"_s, u"0"_s, false},
    {"PlusSign", u"+2.01"_s, u"1.1"_s, true},
    // Only a bare ASCII full stop separates: one carrying a mark is part of its piece.
    {"IdeographicStop", u"1。2"_s, u"0"_s, false},
    {"StopWithAMark", u"1.\u03012"_s, u"0"_s, false},
    // The signed 64-bit range, compared without overflow; a piece outside it is dropped.
    {"WholeSignedRange", u"0.9223372036854775807"_s, u"0.-9223372036854775808"_s, true},
    {"AboveTheRange", u"9223372036854775808"_s, u"1"_s, false},
    {"BelowTheRange", u"-9223372036854775809"_s, u"-1"_s, true},
    {"AnyNumberOfComponents", u"0."_s.repeated(10000) + u'1', u"0"_s, true},
};

class VersionComparisonTest : public testing::TestWithParam<VersionRow> {};

QByteArray feed(const QByteArray& version,
                const QByteArray& url = "https://" QUENLARK_SITE_HOST "/get")
{
    return R"({"version":")" + version + R"(","mac_url":")" + url + R"("})";
}

struct FeedRow {
    const char* name;
    std::optional<QByteArray> body;
    const char* offered; // version and address handed on, or null for no offer
    std::optional<QString> running = u"1.0"_s;
};
const FeedRow feedRows[] = {
    {"NoRunningVersionIsOnePointZero", feed("1.0.1"), "1.0.1 https://" QUENLARK_SITE_HOST "/get",
     std::nullopt},
    {"SameVersion", feed("1.0"), nullptr, std::nullopt},
    {"QueryAndFragmentKept", feed("2.0-beta", "https://" QUENLARK_SITE_HOST "/get?os=linux#deb"),
     "2.0-beta https://" QUENLARK_SITE_HOST "/get?os=linux#deb"},
    {"SubdomainOnTheHttpsPort", feed("2.0", "https://downloads." QUENLARK_SITE_HOST ":443/get"),
     "2.0 https://downloads." QUENLARK_SITE_HOST ":443/get"},
    {"RelativeAddress", feed("2.0", "/get/companion.deb"), nullptr},
    {"LocalFile", feed("2.0", "file:///etc/passwd"), nullptr},
    {"Script", feed("2.0", "javascript:alert(1)"), nullptr},
    {"OtherScheme", feed("2.0", "ftp://" QUENLARK_SITE_HOST "/get"), nullptr},
    {"PlainHttp", feed("2.0", "http://" QUENLARK_SITE_HOST "/get"),
     "2.0 http://" QUENLARK_SITE_HOST "/get"},
    {"InvalidAddress", feed("2.0", "https://" QUENLARK_SITE_HOST "/%zz"), nullptr},
    {"NoHost", feed("2.0", "https:///get"), nullptr},
    {"OtherHostAndPort", feed("2.0", "https://downloads.example:8443/get"),
     "2.0 https://downloads.example:8443/get"},
    // User info only makes another host look like the site.
    {"SitesNameAsUser", feed("2.0", "https://" QUENLARK_SITE_HOST "@evil.example/get"), nullptr},
    {"UserOnTheSite", feed("2.0", "http://user@" QUENLARK_SITE_HOST "/get"), nullptr},
    {"OtherFieldsIgnored",
     R"({"notes":["x"],"version":"2.0","mac_url":"https://)" QUENLARK_SITE_HOST R"(/a"})",
     "2.0 https://" QUENLARK_SITE_HOST "/a"},
    {"NoBody", std::nullopt, nullptr},
};

class UpdateCheckTest : public testing::TestWithParam<FeedRow> {};

} // namespace

TEST_P(VersionComparisonTest, OnlyWholeSignedDecimalPiecesBetweenFullStopsCount)
{
    EXPECT_EQ(isNewer(GetParam().candidate, GetParam().reference), GetParam().newer);
}
INSTANTIATE_TEST_SUITE_P(Rows, VersionComparisonTest, testing::ValuesIn(versionRows), RowName());

TEST(UpdateCheckTest, GetTheAppOpensTheSite)
{
    EXPECT_EQ(siteURL(), QUrl(u"https://" QUENLARK_SITE_HOST "/"_s));
}

// Offers come on the main thread, with the feed's version verbatim. The feed must never make the
// program open a local file, a custom scheme or a script, nor an address with user info.
TEST_P(UpdateCheckTest, AsksTheSiteAndOffersOnlyANewerFeedWithADownloadPageOfTheSite)
{
    fakes::FakeHttpClient http;
    QString offered;
    checkForUpdates(http, GetParam().running, [&](const QString& version, const QUrl& url) {
        EXPECT_EQ(QThread::currentThread(), qApp->thread());
        offered = version + u' ' + url.toString();
    });
    EXPECT_EQ(http.requests, QList{QUrl(u"https://" QUENLARK_SITE_HOST "/releases/latest.json"_s)});
    http.answerFromOtherThread(GetParam().body);
    EXPECT_TRUE(offered.isEmpty()) << "the offer must wait for the main thread's queue";
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(offered, QString::fromUtf8(GetParam().offered));
}
INSTANTIATE_TEST_SUITE_P(Rows, UpdateCheckTest, testing::ValuesIn(feedRows), RowName());
