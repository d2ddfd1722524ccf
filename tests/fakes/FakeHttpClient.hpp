// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Http.hpp"

#include <QList>

#include <thread>

namespace quenlark::fakes {

// Holds each request until the test answers it, from a thread of its own as a real client would.
struct FakeHttpClient : HttpClient {
    void get(const QUrl& url, std::function<void(std::optional<QByteArray>)> completion) override
    {
        requests.append(url);
        pending = std::move(completion);
    }

    void answerFromOtherThread(std::optional<QByteArray> body)
    {
        auto completion = std::exchange(pending, {});
        std::thread([&completion, body = std::move(body)] { completion(body); }).join();
    }

    QList<QUrl> requests;
    std::function<void(std::optional<QByteArray>)> pending;
};

} // namespace quenlark::fakes
