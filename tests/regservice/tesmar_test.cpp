// Tesmar.exe driven through its named pipe under Wine, one test suite per CTest test
// (tesmar_GROUP runs --gtest_filter=Group.*). Replies are checked byte for byte, the registry
// through reg.exe.
#include <aclapi.h>
#include <sddl.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
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
constexpr DWORD kQuickExitMs = 5000;

std::string Line(const std::string& title, const std::string& name, DWORD code) {
  return title + ": " + name + " " + SystemText(code);
}

testing::AssertionResult StartsWith(const std::string& text, const std::string& prefix) {
  if (text.rfind(prefix, 0) == 0) return testing::AssertionSuccess();
  return testing::AssertionFailure() << testing::PrintToString(text) << " does not start with "
                                     << testing::PrintToString(prefix);
}

testing::AssertionResult Contains(const std::string& text, const std::string& part) {
  if (text.find(part) != std::string::npos) return testing::AssertionSuccess();
  return testing::AssertionFailure()
         << testing::PrintToString(text) << " does not contain " << testing::PrintToString(part);
}

// Sends request, expects a reply, and checks result and lines exactly.
void ExpectReply(const std::string& pipe, const std::string& request, DWORD result,
                 const std::vector<std::string>& lines, const std::string& what) {
  SCOPED_TRACE(what);
  Reply reply;
  EXPECT_EQ(Exchange(pipe, request, reply), Outcome::Reply) << "answered";
  EXPECT_EQ(reply.result, result);
  EXPECT_EQ(reply.lines, lines);
}

// The line after a successful lookup carries whatever last error OLE initialisation left: none,
// or (for example) that of a window class it had registered before.
testing::AssertionResult LookupLineOk(const std::string& line, const std::string& path) {
  const std::string title = "Tesmar-GetProcAddress: ";
  if (line == title || (line.rfind(title + path + " ", 0) == 0 && line.size() > 2 &&
                        line.compare(line.size() - 2, 2, "\r\n") == 0)) {
    return testing::AssertionSuccess();
  }
  return testing::AssertionFailure() << "lookup line " << testing::PrintToString(line);
}

void ExpectPing(const std::string& pipe, const std::string& what) {
  ExpectReply(pipe, PingRequest(), 1, {}, what + " (ping)");
}

void ExpectNoReply(const std::string& pipe, const std::vector<std::string>& messages,
                   const std::string& what) {
  Reply reply;
  EXPECT_EQ(Exchange(pipe, messages, reply), Outcome::NoReply) << what;
}

// Registers path; returns the reply (checked to be a well-formed answer).
Reply RegisterFile(const std::string& pipe, const std::string& path, DWORD op = 0) {
  Reply reply;
  EXPECT_EQ(Exchange(pipe, FileRequest(op, path), reply), Outcome::Reply)
      << "file request answered: " << path;
  return reply;
}

void ExpectUnregister(const std::string& pipe, const std::string& path, const std::string& what) {
  ExpectReply(pipe, FileRequest(5, path), 0, {}, what);
}

// The client program's command line up to its arguments.
std::string ClientCommand() {
  return "\"" + ProgramFolder() + "tesmar-client.exe\" ";
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

// The suite's scratch folder and pipe name, and Tesmar serving that pipe once the test calls
// Serve; at the end a quit request ends it with code 0.
class ServedTest : public ::testing::Test {
 protected:
  static std::string Suite() {
    return testing::UnitTest::GetInstance()->current_test_suite()->name();
  }

  // Starts Tesmar in folder cwd ("" keeps ours).
  void Serve(const std::string& cwd = "") { server_ = std::make_unique<Server>(name_, cwd); }

  void TearDown() override {
    if (!server_) return;
    ExpectReply(name_, QuitRequest(), 1, {}, "quit");
    EXPECT_EQ(server_->WaitExit(kQuickExitMs), 0u) << "exit code";
  }

  const std::string root_ = ScratchFolder(Suite());
  const std::string name_ = UniquePipeName(Suite());
  std::unique_ptr<Server> server_;
};

// ---- start-up and command line ----
TEST(Startup, NoArgumentOrOnlySwitchesEndAtOnceWithCode0AndNoPipe) {
  {
    Server server("");
    EXPECT_EQ(server.WaitExit(kQuickExitMs), 0u) << "no argument";
  }
  Server server("/p -x /Automation");
  EXPECT_EQ(server.WaitExit(kQuickExitMs), 0u) << "only switches";
  EXPECT_TRUE(PipeAbsent("p") && PipeAbsent("x") && PipeAbsent("Automation"));
}

TEST(Startup, TheFirstNameAmongSwitchesIsServedAndASecondServerOnItEnds) {
  const std::string name = UniquePipeName("around");
  Server server("/p " + name + " -q " + name + "-later");
  ExpectPing(name, "switches around the name");
  ExpectPing(name, "the server waits for the next client");
  EXPECT_TRUE(PipeAbsent(name + "-later")) << "later arguments are ignored";
  EXPECT_TRUE(PipeAbsent("p") && PipeAbsent("q")) << "switches do not name a pipe";

  Server second(name);
  EXPECT_EQ(second.WaitExit(kQuickExitMs), 0u) << "second server on the name ends at once";
  ExpectPing(name, "first server still serves");

  ExpectReply(name, QuitRequest(), 1, {}, "quit");
  EXPECT_EQ(server.WaitExit(kQuickExitMs), 0u) << "quit: exit code 0";
  EXPECT_TRUE(PipeAbsent(name)) << "quit: pipe gone";
}

TEST(Startup, AQuotedNameWithBlanksIsServed) {
  const std::string name = "tesmar test " + std::to_string(GetCurrentProcessId());
  Server server("\"" + name + "\"");
  ExpectPing(name, "quoted name with blanks");
  ExpectReply(name, QuitRequest(), 1, {}, "quoted name: quit");
}

// Names up to 250 characters are served; a longer one is refused, not cut to another name.
TEST(Startup, NamesOfUpTo250CharactersAreServedALongerOneRefused) {
  const std::string base = UniquePipeName("long");
  const std::string longest = base + std::string(250 - base.size(), 'n');
  Server accepted(longest);
  ExpectPing(longest, "250-character pipe name");
  ExpectReply(longest, QuitRequest(), 1, {}, "250-character pipe name: quit");
  EXPECT_EQ(accepted.WaitExit(kQuickExitMs), 0u) << "250-character pipe name: exit code";

  Server refused(longest + "n");
  EXPECT_EQ(refused.WaitExit(kQuickExitMs), 0u) << "251-character pipe name: ends at once";
}

// ---- request protocol ----
class Protocol : public ServedTest {
 protected:
  void SetUp() override {
    Serve();
    ExpectPing(name_, "first client");
  }
};

TEST_F(Protocol, OptionsAreAnsweredWithThePayloadInTheSameOrASecondMessage) {
  ExpectReply(name_, OptionsRequest(0, 1, 0), 1, {}, "options 0,1,0");
  Reply reply;
  EXPECT_EQ(Exchange(name_, {Word(11), std::string("\0\0\0", 3)}, reply), Outcome::Reply);
  EXPECT_EQ(reply.result, 1u);
  EXPECT_TRUE(reply.lines.empty());
}

TEST_F(Protocol, UnknownShortAndEmptyCommandsGetNoReplyAndTheServiceGoesOn) {
  for (DWORD command : {7u, 13u, 99u, 0u}) {
    ExpectNoReply(name_, {Word(command)}, "unknown command " + std::to_string(command));
    ExpectPing(name_, "after unknown command " + std::to_string(command));
  }
  ExpectNoReply(name_, {Word(99) + std::string(20, 'x')}, "unknown command with a payload");
  ExpectPing(name_, "after unknown command with a payload");

  // A command word of fewer than 4 bytes is no command at all, whatever its bytes say.
  ExpectNoReply(name_, {std::string("\x0A\x00", 2)}, "2-byte command that starts like a ping");
  ExpectPing(name_, "after a short command");
  ExpectNoReply(name_, {std::string()}, "empty message after a ping");
  ExpectPing(name_, "after an empty message");
  EXPECT_TRUE(SendAndLeave(name_, {})) << "client that leaves without writing";
  ExpectPing(name_, "after a client that left without writing");
}

TEST_F(Protocol, AShortPayloadEndsTheServiceWithoutAReply) {
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
    SCOPED_TRACE(shortCase.what);
    ExpectNoReply(name_, shortCase.messages, "no reply");
    EXPECT_EQ(server_->WaitExit(kQuickExitMs), 0u) << "ends";
    Serve();
    ExpectPing(name_, "restarted");
  }

  EXPECT_TRUE(SendAndLeave(name_, {Word(12)})) << "file command whose client leaves: sent";
  EXPECT_EQ(server_->WaitExit(kQuickExitMs), 0u) << "file command whose client leaves: ends";
  Serve();
}

TEST_F(Protocol, QuitWithTrailingBytesIsAQuit) {
  ExpectReply(name_, QuitRequest() + "trailing", 1, {}, "quit with trailing bytes");
  EXPECT_EQ(server_->WaitExit(kQuickExitMs), 0u) << "quit: exit code 0";
  server_.reset();
}

// ---- registering and unregistering each kind of file ----
class Register : public ServedTest {
 protected:
  void SetUp() override {
    Serve(root_);
    CopyFixture("fixture_server.dll", dll_);
  }

  void TearDown() override {
    ServedTest::TearDown();
    RegDelete(kServerKey);
  }

  const std::string dll_ = root_ + "fixture_server.dll";
};

TEST_F(Register, AnInProcessServerRegistersWithItsPathAndUnregisters) {
  RegDelete(kServerKey);
  const Reply reply = RegisterFile(name_, dll_);
  EXPECT_EQ(reply.result, 1u);
  EXPECT_EQ(reply.lines.size(), 2u);
  if (reply.lines.size() == 2) {
    EXPECT_TRUE(LookupLineOk(reply.lines[0], dll_));
    EXPECT_EQ(reply.lines[1], Line("Tesmar-DLLRegisterServer", dll_, 0)) << "entry line";
  }
  std::string inproc;
  EXPECT_TRUE(RegQuery(kServerKey + "\\InprocServer32", "", &inproc) && inproc == dll_)
      << "registered with its path: " << inproc;
  ExpectUnregister(name_, dll_, "unregister");
  EXPECT_FALSE(RegQuery(kServerKey)) << "key removed";
  ExpectPing(name_, "lines never carry over");
}

TEST_F(Register, AMissingFileIsReportedByBothLoadAttempts) {
  const std::string missing = root_ + "missing.dll";
  ExpectReply(name_, FileRequest(0, missing), 0,
              {Line("Tesmar LoadLibrary-Fehlschlag1", "missing.dll", ERROR_MOD_NOT_FOUND),
               Line("Tesmar LoadLibrary-Fehlschlag2", missing, ERROR_MOD_NOT_FOUND)},
              "missing file");
}

TEST_F(Register, ADllWithoutEntriesIsStartedAsALocalServerAndFails) {
  const std::string noEntry = root_ + "fixture_noentry.dll";
  CopyFixture("fixture_noentry.dll", noEntry);
  const Reply reply = RegisterFile(name_, noEntry);
  EXPECT_EQ(reply.result, 0u);
  ASSERT_EQ(reply.lines.size(), 2u);
  EXPECT_EQ(reply.lines[0], Line("Tesmar-GetProcAddress", noEntry, ERROR_PROC_NOT_FOUND));
  EXPECT_TRUE(StartsWith(reply.lines[1], "Tesmar-RegServer: " + noEntry + " "));
}

TEST_F(Register, AnSFalseEntryCarriesTheLastErrorAndIsOfferedAsALocalServer) {
  const std::string sFalse = root_ + "fixture_sfalse.dll";
  CopyFixture("fixture_sfalse.dll", sFalse);
  const Reply reply = RegisterFile(name_, sFalse);
  EXPECT_EQ(reply.result, 0u);
  ASSERT_EQ(reply.lines.size(), 3u);
  EXPECT_TRUE(LookupLineOk(reply.lines[0], sFalse));
  EXPECT_EQ(reply.lines[1], Line("Tesmar-DLLRegisterServer", sFalse, FIXTURE_SFALSE_LAST_ERROR));
  EXPECT_TRUE(StartsWith(reply.lines[2], "Tesmar-RegServer: " + sFalse + " "));
}

TEST_F(Register, ALocalServerRegistersAndUnregistersItself) {
  const std::string local = root_ + "fixture_local.exe";
  CopyFixture("fixture_local.exe", local);
  RegDelete(kLocalKey);
  const Reply reply = RegisterFile(name_, local);
  EXPECT_EQ(reply.result, 1u);
  EXPECT_EQ(reply.lines.size(), 2u);
  if (reply.lines.size() == 2) {
    EXPECT_EQ(reply.lines[0], Line("Tesmar-GetProcAddress", local, ERROR_PROC_NOT_FOUND));
    EXPECT_TRUE(StartsWith(reply.lines[1], "Tesmar-RegServer: " + local + " "));
  }
  EXPECT_TRUE(WaitForKey(kLocalKey + "\\LocalServer32", true, 15000)) << "registered itself";
  ExpectUnregister(name_, local, "unregister");
  EXPECT_TRUE(WaitForKey(kLocalKey, false, 15000)) << "unregistered itself";
}

TEST_F(Register, ATypeLibraryRegistersAndUnregisters) {
  const std::string tlb = root_ + "fixture.tlb";
  CopyFixture("fixture.tlb", tlb);
  RegDelete(kTypeLibKey);
  const Reply reply = RegisterFile(name_, tlb);
  EXPECT_EQ(reply.result, 1u);
  EXPECT_EQ(reply.lines.size(), 1u);
  if (reply.lines.size() == 1) {
    EXPECT_TRUE(StartsWith(reply.lines[0], "Tesmar-RegServer_TLB: " + tlb + " "));
  }
  EXPECT_TRUE(RegQuery(kTypeLibKey + "\\1.0")) << "registered";
  ExpectUnregister(name_, tlb, "unregister");
  EXPECT_FALSE(RegQuery(kTypeLibKey)) << "unregistered";
}

// ".tlb" in a folder name: registering takes it for a type library, unregistering (which looks at
// the extension only) for a module. At position 0 it is not taken for a type library.
TEST_F(Register, ATlbInThePathMakesATypeLibraryOnlyPastPosition0) {
  RegDelete(kServerKey);
  const std::string tlbFolder = root_ + "x.tlbfiles\\";
  MakeFolder(tlbFolder);
  const std::string dllInTlbFolder = tlbFolder + "fixture_server.dll";
  CopyFixture("fixture_server.dll", dllInTlbFolder);
  Reply reply = RegisterFile(name_, dllInTlbFolder);
  EXPECT_EQ(reply.result, 0u) << "DLL in x.tlbfiles: not a loadable type library";
  EXPECT_TRUE(reply.lines.size() == 1 &&
              StartsWith(reply.lines[0], "Tesmar-RegServer_TLB: " + dllInTlbFolder + " "))
      << "DLL in x.tlbfiles: one type-library line";
  EXPECT_FALSE(RegQuery(kServerKey)) << "DLL in x.tlbfiles: its entry was not called";
  RegisterFile(name_, dll_);
  EXPECT_TRUE(RegQuery(kServerKey)) << "server registered again from its plain folder";
  ExpectUnregister(name_, dllInTlbFolder, "DLL in x.tlbfiles: unregister");
  EXPECT_FALSE(RegQuery(kServerKey)) << "DLL in x.tlbfiles: unregistered as a module";

  // Unregistering moves the current directory back to root, where the relative path is found.
  ExpectUnregister(name_, dll_, "in-process server: unregister again");
  CopyFixture("fixture_server.dll", root_ + ".tlbserver.dll");
  reply = RegisterFile(name_, ".tlbserver.dll");
  EXPECT_EQ(reply.result, 1u) << "path starting with .tlb";
  EXPECT_TRUE(reply.lines.size() == 2 && LookupLineOk(reply.lines[0], ".tlbserver.dll") &&
              reply.lines[1] == Line("Tesmar-DLLRegisterServer", ".tlbserver.dll", 0))
      << "path starting with .tlb: lines of a module";
  EXPECT_TRUE(RegQuery(kServerKey)) << "path starting with .tlb: registered as a module";
}

// A line longer than 512 bytes is sent as its first 512 bytes.
TEST_F(Register, ALineOver512BytesIsCutToItsFirst512) {
  const std::string longMissing = LongFolder(root_, 250) + "\\" + std::string(250, 'm') + ".dll";
  const Reply reply = RegisterFile(name_, longMissing);
  EXPECT_EQ(reply.result, 0u);
  const std::string fullLine = "Tesmar LoadLibrary-Fehlschlag2: " + longMissing;
  ASSERT_EQ(reply.lines.size(), 2u);
  EXPECT_EQ(reply.lines[1], fullLine.substr(0, 512));
}

// The option makes the service wait 8 ms before the entry lookup.
TEST_F(Register, TheDelayOptionWaitsBetweenLoadingAndRegistering) {
  ExpectReply(name_, OptionsRequest(0, 1, 0), 1, {}, "delay on");
  RegisterFile(name_, dll_);
  std::string loadToRegister;
  RegQuery(kServerKey, "LoadToRegisterMs", &loadToRegister);
  EXPECT_GE(std::atof(loadToRegister.c_str()), 7.5) << loadToRegister << " ms";
  ExpectReply(name_, OptionsRequest(1, 0, 1), 1, {}, "delay off (only byte 1 counts)");
  const Reply reply = RegisterFile(name_, dll_);
  EXPECT_EQ(reply.result, 1u) << "registration after the delay option is cleared";
  RegQuery(kServerKey, "LoadToRegisterMs", &loadToRegister);
  std::printf("load-to-register time without delay: %s ms\n", loadToRegister.c_str());
}

// ---- the working directory around the actions ----
class Cwd : public ServedTest {
 protected:
  void TearDown() override {
    ServedTest::TearDown();
    RegDelete(kServerKey);
  }
};

TEST_F(Cwd, RegisterRunsInTheFilesFolderAndRestoresUnregisterLeavesItThere) {
  const std::string start = root_ + "start";
  const std::string other = root_ + "other";
  const std::string later = root_ + "later";
  for (const std::string& folder : {start, other, later}) {
    MakeFolder(folder);
    CopyFixture("fixture_server.dll", folder + "\\fixture_server.dll");
  }
  Serve(start);

  RegisterFile(name_, other + "\\fixture_server.dll");
  EXPECT_EQ(RecordedDirectory(), other) << "register runs in the file's folder";
  // A path without a folder is found through the current directory, which shows where it is.
  RegisterFile(name_, "fixture_server.dll");
  EXPECT_EQ(RecordedDirectory(), start) << "register restores the current directory";

  ExpectUnregister(name_, later + "\\fixture_server.dll", "unregister");
  RegisterFile(name_, "fixture_server.dll");
  EXPECT_EQ(RecordedDirectory(), later) << "unregister leaves the file's folder current";

  ExpectUnregister(name_, other + "\\gone.dll", "unregister a missing file");
  RegisterFile(name_, "fixture_server.dll");
  EXPECT_EQ(RecordedDirectory(), other) << "unregister moves even when nothing loads";
}

// ---- requests refused instead of cut, overrun or misreported ----

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

class Refusals : public ServedTest {
 protected:
  void SetUp() override { Serve(root_); }

  void TearDown() override {
    ExpectPing(name_, "still serving");
    ServedTest::TearDown();
    RegDelete(kServerKey);
  }
};

TEST_F(Refusals, ATypeLibraryThatFailsToRegisterIsNotReportedAsRegistered) {
  const std::string denied = root_ + "fixture_denied.tlb";
  CopyFixture("fixture_denied.tlb", denied);
  DenyWrites(std::string("TypeLib\\") + FIXTURE_DENIED_LIBID + "\\1.0");
  const Reply reply = RegisterFile(name_, denied);
  EXPECT_EQ(reply.result, 0u);
  ASSERT_EQ(reply.lines.size(), 1u);
  EXPECT_TRUE(StartsWith(reply.lines[0], "Tesmar-RegServer_TLB: " + denied + " "));
}

TEST_F(Refusals, APathFieldWithoutTerminatorIsRefusedWhole) {
  const std::string unterminated = Word(12) + Word(0) + Word(0) + std::string(4096, 'A');
  const std::string refusedField =
      "Tesmar-Refused: the path field has no terminator within its 4096 bytes\r\n";
  ExpectReply(name_, unterminated, 0, {refusedField}, "unterminated path, register");
  std::string unregisterRequest = unterminated;
  unregisterRequest[4] = 1;
  ExpectReply(name_, unregisterRequest, 0, {refusedField}, "unterminated path, unregister");
  ExpectUnregister(name_, root_ + std::string(4095 - root_.size(), 'e'),
                   "a path of 4095 bytes and its terminator is taken");
}

// Pieces longer than 255 characters are refused, not cut or overrun.
TEST_F(Refusals, PiecesOver255CharactersAreRefusedAndLeaveTheCurrentDirectoryAlone) {
  const std::string longFolder = LongFolder(root_, 300);
  const std::string suffix = " has a directory, name or extension longer than 255 characters\r\n";
  const std::string pieces[] = {
      longFolder + "\\fixture_server.dll",
      root_ + std::string(256, 'n') + ".dll",
      root_ + "fixture_server." + std::string(256, 'x'),
  };
  for (const std::string& path : pieces) {
    ExpectReply(name_, FileRequest(0, path), 0, {"Tesmar-Refused: " + path + suffix},
                "over-long piece refused: " + path.substr(path.size() - 20));
    ExpectUnregister(name_, path, "over-long piece, unregister");
  }
  CopyFixture("fixture_server.dll", root_ + "fixture_server.dll");
  RegisterFile(name_, "fixture_server.dll");
  EXPECT_EQ(RecordedDirectory(), root_.substr(0, root_.size() - 1))
      << "refused unregistering leaves the current directory alone";
  const std::string fitting = LongFolder(root_, 250) + "\\" + std::string(255, 'f');
  const Reply reply = RegisterFile(name_, fitting);
  EXPECT_TRUE(reply.lines.size() == 2 && StartsWith(reply.lines[0], "Tesmar LoadLibrary"))
      << "pieces of 255 characters are tried";
}

// Type-library paths longer than the wide buffers are refused with ERROR_FILENAME_EXCED_RANGE.
// The same file reached through ".\" steps, at exact path lengths; a 3-character folder evens out
// the parity.
TEST_F(Refusals, TypeLibraryPathsOverTheWideBuffersAreRefused) {
  const std::string oddRoot = root_ + "ab\\";
  MakeFolder(oddRoot);
  CopyFixture("fixture.tlb", root_ + "fixture.tlb");
  CopyFixture("fixture.tlb", oddRoot + "fixture.tlb");
  auto padded = [&](size_t length) {
    const size_t file = std::string("fixture.tlb").size();
    std::string path = (length - file - root_.size()) % 2 == 0 ? root_ : oddRoot;
    while (path.size() + file < length) path += ".\\";
    return path + "fixture.tlb";
  };
  const std::string tooLong = padded(260);
  ExpectReply(name_, FileRequest(0, tooLong), 0,
              {Line("Tesmar-RegServer_TLB", tooLong, ERROR_FILENAME_EXCED_RANGE)},
              "type-library path of 260 characters");
  RegDelete(kTypeLibKey);
  const Reply reply = RegisterFile(name_, padded(259));
  EXPECT_EQ(reply.result, 1u) << "type-library path of 259 characters registers";
  EXPECT_TRUE(RegQuery(kTypeLibKey)) << "type-library path of 259 characters: registered";
  ExpectUnregister(name_, padded(262), "type-library path of 262 characters, unregister");
  EXPECT_TRUE(RegQuery(kTypeLibKey)) << "type-library path of 262 characters: refused";
  ExpectUnregister(name_, padded(261), "type-library path of 261 characters, unregister");
  EXPECT_FALSE(RegQuery(kTypeLibKey)) << "type-library path of 261 characters: unregistered";
}

// ---- clients that go silent ----
// Each holds the only pipe instance until the service cuts it off, 10 s after it connected or
// after its reply was written; the next client waits meanwhile. A payload that never came does not
// end the service: the quit at the end is answered.
class Silent : public ServedTest {
 protected:
  void SetUp() override {
    Serve();
    ExpectPing(name_, "first client");
  }
};

TEST_F(Silent, ASilentClientIsCutOffWithin11SecondsAndTheNextOneServed) {
  struct SilentClient {
    const char* what;
    std::vector<std::string> messages;
    int repliesRead = 0;  // messages of the reply it reads before it goes silent
  };
  // A module that is not there: two lines of about 300 and 512 bytes, six messages in all.
  const std::string missing =
      "C:\\" + std::string(250, 'd') + "\\" + std::string(250, 'm') + ".dll";
  const SilentClient silents[] = {
      {"a client that connects and sends nothing", {}},
      {"a client that sends a file command without its payload", {Word(tesmar::REQ_FILE)}},
      {"a client that never reads its reply", {PingRequest()}},
      {"a client that stops half-way through a long reply", {FileRequest(0, missing)}, 3},
  };
  for (const SilentClient& silent : silents) {
    SCOPED_TRACE(silent.what);
    HANDLE pipe = tesmar::OpenPipe(name_, 20000);
    const DWORD connected = GetTickCount();
    for (const std::string& message : silent.messages) tesmar::WriteMessage(pipe, message, 20000);
    int read = 0;
    for (std::string message;
         read < silent.repliesRead &&
         tesmar::ReadMessage(pipe, message, 20000) == tesmar::ReadStatus::Message;) {
      ++read;
    }
    EXPECT_EQ(read, silent.repliesRead) << "the start of its reply came";
    Reply reply;
    const Outcome outcome = Exchange(name_, PingRequest(), reply);
    const DWORD elapsed = GetTickCount() - connected;
    EXPECT_TRUE(outcome == Outcome::Reply && reply.result == 1) << "the next client is served";
    EXPECT_LE(elapsed, 11000u) << "ms from its connection";
    std::string message;
    EXPECT_EQ(tesmar::ReadMessage(pipe, message, 5000), tesmar::ReadStatus::Broken)
        << "was disconnected, nothing left to read";
    CloseHandle(pipe);
  }
}

// Slow is not silent: a pause before the request or before reading the reply costs nothing.
TEST_F(Silent, ASlowClientGetsItsWholeReply) {
  for (const bool pauseFirst : {true, false}) {
    SCOPED_TRACE(pauseFirst ? "a client that waits before asking"
                            : "a client that waits before reading its reply");
    HANDLE pipe = tesmar::OpenPipe(name_, 20000);
    if (pauseFirst) Sleep(1500);
    tesmar::WriteMessage(pipe, PingRequest(), 20000);
    if (!pauseFirst) Sleep(1500);
    Reply reply;
    EXPECT_EQ(tesmar::ReadReply(pipe, 20000, reply), Outcome::Reply);
    EXPECT_EQ(reply.result, 1u);
    EXPECT_TRUE(reply.lines.empty());
    CloseHandle(pipe);
  }
}

// ---- type libraries and modules in a folder named outside ASCII ----
class CodePage : public ServedTest {
 protected:
  // Characters whose code-page bytes are not their code points (cp1252 has the euro sign at
  // 0x80), for whichever ANSI code page Wine was given.
  void SetUp() override {
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
    ASSERT_FALSE(folderName.empty()) << "a non-ASCII folder name in code page " << GetACP();
    folder_ = root_ + folderName + "\\";
    MakeFolder(folder_);
    Serve();
  }

  std::string folder_;
};

TEST_F(CodePage, ADllThereRegistersAndUnregisters) {
  const std::string dll = folder_ + "fixture_server.dll";
  CopyFixture("fixture_server.dll", dll);
  RegDelete(kServerKey);
  const Reply reply = RegisterFile(name_, dll);
  EXPECT_TRUE(reply.result == 1 && RegQuery(kServerKey + "\\InprocServer32"))
      << "registered from " << testing::PrintToString(folder_);
  ExpectUnregister(name_, dll, "DLL: unregister");
  EXPECT_FALSE(RegQuery(kServerKey)) << "unregistered";
}

TEST_F(CodePage, ATypeLibraryThereRegistersAndUnregisters) {
  const std::string tlb = folder_ + "fixture.tlb";
  CopyFixture("fixture.tlb", tlb);
  RegDelete(kTypeLibKey);
  ExpectReply(name_, FileRequest(0, tlb), 1, {Line("Tesmar-RegServer_TLB", tlb, 0)},
              "type library in " + testing::PrintToString(folder_));
  EXPECT_TRUE(RegQuery(kTypeLibKey + "\\1.0")) << "registered";
  ExpectUnregister(name_, tlb, "type library: unregister");
  EXPECT_FALSE(RegQuery(kTypeLibKey)) << "unregistered";
}

// ---- tesmar-client against the service ----
// The service in our folder, the client run in the suite's folder, where the fixture DLL is; the
// client's quit ends the service.
class Client : public ServedTest {
 protected:
  void SetUp() override {
    Serve();
    CopyFixture("fixture_server.dll", dll_);
  }

  void TearDown() override {
    EXPECT_EQ(Run(name_ + " quit", "quit", 0), "1\r\n") << "quit: the result";
    EXPECT_EQ(server_->WaitExit(kQuickExitMs), 0u) << "quit: the service ended";
    RegDelete(kServerKey);
  }

  // Runs the client with arguments in the suite's folder; checks its exit code, returns its output.
  std::string Run(const std::string& arguments, const std::string& what, DWORD code) {
    std::string output;
    EXPECT_EQ(RunCaptured(ClientCommand() + arguments, &output, root_), code)
        << what << ": exit code";
    return output;
  }

  const std::string dll_ = root_ + "fixture_server.dll";
};

TEST_F(Client, SaysSoWhenNoServiceServesThePipe) {
  const std::string absent = UniquePipeName("client-absent");
  const std::string output = Run("--timeout 300 " + absent + " ping", "no service", 3);
  EXPECT_TRUE(Contains(output, "no " + tesmar::FullPipeName(absent) + " within 300 ms"));
}

// A relative file is sent as an absolute path: the service, elsewhere, finds it.
TEST_F(Client, PrintsTheResultAndLinesAndSendsFilesAsAbsolutePaths) {
  EXPECT_EQ(Run(name_ + " ping", "ping", 0), "1\r\n") << "ping: the result";
  RegDelete(kServerKey);
  const std::string output = Run(name_ + " register fixture_server.dll", "register", 0);
  const std::string entryLine = Line("Tesmar-DLLRegisterServer", dll_, 0);
  EXPECT_TRUE(StartsWith(output, "1\r\nTesmar-GetProcAddress: "));
  EXPECT_TRUE(output.size() > entryLine.size() &&
              output.compare(output.size() - entryLine.size(), entryLine.size(), entryLine) == 0)
      << "register: ends with the entry line: " << testing::PrintToString(output);
  std::string inproc;
  EXPECT_TRUE(RegQuery(kServerKey + "\\InprocServer32", "", &inproc) && inproc == dll_)
      << "register: the absolute path was sent: " << inproc;
  EXPECT_EQ(Run(name_ + " unregister fixture_server.dll", "unregister", 1), "0\r\n")
      << "unregister: the result";
  EXPECT_FALSE(RegQuery(kServerKey)) << "unregister: done";
  EXPECT_EQ(Run(name_ + " register missing.dll", "missing file", 1),
            "0\r\n" + Line("Tesmar LoadLibrary-Fehlschlag1", "missing.dll", ERROR_MOD_NOT_FOUND) +
                Line("Tesmar LoadLibrary-Fehlschlag2", root_ + "missing.dll", ERROR_MOD_NOT_FOUND))
      << "missing file: the result and both lines as sent";
}

// The option request: byte 1 on, then off.
TEST_F(Client, TurnsTheDelayOnAndOff) {
  EXPECT_EQ(Run(name_ + " delay on", "delay on", 0), "1\r\n") << "delay on: the result";
  Run(name_ + " register fixture_server.dll", "register with the delay", 0);
  std::string loadToRegister;
  RegQuery(kServerKey, "LoadToRegisterMs", &loadToRegister);
  EXPECT_GE(std::atof(loadToRegister.c_str()), 7.5) << "the service waited " << loadToRegister;
  EXPECT_EQ(Run("--timeout 20000 " + name_ + " delay off", "delay off", 0), "1\r\n")
      << "delay off: the result";
  Run(name_ + " unregister " + dll_, "unregister an absolute path", 1);
}

// The path field holds 4095 bytes and the terminator; a longer path is not cut to another.
TEST_F(Client, SendsPathsOf4095BytesAndRefusesLongerOnes) {
  const std::string longest = root_ + std::string(4095 - root_.size(), 'e');
  const std::string refused = "Tesmar-Refused: " + longest +
                              " has a directory, name or extension longer than 255 characters\r\n";
  EXPECT_EQ(Run(name_ + " register " + longest, "path of 4095 bytes", 1),
            "0\r\n" + refused.substr(0, 512) + "\r\n")
      << "path of 4095 bytes: sent";
  const std::string output = Run(name_ + " register " + longest + "e", "path of 4096 bytes", 2);
  EXPECT_TRUE(Contains(output, "4096 bytes long; Tesmar takes at most 4095"));
}

TEST_F(Client, ShowsTheUsageForABadCommandLine) {
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
    for (size_t at; (at = usage.find("{}")) != std::string::npos;) usage.replace(at, 2, name_);
    SCOPED_TRACE("bad usage \"" + usage + "\"");
    EXPECT_TRUE(Contains(Run(usage, "bad usage", 2), "usage: tesmar-client"));
  }
}

// While another client holds the pipe, the client waits for it, then gives up.
TEST_F(Client, WaitsForABusyPipeThenSaysSo) {
  HANDLE holder = tesmar::OpenPipe(name_, 20000);
  const DWORD start = GetTickCount();
  const std::string output = Run("--timeout 500 " + name_ + " ping", "busy pipe", 3);
  const DWORD waited = GetTickCount() - start;
  EXPECT_TRUE(Contains(output, "stayed busy"));
  EXPECT_GE(waited, 450u) << "ms waited";
  CloseHandle(holder);
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
  EXPECT_EQ(read, DWORD{ERROR_SUCCESS}) << "a client reads the pipe's security descriptor back";
  // No DACL at all would grant everyone everything.
  EXPECT_TRUE(read != ERROR_SUCCESS || dacl != nullptr) << "the descriptor has a DACL";
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

// A name taken first, open to all and with room for more instances, is not served.
TEST(Trust, ANameTakenFirstIsNotServed) {
  const std::string name = UniquePipeName("taken");
  HANDLE squatter = ForeignPipe(name, PIPE_UNLIMITED_INSTANCES);
  EXPECT_NE(squatter, INVALID_HANDLE_VALUE) << "another program takes the name first";
  Server server(name);
  EXPECT_EQ(server.WaitExit(kQuickExitMs), 0u) << "Tesmar ends at once";
  Reply reply;
  EXPECT_NE(Exchange(name, PingRequest(), reply, 1000), Outcome::Reply) << "no ping is answered";
  CloseHandle(squatter);
}

TEST(Trust, ThePipeGivesTheUserSystemAndTheAdministratorsFullAccessAndNoOneElseAny) {
  const std::string name = UniquePipeName("owned");
  Server server(name);
  HANDLE pipe = tesmar::OpenPipe(name, 20000);
  const std::map<std::string, ACCESS_MASK> allowed = AllowedBy(pipe);
  for (const WELL_KNOWN_SID_TYPE type : {WinWorldSid, WinAnonymousSid}) {
    EXPECT_EQ(allowed.count(WellKnownSid(type)), 0u)
        << "the DACL allows something to " << (type == WinWorldSid ? "Everyone" : "Anonymous");
  }
  const std::map<std::string, ACCESS_MASK> expected = {
      {ProcessUserSid(), FILE_ALL_ACCESS},
      {WellKnownSid(WinLocalSystemSid), FILE_ALL_ACCESS},
      {WellKnownSid(WinBuiltinAdministratorsSid), FILE_ALL_ACCESS}};
  EXPECT_TRUE(allowed == expected) << Joined(allowed);
  Reply reply;
  EXPECT_TRUE(tesmar::WriteMessage(pipe, PingRequest(), 20000) &&
              tesmar::ReadReply(pipe, 20000, reply) == Outcome::Reply && reply.result == 1)
      << "the user who started it is served";
  CloseHandle(pipe);
  ExpectReply(name, QuitRequest(), 1, {}, "quit");
}

// A reply holds at most four lines; a server that announces more is not Tesmar.
TEST(Trust, AReplyOfFiveLinesIsRefused) {
  const std::string name = UniquePipeName("five-lines");
  std::vector<std::string> fiveLines = {Word(1), Word(5)};
  for (int i = 0; i < 5; ++i) fiveLines.insert(fiveLines.end(), {Word(1), "x"});
  ForeignServer foreign(name, fiveLines, 2);
  Reply reply;
  EXPECT_EQ(Exchange(name, PingRequest(), reply), Outcome::Malformed);
  std::string output;
  EXPECT_EQ(RunCaptured(ClientCommand() + name + " ping", &output), 3u)
      << "tesmar-client: exit code";
  EXPECT_TRUE(Contains(output, "not in Tesmar's wire format")) << "tesmar-client says so";
}

// Control characters from a server are shown, not obeyed; the line ends stay.
TEST(Trust, TheClientPrintsAServersControlCharactersEscaped) {
  const std::string name = UniquePipeName("controls");
  const std::string line = "a\x1B[2J\rb\x07\x7F\nc\r\n";
  ForeignServer foreign(name, {Word(1), Word(1), Word(static_cast<DWORD>(line.size())), line}, 1);
  std::string output;
  EXPECT_EQ(RunCaptured(ClientCommand() + name + " ping", &output), 0u);
  EXPECT_EQ(output, "1\r\na\\x1B[2J\\x0Db\\x07\\x7F\nc\r\n");
}

}  // namespace
