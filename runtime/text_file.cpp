#include "runtime/text_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "runtime/error.h"

#if defined(_WIN32)
#include "runtime/win32.h"
#endif

namespace runtime {
namespace {

[[noreturn]] void AccessError(const std::string& what, const std::string& path, int error) {
  throw Error(kPathFileAccess,
              what + " '" + path + "'" + (error ? std::string(": ") + std::strerror(error) : ""));
}

}  // namespace

std::optional<std::vector<std::string>> ReadLines(const std::string& path, size_t max_lines) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return std::nullopt;
  std::vector<std::string> lines;
  std::string line;
  bool open_line = false;
  int c;
  while (lines.size() < max_lines && (c = std::fgetc(f)) != EOF) {
    if (c == '\r' || c == '\n') {
      if (c == '\r') {
        const int next = std::fgetc(f);
        if (next != '\n' && next != EOF) std::ungetc(next, f);
      }
      lines.push_back(std::move(line));
      line.clear();
      open_line = false;
    } else {
      line += static_cast<char>(c);
      open_line = true;
    }
  }
  if (open_line && lines.size() < max_lines) lines.push_back(std::move(line));
  std::fclose(f);
  return lines;
}

void ReplaceWithLines(const std::string& path, const std::vector<std::string>& lines) {
  const std::string temp = path + ".new";
  FILE* f = std::fopen(temp.c_str(), "wb");
  if (!f) AccessError("Cannot create", temp, errno);
  bool ok = true;
  for (const std::string& line : lines) {
    ok = ok && std::fwrite(line.data(), 1, line.size(), f) == line.size();
    ok = ok && std::fwrite("\r\n", 1, 2, f) == 2;
  }
  int error = ok ? 0 : errno;
  if (std::fclose(f) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    std::remove(temp.c_str());
    AccessError("Cannot write", temp, error);
  }
#if defined(_WIN32)
  if (!MoveFileExA(temp.c_str(), path.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    std::remove(temp.c_str());
    AccessError("Cannot replace", path, 0);
  }
#else
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    error = errno;
    std::remove(temp.c_str());
    AccessError("Cannot replace", path, error);
  }
#endif
}

}  // namespace runtime
