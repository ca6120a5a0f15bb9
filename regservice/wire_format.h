// The wire format of Tesmar's named pipe, the one both the service and its clients include:
// the commands, the request and payload layout, the reply fields and the line cap, with the
// service's request decoding and the reply's encoding and reading. All integers are 32-bit
// little-endian; text is ANSI. Portable C++ (no Windows headers), so that the decoding is also
// built and fuzzed on Linux.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace tesmar {

// The layouts below are the bytes on the wire, read and written in place.
static_assert(std::endian::native == std::endian::little);

// ---- requests, client to server ----

// The command: the first 32-bit word of a request. Any other value is unknown (no reply).
enum : std::uint32_t { REQ_PING = 10, REQ_OPTIONS = 11, REQ_FILE = 12, REQ_QUIT = 100 };

inline constexpr std::size_t kWordSize = 4;

// The service's pipe is this followed by the name it was started with, for it and its clients.
inline constexpr char kPipePrefix[] = "\\\\.\\PIPE\\";
inline std::string FullPipeName(const std::string& name) {
  return kPipePrefix + name;
}

// REQ_OPTIONS payload: byte 1 becomes RegisterDelay (non-zero: registering a module waits 8 ms
// before looking up its entry); bytes 0 and 2 have no effect.
struct OptionsPayload {
  std::uint8_t unused0;
  std::uint8_t registerDelay;
  std::uint8_t unused2;
};
static_assert(sizeof(OptionsPayload) == 3);

// REQ_FILE payload: 4104 bytes, not 4100.
inline constexpr std::uint32_t kOperationRegister = 0;
inline constexpr std::uint32_t kOperationUnregister = 1;  // as does any other value but 0
inline constexpr std::size_t kPathFieldSize = 4096;
struct FilePayload {
  std::uint32_t operation;
  std::uint32_t unused;
  char path[kPathFieldSize];  // NUL-terminated; the bytes after the terminator are not used
};
static_assert(sizeof(FilePayload) == 4104);
static_assert(offsetof(FilePayload, operation) == 0 && offsetof(FilePayload, path) == 8);

// ---- reply, server to client ----
// For REQ_PING, REQ_OPTIONS, REQ_FILE and REQ_QUIT, never for an unknown command. Every field is
// one message of its own: the result (4 bytes: 1, or for REQ_FILE the action's 0 or 1), the
// count N of report lines (4), then N times the line's length L (4) and its first L bytes.
inline constexpr std::size_t kMaxLineLength = 512;
// The most lines a reply holds: registering a module reports its first load attempt, the entry's
// lookup, the entry's call and the start as a local server.
inline constexpr std::uint32_t kMaxReplyLines = 4;

// ---- the service's side ----

// One read of the pipe in message read mode: copies at most size bytes of the current message
// into buffer and returns how many arrived (0 when the read failed). What a message has left
// over stays for the next read.
using ReadFunction = std::function<std::size_t(void* buffer, std::size_t size)>;

// A request as the service decoded it.
struct Request {
  enum class Kind {
    Ping,
    Options,
    File,
    Quit,
    Unknown,       // no reply: an unknown command, or a command read of other than 4 bytes
    ShortPayload,  // the payload read brought fewer bytes than the command needs: ends the service
  };
  Kind kind = Kind::Unknown;
  std::uint8_t registerDelay = 0;  // Options
  bool unregister = false;         // File
  // File: the path inside the payload; nullptr when its field holds no terminator.
  const char* path = nullptr;
};

// Reads one request: the command word, then the command's whole payload with one read, so a
// client may send the command and its payload as one message or as two. payload receives a file
// request's payload.
Request ReadRequest(const ReadFunction& read, FilePayload& payload);

// Writes the reply with lines (a range of strings) through write(data, size), one call per
// message, each line cut to its first kMaxLineLength bytes.
template <typename Lines, typename Write>
void WriteReply(std::uint32_t result, const Lines& lines, Write&& write) {
  const auto word = [&](std::uint32_t value) { write(&value, sizeof value); };
  word(result);
  word(static_cast<std::uint32_t>(std::distance(std::begin(lines), std::end(lines))));
  for (const std::string& line : lines) {
    const std::size_t length = std::min(line.size(), kMaxLineLength);
    word(static_cast<std::uint32_t>(length));
    write(line.data(), length);
  }
}

// ---- the client's side ----

std::string EncodeWord(std::uint32_t value);
std::string EncodeOptionsRequest(const OptionsPayload& payload);
// A file request as one message; path must be shorter than kPathFieldSize, and the rest of the
// field is zero.
std::string EncodeFileRequest(std::uint32_t operation, const std::string& path);

// Takes a reply one message at a time.
class ReplyReader {
 public:
  enum class State { NeedMore, Complete, Malformed };

  // A message of the wrong size, a count above kMaxReplyLines, a line longer than
  // kMaxLineLength, or any message after the reply was complete makes the reply malformed for
  // good.
  State Take(const std::string& message);

  std::uint32_t Result() const { return m_result; }
  const std::vector<std::string>& Lines() const { return m_lines; }

 private:
  enum class Next { Result, Count, Length, Line, Done, Broken };

  Next m_next = Next::Result;
  std::uint32_t m_result = 0;
  std::uint32_t m_count = 0;
  std::uint32_t m_length = 0;
  std::vector<std::string> m_lines;
};

}  // namespace tesmar
