// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QUrl>

#include <functional>
#include <optional>

namespace quenlark {

class HttpClient {
public:
    // The largest body delivered; a longer one completes with no body. The release feed is a few
    // hundred bytes: anything this large is not a feed. The client that talks to the network holds
    // to it (in the release check's helper); those that hand on its answers rely on it.
    static constexpr qsizetype maxBodyBytes = 64 * 1024;

    virtual ~HttpClient() = default;
    // A plain GET. The completion runs exactly once, on any thread, with nullopt when no body
    // arrived. The status code is not reported.
    virtual void get(const QUrl& url,
                     std::function<void(std::optional<QByteArray> body)> completion) = 0;
};

} // namespace quenlark
