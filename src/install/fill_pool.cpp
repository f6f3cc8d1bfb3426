#include "install/fill_pool.h"

#include <system_error>
#include <utility>

namespace installer {

FillPool::FillPool(size_t workers, const CopyRules& rules) : rules_(rules), filling_(workers) {
  threads_.reserve(workers);
  try {
    for (size_t index = 0; index < workers; ++index) {
      threads_.emplace_back([this, index] { work(index); });
    }
  } catch (const std::system_error&) {
    // The system allows no more threads (a process limit): the ones started do the
    // work; with none, the walk fills the files itself.
  }
}

template <typename Visit>
void FillPool::forEachUnfilledLocked(Visit visit) const {
  for (size_t index = 0; index < queued_; ++index) {
    visit(queue_[(head_ + index) % kQueueLength].position);
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
  if (queued_ == kQueueLength && !firstFailure_) {
    wakeAllLocked();
    if (!large) {
      return Handover::givenBack;
    }
    workProgressed_.wait(lock, [&] { return queued_ <= kQueueLength - kBatch || firstFailure_; });
  }
  if (firstFailure_) {
    return Handover::refused;
  }
  std::swap(queue_[(head_ + queued_) % kQueueLength], file);
  ++queued_;
  if (sleeping_ > 0 && (large || queued_ % kBatch == 0)) {
    workArrived_.notify_one();
  }
  return Handover::taken;
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
  ItemSteps steps(rules_);
  FileToFill file;
  std::unique_lock lock(mutex_);
  for (;;) {
    if (queued_ == 0 && !closed_) {
      ++sleeping_;
      workArrived_.wait(lock, [&] { return queued_ > 0 || closed_; });
      --sleeping_;
    }
    if (queued_ == 0) {
      return;
    }
    std::swap(file, queue_[head_]);
    head_ = (head_ + 1) % kQueueLength;
    --queued_;
    const bool dropped = firstFailure_ && firstFailure_->position < file.position;
    if (!dropped) {
      filling_[index] = file.position;
    }
    const bool room = queued_ == kQueueLength - kBatch;
    lock.unlock();
    if (room) {
      workProgressed_.notify_one();
    }

    Result<void> filled;
    if (!dropped) {
      filled = steps.fillFile(file.from.get(), std::move(file.to), file.status,
                              CopyEnds{file.source, file.destination});
    }
    file.from.reset();
    file.to.reset();

    lock.lock();
    filling_[index].reset();
    if (!filled) {
      record(file.position, filled.error());
    }
    workProgressed_.notify_one();  // a file filled, or a failure known
  }
}

void FillPool::record(WalkPosition position, Error error) {
  if (!firstFailure_ || position < firstFailure_->position) {
    firstFailure_ = PlacedFailure{position, std::move(error)};
  }
}

}  // namespace installer
