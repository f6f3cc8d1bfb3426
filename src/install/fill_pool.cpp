#include "install/fill_pool.h"

#include <algorithm>
#include <exception>
#include <utility>


namespace installer {

namespace {

// Fills `portion` of `file` with `steps`; once it is filled, or has failed, lets go
// of its descriptors at once, not when the slot that holds it is next used.
Result<ItemSteps::Copied> fillAndRelease(ItemSteps& steps, FileToFill& file, ItemSteps::Portion portion) {
  Result<ItemSteps::Copied> filled = steps.fillFile(file.from.get(), file.to, file.status, file.createdMode,
                                                    file.done, portion, CopyEnds{file.source, file.destination});
  if (!filled || *filled == ItemSteps::Copied::wholly) {
    file.from.reset();
    file.to.reset();
  }
  return filled;
}

}  // namespace

FillPool::FillPool(size_t workers, size_t queueLength, const CopyRules& rules, WritingBackMeanwhile* writingBack)
    : rules_(rules),
      writingBack_(writingBack),
      queueLength_(std::max<size_t>(queueLength, 1)),
      batch_(std::clamp<size_t>(queueLength_ / 2, 1, kMostBatch)),
      queue_(queueLength_),
      filling_(workers) {
  threads_.reserve(workers);
  try {
    for (size_t index = 0; index < workers; ++index) {
      threads_.emplace_back([this, index] { work(index); });
    }
  } catch (const std::exception&) {
    // The system allows no more threads (a process limit), or no memory for one: the
    // ones started do the work, and with none the walk fills the files itself.  Caught
    // here, so that no started thread is left joinable in a pool that never was.
  }
}

template <typename Visit>
void FillPool::forEachUnfilledLocked(Visit visit) const {
  for (size_t index = 0; index < queued_; ++index) {
    visit(queue_[(head_ + index) % queueLength_].position);
  }
  for (const std::optional<WalkPosition>& being : filling_) {
    if (being) {
      visit(*being);
    }
  }
}

FillPool::~FillPool() {
  if (!threads_.empty()) {
    (void)finish();
  }
}

FillPool::Handover FillPool::fill(FileToFill& file) {
  const bool large = file.status.st_size >= kLargeFile;
  std::unique_lock lock(mutex_);
  if (firstFailure_) {
    return Handover::refused;
  }
  if (queued_ == queueLength_) {
    wakeAllLocked();
    return Handover::givenBack;
  }
  std::swap(queue_[(head_ + queued_) % queueLength_], file);
  ++queued_;
  if (sleeping_ > 0 && (large || queued_ % batch_ == 0)) {
    workArrived_.notify_one();
  }
  return Handover::taken;
}

FillPool::Turn FillPool::fillGivenBack(FileToFill& file, ItemSteps& steps) {
  Result<ItemSteps::Copied> filled = fillAndRelease(steps, file, ItemSteps::Portion::onePiece);
  if (!filled) {
    fail(file.position, filled.error());
    return Turn::failed;
  }
  return *filled == ItemSteps::Copied::wholly ? Turn::finished : Turn::unfinished;
}

void FillPool::wakeAllLocked() {
  if (sleeping_ > 0 && queued_ > 0) {
    workArrived_.notify_all();
  }
}

void FillPool::fail(WalkPosition position, Error error) {
  std::lock_guard lock(mutex_);
  record(position, std::move(error));
}

bool FillPool::failed() {
  std::lock_guard lock(mutex_);
  return firstFailure_.has_value();
}

bool FillPool::unfilled(std::vector<WalkPosition>& positions) {
  positions.clear();
  std::lock_guard lock(mutex_);
  forEachUnfilledLocked([&](WalkPosition position) { positions.push_back(position); });
  return !firstFailure_;
}

bool FillPool::waitForFilesBetween(WalkPosition after, WalkPosition before) {
  std::unique_lock lock(mutex_);
  wakeAllLocked();
  workProgressed_.wait(lock, [&] {
    bool filled = true;
    forEachUnfilledLocked([&](WalkPosition file) { filled = filled && (file <= after || file >= before); });
    return filled || firstFailure_;
  });
  return !firstFailure_;
}

std::optional<PlacedFailure> FillPool::finish() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  workArrived_.notify_all();
  for (std::thread& thread : threads_) {
    thread.join();
  }
  threads_.clear();
  // No other thread is left: the slot is the walk's alone now.
  return std::move(firstFailure_);
}

void FillPool::work(size_t index) {
  ItemSteps steps(rules_, writingBack_);
  FileToFill file;
  std::unique_lock lock(mutex_);
  for (;;) {
    if (queued_ == 0 && !closed_) {
      lock.unlock();
      const auto until = std::chrono::steady_clock::now() + kLookAgainFor;
      while (queued_.load() == 0 && !closed_.load() && std::chrono::steady_clock::now() < until) {
        std::this_thread::yield();
      }
      lock.lock();
    }
    if (queued_ == 0 && !closed_) {
      ++sleeping_;
      workArrived_.wait(lock, [&] { return queued_ > 0 || closed_; });
      --sleeping_;
    }
    if (queued_ == 0) {
      return;
    }
    fillHeadLocked(lock, index, steps, file);
  }
}

void FillPool::fillHeadLocked(std::unique_lock<std::mutex>& lock, size_t index, ItemSteps& steps, FileToFill& file) {
  std::swap(file, queue_[head_]);
  head_ = (head_ + 1) % queueLength_;
  --queued_;
  const bool dropped = firstFailure_ && firstFailure_->position < file.position;
  if (!dropped) {
    filling_[index] = file.position;
  }
  lock.unlock();

  Result<ItemSteps::Copied> filled = ItemSteps::Copied::wholly;
  if (dropped) {
    file.from.reset();
    file.to.reset();
  } else {
    filled = fillAndRelease(steps, file, ItemSteps::Portion::rest);
  }

  lock.lock();
  if (!filled) {
    record(file.position, filled.error());
  }
  filling_[index].reset();
  workProgressed_.notify_one();  // a file filled, or a failure known
}

void FillPool::record(WalkPosition position, Error error) {
  if (!firstFailure_ || position < firstFailure_->position) {
    firstFailure_ = PlacedFailure{position, std::move(error)};
  }
}

}  // namespace installer
