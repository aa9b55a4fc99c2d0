// hold_file.exe PATH SHARE MILLISECONDS READY: opens PATH for reading as a
// virus scanner or a search indexer does, with the sharing SHARE ("none",
// "r", "rw" or "rwd": read, write, delete), creates the file READY once the
// file is open, holds it for MILLISECONDS and closes it. Exits 0, or 2 when
// PATH cannot be opened or READY cannot be made. The Wine checks of a
// library held open during a run start it beside Tavik.exe.
#include <windows.h>

#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc != 5) return 2;
  DWORD share = 0;
  for (const wchar_t* c = argv[2]; *c != L'\0'; ++c) {
    if (*c == L'r') share |= FILE_SHARE_READ;
    if (*c == L'w') share |= FILE_SHARE_WRITE;
    if (*c == L'd') share |= FILE_SHARE_DELETE;
  }
  HANDLE held = ::CreateFileW(argv[1], GENERIC_READ, share, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held == INVALID_HANDLE_VALUE) return 2;
  HANDLE ready = ::CreateFileW(argv[4], GENERIC_WRITE, 0, nullptr,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (ready == INVALID_HANDLE_VALUE) return 2;
  ::CloseHandle(ready);
  ::Sleep(static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)));
  ::CloseHandle(held);
  return 0;
}
