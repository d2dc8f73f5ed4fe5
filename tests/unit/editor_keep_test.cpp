// The user's document is never lost: what LaunchEditor finds at its path
// decides whether it is kept as NAME.kept-N.EXT before the export is
// written, a failed rename writes nothing, and every refusal says why on the
// diagnostic channel, once per save.
#include <sys/stat.h>
#include <utime.h>

#include <string>
#include <vector>

#include "bitmap/psd_reader.h"
#include "hostsim/hostsim.h"
#include "plugin/exports.h"
#include "services/services.h"
#include "tests/support/test_env.h"
#include "tests/unit/editor_fixture.h"
#include "tests/unit/psd_probe.h"

namespace kelvra {
namespace {

using testing::ReadFileBytes;
using testing::SetFileTime;
using testing::WriteFileBytes;

struct Scene {
  hostsim::SimImage main{5, 3, 32}, shaded{5, 3, 32};
  hostsim::SimDocument doc;
  hostsim::SimContext ctx;
  Scene() {
    for (int i = 0; i < 15; ++i) main.pixels32()[i] = 0x01020304u * (i + 1);
    main.SetShadedImage(&shaded);
    doc.SetMainImage(&main);
    ctx.SetSlot(2, doc.record());
  }
  float Call(bool launch, const std::string& path, int mode) {
    char* p = const_cast<char*>(path.c_str());
    return launch ? KelvraDLL_LaunchEditor(p, mode, nullptr, 0, nullptr, 0, ctx.table())
                  : KelvraDLL_ReloadImage(p, 0, nullptr, 0, nullptr, 0, ctx.table());
  }
};

// A save the reader refuses: the export made 16-bit, as an editor saves it.
void SaveDeep(const std::string& path) {
  std::vector<uint8_t> b = ReadFileBytes(path);
  b[23] = 16;
  WriteFileBytes(path, b);
}
time_t Mtime(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_mtime : 0;
}
void SetMtime(const std::string& path, time_t t) {
  struct utimbuf u = {t, t};
  utime(path.c_str(), &u);
}

// What the reader says of the file at `path`, read to its end.
std::string ReaderReason(const std::string& path, bool layered) {
  const PsdRowSink all{[](void*, int32_t, int32_t) { return true; },
                       [](void*, uint32_t, const uint8_t*) { return true; }, nullptr};
  PsdRefusal why;
  ReadFileRows(path.c_str(), layered, false, all, &why);
  return why.text;
}

class EditorKeepTest : public testing::EditorLinkFixture {
 protected:
  testing::TempDir dir;
  std::string path = dir.File("doc.psd"), kept = dir.File("doc.kept-1.psd");
};

constexpr char kKept[] = "kept PATH as KEPT before writing a new export: ";
constexpr char kRefused[] = "the library cannot merge it: ";
constexpr char kKeepFailed[] = "wrote nothing: PATH must be kept but it cannot be renamed";

TEST_F(EditorKeepTest, WhatIsAtThePathDecidesWhetherItIsKept) {
  using Scenario = void (*)(Scene&, const std::string& path, const std::string& other);
  struct Row {
    const char* what;
    int firstMode;  // -1: no export before
    Scenario between;
    int mode;
    bool renameFails, kept, written;
    // After "KelvraDLL: "; when kept, with kKept first; after kRefused the
    // reader's reason follows.
    const char* note;
  };
  const Scenario nothing = [](Scene&, auto&, auto&) {};
  const Scenario deepSave = [](Scene&, auto& p, auto&) { SaveDeep(p), SetFileTime(p, 5); };
  const Scenario changed = [](Scene& s, auto& p, auto&) { s.main.pixels32()[3] ^= 1; };
  const Scenario changedAndSaved = [](Scene& s, auto& p, auto&) {
    s.main.pixels32()[3] ^= 1, SetFileTime(p, 5);
  };
  const Row rows[] = {
      {"refused, saved by the user", 1, deepSave, 1, false, true, true, kRefused},
      {"refused, with the last export's stamp", 0,
       [](Scene&, auto& p, auto&) { time_t t = Mtime(p); SaveDeep(p), SetMtime(p, t); },
       0, false, true, true, kRefused},
      {"not a document, before any export", -1,
       [](Scene&, auto& p, auto&) { WriteFileBytes(p, {'x'}); }, 0, false, true, true, kRefused},
      {"other colours, saved by the user", 0, changedAndSaved, 0, false, true, true,
       "it was saved after the last export with other colours"},
      {"the last export's stamp, of another path", 0,
       [](Scene& s, auto& p, auto& other) {
         ASSERT_EQ(s.Call(true, other, 0), 0.0f);
         SetMtime(p, Mtime(other)), s.main.pixels32()[3] ^= 1;
       },
       0, false, true, true, ""},
      {"the library's own, the image changed", 0, changed, 0, false, false, true, nullptr},
      {"the library's own, another mode", 1, nothing, 0, false, false, true, nullptr},
      {"empty", -1, [](Scene&, auto& p, auto&) { WriteFileBytes(p, {}); }, 0, false, false, true,
       nullptr},
      {"unchanged", 1, nothing, 1, false, false, false, nullptr},
      {"saved by the user, same colours", 1, [](Scene&, auto& p, auto&) { SetFileTime(p, 5); }, 1,
       false, false, false, nullptr},
      {"refused, the rename fails", 1, deepSave, 1, true, false, false, kKeepFailed},
      {"other colours, the rename fails", 0, changedAndSaved, 0, true, false, false, kKeepFailed},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    ResetEditorStateForTesting();
    seams::ResetAll();
    for (const std::string& p : {path, kept, dir.File("doc.kept-2.psd")}) std::remove(p.c_str());
    Scene s;
    if (r.firstMode >= 0) ASSERT_EQ(s.Call(true, path, r.firstMode), 0.0f);
    r.between(s, path, dir.File("other.psd"));
    const std::vector<uint8_t> before = ReadFileBytes(path);
    const int32_t mode = gLastEditorMode, stamp = gLastEditorStamp;
    seams::ClearShellOpened();
    seams::ClearDiagnosticNotes();
    seams::SetRenameFails(r.renameFails);

    EXPECT_EQ(s.Call(true, path, r.mode), r.renameFails ? -1.0f : 0.0f);
    EXPECT_EQ(testing::FileExists(kept), r.kept);
    if (r.kept) EXPECT_EQ(ReadFileBytes(kept), before);
    EXPECT_FALSE(testing::FileExists(dir.File("doc.kept-2.psd")));
    EXPECT_EQ(ReadFileBytes(path) != before, r.written);
    EXPECT_EQ(seams::ShellOpened().size(), r.renameFails ? 0u : 1u);
    EXPECT_EQ(gLastEditorMode, r.written ? r.mode : mode);
    EXPECT_EQ(gLastEditorStamp, r.written ? FileTimeStamp(path.c_str()) : stamp);
    if (r.written) EXPECT_EQ(std::string(gLastEditorPath), path);
    ASSERT_EQ(seams::DiagnosticNotes().size(), r.note != nullptr ? 1u : 0u);
    if (r.note == nullptr) continue;
    std::string note = std::string("KelvraDLL: ") + (r.kept ? kKept : "") + r.note;
    note.replace(note.find("PATH"), 4, path);
    if (r.kept) note.replace(note.find("KEPT"), 4, kept);
    if (note.back() == ' ') note += ReaderReason(r.kept ? kept : path, r.mode != 0);
    EXPECT_EQ(seams::DiagnosticNotes()[0].substr(0, note.size()), note);
  }
}

TEST_F(EditorKeepTest, KeptCopiesTakeTheFirstFreeNumber) {
  struct Row {
    const char* name;
    std::vector<const char*> taken;
    const char* keptAs;
  };
  const Row rows[] = {
      {"doc.psd", {"doc.kept-1.psd", "doc.kept-3.psd"}, "doc.kept-2.psd"},
      {"doc.v2.PSD", {"doc.v2.kept-1.PSD", "doc.v2.kept-2.PSD"}, "doc.v2.kept-3.PSD"},
      {"doc", {}, "doc.kept-1"},
      {"a.b/doc", {"a.b/doc.kept-1.psd"}, "a.b/doc.kept-1"},
  };
  mkdir(dir.File("a.b").c_str(), 0777);
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    Scene s;
    WriteFileBytes(dir.File(r.name), {'u', 's', 'e', 'r'});
    for (const char* t : r.taken) WriteFileBytes(dir.File(t), {'o', 'l', 'd'});
    EXPECT_EQ(s.Call(true, dir.File(r.name), 0), 0.0f);
    EXPECT_EQ(ReadFileBytes(dir.File(r.keptAs)), (std::vector<uint8_t>{'u', 's', 'e', 'r'}));
    for (const char* t : r.taken) EXPECT_EQ(ReadFileBytes(dir.File(t)).size(), 3u);
    EXPECT_TRUE(testing::PsdProbe(ReadFileBytes(dir.File(r.name))).ok);
  }
}

// The host reloads an unchanged save again and again: one note per save.
TEST_F(EditorKeepTest, ReloadSaysWhyOncePerSave) {
  struct Row {
    int mode;  // 1: the layered reader, else the composite reader
    void (*save)(const std::string&);
    float result;
    const char* reason;  // null: the reader's own
  };
  const Row rows[] = {
      {1, SaveDeep, -1, nullptr},
      {4, [](const std::string& p) { WriteFileBytes(p, std::vector<uint8_t>(40, 'x')); }, -1,
       nullptr},
      // The flat export's header made 3 columns by 4 rows.
      {0,
       [](const std::string& p) {
         std::vector<uint8_t> b = ReadFileBytes(p);
         b[17] = 4, b[21] = 3;
         WriteFileBytes(p, b);
       },
       0, "the document is 3 x 4 pixels, the image 5 x 3"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.mode);
    ResetEditorStateForTesting();
    seams::ResetAll();
    std::remove(path.c_str());
    Scene s;
    ASSERT_EQ(s.Call(true, path, r.mode), 0.0f);
    r.save(path);
    const std::string reason = r.reason ? r.reason : ReaderReason(path, r.mode == 1);
    EXPECT_NE(reason, "");
    const std::vector<uint8_t> pixels = s.main.snapshot();
    for (int save : {5, 9}) {
      SetFileTime(path, save);
      for (int reload = 0; reload < 3; ++reload) EXPECT_EQ(s.Call(false, path, 0), r.result);
      const std::string note = "KelvraDLL: cannot merge " + path + ": " + reason;
      EXPECT_EQ(seams::DiagnosticNotes(), std::vector<std::string>(save == 5 ? 1 : 2, note));
    }
    EXPECT_EQ(s.main.snapshot(), pixels);
  }
}

}  // namespace
}  // namespace kelvra
