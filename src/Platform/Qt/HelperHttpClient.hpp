// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Http.hpp"

#include <QHash>
#include <QString>
#include <QStringList>

#include <chrono>

class QProcess;

namespace quenlark {

// HTTP(S) GETs run by a short-lived helper program (quenlark-fetch-release), so that the TLS
// stack is loaded into that process and leaves with it instead of staying resident here. The
// helper keeps every limit of NetworkHttpClient (verified TLS, at most 5 redirects and none to
// plain HTTP, the stall and total timeouts, identity encoding, the size cap), and its standard
// output is the body, trusted only once the helper exited cleanly: it writes a body only whole and
// within the cap. A helper that cannot start, crashes, exits with a non-zero status or outlives its
// total timeout by `exitGrace` completes with no body.
//
// A request's helper starts once the event loop runs, so that asking during start-up costs
// nothing then. Lives on, and is called from, a thread with an event loop; completions run on
// that thread.
class HelperHttpClient : public HttpClient {
public:
    static constexpr std::chrono::milliseconds exitGrace{std::chrono::seconds(5)};

    // `arguments` go before the helper's own, e.g. {"--ca-certificates", file} to trust one
    // private authority alone.
    explicit HelperHttpClient(QString program, QStringList arguments = {});
    // Helpers still running are killed; their requests complete with no body.
    ~HelperHttpClient() override;
    HelperHttpClient(const HelperHttpClient&) = delete;
    HelperHttpClient& operator=(const HelperHttpClient&) = delete;

    // A request with no bytes moving for `stall`, or still running after `total`, is cut off.
    void setTimeouts(std::chrono::milliseconds stall, std::chrono::milliseconds total);

    void get(const QUrl& url,
             std::function<void(std::optional<QByteArray> body)> completion) override;

private:
    struct Request {
        std::function<void(std::optional<QByteArray>)> completion;
        QByteArray body;
    };

    void launch(QProcess* process, const QUrl& url);
    void readAvailable(QProcess* process);
    void finish(QProcess* process, bool succeeded);

    QString program_;
    QStringList arguments_;
    std::chrono::milliseconds stallTimeout_;
    std::chrono::milliseconds totalTimeout_;
    QHash<QProcess*, Request> inFlight_;
};

} // namespace quenlark
