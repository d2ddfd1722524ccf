// SPDX-License-Identifier: MIT
#include "Core/UpdateChecker.hpp"

#include "BuildConfig.hpp"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaObject>
#include <QTextBoundaryFinder>

#include <algorithm>
#include <charconv>

namespace quenlark {

namespace {

// An optional single sign, then ASCII digits only, within the signed 64-bit range.
std::optional<qint64> parseComponent(QStringView piece)
{
    QStringView digits = piece;
    if (!digits.isEmpty() && (digits.front() == u'+' || digits.front() == u'-'))
        digits = digits.sliced(1);
    if (digits.isEmpty())
        return std::nullopt;
    if (!std::all_of(digits.begin(), digits.end(), [](QChar c) { return c >= u'0' && c <= u'9'; }))
        return std::nullopt;

    // from_chars takes a minus but no plus; every character is ASCII by now.
    const QByteArray ascii = (piece.front() == u'+' ? digits : piece).toLatin1();
    qint64 value = 0;
    const auto [end, error] = std::from_chars(ascii.cbegin(), ascii.cend(), value);
    if (error != std::errc() || end != ascii.cend())
        return std::nullopt;
    return value;
}

struct LatestRelease {
    QString version;
    QString mac_url;
};

std::optional<LatestRelease> decodeLatestRelease(const QByteArray& body)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    const QJsonValue version = object.value(u"version");
    const QJsonValue macURL = object.value(u"mac_url");
    if (!version.isString() || !macURL.isString())
        return std::nullopt;
    return LatestRelease{version.toString(), macURL.toString()};
}

// Only a web address may reach the default URL handler: a feed must never make the program open a
// local file, a custom scheme or a script. User info is refused, since it serves only to make
// another host look like the site (https://quenlark.com@evil.example/).
std::optional<QUrl> downloadURL(const QString& text)
{
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || (url.scheme() != u"https" && url.scheme() != u"http") ||
        url.host().isEmpty() || !url.userInfo().isEmpty())
        return std::nullopt;
    return url;
}

QUrl siteAddress(const QString& path)
{
    QUrl url;
    url.setScheme(QStringLiteral("https"));
    url.setHost(QStringLiteral(QUENLARK_SITE_HOST));
    url.setPath(path);
    return url;
}

// Made once, on first use; function-local statics are initialised thread-safely.
const QUrl& latestURL()
{
    static const QUrl url = siteAddress(QStringLiteral("/releases/latest.json"));
    return url;
}

} // namespace

QList<qint64> versionComponents(const QString& version)
{
    QList<qint64> components;
    const auto take = [&components](QStringView piece) {
        if (const auto value = parseComponent(piece))
            components.append(*value);
    };

    // Only a full stop that is a user-perceived character of its own separates; one that carries
    // a combining mark stays inside its piece.
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, version);
    qsizetype pieceStart = 0;
    qsizetype clusterStart = 0;
    for (qsizetype clusterEnd = graphemes.toNextBoundary(); clusterEnd != -1;
         clusterEnd = graphemes.toNextBoundary()) {
        if (clusterEnd - clusterStart == 1 && version.at(clusterStart) == u'.') {
            take(QStringView(version).sliced(pieceStart, clusterStart - pieceStart));
            pieceStart = clusterEnd;
        }
        clusterStart = clusterEnd;
    }
    take(QStringView(version).sliced(pieceStart));
    return components;
}

bool isNewer(const QString& candidate, const QString& reference)
{
    const QList<qint64> a = versionComponents(candidate);
    const QList<qint64> b = versionComponents(reference);
    const qsizetype length = std::max(a.size(), b.size());
    for (qsizetype i = 0; i < length; ++i) {
        const qint64 x = a.value(i, 0);
        const qint64 y = b.value(i, 0);
        if (x != y)
            return x > y;
    }
    return false;
}

const QUrl& siteURL()
{
    static const QUrl url = siteAddress(QStringLiteral("/"));
    return url;
}

void checkForUpdates(HttpClient& http, std::optional<QString> bundleShortVersion,
                     std::function<void(const QString& version, const QUrl& url)> onUpdateAvailable)
{
    QString running = bundleShortVersion.value_or(QStringLiteral("1.0"));
    // Runs on whatever thread the client completes on; only the final call goes to the main one.
    http.get(latestURL(),
             [running = std::move(running), onUpdateAvailable = std::move(onUpdateAvailable)](
                 std::optional<QByteArray> body) mutable {
                 if (!body)
                     return;
                 const auto release = decodeLatestRelease(*body);
                 if (!release || !isNewer(release->version, running))
                     return;
                 const auto url = downloadURL(release->mac_url);
                 QCoreApplication* const app = QCoreApplication::instance();
                 if (!url || app == nullptr || !onUpdateAvailable)
                     return;
                 QMetaObject::invokeMethod(
                     app,
                     [callback = std::move(onUpdateAvailable), version = release->version,
                      url = *url] { callback(version, url); },
                     Qt::QueuedConnection);
             });
}

} // namespace quenlark
