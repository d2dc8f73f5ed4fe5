// The editor link's diagnostic notes, composed in a buffer of fixed size:
// the library allocates nothing to say why it refused.
#include "editorlink/editor_notes.h"

#include "services/services.h"

namespace kelvra {

namespace {

// The document of the last "cannot merge" note, with its stamp.
constinit char gNotedPath[kEditorPathChars + 1] = {};
constinit int32_t gNotedStamp = 0;

// Two paths and a reason of at most 255 characters, with room for the words.
class NoteText {
 public:
  NoteText& operator<<(const char* part) {
    // A bound below 1 would mean 255 to StrCopyBounded: a full text takes
    // nothing more.
    if (part != nullptr && end_ < last_) {
      end_ = StrCopyBounded(part, end_, static_cast<int32_t>(last_ - end_));
    }
    return *this;
  }
  NoteText& operator<<(int32_t value) {
    char digits[13];
    char* d = DecimalDigits(
        value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value),
        digits + sizeof digits - 1);
    if (value < 0) *--d = '-';
    return *this << static_cast<const char*>(d);
  }
  const char* text() const { return text_; }

 private:
  char text_[2 * kEditorPathChars + 512] = {};
  char* end_ = text_;
  // The terminator's place when the text is full.
  char* const last_ = text_ + sizeof text_ - 1;
};

// Once per path and stamp: false when this document was noted already.
bool FirstNoteOf(const char* path, int32_t stamp) {
  if (gNotedPath[0] != 0 && stamp == gNotedStamp && SameText(path, gNotedPath)) return false;
  RecordEditorPath(path, gNotedPath);
  gNotedStamp = stamp;
  return true;
}

}  // namespace

bool SameText(const char* a, const char* b) {
  while (*a != 0 && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

char* DecimalDigits(uint32_t value, char* end) {
  *end = 0;
  do {
    *--end = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  return end;
}

bool RecordEditorPath(const char* path, char* dst) {
  dst[0] = 0;
  if (path == nullptr || StrLength(path) > kEditorPathChars) return false;
  StrCopyBounded(path, dst, kEditorPathChars);
  return true;
}

void NoteCannotMerge(const char* path, int32_t stamp, const char* reason) {
  if (!FirstNoteOf(path, stamp)) return;
  NoteText note;
  note << "KelvraDLL: cannot merge " << path << ": " << reason;
  DiagnosticNote(note.text());
}

void NoteCannotMergeSize(const char* path, int32_t stamp, int32_t documentWidth,
                         int32_t documentHeight, int32_t imageWidth, int32_t imageHeight) {
  if (!FirstNoteOf(path, stamp)) return;
  NoteText note;
  note << "KelvraDLL: cannot merge " << path << ": the document is " << documentWidth << " x "
       << documentHeight << " pixels, the image " << imageWidth << " x " << imageHeight;
  DiagnosticNote(note.text());
}

void NoteKept(const char* path, const char* kept, const char* reason, const char* detail) {
  NoteText note;
  note << "KelvraDLL: kept " << path << " as " << kept << " before writing a new export: "
       << reason << detail;
  DiagnosticNote(note.text());
}

void NoteKeepFailed(const char* path, const char* reason) {
  NoteText note;
  note << "KelvraDLL: wrote nothing: " << path << " must be kept but " << reason;
  DiagnosticNote(note.text());
}

void ForgetNotedDocument() {
  gNotedPath[0] = 0;
  gNotedStamp = 0;
}

}  // namespace kelvra
