// Sequential text files as the dialer keeps its settings: lines ended by CR LF.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace runtime {

// The most bytes such a file may hold: 1 MiB. The dialer's five lines are a dial string, two
// numbers and two blanks; a dial string of a million keys plays for more than eleven hours at
// the shortest tone time. What is larger comes from elsewhere, and reading it would only cost
// time and memory.
inline constexpr size_t kMaxTextFileSize = 1 << 20;

// The first max_lines lines of a file, without their line ends (CR LF, LF or a lone CR end a
// line); nullopt when the file cannot be opened or read through, is no regular file (a FIFO or a
// device, opened without waiting for a writer) or holds more than kMaxTextFileSize bytes. On
// Windows the file is opened so that a save may replace it meanwhile.
std::optional<std::vector<std::string>> ReadLines(const std::string& path, size_t max_lines);

// Writes the lines, each followed by CR LF, into a new file of its own beside `path`, flushes it
// to disk and only then moves it over `path` (the move, too, reaches the disk before this
// returns). A failed write or a power cut leaves the old file whole, and two saves at once leave
// one of the two files, never a mix. The new file keeps the old one's permissions (on Linux).
// Refused, with the old file left as it is: a `path` that is no regular file (a symbolic link, a
// FIFO, a folder), one marked read-only (no write permission for anyone on Linux, whoever runs
// the program; the read-only attribute on Windows), and lines of more than kMaxTextFileSize
// bytes, which would not be read back. Raises runtime::Error (path/file access) with a
// description of what failed.
void ReplaceWithLines(const std::string& path, const std::vector<std::string>& lines);

}  // namespace runtime
