// tesmar-client: sends one request to a running Tesmar and prints its answer.
//   tesmar-client [--timeout MS] PIPENAME COMMAND [FILE]
// Prints the result and then every report line, one a line, as the service sent them (control
// characters other than line ends written as \xNN). Exit code:
// 0 when the result is 1, 1 when it is 0, 2 for bad usage, 3 when no service answered in time.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <charconv>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "regservice/pipe_client.h"
#include "regservice/wire_format.h"
#include "runtime/codepage.h"
#include "runtime/win32.h"

namespace {

enum ExitCode { kResultOne = 0, kResultZero = 1, kBadUsage = 2, kNoAnswer = 3 };

constexpr DWORD kDefaultTimeoutMs = 5000;

constexpr char kUsage[] =
    "usage: tesmar-client [--timeout MS] PIPENAME COMMAND [FILE]\n"
    "  COMMAND: ping | delay on|off | register FILE | unregister FILE | quit\n"
    "  Sends the request to the Tesmar serving \\\\.\\PIPE\\PIPENAME and prints the result and\n"
    "  every report line. A relative FILE is taken from the current folder. --timeout bounds\n"
    "  the wait for the pipe (while it is missing or busy) and for each part of the reply\n"
    "  (default 5000 ms).\n"
    "  Exit code: 0 result 1, 1 result 0, 2 bad usage, 3 no answer within the time-out.\n";

int Fail(int code, const std::string& message) {
  std::fprintf(stderr, "tesmar-client: %s\n", message.c_str());
  if (code == kBadUsage) std::fputs(kUsage, stderr);
  return code;
}

// The argument in the ANSI code page, the service's encoding; nothing when a character has no
// place there (the service would be sent another name).
std::optional<std::string> Ansi(const wchar_t* argument) {
  const int size =
      WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, argument, -1, nullptr, 0, nullptr, nullptr);
  std::string text(size, '\0');
  BOOL lossy = FALSE;
  if (size == 0 ||
      WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, argument, -1, text.data(), size, nullptr,
                          &lossy) == 0 ||
      lossy) {
    return std::nullopt;
  }
  text.pop_back();
  return text;
}

bool IsAbsolute(const std::string& path) {
  const bool drive = path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
  return drive || path.rfind("\\\\", 0) == 0;
}

// path made absolute against the current folder; an absolute path is sent as it is.
std::optional<std::string> Absolute(const std::string& path) {
  if (IsAbsolute(path)) return path;
  const DWORD size = GetFullPathNameA(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return std::nullopt;
  std::string full(size, '\0');
  const DWORD length = GetFullPathNameA(path.c_str(), size, full.data(), nullptr);
  if (length == 0 || length >= size) return std::nullopt;
  full.resize(length);
  return full;
}

std::string SystemText(DWORD code) {
  const std::u16string words = runtime::SystemWordsTrimmed(code);
  return words.empty() ? "error " + std::to_string(code) : runtime::ToAnsi(words);
}

// The line with every control character but its line ends (LF, CR LF) written as \xNN: what
// the server sends must not drive the console (an escape sequence, a CR that writes over what
// was printed), whoever serves the pipe.
std::string Escaped(const std::string& line) {
  std::string text;
  for (size_t i = 0; i < line.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(line[i]);
    const bool lineEnd = c == '\n' || (c == '\r' && i + 1 < line.size() && line[i + 1] == '\n');
    if ((c < 0x20 || c == 0x7F) && !lineEnd) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      text += escaped;
    } else {
      text += static_cast<char>(c);
    }
  }
  return text;
}

void PrintLine(const std::string& line) {
  const std::string text = Escaped(line);
  std::fwrite(text.data(), 1, text.size(), stdout);
  // The system's texts end their lines themselves.
  if (text.empty() || text.back() != '\n') std::fputs("\r\n", stdout);
}

}  // namespace

int wmain(int argc, wchar_t** wargv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    std::optional<std::string> arg = Ansi(wargv[i]);
    if (!arg) {
      return Fail(kBadUsage, "argument " + std::to_string(i) +
                                 " has characters outside code page " + std::to_string(GetACP()) +
                                 ", which Tesmar reads");
    }
    args.push_back(*arg);
  }

  DWORD timeoutMs = kDefaultTimeoutMs;
  size_t next = 0;
  if (!args.empty() && args[0] == "--timeout") {
    if (args.size() < 2) return Fail(kBadUsage, "--timeout needs a number of milliseconds");
    const std::string& value = args[1];
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), timeoutMs);
    if (value.empty() || error != std::errc() || end != value.data() + value.size()) {
      return Fail(kBadUsage,
                  "--timeout takes milliseconds from 0 to 4294967295, not \"" + value + "\"");
    }
    next = 2;
  }
  if (args.size() < next + 2) return Fail(kBadUsage, "PIPENAME and COMMAND are needed");
  const std::string& pipeName = args[next];
  const std::string& command = args[next + 1];
  const std::vector<std::string> operands(args.begin() + next + 2, args.end());

  std::string request;
  if ((command == "ping" || command == "quit") && operands.empty()) {
    request = tesmar::EncodeWord(command == "ping" ? tesmar::REQ_PING : tesmar::REQ_QUIT);
  } else if (command == "delay" && operands.size() == 1 &&
             (operands[0] == "on" || operands[0] == "off")) {
    request = tesmar::EncodeOptionsRequest({0, static_cast<std::uint8_t>(operands[0] == "on"), 0});
  } else if ((command == "register" || command == "unregister") && operands.size() == 1) {
    if (operands[0].empty()) return Fail(kBadUsage, "FILE is empty");
    const std::optional<std::string> path = Absolute(operands[0]);
    if (!path) {
      return Fail(kBadUsage,
                  "cannot make \"" + operands[0] + "\" absolute: " + SystemText(GetLastError()));
    }
    // Cut, it would name another file.
    if (path->size() >= tesmar::kPathFieldSize) {
      return Fail(kBadUsage, "FILE is " + std::to_string(path->size()) +
                                 " bytes long; Tesmar takes at most " +
                                 std::to_string(tesmar::kPathFieldSize - 1));
    }
    request = tesmar::EncodeFileRequest(
        command == "register" ? tesmar::kOperationRegister : tesmar::kOperationUnregister, *path);
  } else {
    return Fail(kBadUsage, "unknown command or wrong operands: \"" + command + "\"");
  }

  tesmar::Reply reply;
  const std::string pipe = tesmar::FullPipeName(pipeName);
  const std::string within = " within " + std::to_string(timeoutMs) + " ms";
  switch (tesmar::Exchange(pipeName, timeoutMs, {request}, reply)) {
    case tesmar::Outcome::Reply:
      break;
    case tesmar::Outcome::NoServer: {
      const DWORD error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND) return Fail(kNoAnswer, "no " + pipe + within);
      if (error == ERROR_PIPE_BUSY || error == ERROR_SEM_TIMEOUT) {
        return Fail(kNoAnswer, pipe + " stayed busy with another client for " +
                                   std::to_string(timeoutMs) + " ms");
      }
      return Fail(kNoAnswer, "cannot open " + pipe + ": " + SystemText(error));
    }
    case tesmar::Outcome::NoReply:
      return Fail(kNoAnswer, pipe + " closed the connection without a reply");
    case tesmar::Outcome::Timeout:
      return Fail(kNoAnswer, "no reply from " + pipe + within);
    case tesmar::Outcome::Malformed:
      return Fail(kNoAnswer, "the reply from " + pipe + " is not in Tesmar's wire format");
  }

  // Binary: the lines go out byte for byte, with the system's own line ends.
  _setmode(_fileno(stdout), _O_BINARY);
  PrintLine(std::to_string(reply.result));
  for (const std::string& line : reply.lines) PrintLine(line);
  std::fflush(stdout);
  return reply.result == 1 ? kResultOne : kResultZero;
}
