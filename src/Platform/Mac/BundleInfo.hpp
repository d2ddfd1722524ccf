// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <optional>

namespace quenlark::BundleInfo {

// The main bundle's "CFBundleShortVersionString"; absent without a bundle, without the key, or
// when its value is not text.
std::optional<QString> shortVersion();

} // namespace quenlark::BundleInfo
