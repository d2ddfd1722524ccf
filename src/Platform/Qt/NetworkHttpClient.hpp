// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Http.hpp"

#include <QHash>
#include <QNetworkAccessManager>
#include <QSslConfiguration>

#include <chrono>

class QNetworkReply;

namespace quenlark {

// HTTP(S) GETs on QNetworkAccessManager, for small documents such as the release feed. TLS peers
// are verified, nothing is cached and no cookie is sent or kept. A reply whose body grows past
// `maxBodyBytes`, stalls, or runs too long is cut off and completes with no body. The body of an
// error status is delivered like any other, since the port does not report statuses.
//
// Lives on, and is called from, a thread with an event loop; completions run on that thread.
class NetworkHttpClient : public HttpClient {
public:
    static constexpr std::chrono::milliseconds defaultStallTimeout{std::chrono::seconds(30)};
    static constexpr std::chrono::milliseconds defaultTotalTimeout{std::chrono::seconds(60)};

    // `tls` replaces the default configuration, e.g. to trust one private authority alone.
    explicit NetworkHttpClient(
        const QSslConfiguration& tls = QSslConfiguration::defaultConfiguration());
    // Requests still running complete with no body.
    ~NetworkHttpClient() override;
    NetworkHttpClient(const NetworkHttpClient&) = delete;
    NetworkHttpClient& operator=(const NetworkHttpClient&) = delete;

    // A request with no bytes moving for `stall`, or still running after `total`, is cut off.
    void setTimeouts(std::chrono::milliseconds stall, std::chrono::milliseconds total);

    void get(const QUrl& url,
             std::function<void(std::optional<QByteArray> body)> completion) override;

private:
    struct Request {
        std::function<void(std::optional<QByteArray>)> completion;
        QByteArray body;
    };

    void readAvailable(QNetworkReply* reply);
    void finish(QNetworkReply* reply);

    QSslConfiguration tls_;
    std::chrono::milliseconds stallTimeout_ = defaultStallTimeout;
    std::chrono::milliseconds totalTimeout_ = defaultTotalTimeout;
    QNetworkAccessManager manager_;
    QHash<QNetworkReply*, Request> inFlight_;
};

} // namespace quenlark
