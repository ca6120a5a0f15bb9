#include "tests/regservice/client.h"

#include <cstdio>
#include <cstring>

namespace tesmar_test {

namespace {

constexpr DWORD kPathFieldSize = 4096;

std::string FullPipeName(const std::string& name) {
  return "\\\\.\\pipe\\" + name;
}

enum class ReadStatus { Message, TooLong, Broken, Timeout };

// One message from an overlapped pipe handle.
ReadStatus ReadMessage(HANDLE pipe, std::string& message, DWORD timeoutMs) {
  static char buffer[65536];
  OVERLAPPED overlapped = {};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD bytes = 0;
  BOOL ok = ReadFile(pipe, buffer, sizeof buffer, &bytes, &overlapped);
  DWORD error = ok ? ERROR_SUCCESS : GetLastError();
  if (!ok && error == ERROR_IO_PENDING) {
    if (WaitForSingleObject(overlapped.hEvent, timeoutMs) != WAIT_OBJECT_0) {
      CancelIo(pipe);
      GetOverlappedResult(pipe, &overlapped, &bytes, TRUE);
      CloseHandle(overlapped.hEvent);
      return ReadStatus::Timeout;
    }
    ok = GetOverlappedResult(pipe, &overlapped, &bytes, FALSE);
    error = ok ? ERROR_SUCCESS : GetLastError();
  }
  CloseHandle(overlapped.hEvent);
  if (!ok && error == ERROR_MORE_DATA) return ReadStatus::TooLong;
  if (!ok) return ReadStatus::Broken;
  message.assign(buffer, bytes);
  return ReadStatus::Message;
}

bool WriteMessage(HANDLE pipe, const std::string& message, DWORD timeoutMs) {
  OVERLAPPED overlapped = {};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD bytes = 0;
  BOOL ok =
      WriteFile(pipe, message.data(), static_cast<DWORD>(message.size()), &bytes, &overlapped);
  if (!ok && GetLastError() == ERROR_IO_PENDING) {
    if (WaitForSingleObject(overlapped.hEvent, timeoutMs) != WAIT_OBJECT_0) CancelIo(pipe);
    ok = GetOverlappedResult(pipe, &overlapped, &bytes, TRUE);
  }
  CloseHandle(overlapped.hEvent);
  return ok && bytes == message.size();
}

DWORD WordAt(const std::string& bytes) {
  DWORD value = 0;
  std::memcpy(&value, bytes.data(), sizeof value);
  return value;
}

// Runs a command line, returns its exit code and (optionally) its standard output.
DWORD RunCaptured(const std::string& commandLine, std::string* output) {
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
                      nullptr, nullptr, &startup, &process)) {
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

}  // namespace

std::string Word(DWORD value) {
  return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

std::string PingRequest() {
  return Word(10);
}

std::string QuitRequest() {
  return Word(100);
}

std::string OptionsRequest(BYTE b0, BYTE b1, BYTE b2) {
  return Word(11) +
         std::string{static_cast<char>(b0), static_cast<char>(b1), static_cast<char>(b2)};
}

std::string FileRequest(DWORD op, const std::string& path) {
  std::string field = path;
  field.resize(kPathFieldSize, '\0');
  return Word(12) + Word(op) + Word(0) + field;
}

Server::Server(const std::string& arguments, const std::string& cwd) {
  const std::string exe = ProgramFolder() + "Tesmar.exe";
  std::string commandLine = "\"" + exe + "\"" + (arguments.empty() ? "" : " " + arguments);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                     cwd.empty() ? nullptr : cwd.c_str(), &startup, &process)) {
    m_process = process.hProcess;
    CloseHandle(process.hThread);
  } else {
    std::printf("cannot start %s (error %lu)\n", exe.c_str(), GetLastError());
  }
}

Server::~Server() {
  if (m_process == nullptr) return;
  if (Running()) TerminateProcess(m_process, 1);
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

HANDLE OpenPipe(const std::string& name, DWORD timeoutMs) {
  const std::string full = FullPipeName(name);
  const DWORD start = GetTickCount();
  for (;;) {
    HANDLE pipe = CreateFileA(full.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) {
      DWORD mode = PIPE_READMODE_MESSAGE;
      SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
      return pipe;
    }
    const DWORD error = GetLastError();
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= timeoutMs) return INVALID_HANDLE_VALUE;
    // Busy: the server is still finishing the previous client. Absent: not created yet.
    if (error == ERROR_PIPE_BUSY) {
      WaitNamedPipeA(full.c_str(), timeoutMs - elapsed);
    } else {
      Sleep(2);
    }
  }
}

bool PipeAbsent(const std::string& name) {
  return !WaitNamedPipeA(FullPipeName(name).c_str(), 1) && GetLastError() == ERROR_FILE_NOT_FOUND;
}

Outcome Exchange(const std::string& name, const std::vector<std::string>& messages, Reply& reply,
                 DWORD timeoutMs) {
  reply = Reply{};
  HANDLE pipe = OpenPipe(name, timeoutMs);
  if (pipe == INVALID_HANDLE_VALUE) return Outcome::NoServer;
  // A write the server never takes in full is answered by what it does next, so write failures
  // only stop further writes.
  for (const std::string& message : messages) {
    if (!WriteMessage(pipe, message, timeoutMs)) break;
  }
  std::string message;
  auto next = [&](std::string& out) { return ReadMessage(pipe, out, timeoutMs); };
  auto finish = [&](Outcome outcome) {
    CloseHandle(pipe);
    return outcome;
  };
  ReadStatus status = next(message);
  if (status == ReadStatus::Broken) return finish(Outcome::NoReply);
  if (status == ReadStatus::Timeout) return finish(Outcome::Timeout);
  if (status != ReadStatus::Message || message.size() != 4) return finish(Outcome::Malformed);
  reply.result = WordAt(message);
  if (next(message) != ReadStatus::Message || message.size() != 4) {
    return finish(Outcome::Malformed);
  }
  const DWORD count = WordAt(message);
  for (DWORD i = 0; i < count; ++i) {
    if (next(message) != ReadStatus::Message || message.size() != 4) {
      return finish(Outcome::Malformed);
    }
    const DWORD length = WordAt(message);
    if (next(message) != ReadStatus::Message || message.size() != length) {
      return finish(Outcome::Malformed);
    }
    reply.lines.push_back(message);
  }
  // After the reply the server disconnects; anything more is a fault.
  status = next(message);
  if (status == ReadStatus::Timeout) return finish(Outcome::Timeout);
  return finish(status == ReadStatus::Broken ? Outcome::Reply : Outcome::Malformed);
}

bool SendAndLeave(const std::string& name, const std::vector<std::string>& messages) {
  HANDLE pipe = OpenPipe(name, 20000);
  if (pipe == INVALID_HANDLE_VALUE) return false;
  for (const std::string& message : messages) {
    if (!WriteMessage(pipe, message, 20000)) break;
  }
  CloseHandle(pipe);
  return true;
}

Outcome Exchange(const std::string& name, const std::string& request, Reply& reply,
                 DWORD timeoutMs) {
  return Exchange(name, std::vector<std::string>{request}, reply, timeoutMs);
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

std::string Printable(const std::string& bytes) {
  std::string text;
  for (unsigned char c : bytes) {
    if (c == '\r') {
      text += "\\r";
    } else if (c == '\n') {
      text += "\\n";
    } else if (c < 32 || c > 126) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      text += escaped;
    } else {
      text += static_cast<char>(c);
    }
  }
  return text;
}

void Checks::Expect(bool condition, const std::string& what) {
  if (condition) {
    ++m_passed;
  } else {
    ++m_failed;
    std::printf("FAIL: %s\n", what.c_str());
  }
  std::fflush(stdout);
}

void Checks::ExpectEq(const std::string& actual, const std::string& expected,
                      const std::string& what) {
  Expect(actual == expected, what + "\n  actual:   \"" + Printable(actual) + "\"\n  expected: \"" +
                                 Printable(expected) + "\"");
}

void Checks::ExpectEq(DWORD actual, DWORD expected, const std::string& what) {
  Expect(actual == expected,
         what + ": actual " + std::to_string(actual) + ", expected " + std::to_string(expected));
}

int Checks::Finish() const {
  std::printf("%d passed, %d failed\n", m_passed, m_failed);
  return m_failed == 0 ? 0 : 1;
}

}  // namespace tesmar_test
