// Documents written through a bounded buffer: the same bytes whatever the
// buffer's size (every field, plane and 16-bit sample cut across buffer
// ends), a full disk at every byte of a document written in many pieces, the
// writer's own length check, and the shading layer made piece by piece
// against the whole shading raster.
#include <xmmintrin.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "bitmap/abitmap.h"
#include "bitmap/psd_writers.h"
#include "bitmap/stream_writer.h"
#include "editorlink/shading.h"
#include "hostsim/hostsim.h"
#include "services/services.h"
#include "tests/support/test_env.h"
#include "tests/support/vector_set_test.h"

namespace kelvra {
namespace {

using testing::ReadFileBytes;

struct Pixels {
  std::vector<uint8_t> bytes;
  ABitMap map;
  Pixels(int32_t w, int32_t h, int32_t bits, uint32_t seed)
      : bytes(static_cast<size_t>(w) * h * bits / 8) {
    uint32_t x = seed * 2654435761u + 1;
    for (uint8_t& b : bytes) {
      x ^= x << 13, x ^= x >> 17, x ^= x << 5;
      b = static_cast<uint8_t>(x >> 9);
    }
    map.width = w, map.height = h, map.bitsPerPixel = bits, map.pixels = bytes.data();
  }
};

class StreamWriterTest : public testing::KelvraTest {
 protected:
  testing::TempDir dir;
  std::string path = dir.File("doc.psd");
};

// The shading levels of two rasters, piece by piece, as the editor link
// hands them to the layered writer.
struct ShadingContext {
  const uint8_t* flat;
  const uint8_t* shaded;
  bool grey;
};
void Produce(const void* context, int32_t channel, uint64_t first, uint32_t count,
             uint8_t* dst) {
  const ShadingContext* c = static_cast<const ShadingContext*>(context);
  ShadingLevels(ChosenVectorSet(), c->flat, c->shaded, c->grey, channel, first, count, dst);
}

TEST_F(StreamWriterTest, EveryBufferSizeWritesTheSameDocuments) {
  Pixels a(13, 7, 32, 1), b(13, 7, 32, 2), m(13, 7, 32, 3), g(13, 7, 32, 4);
  Pixels deep(13, 7, 16, 5), wide(13, 7, 24, 6);
  const ABitMap* layers[3] = {&a.map, &b.map, &g.map};
  const ABitMap* rasters[4] = {&a.map, &b.map, &a.map, &g.map};
  const int32_t offsets[4] = {2, 0, 3, 1};
  const int32_t offsets16[2] = {1, 2};
  hostsim::SimImage flat(13, 7, 32), shaded(13, 7, 32);
  std::copy(a.bytes.begin(), a.bytes.end(), flat.bytes());
  std::copy(b.bytes.begin(), b.bytes.end(), shaded.bytes());

  // Each document once with the usual buffer, then with buffers from 1 byte
  // up: the bytes must not change.
  using Writer = std::function<int32_t(uint32_t)>;
  std::vector<std::pair<std::string, Writer>> docs = {
      {"flat rgb", [&](uint32_t n) {
         const ABitMap* r[3] = {&a.map, &a.map, &a.map};
         const int32_t o[3] = {2, 1, 0};
         return WriteFlatDocument(a.map, path.c_str(), 3, 8, r, o, n);
       }},
      {"flat mixed", [&](uint32_t n) {
         return WriteFlatDocument(a.map, path.c_str(), 4, 8, rasters, offsets, n);
       }},
      {"flat 16-bit", [&](uint32_t n) {
         const ABitMap* r[1] = {&deep.map};
         const int32_t o[1] = {0};
         return WriteFlatDocument(deep.map, path.c_str(), 1, 16, r, o, n);
       }},
      {"flat 16-bit from 32-bit pixels", [&](uint32_t n) {
         return WriteFlatDocument(a.map, path.c_str(), 2, 16, rasters, offsets16, n);
       }},
      {"flat 24-bit", [&](uint32_t n) {
         const ABitMap* r[3] = {&wide.map, &wide.map, &wide.map};
         const int32_t o[3] = {2, 1, 0};
         return WriteFlatDocument(wide.map, path.c_str(), 3, 8, r, o, n);
       }},
      {"three layers", [&](uint32_t n) {
         return WriteLayeredDocument(path.c_str(), layers, 3, nullptr, &g.map, nullptr, 0, n);
       }},
      {"three layers, mask", [&](uint32_t n) {
         return WriteLayeredDocument(path.c_str(), layers, 3, nullptr, &g.map, &m.map, 0, n);
       }},
  };
  for (bool grey : {false, true}) {
    docs.push_back({grey ? "grey shading made as written" : "shading made as written",
                    [&, grey](uint32_t n) {
                      const ShadingContext c{a.bytes.data(), b.bytes.data(), grey};
                      const ChannelSource source{Produce, &c};
                      const ABitMap* two[2] = {&a.map, nullptr};
                      return WriteLayeredDocument(path.c_str(), two, 2, &source, &b.map, nullptr,
                                                  0, n);
                    }});
  }
  for (const auto& [name, write] : docs) {
    ASSERT_EQ(write(kStreamBufferBytes), 0) << name;
    const std::vector<uint8_t> whole = ReadFileBytes(path);
    for (uint32_t n : {1u, 2u, 3u, 5u, 16u, 91u, 100u, 1549u}) {
      ASSERT_EQ(write(n), 0) << name << ", buffer " << n;
      EXPECT_EQ(ReadFileBytes(path), whole) << name << ", buffer " << n;
    }
  }

  // The shading layer made as written is the whole shading raster's.
  for (bool grey : {false, true}) {
    ABitMap raster;
    ASSERT_TRUE(BuildShadingLayer(flat.record(), shaded.record(), grey, &raster));
    const ABitMap* two[2] = {&a.map, &raster};
    ASSERT_EQ(ABitMap::SaveMultiLayers(path.c_str(), two, 2, &b.map, nullptr, 0), 0);
    raster.Release();
    const std::vector<uint8_t> fromRaster = ReadFileBytes(path);
    const ShadingContext c{a.bytes.data(), b.bytes.data(), grey};
    const ChannelSource source{Produce, &c};
    const ABitMap* bottomOnly[2] = {&a.map, nullptr};
    ASSERT_EQ(WriteLayeredDocument(path.c_str(), bottomOnly, 2, &source, &b.map, nullptr, 0, 37),
              0);
    EXPECT_EQ(ReadFileBytes(path), fromRaster) << "grey " << grey;
  }
}

// A document written in pieces of 16 bytes, the disk full after each of its
// bytes: one box, the call fails, and exactly the bytes that fitted stay.
TEST_F(StreamWriterTest, DiskFullAtEveryByteOfADocumentWrittenInPieces) {
  Pixels a(3, 2, 32, 1), b(3, 2, 32, 2), m(3, 2, 32, 3);
  const ABitMap* layers[2] = {&a.map, &b.map};
  ASSERT_EQ(WriteLayeredDocument(path.c_str(), layers, 2, nullptr, &b.map, &m.map, 5, 16), 0);
  const std::vector<uint8_t> whole = ReadFileBytes(path);
  ASSERT_EQ(whole.size(), 662u + 10 * 6);
  for (int64_t budget = 0; budget < static_cast<int64_t>(whole.size()); ++budget) {
    // A longer file lies there first: its tail must go.
    testing::WriteFileBytes(path, std::vector<uint8_t>(whole.size() + 50, 0xEE));
    seams::ClearNoteBoxes();
    seams::SetWriteBudget(budget);
    EXPECT_EQ(WriteLayeredDocument(path.c_str(), layers, 2, nullptr, &b.map, &m.map, 5, 16), -1)
        << budget;
    seams::SetWriteBudget(-1);
    ASSERT_EQ(seams::NoteBoxes().size(), 1u) << budget;
    EXPECT_EQ(seams::NoteBoxes()[0].text, kWriteErrorText);
    const std::vector<uint8_t> kept = ReadFileBytes(path);
    EXPECT_EQ(kept, std::vector<uint8_t>(whole.begin(), whole.begin() + budget)) << budget;
  }
}

TEST_F(StreamWriterTest, ProducedLengthMustBeTheAnnouncedOne) {
  const std::vector<uint8_t> ten(10, 0x41);
  {
    // Fewer bytes than announced: a failure, and what was made stays.
    StreamWriter w(12);
    ASSERT_TRUE(w.Open(path.c_str(), "SaveBMapPlanes", 4));
    w.PutBytes(ten.data(), 10);
    EXPECT_EQ(w.Finish(), -1);
    EXPECT_EQ(ReadFileBytes(path), ten);
  }
  {
    // More than announced: nothing past the announced length reaches the
    // file, and the document fails.
    StreamWriter w(8);
    ASSERT_TRUE(w.Open(path.c_str(), "SaveBMapPlanes", 3));
    w.PutBytes(ten.data(), 10);
    w.PutBE32(0x42434445);
    EXPECT_EQ(w.produced(), 8u);
    EXPECT_EQ(w.Finish(), -1);
    EXPECT_EQ(ReadFileBytes(path), std::vector<uint8_t>(8, 0x41));
  }
  {
    // Exactly the length, over fields and pieces of every kind.
    StreamWriter w(4 + 2 + 4 + 1 + 3 + 5);
    ASSERT_TRUE(w.Open(path.c_str(), "SaveBMapPlanes", 3));
    w.PutText("8BPS");
    w.PutBE16(0x0102);
    w.PutBE32(0x03040506);
    w.PutU8(7);
    w.PutZeros(3);
    w.PutPieces(5, [](uint8_t* dst, uint64_t first, uint32_t k) {
      for (uint32_t i = 0; i < k; ++i) dst[i] = static_cast<uint8_t>(0xA0 + first + i);
    });
    EXPECT_EQ(w.Finish(), 0);
    EXPECT_EQ(ReadFileBytes(path),
              (std::vector<uint8_t>{'8', 'B', 'P', 'S', 1, 2, 3, 4, 5, 6, 7, 0, 0, 0, 0xA0, 0xA1,
                                    0xA2, 0xA3, 0xA4}));
  }
  EXPECT_TRUE(seams::NoteBoxes().empty());
}

TEST_F(StreamWriterTest, BufferFirstThenFileAndTheirFailures) {
  testing::WriteFileBytes(path, {1, 2, 3});
  // No buffer: the allocator's box with the writer's tag, the file untouched.
  seams::FailNthAllocation(1);
  {
    StreamWriter w(100);
    EXPECT_FALSE(w.Open(path.c_str(), "SaveMultiLayers"));
    EXPECT_EQ(w.Finish(), -1);
  }
  ASSERT_EQ(seams::NoteBoxes().size(), 1u);
  EXPECT_EQ(seams::NoteBoxes()[0].caption, kMemoryNoteCaption);
  EXPECT_EQ(seams::NoteBoxes()[0].text, "SaveMultiLayers");
  EXPECT_EQ(ReadFileBytes(path), (std::vector<uint8_t>{1, 2, 3}));
  seams::ClearNoteBoxes();

  // No file: no box, and the buffer goes back.
  {
    StreamWriter w(100);
    EXPECT_FALSE(w.Open(dir.File("missing/doc.psd").c_str(), "SaveMultiLayers"));
    EXPECT_EQ(w.Finish(), -1);
  }
  EXPECT_TRUE(seams::NoteBoxes().empty());

  // A document the file services cannot address (2 GiB and more) is refused
  // like a block of that size: the memory box, no file.
  const std::string big = dir.File("big.psd");
  for (uint64_t length : {uint64_t{1} << 31, uint64_t{1} << 32, uint64_t{1} << 40}) {
    StreamWriter w(length);
    EXPECT_FALSE(w.Open(big.c_str(), "SaveMultiLayers"));
  }
  ASSERT_EQ(seams::NoteBoxes().size(), 3u);
  EXPECT_EQ(seams::NoteBoxes()[2].text, "SaveMultiLayers");
  EXPECT_FALSE(testing::FileExists(big));

  // The buffer is the document's size when that is smaller.
  seams::ResetPeakBytes();
  const uint64_t held = seams::BytesHeld();
  {
    StreamWriter w(40);
    ASSERT_TRUE(w.Open(path.c_str(), "SaveBMapPlanes"));
    EXPECT_EQ(seams::PeakBytes() - held, 40u);
    w.PutZeros(40);
    EXPECT_EQ(w.Finish(), 0);
  }
}

TEST(ShadeLevelsTest, TableHoldsShadeValueOfEveryPair) {
  for (int32_t a = 0; a < 256; ++a) {
    for (int32_t b = 0; b < 256; ++b) {
      ASSERT_EQ(kShadeLevels[256 * a + b], ShadeValue(a, b)) << a << ", " << b;
    }
  }
}

// Every pair of levels in every channel, and in grey every pair of channel
// sums, through the pieces the writer asks for (wide steps, their tails and
// single pixels alike), in each vector set.
class ShadeLevelsSetTest : public testing::VectorSetTest {};

TEST_P(ShadeLevelsSetTest, LevelsMadeInPiecesAreShadeValueOfEveryPair) {
  std::vector<uint32_t> flat(65536), shaded(65536);
  std::vector<uint8_t> out(65536);
  const uint8_t* f = reinterpret_cast<const uint8_t*>(flat.data());
  const uint8_t* s = reinterpret_cast<const uint8_t*>(shaded.data());
  auto inPieces = [&](bool grey, int32_t channel) {
    uint64_t at = 0;
    for (uint32_t piece : {1u, 15u, 16u, 17u, 31u, 32u, 33u, 1000u, 64391u}) {
      ShadingLevels(GetParam(), f, s, grey, channel, at, piece, out.data() + at);
      at += piece;
    }
    ASSERT_EQ(at, 65536u);
  };
  // Colour: the pair (a, b) in one channel, other levels in the others,
  // noise in alpha.
  for (uint32_t i = 0; i < 65536; ++i) {
    const uint32_t a = i >> 8, b = i & 255;
    flat[i] = (i * 2654435761u & 0xFF000000u) | a << 16 | b << 8 | (a ^ 0x5A);
    shaded[i] = (i * 40503u & 0xFF000000u) | b << 16 | a << 8 | (b ^ 0xA5);
  }
  // The quotients hold in every rounding mode a host may have set.
  const unsigned int csr = _mm_getcsr();
  for (unsigned int rounding : {_MM_ROUND_NEAREST, _MM_ROUND_DOWN, _MM_ROUND_UP,
                                _MM_ROUND_TOWARD_ZERO}) {
    for (int32_t channel = 0; channel < 3; ++channel) {
      _mm_setcsr((csr & ~_MM_ROUND_MASK) | rounding);
      inPieces(false, channel);
      _mm_setcsr(csr);
      const int shift = 8 * (2 - channel);
      for (uint32_t i = 0; i < 65536; ++i) {
        ASSERT_EQ(out[i], ShadeValue(flat[i] >> shift & 255, shaded[i] >> shift & 255))
            << "pixel " << i << ", channel " << channel << ", rounding " << rounding;
      }
    }
  }
  // Grey: channel sums 0..765 on both sides, in many pairings; the mean is
  // the sum's integer quotient by 3.
  auto withSum = [](uint32_t sum, uint32_t alpha) {
    const uint32_t c0 = sum < 255 ? sum : 255;
    const uint32_t c1 = sum - c0 < 255 ? sum - c0 : 255;
    return alpha << 24 | c0 << 16 | c1 << 8 | (sum - c0 - c1);
  };
  for (uint32_t i = 0; i < 65536; ++i) {
    flat[i] = withSum(i % 766, i & 255);
    shaded[i] = withSum((i / 766 * 97 + i) % 766, (i >> 8) & 255);
  }
  for (int32_t channel = 0; channel < 3; ++channel) {
    inPieces(true, channel);
    for (uint32_t i = 0; i < 65536; ++i) {
      auto mean = [](uint32_t p) {
        return static_cast<int32_t>((p & 255) + (p >> 8 & 255) + (p >> 16 & 255)) / 3;
      };
      ASSERT_EQ(out[i], ShadeValue(mean(flat[i]), mean(shaded[i])))
          << "pixel " << i << ", grey, channel " << channel;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sets, ShadeLevelsSetTest, testing::AllVectorSets(),
                         testing::VectorSetName);

}  // namespace
}  // namespace kelvra
