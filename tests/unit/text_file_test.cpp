// The settings file as something the program did not make: read only when it is a regular file
// of bounded size, replaced only when it is a regular file that may be written.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "runtime/error.h"
#include "runtime/text_file.h"

namespace {

namespace fs = std::filesystem;
using runtime::kMaxTextFileSize;
using runtime::ReadLines;
using runtime::ReplaceWithLines;

class Folder {
 public:
  Folder() : path_(fs::temp_directory_path() / ("text-file-test-" + std::to_string(getpid()))) {
    fs::create_directories(path_);
  }
  ~Folder() { fs::remove_all(path_); }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

void Write(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

mode_t Permissions(const std::string& path) {
  struct stat info {};
  lstat(path.c_str(), &info);
  return info.st_mode & 0777;
}

// The description of the error the save raised; empty when it saved.
std::string SaveError(const std::string& path, const std::vector<std::string>& lines) {
  try {
    ReplaceWithLines(path, lines);
  } catch (const runtime::Error& e) {
    return e.description();
  }
  return "";
}

TEST(SettingsFile, OnlyARegularFileOfAtMostTheBoundIsRead) {
  const Folder folder;
  // A FIFO without a writer: opening it must not wait for one.
  ASSERT_EQ(mkfifo((folder / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(ReadLines(folder / "fifo", 3), std::nullopt);
  fs::create_symlink("/dev/zero", folder / "zero");
  EXPECT_EQ(ReadLines(folder / "zero", 3), std::nullopt);
  // One line of 100 MB (a sparse file: NUL bytes that take no room on disk).
  {
    const int fd = open((folder / "huge").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_EQ(ftruncate(fd, 100 << 20), 0);
    close(fd);
  }
  EXPECT_EQ(ReadLines(folder / "huge", 3), std::nullopt);

  // At the bound a file is read; one byte more and it counts as none.
  std::string text = "1\r\n40\r\n 10 \r\n";
  text.resize(kMaxTextFileSize, ' ');
  Write(folder / "largest", text);
  EXPECT_EQ(ReadLines(folder / "largest", 3), (std::vector<std::string>{"1", "40", " 10 "}));
  Write(folder / "larger", text + " ");
  EXPECT_EQ(ReadLines(folder / "larger", 3), std::nullopt);

  // A link to a regular file is read through.
  fs::create_symlink(folder / "largest", folder / "link");
  EXPECT_EQ(ReadLines(folder / "link", 3), (std::vector<std::string>{"1", "40", " 10 "}));
}

TEST(SettingsFile, ASaveKeepsThePermissionsAndReplacesOnlyAWritableRegularFile) {
  const Folder folder;
  const std::string file = folder / "Sindrat.ini";
  Write(file, "old\r\n");
  chmod(file.c_str(), 0600);
  EXPECT_EQ(SaveError(file, {"new"}), "");
  EXPECT_EQ(Read(file), "new\r\n");
  EXPECT_EQ(Permissions(file), 0600u);

  // No write permission for anyone: kept, whoever saves (the superuser too).
  chmod(file.c_str(), 0444);
  EXPECT_NE(SaveError(file, {"newer"}).find("'" + file + "': the file is read-only"),
            std::string::npos);
  EXPECT_EQ(Read(file), "new\r\n");
  EXPECT_EQ(Permissions(file), 0444u);

  // Neither a link nor what it names is replaced, nor a FIFO.
  fs::create_symlink(folder / "target", folder / "link");
  Write(folder / "target", "target\r\n");
  EXPECT_NE(SaveError(folder / "link", {"x"}).find("it is not a regular file"), std::string::npos);
  EXPECT_TRUE(fs::is_symlink(folder / "link"));
  EXPECT_EQ(Read(folder / "target"), "target\r\n");
  ASSERT_EQ(mkfifo((folder / "fifo").c_str(), 0600), 0);
  EXPECT_NE(SaveError(folder / "fifo", {"x"}).find("it is not a regular file"), std::string::npos);
  EXPECT_TRUE(fs::is_fifo(folder / "fifo"));

  // Lines that would not be read back are not written.
  chmod(file.c_str(), 0600);
  EXPECT_NE(SaveError(file, {std::string(kMaxTextFileSize, '1')}).find("that are read back"),
            std::string::npos);
  EXPECT_EQ(Read(file), "new\r\n");
  // Nothing was left beside them.
  EXPECT_EQ(std::distance(fs::directory_iterator(folder / ""), fs::directory_iterator()), 4);
}

}  // namespace
