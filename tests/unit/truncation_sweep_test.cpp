// Truncation and corruption sweeps over every document the library reads
// back: our own flat and layered documents and the documents written by
// other programs (tests/data/psd). Each is cut at every offset and read by
// both readers; then each length, count and size field is set to values
// around and far from its own. Every read must either fail cleanly (-1, the
// receiver unchanged or without pixels, never partly decoded) or succeed; a
// cut document that still reads must give exactly the pixels of the whole
// one (the bytes cut away were not needed), except that a document cut
// exactly where its composite image starts has no composite, and the flat
// reader then composites its layers. The sanitizer build runs the same
// sweeps and proves that no read goes past the bytes.
#include <dirent.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "bitmap/abitmap.h"
#include "bitmap/psd_reader.h"
#include "tests/support/psd_feature_docs.h"
#include "tests/support/test_env.h"

namespace kelvra {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;

const std::string kDataDir = std::string(KELVRA_TESTDATA_DIR) + "/psd";

struct Document {
  std::string name;
  std::vector<uint8_t> bytes;
};

// A receiver that already owns pixels, so that a refusal that touched it shows.
class Receiver {
 public:
  Receiver() {
    raster.Allocate(3, 2, 32);
    for (int i = 0; i < 24; ++i) raster.pixels[i] = static_cast<uint8_t>(0xC0 + i);
  }
  ~Receiver() { raster.Release(); }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  bool Unchanged() const {
    if (raster.pixels == nullptr || raster.width != 3 || raster.height != 2) return false;
    for (int i = 0; i < 24; ++i) {
      if (raster.pixels[i] != static_cast<uint8_t>(0xC0 + i)) return false;
    }
    return true;
  }
  std::vector<uint8_t> Pixels() const {
    return raster.pixels == nullptr
               ? std::vector<uint8_t>()
               : std::vector<uint8_t>(raster.pixels, raster.pixels + raster.PixelCount() * 4);
  }
  ABitMap raster;
};

// What a read gave: its status and, after a success, the raster.
struct Outcome {
  int32_t status;
  int32_t width, height;
  std::vector<uint8_t> pixels;
  bool clean;  // a failure left the receiver unchanged or without pixels
};

enum class Reader { kFlat, kLayered };

Outcome Read(Reader reader, const uint8_t* bytes, size_t length) {
  Receiver r;
  int32_t status;
  if (reader == Reader::kFlat) {
    status = r.raster.LoadFromFile(nullptr, false, bytes, static_cast<uint32_t>(length));
  } else {
    status = ReadLayeredImage(bytes, length, false, &r.raster) == PsdRead::kOk ? 0 : -1;
  }
  Outcome o{status, r.raster.width, r.raster.height, {}, true};
  if (status == 0) {
    o.pixels = r.Pixels();
  } else {
    o.clean = r.Unchanged() || r.raster.pixels == nullptr;
  }
  return o;
}

// Our own documents, written by the library's writers: flat with and
// without alpha, layered with a shading layer, a masked layer and one layer,
// at odd and even pixel counts.
std::vector<Document> OwnDocuments(const TempDir& dir) {
  std::vector<Document> docs;
  const int sizes[][2] = {{1, 1}, {5, 3}, {4, 4}, {130, 2}};
  for (const auto& s : sizes) {
    const std::string tag = std::to_string(s[0]) + "x" + std::to_string(s[1]);
    ABitMap a, b, m;
    for (ABitMap* r : {&a, &b, &m}) {
      r->Allocate(s[0], s[1], 32);
      for (uint64_t i = 0; i < r->PixelCount() * 4; ++i) {
        r->pixels[i] = static_cast<uint8_t>(i * 37 + (r == &b ? 5 : r == &m ? 9 : 0));
      }
    }
    const ABitMap* layers[] = {&a, &b};
    const std::string flat = dir.File("flat_" + tag), alpha = dir.File("alpha_" + tag);
    const std::string shading = dir.File("shading_" + tag), masked = dir.File("masked_" + tag);
    const std::string single = dir.File("single_" + tag);
    EXPECT_EQ(a.SaveToFile(flat.c_str(), false), 0);
    EXPECT_EQ(a.SaveToFile(alpha.c_str(), true), 0);
    EXPECT_EQ(ABitMap::SaveMultiLayers(shading.c_str(), layers, 2, &b, nullptr, 0), 0);
    EXPECT_EQ(ABitMap::SaveMultiLayers(masked.c_str(), layers, 2, &a, &m, 0x40000000), 0);
    EXPECT_EQ(ABitMap::SaveMultiLayers(single.c_str(), layers, 1, &a, nullptr, 0), 0);
    for (const std::string& p : {flat, alpha, shading, masked, single}) {
      docs.push_back({"own " + p.substr(dir.path().size() + 1), ReadFileBytes(p)});
    }
    a.Release();
    b.Release();
    m.Release();
  }
  return docs;
}

// Hand-built layered documents with groups, masks, clipping, blend modes
// and refused blocks.
std::vector<Document> FeatureDocuments() {
  std::vector<Document> docs;
  for (testing::NamedDocument& d : testing::FeatureDocuments()) {
    docs.push_back({"feature " + d.name, std::move(d.bytes)});
  }
  return docs;
}

std::vector<Document> Fixtures() {
  std::vector<Document> docs;
  DIR* d = opendir(kDataDir.c_str());
  if (d == nullptr) return docs;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name.size() > 4 && name.substr(name.size() - 4) == ".psd") {
      docs.push_back({name, ReadFileBytes(kDataDir + "/" + name)});
    }
  }
  closedir(d);
  std::sort(docs.begin(), docs.end(), [](const Document& x, const Document& y) { return x.name < y.name; });
  return docs;
}

// Where the composite image data starts (past the end when a length field
// does not fit).
size_t ImageDataAt(const std::vector<uint8_t>& b) {
  size_t at = 26;
  for (int section = 0; section < 3; ++section) {
    if (at + 4 > b.size()) return SIZE_MAX;
    at += 4 + (static_cast<size_t>(b[at]) << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3]);
  }
  return at;
}

// ---- length fields ------------------------------------------------------------

struct Field {
  size_t offset;
  int size;  // 2 or 4 bytes, big-endian
  std::string what;
};

uint32_t Get(const std::vector<uint8_t>& b, size_t at, int size) {
  uint32_t v = 0;
  for (int i = 0; i < size; ++i) v = v << 8 | b[at + i];
  return v;
}

void Put(std::vector<uint8_t>& b, size_t at, int size, uint32_t v) {
  for (int i = size - 1; i >= 0; --i, v >>= 8) b[at + i] = static_cast<uint8_t>(v);
}

// Every length, count and size field the readers use, found by walking the
// document as far as it holds together: header counts and sizes, the three
// section lengths, the layer info length and count, each layer record's
// rectangle, channel count, channel data lengths and extra data length, each
// channel's compression value and first row byte counts, and the
// composite's compression value and first row byte counts.
std::vector<Field> LengthFields(const std::vector<uint8_t>& b) {
  std::vector<Field> f;
  if (b.size() < 26) return f;
  f.push_back({12, 2, "channel count"});
  f.push_back({14, 4, "rows"});
  f.push_back({18, 4, "columns"});
  f.push_back({22, 2, "depth"});
  f.push_back({24, 2, "colour mode"});
  const uint32_t rows = Get(b, 14, 4);
  const int channels = static_cast<int16_t>(Get(b, 12, 2));
  size_t at = 26;
  auto fits = [&](size_t n) { return at + n <= b.size(); };
  if (!fits(4)) return f;
  f.push_back({at, 4, "colour mode data length"});
  at += 4 + Get(b, at, 4);
  if (!fits(4)) return f;
  f.push_back({at, 4, "image resources length"});
  at += 4 + Get(b, at, 4);
  if (!fits(4)) return f;
  f.push_back({at, 4, "layer section length"});
  const size_t sectionEnd = at + 4 + Get(b, at, 4);
  size_t info = at + 4;
  at = sectionEnd;
  if (sectionEnd > info && info + 6 <= b.size()) {
    f.push_back({info, 4, "layer info length"});
    f.push_back({info + 4, 2, "layer count"});
    int count = static_cast<int16_t>(Get(b, info + 4, 2));
    if (count < 0) count = -count;
    size_t r = info + 6;
    std::vector<std::pair<uint32_t, int>> firstChannels;  // length, index
    for (int layer = 0; layer < count && r + 18 <= b.size(); ++layer) {
      const std::string L = "layer " + std::to_string(layer) + " ";
      for (int k = 0; k < 4; ++k) f.push_back({r + 4 * k, 4, L + "rectangle " + std::to_string(k)});
      f.push_back({r + 16, 2, L + "channel count"});
      const int k = static_cast<int16_t>(Get(b, r + 16, 2));
      r += 18;
      for (int c = 0; c < k && r + 6 <= b.size(); ++c, r += 6) {
        f.push_back({r + 2, 4, L + "channel " + std::to_string(c) + " length"});
        if (layer == 0) firstChannels.push_back({Get(b, r + 2, 4), c});
      }
      r += 12;
      if (r + 4 > b.size()) break;
      f.push_back({r, 4, L + "extra data length"});
      r += 4 + Get(b, r, 4);
    }
    // The first layer's channel data follows the records.
    for (const auto& [length, c] : firstChannels) {
      if (r + 2 > b.size()) break;
      f.push_back({r, 2, "layer 0 channel " + std::to_string(c) + " compression"});
      if (Get(b, r, 2) == 1) {
        for (uint32_t row = 0; row < 2 && row < rows && r + 4 + 2 * row <= b.size(); ++row) {
          f.push_back({r + 2 + 2 * row, 2, "layer 0 channel row byte count"});
        }
      }
      r += length;
    }
  }
  if (at + 2 <= b.size()) {
    f.push_back({at, 2, "composite compression"});
    if (Get(b, at, 2) == 1) {
      for (uint32_t row = 0; row < 3 && at + 4 + 2 * row <= b.size(); ++row) {
        f.push_back({at + 2 + 2 * row, 2, "composite row byte count"});
      }
      // The first count of the second channel's rows.
      const size_t second = at + 2 + 2 * static_cast<size_t>(rows);
      if (channels > 1 && second + 2 <= b.size()) f.push_back({second, 2, "composite row byte count"});
    }
  }
  return f;
}

// Values for a field: next to its own, halved and doubled, and the extremes
// of both signed and unsigned reading.
std::vector<uint32_t> Corruptions(uint32_t v, int size) {
  const uint32_t mask = size == 2 ? 0xFFFFu : 0xFFFFFFFFu;
  std::vector<uint32_t> out = {0, 1, 2, 3, 4, v + 1, v - 1, v + 2, v - 2, v / 2, v * 2, v ^ 0x80,
                               mask, mask >> 1, (mask >> 1) + 1, v + 129, v ^ mask};
  for (uint32_t& x : out) x &= mask;
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  out.erase(std::remove(out.begin(), out.end(), v & mask), out.end());
  return out;
}

// ---- the sweeps ---------------------------------------------------------------

class TruncationSweep : public testing::KelvraTest {
 protected:
  TempDir dir;
  std::vector<Document> Documents() {
    std::vector<Document> docs = OwnDocuments(dir);
    for (Document& d : Fixtures()) docs.push_back(std::move(d));
    for (Document& d : FeatureDocuments()) docs.push_back(std::move(d));
    return docs;
  }
};

TEST_F(TruncationSweep, EveryCutFailsCleanlyOrReadsTheWholeDocumentsPixels) {
  const std::vector<Document> docs = Documents();
  ASSERT_GE(docs.size(), 30u);
  size_t cuts = 0;
  for (const Document& d : docs) {
    SCOPED_TRACE(d.name);
    for (Reader reader : {Reader::kFlat, Reader::kLayered}) {
      const Outcome whole = Read(reader, d.bytes.data(), d.bytes.size());
      const size_t noComposite = reader == Reader::kFlat ? ImageDataAt(d.bytes) : SIZE_MAX;
      for (size_t n = 0; n < d.bytes.size(); ++n) {
        // The cut document in a block of exactly its length.
        std::vector<uint8_t> cut(d.bytes.begin(), d.bytes.begin() + n);
        const Outcome o = Read(reader, cut.empty() ? nullptr : cut.data(), n);
        ++cuts;
        ASSERT_TRUE(o.status == 0 || o.status == -1) << "cut at " << n;
        if (o.status == -1) {
          ASSERT_TRUE(o.clean) << "partly decoded pixels left after a cut at " << n;
          continue;
        }
        if (n == noComposite) continue;  // the layers' composite, tested by the reader tests
        ASSERT_EQ(whole.status, 0) << "a cut at " << n << " reads, the whole document does not";
        ASSERT_EQ(o.width, whole.width) << n;
        ASSERT_EQ(o.height, whole.height) << n;
        ASSERT_EQ(o.pixels, whole.pixels) << "a cut at " << n << " reads other pixels";
      }
    }
  }
  RecordProperty("cuts", static_cast<int>(cuts));
}

TEST_F(TruncationSweep, CutFilesFailCleanlyThroughTheFileReaders) {
  // The same through the files, on a sample of cuts: the whole-file read,
  // its block and its file handle on every path.
  const std::vector<Document> docs = Documents();
  const std::string path = dir.File("cut.psd");
  for (const Document& d : docs) {
    SCOPED_TRACE(d.name);
    Receiver full;
    testing::WriteFileBytes(path, d.bytes);
    const int32_t wholeFlat = full.raster.LoadFromFile(path.c_str(), false);
    const std::vector<uint8_t> flatPixels = full.Pixels();
    const int32_t wholeLayered = full.raster.LoadLayeredFromFile(path.c_str(), false);
    const std::vector<uint8_t> layeredPixels = full.Pixels();
    const size_t step = d.bytes.size() > 4096 ? 61 : 7;
    for (size_t n = 0; n < d.bytes.size(); n += step) {
      testing::WriteFileBytes(path, std::vector<uint8_t>(d.bytes.begin(), d.bytes.begin() + n));
      Receiver flat, layered;
      const int32_t f = flat.raster.LoadFromFile(path.c_str(), false);
      const int32_t l = layered.raster.LoadLayeredFromFile(path.c_str(), false);
      if (f != 0) {
        ASSERT_EQ(f, -1);
        ASSERT_TRUE(flat.Unchanged() || flat.raster.pixels == nullptr) << n;
      } else if (n != ImageDataAt(d.bytes)) {
        ASSERT_EQ(wholeFlat, 0);
        ASSERT_EQ(flat.Pixels(), flatPixels) << n;
      }
      if (l != 0) {
        ASSERT_EQ(l, -1);
        ASSERT_TRUE(layered.Unchanged() || layered.raster.pixels == nullptr) << n;
      } else {
        ASSERT_EQ(wholeLayered, 0);
        ASSERT_EQ(layered.Pixels(), layeredPixels) << n;
      }
    }
  }
}

TEST_F(TruncationSweep, CorruptLengthFieldsFailCleanlyOrReadADocumentSizedRaster) {
  const std::vector<Document> docs = Documents();
  size_t reads = 0, fields = 0;
  for (const Document& d : docs) {
    SCOPED_TRACE(d.name);
    const std::vector<Field> list = LengthFields(d.bytes);
    ASSERT_GE(list.size(), 9u);
    fields += list.size();
    for (const Field& field : list) {
      const uint32_t own = Get(d.bytes, field.offset, field.size);
      for (uint32_t v : Corruptions(own, field.size)) {
        std::vector<uint8_t> bad = d.bytes;
        Put(bad, field.offset, field.size, v);
        // Headers claiming huge rasters are left to the allocation tests:
        // reading them would only measure this machine's memory.
        const uint64_t pixels = static_cast<uint64_t>(Get(bad, 14, 4)) * Get(bad, 18, 4);
        for (Reader reader : {Reader::kFlat, Reader::kLayered}) {
          if (reader == Reader::kLayered && pixels > (1u << 22)) continue;
          const Outcome o = Read(reader, bad.data(), bad.size());
          ++reads;
          ASSERT_TRUE(o.status == 0 || o.status == -1) << field.what << " = " << v;
          if (o.status == -1) {
            ASSERT_TRUE(o.clean) << "partly decoded pixels after " << field.what << " = " << v;
          } else {
            ASSERT_EQ(static_cast<uint32_t>(o.width), Get(bad, 18, 4)) << field.what << " = " << v;
            ASSERT_EQ(static_cast<uint32_t>(o.height), Get(bad, 14, 4)) << field.what << " = " << v;
          }
        }
      }
    }
  }
  RecordProperty("fields", static_cast<int>(fields));
  RecordProperty("reads", static_cast<int>(reads));
}

}  // namespace
}  // namespace kelvra
