// What the recorder needs from the system beyond the serial port and the
// output (recording/output_file.h): the operator's Ctrl-C, the terminal and
// the lines typed on it. One file per system: record_posix.cpp,
// record_win32.cpp.
#pragma once

#include <string>

namespace kv::record {

// From now on Ctrl-C asks the recording to end (POSIX: SIGINT, SIGTERM and
// SIGHUP; Win32: Ctrl-C, Ctrl-Break, the console window closed, log-off and
// shut-down). A closed pipe on standard output becomes a failed write, and
// a file that may grow no more a failed write too.
void installStopHandlers();
bool stopRequested();
// The recording is over and its file closed. On Win32 the system ends the
// process once a close handler returns; the handler waits for this.
void stopDone();

// Standard error is a terminal that takes cursor movements, and its height
// in lines and width in columns (24 and 80 when the system does not say).
bool liveTerminal();
int terminalRows();
int terminalColumns();
// Standard output is a terminal (rows written there would cut through a
// live table on the same screen).
bool stdoutIsTerminal();

// A whole line from standard input, when one has come (never waits).
// *eof once standard input has ended (or cannot be read): no more lines.
// While the program runs in the background of its terminal, nothing is
// read (reading would stop it).
bool readInputLine(std::string* line, bool* eof);

// The reason for a port's error code (the system's own: errno, or
// GetLastError on Win32).
std::string portErrorText(int code);
// Whether `path` is a serial port, when the port's own open does not say
// (Win32 opens any file); false with the reason.
bool isSerialPort(const char* path, std::string* reason);

}  // namespace kv::record
