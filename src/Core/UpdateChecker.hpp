// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Http.hpp"

#include <QList>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

namespace quenlark {

// The numeric components of a version text: pieces between full stops that are whole decimal
// numbers with an optional sign; any other piece is dropped.
QList<qint64> versionComponents(const QString& version);

// Whether `candidate` is strictly newer than `reference`, missing components counting as 0.
bool isNewer(const QString& candidate, const QString& reference);

// The web site's root, opened by "Get the App".
const QUrl& siteURL();

// Fetches the release feed once and, only when it names a newer version with an https download
// address on the site's host or one of its subdomains, calls `onUpdateAvailable` once on the main
// thread. Every failure is silent.
void checkForUpdates(
    HttpClient& http, std::optional<QString> bundleShortVersion,
    std::function<void(const QString& version, const QUrl& url)> onUpdateAvailable);

} // namespace quenlark
