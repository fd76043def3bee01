// What the recorder needs from the system beyond the serial port: the
// operator's Ctrl-C, the terminal, and files that are created new and synced
// to the disk. One file per system: record_posix.cpp, record_win32.cpp.
#pragma once

#include <cstdio>
#include <string>

namespace kv::record {

// From now on Ctrl-C asks the recording to end (POSIX: SIGINT, SIGTERM and
// SIGHUP; Win32: Ctrl-C, Ctrl-Break, the console window closed, log-off and
// shut-down). A broken pipe on standard output becomes a failed write.
void installStopHandlers();
bool stopRequested();
// The recording is over and its file closed. On Win32 the system ends the
// process once a close handler returns; the handler waits for this.
void stopDone();

// Standard error is a terminal that takes cursor movements, and its height
// in lines (24 when the system does not say).
bool liveTerminal();
int terminalRows();
// Standard output is a terminal (rows written there would cut through a
// live table on the same screen).
bool stdoutIsTerminal();

// Creates `path` for writing; fails, with the reason, when it exists.
std::FILE* createNewFile(const char* path, std::string* reason);
// Standard output for the rows: bytes as they are (no CR LF translation).
std::FILE* rowsToStdout();
// Writes what the system holds of `file` to the disk.
bool syncToDisk(std::FILE* file, std::string* reason);
// Removes a file this program made and will not use.
void removeFile(const char* path);

// The reason for the C library's error `code`, and for a port's error code
// (the system's own: errno, or GetLastError on Win32).
std::string errorText(int code);
std::string portErrorText(int code);
// Whether `path` is a serial port, when the port's own open does not say
// (Win32 opens any file); false with the reason.
bool isSerialPort(const char* path, std::string* reason);

}  // namespace kv::record
