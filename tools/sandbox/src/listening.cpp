#include "listening.hpp"

#include <httplib.h>

#include <chrono>

namespace korvani::sandbox {

bool listenInBackground(httplib::Server& server, std::thread& listener) {
  listener = std::thread([&server] { server.listen_after_bind(); });
  // The library offers no signal for this; it takes a few milliseconds at most.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!server.is_running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return server.is_running();
}

}  // namespace korvani::sandbox
