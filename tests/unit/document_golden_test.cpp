// Every document the writers produce, pinned by its SHA-256: LaunchEditor in
// each of its modes, and SaveToFile, SaveBMapPlanes and SaveMultiLayers
// called directly, at sizes with odd and even widths and one document larger
// than the writers' buffer. The inputs are generated here, so the digests
// change only when a byte of a document does.
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bitmap/abitmap.h"
#include "hostsim/hostsim.h"
#include "plugin/exports.h"
#include "tests/support/sha256.h"
#include "tests/support/test_env.h"
#include "tests/unit/editor_fixture.h"

namespace kelvra {
namespace {

using hostsim::SimImage;

// xorshift32 words from `seed`: every byte of every pixel takes part.
void Fill(uint8_t* bytes, size_t count, uint32_t seed) {
  uint32_t x = seed * 2654435761u + 977u;
  for (size_t i = 0; i < count; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    bytes[i] = static_cast<uint8_t>(x >> 11);
  }
}

struct Size {
  int width, height;
};

// 1031 x 1029 gives documents of 3 to 10.6 MB, well beyond one buffer.
constexpr Size kSizes[] = {{1, 1}, {3, 5}, {64, 48}, {257, 131}, {1031, 1029}};

std::string Key(const std::string& what, Size s) {
  return what + " " + std::to_string(s.width) + "x" + std::to_string(s.height);
}

class DocumentGoldenTest : public testing::EditorLinkFixture {
 protected:
  testing::TempDir dir;
  std::string path = dir.File("doc.psd");
  std::map<std::string, std::string> actual;

  void Record(const std::string& key) {
    const std::vector<uint8_t> bytes = testing::ReadFileBytes(path);
    ASSERT_FALSE(bytes.empty()) << key;
    actual[key] = testing::Sha256Hex(bytes);
    std::remove(path.c_str());
  }

  // Compares what was recorded with the pinned digests; a mismatch prints
  // the new digest in the table's form.
  void ExpectDigests(const std::map<std::string, std::string>& expected) {
    EXPECT_EQ(actual.size(), expected.size());
    for (const auto& [key, digest] : actual) {
      auto it = expected.find(key);
      const std::string want = it == expected.end() ? "(none)" : it->second;
      EXPECT_EQ(digest, want) << "{\"" << key << "\", \"" << digest << "\"},";
    }
  }
};

// LaunchEditor, once per mode, from a clean state (no unchanged test).
TEST_F(DocumentGoldenTest, LaunchEditorEveryModeAndSize) {
  // Modes that write the main image flat are one document; a few of them
  // stand for the rest.
  const double modes[] = {0, 1, 2, 3, 4, 5, 20, 30, -3, 6, 19, 99, 101};
  for (Size s : kSizes) {
    SimImage main(s.width, s.height, 32), shaded(s.width, s.height, 32);
    SimImage mask(s.width, s.height, 32), slot6(s.width, s.height, 32);
    Fill(main.bytes(), main.byteCount(), 1);
    Fill(shaded.bytes(), shaded.byteCount(), 2);
    Fill(mask.bytes(), mask.byteCount(), 3);
    Fill(slot6.bytes(), slot6.byteCount(), 6);
    main.SetShadedImage(&shaded);
    main.SetMaskSource(&mask);
    hostsim::SimDocument doc;
    doc.SetMainImage(&main);
    doc.SetMaskThreshold(0x10000000);
    hostsim::SimContext ctx;
    ctx.SetSlot(2, doc.record());
    ctx.SetSlot(6, slot6.record());
    for (double mode : modes) {
      ResetEditorStateForTesting();
      ASSERT_EQ(KelvraDLL_LaunchEditor(const_cast<char*>(path.c_str()), mode, nullptr, 0,
                                       nullptr, 0, ctx.table()),
                0.0f);
      const int m = static_cast<int>(mode);
      const bool flatMain = m != 1 && m != 2 && m != 3 && m != 4 && m != 5 && m != 20;
      Record(Key(flatMain && m != 0 ? "launch flat main (mode " + std::to_string(m) + ")"
                                    : "launch mode " + std::to_string(m),
                 s));
    }
  }
  // Every flat-main mode wrote the mode-0 document.
  for (Size s : kSizes) {
    for (int m : {30, -3, 6, 19, 99, 101}) {
      EXPECT_EQ(actual[Key("launch flat main (mode " + std::to_string(m) + ")", s)],
                actual[Key("launch mode 0", s)]);
    }
  }
  for (auto it = actual.begin(); it != actual.end();) {
    it = it->first.rfind("launch flat main", 0) == 0 ? actual.erase(it) : std::next(it);
  }
  ExpectDigests({
      {"launch mode 0 1031x1029", "6c2645d1f7e1efb97495937fb3d0c5abfae4fe49c36b112e2a155ac8ec9cff04"},
      {"launch mode 0 1x1", "293e92e8dc431a50e1824165d30857242a40cc3212d558da4ace59f91fce7ff8"},
      {"launch mode 0 257x131", "57922da12cd71711d381a4a6273de59d8d6b735779887ca6309e06bc706039ac"},
      {"launch mode 0 3x5", "4fbe8d1e8e506584f8b3d23990d2b57c26b7adc3d717ce26affc8d250cf0999c"},
      {"launch mode 0 64x48", "be1263d0d9aac6533f86bd345ba5c21d06abaa0e1cea811a433365602ec0c008"},
      {"launch mode 1 1031x1029", "f0026354359747cc63507995139cf1d158a23d63a76affa8e929e7e4a9291f04"},
      {"launch mode 1 1x1", "911d9dbf84e8b10355e121f0c612c8beb9cc43141a9fe6128a75e0f7def5d277"},
      {"launch mode 1 257x131", "73393263c290961dc58aebf07e8f60591564af6f73250594657e489e715a9477"},
      {"launch mode 1 3x5", "888c08b0ca951f666d83665370ceb9193ae46b5d4ec87c8fa9ba98cb21437521"},
      {"launch mode 1 64x48", "76f0d63c61b831f29293a25e9dd7cef2e8761b94fbd01944aea07654946e8071"},
      {"launch mode 2 1031x1029", "f7f36d3c426cd4d1fcda7918eb3223b6f14ae25b8eb37e32798f894ef53e5b55"},
      {"launch mode 2 1x1", "76204e51c213c6ad627e767506cc814cb3663548a9f433feea5b7098ac4599f0"},
      {"launch mode 2 257x131", "e28986583a10563e8621c7e23005b5aa5efe9b9b41987c8635343d9803fcdf1c"},
      {"launch mode 2 3x5", "0bf4e28ddf058cd1936f84fe694f42bbe394cc43dc2f3f544c8ef8709efe1d55"},
      {"launch mode 2 64x48", "d4735056a1e76240382e684d897dfb7c1d0cf7ecace47b294b6216fa2777520b"},
      {"launch mode 20 1031x1029", "1a97d05b4fe23b89f8914fe83f929679ca980ebfbb1fb8c949887e9167ed7a48"},
      {"launch mode 20 1x1", "d5d4feb733636392a9d053b5881e61acb65345dbb2e683ed4b332eb783fdec30"},
      {"launch mode 20 257x131", "2348bac65e5bc67b0a792c1c714ef3f33a3bfc558b769dd44efd365941387e70"},
      {"launch mode 20 3x5", "05680a93f5e2bd5bd5e01680d375c274ef60a15335648d1c5d41b001c1a86ef1"},
      {"launch mode 20 64x48", "fc67d4075898be84e8f5124a5da9b2286d6a47548f47b55b5f7b3306d2782b3d"},
      {"launch mode 3 1031x1029", "34b5f9c638facdcf80f102de47795fb9f646e9596a7a4147d68743987c045569"},
      {"launch mode 3 1x1", "01c1144983fe6a8dd8bb4996e4a57085bc16106a8f2777a8c005f0e8289d74b5"},
      {"launch mode 3 257x131", "a5af21ac09ee3acab4b212db3c96e5f32963d7f54f1b6a096602999a0f5f5fb2"},
      {"launch mode 3 3x5", "21f566386353380f30345fdb17bac09981e8a2f259648d220323de2ceaeeebb4"},
      {"launch mode 3 64x48", "e1e2face4cf979f6eca6399ea77450dece875ef4f31887097e6541273327398d"},
      {"launch mode 4 1031x1029", "029be1a13cd797b8cd11b1c02a213c46e6e3266f5d154e702666385519932ad5"},
      {"launch mode 4 1x1", "05d5631e1010fa69d05740b6d7cc37a86d30f72def421b15779a1ac8662c8ad4"},
      {"launch mode 4 257x131", "b4a7b944aabde8a546985d8bbe7f878503653308469b93fbddeb02378cd63c49"},
      {"launch mode 4 3x5", "f4fc2f82f85a23088a612c5e429b4ba108321e360d6aa4c66df35599aa2c8356"},
      {"launch mode 4 64x48", "39709b093b89ac7c7d6f000824e2511f7f029bc9fc91d4f43b77c42aea5f1394"},
      {"launch mode 5 1031x1029", "b78af4b144cb6f3d60e9dfca896f8bdd45b0064c4652d2daa797b3912efd1d4f"},
      {"launch mode 5 1x1", "6c0432ae8ff8ec98b638ffb448a6c3c631e558a371749bf3a0def962ac2e8b97"},
      {"launch mode 5 257x131", "4ec6c4610c8a34b589d236450f0dea2b9ad898c09235198aa36fc3e5894d8d17"},
      {"launch mode 5 3x5", "2b902e2056b0a32f17e3611ecc736ebc9210efd6f79d721519951e3a9dceb14a"},
      {"launch mode 5 64x48", "1a85ec170d38381d9070dac504c1cd90456ed6ca895e946f61fff358a6309f0a"},
  });
}

// The writers called directly: every plane choice of SaveToFile, planes mixed
// from several rasters, and layered documents of one and three layers with
// and without a mask.
TEST_F(DocumentGoldenTest, WritersCalledDirectly) {
  for (Size s : kSizes) {
    const size_t n = static_cast<size_t>(s.width) * s.height;
    for (int bits : {8, 16, 24, 32, 64}) {
      std::vector<uint8_t> px(n * bits / 8);
      Fill(px.data(), px.size(), 10 + bits);
      ABitMap r;
      r.width = s.width, r.height = s.height, r.bitsPerPixel = bits, r.pixels = px.data();
      for (bool alpha : {false, true}) {
        if (alpha && bits != 32) continue;
        ASSERT_EQ(r.SaveToFile(path.c_str(), alpha), 0);
        Record(Key("SaveToFile " + std::to_string(bits) + (alpha ? " alpha" : ""), s));
      }
    }

    std::vector<uint8_t> a(4 * n), b(4 * n), c(4 * n), m(4 * n), g(4 * n);
    Fill(a.data(), a.size(), 21), Fill(b.data(), b.size(), 22), Fill(c.data(), c.size(), 23);
    Fill(m.data(), m.size(), 24), Fill(g.data(), g.size(), 25);
    ABitMap ra, rb, rc, rm, rg;
    for (auto [r, px] : {std::pair{&ra, &a}, {&rb, &b}, {&rc, &c}, {&rm, &m}, {&rg, &g}}) {
      r->width = s.width, r->height = s.height, r->pixels = px->data();
    }
    {
      // Five 8-bit planes from three rasters, then two 16-bit planes.
      const ABitMap* rasters[] = {&rb, &ra, &rc, &ra, &rb};
      const int32_t offsets[] = {3, 0, 2, 1, 0};
      ASSERT_EQ(ra.SaveBMapPlanes(path.c_str(), 5, 8, rasters, offsets), 0);
      Record(Key("SaveBMapPlanes five 8-bit", s));
      const int32_t offsets16[] = {2, 0};
      ASSERT_EQ(ra.SaveBMapPlanes(path.c_str(), 2, 16, rasters, offsets16), 0);
      Record(Key("SaveBMapPlanes two 16-bit", s));
    }
    const ABitMap* layers[] = {&ra, &rb, &rc};
    for (int count : {1, 3}) {
      ASSERT_EQ(ABitMap::SaveMultiLayers(path.c_str(), layers, count, &rg, nullptr, 0), 0);
      Record(Key("SaveMultiLayers " + std::to_string(count), s));
      ASSERT_EQ(ABitMap::SaveMultiLayers(path.c_str(), layers, count, &rg, &rm, -0x20000000), 0);
      Record(Key("SaveMultiLayers " + std::to_string(count) + " mask", s));
    }
  }
  ExpectDigests({
      {"SaveBMapPlanes five 8-bit 1031x1029", "b7f90a4c8a63591b231084308dea4d6006f5b917e83059cd0edc25dc57c64443"},
      {"SaveBMapPlanes five 8-bit 1x1", "1b60ac651c8a76341671c7de9366538d1a50c2a1ac68cd3180bd71b293415ecc"},
      {"SaveBMapPlanes five 8-bit 257x131", "a63a31b3773c652864c00e73d1de8a6d6d2c98a1bc02fcec2a0759b9124ac5bc"},
      {"SaveBMapPlanes five 8-bit 3x5", "de36be6861a257fe751a2e96a5d1737dbb2459644195d089d54c2ca3b7c7ea1f"},
      {"SaveBMapPlanes five 8-bit 64x48", "18b7956da96564fbb2872c1e75e4ecffdb5184696eaf373132024d7149b8c05b"},
      {"SaveBMapPlanes two 16-bit 1031x1029", "81d5379e789f96d7b61d582df3f54d8f92130913bfd29166915408a4b7c86f27"},
      {"SaveBMapPlanes two 16-bit 1x1", "c72f368b0786d0b0b989989e1e8fc606fd599f68bb0a49de4c6fe55b0e49ca3a"},
      {"SaveBMapPlanes two 16-bit 257x131", "4bd61609cb643ffd935ad717dc0e1162d1289a9b79b9b9a19534e291103e17b1"},
      {"SaveBMapPlanes two 16-bit 3x5", "63db45f8eb48c99b0d704b249abf1558f7cbd59f1779a1751a955779f7ad3713"},
      {"SaveBMapPlanes two 16-bit 64x48", "04102722058811165f49dd474be732a33024e3f5cc70fe3845ccc6ac1f77d885"},
      {"SaveMultiLayers 1 1031x1029", "fb684ea927b6aba365cb2c1af040b2134c8111d7e674afcf90d8ffcff56a8cb0"},
      {"SaveMultiLayers 1 1x1", "38d4be876da1144a32fbda25c42b719fa1ee84a00832017eaa4b629df5f95647"},
      {"SaveMultiLayers 1 257x131", "00c9882eeb94977405ea549b46c9ccbfea977bdfdfd2dbb31e2803d474609ca6"},
      {"SaveMultiLayers 1 3x5", "3ec02f879cf6859e5e834d83d52ae47a1b9ed7de63580b5376ddb3433f8e206e"},
      {"SaveMultiLayers 1 64x48", "f9374f1867f6d514ab0d4c32f873f06d4472984d5df187e4b68ae59564edfa8d"},
      {"SaveMultiLayers 1 mask 1031x1029", "4eff0312b9fa3170f09b144aac6c8463b6806c627d167e6fbbd303d18efe2328"},
      {"SaveMultiLayers 1 mask 1x1", "7b69b0c64ae95f35fdbdae4864c51aeb749b5c41716c86182a6a23c17c04c842"},
      {"SaveMultiLayers 1 mask 257x131", "72ba375ea27c4e9d08359d6b08d6df4b6d1ee0bb07f89e598b9edc008c5d1e40"},
      {"SaveMultiLayers 1 mask 3x5", "105f1e7d98fb8e6887ec2b369a90de32096b0dc6ec2d7b0bd128290554569d31"},
      {"SaveMultiLayers 1 mask 64x48", "75d163532b4a61bb67f1dae75cf10840ddbffeaa5b36d83ea9eba5b44cfc03fe"},
      {"SaveMultiLayers 3 1031x1029", "5622de99061ca9296fc1cb5207aa382db038d23eae34ad00d6712fbc7b703406"},
      {"SaveMultiLayers 3 1x1", "ce9307ee527a1011c3c3cc3f3529a5098a0f64018d026bdaa498c9bf5c211324"},
      {"SaveMultiLayers 3 257x131", "c2243a3c677ba10cec1c737a0ce1103ad2f8b3f1dd23271158da4f9bef024a0d"},
      {"SaveMultiLayers 3 3x5", "27800be6826daec9cfcfae99917917b3e2c9da9c99a070564100d7a5765580e5"},
      {"SaveMultiLayers 3 64x48", "ae26b62899cfce4f6978997b4697cce4afa3b45a732de36cc04f676904cf347f"},
      {"SaveMultiLayers 3 mask 1031x1029", "9ddb0c47e797b64dd76283604d2010427dc206a38c6ef3676100a0ea503fbf62"},
      {"SaveMultiLayers 3 mask 1x1", "9c155de18001215778292e12b89f584ee627dd22719f2db5938881056ce74947"},
      {"SaveMultiLayers 3 mask 257x131", "d1f1c23987ac97e962c6a1b4b44fc487572377a0ff9ec92f3d79cccba75efebf"},
      {"SaveMultiLayers 3 mask 3x5", "cb202f6577c6147b43ce89bc9ddd9789ccaaa4cc97a4c02a6862669c80056639"},
      {"SaveMultiLayers 3 mask 64x48", "532f23ebcc27143d6cb13cae69b15d0e57785ebfe83a4e3ac2087fbf9126ba07"},
      {"SaveToFile 16 1031x1029", "0d1a80d18494994016d2b12956c428f7d9411d15d2432f5728d4d187bd80bdf1"},
      {"SaveToFile 16 1x1", "aa43d9f0551d4f70fdf3806e386da5f250e6963c20683bc1cba0ff9d7ea3c8a7"},
      {"SaveToFile 16 257x131", "08c4277cc9e8250b292b9b801a1d617af6b46a20f8a2dd3291ccf99a3b0b066f"},
      {"SaveToFile 16 3x5", "45732593588e1c914f8efc48044dab3decbbd6976c3571eb225a83895e6d1383"},
      {"SaveToFile 16 64x48", "d7ff5bf890bf68054cb19e17d524ad55e9440902ae10481b3e56c24cb481839a"},
      {"SaveToFile 24 1031x1029", "0747b52ff240822bd0c392adab89322b52710a368d6772022dae5a714079a4bd"},
      {"SaveToFile 24 1x1", "ece452731cd6a44e41395ff85b50465b4a132b932001bcb3c1dbc9508fa716dc"},
      {"SaveToFile 24 257x131", "f20c87499c810a7b760c36daa1565b9a918da9e5936bba46cc3d5b35bd2f0a44"},
      {"SaveToFile 24 3x5", "dc9b7cf7b0841242355df59f320d0cb5362330a792883b210b9762e42fba741c"},
      {"SaveToFile 24 64x48", "dfcbba5f605e65575adc6a6d32335a37fa312f6710b4878040652884f995a319"},
      {"SaveToFile 32 1031x1029", "44258bc79486aaee0f5db85ac5592be8cdd124cc402fe5fa2aa1dd3c9e2078f1"},
      {"SaveToFile 32 1x1", "8b774134f7c6c71f2c049bc4c2b351c2ca62fbe4c7f94de9d9e4782372973b26"},
      {"SaveToFile 32 257x131", "71ec76d80f036d2a17f37eab8d087701e2d3e95863015ed41434582262233c83"},
      {"SaveToFile 32 3x5", "5d38b61ad1b13f4404c4b0fb8fa33664c49023b8f004e8c81a5fc0b8a5b4f583"},
      {"SaveToFile 32 64x48", "0a7b8ad076353783ece018a2d0f5f2b7c34f68f1b62cb337686b64830c9b621d"},
      {"SaveToFile 32 alpha 1031x1029", "ad8f4b1657eff8534e9eebf2194f7434d995e1155324f1d3ad57b5d309437d0f"},
      {"SaveToFile 32 alpha 1x1", "5aca16159deaf88e7850a7d6b9cbb017757ef666a4d3b44cf9380406a8d7926d"},
      {"SaveToFile 32 alpha 257x131", "325fe0472559948ade84408693ffb79b120694e575e16dda502b07a06adf5561"},
      {"SaveToFile 32 alpha 3x5", "8838ffcf0dee1af0a0fbb232868a1680634125f107e3ef77aaa77a4484c90486"},
      {"SaveToFile 32 alpha 64x48", "63e4f83d95a1ba05dba7bad1ce62aef5b9ba93c7a073e636c0d1d2c6176b9900"},
      {"SaveToFile 64 1031x1029", "ac04cff21a09c4ca390ab5dc95d6497d2eb1c7c54c70d9f43f9e0c4fa0a0ac43"},
      {"SaveToFile 64 1x1", "64d3317307dfcffa0e40003633549f948e61b5fef0566abe915bddcdecb8e84b"},
      {"SaveToFile 64 257x131", "1eaec560e31acd820ec32d1c0cd53e4acadfd7018d6426c9b2b619e4a647288f"},
      {"SaveToFile 64 3x5", "e14f3cafa6a48873ecdad80099cca37ced67e67442d278cb91e9c6b91fa7ecc5"},
      {"SaveToFile 64 64x48", "201936419048bca2fcc56d63b8e1e5c70ded6a9105736c867abe51ea2b24a21f"},
      {"SaveToFile 8 1031x1029", "0e44eb8bb493c7f103b3a56e5432161c8b180281b39de343b5a37b3c7dd33626"},
      {"SaveToFile 8 1x1", "70212c03ab98a4d6f3c1e6749b8aa81ea115ec94b08f5ea3d1c8944958135742"},
      {"SaveToFile 8 257x131", "2f842317b5a8228bf100a4c3fb26a5c12eabddec0a84a92317965f96958d7819"},
      {"SaveToFile 8 3x5", "69d7e45ac8dd89374ccbc22c24be5a5c3909bc13bdd89eaa5457ffc7a9fe5a32"},
      {"SaveToFile 8 64x48", "48e4571ae83e3b35c01452b94e2d1236e5ddda5354d2e8849538418bba7cdeb0"},
  });
}

TEST(Sha256Test, KnownDigests) {
  auto hex = [](const std::string& text) {
    return testing::Sha256Hex(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  };
  EXPECT_EQ(hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // 56 bytes: the length no longer fits the last block, a second one follows.
  EXPECT_EQ(hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(hex(std::string(55, '\0')),
            "02779466cdec163811d078815c633f21901413081449002f24aa3e80f0b88ef7");
  EXPECT_EQ(hex(std::string(64, '\0')),
            "f5a5fd42d16a20302798ef6ed309979b43003d2320d9f0e8ea9831a92759fb4b");
  EXPECT_EQ(hex(std::string(1000, '\0')),
            "541b3e9daa09b20bf85fa273e5cbd3e80185aa4ec298e765db87742b70138a53");
}

}  // namespace
}  // namespace kelvra
