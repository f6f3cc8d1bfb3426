// Linux only: syncfs, which flushes a whole file system at once, and sync_file_range.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#include "platform/durability.h"
#include "platform/error.h"

namespace installer {

Result<void> flushFileOfCopy(int, off_t, std::string_view) {
  // The one syncfs before the rename writes every file's data at once, far cheaper
  // than a flush of each.  A large file's pieces went to the disk as they were
  // written; small ones are not worth a call each: starting the writing back of every
  // file on its own costs more processor time than the disk saves.
  return {};
}

off_t writingBackPiece() { return off_t{8} << 20; }

Result<void> startWritingBack(int file, off_t offset, off_t length, std::string_view shownPath) {
  if (::sync_file_range(file, offset, length, SYNC_FILE_RANGE_WRITE) != 0) {
    return systemError(errno, "flushing", shownPath);
  }
  return {};
}

namespace {

// Small files written between two flushes while a copy goes on.
constexpr off_t kWriteBackEvery = 16 << 20;

}  // namespace

struct WritingBackMeanwhile::State {
  std::mutex mutex;
  std::condition_variable changed;
  off_t unflushed = 0;  // guarded by mutex, as are the two below
  bool flushing = false;
  bool stop = false;
  std::thread thread;
};

WritingBackMeanwhile::WritingBackMeanwhile(int folder) : state_(std::make_unique<State>()) {
  State& state = *state_;
  try {
    state.thread = std::thread([&state, folder] {
      std::unique_lock lock(state.mutex);
      for (;;) {
        state.changed.wait(lock, [&] { return state.stop || state.unflushed >= kWriteBackEvery; });
        if (state.stop) {
          return;
        }
        state.unflushed = 0;
        lock.unlock();
        (void)::syncfs(folder);
        lock.lock();
      }
    });
  } catch (const std::exception&) {
    // No thread to be had: the flush before the rename does it all.
  }
}

WritingBackMeanwhile::~WritingBackMeanwhile() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stop = true;
  }
  state_->changed.notify_all();
  if (state_->thread.joinable()) {
    state_->thread.join();
  }
}

void WritingBackMeanwhile::written(off_t size) {
  // A large file's pieces went to the disk as they were written.
  if (size >= writingBackPiece()) {
    return;
  }
  std::lock_guard lock(state_->mutex);
  state_->unflushed += size;
  if (state_->unflushed >= kWriteBackEvery) {
    state_->changed.notify_one();
  }
}

Result<void> flushBeforeRename(int copy, std::string_view shownPath) {
  // syncfs writes the file system's data and metadata, commits its journal and
  // flushes the disk's cache, and (since Linux 5.8) reports a write that failed
  // earlier.  Only then may the rename that publishes the copy reach the journal; on
  // ext4 a journal commit alone keeps names but not the data behind them.
  if (::syncfs(copy) != 0) {
    return systemError(errno, "flushing", shownPath);
  }
  return {};
}

Result<void> flushFolder(int folder, std::string_view shownPath) {
  // Commits the rename itself before the run reports success.
  if (::fsync(folder) != 0) {
    return systemError(errno, "flushing", shownPath);
  }
  return {};
}

}  // namespace installer
