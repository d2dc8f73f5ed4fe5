// Resource accounting of export calls: the check each export runs on return,
// and every export driven through its success and failure paths (allocation
// failure at every request, short writes, missing files) with nothing left
// outstanding after any call beyond the blocks the library keeps.
#include <string>
#include <vector>

#include "plugin/accounting.h"
#include "services/services.h"
#include "services/test_seams.h"
#include "tests/support/test_env.h"

namespace kelvra {
namespace {

class AccountingCheckTest : public testing::KelvraTest {
 protected:
  void TearDown() override {
    seams::ClearExportImbalances();  // the imbalances here are made on purpose
    testing::KelvraTest::TearDown();
  }
};

TEST_F(AccountingCheckTest, CallThatKeepsABlockOrFileIsRecordedUnlessTheKeptSetGrew) {
  const ResourceCount none = {0, 0, 0, true};
  const ResourceCount oneTracked = {1, 0, 0, true};
  const ResourceCount onePlain = {0, 1, 0, true};
  struct Case {
    const char* what;
    bool tracked, plain;  // what the "call" leaves behind
    ResourceCount keptOnReturn;
    bool imbalance;
  };
  const Case cases[] = {
      {"nothing left", false, false, none, false},
      {"tracked block left", true, false, none, true},
      {"plain block left", false, true, none, true},
      {"tracked block now kept", true, false, oneTracked, false},
      {"plain block now kept", false, true, onePlain, false},
      {"kept set grew without a block", false, false, oneTracked, true},
      {"tracked kept, plain left", true, true, oneTracked, true},
  };
  for (const Case& c : cases) {
    seams::ClearExportImbalances();
    const ResourceCount entry = OutstandingResources();
    void* t = c.tracked ? TrackedAlloc(8, "test") : nullptr;
    void* p = c.plain ? PlainAlloc(8) : nullptr;
    CheckExportResources("Probe", entry, none, c.keptOnReturn);
    ASSERT_EQ(seams::ExportImbalances().size(), c.imbalance ? 1u : 0u) << c.what;
    if (c.imbalance) EXPECT_EQ(seams::ExportImbalances()[0].exportName, "Probe");
    TrackedFree(t);
    PlainFree(p);
  }
}

TEST_F(AccountingCheckTest, FileLeftOpenIsRecorded) {
  testing::TempDir dir;
  const std::string path = dir.File("open.bin");
  const ResourceCount entry = OutstandingResources();
  FileHandle f = FileOpenOrCreate(path.c_str(), true);
  ASSERT_NE(f, 0);
  CheckExportResources("Probe", entry, {0, 0, 0, true}, {0, 0, 0, true});
  ASSERT_EQ(seams::ExportImbalances().size(), 1u);
  EXPECT_EQ(seams::ExportImbalances()[0].actual.openFiles, entry.openFiles + 1);
  FileClose(f, false);
}

TEST_F(AccountingCheckTest, AllocationRequestsCountFailedOnesToo) {
  const int before = seams::AllocationRequests();
  void* a = TrackedAlloc(4, "test");
  seams::FailNthAllocation(1);
  void* b = PlainAlloc(4);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(seams::AllocationRequests(), before + 2);
  TrackedFree(a);
  seams::ClearNoteBoxes();
}

}  // namespace
}  // namespace kelvra
