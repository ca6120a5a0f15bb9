// Tesmar.exe driven through its named pipe under Wine: tesmar_test GROUP, one group per CTest
// test. Replies are checked byte for byte, the registry through reg.exe.
#include <aclapi.h>
#include <sddl.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "tests/regservice/client.h"
#include "tests/regservice/fixture_ids.h"

using namespace tesmar_test;

namespace {

const std::string kServerKey = "HKCR\\CLSID\\" FIXTURE_SERVER_CLSID;
const std::string kLocalKey = "HKCR\\CLSID\\" FIXTURE_LOCAL_CLSID;
const std::string kTypeLibKey = "HKCR\\TypeLib\\" FIXTURE_TYPELIB_LIBID;
const std::string kDeniedKey = "HKCR\\TypeLib\\" FIXTURE_DENIED_LIBID;
constexpr DWORD kQuickExitMs = 5000;

Checks checks;

std::string Line(const std::string& title, const std::string& name, DWORD code) {
  return title + ": " + name + " " + SystemText(code);
}

// Sends request, expects a reply, and checks result and lines exactly.
void ExpectReply(const std::string& pipe, const std::string& request, DWORD result,
                 const std::vector<std::string>& lines, const std::string& what) {
  Reply reply;
  const Outcome outcome = Exchange(pipe, request, reply);
  checks.Expect(outcome == Outcome::Reply, what + ": answered");
  checks.ExpectEq(reply.result, result, what + ": result");
  checks.ExpectEq(static_cast<DWORD>(reply.lines.size()), static_cast<DWORD>(lines.size()),
                  what + ": line count");
  for (size_t i = 0; i < lines.size() && i < reply.lines.size(); ++i) {
    checks.ExpectEq(reply.lines[i], lines[i], what + ": line " + std::to_string(i + 1));
  }
}

// The line after a successful lookup carries whatever last error OLE initialisation left: none,
// or (for example) that of a window class it had registered before.
bool LookupLineOk(const std::string& line, const std::string& path) {
  const std::string title = "Tesmar-GetProcAddress: ";
  return line == title || (line.rfind(title + path + " ", 0) == 0 && line.size() > 2 &&
                           line.compare(line.size() - 2, 2, "\r\n") == 0);
}

void ExpectPing(const std::string& pipe, const std::string& what) {
  ExpectReply(pipe, PingRequest(), 1, {}, what + " (ping)");
}

void ExpectNoReply(const std::string& pipe, const std::vector<std::string>& messages,
                   const std::string& what) {
  Reply reply;
  checks.Expect(Exchange(pipe, messages, reply) == Outcome::NoReply, what + ": no reply");
}

// Registers path; returns the reply (checked to be a well-formed answer).
Reply Register(const std::string& pipe, const std::string& path, DWORD op = 0) {
  Reply reply;
  checks.Expect(Exchange(pipe, FileRequest(op, path), reply) == Outcome::Reply,
                "file request answered: " + path);
  return reply;
}

void ExpectUnregister(const std::string& pipe, const std::string& path, const std::string& what) {
  ExpectReply(pipe, FileRequest(5, path), 0, {}, what);
}

std::string RecordedDirectory() {
  std::string directory;
  RegQuery(kServerKey, "CurrentDirectory", &directory);
  return directory;
}

// A folder of (at least) the given length below root, made of steps of up to 50 characters; no
// trailing backslash.
std::string LongFolder(const std::string& root, size_t length) {
  std::string folder = root.substr(0, root.size() - 1);
  while (folder.size() < length) {
    const size_t step = std::max<size_t>(2, std::min<size_t>(50, length - folder.size()));
    folder.push_back('\\');
    folder.append(step - 1, 'd');
    MakeFolder(folder);
  }
  return folder;
}

// ---- start-up and command line ----
void StartupGroup() {
  {
    Server server("");
    checks.ExpectEq(server.WaitExit(kQuickExitMs), 0, "no argument: ends at once with code 0");
  }
  {
    Server server("/p -x /Automation");
    checks.ExpectEq(server.WaitExit(kQuickExitMs), 0, "only switches: ends with code 0");
    checks.Expect(PipeAbsent("p") && PipeAbsent("x") && PipeAbsent("Automation"),
                  "only switches: no pipe created");
  }
  {
    const std::string name = UniquePipeName("around");
    Server server("/p " + name + " -q " + name + "-later");
    ExpectPing(name, "switches around the name");
    ExpectPing(name, "the server waits for the next client");
    checks.Expect(PipeAbsent(name + "-later"), "later arguments are ignored");
    checks.Expect(PipeAbsent("p") && PipeAbsent("q"), "switches do not name a pipe");

    Server second(name);
    checks.ExpectEq(second.WaitExit(kQuickExitMs), 0, "second server on the name ends at once");
    ExpectPing(name, "first server still serves");

    ExpectReply(name, QuitRequest(), 1, {}, "quit");
    checks.ExpectEq(server.WaitExit(kQuickExitMs), 0, "quit: exit code 0");
    checks.Expect(PipeAbsent(name), "quit: pipe gone");
  }
  {
    const std::string name = "tesmar test " + std::to_string(GetCurrentProcessId());
    Server server("\"" + name + "\"");
    ExpectPing(name, "quoted name with blanks");
    ExpectReply(name, QuitRequest(), 1, {}, "quoted name: quit");
  }
  {
    // Names up to 250 characters are served; a longer one is refused, not cut to another name.
    const std::string base = UniquePipeName("long");
    const std::string longest = base + std::string(250 - base.size(), 'n');
    Server accepted(longest);
    ExpectPing(longest, "250-character pipe name");
    ExpectReply(longest, QuitRequest(), 1, {}, "250-character pipe name: quit");
    checks.ExpectEq(accepted.WaitExit(kQuickExitMs), 0, "250-character pipe name: exit code 0");

    Server refused(longest + "n");
    checks.ExpectEq(refused.WaitExit(kQuickExitMs), 0, "251-character pipe name: ends at once");
  }
}

// ---- request protocol ----
void ProtocolGroup() {
  const std::string name = UniquePipeName("protocol");
  auto server = std::make_unique<Server>(name);
  ExpectPing(name, "first client");

  ExpectReply(name, OptionsRequest(0, 1, 0), 1, {}, "options 0,1,0");
  Reply reply;
  checks.Expect(Exchange(name, {Word(11), std::string("\0\0\0", 3)}, reply) == Outcome::Reply &&
                    reply.result == 1 && reply.lines.empty(),
                "options with the payload as a second message");

  for (DWORD command : {7u, 13u, 99u, 0u}) {
    ExpectNoReply(name, {Word(command)}, "unknown command " + std::to_string(command));
    ExpectPing(name, "after unknown command " + std::to_string(command));
  }
  ExpectNoReply(name, {Word(99) + std::string(20, 'x')}, "unknown command with a payload");
  ExpectPing(name, "after unknown command with a payload");

  // A command word of fewer than 4 bytes is no command at all, whatever its bytes say.
  ExpectNoReply(name, {std::string("\x0A\x00", 2)}, "2-byte command that starts like a ping");
  ExpectPing(name, "after a short command");
  ExpectNoReply(name, {std::string()}, "empty message after a ping");
  ExpectPing(name, "after an empty message");
  checks.Expect(SendAndLeave(name, {}), "client that leaves without writing");
  ExpectPing(name, "after a client that left without writing");

  // Short payloads end the service without a reply.
  struct ShortCase {
    std::vector<std::string> messages;
    const char* what;
  };
  const std::string file = FileRequest(0, "C:\\nothing.dll");
  const ShortCase shortCases[] = {
      {{Word(11) + std::string("\x01\x01", 2)}, "options with 2 payload bytes"},
      {{file.substr(0, file.size() - 1)}, "file request with 4103 payload bytes"},
      {{file.substr(0, 4), file.substr(4, 2000), file.substr(2004)},
       "file payload split over two writes"},
  };
  for (const ShortCase& shortCase : shortCases) {
    ExpectNoReply(name, shortCase.messages, shortCase.what);
    checks.ExpectEq(server->WaitExit(kQuickExitMs), 0, std::string(shortCase.what) + ": ends");
    server = std::make_unique<Server>(name);
    ExpectPing(name, std::string("restarted after ") + shortCase.what);
  }

  checks.Expect(SendAndLeave(name, {Word(12)}), "file command whose client leaves: sent");
  checks.ExpectEq(server->WaitExit(kQuickExitMs), 0, "file command whose client leaves: ends");
  server = std::make_unique<Server>(name);

  ExpectReply(name, QuitRequest() + "trailing", 1, {}, "quit with trailing bytes");
  checks.ExpectEq(server->WaitExit(kQuickExitMs), 0, "quit: exit code 0");
}

// ---- registering and unregistering each kind of file ----
void RegisterGroup() {
  const std::string root = ScratchFolder("register");
  const std::string name = UniquePipeName("register");
  Server server(name, root);

  const std::string dll = root + "fixture_server.dll";
  CopyFixture("fixture_server.dll", dll);
  RegDelete(kServerKey);
  Reply reply = Register(name, dll);
  checks.ExpectEq(reply.result, 1, "in-process server: result");
  checks.Expect(reply.lines.size() == 2 && LookupLineOk(reply.lines[0], dll),
                "in-process server: lookup line");
  checks.Expect(
      reply.lines.size() == 2 && reply.lines[1] == Line("Tesmar-DLLRegisterServer", dll, 0),
      "in-process server: entry line");
  std::string inproc;
  checks.Expect(RegQuery(kServerKey + "\\InprocServer32", "", &inproc) && inproc == dll,
                "in-process server: registered with its path");
  ExpectUnregister(name, dll, "in-process server: unregister");
  checks.Expect(!RegQuery(kServerKey), "in-process server: key removed");

  ExpectPing(name, "lines never carry over");

  const std::string missing = root + "missing.dll";
  ExpectReply(name, FileRequest(0, missing), 0,
              {Line("Tesmar LoadLibrary-Fehlschlag1", "missing.dll", ERROR_MOD_NOT_FOUND),
               Line("Tesmar LoadLibrary-Fehlschlag2", missing, ERROR_MOD_NOT_FOUND)},
              "missing file");

  const std::string noEntry = root + "fixture_noentry.dll";
  CopyFixture("fixture_noentry.dll", noEntry);
  reply = Register(name, noEntry);
  checks.ExpectEq(reply.result, 0, "DLL without entries: result");
  checks.ExpectEq(static_cast<DWORD>(reply.lines.size()), 2, "DLL without entries: line count");
  if (reply.lines.size() == 2) {
    checks.ExpectEq(reply.lines[0], Line("Tesmar-GetProcAddress", noEntry, ERROR_PROC_NOT_FOUND),
                    "DLL without entries: lookup line");
    checks.Expect(reply.lines[1].rfind("Tesmar-RegServer: " + noEntry + " ", 0) == 0,
                  "DLL without entries: start line " + Printable(reply.lines[1]));
  }

  const std::string sFalse = root + "fixture_sfalse.dll";
  CopyFixture("fixture_sfalse.dll", sFalse);
  reply = Register(name, sFalse);
  checks.ExpectEq(reply.result, 0, "S_FALSE server: result");
  checks.ExpectEq(static_cast<DWORD>(reply.lines.size()), 3, "S_FALSE server: line count");
  if (reply.lines.size() == 3) {
    checks.Expect(LookupLineOk(reply.lines[0], sFalse), "S_FALSE server: lookup line");
    checks.ExpectEq(reply.lines[1],
                    Line("Tesmar-DLLRegisterServer", sFalse, FIXTURE_SFALSE_LAST_ERROR),
                    "S_FALSE server: entry line carries the last error");
    checks.Expect(reply.lines[2].rfind("Tesmar-RegServer: " + sFalse + " ", 0) == 0,
                  "S_FALSE server: offered as a local server " + Printable(reply.lines[2]));
  }

  const std::string local = root + "fixture_local.exe";
  CopyFixture("fixture_local.exe", local);
  RegDelete(kLocalKey);
  reply = Register(name, local);
  checks.ExpectEq(reply.result, 1, "local server: result");
  checks.ExpectEq(static_cast<DWORD>(reply.lines.size()), 2, "local server: line count");
  if (reply.lines.size() == 2) {
    checks.ExpectEq(reply.lines[0], Line("Tesmar-GetProcAddress", local, ERROR_PROC_NOT_FOUND),
                    "local server: lookup line");
    checks.Expect(reply.lines[1].rfind("Tesmar-RegServer: " + local + " ", 0) == 0,
                  "local server: start line " + Printable(reply.lines[1]));
  }
  checks.Expect(WaitForKey(kLocalKey + "\\LocalServer32", true, 15000),
                "local server: registered itself");
  ExpectUnregister(name, local, "local server: unregister");
  checks.Expect(WaitForKey(kLocalKey, false, 15000), "local server: unregistered itself");

  const std::string tlb = root + "fixture.tlb";
  CopyFixture("fixture.tlb", tlb);
  RegDelete(kTypeLibKey);
  reply = Register(name, tlb);
  checks.ExpectEq(reply.result, 1, "type library: result");
  checks.ExpectEq(static_cast<DWORD>(reply.lines.size()), 1, "type library: line count");
  if (reply.lines.size() == 1) {
    checks.Expect(reply.lines[0].rfind("Tesmar-RegServer_TLB: " + tlb + " ", 0) == 0,
                  "type library: line " + Printable(reply.lines[0]));
  }
  checks.Expect(RegQuery(kTypeLibKey + "\\1.0"), "type library: registered");
  ExpectUnregister(name, tlb, "type library: unregister");
  checks.Expect(!RegQuery(kTypeLibKey), "type library: unregistered");

  // ".tlb" in a folder name: registering takes it for a type library, unregistering (which
  // looks at the extension only) for a module.
  const std::string tlbFolder = root + "x.tlbfiles\\";
  MakeFolder(tlbFolder);
  const std::string dllInTlbFolder = tlbFolder + "fixture_server.dll";
  CopyFixture("fixture_server.dll", dllInTlbFolder);
  reply = Register(name, dllInTlbFolder);
  checks.ExpectEq(reply.result, 0, "DLL in x.tlbfiles: not a loadable type library");
  checks.Expect(reply.lines.size() == 1 &&
                    reply.lines[0].rfind("Tesmar-RegServer_TLB: " + dllInTlbFolder + " ", 0) == 0,
                "DLL in x.tlbfiles: one type-library line");
  checks.Expect(!RegQuery(kServerKey), "DLL in x.tlbfiles: its entry was not called");
  Register(name, dll);
  checks.Expect(RegQuery(kServerKey), "server registered again from its plain folder");
  ExpectUnregister(name, dllInTlbFolder, "DLL in x.tlbfiles: unregister");
  checks.Expect(!RegQuery(kServerKey), "DLL in x.tlbfiles: unregistered as a module");

  // ".tlb" at position 0 is not taken for a type library. (Unregistering moves the current
  // directory back to root, where the relative path is found.)
  ExpectUnregister(name, dll, "in-process server: unregister again");
  CopyFixture("fixture_server.dll", root + ".tlbserver.dll");
  reply = Register(name, ".tlbserver.dll");
  checks.ExpectEq(reply.result, 1, "path starting with .tlb: result");
  checks.Expect(reply.lines.size() == 2 && LookupLineOk(reply.lines[0], ".tlbserver.dll") &&
                    reply.lines[1] == Line("Tesmar-DLLRegisterServer", ".tlbserver.dll", 0),
                "path starting with .tlb: lines of a module");
  checks.Expect(RegQuery(kServerKey), "path starting with .tlb: registered as a module");

  // A line longer than 512 bytes is sent as its first 512 bytes.
  const std::string longMissing = LongFolder(root, 250) + "\\" + std::string(250, 'm') + ".dll";
  reply = Register(name, longMissing);
  checks.ExpectEq(reply.result, 0, "long missing path: result");
  const std::string fullLine = "Tesmar LoadLibrary-Fehlschlag2: " + longMissing;
  checks.Expect(reply.lines.size() == 2 && reply.lines[1] == fullLine.substr(0, 512),
                "line over 512 bytes is cut to its first 512");

  // Delayed registration: the option makes the service wait 8 ms before the entry lookup.
  ExpectReply(name, OptionsRequest(0, 1, 0), 1, {}, "delay on");
  Register(name, dll);
  std::string loadToRegister;
  RegQuery(kServerKey, "LoadToRegisterMs", &loadToRegister);
  checks.Expect(
      std::atof(loadToRegister.c_str()) >= 7.5,
      "delayed registration waits between loading and registering (" + loadToRegister + " ms)");
  ExpectReply(name, OptionsRequest(1, 0, 1), 1, {}, "delay off (only byte 1 counts)");
  reply = Register(name, dll);
  checks.ExpectEq(reply.result, 1, "registration after the delay option is cleared");
  RegQuery(kServerKey, "LoadToRegisterMs", &loadToRegister);
  std::printf("load-to-register time without delay: %s ms\n", loadToRegister.c_str());

  ExpectReply(name, QuitRequest(), 1, {}, "quit");
  checks.ExpectEq(server.WaitExit(kQuickExitMs), 0, "exit code 0");
  RegDelete(kServerKey);
}

// ---- the working directory around the actions ----
void CwdGroup() {
  const std::string root = ScratchFolder("cwd");
  const std::string start = root + "start";
  const std::string other = root + "other";
  const std::string later = root + "later";
  for (const std::string& folder : {start, other, later}) {
    MakeFolder(folder);
    CopyFixture("fixture_server.dll", folder + "\\fixture_server.dll");
  }
  const std::string name = UniquePipeName("cwd");
  Server server(name, start);

  Register(name, other + "\\fixture_server.dll");
  checks.ExpectEq(RecordedDirectory(), other, "register runs in the file's folder");
  // A path without a folder is found through the current directory, which shows where it is.
  Register(name, "fixture_server.dll");
  checks.ExpectEq(RecordedDirectory(), start, "register restores the current directory");

  ExpectUnregister(name, later + "\\fixture_server.dll", "unregister");
  Register(name, "fixture_server.dll");
  checks.ExpectEq(RecordedDirectory(), later, "unregister leaves the file's folder current");

  ExpectUnregister(name, other + "\\gone.dll", "unregister a missing file");
  Register(name, "fixture_server.dll");
  checks.ExpectEq(RecordedDirectory(), other, "unregister moves even when nothing loads");

  ExpectReply(name, QuitRequest(), 1, {}, "quit");
  checks.ExpectEq(server.WaitExit(kQuickExitMs), 0, "exit code 0");
  RegDelete(kServerKey);
}

// ---- clients that go silent ----
void SilentGroup() {
  const std::string name = UniquePipeName("silent");
  Server server(name);
  ExpectPing(name, "first client");

  // Each holds the only pipe instance until the service cuts it off, 10 s after it connected or
  // after its reply was written; the next client waits meanwhile.
  struct Silent {
    const char* what;
    std::vector<std::string> messages;
    int repliesRead = 0;  // messages of the reply it reads before it goes silent
  };
  // A module that is not there: two lines of about 300 and 512 bytes, six messages in all.
  const std::string missing =
      "C:\\" + std::string(250, 'd') + "\\" + std::string(250, 'm') + ".dll";
  const Silent silents[] = {
      {"a client that connects and sends nothing", {}},
      {"a client that sends a file command without its payload", {Word(tesmar::REQ_FILE)}},
      {"a client that never reads its reply", {PingRequest()}},
      {"a client that stops half-way through a long reply", {FileRequest(0, missing)}, 3},
  };
  for (const Silent& silent : silents) {
    const std::string what = silent.what;
    HANDLE pipe = tesmar::OpenPipe(name, 20000);
    const DWORD connected = GetTickCount();
    for (const std::string& message : silent.messages) tesmar::WriteMessage(pipe, message, 20000);
    int read = 0;
    for (std::string message;
         read < silent.repliesRead &&
         tesmar::ReadMessage(pipe, message, 20000) == tesmar::ReadStatus::Message;) {
      ++read;
    }
    if (silent.repliesRead > 0) {
      checks.ExpectEq(read, silent.repliesRead, what + ": the start of its reply came");
    }
    Reply reply;
    const Outcome outcome = Exchange(name, PingRequest(), reply);
    const DWORD elapsed = GetTickCount() - connected;
    checks.Expect(outcome == Outcome::Reply && reply.result == 1,
                  what + ": the next client is served");
    checks.Expect(elapsed <= 11000,
                  what + ": within 11 s of its connection (" + std::to_string(elapsed) + " ms)");
    std::string message;
    checks.Expect(tesmar::ReadMessage(pipe, message, 5000) == tesmar::ReadStatus::Broken,
                  what + ": was disconnected, nothing left to read");
    CloseHandle(pipe);
  }

  // Slow is not silent: a pause before the request or before reading the reply costs nothing.
  for (const bool pauseFirst : {true, false}) {
    const std::string what = pauseFirst ? "a client that waits before asking"
                                        : "a client that waits before reading its reply";
    HANDLE pipe = tesmar::OpenPipe(name, 20000);
    if (pauseFirst) Sleep(1500);
    tesmar::WriteMessage(pipe, PingRequest(), 20000);
    if (!pauseFirst) Sleep(1500);
    Reply reply;
    checks.Expect(tesmar::ReadReply(pipe, 20000, reply) == Outcome::Reply && reply.result == 1 &&
                      reply.lines.empty(),
                  what + ": gets its whole reply");
    CloseHandle(pipe);
  }

  ExpectReply(name, QuitRequest(), 1, {}, "quit: a payload that never came did not end it");
  checks.ExpectEq(server.WaitExit(kQuickExitMs), 0, "exit code 0");
}

// ---- type libraries and modules in a folder named outside ASCII ----
void CodePageGroup() {
  // Characters whose code-page bytes are not their code points (cp1252 has the euro sign at 0x80),
  // for whichever ANSI code page Wine was given.
  const wchar_t* const candidates[] = {L"\u20ACdir-\u00E9t\u00E9", L"\u20ACdir-\u0436",
                                       L"\u30C6\u30B9\u30C8"};
  std::string folderName;
  for (const wchar_t* candidate : candidates) {
    char bytes[64];
    BOOL lossy = FALSE;
    if (WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, candidate, -1, bytes, sizeof bytes,
                            nullptr, &lossy) != 0 &&
        !lossy) {
      folderName = bytes;
      break;
    }
  }
  if (!checks.Expect(!folderName.empty(),
                     "a non-ASCII folder name in code page " + std::to_string(GetACP()))) {
    return;
  }
  const std::string folder = ScratchFolder("codepage") + folderName + "\\";
  MakeFolder(folder);
  const std::string name = UniquePipeName("codepage");
  Server server(name);

  const std::string dll = folder + "fixture_server.dll";
  CopyFixture("fixture_server.dll", dll);
  RegDelete(kServerKey);
  Reply reply = Register(name, dll);
  checks.Expect(reply.result == 1 && RegQuery(kServerKey + "\\InprocServer32"),
                "DLL in " + Printable(folder) + ": registered");
  ExpectUnregister(name, dll, "DLL: unregister");
  checks.Expect(!RegQuery(kServerKey), "DLL: unregistered");

  const std::string tlb = folder + "fixture.tlb";
  CopyFixture("fixture.tlb", tlb);
  RegDelete(kTypeLibKey);
  ExpectReply(name, FileRequest(0, tlb), 1, {Line("Tesmar-RegServer_TLB", tlb, 0)},
              "type library in " + Printable(folder));
  checks.Expect(RegQuery(kTypeLibKey + "\\1.0"), "type library: registered");
  ExpectUnregister(name, tlb, "type library: unregister");
  checks.Expect(!RegQuery(kTypeLibKey), "type library: unregistered");

  ExpectReply(name, QuitRequest(), 1, {}, "quit");
  checks.ExpectEq(server.WaitExit(kQuickExitMs), 0, "exit code 0");
}

// ---- tesmar-client against the service ----
void ClientGroup() {
  const std::string root = ScratchFolder("client");
  const std::string name = UniquePipeName("client");
  const std::string client = "\"" + ProgramFolder() + "tesmar-client.exe\" ";
  // Runs the client in root, which is not the service's folder.
  auto run = [&](const std::string& arguments, const std::string& what, DWORD code) {
    std::string output;
    checks.ExpectEq(RunCaptured(client + arguments, &output, root), code, what + ": exit code");
    return output;
  };

  std::string output = run("--timeout 300 " + name + " ping", "no service", 3);
  checks.Expect(
      output.find("no " + tesmar::FullPipeName(name) + " within 300 ms") != std::string::npos,
      "no service: says so: " + Printable(output));

  Server server(name);
  checks.ExpectEq(run(name + " ping", "ping", 0), "1\r\n", "ping: the result");

  // A relative file is sent as an absolute path: the service, elsewhere, finds it.
  const std::string dll = root + "fixture_server.dll";
  CopyFixture("fixture_server.dll", dll);
  RegDelete(kServerKey);
  output = run(name + " register fixture_server.dll", "register", 0);
  const std::string entryLine = Line("Tesmar-DLLRegisterServer", dll, 0);
  checks.Expect(
      output.rfind("1\r\nTesmar-GetProcAddress: ", 0) == 0 && output.size() > entryLine.size() &&
          output.compare(output.size() - entryLine.size(), entryLine.size(), entryLine) == 0,
      "register: the result and both lines: " + Printable(output));
  std::string inproc;
  checks.Expect(RegQuery(kServerKey + "\\InprocServer32", "", &inproc) && inproc == dll,
                "register: the absolute path was sent");
  checks.ExpectEq(run(name + " unregister fixture_server.dll", "unregister", 1), "0\r\n",
                  "unregister: the result");
  checks.Expect(!RegQuery(kServerKey), "unregister: done");
  checks.ExpectEq(
      run(name + " register missing.dll", "missing file", 1),
      "0\r\n" + Line("Tesmar LoadLibrary-Fehlschlag1", "missing.dll", ERROR_MOD_NOT_FOUND) +
          Line("Tesmar LoadLibrary-Fehlschlag2", root + "missing.dll", ERROR_MOD_NOT_FOUND),
      "missing file: the result and both lines as sent");

  // The option request: byte 1 on, then off.
  checks.ExpectEq(run(name + " delay on", "delay on", 0), "1\r\n", "delay on: the result");
  run(name + " register fixture_server.dll", "register with the delay", 0);
  std::string loadToRegister;
  RegQuery(kServerKey, "LoadToRegisterMs", &loadToRegister);
  checks.Expect(std::atof(loadToRegister.c_str()) >= 7.5,
                "delay on: the service waited (" + loadToRegister + " ms)");
  checks.ExpectEq(run("--timeout 20000 " + name + " delay off", "delay off", 0), "1\r\n",
                  "delay off: the result");
  run(name + " unregister " + dll, "unregister an absolute path", 1);

  // The path field holds 4095 bytes and the terminator; a longer path is not cut to another.
  const std::string longest = root + std::string(4095 - root.size(), 'e');
  const std::string refused = "Tesmar-Refused: " + longest +
                              " has a directory, name or extension longer than 255 characters\r\n";
  checks.ExpectEq(run(name + " register " + longest, "path of 4095 bytes", 1),
                  "0\r\n" + refused.substr(0, 512) + "\r\n", "path of 4095 bytes: sent");
  output = run(name + " register " + longest + "e", "path of 4096 bytes", 2);
  checks.Expect(output.find("4096 bytes long; Tesmar takes at most 4095") != std::string::npos,
                "path of 4096 bytes: refused: " + Printable(output.substr(0, 80)));

  const char* const badUsages[] = {
      "",
      "--timeout",
      "--timeout 5x {} ping",
      "--timeout 4294967296 {} ping",
      "{}",
      "{} dance",
      "{} ping now",
      "{} delay",
      "{} delay maybe",
      "{} register",
      "{} quit {}",
      "{} unregister a b",
  };
  for (std::string usage : badUsages) {
    for (size_t at; (at = usage.find("{}")) != std::string::npos;) usage.replace(at, 2, name);
    output = run(usage, "bad usage \"" + usage + "\"", 2);
    checks.Expect(output.find("usage: tesmar-client") != std::string::npos,
                  "bad usage \"" + usage + "\": shows the usage");
  }

  // While another client holds the pipe, the client waits for it, then gives up.
  HANDLE holder = tesmar::OpenPipe(name, 20000);
  const DWORD start = GetTickCount();
  output = run("--timeout 500 " + name + " ping", "busy pipe", 3);
  const DWORD waited = GetTickCount() - start;
  checks.Expect(
      output.find("stayed busy") != std::string::npos && waited >= 450,
      "busy pipe: waited " + std::to_string(waited) + " ms, then said so: " + Printable(output));
  CloseHandle(holder);

  checks.ExpectEq(run(name + " quit", "quit", 0), "1\r\n", "quit: the result");
  checks.ExpectEq(server.WaitExit(kQuickExitMs), 0, "quit: the service ended");
  RegDelete(kServerKey);
}

// ---- who may reach the pipe, and what a client takes from a server ----

// A pipe instance on name as another program may make one: up to `instances` of them, and a
// NULL DACL, which grants everyone everything.
HANDLE ForeignPipe(const std::string& name, DWORD instances) {
  SECURITY_DESCRIPTOR open;
  InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE);
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, &open, FALSE};
  return CreateNamedPipeA(tesmar::FullPipeName(name).c_str(), PIPE_ACCESS_DUPLEX,
                          PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, instances, 4096,
                          4096, 0, &attributes);
}

// Another program serving name: each of `clients` clients gets `reply` (one message per string),
// whatever it asked.
class ForeignServer {
 public:
  ForeignServer(const std::string& name, std::vector<std::string> reply, int clients)
      : m_pipe(ForeignPipe(name, 1)), m_reply(std::move(reply)), m_thread([this, clients] {
          for (int i = 0; i < clients; ++i) Serve();
        }) {}
  ~ForeignServer() {
    m_thread.join();
    CloseHandle(m_pipe);
  }

 private:
  void Serve() {
    if (!ConnectNamedPipe(m_pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return;
    char request[8192];
    DWORD bytes = 0;
    ReadFile(m_pipe, request, sizeof request, &bytes, nullptr);
    for (const std::string& message : m_reply) {
      WriteFile(m_pipe, message.data(), static_cast<DWORD>(message.size()), &bytes, nullptr);
    }
    FlushFileBuffers(m_pipe);
    DisconnectNamedPipe(m_pipe);
  }

  HANDLE m_pipe;
  std::vector<std::string> m_reply;
  std::thread m_thread;
};

// A SID as text ("S-1-1-0"), to compare and to show.
std::string SidText(PSID sid) {
  LPSTR text = nullptr;
  if (!ConvertSidToStringSidA(sid, &text)) return "?";
  std::string result = text;
  LocalFree(text);
  return result;
}

std::string WellKnownSid(WELL_KNOWN_SID_TYPE type) {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof sid;
  return CreateWellKnownSid(type, nullptr, sid, &size) ? SidText(sid) : "?";
}

std::string ProcessUserSid() {
  HANDLE token = nullptr;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<BYTE> user(size);
  GetTokenInformation(token, TokenUser, user.data(), size, &size);
  CloseHandle(token);
  return SidText(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid);
}

// The pipe's DACL as a client reads it back: which SIDs it allows, with what access.
std::map<std::string, ACCESS_MASK> AllowedBy(HANDLE pipe) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD read = GetSecurityInfo(pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                     nullptr, &dacl, nullptr, &descriptor);
  checks.ExpectEq(read, ERROR_SUCCESS, "a client reads the pipe's security descriptor back");
  // No DACL at all would grant everyone everything.
  checks.Expect(read != ERROR_SUCCESS || dacl != nullptr, "the descriptor has a DACL");
  std::map<std::string, ACCESS_MASK> allowed;
  for (DWORD i = 0; read == ERROR_SUCCESS && dacl != nullptr && i < dacl->AceCount; ++i) {
    ACE_HEADER* ace = nullptr;
    if (GetAce(dacl, i, reinterpret_cast<void**>(&ace)) &&
        ace->AceType == ACCESS_ALLOWED_ACE_TYPE) {
      allowed[SidText(&reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart)] |=
          reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace)->Mask;
    }
  }
  LocalFree(descriptor);
  return allowed;
}

std::string Joined(const std::map<std::string, ACCESS_MASK>& allowed) {
  std::string text;
  for (const auto& [sid, mask] : allowed) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%lX", static_cast<unsigned long>(mask));
    text += (text.empty() ? "" : ", ") + sid + " " + hex;
  }
  return text;
}

void TrustGroup() {
  {
    // A name taken first, open to all and with room for more instances, is not served.
    const std::string name = UniquePipeName("taken");
    HANDLE squatter = ForeignPipe(name, PIPE_UNLIMITED_INSTANCES);
    checks.Expect(squatter != INVALID_HANDLE_VALUE, "another program takes the name first");
    Server server(name);
    checks.ExpectEq(server.WaitExit(kQuickExitMs), 0, "a name taken first: Tesmar ends at once");
    Reply reply;
    checks.Expect(Exchange(name, PingRequest(), reply, 1000) != Outcome::Reply,
                  "a name taken first: no ping is answered");
    CloseHandle(squatter);
  }
  {
    // Full access for this user, SYSTEM and the Administrators; nothing for anyone else.
    const std::string name = UniquePipeName("owned");
    Server server(name);
    HANDLE pipe = tesmar::OpenPipe(name, 20000);
    const std::map<std::string, ACCESS_MASK> allowed = AllowedBy(pipe);
    for (const WELL_KNOWN_SID_TYPE type : {WinWorldSid, WinAnonymousSid}) {
      checks.Expect(allowed.count(WellKnownSid(type)) == 0,
                    "the DACL allows nothing to " +
                        std::string(type == WinWorldSid ? "Everyone" : "Anonymous"));
    }
    const std::map<std::string, ACCESS_MASK> expected = {
        {ProcessUserSid(), FILE_ALL_ACCESS},
        {WellKnownSid(WinLocalSystemSid), FILE_ALL_ACCESS},
        {WellKnownSid(WinBuiltinAdministratorsSid), FILE_ALL_ACCESS}};
    checks.Expect(allowed == expected,
                  "the DACL allows the user, SYSTEM and the Administrators full access, and no "
                  "one else anything: " +
                      Joined(allowed));
    Reply reply;
    checks.Expect(tesmar::WriteMessage(pipe, PingRequest(), 20000) &&
                      tesmar::ReadReply(pipe, 20000, reply) == Outcome::Reply && reply.result == 1,
                  "the user who started it is served");
    CloseHandle(pipe);
    ExpectReply(name, QuitRequest(), 1, {}, "quit");
  }
  const std::string client = "\"" + ProgramFolder() + "tesmar-client.exe\" ";
  {
    // A reply holds at most four lines; a server that announces more is not Tesmar.
    const std::string name = UniquePipeName("five-lines");
    std::vector<std::string> fiveLines = {Word(1), Word(5)};
    for (int i = 0; i < 5; ++i) fiveLines.insert(fiveLines.end(), {Word(1), "x"});
    ForeignServer foreign(name, fiveLines, 2);
    Reply reply;
    checks.Expect(Exchange(name, PingRequest(), reply) == Outcome::Malformed,
                  "a reply of five lines is refused");
    std::string output;
    checks.ExpectEq(RunCaptured(client + name + " ping", &output), 3,
                    "tesmar-client: a reply of five lines: exit code");
    checks.Expect(output.find("not in Tesmar's wire format") != std::string::npos,
                  "tesmar-client: a reply of five lines: says so: " + Printable(output));
  }
  {
    // Control characters from a server are shown, not obeyed; the line ends stay.
    const std::string name = UniquePipeName("controls");
    const std::string line = "a\x1B[2J\rb\x07\x7F\nc\r\n";
    ForeignServer foreign(name, {Word(1), Word(1), Word(static_cast<DWORD>(line.size())), line}, 1);
    std::string output;
    checks.ExpectEq(RunCaptured(client + name + " ping", &output), 0,
                    "tesmar-client: control characters: exit code");
    checks.ExpectEq(output, std::string("1\r\na\\x1B[2J\\x0Db\\x07\\x7F\nc\r\n"),
                    "tesmar-client: control characters printed escaped");
  }
}

// Denies writing below key (created if absent), so that registering beneath it fails.
void DenyWrites(const std::string& subKey) {
  HKEY key = nullptr;
  RegCreateKeyExA(HKEY_CLASSES_ROOT, subKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                  nullptr);
  EXPLICIT_ACCESS_A deny = {};
  deny.grfAccessPermissions = KEY_SET_VALUE | KEY_CREATE_SUB_KEY;
  deny.grfAccessMode = DENY_ACCESS;
  deny.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
  BuildTrusteeWithNameA(&deny.Trustee, const_cast<char*>("EVERYONE"));
  PACL acl = nullptr;
  SetEntriesInAclA(1, &deny, nullptr, &acl);
  SetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, acl, nullptr);
  LocalFree(acl);
  RegCloseKey(key);
}

// ---- requests refused instead of cut, overrun or misreported ----
void RefusalsGroup() {
  const std::string root = ScratchFolder("refusals");
  const std::string name = UniquePipeName("refusals");
  Server server(name, root);

  // A type library that loads but cannot be registered is not reported as registered.
  const std::string denied = root + "fixture_denied.tlb";
  CopyFixture("fixture_denied.tlb", denied);
  DenyWrites(std::string("TypeLib\\") + FIXTURE_DENIED_LIBID + "\\1.0");
  Reply reply = Register(name, denied);
  checks.ExpectEq(reply.result, 0, "type library that fails to register: result");
  checks.Expect(reply.lines.size() == 1 &&
                    reply.lines[0].rfind("Tesmar-RegServer_TLB: " + denied + " ", 0) == 0,
                "type library that fails to register: its one line");

  // A path field without a terminator is refused whole.
  const std::string unterminated = Word(12) + Word(0) + Word(0) + std::string(4096, 'A');
  const std::string refusedField =
      "Tesmar-Refused: the path field has no terminator within its 4096 bytes\r\n";
  ExpectReply(name, unterminated, 0, {refusedField}, "unterminated path, register");
  std::string unregisterRequest = unterminated;
  unregisterRequest[4] = 1;
  ExpectReply(name, unregisterRequest, 0, {refusedField}, "unterminated path, unregister");
  ExpectUnregister(name, root + std::string(4095 - root.size(), 'e'),
                   "a path of 4095 bytes and its terminator is taken");

  // Pieces longer than 255 characters are refused, not cut or overrun.
  const std::string longFolder = LongFolder(root, 300);
  const std::string suffix = " has a directory, name or extension longer than 255 characters\r\n";
  const std::string pieces[] = {
      longFolder + "\\fixture_server.dll",
      root + std::string(256, 'n') + ".dll",
      root + "fixture_server." + std::string(256, 'x'),
  };
  for (const std::string& path : pieces) {
    ExpectReply(name, FileRequest(0, path), 0, {"Tesmar-Refused: " + path + suffix},
                "over-long piece refused: " + path.substr(path.size() - 20));
    ExpectUnregister(name, path, "over-long piece, unregister");
  }
  CopyFixture("fixture_server.dll", root + "fixture_server.dll");
  Register(name, "fixture_server.dll");
  checks.ExpectEq(RecordedDirectory(), root.substr(0, root.size() - 1),
                  "refused unregistering leaves the current directory alone");
  const std::string fitting = LongFolder(root, 250) + "\\" + std::string(255, 'f');
  reply = Register(name, fitting);
  checks.Expect(reply.lines.size() == 2 && reply.lines[0].rfind("Tesmar LoadLibrary", 0) == 0,
                "pieces of 255 characters are tried");

  // Type-library paths longer than the wide buffers are refused with ERROR_FILENAME_EXCED_RANGE.
  // The same file reached through ".\" steps, at exact path lengths; a 3-character folder
  // evens out the parity.
  const std::string oddRoot = root + "ab\\";
  MakeFolder(oddRoot);
  CopyFixture("fixture.tlb", root + "fixture.tlb");
  CopyFixture("fixture.tlb", oddRoot + "fixture.tlb");
  auto padded = [&](size_t length) {
    const size_t file = std::string("fixture.tlb").size();
    std::string path = (length - file - root.size()) % 2 == 0 ? root : oddRoot;
    while (path.size() + file < length) path += ".\\";
    return path + "fixture.tlb";
  };
  const std::string tooLong = padded(260);
  ExpectReply(name, FileRequest(0, tooLong), 0,
              {Line("Tesmar-RegServer_TLB", tooLong, ERROR_FILENAME_EXCED_RANGE)},
              "type-library path of 260 characters");
  RegDelete(kTypeLibKey);
  reply = Register(name, padded(259));
  checks.ExpectEq(reply.result, 1, "type-library path of 259 characters registers");
  checks.Expect(RegQuery(kTypeLibKey), "type-library path of 259 characters: registered");
  ExpectUnregister(name, padded(262), "type-library path of 262 characters, unregister");
  checks.Expect(RegQuery(kTypeLibKey), "type-library path of 262 characters: refused");
  ExpectUnregister(name, padded(261), "type-library path of 261 characters, unregister");
  checks.Expect(!RegQuery(kTypeLibKey), "type-library path of 261 characters: unregistered");

  ExpectPing(name, "still serving");
  ExpectReply(name, QuitRequest(), 1, {}, "quit");
  checks.ExpectEq(server.WaitExit(kQuickExitMs), 0, "exit code 0");
  RegDelete(kServerKey);
}

}  // namespace

int main(int argc, char** argv) {
  const std::map<std::string, std::function<void()>> groups = {
      {"startup", StartupGroup},   {"protocol", ProtocolGroup}, {"register", RegisterGroup},
      {"cwd", CwdGroup},           {"refusals", RefusalsGroup}, {"silent", SilentGroup},
      {"codepage", CodePageGroup}, {"client", ClientGroup},     {"trust", TrustGroup},
  };
  if (argc != 2 || groups.count(argv[1]) == 0) {
    std::printf(
        "usage: tesmar_test startup|protocol|register|cwd|refusals|silent|codepage|client|trust\n");
    return 2;
  }
  groups.at(argv[1])();
  return checks.Finish();
}
