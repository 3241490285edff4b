// change_queue.h - what the loop's notifier has to push, in order: each
// cycle a snapshot of its own (its counter), so that no two cycles' events
// are ever merged into one. Other changes (state, inversion, settings) carry
// the values as they stand when pushed, so they merge into the newest entry
// and are never lost. Bounded: when full, a cycle's snapshot is dropped and
// counted; posting never blocks on the consumer. Knows nothing of TANGO.
#ifndef ZOR_FEEDBACK_SERVER_CHANGE_QUEUE_H
#define ZOR_FEEDBACK_SERVER_CHANGE_QUEUE_H

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>

namespace zor_feedback {
namespace server {

class ChangeQueue {
 public:
  struct Entry {
    unsigned bits = 0;               // what changed (FeedbackLoop::Change bits)
    std::optional<long long> cycle;  // the counter of the cycle this entry is, if one
  };

  explicit ChangeQueue(std::size_t capacity);

  // Changes that are not a cycle: merged into the newest entry that is not a
  // cycle's, else a new entry, else (full) into the newest entry.
  void post(unsigned bits);
  // A cycle's snapshot; false (and counted in dropped()) when full.
  bool post_cycle(unsigned bits, long long cycle);
  // The oldest entry, waiting for one; none once closed.
  std::optional<Entry> take();
  // Wakes take() for good; later posts are ignored.
  void close();
  long long dropped() const;
  std::size_t capacity() const { return capacity_; }

 private:
  const std::size_t capacity_;
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Entry> entries_;
  long long dropped_ = 0;
  bool closed_ = false;
};

}  // namespace server
}  // namespace zor_feedback

#endif  // ZOR_FEEDBACK_SERVER_CHANGE_QUEUE_H
