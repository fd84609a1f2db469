// Windows file primitives.
#include <windows.h>

#include <algorithm>

#include "platform/file.h"

namespace kestrel::platform {

FileRead openRegularFile(const char* path, FileHandle* handle) {
  const HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return FileRead::CannotOpen;
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    CloseHandle(file);
    return FileRead::NotRegular;
  }
  *handle = reinterpret_cast<FileHandle>(file);
  return FileRead::Ok;
}

bool readFileStart(FileHandle handle, size_t limit, std::string* content) {
  const HANDLE file = reinterpret_cast<HANDLE>(handle);
  LARGE_INTEGER start{};
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;
  // Into one buffer of the whole size: a small file comes in one read.
  content->resize(limit);
  size_t got = 0;
  while (got < limit) {
    const DWORD want = static_cast<DWORD>(std::min<size_t>(limit - got, 1u << 30));
    DWORD n = 0;
    if (!ReadFile(file, content->data() + got, want, &n, nullptr)) return false;
    if (n == 0) break;
    got += n;
  }
  content->resize(got);
  return true;
}

void closeFile(FileHandle handle) { CloseHandle(reinterpret_cast<HANDLE>(handle)); }

}  // namespace kestrel::platform
