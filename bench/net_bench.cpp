// Payments over a simulated real network: the sandbox behind a latency relay in a server
// process, and every pattern paid by fresh client processes, through the plug-in and through a
// bare libcurl handle. Prints a table of latencies in round trips, the connections and TLS
// handshakes behind them, the plug-in's processor time, heap allocations and idle wake-ups,
// and the goals.

#include "net_bench.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "card_payment_texts.h"
#include "korvani/json.hpp"
#include "korvani/sandbox/sandbox_server.hpp"
#include "latency.hpp"
#include "latency_relay.hpp"

extern char** environ;

namespace korvani::bench {
namespace {

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "net bench: %s\n", message.c_str());
  std::exit(1);
}

constexpr const char* kUsage =
    "korvani_net_bench [--rtt-ms N] [--samples N] [--pause-ms N] [--back-to-back N] "
    "[--rounds N] [--idle-ms N]\n"
    "  --rtt-ms        round trip the relay adds (50)\n"
    "  --samples       first-payment and checkout-opened processes, and paused payments, per "
    "side (7)\n"
    "  --pause-ms      the pause before a paused payment (5000)\n"
    "  --back-to-back  payments in each back-to-back run (50)\n"
    "  --rounds        back-to-back runs per side, the sides taking turns (3)\n"
    "  --idle-ms       the idle window of the wake-up count (10000)\n";

const std::map<std::string, Pattern> kPatternNames = {{"first", Pattern::first},
                                                      {"opened", Pattern::opened},
                                                      {"after-previous", Pattern::afterPrevious},
                                                      {"back-to-back", Pattern::backToBack},
                                                      {"idle", Pattern::idle},
                                                      {"hand-over-floor", Pattern::handOverFloor}};
const std::map<std::string, Side> kSideNames = {{"plugin", Side::plugin},
                                                {"plugin-host-loop", Side::pluginHostLoop},
                                                {"bare", Side::bare},
                                                {"c-api", Side::capi},
                                                {"python", Side::python}};

template <typename T>
std::string nameOf(const std::map<std::string, T>& names, T value) {
  for (const auto& [name, candidate] : names) {
    if (candidate == value) return name;
  }
  return {};
}

template <typename T>
T lookUp(const std::map<std::string, T>& names, const std::string& name) {
  const auto it = names.find(name);
  if (it == names.end()) fail("unknown name " + name);
  return it->second;
}

long long number(const std::string& text, const std::string& flag, long long least) {
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value < least || value > 100'000'000) {
    fail("bad value for " + flag + ": " + text);
  }
  return value;
}

// What the command line asks for. The server and client roles are how the program starts
// itself; the options are passed on to them.
struct Command {
  enum class Role { orchestrate, serve, client } role = Role::orchestrate;
  ClientTask task;  // options apply to every role; the rest to clients
};

Command parseCommand(int argc, char** argv) {
  Command command;
  NetOptions& options = command.task.options;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    }
    if (flag == "--serve") {
      command.role = Command::Role::serve;
      continue;
    }
    if (i + 1 >= argc) fail("missing value after " + flag + "\n" + kUsage);
    const std::string value = argv[++i];
    if (flag == "--rtt-ms") {
      options.rttMs = static_cast<int>(number(value, flag, 1));
    } else if (flag == "--samples") {
      options.samples = static_cast<std::size_t>(number(value, flag, 1));
    } else if (flag == "--pause-ms") {
      options.pauseMs = static_cast<int>(number(value, flag, 0));
    } else if (flag == "--back-to-back") {
      options.backToBack = static_cast<std::size_t>(number(value, flag, 1));
    } else if (flag == "--rounds") {
      options.rounds = static_cast<std::size_t>(number(value, flag, 1));
    } else if (flag == "--idle-ms") {
      options.idleMs = static_cast<int>(number(value, flag, 1));
    } else if (flag == "--client") {
      command.role = Command::Role::client;
      command.task.pattern = lookUp(kPatternNames, value);
    } else if (flag == "--side") {
      command.task.side = lookUp(kSideNames, value);
    } else if (flag == "--relay-port") {
      command.task.relayPort = static_cast<int>(number(value, flag, 1));
    } else if (flag == "--ca-file") {
      command.task.caFile = value;
    } else {
      fail("unknown option " + flag + "\n" + kUsage);
    }
  }
  return command;
}

std::vector<std::string> optionArguments(const NetOptions& options) {
  return {"--rtt-ms",       std::to_string(options.rttMs),
          "--samples",      std::to_string(options.samples),
          "--pause-ms",     std::to_string(options.pauseMs),
          "--back-to-back", std::to_string(options.backToBack),
          "--rounds",       std::to_string(options.rounds),
          "--idle-ms",      std::to_string(options.idleMs)};
}

// --serve: the sandbox behind the relay until standard input closes. Prints "ready <relay
// port> <CA file>", then answers each "counts" line with "counts <connections> <handshakes>".
int serve(const NetOptions& options) {
  sandbox::SandboxOptions sandboxOptions;
  sandboxOptions.quiet = true;
  // Longer than any pause, so that a connection is never closed by the server in between.
  sandboxOptions.keepAliveTimeout = std::chrono::seconds(60);
  // A kept-alive connection holds a worker: enough of them that a client which opens new
  // connections never queues behind its own idle ones.
  sandboxOptions.workerThreads = 64;
  sandbox::SandboxServer server(sandboxOptions);
  std::string error;
  if (!server.start(&error)) fail("the sandbox did not start: " + error);
  LatencyRelay relay(server.port(), std::chrono::milliseconds(options.rttMs));

  char caFile[] = "/tmp/korvani-net-bench-ca-XXXXXX";
  const int fd = mkstemp(caFile);
  if (fd < 0) fail("cannot make a temporary file");
  close(fd);
  if (!server.writeCaCertificate(caFile)) fail(std::string("cannot write ") + caFile);
  std::printf("ready %d %s\n", relay.port(), caFile);
  std::fflush(stdout);

  char line[64];
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
    if (std::strcmp(line, "counts\n") != 0) continue;
    const auto counts = relay.counts();
    std::printf("counts %llu %llu\n", static_cast<unsigned long long>(counts.connections),
                static_cast<unsigned long long>(counts.tlsHandshakes));
    std::fflush(stdout);
  }
  relay.stop();
  server.stop();
  std::filesystem::remove(caFile);
  return 0;
}

// A program started with `arguments` (this program itself unless another is named), its standard
// output read through a pipe and, when asked, its standard input written through another.
class Child {
 public:
  Child(const std::vector<std::string>& arguments, bool withInput)
      : Child(std::filesystem::read_symlink("/proc/self/exe").string(), arguments, withInput) {}
  // `environment`: "NAME=value" entries added to this process's.
  Child(const std::string& program, const std::vector<std::string>& arguments, bool withInput,
        const std::vector<std::string>& environment = {}) {
    int output[2];
    int input[2] = {-1, -1};
    // Close-on-exec: no other child inherits these ends (the server's input must close when
    // this process closes it).
    if (pipe2(output, O_CLOEXEC) != 0 || (withInput && pipe2(input, O_CLOEXEC) != 0)) {
      fail("pipe2 failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    if (withInput) posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    std::vector<std::string> all = {program};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : all)
      argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<std::string> added = environment;
    std::vector<char*> envp;
    for (char** entry = environ; *entry != nullptr; ++entry)
      envp.push_back(*entry);
    for (std::string& entry : added)
      envp.push_back(entry.data());
    envp.push_back(nullptr);
    const int spawned =
        posix_spawnp(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) fail("cannot start " + program);
    close(output[1]);
    output_ = fdopen(output[0], "r");
    if (withInput) {
      close(input[0]);
      input_ = fdopen(input[1], "w");
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() { finish(); }

  // The next line of its output, without the newline; nullopt at the end.
  std::optional<std::string> readLine() {
    char* text = nullptr;
    std::size_t capacity = 0;
    const ssize_t length = getline(&text, &capacity, output_);
    std::optional<std::string> line;
    if (length >= 0) line.emplace(text, static_cast<std::size_t>(length));
    std::free(text);
    if (line && !line->empty() && line->back() == '\n') line->pop_back();
    return line;
  }
  void writeLine(const std::string& line) {
    std::fputs((line + "\n").c_str(), input_);
    std::fflush(input_);
  }
  // Closes its input, waits for it to end; whether it exited with 0.
  bool finish() {
    if (pid_ < 0) return true;
    if (input_ != nullptr) std::fclose(input_);
    std::fclose(output_);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

 private:
  pid_t pid_ = -1;
  FILE* output_ = nullptr;
  FILE* input_ = nullptr;
};

struct ServerProcess {
  Child child;
  int relayPort = 0;
  std::string caFile;

  explicit ServerProcess(const NetOptions& options) : child(serverArguments(options), true) {
    const auto ready = child.readLine();
    std::istringstream words(ready.value_or(""));
    std::string word;
    if (!(words >> word >> relayPort >> caFile) || word != "ready")
      fail("the server did not start");
  }

  LatencyRelay::Counts counts() {
    child.writeLine("counts");
    std::istringstream words(child.readLine().value_or(""));
    std::string word;
    LatencyRelay::Counts counts;
    if (!(words >> word >> counts.connections >> counts.tlsHandshakes)) {
      fail("the server did not tell its counts");
    }
    return counts;
  }

  static std::vector<std::string> serverArguments(const NetOptions& options) {
    auto arguments = optionArguments(options);
    arguments.push_back("--serve");
    return arguments;
  }
};

// Context switches and processor time per payment, of a process or of one of its threads.
struct Switches {
  double voluntary = 0;
  double involuntary = 0;
  double cpuMicros = 0;
};

// What the client processes of one side of one pattern measured, and what the relay counted
// meanwhile.
struct SideResult {
  std::vector<double> ms;
  std::vector<double> cpuMicros;                         // per process
  std::vector<Switches> switches;                        // per process
  std::map<std::string, std::vector<Switches>> threads;  // by role, per process
  std::optional<double> allocations, wakeups;
  LatencyRelay::Counts counts;
};

// The benchmark's payment as texts, for the Python client: what the C++ fixture and the C client
// take from card_payment_texts.h.
std::string paymentTexts() {
  const JsonObject texts{
      {"path", KORVANI_BENCH_PATH},
      {"access_token", KORVANI_BENCH_ACCESS_TOKEN},
      {"app_version", KORVANI_BENCH_APP_VERSION},
      {"session_id", KORVANI_BENCH_SESSION_ID},
      {"platform", KORVANI_BENCH_PLATFORM},
      {"site_id", KORVANI_BENCH_SITE_ID},
      {"source", KORVANI_BENCH_SOURCE},
      {"user_agent", KORVANI_BENCH_USER_AGENT},
      {"checkout_preference", KORVANI_BENCH_PREFERENCE},
      {"merchant_order", KORVANI_BENCH_MERCHANT_ORDER},
      {"discount", KORVANI_BENCH_DISCOUNT},
      {"internal_metadata", KORVANI_BENCH_INTERNAL_METADATA},
      {"payment_data", JsonObject{{"payment_method_id", KORVANI_BENCH_PAYMENT_METHOD_ID},
                                  {"payment_type_id", KORVANI_BENCH_PAYMENT_TYPE_ID},
                                  {"issuer_id", KORVANI_BENCH_ISSUER_ID},
                                  {"token_id", KORVANI_BENCH_TOKEN_ID},
                                  {"installments", KORVANI_BENCH_INSTALLMENTS}}}};
  return serializeJson(texts).value();
}

// How to start the client of `task`: this program for the C++ sides, the C program or the
// Python script for the others (which pay back to back only).
struct ClientCommand {
  std::string program;
  std::vector<std::string> arguments;
  std::vector<std::string> environment;  // added to this process's
};

ClientCommand clientCommand(const ServerProcess& server, const ClientTask& task) {
  const std::vector<std::string> common = {
      "--relay-port",   std::to_string(server.relayPort),       "--ca-file", server.caFile,
      "--back-to-back", std::to_string(task.options.backToBack)};
  if (task.side == Side::capi) return {KORVANI_NET_BENCH_C_CLIENT, common, {}};
  if (task.side == Side::python) {
    auto arguments = common;
    arguments.insert(arguments.begin(), KORVANI_NET_BENCH_PYTHON_CLIENT);
    arguments.insert(arguments.end(), {"--texts", paymentTexts()});
    return {KORVANI_NET_BENCH_PYTHON,
            arguments,
            {"PYTHONPATH=" KORVANI_NET_BENCH_PYTHON_PATH, "PYTHONDONTWRITEBYTECODE=1"}};
  }
  auto arguments = optionArguments(task.options);
  arguments.insert(arguments.end(), {"--client", nameOf(kPatternNames, task.pattern), "--side",
                                     nameOf(kSideNames, task.side), "--relay-port",
                                     std::to_string(server.relayPort), "--ca-file", server.caFile});
  return {std::filesystem::read_symlink("/proc/self/exe").string(), arguments, {}};
}

void runClientProcess(ServerProcess& server, const ClientTask& task, SideResult& result) {
  const auto before = server.counts();
  const ClientCommand command = clientCommand(server, task);
  Child client(command.program, command.arguments, false, command.environment);
  while (const auto line = client.readLine()) {
    std::istringstream words(*line);
    std::string key;
    words >> key;
    if (key == "switches" || key == "thread") {
      std::string role;
      if (key == "thread") words >> role;
      Switches switches;
      words >> switches.voluntary >> switches.involuntary >> switches.cpuMicros;
      if (key == "thread") {
        result.threads[role].push_back(switches);
      } else {
        result.switches.push_back(switches);
      }
      continue;
    }
    double value = 0;
    while (words >> value) {
      if (key == "ms") result.ms.push_back(value);
      if (key == "cpu_us") result.cpuMicros.push_back(value);
      if (key == "allocations") result.allocations = value;
      if (key == "wakeups") result.wakeups = value;
    }
  }
  if (!client.finish())
    fail("a client process failed (" + nameOf(kPatternNames, task.pattern) + ")");
  const auto after = server.counts();
  result.counts.connections += after.connections - before.connections;
  result.counts.tlsHandshakes += after.tlsHandshakes - before.tlsHandshakes;
}

// Instructions per payment of one client process, counted by callgrind over its back-to-back
// payments (the clients switch its counting on for those only): its main thread's and the
// other threads' (the network thread's).
struct Instructions {
  double main = 0;
  double others = 0;
};

std::optional<Instructions> countInstructions(const ServerProcess& server, const ClientTask& task) {
  const std::string valgrind = KORVANI_NET_BENCH_VALGRIND;
  if (valgrind.empty()) return std::nullopt;
  char folderTemplate[] = "/tmp/korvani-net-bench-callgrind-XXXXXX";
  if (mkdtemp(folderTemplate) == nullptr) fail("cannot make a temporary folder");
  const std::filesystem::path folder = folderTemplate;
  const ClientCommand command = clientCommand(server, task);
  std::vector<std::string> arguments = {"--tool=callgrind",
                                        "--instr-atstart=no",
                                        "--separate-threads=yes",
                                        "--callgrind-out-file=" + (folder / "counts.%p").string(),
                                        "--log-file=" + (folder / "log").string(),
                                        command.program};
  arguments.insert(arguments.end(), command.arguments.begin(), command.arguments.end());
  Child client(valgrind, arguments, false, command.environment);
  while (client.readLine()) {
  }
  if (!client.finish())
    fail("a client under callgrind failed (" + nameOf(kSideNames, task.side) + ")");
  // One file per thread, "counts.<pid>-<thread>", thread 1 the main thread.
  Instructions counted;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    std::ifstream file(entry.path());
    long thread = 0;
    double instructions = 0;
    for (std::string line; std::getline(file, line);) {
      if (line.starts_with("thread: ")) thread = std::stol(line.substr(8));
      if (line.starts_with("totals: ")) instructions = std::stod(line.substr(8));
    }
    (thread == 1 ? counted.main : counted.others) += instructions;
  }
  std::filesystem::remove_all(folder);
  const double payments = static_cast<double>(task.options.backToBack);
  counted.main /= payments;
  counted.others /= payments;
  return counted;
}

// Every side of every pattern, as measured.
struct Results {
  SideResult firstPlugin, firstBare;
  SideResult openedPlugin, openedBare;
  SideResult afterPlugin, afterBare;
  SideResult burstPlugin, burstHostLoop, burstCApi, burstPython, burstBare;
  SideResult floorOneThread, floorTwoThreads;
  SideResult idle;
  std::optional<Instructions> instructionsPlugin, instructionsCApi, instructionsBare;
};

Results measure(const NetOptions& options) {
  ServerProcess server(options);
  ClientTask task;
  task.options = options;
  task.relayPort = server.relayPort;
  task.caFile = server.caFile;
  const auto run = [&](Pattern pattern, Side side, SideResult& result) {
    task.pattern = pattern;
    task.side = side;
    runClientProcess(server, task, result);
  };
  const auto progress = [](const char* what) { std::fprintf(stderr, "net bench: %s\n", what); };

  Results r;
  // One process per sample; plug-in and bare handle take turns, so that a noisy stretch of the
  // shared machine hits both.
  progress("first payment of a process");
  for (std::size_t i = 0; i < options.samples; ++i) {
    run(Pattern::first, Side::plugin, r.firstPlugin);
    run(Pattern::first, Side::bare, r.firstBare);
  }
  progress("payment after the checkout opened");
  for (std::size_t i = 0; i < options.samples; ++i) {
    run(Pattern::opened, Side::plugin, r.openedPlugin);
    run(Pattern::opened, Side::bare, r.openedBare);
  }
  progress("payments after the previous one");
  run(Pattern::afterPrevious, Side::plugin, r.afterPlugin);
  run(Pattern::afterPrevious, Side::bare, r.afterBare);
  progress("back-to-back payments");
  // In rounds, the sides taking turns: the processor time of one process moves by a third from
  // run to run on this kind of machine, and a slow stretch should hit every side.
  for (std::size_t i = 0; i < options.rounds; ++i) {
    run(Pattern::backToBack, Side::plugin, r.burstPlugin);
    run(Pattern::backToBack, Side::pluginHostLoop, r.burstHostLoop);
    run(Pattern::backToBack, Side::capi, r.burstCApi);
    run(Pattern::backToBack, Side::python, r.burstPython);
    run(Pattern::backToBack, Side::bare, r.burstBare);
    run(Pattern::handOverFloor, Side::bare, r.floorOneThread);
    run(Pattern::handOverFloor, Side::plugin, r.floorTwoThreads);
  }
  progress("instructions per payment, under callgrind");
  task.pattern = Pattern::backToBack;
  for (auto [side, counted] :
       {std::pair{Side::plugin, &r.instructionsPlugin}, std::pair{Side::capi, &r.instructionsCApi},
        std::pair{Side::bare, &r.instructionsBare}}) {
    task.side = side;
    *counted = countInstructions(server, task);
  }
  progress("idle checkout");
  run(Pattern::idle, Side::plugin, r.idle);
  return r;
}

const char* verdict(bool met) {
  return met ? "PASS" : "FAIL";
}

void report(const Results& r, const NetOptions& options) {
  const double rtt = options.rttMs;
  std::printf(
      "\nPayments through a relay adding %d ms per round trip (a TCP handshake costs one), to the "
      "sandbox in another process; every pattern in fresh client processes.\n\n",
      options.rttMs);
  std::printf("%-32s %-22s %4s %10s %6s %17s %6s %5s\n", "pattern", "side", "n", "median ms",
              "RTTs", "min-max ms", "conns", "TLS");
  // One row; returns the median in round trips.
  const auto row = [&](const std::string& pattern, const char* side, const SideResult& result) {
    const auto summary = summarize(result.ms);
    char range[32];
    std::snprintf(range, sizeof range, "%.1f-%.1f", summary.min, summary.max);
    std::printf("%-32s %-22s %4zu %10.1f %6.2f %17s %6llu %5llu\n", pattern.c_str(), side,
                summary.count, summary.p50, summary.p50 / rtt, range,
                static_cast<unsigned long long>(result.counts.connections),
                static_cast<unsigned long long>(result.counts.tlsHandshakes));
    return summary.p50 / rtt;
  };
  char pause[16];
  std::snprintf(pause, sizeof pause, "%g s", options.pauseMs / 1000.0);
  const double firstRtts = row("first payment of a process", "plug-in", r.firstPlugin);
  row("", "bare handle", r.firstBare);
  const double openedRtts =
      row(std::string(pause) + " after the checkout opened", "plug-in", r.openedPlugin);
  row("", "bare handle (new)", r.openedBare);
  const double afterRtts =
      row(std::string(pause) + " after the previous payment", "plug-in", r.afterPlugin);
  row("", "bare handle", r.afterBare);
  row("back to back", "plug-in, runUntil", r.burstPlugin);
  row("", "plug-in, host loop", r.burstHostLoop);
  row("", "C API, run_for", r.burstCApi);
  row("", "Python, asyncio", r.burstPython);
  row("", "bare handle", r.burstBare);

  std::printf(
      "\nPer payment, over the %zu back-to-back payments of a process (whole client process; "
      "median of %zu processes per side, and each process's processor time):\n",
      options.backToBack, options.rounds);
  std::printf("  %-20s %10s %22s   %s\n", "side", "processor", "context switches",
              "processor time by round");
  std::printf("  %-20s %10s %22s\n", "", "", "voluntary involuntary");
  const auto median = [](const std::vector<Switches>& figures, double Switches::*member) {
    std::vector<double> values;
    for (const Switches& figure : figures)
      values.push_back(figure.*member);
    return summarize(values).p50;
  };
  // One row; returns the median process's processor time.
  const auto perPayment = [&](const char* side, const SideResult& result) {
    const double cpu = summarize(result.cpuMicros).p50;
    std::printf("  %-20s %7.0f us %10.2f %11.2f  ", side, cpu,
                median(result.switches, &Switches::voluntary),
                median(result.switches, &Switches::involuntary));
    for (const double micros : result.cpuMicros)
      std::printf(" %.0f", micros);
    std::printf("\n");
    return cpu;
  };
  const double cpuPlugin = perPayment("plug-in, runUntil", r.burstPlugin);
  const double cpuHostLoop = perPayment("plug-in, host loop", r.burstHostLoop);
  const double cpuCApi = perPayment("C API, run_for", r.burstCApi);
  perPayment("Python, asyncio", r.burstPython);
  const double cpuBare = perPayment("bare handle", r.burstBare);
  std::printf("  the waits and hand-overs alone, a timer answering each request (no work):\n");
  perPayment("  one thread", r.floorOneThread);
  perPayment("  plug-in's threads", r.floorTwoThreads);
  std::printf("  by thread (voluntary / involuntary switches, processor time):\n");
  const auto byThread = [&](const char* side, const SideResult& result) {
    std::printf("    %-20s", side);
    for (const auto& [role, figures] : result.threads) {
      std::printf("  %s %.2f / %.2f, %.0f us", role.c_str(), median(figures, &Switches::voluntary),
                  median(figures, &Switches::involuntary), median(figures, &Switches::cpuMicros));
    }
    std::printf("\n");
  };
  byThread("plug-in, runUntil", r.burstPlugin);
  byThread("plug-in, host loop", r.burstHostLoop);
  byThread("bare handle", r.burstBare);
  std::optional<double> instructionRatio, cApiInstructionRatio;
  if (r.instructionsPlugin && r.instructionsCApi && r.instructionsBare) {
    const auto total = [](const Instructions& counted) { return counted.main + counted.others; };
    std::printf(
        "  instructions (callgrind, one process per side): plug-in %.0fk (main thread %.0fk, "
        "network %.0fk), C API %.0fk (%.0fk, %.0fk), bare handle %.0fk\n",
        total(*r.instructionsPlugin) / 1e3, r.instructionsPlugin->main / 1e3,
        r.instructionsPlugin->others / 1e3, total(*r.instructionsCApi) / 1e3,
        r.instructionsCApi->main / 1e3, r.instructionsCApi->others / 1e3,
        total(*r.instructionsBare) / 1e3);
    instructionRatio = total(*r.instructionsPlugin) / total(*r.instructionsBare);
    cApiInstructionRatio = total(*r.instructionsCApi) / total(*r.instructionsPlugin);
  } else {
    std::printf("  instructions: not counted (valgrind was not found when the bench was built)\n");
  }
  const double allocations = r.burstPlugin.allocations.value_or(0);
  const double wakeups = r.idle.wakeups.value_or(0);
  std::printf("  heap allocations: plug-in %.0f (runUntil), %.0f (host loop); bare handle %.0f\n",
              allocations, r.burstHostLoop.allocations.value_or(0),
              r.burstBare.allocations.value_or(0));
  std::printf(
      "Idle checkout (store and handler handed over, %g s waiting in runUntil): %.1f "
      "wake-ups per second, all threads\n",
      options.idleMs / 1000.0, wakeups);

  std::printf("\nGoals%s\n", options.rttMs == 50 ? "" : " (set for a 50 ms round trip)");
  const auto goal = [](const char* what, double value, const char* unit, double limit) {
    std::printf("  %-44s %8.2f %-4s (goal <= %g) %s\n", what, value, unit, limit,
                verdict(value <= limit));
  };
  goal("payment after the previous one", afterRtts, "RTT", 1.3);
  goal("payment after the checkout opened", openedRtts, "RTT", 1.3);
  goal("first payment of a process", firstRtts, "RTT", 3.1);
  goal("idle wake-ups per second", wakeups, "/s", 1);
  goal("processor time / bare handle's, runUntil", cpuPlugin / cpuBare, "x", 1.5);
  goal("processor time / bare handle's, host loop", cpuHostLoop / cpuBare, "x", 1.5);
  goal("processor time, C API / C++ host's", cpuCApi / cpuPlugin, "x", 1.05);
  if (cApiInstructionRatio)
    goal("instructions, C API / C++ host's", *cApiInstructionRatio, "x", 1.05);
  if (instructionRatio) {
    std::printf("  %-44s %8.2f x    (the work alone, counted; no goal)\n",
                "instructions / bare handle's, runUntil", *instructionRatio);
  }
  goal("heap allocations per payment", allocations, "", 100);
}

}  // namespace
}  // namespace korvani::bench

int main(int argc, char** argv) try {
  using namespace korvani::bench;
  const Command command = parseCommand(argc, argv);
  switch (command.role) {
    case Command::Role::serve:
      return serve(command.task.options);
    case Command::Role::client:
      runClient(command.task);
      return 0;
    case Command::Role::orchestrate:
      break;
  }
  report(measure(command.task.options), command.task.options);
  return 0;
} catch (const std::exception& error) {
  std::fprintf(stderr, "net bench: %s\n", error.what());
  return 1;
}
