// Bounded fuzz run against a running Tesmar.exe: tesmar_fuzz COUNT SEED sends COUNT random and
// mutated requests, predicts from the wire format what each must get (a reply, no reply, or the
// end of the service for a short payload), restarts the service after it ended, and prints how
// each kind was answered.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tests/regservice/client.h"

using namespace tesmar_test;

namespace {

enum class Expect { Reply, NoReply, End };

struct Prediction {
  Expect expect = Expect::NoReply;
  DWORD command = 0;
  bool quit = false;
  bool unterminatedPath = false;
  DWORD op = 0;
};

DWORD WordAt(const std::string& bytes, size_t offset) {
  DWORD value = 0;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

// What the wire format gives for these messages. A lone command word that needs a payload is
// sent by a client that leaves at once, so its payload read finds the pipe broken.
Prediction Predict(const std::vector<std::string>& messages) {
  Prediction p;
  if (messages.empty() || messages[0].size() < 4) return p;
  p.command = WordAt(messages[0], 0);
  size_t need = 0;
  if (p.command == 10 || p.command == 100) {
    p.expect = Expect::Reply;
    p.quit = p.command == 100;
    return p;
  }
  if (p.command == 11) need = 3;
  if (p.command == 12) need = 4104;
  if (need == 0) return p;
  // The payload read takes the rest of the first message, or else the whole next message.
  std::string payload = messages[0].substr(4);
  if (payload.empty() && messages.size() > 1) payload = messages[1];
  if (payload.size() < need) {
    p.expect = Expect::End;
    return p;
  }
  p.expect = Expect::Reply;
  if (p.command == 12) {
    p.op = WordAt(payload, 0);
    p.unterminatedPath = std::memchr(payload.data() + 8, '\0', 4096) == nullptr;
  }
  return p;
}

bool KnownTitle(const std::string& line) {
  static const char* const titles[] = {
      "Tesmar-RegServer_TLB: ",
      "Tesmar LoadLibrary-Fehlschlag1: ",
      "Tesmar LoadLibrary-Fehlschlag2: ",
      "Tesmar-GetProcAddress: ",
      "Tesmar-DLLRegisterServer: ",
      "Tesmar-RegServer: ",
      "Tesmar-Refused: ",
  };
  for (const char* title : titles) {
    if (line.rfind(title, 0) == 0) return true;
  }
  return false;
}

// Whether a reply is one the protocol can give for the prediction.
bool ReplyFits(const Prediction& p, const Reply& reply) {
  if (p.command != 12) return reply.result == 1 && reply.lines.empty();
  if (p.unterminatedPath) {
    return reply.result == 0 && reply.lines.size() == 1 &&
           reply.lines[0].rfind("Tesmar-Refused: the path field", 0) == 0;
  }
  if (p.op != 0) return reply.result == 0 && reply.lines.empty();
  if (reply.result > 1 || reply.lines.empty() || reply.lines.size() > 4) return false;
  for (const std::string& line : reply.lines) {
    if (line.size() > 512 || !KnownTitle(line)) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
  const unsigned seed = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 1;
  std::mt19937 random(seed);
  auto below = [&](size_t n) { return static_cast<size_t>(random() % n); };

  const std::string root = ScratchFolder("fuzz");
  const std::string dll = root + "fixture_server.dll";
  CopyFixture("fixture_server.dll", dll);
  const std::string name = UniquePipeName("fuzz");

  const std::vector<std::string> templates = {
      PingRequest(),
      QuitRequest(),
      OptionsRequest(0, 1, 0),
      OptionsRequest(0, 0, 0),
      FileRequest(0, dll),
      FileRequest(1, dll),
      FileRequest(0, root + "missing.dll"),
      FileRequest(0, root + "missing.tlb"),
      Word(12) + Word(0) + Word(0) + std::string(4096, 'Z'),
  };

  auto server = std::make_unique<Server>(name, root);
  int replies[4] = {};  // ping, options, file, quit
  int noReply = 0;
  int ended = 0;
  int restarts = 0;
  int mismatches = 0;
  for (int i = 0; i < count; ++i) {
    std::vector<std::string> messages;
    if (below(4) == 0) {
      // Random bytes, now and then with a valid command in front.
      std::string bytes(below(24), '\0');
      for (char& c : bytes) c = static_cast<char>(random());
      if (bytes.size() >= 4 && below(2) == 0) {
        const DWORD commands[] = {10, 11, 12, 100};
        std::memcpy(bytes.data(), &commands[below(4)], 4);
      }
      messages.push_back(bytes);
    } else {
      std::string bytes = templates[below(templates.size())];
      const size_t mutations = below(3);
      for (size_t m = 0; m < mutations; ++m) {
        const size_t where =
            below(3) == 0 ? below(bytes.size()) : below(std::min<size_t>(16, bytes.size()));
        bytes[where] = static_cast<char>(random());
      }
      if (below(6) == 0) bytes.resize(below(bytes.size() + 1));
      if (bytes.size() > 4 && below(4) == 0) {
        // Command and payload as two messages, sometimes the payload cut in two as well.
        const size_t cut = below(3) == 0 ? 4 + below(bytes.size() - 4) : 4;
        messages.push_back(bytes.substr(0, 4));
        if (cut > 4) messages.push_back(bytes.substr(4, cut - 4));
        messages.push_back(bytes.substr(cut));
      } else {
        messages.push_back(bytes);
      }
    }

    Prediction p = Predict(messages);
    // A lone command word that needs a payload would wait for it: the client leaves instead.
    const bool leaves =
        (p.command == 11 || p.command == 12) && messages.size() == 1 && messages[0].size() == 4;
    Reply reply;
    Outcome outcome = Outcome::NoReply;
    if (leaves) {
      SendAndLeave(name, messages);
    } else {
      outcome = Exchange(name, messages, reply, 20000);
    }
    bool fits = false;
    switch (p.expect) {
      case Expect::Reply:
        fits = outcome == Outcome::Reply && ReplyFits(p, reply);
        if (fits) ++replies[p.command == 10 ? 0 : p.command == 11 ? 1 : p.command == 12 ? 2 : 3];
        break;
      case Expect::NoReply:
        fits = outcome == Outcome::NoReply && server->Running();
        if (fits) ++noReply;
        break;
      case Expect::End:
        fits = outcome == Outcome::NoReply && server->WaitExit(5000) == 0;
        if (fits) ++ended;
        break;
    }
    if (p.quit && fits) fits = server->WaitExit(5000) == 0;
    if (!fits) {
      ++mismatches;
      std::printf(
          "request %d (command %lu, %zu message(s), first %zu bytes): unexpected answer "
          "(outcome %d, result %lu, %zu lines)\n",
          i, p.command, messages.size(), messages[0].size(), static_cast<int>(outcome),
          reply.result, reply.lines.size());
    }
    if (!server->Running()) {
      server = std::make_unique<Server>(name, root);
      ++restarts;
    }
  }
  SendAndLeave(name, {QuitRequest()});
  server->WaitExit(5000);

  std::printf("requests sent: %d (seed %u)\n", count, seed);
  std::printf("replied: %d (ping %d, options %d, file %d, quit %d)\n",
              replies[0] + replies[1] + replies[2] + replies[3], replies[0], replies[1], replies[2],
              replies[3]);
  std::printf("no reply, service kept serving: %d\n", noReply);
  std::printf("short payload, service ended without reply: %d\n", ended);
  std::printf("service restarts: %d\n", restarts);
  std::printf("%d passed, %d failed\n", count - mismatches, mismatches);
  return mismatches == 0 ? 0 : 1;
}
