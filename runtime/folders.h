// Folders a program keeps its files in: whether the user may write one, the user's own
// configuration folder, and making a folder with its parents.
#pragma once

#include <optional>
#include <string>

namespace runtime {

#if defined(_WIN32)
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// True when the current user may create files in the folder (false when it does not exist).
bool FolderWritable(const std::string& folder);

// True when something of that name exists.
bool PathExists(const std::string& path);

// True when the process has the superuser's rights, for which every folder is writable
// (never on Windows).
bool RunsAsSuperuser();

// The user's own configuration folder: $XDG_CONFIG_HOME when it is an absolute path, otherwise
// the home folder's ".config" (Linux); %APPDATA% (Windows). nullopt when nothing names one.
std::optional<std::string> UserConfigFolder();

// Makes the folder and every missing parent. Raises runtime::Error (path/file access) naming the
// folder that could not be made, and why.
void CreateFolders(const std::string& folder);

}  // namespace runtime
