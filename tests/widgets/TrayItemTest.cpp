// SPDX-License-Identifier: MIT
#include "Views/TrayItem.hpp"

#include <QImage>

#include <gtest/gtest.h>

using namespace quenlark;

namespace {

class TrayIconSizeTest : public ::testing::TestWithParam<int> {};

// Trays draw the icon between 16 and 24 pixels on light or dark panels: at each size it must
// have both a dark outline and a light body.
TEST_P(TrayIconSizeTest, MenuBarIconRendersWithLightAndDarkParts)
{
    const int size = GetParam();
    const QIcon icon = TrayItem::icon();
    ASSERT_FALSE(icon.isNull());
    const QImage image = icon.pixmap(size, size).toImage();
    ASSERT_EQ(image.size(), QSize(size, size));

    int opaque = 0, dark = 0, light = 0;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const QColor pixel = image.pixelColor(x, y);
            if (pixel.alpha() < 200)
                continue;
            ++opaque;
            dark += pixel.lightness() < 90;
            light += pixel.lightness() > 200;
        }
    }
    EXPECT_GT(opaque, size * size / 3);
    EXPECT_GT(dark, size);
    EXPECT_GT(light, size);
}

INSTANTIATE_TEST_SUITE_P(Sizes, TrayIconSizeTest, ::testing::Values(16, 22, 24, 32));

} // namespace
