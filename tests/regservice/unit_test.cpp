// Tesmar's building blocks in-process under Wine: the pipe class and its exception, the error
// texts and the case-blind search, and the service's request loop with an allocator that fails
// on demand.
#include <windows.h>

#include <gtest/gtest.h>

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

TEST(NamedPipe, ANewPipeHasNoHandleAndItsQueriesThrowTheLastError) {
  CNamedPipe pipe;
  EXPECT_TRUE(pipe.m_hPipe == INVALID_HANDLE_VALUE && pipe.m_bOwnsHandle)
      << "a new pipe has no handle and owns what it gets";
  EXPECT_EQ(ThrownError([&] { pipe.IsBlocking(); }), DWORD{ERROR_INVALID_HANDLE}) << "a query";
  EXPECT_EQ(ThrownError([&] { pipe.MaxInstances(); }), DWORD{ERROR_INVALID_HANDLE})
      << "an information query";
  EXPECT_EQ(ThrownError([&] { pipe.SetReadMode(FALSE, TRUE); }), DWORD{ERROR_INVALID_HANDLE})
      << "a mode change";
}

TEST(NamedPipe, ANameOver250CharactersIsRefusedNotCut) {
  CNamedPipe pipe;
  const std::string name = UniquePipeName("unit");
  const BOOL created = pipe.Create(name + std::string(251 - name.size(), 'n'), PIPE_ACCESS_DUPLEX,
                                   PIPE_TYPE_MESSAGE, 1, 4096, 4096, 1, nullptr);
  const DWORD error = GetLastError();
  EXPECT_EQ(created, FALSE);
  EXPECT_EQ(error, DWORD{ERROR_FILENAME_EXCED_RANGE});
  EXPECT_EQ(pipe.m_hPipe, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(PipeAbsent(name + std::string(250 - name.size(), 'n')))
      << "a refused name is not cut to 250 characters";
}

TEST(NamedPipe, ACreatedPipeReportsWhatItWasMadeWithAndTakesModeChanges) {
  CNamedPipe pipe;
  const std::string name = UniquePipeName("unit");
  ASSERT_EQ(
      pipe.Create(name, PIPE_ACCESS_DUPLEX,
                  PIPE_TYPE_MESSAGE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                  1, 4096, 2048, 1, nullptr),
      TRUE);
  EXPECT_TRUE(pipe.IsBlocking());
  EXPECT_TRUE(pipe.IsServerEnd());
  EXPECT_NE(pipe.Flags() & PIPE_TYPE_MESSAGE, 0u) << "message type";
  EXPECT_FALSE(pipe.IsMessageReadMode()) << "byte read mode at creation";
  EXPECT_EQ(pipe.MaxInstances(), 1u);
  EXPECT_EQ(pipe.OutBufferSize(), 4096u);
  EXPECT_EQ(pipe.InBufferSize(), 2048u);
  EXPECT_EQ(pipe.CurrentInstances(), 1u);
  pipe.SetReadMode(FALSE, TRUE);
  EXPECT_TRUE(pipe.IsMessageReadMode() && pipe.IsBlocking()) << "message read mode, blocking";
  pipe.SetReadMode(TRUE, FALSE);
  EXPECT_TRUE(!pipe.IsMessageReadMode() && !pipe.IsBlocking()) << "byte read mode, non-blocking";

  CNamedPipe second;
  second.Create(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE, 1, 4096, 4096, 1, nullptr);
  EXPECT_EQ(ThrownError([&] { second.IsBlocking(); }), DWORD{ERROR_INVALID_HANDLE})
      << "a second instance of a one-instance pipe fails its first query";

  pipe.Close();
  EXPECT_TRUE(pipe.m_hPipe == INVALID_HANDLE_VALUE && PipeAbsent(name)) << "Close";
  pipe.Close();
}

TEST(NamedPipeException, GetErrorMessageGivesTheSystemsTextCutToTheBuffer) {
  char text[256];
  UINT help = 7;
  CNamedPipeException* e = new CNamedPipeException(ERROR_ACCESS_DENIED);
  LPSTR system = nullptr;
  FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                 ERROR_ACCESS_DENIED, MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT),
                 reinterpret_cast<LPSTR>(&system), 0, nullptr);
  const std::string expected = system;
  LocalFree(system);
  EXPECT_EQ(e->GetErrorMessage(text, sizeof text, &help), TRUE);
  EXPECT_EQ(help, 0u) << "the help context is cleared";
  EXPECT_EQ(text, expected);
  EXPECT_EQ(e->GetErrorMessage(text, 5), TRUE) << "into a small buffer";
  EXPECT_EQ(text, expected.substr(0, 4)) << "size - 1 characters";
  e->Delete();

  CNamedPipeException* unknown = new CNamedPipeException(0x2000FFFF);
  text[0] = 'x';
  EXPECT_TRUE(unknown->GetErrorMessage(text, sizeof text) == FALSE && text[0] == '\0')
      << "a code without text";
  unknown->Delete();
}

TEST(ErrorText, NamesTheFileBeforeTheSystemsTextUnlessTheCodeIsAnnounced) {
  EXPECT_EQ(ErrorText(0, "C:\\a.dll", false), "") << "0 without force";
  EXPECT_EQ(ErrorText(ERROR_ALREADY_EXISTS, "C:\\a.dll", false), "") << "183 without force";
  EXPECT_EQ(ErrorText(0, "C:\\a.dll", true), "C:\\a.dll " + SystemText(0)) << "0 with force";
  EXPECT_EQ(ErrorText(ERROR_PROC_NOT_FOUND, "C:\\a.dll", false),
            "C:\\a.dll " + SystemText(ERROR_PROC_NOT_FOUND));
  EXPECT_EQ(ErrorText(ERROR_PROC_NOT_FOUND, "", true), SystemText(ERROR_PROC_NOT_FOUND))
      << "no name, no blank";
  const std::string system = SystemText(ERROR_PROC_NOT_FOUND);
  EXPECT_TRUE(system.size() > 2 && system.substr(system.size() - 2) == "\r\n")
      << "system texts keep their closing CR LF";
  EXPECT_EQ(ErrorText(0x2000FFFF, "C:\\a.dll", true), "C:\\a.dll ") << "code without text";
}

TEST(Messages, AddMessageTitlesALineFindNoCaseFindsAnyCaseAndPumpMessagesEmptiesTheQueue) {
  MessageList.RemoveAll();
  AddMessage("Title", "text\r\n");
  EXPECT_TRUE(MessageList.GetCount() == 1 && *MessageList.begin() == "Title: text\r\n")
      << "AddMessage titles its line";
  MessageList.RemoveAll();

  EXPECT_EQ(FindNoCase("C:\\x.TLBfiles\\a.dll", ".tlb"), 4) << "upper case";
  EXPECT_EQ(FindNoCase(".Tlb", ".tlb"), 0) << "position 0";
  EXPECT_EQ(FindNoCase("C:\\a.dll", ".tlb"), -1) << "absent";
  EXPECT_EQ(FindNoCase("", ".tlb"), -1) << "empty string";

  PostThreadMessageA(GetCurrentThreadId(), WM_USER, 0, 0);
  PumpMessages();
  MSG msg;
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE)) << "PumpMessages empties the queue";
}

// A registration that runs out of memory, at each of its allocations in turn, fails alone: it is
// answered with result 0 and the line that says why, the module is freed, the current directory
// is restored, and the next request is served.
TEST(PipeService, ARegistrationOutOfMemoryAtAnyAllocationFailsAlone) {
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
      EXPECT_TRUE(outcome == Outcome::Reply && reply.result == 1)
          << "a registration with every allocation served registers";
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
  EXPECT_GT(failures, 0);
  EXPECT_TRUE(wrong.empty()) << "each of " << failures
                             << " allocations failing: a failed reply, nothing kept, the next "
                                "ping answered"
                             << wrong;
  Reply quit;
  EXPECT_TRUE(Exchange(name, QuitRequest(), quit) == Outcome::Reply && quit.result == 1)
      << "quit answered";
  service.join();
  RegDelete("HKCR\\CLSID\\" FIXTURE_SERVER_CLSID);
}

}  // namespace
