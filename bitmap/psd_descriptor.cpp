// Action descriptors; see psd_descriptor.h.
#include "bitmap/psd_descriptor.h"

#include <cstring>

#include "bitmap/same_bits_math.h"

namespace kelvra {

namespace {

bool IsKey(const uint8_t* b, const char* key) { return std::memcmp(b, key, 4) == 0; }

bool ReadId(SourceCursor& c, DescriptorId* id) {
  const uint32_t length = c.BE32();
  const uint32_t n = length == 0 ? 4 : length;
  if (!c.ok()) return false;
  *id = DescriptorId();
  if (n > DescriptorId::kMax) {
    id->tooLong = true;
    return c.Skip(n);
  }
  uint8_t bytes[DescriptorId::kMax];
  if (!c.Read(bytes, n)) return false;
  std::memcpy(id->text, bytes, n);
  id->length = static_cast<uint8_t>(n);
  return true;
}

bool SkipId(SourceCursor& c) {
  const uint32_t length = c.BE32();
  return c.Skip(length == 0 ? 4 : length);
}

bool SkipUnicode(SourceCursor& c) {
  const uint32_t units = c.BE32();
  return c.Skip(2 * static_cast<uint64_t>(units));
}

bool SkipLengthAndBytes(SourceCursor& c) { return c.Skip(c.BE32()); }

struct TypeName {
  char key[5];
  DescriptorType type;
};
constexpr TypeName kTypes[] = {
    {"Objc", DescriptorType::kObject},    {"GlbO", DescriptorType::kObject},
    {"VlLs", DescriptorType::kList},      {"doub", DescriptorType::kDouble},
    {"UntF", DescriptorType::kUnitFloat}, {"UnFl", DescriptorType::kUnitFloats},
    {"TEXT", DescriptorType::kText},      {"enum", DescriptorType::kEnum},
    {"long", DescriptorType::kInteger},   {"comp", DescriptorType::kLargeInteger},
    {"bool", DescriptorType::kBool},      {"type", DescriptorType::kClass},
    {"GlbC", DescriptorType::kClass},     {"obj ", DescriptorType::kReference},
    {"tdta", DescriptorType::kBytes},     {"alis", DescriptorType::kBytes},
    {"Pth ", DescriptorType::kBytes},
};

bool ReadType(SourceCursor& c, DescriptorType* type) {
  uint8_t key[4];
  if (!c.Read(key, 4)) return false;
  for (const TypeName& t : kTypes) {
    if (IsKey(key, t.key)) {
      *type = t.type;
      return true;
    }
  }
  return c.Fail();
}

bool SkipValue(SourceCursor& c, DescriptorType type, int32_t depth);

// The items of a descriptor (after its class ID) or the values of a list.
bool SkipItems(SourceCursor& c, uint32_t count, bool keyed, int32_t depth) {
  if (depth > kMaxDescriptorDepth) return c.Fail();
  // Every item takes at least 5 bytes, so a failed cursor ends a long count.
  for (uint32_t i = 0; i < count && c.ok(); ++i) {
    if (keyed && !SkipId(c)) return false;
    DescriptorType type;
    if (!ReadType(c, &type) || !SkipValue(c, type, depth)) return false;
  }
  return c.ok();
}

bool SkipReference(SourceCursor& c) {
  const uint32_t count = c.BE32();
  for (uint32_t i = 0; i < count && c.ok(); ++i) {
    uint8_t form[4];
    if (!c.Read(form, 4)) return false;
    if (IsKey(form, "Idnt") || IsKey(form, "indx")) {
      c.Skip(4);
      continue;
    }
    SkipUnicode(c);  // the class's name
    SkipId(c);       // and ID
    if (IsKey(form, "prop")) {
      SkipId(c);
    } else if (IsKey(form, "Enmr")) {
      SkipId(c), SkipId(c);
    } else if (IsKey(form, "rele")) {
      c.Skip(4);
    } else if (IsKey(form, "name")) {
      SkipUnicode(c);
    } else if (!IsKey(form, "Clss")) {
      return c.Fail();
    }
  }
  return c.ok();
}

// Moves past one value of `type` among items at `depth`; the items of an
// object or list in it are one level deeper.
bool SkipValue(SourceCursor& c, DescriptorType type, int32_t depth) {
  switch (type) {
    case DescriptorType::kObject: {
      SkipUnicode(c);
      SkipId(c);
      const uint32_t count = c.BE32();
      return c.ok() && SkipItems(c, count, true, depth + 1);
    }
    case DescriptorType::kList: {
      const uint32_t count = c.BE32();
      return c.ok() && SkipItems(c, count, false, depth + 1);
    }
    case DescriptorType::kDouble: return c.Skip(8);
    case DescriptorType::kUnitFloat: return c.Skip(12);
    case DescriptorType::kUnitFloats: {
      c.Skip(4);  // unit
      const uint32_t count = c.BE32();
      return c.Skip(8 * static_cast<uint64_t>(count));
    }
    case DescriptorType::kText: return SkipUnicode(c);
    case DescriptorType::kEnum: return SkipId(c) && SkipId(c);
    case DescriptorType::kInteger: return c.Skip(4);
    case DescriptorType::kLargeInteger: return c.Skip(8);
    case DescriptorType::kBool: return c.Skip(1);
    case DescriptorType::kClass: return SkipUnicode(c) && SkipId(c);
    case DescriptorType::kReference: return SkipReference(c);
    case DescriptorType::kBytes: return SkipLengthAndBytes(c);
  }
  return c.Fail();
}

// The next keyed or unkeyed value at `c` (checked before): its type and a
// cursor over its bytes.
bool NextValue(SourceCursor& c, int32_t depth, DescriptorType* type, SourceCursor* data) {
  if (!ReadType(c, type)) return false;
  SourceCursor start = c;
  if (!SkipValue(c, *type, depth)) return false;
  *data = start.Sub(c.position() - start.position());
  return data->ok();
}

double ReadDouble(SourceCursor& c) {
  uint8_t b[8] = {};
  c.Read(b, 8);
  uint64_t bits = 0;
  for (uint8_t byte : b) bits = bits << 8 | byte;
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

}  // namespace

bool DescriptorId::Is(const char* s) const {
  const size_t n = std::strlen(s);
  return !tooLong && n == length && std::memcmp(text, s, n) == 0;
}

// ---- values -------------------------------------------------------------------

bool DescriptorValue::Double(double* v) const {
  SourceCursor c = data_;
  if (type_ == DescriptorType::kUnitFloat) c.Skip(4);
  if (type_ != DescriptorType::kDouble && type_ != DescriptorType::kUnitFloat) return false;
  *v = ReadDouble(c);
  return c.ok();
}

bool DescriptorValue::UnitFloat(DescriptorId* unit, double* v) const {
  if (type_ != DescriptorType::kUnitFloat) return false;
  SourceCursor c = data_;
  *unit = DescriptorId();
  uint8_t u[4];
  if (!c.Read(u, 4)) return false;
  std::memcpy(unit->text, u, 4);
  unit->length = 4;
  *v = ReadDouble(c);
  return c.ok();
}

bool DescriptorValue::Integer(int32_t* v) const {
  if (type_ != DescriptorType::kInteger) return false;
  SourceCursor c = data_;
  *v = c.S32();
  return c.ok();
}

bool DescriptorValue::Ascii(char* text, uint32_t capacity, uint32_t* length) const {
  if (type_ != DescriptorType::kText) return false;
  SourceCursor c = data_;
  uint32_t units = c.BE32();
  if (!c.ok() || units > capacity + 1) return false;
  *length = 0;
  for (uint32_t u = 0; u < units; ++u) {
    const uint16_t unit = c.BE16();
    if (!c.ok() || unit > 0x7F || (unit == 0 && u + 1 != units)) return false;
    if (unit == 0) break;
    if (*length == capacity) return false;
    text[(*length)++] = static_cast<char>(unit);
  }
  return true;
}

bool DescriptorValue::Bool(bool* v) const {
  if (type_ != DescriptorType::kBool) return false;
  SourceCursor c = data_;
  *v = c.U8() != 0;
  return c.ok();
}

bool DescriptorValue::Enum(DescriptorId* type, DescriptorId* value) const {
  if (type_ != DescriptorType::kEnum) return false;
  SourceCursor c = data_;
  return ReadId(c, type) && ReadId(c, value);
}

bool DescriptorValue::Object(Descriptor* d) const {
  if (type_ != DescriptorType::kObject) return false;
  SourceCursor c = data_;
  SkipUnicode(c);
  return Descriptor::Open(c, depth_, false, d, nullptr);
}

bool DescriptorValue::List(DescriptorList* list) const {
  if (type_ != DescriptorType::kList) return false;
  *list = DescriptorList();
  list->at_ = data_;
  list->count_ = list->at_.BE32();
  list->depth_ = depth_;
  return list->at_.ok();
}

// ---- descriptors and lists ----------------------------------------------------------

bool Descriptor::Open(SourceCursor c, int32_t depth, bool check, Descriptor* d, uint64_t* used) {
  *d = Descriptor();
  d->depth_ = depth;
  const uint64_t start = c.position();
  if (!ReadId(c, &d->classId_)) return false;
  d->count_ = c.BE32();
  if (!c.ok()) return false;
  SourceCursor walk = c;
  if (check) {
    if (!SkipItems(walk, d->count_, true, depth)) return false;
    d->items_ = c.Sub(walk.position() - c.position());
  } else {
    d->items_ = c;
  }
  if (used != nullptr) *used = d->items_.end() - start;
  return d->items_.ok();
}

bool Descriptor::Read(SourceCursor c, Descriptor* d, uint64_t* used) {
  const uint64_t start = c.position();
  if (!SkipUnicode(c)) return false;  // the class's name
  uint64_t rest = 0;
  if (!Open(c, 0, true, d, &rest)) return false;
  if (used != nullptr) *used = c.position() - start + rest;
  return true;
}

bool Descriptor::ReadVersioned(SourceCursor c, Descriptor* d) {
  const uint32_t version = c.BE32();
  if (!c.ok() || version != 16) return false;
  return Read(c, d);
}

Descriptor::Items Descriptor::items() const {
  Items items;
  items.at_ = items_;
  items.left_ = count_;
  items.depth_ = depth_;
  return items;
}

bool Descriptor::Items::Next(DescriptorId* key, DescriptorValue* value) {
  if (left_ == 0) return false;
  --left_;
  if (!ReadId(at_, key)) return false;
  // An object or list in this value holds items one level deeper.
  value->depth_ = depth_ + 1;
  return NextValue(at_, depth_, &value->type_, &value->data_);
}

bool DescriptorList::Next(DescriptorValue* value) {
  if (read_ == count_) return false;
  ++read_;
  value->depth_ = depth_ + 1;
  return NextValue(at_, depth_, &value->type_, &value->data_);
}

bool Descriptor::Find(const char* key, DescriptorValue* v) const {
  Items all = items();
  DescriptorId id;
  while (all.Next(&id, v)) {
    if (id.Is(key)) return true;
  }
  return false;
}

bool Descriptor::FindDouble(const char* key, double* v) const {
  DescriptorValue value;
  return Find(key, &value) && value.Double(v);
}

bool Descriptor::FindBool(const char* key, bool* v) const {
  DescriptorValue value;
  return Find(key, &value) && value.Bool(v);
}

bool Descriptor::FindEnum(const char* key, DescriptorId* v) const {
  DescriptorValue value;
  DescriptorId type;
  return Find(key, &value) && value.Enum(&type, v);
}

bool Descriptor::FindObject(const char* key, Descriptor* d) const {
  DescriptorValue value;
  return Find(key, &value) && value.Object(d);
}

bool ReadRgbColour(const Descriptor& colour, uint8_t rgb[3]) {
  if (!colour.classId().Is("RGBC")) return false;
  static constexpr const char* kLevels[] = {"Rd  ", "Grn ", "Bl  "};
  static constexpr const char* kFractions[] = {"redFloat", "greenFloat", "blueFloat"};
  for (int32_t c = 0; c < 3; ++c) {
    double v = 0;
    if (colour.FindDouble(kFractions[c], &v)) {
      v *= 255;
    } else if (!colour.FindDouble(kLevels[c], &v)) {
      return false;
    }
    if (!(v >= -1e9 && v <= 1e9)) return false;  // not a number
    rgb[c] = RoundToLevel(v);
  }
  return true;
}

}  // namespace kelvra
