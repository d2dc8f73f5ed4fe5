// Action descriptors: every value type read back, every cut of a good
// descriptor refused, nesting at and past the limit, values asked for as
// the wrong type, and lengths and counts that run past the end.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bitmap/psd_descriptor.h"
#include "tests/support/psd_build.h"

namespace kelvra {
namespace {

using testing::BoolValue;
using testing::DescriptorBytes;
using testing::DoubleValue;
using testing::EnumValue;
using testing::IdBytes;
using testing::IntegerValue;
using testing::Item;
using testing::ListValue;
using testing::ObjectValue;
using testing::RgbValue;
using testing::UnitValue;

std::vector<uint8_t> Typed(const std::string& type, std::vector<uint8_t> bytes) {
  bytes.insert(bytes.begin(), type.begin(), type.end());
  return bytes;
}
std::vector<uint8_t> Be32(uint32_t v) {
  return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}
std::vector<uint8_t> Cat(std::vector<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

class DescriptorTest : public ::testing::Test {
 protected:
  std::vector<uint8_t> bytes;
  PsdSource source;
  std::unique_ptr<SourceWindow> window;
  bool Open(std::vector<uint8_t> b, Descriptor* d, uint64_t* used = nullptr, bool versioned = false) {
    bytes = std::move(b);
    source = PsdSource::Memory(bytes.data(), bytes.size());
    window = std::make_unique<SourceWindow>(&source);
    const SourceCursor c(window.get(), 0, bytes.size());
    return versioned ? Descriptor::ReadVersioned(c, d) : Descriptor::Read(c, d, used);
  }
};

// One item of every type, a key of a word, a key too long, a repeated key.
std::vector<uint8_t> EveryType() {
  const std::vector<uint8_t> reference = Typed(
      "obj ", Cat({Be32(7), Typed("prop", Cat({Be32(0), IdBytes("Lyr "), IdBytes("Nm  ")})),
                   Typed("Clss", Cat({Be32(1), {0, 'x'}, IdBytes("Lyr ")})),
                   Typed("Enmr", Cat({Be32(0), IdBytes("Lyr "), IdBytes("Ordn"), IdBytes("Trgt")})),
                   Typed("rele", Cat({Be32(0), IdBytes("Lyr "), Be32(2)})), Typed("Idnt", Be32(5)),
                   Typed("indx", Be32(1)),
                   Typed("name", Cat({Be32(0), IdBytes("Lyr "), Be32(1), {0, 'y'}}))}));
  return DescriptorBytes(
      "null",
      {{"Clr ", RgbValue(255, 0.5, 0)},
       {"masterFXSwitch", BoolValue(true)},
       {"Md  ", EnumValue("BlnM", "linearBurn")},
       {"Opct", UnitValue("#Prc", 42.5)},
       {"Cnt ", IntegerValue(-7)},
       {"Big ", Typed("comp", std::vector<uint8_t>(8, 9))},
       {"Nm  ", Typed("TEXT", Cat({Be32(2), {0, 'a', 0, 'b'}}))},
       {"Lst ", ListValue({DoubleValue(1.5), ObjectValue("Pnt ", {{"Hrzn", DoubleValue(3)}})})},
       {"Cls ", Typed("type", Cat({Be32(0), IdBytes("Clss")}))},
       {"Glb ", Typed("GlbC", Cat({Be32(0), IdBytes("Clss")}))},
       {"Ref ", reference},
       {"Raw ", Typed("tdta", Cat({Be32(3), {1, 2, 3}}))},
       {"Als ", Typed("alis", Cat({Be32(1), {7}}))},
       {"Pth ", Typed("Pth ", Cat({Be32(0)}))},
       {"Flts", Typed("UnFl", Cat({{'#', 'P', 'x', 'l'}, Be32(2), std::vector<uint8_t>(16, 0)}))},
       {"GlO ", Typed("GlbO", DescriptorBytes("Pnt ", {}))},
       {std::string(40, 'k'), BoolValue(true)},
       {"Dup ", IntegerValue(1)},
       {"Dup ", IntegerValue(2)}});
}

TEST_F(DescriptorTest, EveryTypeIsReadBack) {
  Descriptor d, colour, point;
  uint64_t used = 0;
  std::vector<uint8_t> doc = EveryType();
  const size_t length = doc.size();
  doc.push_back(0xEE);  // a byte after it is not its own
  ASSERT_TRUE(Open(doc, &d, &used));
  EXPECT_EQ(used, length);
  EXPECT_TRUE(d.classId().Is("null"));
  EXPECT_EQ(d.count(), 19u);
  double r = -1, g = -1, b = -1, opacity = 0;
  ASSERT_TRUE(d.FindObject("Clr ", &colour));
  EXPECT_TRUE(colour.classId().Is("RGBC"));
  EXPECT_TRUE(colour.FindDouble("Rd  ", &r) && colour.FindDouble("Grn ", &g) &&
              colour.FindDouble("Bl  ", &b));
  EXPECT_EQ(r, 255);
  EXPECT_EQ(g, 0.5);
  EXPECT_EQ(b, 0);
  bool master = false;
  EXPECT_TRUE(d.FindBool("masterFXSwitch", &master) && master);
  DescriptorId mode, unit;
  EXPECT_TRUE(d.FindEnum("Md  ", &mode) && mode.Is("linearBurn"));
  DescriptorValue v;
  ASSERT_TRUE(d.Find("Opct", &v));
  EXPECT_TRUE(v.UnitFloat(&unit, &opacity) && unit.Is("#Prc") && opacity == 42.5);
  EXPECT_TRUE(v.Double(&opacity) && opacity == 42.5);  // a unit float is a double too
  int32_t n = 0;
  EXPECT_TRUE(d.Find("Cnt ", &v) && v.Integer(&n) && n == -7);
  EXPECT_TRUE(d.Find("Dup ", &v) && v.Integer(&n) && n == 1);  // the first of a repeated key
  DescriptorList list;
  ASSERT_TRUE(d.Find("Lst ", &v) && v.List(&list));
  EXPECT_EQ(list.count(), 2u);
  double first = 0, h = 0;
  ASSERT_TRUE(list.Next(&v) && v.Double(&first));
  ASSERT_TRUE(list.Next(&v) && v.Object(&point) && point.FindDouble("Hrzn", &h));
  EXPECT_EQ(first, 1.5);
  EXPECT_EQ(h, 3);
  EXPECT_FALSE(list.Next(&v));
  // A key longer than an ID holds matches nothing, not even its beginning.
  EXPECT_FALSE(d.Find(std::string(31, 'k').c_str(), &v));
  Descriptor::Items items = d.items();
  DescriptorId key;
  int seen = 0, tooLong = 0;
  while (items.Next(&key, &v)) ++seen, tooLong += key.tooLong;
  EXPECT_EQ(seen, 19);
  EXPECT_EQ(tooLong, 1);
  // Versioned, as tagged blocks hold it.
  EXPECT_TRUE(Open(Cat({Be32(16), EveryType()}), &d, nullptr, true));
  EXPECT_FALSE(Open(Cat({Be32(15), EveryType()}), &d, nullptr, true));
}

TEST_F(DescriptorTest, EveryCutIsRefused) {
  const std::vector<uint8_t> whole = EveryType();
  Descriptor d;
  for (size_t n = 0; n < whole.size(); ++n) {
    EXPECT_FALSE(Open(std::vector<uint8_t>(whole.begin(), whole.begin() + n), &d)) << n;
  }
}

TEST_F(DescriptorTest, NestingStopsAtTheLimit) {
  for (int levels : {kMaxDescriptorDepth, kMaxDescriptorDepth + 1}) {
    for (bool lists : {false, true}) {
      SCOPED_TRACE(std::to_string(levels) + (lists ? " lists" : " objects"));
      std::vector<uint8_t> value = BoolValue(true);
      for (int i = 0; i < levels; ++i) {
        value = lists ? ListValue({value}) : ObjectValue("Obj ", {{"o   ", value}});
      }
      Descriptor d;
      const bool ok = Open(DescriptorBytes("null", {{"o   ", value}}), &d);
      EXPECT_EQ(ok, levels <= kMaxDescriptorDepth);
      if (!ok || lists) continue;
      // The deepest value is reached through every level.
      for (int i = 0; i < levels; ++i) ASSERT_TRUE(d.FindObject("o   ", &d)) << i;
      bool deepest = false;
      EXPECT_TRUE(d.FindBool("o   ", &deepest) && deepest);
    }
  }
}

TEST_F(DescriptorTest, ValuesAskedForAsAnotherTypeAreNotRead) {
  Descriptor d, o;
  ASSERT_TRUE(Open(EveryType(), &d));
  double x;
  bool b;
  int32_t i;
  DescriptorId id, unit;
  DescriptorValue v;
  DescriptorList list;
  EXPECT_FALSE(d.FindDouble("masterFXSwitch", &x));
  EXPECT_FALSE(d.FindBool("Cnt ", &b));
  EXPECT_FALSE(d.FindObject("Lst ", &o));
  EXPECT_FALSE(d.FindEnum("Nm  ", &id));
  EXPECT_FALSE(d.FindDouble("Absent", &x));
  ASSERT_TRUE(d.Find("Clr ", &v));
  EXPECT_FALSE(v.List(&list) || v.Integer(&i) || v.Double(&x) || v.Bool(&b));
  ASSERT_TRUE(d.Find("Big ", &v));
  EXPECT_FALSE(v.Integer(&i) || v.UnitFloat(&unit, &x) || v.Enum(&id, &unit));
}

TEST_F(DescriptorTest, BrokenStructureIsRefused) {
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"a type not known", DescriptorBytes("null", {{"x   ", Typed("zzzz", {0, 0, 0, 0})}})},
      {"a reference of a form not known",
       DescriptorBytes("null", {{"r   ", Typed("obj ", Cat({Be32(1), {'z', 'z', 'z', 'z'}}))}})},
      {"an item count past the end", Cat({Be32(0), IdBytes("null"), Be32(0xFFFFFFFF)})},
      {"a list count past the end", DescriptorBytes("null", {{"l   ", Typed("VlLs", Be32(0xFFFFFFFF))}})},
      {"a key length past the end", Cat({Be32(0), IdBytes("null"), Be32(1), Be32(0xFFFFFFFF)})},
      {"a text length past the end",
       DescriptorBytes("null", {{"t   ", Typed("TEXT", Be32(0x7FFFFFFF))}})},
      {"raw bytes past the end", DescriptorBytes("null", {{"t   ", Typed("tdta", Be32(100))}})},
      {"unit floats past the end",
       DescriptorBytes("null", {{"f   ", Typed("UnFl", Cat({Be32(0), Be32(0x20000000)}))}})},
      {"a class name past the end", Cat({Be32(0x80000000), IdBytes("null"), Be32(0)})},
  };
  for (const Case& c : cases) {
    Descriptor d;
    EXPECT_FALSE(Open(c.bytes, &d)) << c.what;
  }
}

}  // namespace
}  // namespace kelvra
