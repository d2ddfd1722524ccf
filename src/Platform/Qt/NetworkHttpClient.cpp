// SPDX-License-Identifier: MIT
#include "Platform/Qt/NetworkHttpClient.hpp"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <utility>

namespace quenlark {

namespace {

constexpr int maxRedirects = 5;

bool isWebAddress(const QUrl& url)
{
    return url.isValid() && (url.scheme() == u"https" || url.scheme() == u"http");
}

// Qt reports an error status (400 and up) only after the whole body has arrived, as an error of
// the content, protocol-operation or server groups. Any other error may have cut the body short.
bool bodyIsComplete(const QNetworkReply& reply)
{
    const QNetworkReply::NetworkError error = reply.error();
    if (error == QNetworkReply::NoError)
        return true;
    const int status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return status >= 400 && error >= QNetworkReply::ContentAccessDenied &&
           error != QNetworkReply::ProtocolUnknownError && error != QNetworkReply::ProtocolFailure;
}

} // namespace

NetworkHttpClient::NetworkHttpClient(const QSslConfiguration& tls) : tls_(tls)
{
    tls_.setPeerVerifyMode(QSslSocket::VerifyPeer);
}

NetworkHttpClient::~NetworkHttpClient()
{
    // Taken first, so that the finished signals of the aborts below find nothing to complete.
    const auto requests = std::exchange(inFlight_, {});
    for (auto it = requests.cbegin(); it != requests.cend(); ++it)
        it.key()->abort();
    for (const Request& request : requests)
        request.completion(std::nullopt);
}

void NetworkHttpClient::setTimeouts(std::chrono::milliseconds stall,
                                    std::chrono::milliseconds total)
{
    stallTimeout_ = stall;
    totalTimeout_ = total;
}

void NetworkHttpClient::get(const QUrl& url,
                            std::function<void(std::optional<QByteArray> body)> completion)
{
    if (!isWebAddress(url)) {
        completion(std::nullopt);
        return;
    }

    QNetworkRequest request(url);
    request.setSslConfiguration(tls_);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(maxRedirects);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    // Qt would inflate a compressed body before the cap could see it.
    request.setRawHeader("Accept-Encoding", "identity");
    request.setTransferTimeout(static_cast<int>(stallTimeout_.count()));

    QNetworkReply* reply = manager_.get(request);
    // Keeps Qt from buffering far ahead of the cap when this thread is busy.
    reply->setReadBufferSize(maxBodyBytes);
    inFlight_.insert(reply, Request{std::move(completion), {}});
    QObject::connect(reply, &QNetworkReply::readyRead, reply,
                     [this, reply] { readAvailable(reply); });
    QObject::connect(reply, &QNetworkReply::finished, reply, [this, reply] { finish(reply); });
    QTimer::singleShot(totalTimeout_, reply, &QNetworkReply::abort);
}

void NetworkHttpClient::readAvailable(QNetworkReply* reply)
{
    const auto request = inFlight_.find(reply);
    if (request == inFlight_.end())
        return;
    request->body += reply->read(maxBodyBytes + 1 - request->body.size());
    // Stop reading at once: the abort finishes the reply, which completes with no body.
    if (request->body.size() > maxBodyBytes)
        reply->abort();
}

void NetworkHttpClient::finish(QNetworkReply* reply)
{
    const auto found = inFlight_.find(reply);
    if (found == inFlight_.end())
        return;
    Request request = std::move(*found);
    inFlight_.erase(found);
    reply->deleteLater();

    std::optional<QByteArray> body;
    if (bodyIsComplete(*reply)) {
        request.body += reply->read(maxBodyBytes + 1 - request.body.size());
        if (request.body.size() <= maxBodyBytes)
            body = std::move(request.body);
    }
    request.completion(std::move(body));
}

} // namespace quenlark
