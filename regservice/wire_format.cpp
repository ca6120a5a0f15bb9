#include "regservice/wire_format.h"

#include <cstring>

namespace tesmar {

Request ReadRequest(const ReadFunction& read, FilePayload& payload) {
  Request request;
  std::uint32_t command = 0;
  // A longer message yields its first 4 bytes and keeps the rest for the payload read. A read of
  // fewer bytes carries no command, whatever its bytes say: it is answered like an unknown one.
  if (read(&command, sizeof command) != sizeof command) return request;
  switch (command) {
    case REQ_PING:
      request.kind = Request::Kind::Ping;
      break;
    case REQ_QUIT:
      request.kind = Request::Kind::Quit;
      break;
    case REQ_OPTIONS: {
      OptionsPayload options;
      if (read(&options, sizeof options) != sizeof options) {
        request.kind = Request::Kind::ShortPayload;
        break;
      }
      request.kind = Request::Kind::Options;
      request.registerDelay = options.registerDelay;
      break;
    }
    case REQ_FILE:
      if (read(&payload, sizeof payload) != sizeof payload) {
        request.kind = Request::Kind::ShortPayload;
        break;
      }
      request.kind = Request::Kind::File;
      request.unregister = payload.operation != kOperationRegister;
      // The path must end inside its field; reading on would run past the request.
      if (std::memchr(payload.path, '\0', sizeof payload.path) != nullptr) {
        request.path = payload.path;
      }
      break;
    default:
      break;
  }
  return request;
}

std::string EncodeWord(std::uint32_t value) {
  return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

std::string EncodeOptionsRequest(const OptionsPayload& payload) {
  return EncodeWord(REQ_OPTIONS) +
         std::string(reinterpret_cast<const char*>(&payload), sizeof payload);
}

std::string EncodeFileRequest(std::uint32_t operation, const std::string& path) {
  FilePayload payload = {operation, 0, {}};
  path.copy(payload.path, kPathFieldSize - 1);
  return EncodeWord(REQ_FILE) +
         std::string(reinterpret_cast<const char*>(&payload), sizeof payload);
}

ReplyReader::State ReplyReader::Take(const std::string& message) {
  const auto word = [&](std::uint32_t& value) {
    if (message.size() != kWordSize) return false;
    std::memcpy(&value, message.data(), kWordSize);
    return true;
  };
  switch (m_next) {
    case Next::Result:
      m_next = word(m_result) ? Next::Count : Next::Broken;
      break;
    case Next::Count:
      m_next = !word(m_count) || m_count > kMaxReplyLines ? Next::Broken
               : m_count == 0                             ? Next::Done
                                                          : Next::Length;
      break;
    case Next::Length:
      m_next = word(m_length) && m_length <= kMaxLineLength ? Next::Line : Next::Broken;
      break;
    case Next::Line:
      if (message.size() != m_length) {
        m_next = Next::Broken;
        break;
      }
      m_lines.push_back(message);
      m_next = m_lines.size() == m_count ? Next::Done : Next::Length;
      break;
    case Next::Done:
    case Next::Broken:
      m_next = Next::Broken;
      return State::Malformed;
  }
  if (m_next == Next::Broken) return State::Malformed;
  return m_next == Next::Done ? State::Complete : State::NeedMore;
}

}  // namespace tesmar
