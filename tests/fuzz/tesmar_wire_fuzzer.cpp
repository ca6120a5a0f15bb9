// libFuzzer target for Tesmar's wire format. The input is a sequence of pipe messages, each a
// 2-byte little-endian length and that many bytes (the last one cut at the end of the input).
// - The service's request decoding reads them as the pipe delivers them in message read mode, and
//   must find what the format describes.
// - They are sent as the report lines of a reply, which the clients' reader must read back, each
//   cut to 512 bytes, or refuse when they are more than four.
// - They are taken as a reply from an unknown server: what the reader accepts must be exactly the
//   encoding of what it read.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "regservice/wire_format.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using tesmar::ReplyReader;
using tesmar::Request;

using fuzz::Check;

std::vector<std::string> Messages(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> messages;
  std::size_t at = 0;
  while (at + 2 <= size) {
    const std::size_t length = std::min<std::size_t>(data[at] | data[at + 1] << 8, size - at - 2);
    messages.emplace_back(reinterpret_cast<const char*>(data + at + 2), length);
    at += 2 + length;
  }
  return messages;
}

std::uint32_t WordAt(const std::string& bytes, std::size_t offset) {
  std::uint32_t value = 0;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

// Message read mode: a read takes at most size bytes of the current message and leaves the rest
// of it for the next read; with no message left the pipe is broken and a read brings nothing.
class MessagePipe {
 public:
  explicit MessagePipe(const std::vector<std::string>& messages) : m_messages(messages) {}

  std::size_t Read(void* buffer, std::size_t size) {
    if (m_index == m_messages.size()) return 0;
    const std::string& message = m_messages[m_index];
    const std::size_t taken = std::min(size, message.size() - m_offset);
    std::memcpy(buffer, message.data() + m_offset, taken);
    m_offset += taken;
    if (m_offset == message.size()) {
      ++m_index;
      m_offset = 0;
    }
    return taken;
  }

 private:
  const std::vector<std::string>& m_messages;
  std::size_t m_index = 0;
  std::size_t m_offset = 0;
};

void CheckRequest(const std::vector<std::string>& messages) {
  MessagePipe pipe(messages);
  tesmar::FilePayload payload;
  const Request request = tesmar::ReadRequest(
      [&pipe](void* buffer, std::size_t size) { return pipe.Read(buffer, size); }, payload);

  // The command is the first message's first 4 bytes; the payload is the rest of that message,
  // or else the whole next one.
  if (messages.empty() || messages[0].size() < tesmar::kWordSize) {
    Check(request.kind == Request::Kind::Unknown, "a short command is unknown");
    return;
  }
  std::string rest = messages[0].substr(tesmar::kWordSize);
  if (rest.empty() && messages.size() > 1) rest = messages[1];
  switch (WordAt(messages[0], 0)) {
    case tesmar::REQ_PING:
      Check(request.kind == Request::Kind::Ping, "ping");
      break;
    case tesmar::REQ_QUIT:
      Check(request.kind == Request::Kind::Quit, "quit");
      break;
    case tesmar::REQ_OPTIONS:
      if (rest.size() < sizeof(tesmar::OptionsPayload)) {
        Check(request.kind == Request::Kind::ShortPayload, "options: short payload");
      } else {
        Check(request.kind == Request::Kind::Options &&
                  request.registerDelay == static_cast<std::uint8_t>(rest[1]),
              "options: byte 1 is the delay");
      }
      break;
    case tesmar::REQ_FILE: {
      if (rest.size() < sizeof(tesmar::FilePayload)) {
        Check(request.kind == Request::Kind::ShortPayload, "file: short payload");
        break;
      }
      Check(request.kind == Request::Kind::File, "file");
      Check(request.unregister == (WordAt(rest, 0) != 0), "file: operation 0 registers");
      const std::string field = rest.substr(8, tesmar::kPathFieldSize);
      const std::size_t end = field.find('\0');
      if (end == std::string::npos) {
        Check(request.path == nullptr, "file: a path without terminator is refused");
      } else {
        Check(request.path == payload.path && field.compare(0, end + 1, request.path, end + 1) == 0,
              "file: the path up to its terminator");
      }
      break;
    }
    default:
      Check(request.kind == Request::Kind::Unknown, "other commands are unknown");
      break;
  }
}

std::vector<std::string> Encoded(std::uint32_t result, const std::vector<std::string>& lines) {
  std::vector<std::string> reply;
  tesmar::WriteReply(result, lines, [&reply](const void* data, std::size_t size) {
    reply.emplace_back(static_cast<const char*>(data), size);
  });
  return reply;
}

void CheckReplyOfLines(const std::vector<std::string>& lines, std::uint32_t result) {
  const std::vector<std::string> reply = Encoded(result, lines);
  ReplyReader reader;
  if (lines.size() > tesmar::kMaxReplyLines) {
    Check(reader.Take(reply[0]) == ReplyReader::State::NeedMore &&
              reader.Take(reply[1]) == ReplyReader::State::Malformed,
          "a count above the lines a reply holds is refused");
    return;
  }
  for (std::size_t i = 0; i < reply.size(); ++i) {
    const ReplyReader::State expected =
        i + 1 == reply.size() ? ReplyReader::State::Complete : ReplyReader::State::NeedMore;
    Check(reader.Take(reply[i]) == expected, "a reply is complete with its last message");
  }
  Check(reader.Result() == result && reader.Lines().size() == lines.size(), "result and count");
  for (std::size_t i = 0; i < lines.size(); ++i) {
    Check(reader.Lines()[i] == lines[i].substr(0, tesmar::kMaxLineLength),
          "each line arrives as its first 512 bytes");
  }
  Check(reader.Take("") == ReplyReader::State::Malformed, "nothing follows a reply");
}

void CheckAnyReply(const std::vector<std::string>& messages) {
  ReplyReader reader;
  for (std::size_t i = 0; i < messages.size(); ++i) {
    const ReplyReader::State state = reader.Take(messages[i]);
    if (state == ReplyReader::State::Malformed) return;
    if (state == ReplyReader::State::Complete) {
      const std::vector<std::string> taken(messages.begin(), messages.begin() + i + 1);
      Check(Encoded(reader.Result(), reader.Lines()) == taken &&
                reader.Lines().size() <= tesmar::kMaxReplyLines,
            "an accepted reply is exactly the encoding of what was read, of four lines at most");
      return;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> messages = Messages(data, size);
  CheckRequest(messages);
  std::uint32_t result = 0;
  std::memcpy(&result, data, std::min(size, sizeof result));
  CheckReplyOfLines(messages, result);
  CheckAnyReply(messages);
  return 0;
}
