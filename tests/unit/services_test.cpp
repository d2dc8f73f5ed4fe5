// Runtime services over the POSIX substitute: strings, the name matcher, the
// two note boxes, files and the clipboard.
#include <sys/stat.h>
#include <utime.h>

#include <cstring>
#include <string>

#include "services/services.h"
#include "services/vector_sets.h"
#include "tests/support/test_env.h"

namespace kelvra {
namespace {

using testing::KelvraTest;
using testing::TempDir;

class ServicesTest : public KelvraTest {};

TEST_F(ServicesTest, StrCopyBoundedCutsAtTheBoundAndTerminates) {
  char dst[300];
  std::memset(dst, 'x', sizeof dst);
  char* end = StrCopyBounded("abcdef", dst, 3);
  EXPECT_STREQ(dst, "abc");
  EXPECT_EQ(end, dst + 3);

  std::string longText(400, 'q');
  for (int bound : {0, -7}) {
    std::memset(dst, 'x', sizeof dst);
    end = StrCopyBounded(longText.c_str(), dst, bound);
    EXPECT_EQ(end - dst, 255) << "bound " << bound;
    EXPECT_EQ(dst[255], 0);
    EXPECT_EQ(dst[256], 'x') << "nothing written past the terminator";
  }
  end = StrCopyBounded("", dst, 10);
  EXPECT_EQ(end, dst);
  EXPECT_EQ(dst[0], 0);
  EXPECT_EQ(StrLength("hello"), 5);
  EXPECT_EQ(StrLength(""), 0);
}

TEST_F(ServicesTest, NameMatchExactIsAPrefixMatchWithCase) {
  const char* text = "SaveDocumentAs";
  EXPECT_EQ(NameMatch("Save", text, false, false), text + 4);
  EXPECT_EQ(NameMatch("Save", "Sav", false, false), nullptr);
  EXPECT_EQ(NameMatch("save", text, false, false), nullptr);
  EXPECT_EQ(NameMatch("", text, false, false), text);
  EXPECT_EQ(NameMatch("Save Doc", "SaveDoc", false, false), nullptr)
      << "exact mode does not skip blanks";
}

struct LooseCase {
  const char* name;
  const char* text;
  bool skipDigits;
  int advance;  // -1: no match
};

TEST_F(ServicesTest, NameMatchLooseSkipsBlanksAndOptionallyDigits) {
  const LooseCase cases[] = {
      {"SaveDocumentAs", "Save Document As", false, 16},
      {"SaveDocumentAs", "SaveDocumentAsNew", false, 14},
      {"SaveDocumentAs", "SaveDoc", false, -1},
      {"SaveDocumentAs", "saveDocumentAs", false, -1},
      {"Item 2", "Item2", false, 5},
      {"Item2", " Item 2", false, 7},
      {"Layer12", "Layer", true, 5},
      {"Layer12", "Layer 7", true, 6},  // the name runs out first
      {"Layer12", "Layer", false, -1},
      {"Layer", "Layer  ", false, 5},
      {"Save  ", "Save", false, 4},          // tail of blanks in the name
      {"Save\xC3\xA9", "Save", false, 4},    // bytes >= 128 are blanks
      {"Save", "S\xA0" "ave", false, 5},
      {"", "anything", true, 0},
      {"ab", "a1b", false, -1},
      {"ab", "a1b", true, 3},
  };
  for (const LooseCase& c : cases) {
    const char* got = NameMatch(c.name, c.text, true, c.skipDigits);
    if (c.advance < 0) {
      EXPECT_EQ(got, nullptr) << c.name << " / " << c.text;
    } else {
      EXPECT_EQ(got, c.text + c.advance) << c.name << " / " << c.text;
    }
  }
}

TEST_F(ServicesTest, FailedAllocationShowsTheMemoryNoteEveryTime) {
  seams::FailAllAllocations(true);
  EXPECT_EQ(TrackedAlloc(16, "LoadFromFile"), nullptr);
  EXPECT_EQ(TrackedAlloc(16, "SaveMultiLayers"), nullptr);
  seams::FailAllAllocations(false);
  ASSERT_EQ(seams::NoteBoxes().size(), 2u);
  EXPECT_EQ(seams::NoteBoxes()[0].caption,
            "Plugin Note: memory could not be allocated.");
  EXPECT_EQ(seams::NoteBoxes()[0].text, "LoadFromFile");
  EXPECT_EQ(seams::NoteBoxes()[1].text, "SaveMultiLayers");

  // An overflowed size computation fails the same way.
  EXPECT_EQ(TrackedAlloc(SizeMul(SizeMul(70000, 70000), 4), "ABitMap::Allocate"),
            nullptr);
  EXPECT_EQ(TrackedAlloc(uint64_t{1} << 32, "ABitMap::Allocate"), nullptr);
  ASSERT_EQ(seams::NoteBoxes().size(), 4u);
  EXPECT_EQ(seams::NoteBoxes()[3].text, "ABitMap::Allocate");

  void* block = TrackedAlloc(8, "x");
  ASSERT_NE(block, nullptr);
  TrackedFree(block);
  TrackedFree(nullptr);
  EXPECT_EQ(seams::NoteBoxes().size(), 4u);
}

TEST_F(ServicesTest, PeakBytesCountsTrackedAndPlainBlocksHeldAtOnce) {
  const uint64_t before = seams::BytesHeld();
  seams::ResetPeakBytes();
  void* a = TrackedAlloc(1000, "x");
  void* b = PlainAlloc(500);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(seams::BytesHeld() - before, 1500u);
  TrackedFree(a);
  void* c = TrackedAlloc(200, "x");
  ASSERT_NE(c, nullptr);
  // 1000 + 500 were held together; 500 + 200 never exceed that.
  EXPECT_EQ(seams::PeakBytes() - before, 1500u);
  PlainFree(b);
  TrackedFree(c);
  EXPECT_EQ(seams::BytesHeld(), before);
  seams::ResetPeakBytes();
  EXPECT_EQ(seams::PeakBytes(), before);
}

TEST_F(ServicesTest, SizeArithmeticSaturates) {
  EXPECT_EQ(SizeMul(3, 4), 12u);
  EXPECT_EQ(SizeMul(uint64_t{1} << 40, uint64_t{1} << 30), kSizeOverflow);
  EXPECT_EQ(SizeAdd(kSizeOverflow - 1, 5), kSizeOverflow);
  EXPECT_EQ(SizeMul(0, kSizeOverflow), kSizeOverflow);
  EXPECT_TRUE(SizeFits(UINT32_MAX));
  EXPECT_FALSE(SizeFits(uint64_t{UINT32_MAX} + 1));
}

TEST_F(ServicesTest, ShortWriteShowsOneBoxUntilTheNextOpen) {
  TempDir dir;
  std::string path = dir.File("a.bin");
  FileHandle f = FileOpenOrCreate(path.c_str(), true);
  ASSERT_NE(f, 0);
  EXPECT_FALSE(WriteErrorShown());
  seams::SetWriteBudget(3);
  EXPECT_EQ(FileWriteChecked(f, "abcdef", 6), 3);
  EXPECT_TRUE(WriteErrorShown());
  EXPECT_LE(FileWriteChecked(f, "abcdef", 6), 0);
  ASSERT_EQ(seams::NoteBoxes().size(), 1u);
  EXPECT_EQ(seams::NoteBoxes()[0].caption, "FILE WRITE ERROR");
  EXPECT_EQ(seams::NoteBoxes()[0].text, "Incomplete file write.");
  EXPECT_EQ(FileClose(f, true), 0);

  f = FileOpenOrCreate(path.c_str(), true);
  ASSERT_NE(f, 0);
  EXPECT_FALSE(WriteErrorShown()) << "an open clears the flag";
  FileWriteChecked(f, "xy", 2);
  EXPECT_EQ(seams::NoteBoxes().size(), 2u);
  FileClose(f, false);

  seams::SetWriteBudget(-1);
  FileTimeStamp(path.c_str());
  EXPECT_FALSE(WriteErrorShown()) << "a stamp read clears the flag too";
}

TEST_F(ServicesTest, OpenOrCreateKeepsOldBytesUntilTruncatingClose) {
  TempDir dir;
  std::string path = dir.File("t.bin");
  EXPECT_EQ(FileOpen(path.c_str(), false), 0) << "missing file";
  EXPECT_EQ(FileOpenOrCreate(path.c_str(), false), 0) << "no create without write";
  EXPECT_FALSE(testing::FileExists(path));

  FileHandle f = FileOpenOrCreate(path.c_str(), true);
  ASSERT_NE(f, 0);
  EXPECT_EQ(FileWriteChecked(f, "0123456789", 10), 10);
  FileClose(f, true);

  f = FileOpenOrCreate(path.c_str(), true);
  ASSERT_NE(f, 0);
  EXPECT_EQ(FileWriteChecked(f, "abc", 3), 3);
  FileClose(f, false);
  EXPECT_EQ(testing::ReadFileBytes(path).size(), 10u) << "not emptied on open";

  f = FileOpenOrCreate(path.c_str(), true);
  FileWriteChecked(f, "xyz", 3);
  FileClose(f, true);
  std::vector<uint8_t> bytes = testing::ReadFileBytes(path);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "xyz");
}

TEST_F(ServicesTest, FileSizeKeepsTheReadPosition) {
  TempDir dir;
  std::string path = dir.File("s.bin");
  testing::WriteFileBytes(path, {1, 2, 3, 4, 5, 6, 7, 8, 9});
  FileHandle f = FileOpen(path.c_str(), false);
  ASSERT_NE(f, 0);
  uint8_t buf[4];
  EXPECT_EQ(FileRead(f, buf, 4), 4);
  EXPECT_EQ(FileSize(f), 9);
  EXPECT_EQ(FileRead(f, buf, 4), 4);
  EXPECT_EQ(buf[0], 5);
  EXPECT_EQ(FileRead(f, buf, 4), 1);
  EXPECT_EQ(FileSize(f), 9);
  FileClose(f, false);
}

TEST_F(ServicesTest, TimeStampFollowsTheCalendarFormula) {
  EXPECT_EQ(StampFromFields(2000, 1, 1, 0, 0, 0), 2764800);
  // S + 60N + 3600H + 86400D + 2678400M + 977616000(Y-2000) modulo 2^32.
  uint64_t exact = 7 + 60ull * 8 + 3600ull * 9 + 86400ull * 10 + 2678400ull * 11 +
                   977616000ull * 26;
  EXPECT_EQ(StampFromFields(2026, 11, 10, 9, 8, 7),
            static_cast<int32_t>(static_cast<uint32_t>(exact)));

  TempDir dir;
  std::string path = dir.File("stamp.bin");
  EXPECT_EQ(FileTimeStamp(path.c_str()), 0) << "missing file";
  testing::WriteFileBytes(path, {1});
  struct utimbuf times = {946684800, 946684800};  // 2000-01-01 00:00:00 UTC
  ASSERT_EQ(utime(path.c_str(), &times), 0);
  EXPECT_EQ(FileTimeStamp(path.c_str()), 2764800);
  EXPECT_EQ(FileTimeStamp(path.c_str()), FileTimeStamp(path.c_str()));
}

TEST_F(ServicesTest, ClipboardDeliversAtMost255Characters) {
  char buf[300];
  EXPECT_EQ(ClipboardGetText(buf), 0);
  EXPECT_EQ(ClipboardSetText("hello", 6), 1);
  EXPECT_EQ(ClipboardGetText(nullptr), 1) << "presence without a destination";
  EXPECT_EQ(ClipboardGetText(buf), 1);
  EXPECT_STREQ(buf, "hello");

  std::string big(400, 'k');
  seams::SetClipboard(big);
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(ClipboardGetText(buf), 1);
  EXPECT_EQ(std::strlen(buf), 255u);
  EXPECT_EQ(buf[256], 'x');

  seams::SetClipboardRefuses(true);
  EXPECT_EQ(ClipboardSetText("no", 3), 0);
}

// The vector set follows what the processor and its system report, and
// never goes past it: AVX-512 needs AVX2 and FMA reported beside it (its
// code uses both), and each set needs its registers enabled in XCR0.
TEST(VectorSetForTest, NoSetWiderThanTheReportedBitsAllow) {
  const uint32_t fma = 1u << 12, osxsave = 1u << 27, avx = 1u << 28;
  const uint32_t avx2 = 1u << 5, avx512 = (1u << 16) | (1u << 30);  // F and BW
  const uint32_t ymm = 0x7, zmm = 0xE7;
  const uint32_t allLeaf1 = fma | osxsave | avx;
  EXPECT_EQ(VectorSetFor(allLeaf1, zmm, avx2 | avx512), VectorSet::kAvx512);
  EXPECT_EQ(VectorSetFor(allLeaf1, ymm, avx2 | avx512), VectorSet::kAvx2);  // no ZMM state
  EXPECT_EQ(VectorSetFor(allLeaf1, zmm, avx2), VectorSet::kAvx2);
  // AVX-512 reported with AVX2 or FMA hidden: neither wide set.
  EXPECT_EQ(VectorSetFor(allLeaf1, zmm, avx512), VectorSet::kSse2);
  EXPECT_EQ(VectorSetFor(osxsave | avx, zmm, avx2 | avx512), VectorSet::kSse2);
  // No OSXSAVE, no AVX, or YMM state off: SSE2 whatever leaf 7 says.
  EXPECT_EQ(VectorSetFor(fma | avx, 0, avx2 | avx512), VectorSet::kSse2);
  EXPECT_EQ(VectorSetFor(fma | osxsave, zmm, avx2 | avx512), VectorSet::kSse2);
  EXPECT_EQ(VectorSetFor(allLeaf1, 0x3, avx2 | avx512), VectorSet::kSse2);
  // Only one of AVX-512's two parts: AVX2.
  EXPECT_EQ(VectorSetFor(allLeaf1, zmm, avx2 | (1u << 16)), VectorSet::kAvx2);
}

}  // namespace
}  // namespace kelvra
