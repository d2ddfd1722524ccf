// SPDX-License-Identifier: MIT
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace quenlark::testing_support {

// Names each case of a parameterised test after its row's `name`, so that --gtest_filter runs
// one row: INSTANTIATE_TEST_SUITE_P(Rows, SomeTest, testing::ValuesIn(rows), RowName()).
struct RowName {
    template <class Row> std::string operator()(const testing::TestParamInfo<Row>& info) const
    {
        return info.param.name;
    }
};

} // namespace quenlark::testing_support
