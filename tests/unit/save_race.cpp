// Two processes save the settings file at once, again and again, while this one reads it as
// start-up does: each save must succeed, every read must find one of the two files whole, and no
// file of theirs may be left beside it.
//   save_race                      the test, in a folder of its own in the temporary folder
//   save_race write FILE LETTER N  one of the two: saves FILE N times, each line made of LETTER
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/error.h"
#include "runtime/text_file.h"

#if defined(_WIN32)
#include "runtime/win32.h"
#else
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

constexpr int kSaves = 100;

// Long enough that writing it takes several calls.
std::vector<std::string> Lines(char letter) {
  std::vector<std::string> lines;
  for (int i = 0; i < 400; ++i) lines.push_back(std::string(60, letter) + std::to_string(i));
  return lines;
}

#if defined(_WIN32)
using Process = HANDLE;

unsigned long Self() {
  return GetCurrentProcessId();
}

Process Start(const std::string& file, char letter) {
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string command = std::string("\"") + self + "\" write \"" + file + "\" " + letter + " " +
                        std::to_string(kSaves);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info)) {
    return nullptr;
  }
  CloseHandle(info.hThread);
  return info.hProcess;
}

bool Running(Process p) {
  return WaitForSingleObject(p, 0) == WAIT_TIMEOUT;
}

int Finish(Process p) {
  WaitForSingleObject(p, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(p, &code);
  CloseHandle(p);
  return static_cast<int>(code);
}
#else
using Process = pid_t;

unsigned long Self() {
  return static_cast<unsigned long>(getpid());
}

Process Start(const std::string& file, char letter) {
  const std::string self = "/proc/self/exe", saves = std::to_string(kSaves);
  std::string verb = "write", path = file, which(1, letter);
  char* argv[] = {const_cast<char*>(self.c_str()),  verb.data(), path.data(), which.data(),
                  const_cast<char*>(saves.c_str()), nullptr};
  pid_t pid = 0;
  return posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, environ) == 0 ? pid : 0;
}

bool Running(Process p) {
  siginfo_t info{};
  // WNOWAIT: Finish still gets its status.
  return waitid(P_PID, static_cast<id_t>(p), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == 0;
}

int Finish(Process p) {
  int status = 0;
  if (waitpid(p, &status, 0) != p) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
#endif

int Write(const std::string& file, char letter, int saves) {
  try {
    for (int i = 0; i < saves; ++i) runtime::ReplaceWithLines(file, Lines(letter));
  } catch (const runtime::Error& e) {
    std::fprintf(stderr, "save_race: %s\n", e.description().c_str());
    return 1;
  }
  return 0;
}

}  // namespace

TEST(SettingsFile, SavesRacingEachOtherLeaveOneWholeFileAndNothingBeside) {
  namespace fs = std::filesystem;
  const fs::path folder = fs::temp_directory_path() / ("save_race-" + std::to_string(Self()));
  fs::remove_all(folder);
  fs::create_directory(folder);
  const std::string file = (folder / "Sindrat.ini").string();
  const std::vector<std::string> a = Lines('a'), b = Lines('b');
  runtime::ReplaceWithLines(file, a);

  Process writers[] = {Start(file, 'a'), Start(file, 'b')};
  EXPECT_TRUE(writers[0] && writers[1]) << "both writers started";
  int reads = 0, mixed = 0;
  while (Running(writers[0]) || Running(writers[1])) {
    const auto now = runtime::ReadLines(file, 1000);
    ++reads;
    if (now != a && now != b) ++mixed;
  }
  for (Process p : writers) EXPECT_EQ(p ? Finish(p) : -1, 0) << "a writer's every save";
  EXPECT_EQ(mixed, 0) << "reads (as start-up reads) of neither whole file, of " << reads;
  const auto last = runtime::ReadLines(file, 1000);
  EXPECT_TRUE(last == a || last == b) << "the file at the end is one of the two";
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{"Sindrat.ini"}) << "the settings file alone";
  fs::remove_all(folder);
}

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "write") {
    return Write(argv[2], argv[3][0], std::atoi(argv[4]));
  }
  testing::InitGoogleTest(&argc, argv);
  if (argc != 1) {
    std::fprintf(stderr, "usage: save_race [GOOGLETEST FLAGS]\n");
    return 2;
  }
  return RUN_ALL_TESTS();
}
