#include "regservice/pipe_service.h"

#include <windows.h>

#include "regservice/actions.h"
#include "regservice/named_pipe.h"
#include "regservice/wire_format.h"

namespace {

constexpr DWORD kBufferSize = 4096;
constexpr DWORD kDefaultTimeOutMs = 1;

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
    const tesmar::Request request = tesmar::ReadRequest(read, payload);
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
    if (request.kind != Kind::Unknown) {
      tesmar::WriteReply(result, MessageList, [&pipe](const void* data, size_t size) {
        DWORD written = 0;
        pipe.Write(data, static_cast<DWORD>(size), written);
      });
    }
    // Waits until the client has read the reply before cutting the connection.
    pipe.Flush();
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
