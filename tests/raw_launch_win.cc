// raw_launch.exe: starts a program with exactly the command line held in the
// environment variable TAVIK_RAW_COMMAND_LINE (program name included) and
// returns its exit code, 255 when it cannot be started. `wine program args`
// always builds the command line from an argument vector; this lets the
// Wine scenarios hand Tavik.exe command lines that no vector produces, so
// that the real CommandLineToArgvW splits them.
#include <windows.h>

#include <string>

int main() {
  DWORD size = ::GetEnvironmentVariableW(L"TAVIK_RAW_COMMAND_LINE", nullptr, 0);
  if (size == 0) return 255;
  std::wstring line(size, L'\0');
  size = ::GetEnvironmentVariableW(L"TAVIK_RAW_COMMAND_LINE", &line[0], size);
  line.resize(size);
  ::SetEnvironmentVariableW(L"TAVIK_RAW_COMMAND_LINE", nullptr);

  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!::CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process)) {
    return 255;
  }
  ::WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 255;
  ::GetExitCodeProcess(process.hProcess, &code);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return static_cast<int>(code);
}
