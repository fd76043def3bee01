// Where a recording's rows go: a file made for it, or standard output. One
// small interface, one file per system (output_posix.cpp, output_win32.cpp).
//
// Errors come back as the C library's errno values (ENOSPC, EPIPE...), on
// both systems, so that the recording can tell a full disk from a closed
// pipe without knowing the system. Nothing here throws.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace kv {

struct OutputFile;

// Makes `path` for writing. With `replace` an existing file is emptied
// (the operator said so); otherwise one that exists is refused (EEXIST).
OutputFile* outputCreate(const char* path, bool replace, int* err);
// Standard output, bytes as they are.
OutputFile* outputStdout();
void outputClose(OutputFile* out);
bool outputIsFile(const OutputFile* out);

enum class WriteOutcome {
  Written,    // all of it
  Full,       // the disk or the quota is full (or the file may grow no more)
  Closed,     // nobody reads any more (a closed pipe)
  Failed,     // any other error
  Abandoned,  // `abandon` was raised while the output took nothing
};

// Writes `n` bytes. A reader that is slow to take them (a pipe, a terminal)
// is waited for, looking at `abandon` at least every 100 ms. *written: the
// bytes that went out; *err: the error of an outcome other than Written.
WriteOutcome outputWrite(OutputFile* out, const char* data, std::size_t n, std::size_t* written, int* err,
                         const std::atomic<bool>& abandon);

// Cuts the file back to `size` bytes (the last whole row); false when the
// system refused.
bool outputTruncate(OutputFile* out, std::uint64_t size);
// Hands what the system holds of the file to the disk. Not a file: true.
bool outputSync(OutputFile* out, int* err);
// The file is no longer reachable under any name: it (or its folder) was
// deleted while we wrote. Never for standard output, or where an open file
// cannot be deleted (Windows).
bool outputDeleted(const OutputFile* out);
// Copies the first `size` bytes of `from` to the end of `to`.
bool outputCopy(OutputFile* from, OutputFile* to, std::uint64_t size, int* err);

// Makes the folder that holds `path`, and those above it, when they are
// missing; false when it cannot.
bool makeParentFolder(const char* path);

// The system's words for errno value `err`, into `out` (`size` bytes).
void errorWords(int err, char* out, std::size_t size);

}  // namespace kv
