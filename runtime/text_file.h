// Sequential text files as the dialer keeps its settings: lines ended by CR LF.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace runtime {

// The first max_lines lines of a file, without their line ends (CR LF, LF or a lone CR end a
// line); nullopt when the file cannot be opened for reading.
std::optional<std::vector<std::string>> ReadLines(const std::string& path, size_t max_lines);

// Writes the lines, each followed by CR LF, into a new file beside `path` and moves it over
// `path` only once it is complete, so a failed write never loses the old file. Raises
// runtime::Error (path/file access) with a description of what failed.
void ReplaceWithLines(const std::string& path, const std::vector<std::string>& lines);

}  // namespace runtime
