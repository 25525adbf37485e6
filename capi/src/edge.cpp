#include "edge.hpp"

#include <atomic>
#include <memory>

namespace korvani::capi {

namespace {

std::atomic<bool> shutDown{false};
std::atomic<std::uint64_t> hostFailures{0};
std::atomic<std::size_t> handles{0};
thread_local int callbackDepth = 0;

// Every UserData still holding its user data, linked through the objects themselves so that
// registering never allocates. Never destroyed: tables may go during static destruction.
struct Registry {
  std::mutex mutex;
  UserData* first = nullptr;
  std::size_t count = 0;
};
Registry& registry() {
  static Registry* const instance = new Registry;
  return *instance;
}

// The host failure listener and its user data, replaced as a whole.
struct FailureListener {
  korvani_host_failure_listener table;
  UserData userData;
};
std::mutex failureListenerMutex;
std::shared_ptr<FailureListener> failureListener;

// Bytes of `text` that fit in `room` bytes with a NUL, not splitting a UTF-8 sequence.
std::size_t utf8Prefix(std::string_view text, std::size_t room) noexcept {
  if (text.size() < room) return text.size();
  std::size_t length = room - 1;
  while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80)
    --length;
  return length;
}

}  // namespace

void setError(korvani_error* error, korvani_error_domain domain, std::int64_t code,
              std::string_view message) noexcept {
  if (!error) return;
  // Written as bytes at their offsets: the host's record may be shorter than ours.
  auto* bytes = reinterpret_cast<unsigned char*>(error);
  std::size_t size = 0;
  std::memcpy(&size, bytes, sizeof size);
  const std::int32_t domainValue = domain;
  if (fits(size, KORVANI_CAPI_END_OF(korvani_error, domain))) {
    std::memcpy(bytes + offsetof(korvani_error, domain), &domainValue, sizeof domainValue);
  }
  if (fits(size, KORVANI_CAPI_END_OF(korvani_error, code))) {
    std::memcpy(bytes + offsetof(korvani_error, code), &code, sizeof code);
  }
  const std::size_t start = offsetof(korvani_error, message);
  if (size <= start) return;
  std::size_t room = size - start;
  if (room > KORVANI_ERROR_MESSAGE_SIZE) room = KORVANI_ERROR_MESSAGE_SIZE;
  const std::size_t length = utf8Prefix(message, room);
  std::memcpy(bytes + start, message.data(), length);
  bytes[start + length] = '\0';
}

korvani_status fail(korvani_error* error, korvani_status status,
                    std::string_view message) noexcept {
  setError(error, KORVANI_DOMAIN_API, status, message);
  return status;
}

bool isShutDown() noexcept {
  return shutDown.load(std::memory_order_acquire);
}
void markShutDown() noexcept {
  shutDown.store(true, std::memory_order_release);
}

CallbackScope::CallbackScope() noexcept {
  ++callbackDepth;
}
CallbackScope::~CallbackScope() {
  --callbackDepth;
}
bool CallbackScope::active() noexcept {
  return callbackDepth > 0;
}

UserData::UserData(void* userData, void (*freeUserData)(void*)) noexcept
    : userData_(userData), freeUserData_(freeUserData) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  next_ = r.first;
  if (next_) next_->previous_ = this;
  r.first = this;
  ++r.count;
  held_ = true;
}

UserData::~UserData() {
  {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (!held_) return;  // shutdown freed it
    held_ = false;
    if (previous_) previous_->next_ = next_;
    if (next_) next_->previous_ = previous_;
    if (r.first == this) r.first = next_;
    --r.count;
  }
  if (freeUserData_) freeUserData_(userData_);
}

void UserData::freeAll() noexcept {
  Registry& r = registry();
  UserData* list = nullptr;
  {
    std::lock_guard lock(r.mutex);
    list = r.first;
    r.first = nullptr;
    r.count = 0;
    for (UserData* each = list; each; each = each->next_)
      each->held_ = false;
  }
  // Unlinked first, so a free function that releases a handle finds nothing left to free.
  while (list) {
    UserData* const each = list;
    list = each->next_;
    each->previous_ = each->next_ = nullptr;
    if (each->freeUserData_) each->freeUserData_(each->userData_);
  }
}

std::size_t UserData::liveCount() noexcept {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  return r.count;
}

void reportHostFailure(std::string_view callback, std::int64_t code) noexcept {
  hostFailures.fetch_add(1, std::memory_order_relaxed);
  std::shared_ptr<FailureListener> listener;
  {
    std::lock_guard lock(failureListenerMutex);
    listener = failureListener;
  }
  if (!listener || isShutDown()) return;
  korvani_error error = KORVANI_ERROR_INIT;
  std::string message;
  try {
    message.append(callback).append(" failed with ").append(std::to_string(code));
  } catch (...) {
    // The listener still hears of it, without the words.
  }
  setError(&error, KORVANI_DOMAIN_HOST, code, message);
  CallbackScope scope;
  listener->table.host_failed(listener->userData.get(), &error);
}

std::uint64_t hostFailureCount() noexcept {
  return hostFailures.load(std::memory_order_relaxed);
}

void setHostFailureListener(std::optional<korvani_host_failure_listener> listener) {
  std::shared_ptr<FailureListener> next;
  if (listener) {
    next.reset(new FailureListener{*listener, {listener->user_data, listener->free_user_data}});
  }
  std::lock_guard lock(failureListenerMutex);
  std::swap(failureListener, next);
  // The earlier listener goes with `next`, after the lock, unless a report still holds it.
}

void countHandle(int change) noexcept {
  handles.fetch_add(change, std::memory_order_relaxed);
}
std::size_t liveHandles() noexcept {
  return handles.load(std::memory_order_relaxed);
}

}  // namespace korvani::capi
