#pragma once

// The hand-over to the host's thread: the main queue's work lands in one queue of the C API,
// which tells the host's scheduler and is drained by the korvani_run_* calls.

#include <chrono>
#include <cstddef>
#include <optional>

#include "korvani/korvani.h"

namespace korvani::capi {

// Makes the main queue hand its work to this queue; idempotent. Called before any work can be
// submitted (by every call that makes a handle or installs a host service).
void installDelivery();

// Installs (nullopt: removes) the scheduler; waits for a notify in progress on another thread,
// then the earlier scheduler's user data goes on this thread.
void setScheduler(std::optional<korvani_scheduler> scheduler);

// The drain calls: the items queued when the call began; the oldest; all, including those
// queued meanwhile. Each answers what it ran.
std::size_t runPending();
bool runOnce();
std::size_t runUntilIdle();
// Runs items until `condition` answers true or `deadline` passes; answers the last answer.
bool runUntil(int (*condition)(void*), void* context,
              std::chrono::steady_clock::time_point deadline);

// Drops the queued work unrun, refuses all later work and lets the scheduler go (after any
// notify in progress) on this thread.
void shutDownDelivery();

}  // namespace korvani::capi
