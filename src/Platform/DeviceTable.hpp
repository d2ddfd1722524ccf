// SPDX-License-Identifier: MIT
#pragma once

#include <QHash>

#include <algorithm>
#include <functional>

namespace quenlark {

// What a central keeps per device, for at most `bound` devices: in a crowded hall phones change
// their private addresses every few minutes, and each new address is a new device. A full table
// makes room for a new device by dropping the entries that hold nothing worth keeping, and then,
// if still full, the entry written longest ago.
template <typename Key, typename Value> class DeviceTable {
public:
    using Disposable = std::function<bool(const Value&)>;

    explicit DeviceTable(qsizetype bound, Disposable disposable = {})
        : bound_(std::max<qsizetype>(bound, 1)), disposable_(std::move(disposable))
    {}

    qsizetype size() const { return entries_.size(); }
    const Value* find(const Key& key) const
    {
        const auto found = entries_.constFind(key);
        return found == entries_.constEnd() ? nullptr : &found->value;
    }
    void insert(const Key& key, Value value)
    {
        if (!entries_.contains(key) && entries_.size() >= bound_)
            makeRoom();
        entries_.insert(key, Entry{std::move(value), ++writes_});
    }
    void remove(const Key& key) { entries_.remove(key); }

private:
    struct Entry {
        Value value;
        quint64 written;
    };

    void makeRoom()
    {
        if (disposable_)
            entries_.removeIf(
                [this](const auto& entry) { return disposable_(entry.value().value); });
        if (entries_.size() < bound_)
            return;
        entries_.erase(std::min_element(
            entries_.cbegin(), entries_.cend(),
            [](const Entry& left, const Entry& right) { return left.written < right.written; }));
    }

    qsizetype bound_;
    Disposable disposable_;
    QHash<Key, Entry> entries_;
    quint64 writes_ = 0;
};

} // namespace quenlark
