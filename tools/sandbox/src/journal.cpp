#include "journal.hpp"

#include <algorithm>

namespace korvani::sandbox {

Journal::Journal(std::size_t requestCapacity, std::size_t connectionCapacity)
    : requestCapacity_(std::max<std::size_t>(requestCapacity, 1)),
      connectionCapacity_(std::max<std::size_t>(connectionCapacity, 1)),
      epoch_(Clock::now()),
      startedAtMillis_(std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count()) {}

JournalTime Journal::at(Clock::time_point time) const {
  return std::chrono::duration_cast<std::chrono::microseconds>(time - epoch_).count();
}

JournalTime Journal::now() const {
  return at(Clock::now());
}

ConnectionRecord* Journal::find(std::uint64_t id) {
  const auto found = std::lower_bound(
      connections_.begin(), connections_.end(), id,
      [](const ConnectionRecord& connection, std::uint64_t key) { return connection.id < key; });
  return found != connections_.end() && found->id == id ? &*found : nullptr;
}

void Journal::changed() {
  ++revision_;
  // Viewers wake to read; nobody waits for them.
  change_.notify_all();
}

void Journal::connectionAccepted(std::uint64_t id, JournalTime accepted) {
  std::lock_guard lock(mutex_);
  if (connections_.size() >= connectionCapacity_) {
    // The oldest closed connection goes first: a long-lived kept-alive one is the lane that
    // shows reuse.
    const auto closed =
        std::find_if(connections_.begin(), connections_.end(),
                     [](const ConnectionRecord& c) { return c.closed.has_value(); });
    connections_.erase(closed != connections_.end() ? closed : connections_.begin());
  }
  ConnectionRecord record;
  record.id = id;
  record.accepted = accepted;
  record.revision = revision_ + 1;
  // Ids come from the one accepting thread in increasing order.
  connections_.push_back(record);
  changed();
}

void Journal::update(std::uint64_t id, std::optional<JournalTime> ConnectionRecord::*field) {
  const JournalTime time = now();
  std::lock_guard lock(mutex_);
  ConnectionRecord* connection = find(id);
  // The first handshake is the one drawn (TLS 1.3 sends tickets after it).
  if (connection == nullptr || (connection->*field).has_value()) return;
  connection->*field = time;
  connection->revision = revision_ + 1;
  changed();
}

void Journal::handshakeStarted(std::uint64_t id) {
  update(id, &ConnectionRecord::handshakeStart);
}

void Journal::handshakeDone(std::uint64_t id) {
  update(id, &ConnectionRecord::handshakeDone);
}

void Journal::connectionClosed(std::uint64_t id) {
  update(id, &ConnectionRecord::closed);
}

void Journal::add(RequestRecord record) {
  auto shared = std::make_shared<RequestRecord>(std::move(record));
  std::shared_ptr<const RequestRecord> evicted;  // released after the lock
  std::lock_guard lock(mutex_);
  shared->seq = nextSeq_++;
  shared->revision = revision_ + 1;
  if (ConnectionRecord* connection = find(shared->connectionId)) {
    ++connection->requests;
    connection->revision = revision_ + 1;
  }
  if (requests_.size() >= requestCapacity_) {
    evicted = std::move(requests_.front());
    requests_.pop_front();
  }
  requests_.push_back(std::move(shared));
  changed();
}

void Journal::clear() {
  std::deque<std::shared_ptr<const RequestRecord>> forgotten;  // released after the lock
  std::lock_guard lock(mutex_);
  forgotten.swap(requests_);
  std::erase_if(connections_, [](const ConnectionRecord& c) { return c.closed.has_value(); });
  changed();
  clearedAt_ = revision_;
  for (ConnectionRecord& connection : connections_) {
    connection.requests = 0;
    connection.revision = revision_;
  }
}

void Journal::touch() {
  std::lock_guard lock(mutex_);
  changed();
}

JournalSnapshot Journal::since(std::uint64_t revision) const {
  JournalSnapshot snapshot;
  snapshot.now = now();
  std::lock_guard lock(mutex_);
  snapshot.revision = revision_;
  snapshot.reset = revision < clearedAt_ || revision > revision_ || revision == 0;
  const std::uint64_t after = snapshot.reset ? 0 : revision;
  for (auto it = requests_.rbegin(); it != requests_.rend() && (*it)->revision > after; ++it)
    snapshot.requests.push_back(*it);
  std::reverse(snapshot.requests.begin(), snapshot.requests.end());
  for (const ConnectionRecord& connection : connections_) {
    if (connection.revision > after) snapshot.connections.push_back(connection);
  }
  return snapshot;
}

std::shared_ptr<const RequestRecord> Journal::request(std::uint64_t seq) const {
  std::lock_guard lock(mutex_);
  const auto found = std::lower_bound(requests_.begin(), requests_.end(), seq,
                                      [](const std::shared_ptr<const RequestRecord>& r,
                                         std::uint64_t key) { return r->seq < key; });
  return found != requests_.end() && (*found)->seq == seq ? *found : nullptr;
}

bool Journal::waitForChange(std::uint64_t revision, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  change_.wait_for(lock, timeout, [&] { return viewersClosed_ || revision_ != revision; });
  return !viewersClosed_;
}

bool Journal::pauseViewer(std::chrono::milliseconds pause) const {
  std::unique_lock lock(mutex_);
  closing_.wait_for(lock, pause, [&] { return viewersClosed_; });
  return !viewersClosed_;
}

void Journal::closeViewers() {
  std::lock_guard lock(mutex_);
  viewersClosed_ = true;
  change_.notify_all();
  closing_.notify_all();
}

void Journal::openViewers() {
  std::lock_guard lock(mutex_);
  viewersClosed_ = false;
}

}  // namespace korvani::sandbox
