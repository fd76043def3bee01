// The recording's output on Windows. Paths are UTF-8 and opened with the
// wide calls, so that any name the operator picks works. A file open here
// cannot be deleted (it is not shared for deletion), so it is never found
// deleted.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <system_error>

#include "recording/output_file.h"

namespace kv {

struct OutputFile {
  int fd;
  bool file;
  bool owned;
};

namespace {

std::wstring wide(const char* utf8) {
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8, -1, w.data(), n);
  w.resize(static_cast<std::size_t>(n - 1));
  return w;
}

WriteOutcome outcomeOf(int err) {
  if (err == ENOSPC || err == EFBIG) return WriteOutcome::Full;
  if (err == EPIPE) return WriteOutcome::Closed;
  return WriteOutcome::Failed;
}

}  // namespace

OutputFile* outputCreate(const char* path, bool replace, int* err) {
  const std::wstring w = wide(path);
  const int fd = ::_wopen(w.c_str(), _O_RDWR | _O_CREAT | _O_BINARY | _O_NOINHERIT | (replace ? _O_TRUNC : _O_EXCL),
                          _S_IREAD | _S_IWRITE);
  if (fd < 0) {
    *err = errno;
    return nullptr;
  }
  auto* out = new (std::nothrow) OutputFile{fd, true, true};
  if (out == nullptr) {
    ::_close(fd);
    *err = ENOMEM;
  }
  return out;
}

OutputFile* outputStdout() {
  const int fd = ::_fileno(stdout);
  ::_setmode(fd, _O_BINARY);
  return new (std::nothrow) OutputFile{fd, false, false};
}

void outputClose(OutputFile* out) {
  if (out == nullptr) return;
  if (out->owned) ::_close(out->fd);
  delete out;
}

bool outputIsFile(const OutputFile* out) { return out != nullptr && out->file; }

WriteOutcome outputWrite(OutputFile* out, const char* data, std::size_t n, std::size_t* written, int* err,
                         const std::atomic<bool>& abandon) {
  std::size_t done = 0;
  while (done < n) {
    if (abandon.load()) {
      *written = done;
      return WriteOutcome::Abandoned;
    }
    const auto take = static_cast<unsigned>(std::min<std::size_t>(n - done, 1 << 16));
    const int w = ::_write(out->fd, data + done, take);
    if (w > 0) {
      done += static_cast<std::size_t>(w);
      continue;
    }
    *err = w < 0 ? errno : ENOSPC;  // a write that takes nothing: the disk is full
    *written = done;
    return outcomeOf(*err);
  }
  *written = done;
  return WriteOutcome::Written;
}

bool outputTruncate(OutputFile* out, std::uint64_t size) {
  if (!out->file) return false;
  return ::_chsize_s(out->fd, static_cast<long long>(size)) == 0 &&
         ::_lseeki64(out->fd, static_cast<long long>(size), SEEK_SET) == static_cast<long long>(size);
}

bool outputSync(OutputFile* out, int* err) {
  if (!out->file) return true;
  HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(out->fd));
  if (h == INVALID_HANDLE_VALUE || ::GetFileType(h) != FILE_TYPE_DISK) return true;
  if (::FlushFileBuffers(h)) return true;
  *err = EIO;
  return false;
}

bool outputDeleted(const OutputFile*) { return false; }

bool outputCopy(OutputFile* from, OutputFile* to, std::uint64_t size, int* err) {
  char buffer[1 << 15];
  std::uint64_t at = 0;
  const std::atomic<bool> never{false};
  const long long back = ::_telli64(from->fd);
  ::_lseeki64(from->fd, 0, SEEK_SET);
  bool ok = true;
  while (ok && at < size) {
    const auto want = static_cast<unsigned>(std::min<std::uint64_t>(sizeof buffer, size - at));
    const int r = ::_read(from->fd, buffer, want);
    if (r <= 0) {
      *err = r < 0 ? errno : EIO;
      ok = false;
      break;
    }
    std::size_t written = 0;
    ok = outputWrite(to, buffer, static_cast<std::size_t>(r), &written, err, never) == WriteOutcome::Written;
    at += static_cast<std::uint64_t>(r);
  }
  ::_lseeki64(from->fd, back, SEEK_SET);
  return ok;
}

bool makeParentFolder(const char* path) {
  std::error_code ec;
  const std::filesystem::path parent = std::filesystem::path(wide(path)).parent_path();
  if (parent.empty()) return true;
  std::filesystem::create_directories(parent, ec);
  return !ec;
}

void errorWords(int err, char* out, std::size_t size) { std::snprintf(out, size, "%s", std::strerror(err)); }

}  // namespace kv
