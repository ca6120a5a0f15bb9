#include "regservice/pipe_client.h"

#include "regservice/overlapped.h"
#include "regservice/wire_format.h"

namespace tesmar {

namespace {

// One overlapped operation of this thread, with an event of its own.
class Operation {
 public:
  Operation() { m_overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
  ~Operation() { CloseHandle(m_overlapped.hEvent); }
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  OVERLAPPED* get() { return &m_overlapped; }

  bool Finish(HANDLE pipe, BOOL started, DWORD& bytes, DWORD timeoutMs) {
    return FinishOverlapped(pipe, m_overlapped, started, bytes, timeoutMs);
  }

 private:
  OVERLAPPED m_overlapped = {};
};

}  // namespace

HANDLE OpenPipe(const std::string& name, DWORD timeoutMs) {
  const std::string full = FullPipeName(name);
  const DWORD start = GetTickCount();
  for (;;) {
    // SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION: the server may learn who the client is,
    // but not act as it. Without them, CreateFile lets the server of a pipe impersonate its
    // client at the SecurityImpersonation level, with all the client's rights on this machine;
    // whoever serves the name (it may not be Tesmar) would gain them.
    HANDLE pipe = CreateFileA(
        full.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
        FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) {
      DWORD mode = PIPE_READMODE_MESSAGE;
      SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
      return pipe;
    }
    const DWORD error = GetLastError();
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= timeoutMs || (error != ERROR_PIPE_BUSY && error != ERROR_FILE_NOT_FOUND)) {
      SetLastError(error);
      return INVALID_HANDLE_VALUE;
    }
    // Busy: the server still serves another client. Absent: not created yet.
    if (error == ERROR_PIPE_BUSY) {
      WaitNamedPipeA(full.c_str(), timeoutMs - elapsed);
    } else {
      Sleep(2);
    }
  }
}

bool WriteMessage(HANDLE pipe, const std::string& message, DWORD timeoutMs) {
  Operation write;
  const BOOL started =
      WriteFile(pipe, message.data(), static_cast<DWORD>(message.size()), nullptr, write.get());
  DWORD bytes = 0;
  return write.Finish(pipe, started, bytes, timeoutMs) && bytes == message.size();
}

ReadStatus ReadMessage(HANDLE pipe, std::string& message, DWORD timeoutMs) {
  std::string buffer(65536, '\0');
  Operation read;
  const BOOL started =
      ReadFile(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, read.get());
  DWORD bytes = 0;
  if (!read.Finish(pipe, started, bytes, timeoutMs)) {
    const DWORD error = GetLastError();
    if (error == WAIT_TIMEOUT) return ReadStatus::Timeout;
    if (error == ERROR_MORE_DATA) return ReadStatus::TooLong;
    return ReadStatus::Broken;
  }
  message.assign(buffer.data(), bytes);
  return ReadStatus::Message;
}

Outcome ReadReply(HANDLE pipe, DWORD timeoutMs, Reply& reply) {
  ReplyReader reader;
  ReplyReader::State state = ReplyReader::State::NeedMore;
  Outcome outcome = Outcome::Malformed;
  for (bool first = true;; first = false) {
    std::string message;
    const ReadStatus status = ReadMessage(pipe, message, timeoutMs);
    if (status == ReadStatus::Timeout) {
      outcome = Outcome::Timeout;
      break;
    }
    // The server disconnects after its reply; anything more, or less, is a fault.
    if (status == ReadStatus::Broken) {
      outcome = first                                   ? Outcome::NoReply
                : state == ReplyReader::State::Complete ? Outcome::Reply
                                                        : Outcome::Malformed;
      break;
    }
    if (status == ReadStatus::TooLong) break;
    state = reader.Take(message);
    if (state == ReplyReader::State::Malformed) break;
  }
  reply.result = reader.Result();
  reply.lines = reader.Lines();
  return outcome;
}

Outcome Exchange(const std::string& name, DWORD timeoutMs, const std::vector<std::string>& messages,
                 Reply& reply) {
  reply = Reply{};
  HANDLE pipe = OpenPipe(name, timeoutMs);
  if (pipe == INVALID_HANDLE_VALUE) return Outcome::NoServer;
  // A write the server never takes in full is answered by what it does next, so write failures
  // only stop further writes.
  for (const std::string& message : messages) {
    if (!WriteMessage(pipe, message, timeoutMs)) break;
  }
  const Outcome outcome = ReadReply(pipe, timeoutMs, reply);
  CloseHandle(pipe);
  return outcome;
}

}  // namespace tesmar
