#include "regservice/actions.h"

#include <shellapi.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "runtime/codepage.h"
#include "runtime/win32.h"

CStringList MessageList;
BYTE RegisterDelay = 0;

namespace {

// Buffer sizes of the path pieces (terminator included): drive, directory, base name, extension.
constexpr size_t kDriveSize = 3;
constexpr size_t kPieceSize = 256;
// Saved current directory and the wide type-library paths.
constexpr DWORD kCurrentDirectorySize = 260;
constexpr size_t kRegisterWidePathSize = 260;
constexpr size_t kUnregisterWidePathSize = 262;
constexpr DWORD kModuleDelayMs = 8;

struct PathPieces {
  std::string drive;
  std::string dir;
  std::string fname;
  std::string ext;

  std::string DirectoryPart() const { return drive + dir; }
  std::string FileNamePart() const { return fname + ext; }
};

// Splits path into its four pieces. False when a piece would not fit its buffer: such a path is
// refused rather than cut to a different file's name.
bool SplitPath(const char* path, PathPieces& pieces) {
  // No piece is longer than the path, so these buffers never limit the splitter.
  const size_t size = std::strlen(path) + 1;
  std::vector<char> drive(size), dir(size), fname(size), ext(size);
  if (_splitpath_s(path, drive.data(), size, dir.data(), size, fname.data(), size, ext.data(),
                   size) != 0) {
    return false;
  }
  pieces = {drive.data(), dir.data(), fname.data(), ext.data()};
  return pieces.drive.size() < kDriveSize && pieces.dir.size() < kPieceSize &&
         pieces.fname.size() < kPieceSize && pieces.ext.size() < kPieceSize;
}

// Converts path from the ANSI code page into a wide buffer of the given size. False, with the
// last error set, when it is no valid text in that code page (ERROR_NO_UNICODE_TRANSLATION) or
// does not fit with its terminator (ERROR_FILENAME_EXCED_RANGE): a type library is never looked
// for under a changed name.
bool WidePath(const char* path, std::vector<wchar_t>& wide, size_t size) {
  wide.assign(size, L'\0');
  if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, wide.data(),
                          static_cast<int>(size)) != 0) {
    return true;
  }
  if (GetLastError() == ERROR_INSUFFICIENT_BUFFER) SetLastError(ERROR_FILENAME_EXCED_RANGE);
  return false;
}

// Starts path as a local server with the given switch; true when the shell started it.
bool StartLocalServer(const char* path, const char* parameters) {
  const HINSTANCE started = ShellExecuteA(nullptr, "open", path, parameters, nullptr, SW_SHOW);
  return reinterpret_cast<INT_PTR>(started) > 32;
}

using UnRegisterTypeLibFunc = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);
using ServerEntry = HRESULT(STDAPICALLTYPE*)();

ServerEntry FindEntry(HMODULE module, const char* name) {
  return reinterpret_cast<ServerEntry>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// What an action takes, given back when it ends, however it ends: a report line that runs out of
// memory must leave the service as it found it.

// Sets the current directory back to `saved`.
class DirectoryRestore {
 public:
  explicit DirectoryRestore(const char* saved) : m_saved(saved) {}
  ~DirectoryRestore() { SetCurrentDirectoryA(m_saved); }
  DirectoryRestore(const DirectoryRestore&) = delete;
  DirectoryRestore& operator=(const DirectoryRestore&) = delete;

 private:
  const char* m_saved;
};

class LoadedModule {
 public:
  explicit LoadedModule(HMODULE module) : m_module(module) {}
  ~LoadedModule() { FreeLibrary(m_module); }
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;

  HMODULE get() const { return m_module; }

 private:
  HMODULE m_module;
};

// OLE on this thread for the module's entry, which may use COM, and for ShellExecute, which may
// start the module as a local server and needs COM initialized on the calling thread. Only a
// successful call is balanced by OleUninitialize: one that failed (a thread already in another
// apartment) must not take away a reference it did not add.
class OleScope {
 public:
  OleScope() : m_result(OleInitialize(nullptr)) {}
  ~OleScope() {
    if (SUCCEEDED(m_result)) OleUninitialize();
  }
  OleScope(const OleScope&) = delete;
  OleScope& operator=(const OleScope&) = delete;

 private:
  HRESULT m_result;
};

}  // namespace

std::string ErrorText(DWORD code, const std::string& name, bool force) {
  if (!force && (code == ERROR_SUCCESS || code == ERROR_ALREADY_EXISTS)) return "";
  std::string text = name.empty() ? "" : name + " ";
  // In the ANSI code page, as the report lines are, with the system's own line end.
  return text +
         runtime::ToAnsi(runtime::SystemWords(code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT)));
}

void AddMessage(const std::string& title, const std::string& text) {
  MessageList.AddTail(title + ": " + text);
}

int FindNoCase(const std::string& str, const std::string& sub) {
  std::string upperStr = str;
  std::string upperSub = sub;
  CharUpperBuffA(upperStr.data(), static_cast<DWORD>(upperStr.size()));
  CharUpperBuffA(upperSub.data(), static_cast<DWORD>(upperSub.size()));
  const size_t position = upperStr.find(upperSub);
  return position == std::string::npos ? -1 : static_cast<int>(position);
}

void PumpMessages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

bool RegisterTypeLibrary(const char* path) {
  std::vector<wchar_t> widePath;
  if (!WidePath(path, widePath, kRegisterWidePathSize)) return false;
  ITypeLib* library = nullptr;
  if (FAILED(LoadTypeLib(widePath.data(), &library))) return false;
  BSTR helpFile = nullptr;
  library->GetDocumentation(-1, nullptr, nullptr, nullptr, &helpFile);
  // A library that loads but cannot be registered is not reported as registered.
  const HRESULT registered = RegisterTypeLib(library, widePath.data(), helpFile);
  library->Release();
  SysFreeString(helpFile);
  return SUCCEEDED(registered);
}

void UnregisterTypeLibrary(const char* path) {
  std::vector<wchar_t> widePath;
  if (!WidePath(path, widePath, kUnregisterWidePathSize)) return;
  // Looked up at run time: older OLE Automation modules lack it.
  const HMODULE oleAut = GetModuleHandleA("OLEAUT32.DLL");
  if (oleAut == nullptr) return;
  const auto unregister = reinterpret_cast<UnRegisterTypeLibFunc>(
      reinterpret_cast<void*>(GetProcAddress(oleAut, "UnRegisterTypeLib")));
  if (unregister == nullptr) return;
  ITypeLib* library = nullptr;
  if (FAILED(LoadTypeLib(widePath.data(), &library))) return;
  TLIBATTR* attributes = nullptr;
  if (SUCCEEDED(library->GetLibAttr(&attributes))) {
    unregister(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum,
               attributes->lcid, attributes->syskind);
    library->ReleaseTLibAttr(attributes);
  }
  library->Release();
}

BYTE RegisterFile(const char* path) {
  bool failed = true;
  PathPieces pieces;
  if (!SplitPath(path, pieces)) {
    AddMessage(kRefusedTitle, std::string(path) +
                                  " has a directory, name or extension longer than 255 "
                                  "characters\r\n");
    return 0;
  }
  const std::string dir = pieces.DirectoryPart();
  const std::string name = pieces.FileNamePart();

  char savedDirectory[kCurrentDirectorySize] = "";
  if (GetCurrentDirectoryA(kCurrentDirectorySize, savedDirectory) >= kCurrentDirectorySize) {
    // It could not be restored afterwards, so the action must not move away from it.
    AddMessage(kRefusedTitle, "the current directory is longer than 259 characters\r\n");
    return 0;
  }
  const DirectoryRestore restore(savedDirectory);
  SetCurrentDirectoryA(dir.c_str());

  if (FindNoCase(path, ".tlb") > 0) {
    SetLastError(0);
    if (RegisterTypeLibrary(path)) failed = false;
    const DWORD error = GetLastError();
    AddMessage("Tesmar-RegServer_TLB", ErrorText(error, path, true));
  } else {
    HMODULE loaded = LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (loaded == nullptr) {
      const DWORD alteredError = GetLastError();
      AddMessage("Tesmar LoadLibrary-Fehlschlag1", ErrorText(alteredError, name, true));
      loaded = LoadLibraryA(path);
      if (loaded == nullptr) {
        const DWORD plainError = GetLastError();
        AddMessage("Tesmar LoadLibrary-Fehlschlag2", ErrorText(plainError, path, true));
        return 0;
      }
    }
    const LoadedModule module(loaded);
    SetLastError(0);
    const OleScope ole;
    PumpMessages();
    if (RegisterDelay != 0) Sleep(kModuleDelayMs);
    const ServerEntry registerServer = FindEntry(module.get(), "DllRegisterServer");
    const DWORD lookupError = GetLastError();
    AddMessage("Tesmar-GetProcAddress", ErrorText(lookupError, path, false));
    bool registered = false;
    if (registerServer != nullptr) {
      // S_FALSE counts as failure: only S_OK means the server registered itself.
      registered = registerServer() == S_OK;
      const DWORD entryError = GetLastError();
      failed = !registered;
      AddMessage("Tesmar-DLLRegisterServer", ErrorText(entryError, path, true));
    }
    if (!registered) {
      // No usable entry: a local server registers itself when started with this switch.
      const bool started = StartLocalServer(path, " /RegServer");
      const DWORD startError = GetLastError();
      if (started) failed = false;
      AddMessage("Tesmar-RegServer", ErrorText(startError, path, true));
    }
  }
  return failed ? 0 : 1;
}

BYTE UnregisterFile(const char* path) {
  PathPieces pieces;
  if (!SplitPath(path, pieces)) return 0;
  SetCurrentDirectoryA(pieces.DirectoryPart().c_str());
  if (FindNoCase(pieces.ext, ".tlb") >= 0) {
    UnregisterTypeLibrary(path);
    return 0;
  }
  const HMODULE loaded = LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (loaded == nullptr) return 0;
  const LoadedModule module(loaded);
  const OleScope ole;
  Sleep(kModuleDelayMs);
  const ServerEntry unregisterServer = FindEntry(module.get(), "DllUnregisterServer");
  if (unregisterServer == nullptr || unregisterServer() != S_OK) {
    StartLocalServer(path, " /UnRegServer");
  }
  return 0;
}
