/* launch PROGRAM COMMAND_LINE
 *
 * Starts PROGRAM with exactly COMMAND_LINE, the way make or cmd start a
 * program found on the PATH, and exits with its exit status. Wine's own
 * loader always puts the program's full path in argv[0]; this gives it a
 * short command word instead, so a program that took argv[0] for its path
 * would be caught. Exit status 120 or 121: launch itself failed. */
#include <windows.h>

int main(int argc, char** argv) {
  STARTUPINFOA startup;
  PROCESS_INFORMATION process;
  DWORD status = 0;
  if (argc != 3) return 120;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  if (!CreateProcessA(argv[1], argv[2], NULL, NULL, TRUE, 0, NULL, NULL,
                      &startup, &process)) {
    return 121;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &status);
  return (int)status;
}
