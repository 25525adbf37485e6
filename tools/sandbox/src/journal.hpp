#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korvani::sandbox {

// Times in the journal: microseconds since the journal was made, on the steady clock, so that
// connection lanes and request marks share one axis.
using JournalTime = std::int64_t;

// One request as it arrived and was answered. Written once by the worker that served it and
// never changed afterwards, so viewers read it without a lock.
struct RequestRecord {
  std::uint64_t seq = 0;       // set by the journal: 1, 2, 3... in the order answered
  std::uint64_t revision = 0;  // set by the journal: the one its arrival raised
  std::uint64_t connectionId = 0;
  JournalTime start = 0;  // the request read, before it was handled
  JournalTime end = 0;    // the answer written (or dropped)
  std::string method;
  std::string target;  // path and query, the access token masked
  std::vector<std::pair<std::string, std::string>> headers;  // secrets masked
  std::string body;                                          // at most kBodyLimit bytes
  std::size_t bodyBytes = 0;                                 // as received
  int status = 0;
  std::string contentType;
  std::string answerBody;  // at most kBodyLimit bytes
  std::size_t answerBytes = 0;
  std::optional<std::uint64_t> paymentId;
  std::string scenario;       // empty for refused requests
  std::string amount;         // transaction_amount as sent; empty when none
  std::string paymentStatus;  // of the payment answered; empty when none
  std::optional<std::string> idempotencyKey;
  bool replayed = false;
  bool dropped = false;

  // Bodies beyond this are kept cut short: the journal's memory stays bounded whatever arrives.
  static constexpr std::size_t kBodyLimit = 16 * 1024;
};

// One accepted connection. Small and copied whole into every snapshot.
struct ConnectionRecord {
  std::uint64_t id = 0;
  std::uint64_t revision = 0;  // of its last change
  JournalTime accepted = 0;
  std::optional<JournalTime> handshakeStart;
  std::optional<JournalTime> handshakeDone;
  std::optional<JournalTime> closed;
  std::size_t requests = 0;
};

// What a viewer has not seen yet, from one moment.
struct JournalSnapshot {
  std::uint64_t revision = 0;  // pass it to the next since()
  bool reset = false;          // forget what was seen before: the journal was cleared
  JournalTime now = 0;
  std::vector<std::shared_ptr<const RequestRecord>> requests;  // oldest first
  std::vector<ConnectionRecord> connections;                   // by id
};

// The last requests and connections a sandbox saw, for its dashboard. Workers write, viewers
// read; a writer holds the lock only to append a pointer or update a few numbers, and a viewer
// only to copy pointers, so a viewer that is slow to send never holds up a payment. Every change
// raises the revision, which is what viewers follow.
class Journal {
 public:
  using Clock = std::chrono::steady_clock;

  Journal(std::size_t requestCapacity, std::size_t connectionCapacity);

  JournalTime now() const;
  JournalTime at(Clock::time_point time) const;
  // The wall-clock time of JournalTime 0, in milliseconds since the epoch, for display.
  std::int64_t startedAtMillis() const { return startedAtMillis_; }
  std::size_t requestCapacity() const { return requestCapacity_; }

  // Connection ids count from 1 in the order they were accepted.
  void connectionAccepted(std::uint64_t id, JournalTime accepted);
  void handshakeStarted(std::uint64_t id);
  void handshakeDone(std::uint64_t id);
  void connectionClosed(std::uint64_t id);
  void add(RequestRecord record);
  // Forgets every request and every closed connection; open connections stay, as lanes that
  // later requests continue.
  void clear();
  // Raises the revision with nothing else changed: viewers come to read the sandbox's state
  // (a control was set).
  void touch();

  // Everything that changed after `revision` (everything, with reset, when that revision was
  // before a clear or is not one of this journal's).
  JournalSnapshot since(std::uint64_t revision) const;
  std::shared_ptr<const RequestRecord> request(std::uint64_t seq) const;

  // Sleeps until the revision passes `revision`, `timeout` passes or viewers are closed;
  // false once they are closed.
  bool waitForChange(std::uint64_t revision, std::chrono::milliseconds timeout) const;
  // Sleeps for `pause` unless viewers are closed first; false once they are. Spaces a viewer's
  // updates, so that a burst of payments costs it one snapshot, not one per payment.
  bool pauseViewer(std::chrono::milliseconds pause) const;
  // Ends every wait, now and later, until reopened; for stopping the viewers' threads.
  void closeViewers();
  void openViewers();

 private:
  // With mutex_ held.
  ConnectionRecord* find(std::uint64_t id);
  void changed();
  void update(std::uint64_t id, std::optional<JournalTime> ConnectionRecord::*field);

  const std::size_t requestCapacity_;
  const std::size_t connectionCapacity_;
  const Clock::time_point epoch_;
  const std::int64_t startedAtMillis_;

  mutable std::mutex mutex_;
  mutable std::condition_variable change_;
  // Apart from change_, so that a pausing viewer is not woken by every request.
  mutable std::condition_variable closing_;
  std::uint64_t revision_ = 0;
  std::uint64_t clearedAt_ = 0;
  std::uint64_t nextSeq_ = 1;
  bool viewersClosed_ = false;
  std::deque<std::shared_ptr<const RequestRecord>> requests_;  // by seq
  std::deque<ConnectionRecord> connections_;                   // by id
};

}  // namespace korvani::sandbox
