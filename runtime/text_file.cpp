#include "runtime/text_file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "runtime/error.h"

#if defined(_WIN32)
#include "runtime/win32.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
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

// Why a save refuses the file it would replace, the same on every system.
constexpr char kNotRegular[] = "it is not a regular file";
constexpr char kReadOnly[] = "the file is read-only";

// Splits bytes into lines as they arrive, keeping the first `max` lines whole.
class LineSplitter {
 public:
  explicit LineSplitter(size_t max) : max_(max) {}
  bool Full() const { return lines_.size() >= max_; }
  void Feed(const char* bytes, size_t size) {
    for (size_t i = 0; i < size && !Full(); ++i) {
      const char c = bytes[i];
      // CR LF ends one line, even when the two arrive in different reads.
      if (after_cr_) {
        after_cr_ = false;
        if (c == '\n') continue;
      }
      if (c == '\r' || c == '\n') {
        lines_.push_back(std::move(line_));
        line_.clear();
        after_cr_ = c == '\r';
      } else {
        line_ += c;
      }
    }
  }
  std::vector<std::string> Finish() {
    // A last line without its line end.
    if (!line_.empty() && !Full()) lines_.push_back(std::move(line_));
    return std::move(lines_);
  }

 private:
  size_t max_;
  std::vector<std::string> lines_;
  std::string line_;
  bool after_cr_ = false;
};

constexpr size_t kReadChunk = 64 * 1024;

#if defined(_WIN32)

std::string Reason(DWORD error = GetLastError()) {
  return ErrorText(static_cast<HRESULT>(error));
}

// Tries again while the error is one of `transient`: refusals that Windows gives only while
// another program holds the file (a sharing violation: it opened the file without sharing what
// this call needs; an access denied replace: the file is open). Our own readers and saves hold
// the file for moments; an editor or a virus scanner may take longer. So the pauses grow, and
// after 10 s in all the refusal stands: a file held for good is reported, not hung on.
template <class Try>
bool WaitOutHolders(Try attempt, std::initializer_list<DWORD> transient) {
  DWORD pause = 1, waited = 0;
  for (;;) {
    if (attempt()) return true;
    const DWORD error = GetLastError();
    if (std::find(transient.begin(), transient.end(), error) == transient.end() ||
        waited >= 10000) {
      SetLastError(error);
      return false;
    }
    Sleep(pause);
    waited += pause;
    pause = std::min<DWORD>(pause * 2, 50);
  }
}

// Renames the open file `handle` over `name`, a file in the same folder, even while other
// programs have `name` open, provided they allow its deletion (FILE_SHARE_DELETE): they go on
// reading the old file, and later opens find the new one. FileRenameInfoEx with POSIX semantics
// is Windows 10 1607's, on NTFS; older systems, other file systems and Wine refuse it.
bool RenameOverOpenFile(HANDLE handle, const std::string& name) {
  // Missing from mingw-w64's enumeration, whose condition compares _WIN32_WINNT with an NTDDI
  // value; 22 is its documented value.
  constexpr auto kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
  constexpr DWORD kReplaceIfExists = 0x1, kPosixSemantics = 0x2;
  const int length =
      MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()), nullptr, 0);
  if (length <= 0) return false;
  // FILE_RENAME_INFO with Flags where older headers have the BOOLEAN ReplaceIfExists.
  struct RenameInfoEx {
    DWORD Flags;
    HANDLE RootDirectory;
    DWORD FileNameLength;
    WCHAR FileName[1];
  };
  std::vector<unsigned char> storage(sizeof(RenameInfoEx) + length * sizeof(WCHAR));
  auto* info = reinterpret_cast<RenameInfoEx*>(storage.data());
  info->Flags = kReplaceIfExists | kPosixSemantics;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(length * sizeof(WCHAR));
  // A name without a folder renames the file within its own folder.
  MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()), info->FileName,
                      length);
  return SetFileInformationByHandle(handle, kFileRenameInfoEx, info,
                                    static_cast<DWORD>(storage.size())) != 0;
}

std::string BaseName(const std::string& path) {
  const size_t sep = path.find_last_of("\\/:");
  return sep == std::string::npos ? path : path.substr(sep + 1);
}

// Refuses `path` unless it is missing or a file that may be replaced. The read-only attribute
// means that applications may read the file but neither write nor delete it (File Attribute
// Constants): a move over it is refused with ERROR_ACCESS_DENIED, which the move below takes for
// a holder to wait out. A folder, a device or a reparse point (a link) is no settings file to
// replace.
void CheckReplaceable(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if (attributes &
      (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT)) {
    AccessError("Cannot replace", path, kNotRegular);
  }
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    AccessError("Cannot replace", path, kReadOnly);
  }
}

// Writes the text into a new file beside `path`, flushed to disk, and moves it over `path`; the
// move is on disk when it returns. Where the system renames over open files, neither readers
// (ReadLines shares deletion) nor another save hold it up; elsewhere they are waited out.
void Replace(const std::string& path, const std::string& text) {
  CheckReplaceable(path);
  std::string temp;
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; file == INVALID_HANDLE_VALUE; ++attempt) {
    temp = TempName(path);
    // DELETE for the rename through this handle. Readers may open the file as soon as it has the
    // settings file's name, and another save may replace it then.
    file = CreateFileA(temp.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                       nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE &&
        (GetLastError() != ERROR_FILE_EXISTS || attempt + 1 == kTempAttempts)) {
      AccessError("Cannot write", path, Reason());
    }
  }
  DWORD written = 0;
  bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
            written == text.size() && FlushFileBuffers(file);
  std::string why = ok ? "" : Reason();
  const bool renamed = ok && RenameOverOpenFile(file, BaseName(path));
  // A flush of the handle after the rename commits the folder's change as well. The file has its
  // new name by then, so a failure here is reported, never followed by a move of the old name.
  if (renamed && !FlushFileBuffers(file)) {
    ok = false;
    why = Reason();
  }
  if (!CloseHandle(file) && ok && !renamed) {
    ok = false;
    why = Reason();
  }
  if (!ok) {
    DeleteFileA(temp.c_str());
    AccessError("Cannot write", path, why);
  }
  if (renamed) return;
  // The file may not exist yet, which ReplaceFile refuses; a move replaces it or makes it. The
  // move is refused while the file is open anywhere (a reader, another save's move) with
  // ERROR_ACCESS_DENIED, or ERROR_SHARING_VIOLATION for an opener that does not share deletion.
  if (!WaitOutHolders(
          [&] {
            return MoveFileExA(temp.c_str(), path.c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
          },
          {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION})) {
    const DWORD error = GetLastError();
    DeleteFileA(temp.c_str());
    AccessError("Cannot replace", path, Reason(error));
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

// The permissions the new file takes over from `path`; nothing when there is no file yet (the new
// one gets the default). Refuses what is no regular file: lstat does not follow a symbolic link,
// and the rename below would replace the link itself, cutting it off from the file it names,
// while writing through it would write wherever it points. Refuses a file that no one may write,
// which the superuser's rights alone would not stop.
std::optional<mode_t> PermissionsToKeep(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) return std::nullopt;
    AccessError("Cannot replace", path, std::strerror(errno));
  }
  if (!S_ISREG(info.st_mode)) AccessError("Cannot replace", path, kNotRegular);
  if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    AccessError("Cannot replace", path, kReadOnly);
  }
  return info.st_mode & (S_IRWXU | S_IRWXG | S_IRWXO);
}

// Writes the text into a new file beside `path`, flushed to disk, renames it over `path` and
// flushes the folder.
void Replace(const std::string& path, const std::string& text) {
  const std::optional<mode_t> permissions = PermissionsToKeep(path);
  std::string temp;
  int fd = -1;
  for (int attempt = 0; fd < 0; ++attempt) {
    temp = TempName(path);
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && (errno != EEXIST || attempt + 1 == kTempAttempts)) {
      AccessError("Cannot write", path, std::strerror(errno));
    }
  }
  int error =
      (!permissions || fchmod(fd, *permissions) == 0) && WriteAll(fd, text) && fsync(fd) == 0
          ? 0
          : errno;
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
  LineSplitter lines(max_lines);
  std::vector<char> chunk(kReadChunk);
  bool failed = false;
  // Bytes read so far; one more than the bound is enough to know the file is too large, should it
  // have grown since its size was looked at.
  size_t total = 0;
  const auto next_read = [&] { return std::min(chunk.size(), kMaxTextFileSize + 1 - total); };
#if defined(_WIN32)
  // Opened so that a save may replace the file meanwhile (FILE_SHARE_DELETE); this read goes on
  // in the old file. Only an opener that shares no reading refuses it, and only while it holds it.
  HANDLE file = INVALID_HANDLE_VALUE;
  WaitOutHolders(
      [&] {
        file = CreateFileA(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        return file != INVALID_HANDLE_VALUE;
      },
      {ERROR_SHARING_VIOLATION});
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  // A disk file only (GetFileType): a path may also name a device or a pipe, whose reads wait
  // for whoever is at its other end.
  LARGE_INTEGER size{};
  failed = GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &size) ||
           static_cast<ULONGLONG>(size.QuadPart) > kMaxTextFileSize;
  DWORD n = 0;
  while (!failed && !lines.Full() && total <= kMaxTextFileSize) {
    if (!ReadFile(file, chunk.data(), static_cast<DWORD>(next_read()), &n, nullptr)) {
      failed = true;
      break;
    }
    if (n == 0) break;
    total += n;
    lines.Feed(chunk.data(), n);
  }
  CloseHandle(file);
#else
  // O_NONBLOCK: opening a FIFO for reading returns at once instead of waiting for a writer
  // (open(2), fifo(7)); on a regular file it has no effect. O_NOCTTY: a terminal does not become
  // the process's controlling terminal.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  failed = fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
           static_cast<unsigned long long>(info.st_size) > kMaxTextFileSize;
  while (!failed && !lines.Full() && total <= kMaxTextFileSize) {
    const ssize_t n = read(fd, chunk.data(), next_read());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) failed = true;
    if (n <= 0) break;
    total += static_cast<size_t>(n);
    lines.Feed(chunk.data(), static_cast<size_t>(n));
  }
  close(fd);
#endif
  // A file larger than the bound counts as none too, however it came to be.
  if (total > kMaxTextFileSize) failed = true;
  // A file that cannot be read through counts as none: no settings taken from half of it.
  if (failed) return std::nullopt;
  return lines.Finish();
}

void ReplaceWithLines(const std::string& path, const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text.append(line).append("\r\n");
  if (text.size() > kMaxTextFileSize) {
    AccessError("Cannot write", path,
                std::to_string(text.size()) + " bytes, more than the " +
                    std::to_string(kMaxTextFileSize) + " that are read back");
  }
  Replace(path, text);
}

}  // namespace runtime
