// Where the dialer keeps its settings file, decided once at start-up: beside the program while
// the user may write there (portable use; every existing file keeps working), otherwise, and
// always for a program its installer marked as installed, in the user's own configuration
// folder, where a file beside the program serves as the defaults of the first start.
#pragma once

#include <string>

namespace dialer {

inline constexpr const char* kSettingsFileName = "Sindrat.ini";
// Written beside the program by the Windows installer (packaging/windows/NSIS.template.in) and
// removed by its uninstaller.
inline constexpr const char* kInstalledMarkerName = "Installed.txt";

struct SettingsPlace {
  std::string path;      // read at start-up, replaced at shutdown; empty: no settings are kept
  std::string defaults;  // read at start-up while `path` does not exist yet; empty for none
  std::string folder;    // made, with its parents, before saving; empty beside the program
};

// An empty program folder keeps no settings at all, neither read nor saved: a run of the window's
// logic that no file may change (kavrel-render).
SettingsPlace ChooseSettingsPlace(const std::string& program_folder);

}  // namespace dialer
