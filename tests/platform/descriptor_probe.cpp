// A process out of file descriptors when its session first needs its network thread: makes one
// request while none is free, then frees them and makes another. Prints "completion <code>" for
// each (0 for an answer). Usage: korvani_platform_descriptor_probe <url> <ca-pem-file>

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

#include "korvani/platform/url_request.hpp"
#include "korvani/platform/url_session.hpp"

int main(int argc, char** argv) {
  using namespace korvani::platform;
  if (argc != 3) return 2;
  std::ostringstream pem;
  pem << std::ifstream(argv[2]).rdbuf();
  // What libcurl and OpenSSL read once, before the descriptors run out.
  curl_global_init(CURL_GLOBAL_DEFAULT);

  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  const rlimit original = limit;
  limit.rlim_cur = 64;  // quick to fill
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return 3;
  std::vector<int> taken;
  for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
    taken.push_back(fd);

  std::mutex mutex;
  std::condition_variable done;
  int completions = 0;
  const auto pay = [&] {
    int expected = 0;
    {
      std::lock_guard lock(mutex);
      expected = completions + 1;
    }
    URLRequest request;
    request.url = argv[1];
    URLSession::sharedSession()
        ->dataTask(request,
                   [&](auto, auto, ErrorPtr error) {
                     std::printf("completion %lld\n",
                                 static_cast<long long>(error ? error->code() : 0));
                     std::fflush(stdout);
                     std::lock_guard lock(mutex);
                     ++completions;
                     done.notify_all();
                   })
        ->resume();
    std::unique_lock lock(mutex);
    return done.wait_for(lock, std::chrono::seconds(10), [&] { return completions == expected; });
  };
  URLSession::sharedSession()->addTrustedCertificatesPem(pem.str());
  if (!pay()) return 4;
  for (const int fd : taken)
    close(fd);
  setrlimit(RLIMIT_NOFILE, &original);
  return pay() ? 0 : 5;
}
