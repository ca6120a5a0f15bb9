// Test-side helpers around the registration service: starts Tesmar.exe and its client, builds
// requests (also malformed ones), speaks the wire format through the shared pipe client and
// checks the platform state (registry through reg.exe, files).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "regservice/pipe_client.h"
#include "regservice/wire_format.h"

namespace tesmar_test {

using tesmar::Outcome;
using tesmar::Reply;

// ---- requests (all integers 32-bit little-endian) ----
inline std::string Word(DWORD value) {
  return tesmar::EncodeWord(value);
}
inline std::string PingRequest() {
  return Word(tesmar::REQ_PING);
}
inline std::string QuitRequest() {
  return Word(tesmar::REQ_QUIT);
}
inline std::string OptionsRequest(BYTE b0, BYTE b1, BYTE b2) {
  return tesmar::EncodeOptionsRequest({b0, b1, b2});
}
// REQ_FILE with operation op (0 registers) and path NUL-padded to the 4096-byte field.
inline std::string FileRequest(DWORD op, const std::string& path) {
  return tesmar::EncodeFileRequest(op, path);
}

// ---- the service process ----
class Server {
 public:
  // Starts Tesmar.exe (beside this program) with the given arguments in directory cwd ("" keeps
  // ours).
  explicit Server(const std::string& arguments, const std::string& cwd = "");
  // Ends it if it still runs, and waits for that: its pipe name is free afterwards.
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  bool Running() const;
  // Exit code once the process has ended within timeoutMs, else STILL_ACTIVE.
  DWORD WaitExit(DWORD timeoutMs) const;

 private:
  HANDLE m_process = nullptr;
};

// ---- one connection ----
// Connects to pipe name, writes each of messages as one message, then reads what comes back
// until the server disconnects.
inline Outcome Exchange(const std::string& name, const std::vector<std::string>& messages,
                        Reply& reply, DWORD timeoutMs = 20000) {
  return tesmar::Exchange(name, timeoutMs, messages, reply);
}
// The same with the request as one message.
inline Outcome Exchange(const std::string& name, const std::string& request, Reply& reply,
                        DWORD timeoutMs = 20000) {
  return Exchange(name, std::vector<std::string>{request}, reply, timeoutMs);
}
// Connects, writes each of messages as one message and closes at once, without waiting for an
// answer (a server then waiting for more input sees the pipe broken). False when not served.
bool SendAndLeave(const std::string& name, const std::vector<std::string>& messages);
// True when no pipe of that name exists.
bool PipeAbsent(const std::string& name);

// ---- programs ----
// Runs a command line in folder cwd ("" keeps ours); its exit code, and in output (when given)
// what it wrote to standard output and standard error.
DWORD RunCaptured(const std::string& commandLine, std::string* output, const std::string& cwd = "");

// ---- platform state ----
// The system's text for code as the service words it (neutral language, user default).
std::string SystemText(DWORD code);
// reg.exe query of key (in the registry view of this build); true when it exists. With value,
// its REG_SZ data.
bool RegQuery(const std::string& key, const std::string& value = "", std::string* data = nullptr);
void RegDelete(const std::string& key);
// Polls until the key exists (or is gone) for at most timeoutMs.
bool WaitForKey(const std::string& key, bool exists, DWORD timeoutMs);

// Folder of this program (with trailing backslash): Tesmar.exe and the fixtures live there.
std::string ProgramFolder();
// A fresh scratch folder for this run (with trailing backslash).
std::string ScratchFolder(const std::string& label);
void MakeFolder(const std::string& path);
// Copies fixture file from the program folder to target.
void CopyFixture(const std::string& fixture, const std::string& target);
// A pipe name unique to this process.
std::string UniquePipeName(const std::string& label);

}  // namespace tesmar_test
