// Sequential text files as the dialer keeps its settings: lines ended by CR LF.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace runtime {

// The first max_lines lines of a file, without their line ends (CR LF, LF or a lone CR end a
// line); nullopt when the file cannot be opened or read through. On Windows the file is opened so
// that a save may replace it meanwhile.
std::optional<std::vector<std::string>> ReadLines(const std::string& path, size_t max_lines);

// Writes the lines, each followed by CR LF, into a new file of its own beside `path`, flushes it
// to disk and only then moves it over `path` (the move, too, reaches the disk before this
// returns). A failed write or a power cut leaves the old file whole, and two saves at once leave
// one of the two files, never a mix. Raises runtime::Error (path/file access) with a description
// of what failed.
void ReplaceWithLines(const std::string& path, const std::vector<std::string>& lines);

}  // namespace runtime
