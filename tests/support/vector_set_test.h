// A fixture for tests run once per vector instruction set: the wider sets
// are chosen at run time, so each must give the same results by itself.
// Sets this processor lacks are skipped; the cap is lifted afterwards.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "services/vector_sets.h"
#include "tests/support/test_env.h"

namespace kelvra::testing {

class VectorSetTest : public KelvraTest, public ::testing::WithParamInterface<VectorSet> {
 protected:
  void SetUp() override {
    KelvraTest::SetUp();
    LimitVectorSet(GetParam());
    if (ChosenVectorSet() != GetParam()) GTEST_SKIP() << "this processor lacks the set";
  }
  void TearDown() override {
    LimitVectorSet(VectorSet::kAvx512);
    KelvraTest::TearDown();
  }
};

inline auto AllVectorSets() {
  return ::testing::Values(VectorSet::kSse2, VectorSet::kAvx2, VectorSet::kAvx512);
}

inline std::string VectorSetName(const ::testing::TestParamInfo<VectorSet>& info) {
  static const char* const kNames[] = {"Sse2", "Avx2", "Avx512"};
  return kNames[static_cast<int>(info.param)];
}

}  // namespace kelvra::testing
