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
#include "tests/support/psd_build.h"
#include "tests/support/test_env.h"
#include "tests/unit/editor_fixture.h"
#include "tests/unit/psd_probe.h"

namespace kelvra {
namespace {

using hostsim::SimImage;
using testing::ReadFileBytes;
using testing::WriteFileBytes;

struct Scene {
  SimImage main{5, 3, 32}, shaded{5, 3, 32}, mask{5, 3, 32};
  hostsim::SimDocument doc;
  hostsim::SimContext ctx;
  Scene() {
    for (int i = 0; i < 15; ++i) {
      main.pixels32()[i] = 0x01020304u * (i + 1);
      shaded.pixels32()[i] = 0x0A0B0C0Du * (i + 3);
      mask.pixels32()[i] = i % 2;
    }
    main.SetShadedImage(&shaded);
    main.SetMaskSource(&mask);
    doc.SetMainImage(&main);
    doc.SetMaskThreshold(1);
    ctx.SetSlot(2, doc.record());
  }
  float Launch(const std::string& path, int mode) {
    return KelvraDLL_LaunchEditor(const_cast<char*>(path.c_str()), mode, nullptr, 0, nullptr,
                                  0, ctx.table());
  }
  float Reload(const std::string& path) {
    return KelvraDLL_ReloadImage(const_cast<char*>(path.c_str()), 0, nullptr, 0, nullptr, 0,
                                 ctx.table());
  }
  // The image as the user's document: its colours in the bottom layer and
  // the composite, and a Levels adjustment layer the reader refuses.
  std::vector<uint8_t> WithLevelsLayer() {
    testing::TestDoc d;
    d.rows = 3, d.columns = 5, d.layerSection = true;
    testing::TestLayer bottom, levels;
    bottom.bottom = 3, bottom.right = 5;
    for (int16_t c = 0; c < 3; ++c) {
      testing::TestChannel plane;
      plane.id = c;
      for (int i = 0; i < 15; ++i) plane.samples.push_back(main.pixels32()[i] >> (16 - 8 * c));
      bottom.channels.push_back(plane);
      d.composite.push_back(plane.samples);
    }
    levels.name = "Levels 1";
    levels.blocks = testing::Block("levl", std::vector<uint8_t>(8, 0));
    d.layers = {bottom, levels};
    return testing::BuildPsd(d);
  }
};

void SetMtime(const std::string& path, time_t t) {
  struct utimbuf u = {t, t};
  ASSERT_EQ(utime(path.c_str(), &u), 0);
}
time_t Mtime(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_mtime : 0;
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

TEST_F(EditorKeepTest, WhatIsAtThePathDecidesWhetherItIsKept) {
  using Between = void (*)(Scene&, const std::string& path, const std::string& other);
  struct Row {
    const char* what;
    int firstMode;  // -1: no export before
    Between between;
    int mode;
    bool renameFails, kept, written;
    const char* note;  // the one note, after "KelvraDLL: "; null for none
  };
  const Row rows[] = {
      {"refused (a Levels layer), saved by the user", 1,
       [](Scene& s, const std::string& p, const std::string&) {
         WriteFileBytes(p, s.WithLevelsLayer());
         testing::SetFileTime(p, 5);
       }, 1, false, true, true, "kept PATH as KEPT before writing a new export: the library cannot merge it: "},
      {"refused, with the last export's stamp", 1,
       [](Scene& s, const std::string& p, const std::string&) {
         const time_t t = Mtime(p);
         WriteFileBytes(p, s.WithLevelsLayer());
         SetMtime(p, t);
       }, 1, false, true, true, "kept PATH as KEPT before writing a new export: the library cannot merge it: "},
      {"not a document, before any export", -1,
       [](Scene&, const std::string& p, const std::string&) { WriteFileBytes(p, {'x', 'y'}); },
       0, false, true, true, "kept PATH as KEPT"},
      {"other colours, saved by the user", 0,
       [](Scene&, const std::string& p, const std::string&) {
         std::vector<uint8_t> b = ReadFileBytes(p);
         testing::PaintPsd(b, -1, 0, 0, 1, 1, 0x123456);
         WriteFileBytes(p, b);
         testing::SetFileTime(p, 5);
       }, 0, false, true, true,
       "kept PATH as KEPT before writing a new export: it was saved after the last export with other colours"},
      {"the last export's stamp, of another path", 0,
       [](Scene& s, const std::string& p, const std::string& other) {
         ASSERT_EQ(s.Launch(other, 0), 0.0f);
         SetMtime(p, Mtime(other));
         s.main.pixels32()[3] ^= 0x10;
       }, 0, false, true, true, "kept PATH as KEPT"},
      {"the library's own, the image changed since", 0,
       [](Scene& s, const std::string&, const std::string&) { s.main.pixels32()[3] ^= 0x10; },
       0, false, false, true, nullptr},
      {"the library's own, another mode", 1, [](Scene&, const std::string&, const std::string&) {},
       0, false, false, true, nullptr},
      {"empty", -1, [](Scene&, const std::string& p, const std::string&) { WriteFileBytes(p, {}); },
       0, false, false, true, nullptr},
      {"unchanged: opened as it is", 3, [](Scene&, const std::string&, const std::string&) {},
       3, false, false, false, nullptr},
      {"saved by the user, same colours", 1,
       [](Scene&, const std::string& p, const std::string&) { testing::SetFileTime(p, 5); },
       1, false, false, false, nullptr},
      {"refused, the rename fails", 1,
       [](Scene& s, const std::string& p, const std::string&) {
         WriteFileBytes(p, s.WithLevelsLayer());
       }, 1, true, false, false, "wrote nothing: PATH must be kept but it cannot be renamed"},
      {"other colours, the rename fails", 0,
       [](Scene& s, const std::string& p, const std::string&) {
         s.main.pixels32()[0] ^= 1;
         testing::SetFileTime(p, 5);
       }, 0, true, false, false, "wrote nothing: PATH must be kept but it cannot be renamed"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    ResetEditorStateForTesting();
    seams::ResetAll();
    for (const std::string& p : {path, kept, dir.File("doc.kept-2.psd")}) std::remove(p.c_str());
    Scene s;
    if (r.firstMode >= 0) ASSERT_EQ(s.Launch(path, r.firstMode), 0.0f);
    r.between(s, path, dir.File("other.psd"));
    const std::vector<uint8_t> before = ReadFileBytes(path);
    const std::string reason = ReaderReason(path, r.mode != 0);
    const int32_t mode = gLastEditorMode, stamp = gLastEditorStamp;
    seams::ClearShellOpened();
    seams::ClearDiagnosticNotes();
    seams::SetRenameFails(r.renameFails);

    EXPECT_EQ(s.Launch(path, r.mode), r.renameFails ? -1.0f : 0.0f);

    EXPECT_EQ(testing::FileExists(kept), r.kept);
    if (r.kept) EXPECT_EQ(ReadFileBytes(kept), before);
    EXPECT_FALSE(testing::FileExists(dir.File("doc.kept-2.psd")));
    EXPECT_EQ(ReadFileBytes(path) != before, r.written);
    EXPECT_EQ(seams::ShellOpened().size(), r.renameFails ? 0u : 1u);
    if (r.written) {
      EXPECT_EQ(gLastEditorStamp, FileTimeStamp(path.c_str()));
      EXPECT_EQ(std::string(gLastEditorPath), path);
    } else {
      EXPECT_EQ(gLastEditorMode, mode);
      EXPECT_EQ(gLastEditorStamp, stamp);
    }
    if (r.note == nullptr) {
      EXPECT_TRUE(seams::DiagnosticNotes().empty());
      continue;
    }
    std::string note = std::string("KelvraDLL: ") + r.note;
    note.replace(note.find("PATH"), 4, path);
    if (note.find("KEPT") != std::string::npos) note.replace(note.find("KEPT"), 4, kept);
    if (note.back() == ' ') note += reason;
    ASSERT_EQ(seams::DiagnosticNotes().size(), 1u);
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
    const std::string p = dir.File(r.name);
    WriteFileBytes(p, {'u', 's', 'e', 'r'});
    for (const char* t : r.taken) WriteFileBytes(dir.File(t), {'o', 'l', 'd'});
    EXPECT_EQ(s.Launch(p, 0), 0.0f);
    EXPECT_EQ(ReadFileBytes(dir.File(r.keptAs)), (std::vector<uint8_t>{'u', 's', 'e', 'r'}));
    for (const char* t : r.taken) {
      EXPECT_EQ(ReadFileBytes(dir.File(t)), (std::vector<uint8_t>{'o', 'l', 'd'}));
    }
    EXPECT_TRUE(testing::PsdProbe(ReadFileBytes(p)).ok);
  }
}

// The host reloads an unchanged save again and again: one note per save.
TEST_F(EditorKeepTest, ReloadSaysWhyOncePerSave) {
  struct Row {
    const char* what;
    int mode;
    std::vector<uint8_t> (*document)(Scene&);
    float result;
    const char* reason;  // null: the reader's own
  };
  const Row rows[] = {
      {"layered reader, a Levels layer", 1, [](Scene& s) { return s.WithLevelsLayer(); }, -1,
       nullptr},
      {"composite reader, not a document", 4,
       [](Scene&) { return std::vector<uint8_t>(40, 'x'); }, -1, nullptr},
      {"another size", 0,
       [](Scene&) {
         testing::TestDoc d;
         d.rows = 4, d.columns = 6;
         d.composite.assign(3, std::vector<uint8_t>(24, 9));
         return testing::BuildPsd(d);
       },
       0, "the document is 6 x 4 pixels, the image 5 x 3"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    ResetEditorStateForTesting();
    seams::ResetAll();
    std::remove(path.c_str());
    Scene s;
    ASSERT_EQ(s.Launch(path, r.mode), 0.0f);
    WriteFileBytes(path, r.document(s));
    const std::string reason = r.reason ? r.reason : ReaderReason(path, r.mode == 1);
    EXPECT_NE(reason, "");
    const std::string note = "KelvraDLL: cannot merge " + path + ": " + reason;
    const std::vector<uint8_t> pixels = s.main.snapshot();
    for (int save : {5, 9}) {
      testing::SetFileTime(path, save);
      for (int reload = 0; reload < 3; ++reload) EXPECT_EQ(s.Reload(path), r.result);
      EXPECT_EQ(seams::DiagnosticNotes(), std::vector<std::string>(save == 5 ? 1 : 2, note));
    }
    EXPECT_EQ(s.main.snapshot(), pixels);
  }
}

}  // namespace
}  // namespace kelvra
