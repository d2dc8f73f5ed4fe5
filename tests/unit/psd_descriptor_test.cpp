// Action descriptors: every value type read back (and not as another type),
// every cut refused, nesting at and past the limit, lengths and counts that run
// past the end.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bitmap/psd_descriptor.h"
#include "tests/support/psd_build.h"

namespace kelvra {
namespace {

using namespace testing;  // kelvra::testing, the document builders
using Bytes = std::vector<uint8_t>;

Bytes Cat(std::vector<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes Be32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }
Bytes Typed(const std::string& type, Bytes b) { return Cat({Bytes(type.begin(), type.end()), b}); }

class DescriptorTest : public ::testing::Test {
 protected:
  Bytes bytes;
  PsdSource source;
  std::unique_ptr<SourceWindow> window;
  bool Open(Bytes b, Descriptor* d, uint64_t* used = nullptr, bool versioned = false) {
    bytes = std::move(b);
    source = PsdSource::Memory(bytes.data(), bytes.size());
    window = std::make_unique<SourceWindow>(&source);
    const SourceCursor c(window.get(), 0, bytes.size());
    return versioned ? Descriptor::ReadVersioned(c, d) : Descriptor::Read(c, d, used);
  }
};

// One item of every type, a key of a word, a key too long, a repeated key.
Bytes EveryType() {
  const Bytes lyr = IdBytes("Lyr ");
  const Bytes reference = Typed(
      "obj ", Cat({Be32(7), Typed("prop", Cat({Be32(0), lyr, IdBytes("Nm  ")})),
                   Typed("Clss", Cat({Be32(1), {0, 'x'}, lyr})),
                   Typed("Enmr", Cat({Be32(0), lyr, IdBytes("Ordn"), IdBytes("Trgt")})),
                   Typed("rele", Cat({Be32(0), lyr, Be32(2)})), Typed("Idnt", Be32(5)),
                   Typed("indx", Be32(1)), Typed("name", Cat({Be32(0), lyr, Be32(1), {0, 'y'}}))}));
  return DescriptorBytes(
      "null",
      {{"Clr ", RgbValue(255, 0.5, 0)}, {"masterFXSwitch", BoolValue(true)},
       {"Md  ", EnumValue("BlnM", "linearBurn")}, {"Opct", UnitValue("#Prc", 42.5)},
       {"Cnt ", IntegerValue(-7)}, {"Big ", Typed("comp", Bytes(8, 9))},
       {"Nm  ", Typed("TEXT", Cat({Be32(2), {0, 'a', 0, 'b'}}))},
       {"Lst ", ListValue({DoubleValue(1.5), ObjectValue("Pnt ", {{"Hrzn", DoubleValue(3)}})})},
       {"Cls ", Typed("type", Cat({Be32(0), IdBytes("Clss")}))},
       {"Glb ", Typed("GlbC", Cat({Be32(0), IdBytes("Clss")}))}, {"Ref ", reference},
       {"Raw ", Typed("tdta", Cat({Be32(3), {1, 2, 3}}))},
       {"Als ", Typed("alis", Cat({Be32(1), {7}}))},
       {"Pth ", Typed("Pth ", Be32(0))},
       {"Flts", Typed("UnFl", Cat({{'#', 'P', 'x', 'l'}, Be32(2), Bytes(16, 0)}))},
       {"GlO ", Typed("GlbO", DescriptorBytes("Pnt ", {}))},
       {std::string(40, 'k'), BoolValue(true)},
       {"Dup ", IntegerValue(1)}, {"Dup ", IntegerValue(2)}});
}

TEST_F(DescriptorTest, EveryTypeIsReadBack) {
  Descriptor d, colour, point;
  uint64_t used = 0;
  Bytes doc = EveryType();
  const size_t length = doc.size();
  doc.push_back(0xEE);  // a byte after it is not its own
  ASSERT_TRUE(Open(doc, &d, &used));
  EXPECT_EQ(used, length);
  EXPECT_TRUE(d.classId().Is("null"));
  EXPECT_EQ(d.count(), 19u);
  double x = 0;
  ASSERT_TRUE(d.FindObject("Clr ", &colour));
  EXPECT_TRUE(colour.classId().Is("RGBC"));
  EXPECT_TRUE(colour.FindDouble("Rd  ", &x) && x == 255 && colour.FindDouble("Grn ", &x) &&
              x == 0.5 && colour.FindDouble("Bl  ", &x) && x == 0);
  bool yes = false;
  EXPECT_TRUE(d.FindBool("masterFXSwitch", &yes) && yes);
  DescriptorId id, unit;
  EXPECT_TRUE(d.FindEnum("Md  ", &id) && id.Is("linearBurn"));
  DescriptorValue v;
  ASSERT_TRUE(d.Find("Opct", &v));
  EXPECT_TRUE(v.UnitFloat(&unit, &x) && unit.Is("#Prc") && x == 42.5);
  EXPECT_TRUE(v.Double(&x) && x == 42.5);  // a unit float is a double too
  int32_t n = 0;
  EXPECT_TRUE(d.Find("Cnt ", &v) && v.Integer(&n) && n == -7);
  EXPECT_TRUE(d.Find("Dup ", &v) && v.Integer(&n) && n == 1);  // the first of a repeated key
  DescriptorList list;
  ASSERT_TRUE(d.Find("Lst ", &v) && v.List(&list));
  EXPECT_EQ(list.count(), 2u);
  EXPECT_TRUE(list.Next(&v) && v.Double(&x) && x == 1.5);
  EXPECT_TRUE(list.Next(&v) && v.Object(&point) && point.FindDouble("Hrzn", &x) && x == 3);
  EXPECT_FALSE(list.Next(&v));
  // A key longer than an ID holds matches nothing, not even its beginning.
  EXPECT_FALSE(d.Find(std::string(31, 'k').c_str(), &v));
  Descriptor::Items items = d.items();
  int seen = 0, tooLong = 0;
  while (items.Next(&id, &v)) ++seen, tooLong += id.tooLong;
  EXPECT_EQ(seen, 19);
  EXPECT_EQ(tooLong, 1);
  // Values asked for as another type are not read.
  EXPECT_FALSE(d.FindDouble("masterFXSwitch", &x) || d.FindBool("Cnt ", &yes) ||
               d.FindObject("Lst ", &point) || d.FindEnum("Nm  ", &id) ||
               d.FindDouble("Absent", &x));
  ASSERT_TRUE(d.Find("Clr ", &v));
  EXPECT_FALSE(v.List(&list) || v.Integer(&n) || v.Double(&x) || v.Bool(&yes));
  ASSERT_TRUE(d.Find("Big ", &v));
  EXPECT_FALSE(v.Integer(&n) || v.UnitFloat(&unit, &x) || v.Enum(&id, &unit));
  // Versioned, as tagged blocks hold it.
  EXPECT_TRUE(Open(Cat({Be32(16), EveryType()}), &d, nullptr, true));
  EXPECT_FALSE(Open(Cat({Be32(15), EveryType()}), &d, nullptr, true));
}

TEST_F(DescriptorTest, EveryCutIsRefused) {
  const Bytes whole = EveryType();
  Descriptor d;
  for (size_t n = 0; n < whole.size(); ++n) {
    EXPECT_FALSE(Open(Bytes(whole.begin(), whole.begin() + n), &d)) << n;
  }
}

TEST_F(DescriptorTest, NestingStopsAtTheLimit) {
  for (int levels : {kMaxDescriptorDepth, kMaxDescriptorDepth + 1}) {
    for (bool lists : {false, true}) {
      SCOPED_TRACE(std::to_string(levels) + (lists ? " lists" : " objects"));
      Bytes value = BoolValue(true);
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

TEST_F(DescriptorTest, BrokenStructureIsRefused) {
  const Bytes null = IdBytes("null"), most = Be32(0xFFFFFFFF);
  const struct { const char* what; Bytes bytes; } cases[] = {
      {"a type not known", DescriptorBytes("null", {{"x   ", Typed("zzzz", Be32(0))}})},
      {"a reference of a form not known",
       DescriptorBytes("null", {{"r   ", Typed("obj ", Cat({Be32(1), {'z', 'z', 'z', 'z'}}))}})},
      {"an item count past the end", Cat({Be32(0), null, most})},
      {"a list count past the end", DescriptorBytes("null", {{"l   ", Typed("VlLs", most)}})},
      {"a key length past the end", Cat({Be32(0), null, Be32(1), most})},
      {"a text length past the end",
       DescriptorBytes("null", {{"t   ", Typed("TEXT", Be32(0x7FFFFFFF))}})},
      {"raw bytes past the end", DescriptorBytes("null", {{"t   ", Typed("tdta", Be32(100))}})},
      {"unit floats past the end",
       DescriptorBytes("null", {{"f   ", Typed("UnFl", Cat({Be32(0), Be32(0x20000000)}))}})},
      {"a class name past the end", Cat({Be32(0x80000000), null, Be32(0)})},
  };
  Descriptor d;
  for (const auto& c : cases) EXPECT_FALSE(Open(c.bytes, &d)) << c.what;
}

}  // namespace
}  // namespace kelvra
