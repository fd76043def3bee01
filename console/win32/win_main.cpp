// Entry point of the Windows program.
#include "console/win32/main_window.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*commandLine*/, int showCommand) {
  return kv::win32::runConsole(instance, showCommand);
}
