#include "runtime/text_file.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "runtime/error.h"

#if defined(_WIN32)
#include "runtime/win32.h"
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace runtime {
namespace {

[[noreturn]] void AccessError(const std::string& what, const std::string& path,
                              const std::string& reason) {
  throw Error(kPathFileAccess, what + " '" + path + "'" + (reason.empty() ? "" : ": " + reason));
}

// A name beside `path` that no other save uses at the same time: the process and a count of this
// process's attempts. A name left by a save that died is skipped, as the file is made exclusively.
std::string TempName(const std::string& path) {
  static std::atomic<unsigned> count{0};
#if defined(_WIN32)
  const unsigned long process = GetCurrentProcessId();
#else
  const unsigned long process = static_cast<unsigned long>(getpid());
#endif
  return path + ".new-" + std::to_string(process) + "-" + std::to_string(count++);
}

constexpr int kTempAttempts = 100;
#if defined(_WIN32)
// A file held by another process is tried again every 20 ms, for about a second.
constexpr int kHeldAttempts = 50;
#endif

#if defined(_WIN32)

std::string Reason(DWORD error = GetLastError()) {
  return ErrorText(static_cast<HRESULT>(error));
}

// Writes the text into a new file beside `path`, flushed to disk, and moves it over `path`; the
// move is on disk when it returns.
void Replace(const std::string& path, const std::string& text) {
  std::string temp;
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; file == INVALID_HANDLE_VALUE; ++attempt) {
    temp = TempName(path);
    file = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
    if (file == INVALID_HANDLE_VALUE &&
        (GetLastError() != ERROR_FILE_EXISTS || attempt + 1 == kTempAttempts)) {
      AccessError("Cannot write", path, Reason());
    }
  }
  DWORD written = 0;
  bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
            written == text.size() && FlushFileBuffers(file);
  std::string why = ok ? "" : Reason();
  if (!CloseHandle(file) && ok) {
    ok = false;
    why = Reason();
  }
  if (!ok) {
    DeleteFileA(temp.c_str());
    AccessError("Cannot write", path, why);
  }
  // The file may not exist yet, which ReplaceFile refuses; a move replaces it or makes it. A file
  // that is open cannot be replaced, and another save or a program reading the file holds it
  // for a moment: a refused move is tried again for about a second.
  for (int attempt = 1;
       !MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
       ++attempt) {
    const DWORD error = GetLastError();
    if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) ||
        attempt == kHeldAttempts) {
      DeleteFileA(temp.c_str());
      AccessError("Cannot replace", path, Reason(error));
    }
    Sleep(20);
  }
}

#else

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = EIO;  // no progress, and no reason given
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// The folder's entry for the renamed file reaches the disk only when the folder is flushed.
// Some file systems cannot flush a folder; the file itself is on disk by then either way.
void FlushFolder(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0 ? "/"
                                          : path.substr(0, slash);
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// Writes the text into a new file beside `path`, flushed to disk, renames it over `path` and
// flushes the folder.
void Replace(const std::string& path, const std::string& text) {
  std::string temp;
  int fd = -1;
  for (int attempt = 0; fd < 0; ++attempt) {
    temp = TempName(path);
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && (errno != EEXIST || attempt + 1 == kTempAttempts)) {
      AccessError("Cannot write", path, std::strerror(errno));
    }
  }
  int error = WriteAll(fd, text) && fsync(fd) == 0 ? 0 : errno;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error != 0) {
    unlink(temp.c_str());
    AccessError("Cannot write", path, std::strerror(error));
  }
  if (rename(temp.c_str(), path.c_str()) != 0) {
    error = errno;
    unlink(temp.c_str());
    AccessError("Cannot replace", path, std::strerror(error));
  }
  FlushFolder(path);
}

#endif

}  // namespace

std::optional<std::vector<std::string>> ReadLines(const std::string& path, size_t max_lines) {
  FILE* f = std::fopen(path.c_str(), "rb");
#if defined(_WIN32)
  // While a save in another process moves its file over this one, it cannot be opened: that
  // moment passes, and the settings must not fall back to the initial values for it.
  for (int attempt = 1; !f && errno == EACCES && attempt < kHeldAttempts; ++attempt) {
    Sleep(20);
    f = std::fopen(path.c_str(), "rb");
  }
#endif
  if (!f) return std::nullopt;
  std::vector<std::string> lines;
  std::string line;
  bool open_line = false;
  int c;
  while (lines.size() < max_lines && (c = std::fgetc(f)) != EOF) {
    if (c == '\r' || c == '\n') {
      if (c == '\r') {
        const int next = std::fgetc(f);
        if (next != '\n' && next != EOF) std::ungetc(next, f);
      }
      lines.push_back(std::move(line));
      line.clear();
      open_line = false;
    } else {
      line += static_cast<char>(c);
      open_line = true;
    }
  }
  if (open_line && lines.size() < max_lines) lines.push_back(std::move(line));
  std::fclose(f);
  return lines;
}

void ReplaceWithLines(const std::string& path, const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text.append(line).append("\r\n");
  Replace(path, text);
}

}  // namespace runtime
