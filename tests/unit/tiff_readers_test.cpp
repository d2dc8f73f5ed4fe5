// Map files read back by independent readers: libtiff's tools, a small
// program over libtiff that reads every sample, and PIL. Each must accept
// the file with no error and no warning beyond libtiff's note that the
// directory is not in ascending tag order (the Software entry comes last on
// purpose), and read exactly the samples that were written.
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "maps/render_map.h"
#include "tests/support/test_env.h"

namespace kelvra {
namespace {

using testing::KelvraTest;
using testing::ReadFileBytes;
using testing::RunCommand;
using testing::TempDir;

constexpr const char kUnsortedWarning[] =
    "Invalid TIFF directory; tags are not sorted in ascending order";

struct Layout {
  int32_t channels, bits;
};

class TiffReadersTest : public KelvraTest {
 protected:
  // A 13 x 7 map with samples across the whole range; with float samples
  // also below 0 and above 1.
  std::string Render(const Layout& l) {
    std::vector<uint16_t> field(13 * 7);
    for (size_t i = 0; i < field.size(); ++i) field[i] = static_cast<uint16_t>((i * 7919) % 65536);
    const std::string path = dir.File("map" + std::to_string(l.channels) + "_" +
                                      std::to_string(l.bits) + ".tif");
    const bool three = l.channels == 3;
    int32_t status = RenderMap(path.c_str(), field.data(), 13, 7, 13, false, 0.5f, 1,
                               l.bits == 32 ? 1.7f : 1.0f, l.channels, l.bits, 40,
                               three ? 50 : 0, three ? 22 : 0, false, false, 0, nullptr, 1.0f);
    EXPECT_EQ(status, 0);
    return path;
  }

  // The samples as written: decoded from the pixel data of our own file, in
  // the readers' notation (decimal, or the hex bits of a float).
  std::vector<std::string> WrittenRows(const std::string& path, const Layout& l) {
    std::vector<uint8_t> file = ReadFileBytes(path);
    const size_t start = l.channels == 3 ? 241 : 229;
    const size_t bytes = static_cast<size_t>(l.bits / 8);
    std::vector<std::string> rows;
    size_t at = start;
    for (int y = 0; y < 7; ++y) {
      std::ostringstream row;
      for (int i = 0; i < 13 * l.channels; ++i, at += bytes) {
        if (i > 0) row << ' ';
        uint32_t v = 0;
        std::memcpy(&v, &file[at], bytes);
        if (l.bits == 32) {
          char hex[9];
          std::snprintf(hex, sizeof hex, "%08x", v);
          row << hex;
        } else {
          row << v;
        }
      }
      rows.push_back(row.str());
    }
    EXPECT_EQ(at, file.size()) << "the strip ends the file";
    return rows;
  }

  // Runs a reader with standard error kept apart; every line of it must be
  // the unsorted-directory warning.
  std::string RunReader(const std::string& command, int* status) {
    const std::string err = dir.File("stderr.txt");
    std::string out;
    *status = RunCommand("{ " + command + " 2>'" + err + "'; }", &out);
    const std::vector<uint8_t> errBytes = ReadFileBytes(err);
    std::istringstream lines(std::string(errBytes.begin(), errBytes.end()));
    std::string line;
    while (std::getline(lines, line)) {
      EXPECT_NE(line.find(kUnsortedWarning), std::string::npos)
          << command << " reported: " << line;
    }
    return out;
  }

  static std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
  }

  TempDir dir;
};

const Layout kLayouts[] = {{1, 8}, {1, 16}, {1, 32}, {3, 8}, {3, 16}, {3, 32}};

TEST_F(TiffReadersTest, LibtiffToolsAcceptEveryLayout) {
  for (const Layout& l : kLayouts) {
    SCOPED_TRACE(::testing::Message() << l.channels << " channels, " << l.bits << " bits");
    const std::string path = Render(l);
    int status = -1;
    std::string info = RunReader("tiffinfo -D '" + path + "'", &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(info.find("Image Width: 13 Image Length: 7"), std::string::npos) << info;
    EXPECT_NE(info.find("Bits/Sample: " + std::to_string(l.bits)), std::string::npos) << info;
    EXPECT_NE(info.find("Samples/Pixel: " + std::to_string(l.channels)), std::string::npos);
    EXPECT_NE(info.find(l.bits == 32 ? "IEEE floating point" : "unsigned integer"),
              std::string::npos) << info;
    EXPECT_NE(info.find(l.channels == 3 ? "RGB color" : "min-is-black"), std::string::npos);
    EXPECT_NE(info.find("Software: Kelvra"), std::string::npos);
    std::string dump = RunReader("tiffdump '" + path + "'", &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(dump.find("StripByteCounts (279) LONG (4) 1<" +
                        std::to_string(13 * 7 * l.channels * l.bits / 8) + ">"),
              std::string::npos) << dump;
  }
}

TEST_F(TiffReadersTest, LibtiffReadsEverySampleOfEveryLayout) {
  for (const Layout& l : kLayouts) {
    SCOPED_TRACE(::testing::Message() << l.channels << " channels, " << l.bits << " bits");
    const std::string path = Render(l);
    int status = -1;
    std::vector<std::string> lines =
        Lines(RunReader(std::string(KELVRA_TIFF_SAMPLES) + " '" + path + "'", &status));
    EXPECT_EQ(status, 0);
    ASSERT_EQ(lines.size(), 8u);
    // width height samples bits format photometric planar
    std::ostringstream layout;
    layout << "13 7 " << l.channels << " " << l.bits << " " << (l.bits == 32 ? 3 : 1) << " "
           << (l.channels == 3 ? 2 : 1) << " 1";
    EXPECT_EQ(lines[0], layout.str());
    std::vector<std::string> written = WrittenRows(path, l);
    for (int y = 0; y < 7; ++y) EXPECT_EQ(lines[1 + y], written[y]) << "row " << y;
  }
}

TEST_F(TiffReadersTest, PilReadsTheEightBitAndOneChannelMaps) {
  struct PilCase {
    Layout layout;
    const char* mode;
  };
  const PilCase cases[] = {{{1, 8}, "L"}, {{3, 8}, "RGB"}, {{1, 16}, "I;16"}, {{1, 32}, "F"}};
  for (const PilCase& c : cases) {
    SCOPED_TRACE(c.mode);
    const std::string path = Render(c.layout);
    int status = -1;
    std::vector<std::string> lines = Lines(RunReader(
        "/usr/bin/python3 " KELVRA_SOURCE_DIR "/tests/tiffcheck/pil_samples.py '" + path + "'",
        &status));
    EXPECT_EQ(status, 0);
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0], std::string(c.mode) + " 13 7");
    std::vector<std::string> written = WrittenRows(path, c.layout);
    for (int y = 0; y < 7; ++y) EXPECT_EQ(lines[1 + y], written[y]) << "row " << y;
  }
}

}  // namespace
}  // namespace kelvra
