#include "tests/regservice/client.h"

#include <cstdio>

namespace tesmar_test {

DWORD RunCaptured(const std::string& commandLine, std::string* output, const std::string& cwd) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  CreatePipe(&readEnd, &writeEnd, &inherit, 0);
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION process = {};
  std::string mutableLine = commandLine;
  if (!CreateProcessA(nullptr, mutableLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                      nullptr, cwd.empty() ? nullptr : cwd.c_str(), &startup, &process)) {
    CloseHandle(readEnd);
    CloseHandle(writeEnd);
    return static_cast<DWORD>(-1);
  }
  CloseHandle(writeEnd);
  std::string text;
  char chunk[4096];
  DWORD bytes = 0;
  while (ReadFile(readEnd, chunk, sizeof chunk, &bytes, nullptr) && bytes > 0) {
    text.append(chunk, bytes);
  }
  CloseHandle(readEnd);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  if (output != nullptr) *output = text;
  return code;
}

Server::Server(const std::string& arguments, const std::string& cwd) {
  const std::string exe = ProgramFolder() + "Tesmar.exe";
  std::string commandLine = "\"" + exe + "\"" + (arguments.empty() ? "" : " " + arguments);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  // Wine's process start fails now and then on a loaded machine (ERROR_INTERNAL_ERROR, seen once
  // in some thousand starts); the start is not what the tests are about, so it is tried again.
  for (int attempt = 1;; ++attempt) {
    if (CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                       cwd.empty() ? nullptr : cwd.c_str(), &startup, &process)) {
      m_process = process.hProcess;
      CloseHandle(process.hThread);
      return;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_INTERNAL_ERROR || attempt == 3) {
      std::printf("cannot start %s (error %lu)\n", exe.c_str(), error);
      return;
    }
    Sleep(100);
  }
}

Server::~Server() {
  if (m_process == nullptr) return;
  // TerminateProcess only starts the end (documented as asynchronous): wait for it.
  if (Running() && TerminateProcess(m_process, 1)) WaitForSingleObject(m_process, 20000);
  CloseHandle(m_process);
}

bool Server::Running() const {
  return m_process != nullptr && WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT;
}

DWORD Server::WaitExit(DWORD timeoutMs) const {
  if (m_process == nullptr || WaitForSingleObject(m_process, timeoutMs) != WAIT_OBJECT_0) {
    return STILL_ACTIVE;
  }
  DWORD code = STILL_ACTIVE;
  GetExitCodeProcess(m_process, &code);
  return code;
}

bool PipeAbsent(const std::string& name) {
  return !WaitNamedPipeA(tesmar::FullPipeName(name).c_str(), 1) &&
         GetLastError() == ERROR_FILE_NOT_FOUND;
}

bool SendAndLeave(const std::string& name, const std::vector<std::string>& messages) {
  HANDLE pipe = tesmar::OpenPipe(name, 20000);
  if (pipe == INVALID_HANDLE_VALUE) return false;
  for (const std::string& message : messages) {
    if (!tesmar::WriteMessage(pipe, message, 20000)) break;
  }
  CloseHandle(pipe);
  return true;
}

std::string SystemText(DWORD code) {
  LPSTR text = nullptr;
  if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                         FORMAT_MESSAGE_ALLOCATE_BUFFER,
                     nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                     reinterpret_cast<LPSTR>(&text), 0, nullptr) == 0) {
    return "";
  }
  std::string result = text;
  LocalFree(text);
  return result;
}

// The registry view this build's Tesmar writes: a 64-bit program sees the 64-bit view.
constexpr const char* kRegView = sizeof(void*) == 8 ? " /reg:64" : " /reg:32";

bool RegQuery(const std::string& key, const std::string& value, std::string* data) {
  std::string output;
  const std::string valueSwitch = value.empty() ? "" : " /v \"" + value + "\"";
  const DWORD code = RunCaptured("reg.exe query \"" + key + "\"" + valueSwitch + kRegView,
                                 data != nullptr ? &output : nullptr);
  if (code != 0) return false;
  if (data != nullptr) {
    const size_t type = output.find("REG_SZ");
    if (type == std::string::npos) return false;
    size_t begin = output.find_first_not_of(' ', type + 6);
    size_t end = output.find_first_of("\r\n", begin);
    *data = output.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
  }
  return true;
}

void RegDelete(const std::string& key) {
  RunCaptured("reg.exe delete \"" + key + "\" /f" + kRegView, nullptr);
}

bool WaitForKey(const std::string& key, bool exists, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    if (RegQuery(key) == exists) return true;
    if (GetTickCount() - start >= timeoutMs) return false;
    Sleep(50);
  }
}

std::string ProgramFolder() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string folder(path, length);
  return folder.substr(0, folder.find_last_of('\\') + 1);
}

void MakeFolder(const std::string& path) {
  CreateDirectoryA(path.c_str(), nullptr);
}

std::string ScratchFolder(const std::string& label) {
  char temp[MAX_PATH];
  GetTempPathA(sizeof temp, temp);
  const std::string folder =
      std::string(temp) + "tesmar-" + label + "-" + std::to_string(GetCurrentProcessId()) + "\\";
  MakeFolder(folder);
  return folder;
}

void CopyFixture(const std::string& fixture, const std::string& target) {
  if (!CopyFileA((ProgramFolder() + fixture).c_str(), target.c_str(), FALSE)) {
    std::printf("cannot copy %s to %s (error %lu)\n", fixture.c_str(), target.c_str(),
                GetLastError());
  }
}

std::string UniquePipeName(const std::string& label) {
  return "tesmar-test-" + label + "-" + std::to_string(GetCurrentProcessId());
}

}  // namespace tesmar_test
