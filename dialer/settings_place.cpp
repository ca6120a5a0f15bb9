#include "dialer/settings_place.h"

#include "runtime/folders.h"

namespace dialer {
namespace {

#if defined(_WIN32)
constexpr const char* kUserFolderName = "Kavrel";
#else
constexpr const char* kUserFolderName = "kavrel";
#endif

}  // namespace

SettingsPlace ChooseSettingsPlace(const std::string& program_folder) {
  if (program_folder.empty()) return {};
  // Plain concatenation: a root folder keeps its separator, and the platform takes the double one.
  const std::string beside = program_folder + runtime::kPathSeparator + kSettingsFileName;
  // An installed program keeps each user's settings in that user's folder, as Windows has
  // installed programs keep per-user data in the roaming AppData folder, also where its own
  // folder may be written (an administrator without UAC, an install into a folder of one's own
  // with /D=, Wine). It knows it is installed by a file the installer puts beside it and the
  // uninstaller removes: the file moves with the folder it describes, so no registry view (a
  // 32-bit program on 64-bit Windows), short name, letter case or junction can make it point
  // elsewhere, as comparing the folder with an install location in the registry could.
  const bool installed =
      runtime::PathExists(program_folder + runtime::kPathSeparator + kInstalledMarkerName);
  // The superuser may write every folder, so for it only a file already there marks the
  // program's folder as the settings' place; a program installed for everyone stays untouched.
  const bool portable = !installed && runtime::FolderWritable(program_folder) &&
                        (!runtime::RunsAsSuperuser() || runtime::PathExists(beside));
  const auto config = runtime::UserConfigFolder();
  // With no user folder known, the program's folder is the only candidate; saving then says why
  // it failed.
  if (portable || !config) return {beside, {}, {}};
  const std::string folder = *config + runtime::kPathSeparator + kUserFolderName;
  return {folder + runtime::kPathSeparator + kSettingsFileName, beside, folder};
}

}  // namespace dialer
