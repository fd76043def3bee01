// The File menu's items that ask the operator for a file: recording,
// participants, the session report; and what is kept for the user between
// runs (%APPDATA%\Koravel\koravel.ini): the folder of the last recording
// and the participants file in force.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>

namespace kv::win32 {

struct Win32Console;

// The kept settings, UTF-8; "" when none. An empty value removes the key.
std::string readSetting(const char* section, const char* key);
void writeSetting(const char* section, const char* key, const std::string& value);

// WM_COMMAND of the File menu's items that need a dialog or a setting;
// false for any other command.
bool fileMenuCommand(Win32Console& app, int command);
// At start: the participants file of the last run, when there was one.
void loadRememberedParticipants(Win32Console& app);

}  // namespace kv::win32
