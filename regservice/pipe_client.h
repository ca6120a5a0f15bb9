// The client's end of Tesmar's named pipe: connecting, one request and its reply. Shared by
// tesmar-client and the tests.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace tesmar {

// Opens \\.\pipe\name for overlapped message reads, waiting up to timeoutMs while the pipe does
// not exist yet or is busy with another client. INVALID_HANDLE_VALUE when not served in time; the
// last error then tells why (ERROR_FILE_NOT_FOUND: no such pipe; ERROR_PIPE_BUSY or
// ERROR_SEM_TIMEOUT: it stayed busy).
HANDLE OpenPipe(const std::string& name, DWORD timeoutMs);

// Writes message as one message; false when it was not taken whole within timeoutMs.
bool WriteMessage(HANDLE pipe, const std::string& message, DWORD timeoutMs);

enum class ReadStatus { Message, TooLong, Broken, Timeout };
// Reads one message of at most 64 KB.
ReadStatus ReadMessage(HANDLE pipe, std::string& message, DWORD timeoutMs);

enum class Outcome {
  Reply,      // result, count and lines, each field one message of the exact size
  NoReply,    // the server disconnected without writing anything
  Malformed,  // a message of the wrong size, or more messages than the count announced
  NoServer,   // the pipe could not be opened (the last error tells why)
  Timeout,    // the server neither answered nor disconnected in time
};

struct Reply {
  DWORD result = 0;
  std::vector<std::string> lines;
};

// Reads a reply from an open pipe until the server disconnects, waiting up to timeoutMs for each
// message.
Outcome ReadReply(HANDLE pipe, DWORD timeoutMs, Reply& reply);

// Connects to pipe name, writes each of messages as one message, then reads the reply. timeoutMs
// bounds the wait for the pipe and for each message.
Outcome Exchange(const std::string& name, DWORD timeoutMs, const std::vector<std::string>& messages,
                 Reply& reply);

}  // namespace tesmar
