#include "runtime/folders.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "runtime/error.h"

#if defined(_WIN32)
#include "runtime/utf8.h"
#include "runtime/win32.h"
// After runtime/win32.h, which it builds on.
#include <shlobj.h>
#else
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace runtime {
namespace {

std::optional<std::string> Environment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] == '\0') return std::nullopt;
  return std::string(value);
}

bool IsFolder(const std::string& path) {
#if defined(_WIN32)
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
#else
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
#endif
}

// Makes one folder; on failure, the reason.
std::optional<std::string> MakeFolder(const std::string& path) {
#if defined(_WIN32)
  if (CreateDirectoryA(path.c_str(), nullptr)) return std::nullopt;
  const DWORD error = GetLastError();
  const std::u16string words = SystemWordsTrimmed(error);
  return words.empty() ? "error " + std::to_string(error) : ToUtf8(words);
#else
  // Private to the user, as configuration folders are.
  if (mkdir(path.c_str(), 0700) == 0) return std::nullopt;
  return std::string(std::strerror(errno));
#endif
}

bool IsSeparator(char c) {
#if defined(_WIN32)
  return c == '\\' || c == '/';
#else
  return c == '/';
#endif
}

// Where the folders that may need making begin: after "/", "C:\" or "\\server\share\".
size_t FirstMakeable(const std::string& path) {
#if defined(_WIN32)
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    size_t pos = 2;
    for (int part = 0; part < 2 && pos < path.size(); ++part) {
      while (pos < path.size() && !IsSeparator(path[pos])) ++pos;
      ++pos;
    }
    return pos;
  }
  if (path.size() >= 2 && path[1] == ':') return path.size() > 2 && IsSeparator(path[2]) ? 3 : 2;
#endif
  return !path.empty() && IsSeparator(path[0]) ? 1 : 0;
}

}  // namespace

bool FolderWritable(const std::string& folder) {
#if defined(_WIN32)
  // Folder rights on Windows are access lists: only a real file tells. The probe file is unique
  // and removed at once.
  char probe[MAX_PATH];
  if (GetTempFileNameA(folder.c_str(), "kav", 0, probe) == 0) return false;
  DeleteFileA(probe);
  return true;
#else
  return access(folder.c_str(), W_OK | X_OK) == 0;
#endif
}

bool PathExists(const std::string& path) {
#if defined(_WIN32)
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
#else
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
#endif
}

bool RunsAsSuperuser() {
#if defined(_WIN32)
  return false;
#else
  return geteuid() == 0;
#endif
}

std::optional<std::string> UserConfigFolder() {
#if defined(_WIN32)
  // The user's roaming application data folder as the shell knows it, not as the environment
  // (which whoever starts the program may set) says; an ANSI path, as every path here is.
  char folder[MAX_PATH];
  if (SUCCEEDED(SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder))) {
    return std::string(folder);
  }
  return Environment("APPDATA");
#else
  if (auto config = Environment("XDG_CONFIG_HOME"); config && config->front() == '/') return config;
  std::optional<std::string> home = Environment("HOME");
  if (!home) {
    if (const passwd* user = getpwuid(getuid()); user && user->pw_dir && user->pw_dir[0])
      home = user->pw_dir;
  }
  if (!home) return std::nullopt;
  return *home + "/.config";
#endif
}

void CreateFolders(const std::string& folder) {
  for (size_t end = FirstMakeable(folder); end <= folder.size(); ++end) {
    if (end < folder.size() && !IsSeparator(folder[end])) continue;
    const std::string part = folder.substr(0, end);
    if (part.empty() || IsSeparator(part.back()) || IsFolder(part)) continue;
    if (const auto reason = MakeFolder(part)) {
      throw Error(kPathFileAccess, "Cannot create the folder '" + part + "': " + *reason);
    }
  }
}

}  // namespace runtime
