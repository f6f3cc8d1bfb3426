#pragma once

#include <sys/stat.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "install/item_steps.h"
#include "platform/fd.h"
#include "platform/result.h"

namespace installer {

// Where a step comes in the walk of a tree.  The walk numbers its steps (each entry
// copied, each folder finished) in the order one thread takes them, so of several
// failures the one with the lowest position is the one a copy on one thread meets
// first, whichever thread met it and whenever.
using WalkPosition = std::uint64_t;

// A failure and the position of the step that met it.
struct PlacedFailure {
  WalkPosition position = 0;
  Error error;
};

// A created file waiting to be filled: its source and its copy open, the source's
// status, how much of its contents is copied, and both paths as errors name them.
struct FileToFill {
  WalkPosition position = 0;
  UniqueFd from;
  UniqueFd to;
  struct stat status {};
  mode_t createdMode = 0;
  off_t done = 0;
  std::string source;
  std::string destination;
};

// Threads that fill the files a walk creates while the walk goes on.  The walk hands
// each file over through a queue of fixed length, filling one itself while it is
// full, so the memory and descriptors the files in flight take stay bounded however
// many there are.  The threads share only that queue (with the positions of the files being
// filled) and the first failure in walk order; each has its own ItemSteps.  The
// members below are for the walk's thread; the workers run work() alone.
//
// Of the files handed over, a worker drops one only when a failure earlier in walk
// order is known: any other could fail itself, earlier than the failure known so
// far, and the failure reported must not depend on which thread was quicker.
class FillPool {
public:
  // Starts `workers` threads, or as many as the system allows (workers() says how
  // many), each filling files by `rules` and telling `writingBack` (both must outlive
  // the pool), handed over through a queue of `queueLength` files.
  FillPool(size_t workers, size_t queueLength, const CopyRules& rules, WritingBackMeanwhile* writingBack);
  // Stops and joins the threads, as finish() does.
  ~FillPool();
  FillPool(const FillPool&) = delete;
  FillPool& operator=(const FillPool&) = delete;

  size_t workers() const { return threads_.size(); }

  // Hands `file` over to the workers (what it holds is taken; it is left holding an
  // empty one to reuse).  When the queue is full, `file` is given back: the walk
  // fills it itself rather than wait while the workers copy large files.  Refused,
  // with `file` left as it is, once a failure is known: the walk stops then.
  enum class Handover { taken, givenBack, refused };
  Handover fill(FileToFill& file);

  // Fills, on the walk's thread, the file fill() gave back, with `steps`: a small one
  // whole, a large one by one piece (see ItemContentCopier::copyData), after which
  // the walk offers the rest to the workers again.  So neither the walk nor the
  // workers wait long for the other, and the walk's thread copies its share of the
  // large files too, one writer at a time on each: the file systems a bundle is
  // installed on let one writer at a time into a file, so a second one would only
  // wait.  A failure is recorded at the file's own position.
  enum class Turn { finished, unfinished, failed };
  Turn fillGivenBack(FileToFill& file, ItemSteps& steps);

  // Records the walk's own failure at `position`.
  void fail(WalkPosition position, Error error);

  // Whether a failure is known.
  bool failed();

  // The positions of the files handed over and not filled yet, all taken at one
  // moment, in `positions`.  False when a failure is known.
  bool unfilled(std::vector<WalkPosition>& positions);

  // Waits until every file handed over at a position between `after` and `before`
  // is filled.  False, at once, when a failure is known.
  bool waitForFilesBetween(WalkPosition after, WalkPosition before);

  // Takes no more files, lets the workers fill those left that come before the first
  // failure known (dropping the others) and joins them.  Gives the first failure in
  // walk order, the walk's own included, if there was one.  (The walk does not fill
  // any of them itself: on ext4 a second large file written at the end, beside the
  // workers', made the flushed copy slower.)
  std::optional<PlacedFailure> finish();

private:
  // Waking a thread costs about as much as filling a small file, so sleeping workers
  // are woken for files in batches of this many (a large file wakes one at once); a
  // short queue has smaller batches.  Before the walk waits for anything, or fills a
  // file itself, it wakes them all.
  static constexpr size_t kMostBatch = 4;
  // A file that takes a worker long enough to wake one at once.
  static constexpr off_t kLargeFile = 1 << 20;
  // How long a worker that runs out of files looks again before it sleeps: the walk
  // hands over a file every few microseconds, and waking a sleeping worker costs the
  // walk a system call each time, and the worker the time to be scheduled again.
  static constexpr std::chrono::microseconds kLookAgainFor{100};

  void work(size_t index);
  // Takes the file at the head of the queue (there is one) into `file` and fills it
  // with `steps` as the worker `index`, the lock released meanwhile; drops it instead
  // when a failure earlier in walk order is known.
  void fillHeadLocked(std::unique_lock<std::mutex>& lock, size_t index, ItemSteps& steps, FileToFill& file);
  void wakeAllLocked();
  void record(WalkPosition position, Error error);
  template <typename Visit>
  void forEachUnfilledLocked(Visit visit) const;

  const CopyRules& rules_;
  WritingBackMeanwhile* const writingBack_;
  std::mutex mutex_;
  std::condition_variable workArrived_;   // workers wait here for files
  std::condition_variable workProgressed_;  // the walk waits here for filled files
  // The queue's length (each file in it holds two descriptors) and its batch.
  const size_t queueLength_;
  const size_t batch_;
  // Guarded by mutex_: the queue, a ring of files in walk order from head_ on; the
  // positions the workers are filling; the end of the walk; the first failure.
  std::vector<FileToFill> queue_;
  size_t head_ = 0;
  std::atomic<size_t> queued_ = 0;  // also read without the lock, by workers looking again
  std::vector<std::optional<WalkPosition>> filling_;
  size_t sleeping_ = 0;  // workers waiting for files
  std::atomic<bool> closed_ = false;
  std::optional<PlacedFailure> firstFailure_;
  // Touched by the walk's thread only.
  std::vector<std::thread> threads_;
};

}  // namespace installer
