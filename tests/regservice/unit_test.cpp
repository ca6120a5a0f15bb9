// Tesmar's building blocks in-process under Wine: the pipe class and its exception, the error
// texts and the case-blind search, and the service's request loop with an allocator that fails
// on demand.
#include <windows.h>

#include <cstdio>
#include <string>
#include <thread>

#include "regservice/actions.h"
#include "regservice/named_pipe.h"
#include "regservice/pipe_service.h"
#include "tests/regservice/client.h"
#include "tests/regservice/fixture_ids.h"
#include "tests/support/failing_allocator.h"

using namespace tesmar_test;

namespace {

Checks checks;

// Runs a query on pipe and returns the error code of the exception it threw (0: none).
template <typename Query>
DWORD ThrownError(Query query) {
  try {
    query();
  } catch (CNamedPipeException* e) {
    const DWORD error = e->m_dwError;
    e->Delete();
    return error;
  }
  return 0;
}

void PipeClass() {
  CNamedPipe pipe;
  checks.Expect(pipe.m_hPipe == INVALID_HANDLE_VALUE && pipe.m_bOwnsHandle,
                "a new pipe has no handle and owns what it gets");
  checks.ExpectEq(ThrownError([&] { pipe.IsBlocking(); }), ERROR_INVALID_HANDLE,
                  "a query on no pipe throws with the last error");
  checks.ExpectEq(ThrownError([&] { pipe.MaxInstances(); }), ERROR_INVALID_HANDLE,
                  "an information query on no pipe throws");
  checks.ExpectEq(ThrownError([&] { pipe.SetReadMode(FALSE, TRUE); }), ERROR_INVALID_HANDLE,
                  "a mode change on no pipe throws");

  const std::string name = UniquePipeName("unit");
  checks.Expect(pipe.Create(name + std::string(251 - name.size(), 'n'), PIPE_ACCESS_DUPLEX,
                            PIPE_TYPE_MESSAGE, 1, 4096, 4096, 1, nullptr) == FALSE &&
                    GetLastError() == ERROR_FILENAME_EXCED_RANGE &&
                    pipe.m_hPipe == INVALID_HANDLE_VALUE,
                "a name over 250 characters is refused");
  checks.Expect(PipeAbsent(name + std::string(250 - name.size(), 'n')),
                "a refused name is not cut to 250 characters");

  checks.Expect(
      pipe.Create(name, PIPE_ACCESS_DUPLEX,
                  PIPE_TYPE_MESSAGE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                  1, 4096, 2048, 1, nullptr) == TRUE,
      "Create");
  checks.Expect(pipe.IsBlocking(), "blocking");
  checks.Expect(pipe.IsServerEnd(), "server end");
  checks.Expect((pipe.Flags() & PIPE_TYPE_MESSAGE) != 0, "message type");
  checks.Expect(!pipe.IsMessageReadMode(), "byte read mode at creation");
  checks.ExpectEq(pipe.MaxInstances(), 1, "maximum instances");
  checks.ExpectEq(pipe.OutBufferSize(), 4096, "out buffer size");
  checks.ExpectEq(pipe.InBufferSize(), 2048, "in buffer size");
  checks.ExpectEq(pipe.CurrentInstances(), 1, "current instances");
  pipe.SetReadMode(FALSE, TRUE);
  checks.Expect(pipe.IsMessageReadMode() && pipe.IsBlocking(), "message read mode, blocking");
  pipe.SetReadMode(TRUE, FALSE);
  checks.Expect(!pipe.IsMessageReadMode() && !pipe.IsBlocking(), "byte read mode, non-blocking");

  CNamedPipe second;
  second.Create(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE, 1, 4096, 4096, 1, nullptr);
  checks.ExpectEq(ThrownError([&] { second.IsBlocking(); }), ERROR_INVALID_HANDLE,
                  "a second instance of a one-instance pipe fails its first query");

  pipe.Close();
  checks.Expect(pipe.m_hPipe == INVALID_HANDLE_VALUE && PipeAbsent(name), "Close");
  pipe.Close();
}

void ExceptionText() {
  char text[256];
  UINT help = 7;
  CNamedPipeException* e = new CNamedPipeException(ERROR_ACCESS_DENIED);
  LPSTR system = nullptr;
  FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                 ERROR_ACCESS_DENIED, MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT),
                 reinterpret_cast<LPSTR>(&system), 0, nullptr);
  const std::string expected = system;
  LocalFree(system);
  checks.Expect(e->GetErrorMessage(text, sizeof text, &help) == TRUE && help == 0,
                "GetErrorMessage succeeds and clears the help context");
  checks.ExpectEq(text, expected, "GetErrorMessage text");
  checks.Expect(e->GetErrorMessage(text, 5) == TRUE, "GetErrorMessage into a small buffer");
  checks.ExpectEq(text, expected.substr(0, 4), "GetErrorMessage keeps size - 1 characters");
  e->Delete();

  CNamedPipeException* unknown = new CNamedPipeException(0x2000FFFF);
  text[0] = 'x';
  checks.Expect(unknown->GetErrorMessage(text, sizeof text) == FALSE && text[0] == '\0',
                "GetErrorMessage of a code without text");
  unknown->Delete();
}

void Texts() {
  checks.ExpectEq(ErrorText(0, "C:\\a.dll", false), "", "ErrorText: 0 without force");
  checks.ExpectEq(ErrorText(ERROR_ALREADY_EXISTS, "C:\\a.dll", false), "",
                  "ErrorText: 183 without force");
  checks.ExpectEq(ErrorText(0, "C:\\a.dll", true), "C:\\a.dll " + SystemText(0),
                  "ErrorText: 0 with force");
  checks.ExpectEq(ErrorText(ERROR_PROC_NOT_FOUND, "C:\\a.dll", false),
                  "C:\\a.dll " + SystemText(ERROR_PROC_NOT_FOUND), "ErrorText: 127");
  checks.ExpectEq(ErrorText(ERROR_PROC_NOT_FOUND, "", true), SystemText(ERROR_PROC_NOT_FOUND),
                  "ErrorText: no name, no blank");
  checks.Expect(
      SystemText(ERROR_PROC_NOT_FOUND).size() > 2 &&
          SystemText(ERROR_PROC_NOT_FOUND).substr(SystemText(ERROR_PROC_NOT_FOUND).size() - 2) ==
              "\r\n",
      "system texts keep their closing CR LF");
  checks.ExpectEq(ErrorText(0x2000FFFF, "C:\\a.dll", true), "C:\\a.dll ",
                  "ErrorText: code without text");

  MessageList.RemoveAll();
  AddMessage("Title", "text\r\n");
  checks.Expect(MessageList.GetCount() == 1 && *MessageList.begin() == "Title: text\r\n",
                "AddMessage");
  MessageList.RemoveAll();

  checks.Expect(FindNoCase("C:\\x.TLBfiles\\a.dll", ".tlb") == 4, "FindNoCase: upper case");
  checks.Expect(FindNoCase(".Tlb", ".tlb") == 0, "FindNoCase: position 0");
  checks.Expect(FindNoCase("C:\\a.dll", ".tlb") == -1, "FindNoCase: absent");
  checks.Expect(FindNoCase("", ".tlb") == -1, "FindNoCase: empty string");

  PostThreadMessageA(GetCurrentThreadId(), WM_USER, 0, 0);
  PumpMessages();
  MSG msg;
  checks.Expect(!PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE), "PumpMessages empties the queue");
}

// A registration that runs out of memory, at each of its allocations in turn, fails alone: it is
// answered with result 0 and the line that says why, the module is freed, the current directory
// is restored, and the next request is served.
void FailingRequests() {
  const std::string dll = ScratchFolder("failing") + "fixture_server.dll";
  CopyFixture("fixture_server.dll", dll);
  const std::string name = UniquePipeName("failing");
  std::thread service([&name] { RunPipeService(name); });
  const std::string request = FileRequest(0, dll);
  const std::vector<std::string> failedLine = {
      "Tesmar-Failed: the request could not be completed (out of memory)\r\n"};
  char before[MAX_PATH] = "";
  GetCurrentDirectoryA(MAX_PATH, before);
  int failures = 0;
  std::string wrong;
  for (int64_t n = 1;; ++n) {
    HANDLE pipe = tesmar::OpenPipe(name, 20000);
    testsupport::FailAllocation(n);
    tesmar::WriteMessage(pipe, request, 20000);
    // Nothing here allocates while the allocator is armed: the reply is waited for with
    // PeekNamedPipe alone, and the request has been handled once its first message is there.
    DWORD available = 0;
    while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available == 0) {
      Sleep(1);
    }
    const bool failed = testsupport::AllocationFailed();
    Reply reply;
    const Outcome outcome = tesmar::ReadReply(pipe, 20000, reply);
    CloseHandle(pipe);
    if (!failed) {
      checks.Expect(outcome == Outcome::Reply && reply.result == 1,
                    "a registration with every allocation served registers");
      break;
    }
    ++failures;
    char now[MAX_PATH] = "";
    GetCurrentDirectoryA(MAX_PATH, now);
    Reply ping;
    if (wrong.empty() &&
        !(outcome == Outcome::Reply && reply.result == 0 && reply.lines == failedLine &&
          GetModuleHandleA(dll.c_str()) == nullptr && std::string(now) == before &&
          Exchange(name, PingRequest(), ping) == Outcome::Reply && ping.result == 1)) {
      wrong = " (allocation " + std::to_string(n) + ": result " + std::to_string(reply.result) +
              ", " + std::to_string(reply.lines.size()) + " lines, current directory " + now + ")";
    }
  }
  checks.Expect(failures > 0 && wrong.empty(),
                "each of " + std::to_string(failures) +
                    " allocations failing: a failed reply, nothing kept, the next ping answered" +
                    wrong);
  Reply quit;
  checks.Expect(Exchange(name, QuitRequest(), quit) == Outcome::Reply && quit.result == 1,
                "quit answered");
  service.join();
  RegDelete("HKCR\\CLSID\\" FIXTURE_SERVER_CLSID);
}

}  // namespace

int main() {
  PipeClass();
  ExceptionText();
  Texts();
  FailingRequests();
  return checks.Finish();
}
