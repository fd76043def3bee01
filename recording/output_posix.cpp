// The recording's output on POSIX systems.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <system_error>
#include <filesystem>

#include "recording/output_file.h"

namespace kv {

struct OutputFile {
  int fd;
  bool file;   // a regular file we made
  bool owned;  // ours to close
  // How much one write may hand a reader that is slow to take it: after
  // poll says there is room, a pipe takes up to PIPE_BUF at once, a
  // terminal a little.
  std::size_t chunk;
};

namespace {

constexpr int kAbandonLookMs = 100;

WriteOutcome outcomeOf(int err) {
  if (err == ENOSPC || err == EDQUOT || err == EFBIG) return WriteOutcome::Full;
  if (err == EPIPE) return WriteOutcome::Closed;
  return WriteOutcome::Failed;
}

OutputFile* wrap(int fd, bool file, bool owned) {
  struct stat st {};
  std::size_t chunk = 1 << 16;
  if (::fstat(fd, &st) == 0 && !S_ISREG(st.st_mode)) chunk = ::isatty(fd) != 0 ? 256 : PIPE_BUF;
  return new (std::nothrow) OutputFile{fd, file, owned, chunk};
}

}  // namespace

OutputFile* outputCreate(const char* path, bool replace, int* err) {
  // Read and write: a file deleted under us is read back into its successor.
  const int fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC | (replace ? O_TRUNC : O_EXCL), 0644);
  if (fd < 0) {
    *err = errno;
    return nullptr;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    // Not a file (a device or a FIFO the operator named): not ours to make.
    *err = ::fstat(fd, &st) != 0 ? errno : EINVAL;
    ::close(fd);
    return nullptr;
  }
  OutputFile* out = wrap(fd, true, true);
  if (out == nullptr) {
    ::close(fd);
    *err = ENOMEM;
  }
  return out;
}

OutputFile* outputStdout() { return wrap(STDOUT_FILENO, false, false); }

void outputClose(OutputFile* out) {
  if (out == nullptr) return;
  if (out->owned) ::close(out->fd);
  delete out;
}

bool outputIsFile(const OutputFile* out) { return out != nullptr && out->file; }

WriteOutcome outputWrite(OutputFile* out, const char* data, std::size_t n, std::size_t* written, int* err,
                         const std::atomic<bool>& abandon) {
  std::size_t done = 0;
  while (done < n) {
    if (!out->file) {
      // Wait for room, looking at `abandon` meanwhile: a blocked reader must
      // not hold the recording's end up.
      pollfd p{out->fd, POLLOUT, 0};
      const int r = ::poll(&p, 1, kAbandonLookMs);
      if (r == 0 || (r < 0 && errno == EINTR)) {
        if (abandon.load()) {
          *written = done;
          return WriteOutcome::Abandoned;
        }
        continue;
      }
    }
    const std::size_t take = std::min(n - done, out->chunk);
    const ssize_t w = ::write(out->fd, data + done, take);
    if (w > 0) {
      done += static_cast<std::size_t>(w);
      continue;
    }
    if (w < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    *err = w < 0 ? errno : EIO;
    *written = done;
    return outcomeOf(*err);
  }
  *written = done;
  return WriteOutcome::Written;
}

bool outputTruncate(OutputFile* out, std::uint64_t size) {
  if (!out->file) return false;
  const auto at = static_cast<off_t>(size);
  return ::ftruncate(out->fd, at) == 0 && ::lseek(out->fd, at, SEEK_SET) == at;
}

bool outputSync(OutputFile* out, int* err) {
  if (!out->file) return true;
  if (::fsync(out->fd) == 0 || errno == EINVAL || errno == EROFS) return true;
  *err = errno;
  return false;
}

bool outputDeleted(const OutputFile* out) {
  if (!out->file) return false;
  struct stat st {};
  return ::fstat(out->fd, &st) == 0 && st.st_nlink == 0;
}

bool outputCopy(OutputFile* from, OutputFile* to, std::uint64_t size, int* err) {
  char buffer[1 << 15];
  std::uint64_t at = 0;
  const std::atomic<bool> never{false};
  while (at < size) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof buffer, size - at));
    const ssize_t r = ::pread(from->fd, buffer, want, static_cast<off_t>(at));
    if (r <= 0) {
      if (r < 0 && errno == EINTR) continue;
      *err = r < 0 ? errno : EIO;
      return false;
    }
    std::size_t written = 0;
    if (outputWrite(to, buffer, static_cast<std::size_t>(r), &written, err, never) != WriteOutcome::Written)
      return false;
    at += static_cast<std::uint64_t>(r);
  }
  return true;
}

bool makeParentFolder(const char* path) {
  std::error_code ec;
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (parent.empty()) return true;
  std::filesystem::create_directories(parent, ec);
  return !ec;
}

void errorWords(int err, char* out, std::size_t size) { std::snprintf(out, size, "%s", std::strerror(err)); }

}  // namespace kv
