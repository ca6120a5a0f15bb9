#include "regservice/pipe_service.h"

#include <windows.h>
// After windows.h, which it builds on.
#include <sddl.h>

#include <exception>
#include <new>
#include <vector>

#include "regservice/actions.h"
#include "regservice/named_pipe.h"
#include "regservice/overlapped.h"
#include "regservice/wire_format.h"

namespace {

constexpr DWORD kInBufferSize = 4096;
// No out buffer: see RunPipeService.
constexpr DWORD kOutBufferSize = 0;
constexpr DWORD kDefaultTimeOutMs = 1;
// How long a client may take to send its whole request after connecting, and to read its reply.
constexpr DWORD kClientTimeoutMs = 10000;

// One of the client's two spans of time, counted from its construction. An operation that ran
// out of it marks it missed: the client is then dropped.
class Deadline {
 public:
  explicit Deadline(DWORD timeoutMs) : m_end(GetTickCount64() + timeoutMs) {}

  DWORD Remaining() const {
    const ULONGLONG now = GetTickCount64();
    return now >= m_end ? 0 : static_cast<DWORD>(m_end - now);
  }
  bool Missed() const { return m_missed; }
  void Miss() { m_missed = true; }

 private:
  ULONGLONG m_end;
  bool m_missed = false;
};

// The service thread's overlapped operations on the pipe, one at a time, with one manual-reset
// event. Each is waited for here, so the OVERLAPPED and the buffer always outlive it.
class PipeIo {
 public:
  explicit PipeIo(CNamedPipe& pipe) : m_pipe(pipe) {
    m_overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (m_overlapped.hEvent == nullptr) CNamedPipe::ThrowPipeError();
  }
  ~PipeIo() { CloseHandle(m_overlapped.hEvent); }
  PipeIo(const PipeIo&) = delete;
  PipeIo& operator=(const PipeIo&) = delete;

  // Waits for the next client for as long as it takes. A client that connected before the call
  // (ERROR_PIPE_CONNECTED) is as connected as one the wait brings; any other failure shows in
  // the first read, so the result is not needed.
  void Connect() {
    // ReadFile and WriteFile reset the event when they begin; ConnectNamedPipe's page does not
    // say so.
    ResetEvent(m_overlapped.hEvent);
    if (m_pipe.Connect(&m_overlapped) || GetLastError() != ERROR_IO_PENDING) return;
    DWORD unused = 0;
    GetOverlappedResult(m_pipe.m_hPipe, &m_overlapped, &unused, TRUE);
  }

  // One read in message read mode: the bytes of the current message that fit (what is left of it
  // stays for the next read), or 0 when the read failed or ran out of time.
  DWORD Read(void* buffer, DWORD size, Deadline& deadline) {
    DWORD unused = 0;
    return Finish(m_pipe.Read(buffer, size, unused, &m_overlapped), deadline);
  }

  // True when the client has taken the whole message within the time left.
  bool Write(const void* data, DWORD size, Deadline& deadline) {
    DWORD unused = 0;
    return Finish(m_pipe.Write(data, size, unused, &m_overlapped), deadline) == size;
  }

 private:
  // Waits for the read or write that just returned started; its byte count, 0 on failure. A
  // message longer than the read is a success with part of it.
  DWORD Finish(BOOL started, Deadline& deadline) {
    DWORD bytes = 0;
    if (tesmar::FinishOverlapped(m_pipe.m_hPipe, m_overlapped, started, bytes,
                                 deadline.Remaining()) ||
        GetLastError() == ERROR_MORE_DATA) {
      return bytes;
    }
    if (GetLastError() == WAIT_TIMEOUT) deadline.Miss();
    return 0;
  }

  CNamedPipe& m_pipe;
  OVERLAPPED m_overlapped = {};
};

BYTE ServeFileRequest(const tesmar::Request& request) {
  if (request.path == nullptr) {
    AddMessage(kRefusedTitle, "the path field has no terminator within its 4096 bytes\r\n");
    return 0;
  }
  return request.unregister ? UnregisterFile(request.path) : RegisterFile(request.path);
}

// Runs the request; the result of its reply.
DWORD Serve(const tesmar::Request& request) {
  using Kind = tesmar::Request::Kind;
  switch (request.kind) {
    case Kind::Options:
      RegisterDelay = request.registerDelay;
      break;
    case Kind::File:
      return ServeFileRequest(request);
    case Kind::Ping:
    case Kind::Quit:
    case Kind::Unknown:
    case Kind::ShortPayload:
      break;
  }
  return 1;
}

// What a request's handling threw makes it fail: result 0 and one line that says why, in place
// of the lines it had gathered, which tell only part of what happened. Without the memory even
// for that line, the result alone says it.
DWORD Failed(std::exception_ptr error) noexcept {
  MessageList.RemoveAll();
  try {
    std::string why = "an unexpected error";
    try {
      std::rethrow_exception(error);
    } catch (const std::bad_alloc&) {
      why = "out of memory";
    } catch (const std::exception& e) {
      why = e.what();
    } catch (...) {
    }
    AddMessage(kFailedTitle, "the request could not be completed (" + why + ")\r\n");
  } catch (...) {
  }
  return 0;
}

// Returns when a quit request was answered or a payload came short (then without a reply).
// `buffered`: the system gave the pipe an out buffer after all, so a written reply is flushed.
void ServeRequests(CNamedPipe& pipe, bool buffered) {
  using Kind = tesmar::Request::Kind;
  PipeIo io(pipe);
  tesmar::FilePayload payload;
  for (;;) {
    io.Connect();
    MessageList.RemoveAll();
    Deadline requestTime(kClientTimeoutMs);
    const tesmar::Request request = tesmar::ReadRequest(
        [&](void* buffer, size_t size) -> size_t {
          return io.Read(buffer, static_cast<DWORD>(size), requestTime);
        },
        payload);
    // Cut off before its request was complete: it is gone, and the next client is served.
    if (requestTime.Missed()) {
      pipe.Disconnect();
      continue;
    }
    if (request.kind == Kind::ShortPayload) return;
    // A request that fails fails alone: the service answers it and goes on.
    DWORD result = 0;
    try {
      result = Serve(request);
    } catch (...) {
      result = Failed(std::current_exception());
    }
    if (request.kind != Kind::Unknown) {
      // Each write ends when the client has read its message (see RunPipeService), so once the
      // last one has, nothing is left for the disconnection to discard. After a failed write the
      // client gets nothing more.
      Deadline replyTime(kClientTimeoutMs);
      bool failed = false;
      tesmar::WriteReply(result, MessageList, [&](const void* data, size_t size) {
        if (!failed) failed = !io.Write(data, static_cast<DWORD>(size), replyTime);
      });
      // Without a deadline, but the reply is not cut short by the disconnection.
      if (buffered && !failed) pipe.Flush();
    }
    pipe.Disconnect();
    if (request.kind == Kind::Quit) return;
  }
}

// The SID of the user this process runs as, from its token, as SDDL text ("S-1-5-21-...").
std::string ProcessUserSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) CNamedPipe::ThrowPipeError();
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<BYTE> user(size);
  const BOOL got = GetTokenInformation(token, TokenUser, user.data(), size, &size);
  const DWORD error = GetLastError();
  CloseHandle(token);
  LPSTR text = nullptr;
  if (!got ||
      !ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &text)) {
    CNamedPipe::ThrowPipeError(got ? GetLastError() : error);
  }
  std::string sid = text;
  LocalFree(text);
  return sid;
}

// The pipe's security: full access for the user this process runs as, SYSTEM and the
// Administrators, nothing for anyone else. Without it CreateNamedPipe gives the pipe the default
// descriptor, whose DACL also grants read access to Everyone and to the anonymous account (Named
// Pipe Security and Access Rights), so that any local reader could hold the one instance.
class PipeSecurity {
 public:
  // Throws CNamedPipeException* when it cannot be made.
  PipeSecurity() {
    // "P": no entries inherited from elsewhere (SE_DACL_PROTECTED). FA is FILE_ALL_ACCESS for
    // SYSTEM (SY), the Administrators (BA) and the user. Users logged on over the network (NU)
    // are denied first, a second guard beside PIPE_REJECT_REMOTE_CLIENTS.
    const std::string sddl =
        "D:P(D;;FA;;;NU)(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;" + ProcessUserSid() + ")";
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                              &m_descriptor, nullptr)) {
      CNamedPipe::ThrowPipeError();
    }
    m_attributes = {sizeof m_attributes, m_descriptor, FALSE};
  }
  ~PipeSecurity() { LocalFree(m_descriptor); }
  PipeSecurity(const PipeSecurity&) = delete;
  PipeSecurity& operator=(const PipeSecurity&) = delete;

  SECURITY_ATTRIBUTES* Attributes() { return &m_attributes; }

 private:
  PSECURITY_DESCRIPTOR m_descriptor = nullptr;
  SECURITY_ATTRIBUTES m_attributes = {};
};

}  // namespace

void RunPipeService(const std::string& name) {
  CNamedPipe pipe;
  try {
    // Overlapped, so that the service's one thread can give up on a client that goes silent.
    // The system serialises the I/O on a handle without FILE_FLAG_OVERLAPPED (CreateFile): a
    // call on it from another thread waits until the pending one has completed, so nothing
    // could end a read or flush that waits for a silent client, not even DisconnectNamedPipe.
    //
    // No out buffer, because waiting for the client to read the reply needs a deadline too:
    // FlushFileBuffers would wait with none (and has no overlapped form), and a write that fits
    // the out buffer completes before the client has read anything. A write larger than what is
    // left of the out buffer's quota completes only once the client has read the data
    // (CreateNamedPipe, on buffer sizes); with no quota at all that is every write of the reply,
    // whose messages are never empty.
    //
    // The service loads whatever module it is asked to, so whoever reaches the pipe runs code as
    // its user: it takes no requests from other machines (PIPE_REJECT_REMOTE_CLIENTS), only the
    // user, SYSTEM and the Administrators may open it (PipeSecurity), and the pipe must be its
    // own. With FILE_FLAG_FIRST_PIPE_INSTANCE, creating an instance of a pipe that exists
    // already fails with ERROR_ACCESS_DENIED (CreateNamedPipe): a name that another program took
    // first, with permissions and room for instances of its own, ends the service at once
    // instead of making it serve under them, as a second Tesmar on the same name ends.
    PipeSecurity security;
    pipe.Create(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                PIPE_TYPE_MESSAGE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                kOutBufferSize, kInBufferSize, kDefaultTimeOutMs, security.Attributes());
    // Each query throws when the pipe is unusable, which also catches a failed creation.
    pipe.IsBlocking();
    pipe.Flags();
    pipe.IsServerEnd();
    pipe.IsMessageReadMode();
    // The pipe is ours alone only as its one instance. A system that ignores
    // FILE_FLAG_FIRST_PIPE_INSTANCE joins a taken name all the same; the count shows it.
    if (pipe.CurrentInstances() != 1) CNamedPipe::ThrowPipeError(ERROR_ACCESS_DENIED);
    // Buffer sizes are advisory: a system that gives the pipe an out buffer anyway would let
    // replies be cut short by the disconnection, so there the service flushes each reply, which
    // waits for a client that stops reading without a deadline: still served, less guarded.
    const bool buffered = pipe.OutBufferSize() != kOutBufferSize;
    pipe.InBufferSize();
    pipe.MaxInstances();
    pipe.SetReadMode(FALSE, TRUE);
    pipe.IsMessageReadMode();
    ServeRequests(pipe, buffered);
  } catch (CNamedPipeException* e) {
    e->Delete();
  }
  pipe.Close();
}
