// The fixture of the editor-link tests: every test starts and ends without
// editor state (last mode, stamp, working raster), and the host's operations
// must have been called as the host expects them to be.
#pragma once

#include <gtest/gtest.h>

#include "editorlink/editor_state.h"
#include "hostsim/hostsim.h"
#include "tests/support/test_env.h"

namespace kelvra::testing {

class EditorLinkFixture : public KelvraTest {
 protected:
  void SetUp() override {
    KelvraTest::SetUp();
    ResetEditorStateForTesting();
    hostsim::ClearContractViolations();
  }
  void TearDown() override {
    ResetEditorStateForTesting();
    EXPECT_TRUE(hostsim::ContractViolations().empty());
    KelvraTest::TearDown();
  }
};

}  // namespace kelvra::testing
