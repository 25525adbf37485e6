// Starts one request, reports "started", gives it a second to reach the server, then returns
// from main while it is still in flight. Prints "completion <code>" for every completion that
// runs. Usage: korvani_platform_exit_probe <url> <ca-pem-file>

#include <chrono>
#include <cstdio>
#include <thread>

#include "korvani/platform/url_request.hpp"
#include "korvani/platform/url_session.hpp"

int main(int argc, char** argv) {
  using namespace korvani::platform;
  if (argc != 3) return 2;
  auto session = URLSession::sharedSession();
  if (!session->addTrustedCertificatesFile(argv[2])) return 3;
  URLRequest request;
  request.url = argv[1];
  auto task = session->dataTask(request, [](auto, auto, ErrorPtr error) {
    // Runs during exit: plain stdio, flushed at once.
    std::printf("completion %lld\n", static_cast<long long>(error ? error->code() : 0));
    std::fflush(stdout);
  });
  task->resume();
  std::printf("started\n");
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  return 0;
}
