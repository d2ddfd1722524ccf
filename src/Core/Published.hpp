// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace quenlark {

// Ends a subscription when destroyed. Safe to destroy after the observed value is gone.
class Subscription {
public:
    Subscription() = default;
    explicit Subscription(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
    Subscription(Subscription&& other) noexcept : cancel_(std::exchange(other.cancel_, {})) {}
    Subscription& operator=(Subscription&& other) noexcept
    {
        if (this != &other) {
            cancel();
            cancel_ = std::exchange(other.cancel_, {});
        }
        return *this;
    }
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;
    ~Subscription() { cancel(); }

    void cancel()
    {
        if (auto cancel = std::exchange(cancel_, {}))
            cancel();
    }

private:
    std::function<void()> cancel_;
};

// An observable stored value. Every assignment, also one that leaves the value unchanged, first
// announces the owner's objectWillChange, then stores, then tells each subscriber in order.
template <typename T> class Published {
public:
    using Observer = std::function<void(const T&)>;

    template <typename Owner>
    Published(Owner* owner, T initial)
        : announce_([owner] { Q_EMIT owner->objectWillChange(); }), value_(std::move(initial)),
          observers_(std::make_shared<Observers>())
    {}
    Published(const Published&) = delete;
    Published& operator=(const Published&) = delete;

    const T& value() const { return value_; }

    Published& operator=(T newValue)
    {
        announce_();
        value_ = std::move(newValue);
        // A copy, so that observers may subscribe or cancel while being told; one cancelled
        // during this round is not told any more.
        const auto snapshot = observers_->entries;
        const T current = value_;
        for (const auto& [id, observer] : snapshot) {
            if (observers_->contains(id))
                (*observer)(current);
        }
        return *this;
    }

    // Calls back at once with the current value, then with every later assignment.
    [[nodiscard]] Subscription subscribe(Observer observer)
    {
        auto shared = std::make_shared<Observer>(std::move(observer));
        const std::uint64_t id = ++observers_->lastId;
        observers_->entries.emplace_back(id, shared);
        std::weak_ptr<Observers> weak = observers_;
        Subscription subscription([weak, id] {
            if (auto observers = weak.lock())
                observers->remove(id);
        });
        (*shared)(value_);
        return subscription;
    }

private:
    struct Observers {
        std::vector<std::pair<std::uint64_t, std::shared_ptr<Observer>>> entries;
        std::uint64_t lastId = 0;

        bool contains(std::uint64_t id) const
        {
            return std::any_of(entries.begin(), entries.end(),
                               [id](const auto& entry) { return entry.first == id; });
        }
        void remove(std::uint64_t id)
        {
            std::erase_if(entries, [id](const auto& entry) { return entry.first == id; });
        }
    };

    std::function<void()> announce_;
    T value_;
    std::shared_ptr<Observers> observers_;
};

} // namespace quenlark
