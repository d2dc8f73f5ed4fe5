// A stand-in for the user's image editor, started by the shell through the
// test prefix's .psd association. It does what a user would: opens the
// document it is given, paints a rectangle on the bottom layer (or on the
// image of a flat document), lets the composite follow, and saves in place.
//
// It reads and writes the document with its own small parser, not with the
// library's reader, so a round trip checks the library against an independent
// view of the format. Only raw (uncompressed) 8-bit RGB data is handled. The
// document is never held whole: the parser reads the sections it walks and
// the edit rewrites only the painted samples and the composite under them,
// so a document of an 8K image edits as quickly as a small one.
//
// The rectangle and colour come from "<document>.edit" ("x y w h r g b") when
// that file exists. When done, it writes "<document>.opened" holding the path
// it was given, or a line starting "ERROR" when it could not edit.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Edit {
  int x = 2, y = 1, w = 3, h = 2;
  int r = 200, g = 30, b = 60;
};

void Report(const std::string& doc, const std::string& text) {
  FILE* f = std::fopen((doc + ".opened").c_str(), "wb");
  if (f == nullptr) return;
  std::fputs(text.c_str(), f);
  std::fclose(f);
}

// Big-endian reads from an open document that refuse to pass its end.
struct Reader {
  FILE* f;
  int64_t size;
  int64_t pos = 0;
  bool ok = true;
  uint32_t U(int bytes) {
    uint8_t b[4];
    if (!ok || pos + bytes > size || _fseeki64(f, pos, SEEK_SET) != 0 ||
        std::fread(b, 1, bytes, f) != static_cast<size_t>(bytes)) {
      ok = false;
      return 0;
    }
    pos += bytes;
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | b[i];
    return v;
  }
  void Skip(int64_t n) {
    if (!ok || pos + n > size) ok = false;
    else pos += n;
  }
  int Byte(int64_t at) {
    const int64_t keep = pos;
    pos = at;
    const int v = static_cast<int>(U(1));
    pos = keep;
    return v;
  }
};

// The bytes to write back: one sample at a place in the file.
struct Change {
  int64_t at;
  uint8_t value;
};

struct Channel {
  int id;
  int64_t data;  // offset of the samples (after the compression value)
  int compression;
};

struct Layer {
  std::string blend;
  int opacity;
  std::vector<Channel> channels;
  const Channel* Find(int id) const {
    for (const Channel& c : channels) {
      if (c.id == id) return &c;
    }
    return nullptr;
  }
};

int HardLight(int top, int bottom) {
  if (top < 128) return (2 * top * bottom + 127) / 255;
  return 255 - (2 * (255 - top) * (255 - bottom) + 127) / 255;
}

std::string EditDocument(Reader& rd, const Edit& e, std::vector<Change>* changes) {
  rd.Skip(12);
  const int channels = static_cast<int>(rd.U(2));
  const int height = static_cast<int>(rd.U(4));
  const int width = static_cast<int>(rd.U(4));
  const int depth = static_cast<int>(rd.U(2));
  const int colour = static_cast<int>(rd.U(2));
  if (!rd.ok || depth != 8 || colour != 3 || channels < 3) return "ERROR not 8-bit RGB";
  rd.Skip(rd.U(4));  // colour mode data
  rd.Skip(rd.U(4));  // image resources
  const uint32_t sectionLength = rd.U(4);
  const int64_t sectionEnd = rd.pos + sectionLength;
  const int64_t n = static_cast<int64_t>(width) * height;

  std::vector<Layer> layers;
  if (sectionLength > 0) {
    const uint32_t infoLength = rd.U(4);
    if (infoLength > 0) {
      int count = static_cast<int16_t>(rd.U(2));
      if (count < 0) count = -count;
      std::vector<std::vector<std::pair<int, uint32_t>>> lengths(count);
      for (int i = 0; i < count && rd.ok; ++i) {
        rd.Skip(16);  // the rectangle: these documents' layers cover it all
        const int k = static_cast<int16_t>(rd.U(2));
        for (int c = 0; c < k; ++c) {
          const int id = static_cast<int16_t>(rd.U(2));
          lengths[i].push_back({id, rd.U(4)});
        }
        Layer layer;
        rd.Skip(4);  // "8BIM"
        for (int c = 0; c < 4; ++c) layer.blend += static_cast<char>(rd.U(1));
        layer.opacity = static_cast<int>(rd.U(1));
        rd.Skip(3);
        rd.Skip(rd.U(4));  // extra data
        layers.push_back(layer);
      }
      for (int i = 0; i < count && rd.ok; ++i) {
        for (const auto& [id, length] : lengths[i]) {
          const int64_t start = rd.pos;
          const int compression = static_cast<int>(rd.U(2));
          layers[i].channels.push_back({id, rd.pos, compression});
          rd.pos = start;
          rd.Skip(length);
        }
      }
    }
  }
  rd.pos = sectionEnd;
  const int compositeCompression = static_cast<int>(rd.U(2));
  const int64_t composite = rd.pos;
  if (!rd.ok || composite + channels * n > rd.size) return "ERROR truncated";
  if (compositeCompression != 0) return "ERROR compressed composite";

  const int colours[3] = {e.r, e.g, e.b};
  // Every pixel of the rectangle inside the image, as an index.
  std::vector<int64_t> painted;
  for (int y = e.y; y < e.y + e.h && y < height; ++y) {
    for (int x = e.x; x < e.x + e.w && x < width; ++x) {
      painted.push_back(static_cast<int64_t>(y) * width + x);
    }
  }
  if (layers.empty()) {
    for (int64_t i : painted) {
      for (int c = 0; c < 3; ++c) {
        changes->push_back({composite + c * n + i, static_cast<uint8_t>(colours[c])});
      }
    }
    return "";
  }
  for (const Layer& layer : layers) {
    for (int id = -1; id <= 2; ++id) {
      const Channel* c = layer.Find(id);
      if (c != nullptr && (c->compression != 0 || c->data + n > rd.size)) {
        return "ERROR unsupported layer channel";
      }
      if (c == nullptr && id >= 0) return "ERROR layer without colour channel";
    }
  }
  const Layer& bottom = layers[0];
  // The painted pixels of the bottom layer, and the composite over them
  // following the layers: each upper layer over what is below, in its blend
  // mode, through its transparency and opacity. Elsewhere nothing changed.
  for (int64_t i : painted) {
    int px[3];
    for (int c = 0; c < 3; ++c) {
      px[c] = colours[c];
      changes->push_back({bottom.Find(c)->data + i, static_cast<uint8_t>(colours[c])});
    }
    for (size_t l = 1; l < layers.size(); ++l) {
      const Layer& up = layers[l];
      const Channel* a = up.Find(-1);
      const int alpha = (a != nullptr ? rd.Byte(a->data + i) : 255) * up.opacity / 255;
      for (int c = 0; c < 3; ++c) {
        const int top = rd.Byte(up.Find(c)->data + i);
        const int blended = up.blend == "hLit" ? HardLight(top, px[c]) : top;
        px[c] = (blended * alpha + px[c] * (255 - alpha) + 127) / 255;
      }
    }
    for (int c = 0; c < 3; ++c) {
      changes->push_back({composite + c * n + i, static_cast<uint8_t>(px[c])});
    }
  }
  return rd.ok ? "" : "ERROR truncated";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string doc = argv[1];
  Edit e;
  if (FILE* f = std::fopen((doc + ".edit").c_str(), "rb")) {
    if (std::fscanf(f, "%d %d %d %d %d %d %d", &e.x, &e.y, &e.w, &e.h, &e.r, &e.g, &e.b) != 7) {
      std::fclose(f);
      Report(doc, "ERROR bad edit file");
      return 1;
    }
    std::fclose(f);
  }
  FILE* f = std::fopen(doc.c_str(), "rb+");
  if (f == nullptr) {
    Report(doc, "ERROR cannot open " + doc);
    return 1;
  }
  _fseeki64(f, 0, SEEK_END);
  Reader rd{f, _ftelli64(f)};
  std::vector<Change> changes;
  std::string problem = EditDocument(rd, e, &changes);
  if (!problem.empty()) {
    std::fclose(f);
    Report(doc, problem);
    return 1;
  }
  // A user takes more than a second; the file's stamp counts whole seconds.
  Sleep(1100);
  bool ok = true;
  for (const Change& c : changes) {
    ok = ok && _fseeki64(f, c.at, SEEK_SET) == 0 && std::fputc(c.value, f) != EOF;
  }
  ok = std::fclose(f) == 0 && ok;
  if (!ok) {
    Report(doc, "ERROR cannot write " + doc);
    return 1;
  }
  Report(doc, doc);
  return 0;
}
