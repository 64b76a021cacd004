/* launch PROGRAM COMMAND_LINE
 *
 * Starts PROGRAM with exactly COMMAND_LINE, the way make or cmd start a
 * program found on the PATH, and exits with its exit status. Wine's own
 * loader always puts the program's full path in argv[0]; this gives it a
 * short command word instead, so a program that took argv[0] for its path
 * would be caught. In COMMAND_LINE, \uXXXX stands for the UTF-16 unit XXXX
 * (hex): an unpaired surrogate, which no Unix argument can carry into Wine.
 * Exit status 120 or 121: launch itself failed. */
#include <windows.h>
#include <shellapi.h>
#include <wchar.h>

int main(void) {
  STARTUPINFOW startup;
  PROCESS_INFORMATION process;
  DWORD status = 0;
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  wchar_t* line;
  size_t in = 0, out = 0;
  if (argv == NULL || argc != 3) return 120;
  line = argv[2]; /* decoded in place: it only gets shorter */
  while (line[in] != 0) {
    wchar_t hex[5] = {0};
    if (line[in] == L'\\' && line[in + 1] == L'u' && wcslen(line + in) >= 6) {
      wcsncpy(hex, line + in + 2, 4);
      line[out++] = (wchar_t)wcstoul(hex, NULL, 16);
      in += 6;
    } else {
      line[out++] = line[in++];
    }
  }
  line[out] = 0;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  if (!CreateProcessW(argv[1], line, NULL, NULL, TRUE, 0, NULL, NULL, &startup,
                      &process)) {
    return 121;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &status);
  return (int)status;
}
