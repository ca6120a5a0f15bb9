// Ping round trips per second (connect, request, reply, disconnect) against Tesmar.exe:
// tesmar_bench [COUNT].
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "tests/regservice/client.h"

using namespace tesmar_test;

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 2000;
  const std::string name = UniquePipeName("bench");
  Server server(name);
  Reply reply;
  for (int i = 0; i < 20; ++i) Exchange(name, PingRequest(), reply);

  LARGE_INTEGER start, end, frequency;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  int answered = 0;
  for (int i = 0; i < count; ++i) {
    if (Exchange(name, PingRequest(), reply) == Outcome::Reply && reply.result == 1) ++answered;
  }
  QueryPerformanceCounter(&end);
  const double seconds = static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart;

  Exchange(name, QuitRequest(), reply);
  server.WaitExit(5000);
  std::printf("ping round trips: %d of %d answered in %.3f s = %.0f per second\n", answered, count,
              seconds, answered / seconds);
  return answered == count ? 0 : 1;
}
