#pragma once
// For operations that answer with what failed (nullopt when done):
//   ASSERT_TRUE(NoFailure(ReplaceWholeFile(path, text)));
// and when it fails, the failure's own words.

#include <gtest/gtest.h>

#include <optional>

#include "common/failure.h"

namespace orvelgate::testing {

inline ::testing::AssertionResult NoFailure(const std::optional<Failure>& failure) {
  if (!failure) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << failure->Describe();
}

}  // namespace orvelgate::testing
