#pragma once

// The network benchmark's parts: one program in three roles. Run plainly it orchestrates: it
// starts itself as the server (--serve: the sandbox behind the latency relay) and, for each
// pattern and side, as a fresh client process that pays and prints its figures. Client figures
// then count client work only.

#include <cstddef>
#include <string>

namespace korvani::bench {

struct NetOptions {
  int rttMs = 50;               // the relay's round trip
  std::size_t samples = 7;      // per side: processes (first, opened) or paused payments
  int pauseMs = 5000;           // the wait before a paused payment
  std::size_t backToBack = 50;  // payments in each back-to-back run
  std::size_t rounds = 3;       // back-to-back runs per side, the sides taking turns
  int idleMs = 10'000;          // the idle window of the wake-up count
};

// What a client process does, one payment per process unless said otherwise.
enum class Pattern {
  first,          // the first payment of the process, timed from the checkout's creation
  opened,         // a checkout opened, a pause, then the payment
  afterPrevious,  // a warming payment, then `samples` payments a pause apart
  backToBack,     // a warming payment, then `backToBack` payments, with processor time and
                  // allocations
  idle,           // a checkout handed its store and handler, then idling: wake-ups
  handOverFloor,  // no payment: the threads' waits and hand-overs alone, a timer answering each
                  // request a round trip later (bare: one thread; plugin: the plug-in's two)
};

enum class Side {
  plugin,          // the component, the host's main thread drains with MainQueue::runUntil
  pluginHostLoop,  // the component, a host dispatcher posts to the host's own loop
  bare,            // a bare libcurl easy handle posting the same bytes
  capi,            // a C host through libkorvani_c, draining with korvani_run_for (back to back
                   // only; a program of its own, net_client_c.c)
  python,          // a Python host through the korvani package on an asyncio loop (back to
                   // back only; net_client.py)
};

struct ClientTask {
  Pattern pattern = Pattern::first;
  Side side = Side::plugin;
  int relayPort = 0;
  std::string caFile;  // the sandbox's authority, PEM
  NetOptions options;
};

// Runs one client process's pattern and prints its figures on standard output, one per line:
// "ms <sample>...", "cpu_us <per payment>", "allocations <per payment>", "switches <voluntary>
// <involuntary>" and "thread <main|host-loop|network> <voluntary> <involuntary> <cpu_us>" (per
// payment), "wakeups <per second>".
// Ends the process with a message on standard error when a payment fails.
void runClient(const ClientTask& task);

}  // namespace korvani::bench
