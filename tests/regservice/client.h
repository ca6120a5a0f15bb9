// Test-side client of the registration service: starts Tesmar.exe, speaks its wire format over
// the named pipe and checks the platform state (registry through reg.exe, files).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace tesmar_test {

// ---- requests (all integers 32-bit little-endian) ----
std::string Word(DWORD value);
std::string PingRequest();
std::string QuitRequest();
std::string OptionsRequest(BYTE b0, BYTE b1, BYTE b2);
// REQ_FILE with operation op (0 registers) and path NUL-padded to the 4096-byte field.
std::string FileRequest(DWORD op, const std::string& path);

// ---- the service process ----
class Server {
 public:
  // Starts Tesmar.exe (beside this program) with the given arguments in directory cwd ("" keeps
  // ours).
  explicit Server(const std::string& arguments, const std::string& cwd = "");
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
enum class Outcome {
  Reply,      // result, count and lines, each field one message of the exact size
  NoReply,    // the server disconnected without writing anything
  Malformed,  // a message of the wrong size, or more messages than the count announced
  NoServer,   // the pipe could not be opened
  Timeout,    // the server neither answered nor disconnected in time
};

struct Reply {
  DWORD result = 0;
  std::vector<std::string> lines;
};

// Connects to pipe name, writes each of messages as one message, then reads what comes back
// until the server disconnects.
Outcome Exchange(const std::string& name, const std::vector<std::string>& messages, Reply& reply,
                 DWORD timeoutMs = 20000);
// The same with the request as one message.
Outcome Exchange(const std::string& name, const std::string& request, Reply& reply,
                 DWORD timeoutMs = 20000);
// Connects, writes each of messages as one message and closes at once, without waiting for an
// answer (a server then waiting for more input sees the pipe broken). False when not served.
bool SendAndLeave(const std::string& name, const std::vector<std::string>& messages);
// Opens the pipe's client end (waiting while it is busy); INVALID_HANDLE_VALUE when not served.
HANDLE OpenPipe(const std::string& name, DWORD timeoutMs);
// True when no pipe of that name exists.
bool PipeAbsent(const std::string& name);

// ---- platform state ----
// The system's text for code as the service words it (neutral language, user default).
std::string SystemText(DWORD code);
// reg.exe query of key (32-bit view); true when it exists. With value, its REG_SZ data.
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

// ---- checks ----
class Checks {
 public:
  void Expect(bool condition, const std::string& what);
  void ExpectEq(const std::string& actual, const std::string& expected, const std::string& what);
  void ExpectEq(DWORD actual, DWORD expected, const std::string& what);
  // Prints "N passed, N failed"; the exit code of the test program.
  int Finish() const;

 private:
  int m_passed = 0;
  int m_failed = 0;
};

std::string Printable(const std::string& bytes);

}  // namespace tesmar_test
