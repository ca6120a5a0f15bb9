#include "regservice/pipe_service.h"

#include <algorithm>
#include <cstring>

#include "regservice/actions.h"
#include "regservice/named_pipe.h"

namespace {

constexpr DWORD kBufferSize = 4096;
constexpr DWORD kDefaultTimeOutMs = 1;
constexpr DWORD kOptionsPayloadSize = 3;
constexpr size_t kMaxLineLength = 512;

// Payload of REQ_FILE; operation 0 registers, any other value unregisters.
struct FileRequest {
  DWORD operation;
  DWORD unused;
  char path[4096];
};
static_assert(sizeof(FileRequest) == 4104);

BYTE ServeFileRequest(const FileRequest& request) {
  // The path must end inside its field; reading on would run past the request.
  if (std::memchr(request.path, '\0', sizeof request.path) == nullptr) {
    AddMessage(kRefusedTitle, "the path field has no terminator within its 4096 bytes\r\n");
    return 0;
  }
  return request.operation == 0 ? RegisterFile(request.path) : UnregisterFile(request.path);
}

void WriteWord(CNamedPipe& pipe, DWORD value) {
  DWORD written = 0;
  pipe.Write(&value, sizeof value, written);
}

// Result, line count, then each line as its length and its first (at most 512) bytes; every
// field is one message.
void SendReply(CNamedPipe& pipe, DWORD result) {
  WriteWord(pipe, result);
  WriteWord(pipe, static_cast<DWORD>(MessageList.GetCount()));
  for (const std::string& line : MessageList) {
    const DWORD length = static_cast<DWORD>(std::min(line.size(), kMaxLineLength));
    WriteWord(pipe, length);
    DWORD written = 0;
    pipe.Write(line.data(), length, written);
  }
}

// Returns when a quit request was answered or a payload came short (then without a reply).
void ServeRequests(CNamedPipe& pipe) {
  for (;;) {
    // A client that connected before this call is served as well, so the result is not needed.
    pipe.Connect();
    MessageList.RemoveAll();
    DWORD result = 1;
    DWORD command = 0;
    DWORD bytesRead = 0;
    // In message read mode a longer message yields its first 4 bytes (ERROR_MORE_DATA) and keeps
    // the rest for the payload read, so only the byte count tells whether a command arrived. A
    // failed or short read leaves no command: it is answered like an unknown one.
    pipe.Read(&command, sizeof command, bytesRead);
    if (bytesRead != sizeof command) command = 0;
    bool reply = true;
    switch (command) {
      case REQ_PING:
      case REQ_QUIT:
        break;
      case REQ_OPTIONS: {
        BYTE payload[kOptionsPayloadSize];
        pipe.Read(payload, sizeof payload, bytesRead);
        if (bytesRead != sizeof payload) return;
        RegisterDelay = payload[1];
        break;
      }
      case REQ_FILE: {
        FileRequest request;
        pipe.Read(&request, sizeof request, bytesRead);
        if (bytesRead != sizeof request) return;
        result = ServeFileRequest(request);
        break;
      }
      default:
        reply = false;
        break;
    }
    if (reply) SendReply(pipe, result);
    // Waits until the client has read the reply before cutting the connection.
    pipe.Flush();
    pipe.Disconnect();
    if (command == REQ_QUIT) return;
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
