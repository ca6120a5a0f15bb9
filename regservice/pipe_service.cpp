#include "regservice/pipe_service.h"

#include <windows.h>

#include <atomic>

#include "regservice/actions.h"
#include "regservice/named_pipe.h"
#include "regservice/wire_format.h"

namespace {

constexpr DWORD kBufferSize = 4096;
constexpr DWORD kDefaultTimeOutMs = 1;
// How long a client may take to send its whole request after connecting, and to read its reply.
constexpr DWORD kClientTimeoutMs = 10000;

// Disconnects the client if it is still connected when the time is up, which ends whatever read,
// write or flush of the service waits for it: one silent client must not hold the only pipe
// instance for ever. The timer runs on a pool thread; Stop waits for it.
class ClientDeadline {
 public:
  ClientDeadline(CNamedPipe& pipe, DWORD timeoutMs) : m_pipe(pipe) {
    // Without a timer this connection has no deadline, as if there were no limit at all.
    if (!CreateTimerQueueTimer(&m_timer, nullptr, &ClientDeadline::Expire, this, timeoutMs, 0,
                               WT_EXECUTEONLYONCE)) {
      m_timer = nullptr;
    }
  }
  ~ClientDeadline() { Stop(); }
  ClientDeadline(const ClientDeadline&) = delete;
  ClientDeadline& operator=(const ClientDeadline&) = delete;

  // Stops the timer, waiting for an expiry under way; true when the client was cut off. After
  // this the deadline can no longer touch the pipe, so it never cuts off a later client.
  bool Stop() {
    if (m_timer != nullptr) {
      DeleteTimerQueueTimer(nullptr, m_timer, INVALID_HANDLE_VALUE);
      m_timer = nullptr;
    }
    return m_expired;
  }

 private:
  static VOID CALLBACK Expire(PVOID context, BOOLEAN) {
    auto* self = static_cast<ClientDeadline*>(context);
    self->m_expired = true;
    self->m_pipe.Disconnect();
  }

  CNamedPipe& m_pipe;
  HANDLE m_timer = nullptr;
  std::atomic<bool> m_expired = false;
};

BYTE ServeFileRequest(const tesmar::Request& request) {
  if (request.path == nullptr) {
    AddMessage(kRefusedTitle, "the path field has no terminator within its 4096 bytes\r\n");
    return 0;
  }
  return request.unregister ? UnregisterFile(request.path) : RegisterFile(request.path);
}

// Returns when a quit request was answered or a payload came short (then without a reply).
void ServeRequests(CNamedPipe& pipe) {
  using Kind = tesmar::Request::Kind;
  const tesmar::ReadFunction read = [&pipe](void* buffer, size_t size) -> size_t {
    DWORD bytesRead = 0;
    pipe.Read(buffer, static_cast<DWORD>(size), bytesRead);
    return bytesRead;
  };
  tesmar::FilePayload payload;
  for (;;) {
    // A client that connected before this call is served as well, so the result is not needed.
    pipe.Connect();
    MessageList.RemoveAll();
    tesmar::Request request;
    {
      ClientDeadline deadline(pipe, kClientTimeoutMs);
      request = tesmar::ReadRequest(read, payload);
      // Cut off before its request was complete: it is gone, and the next client is served.
      if (deadline.Stop()) continue;
    }
    DWORD result = 1;
    switch (request.kind) {
      case Kind::Ping:
      case Kind::Quit:
      case Kind::Unknown:
        break;
      case Kind::Options:
        RegisterDelay = request.registerDelay;
        break;
      case Kind::File:
        result = ServeFileRequest(request);
        break;
      case Kind::ShortPayload:
        return;
    }
    {
      ClientDeadline deadline(pipe, kClientTimeoutMs);
      if (request.kind != Kind::Unknown) {
        tesmar::WriteReply(result, MessageList, [&pipe](const void* data, size_t size) {
          DWORD written = 0;
          pipe.Write(data, static_cast<DWORD>(size), written);
        });
      }
      // Waits until the client has read the reply before cutting the connection.
      pipe.Flush();
    }
    pipe.Disconnect();
    if (request.kind == Kind::Quit) return;
  }
}

}  // namespace

void RunPipeService(const std::string& name) {
  CNamedPipe pipe;
  try {
    // The service loads whatever module it is asked to, so it takes no requests from other
    // machines.
    pipe.Create(name, PIPE_ACCESS_DUPLEX,
                PIPE_TYPE_MESSAGE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                kBufferSize, kBufferSize, kDefaultTimeOutMs, nullptr);
    // Each query throws when the pipe is unusable, which also catches a failed creation.
    pipe.IsBlocking();
    pipe.Flags();
    pipe.IsServerEnd();
    pipe.IsMessageReadMode();
    pipe.CurrentInstances();
    pipe.OutBufferSize();
    pipe.InBufferSize();
    pipe.MaxInstances();
    pipe.SetReadMode(FALSE, TRUE);
    pipe.IsMessageReadMode();
    ServeRequests(pipe);
  } catch (CNamedPipeException* e) {
    e->Delete();
  }
  pipe.Close();
}
