#pragma once

#include <thread>

namespace httplib {
class Server;
}

namespace korvani::sandbox {

// Runs `server`, already bound, on `listener`; true once it accepts. Its stop() is only heard
// once it runs, so whoever may stop it soon after must wait for that (at most ten seconds).
bool listenInBackground(httplib::Server& server, std::thread& listener);

}  // namespace korvani::sandbox
