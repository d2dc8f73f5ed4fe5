// Win32 platform layer: the only file of the DLL that calls Windows.
#include <windows.h>
#include <shellapi.h>

#include <cstdlib>

#include "services/platform.h"

namespace kelvra::platform {

void* HeapAlloc(uint32_t bytes) { return std::malloc(bytes == 0 ? 1 : bytes); }
void HeapFree(void* block) { std::free(block); }
void* PlainAlloc(uint32_t bytes) { return std::malloc(bytes == 0 ? 1 : bytes); }
void PlainFree(void* block) { std::free(block); }

void NoteBox(const char* caption, const char* text) {
  MessageBoxA(nullptr, text, caption,
              MB_OK | MB_ICONINFORMATION | MB_SYSTEMMODAL | MB_SETFOREGROUND);
}

namespace {

// An HFILE from _lopen is the kernel handle; CreateFileA's handle serves the
// _l* calls the same way.
HANDLE AsHandle(FileHandle file) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(file));
}

}  // namespace

FileHandle Open(const char* path, bool readWrite) {
  HFILE file = _lopen(path, readWrite ? OF_READWRITE : OF_READ);
  return file == HFILE_ERROR ? 0 : static_cast<FileHandle>(file);
}

FileHandle CreateNew(const char* path) {
  HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  return static_cast<FileHandle>(reinterpret_cast<intptr_t>(file));
}

int32_t Read(FileHandle file, void* dst, uint32_t bytes) {
  UINT got = _lread(static_cast<HFILE>(file), dst, bytes);
  return got == static_cast<UINT>(HFILE_ERROR) ? -1 : static_cast<int32_t>(got);
}

int32_t Write(FileHandle file, const void* src, uint32_t bytes) {
  UINT put = _lwrite(static_cast<HFILE>(file), static_cast<LPCCH>(src), bytes);
  return put == static_cast<UINT>(HFILE_ERROR) ? -1 : static_cast<int32_t>(put);
}

int32_t Seek(FileHandle file, int32_t offset, int origin) {
  LONG pos = _llseek(static_cast<HFILE>(file), offset, origin);
  return pos == HFILE_ERROR ? -1 : static_cast<int32_t>(pos);
}

void EndFileHere(FileHandle file) { SetEndOfFile(AsHandle(file)); }

int32_t Close(FileHandle file) {
  return _lclose(static_cast<HFILE>(file)) == HFILE_ERROR ? -1 : 0;
}

bool Exists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

// Without MOVEFILE_REPLACE_EXISTING, MoveFileA fails when `to` exists.
bool Rename(const char* from, const char* to) { return MoveFileA(from, to) != 0; }

bool LastWriteTimeUtc(FileHandle file, CalendarTime* out) {
  FILETIME written;
  if (!GetFileTime(AsHandle(file), nullptr, nullptr, &written)) return false;
  SYSTEMTIME t;
  if (!FileTimeToSystemTime(&written, &t)) return false;
  *out = {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
  return true;
}

int32_t ClipboardGetText(char* dst) {
  if (!OpenClipboard(nullptr)) return 0;
  HANDLE data = GetClipboardData(CF_TEXT);
  if (data != nullptr && dst != nullptr) {
    const char* text = static_cast<const char*>(GlobalLock(data));
    if (text != nullptr) {
      StrCopyBounded(text, dst, 255);
      GlobalUnlock(data);
    } else {
      dst[0] = 0;
    }
  }
  CloseClipboard();
  return data != nullptr ? 1 : 0;
}

int32_t ClipboardSetText(const char* src, uint32_t bytes) {
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE, bytes);
  if (block == nullptr) return 0;
  void* dst = GlobalLock(block);
  if (dst == nullptr) {
    GlobalFree(block);
    return 0;
  }
  MemCopy(dst, src, bytes);
  GlobalUnlock(block);
  if (!OpenClipboard(nullptr)) {
    GlobalFree(block);
    return 0;
  }
  EmptyClipboard();
  bool taken = SetClipboardData(CF_TEXT, block) != nullptr;
  CloseClipboard();
  // A block the clipboard refused is still ours.
  if (!taken) GlobalFree(block);
  return taken ? 1 : 0;
}

int32_t ShellOpen(const char* path) {
  HINSTANCE result =
      ShellExecuteA(nullptr, "open", path, "", "", SW_SHOWNORMAL);
  return static_cast<int32_t>(reinterpret_cast<intptr_t>(result));
}

void DiagnosticNote(const char* text) { OutputDebugStringA(text); }

// The DLL counts nothing: resource accounting is a check of the native build.
ResourceCount Outstanding() { return {0, 0, 0, false}; }
void NoteResourceImbalance(const char*, const ResourceCount&, const ResourceCount&) {}

}  // namespace kelvra::platform
