#pragma once

// What every entry point of the C API shares: filling the host's error record within its size,
// the catch-all at the boundary, copying the host's tables within their size, the shut-down
// state, the user data the library holds and the report of a failed host callback.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "korvani/korvani.h"

namespace korvani::capi {

// Writes domain, code and message into `error`, only within its struct_size; NULL is fine.
void setError(korvani_error* error, korvani_error_domain domain, std::int64_t code,
              std::string_view message) noexcept;
// An API-domain failure of the call: fills `error` and answers `status`.
korvani_status fail(korvani_error* error, korvani_status status, std::string_view message) noexcept;

// Whether korvani_shutdown has begun; from then on no host callback is called.
bool isShutDown() noexcept;
void markShutDown() noexcept;

// Runs `body` (which answers a korvani_status) and turns any exception into
// KORVANI_ERR_INTERNAL, so that none crosses into the host.
template <class Body>
korvani_status guarded(korvani_error* error, Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (const std::exception& exception) {
    setError(error, KORVANI_DOMAIN_INTERNAL, 0, exception.what());
  } catch (...) {
    setError(error, KORVANI_DOMAIN_INTERNAL, 0, "an exception that is not a std::exception");
  }
  return KORVANI_ERR_INTERNAL;
}

// An entry point that does nothing once the library is shut down.
template <class Body>
korvani_status entry(korvani_error* error, Body&& body) noexcept {
  if (isShutDown()) return fail(error, KORVANI_ERR_SHUT_DOWN, "the library has been shut down");
  return guarded(error, std::forward<Body>(body));
}

// Whether a table of `size` bytes holds the member that ends at `end`.
constexpr bool fits(std::size_t size, std::size_t end) noexcept {
  return size >= end;
}
#define KORVANI_CAPI_END_OF(Type, member) (offsetof(Type, member) + sizeof(Type::member))

// The host's table as this library knows it: the bytes within the host's struct_size, zeros
// beyond (absent members). nullopt for a NULL table.
template <class Table>
std::optional<Table> copyTable(const Table* host) noexcept {
  if (!host) return std::nullopt;
  Table table;
  std::memset(&table, 0, sizeof table);
  std::size_t size = 0;
  std::memcpy(&size, host, sizeof size);
  std::memcpy(&table, host, size < sizeof table ? size : sizeof table);
  table.struct_size = size;
  return table;
}

// Inside a host callback on this thread (a counter, not an error channel): the drain calls and
// shutdown refuse to run there.
class CallbackScope {
 public:
  CallbackScope() noexcept;
  ~CallbackScope();
  CallbackScope(const CallbackScope&) = delete;
  CallbackScope& operator=(const CallbackScope&) = delete;
  static bool active() noexcept;
};

// One table's user data, freed exactly once: when this object goes, or at shutdown, whichever
// comes first. Every live one is registered so that shutdown can find it.
class UserData {
 public:
  UserData(void* userData, void (*freeUserData)(void*)) noexcept;
  ~UserData();
  UserData(const UserData&) = delete;
  UserData& operator=(const UserData&) = delete;

  void* get() const noexcept { return userData_; }

  // Frees every user data still held (shutdown); later destructions free nothing.
  static void freeAll() noexcept;
  static std::size_t liveCount() noexcept;

 private:
  void* userData_;
  void (*freeUserData_)(void*);
  UserData* previous_ = nullptr;  // registry links, under the registry's lock
  UserData* next_ = nullptr;
  bool held_ = false;
};

// Frees a table's user data at once: for a call that refuses the table. Reads free_user_data
// only when it fits in struct_size.
template <class Table>
void freeRefused(const Table* host) noexcept {
  const std::optional<Table> table = copyTable(host);
  if (table && fits(table->struct_size, KORVANI_CAPI_END_OF(Table, free_user_data)) &&
      table->free_user_data) {
    table->free_user_data(table->user_data);
  }
}

// A host callback answered `code` (non-zero): counts it and tells the host failure listener.
void reportHostFailure(std::string_view callback, std::int64_t code) noexcept;
std::uint64_t hostFailureCount() noexcept;
// Installs the listener (an empty table removes it); the earlier one is freed on this thread.
void setHostFailureListener(std::optional<korvani_host_failure_listener> listener);

// Handles made and not yet released.
void countHandle(int change) noexcept;
std::size_t liveHandles() noexcept;

}  // namespace korvani::capi
