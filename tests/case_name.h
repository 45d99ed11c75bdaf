#pragma once
// Names the rows of a table-driven test after their `name` member, so a failure says
// which case broke.
#include <gtest/gtest.h>

#include <string>

struct case_name {
  template <typename T>
  std::string operator()(const ::testing::TestParamInfo<T>& row) const {
    return row.param.name;
  }
};
