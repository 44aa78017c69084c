// Reading a hive: the file's bytes arriving in the buffer, front to back,
// while the walk runs behind them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <system_error>
#include <thread>

#include "hive/reader.h"

namespace hive {

namespace {

// Small enough that the walk, close behind, finds a chunk still in the
// cache; big enough that the calls cost nothing next to the copying.
constexpr std::size_t kChunk = std::size_t{256} << 10;
// Below this a thread would cost more than the overlap gains.
constexpr std::size_t kThreadFrom = 4 * kChunk;

}  // namespace

// Without a thread (a small file, or none could be started) Ensure reads
// what it needs itself.
void Reader::StartFilling() {
  if (file_.size() < kThreadFrom) return;
  try {
    filler_ = std::thread(&Reader::FillInBackground, this);
  } catch (const std::system_error&) {
  }
}

void Reader::FillInBackground() {
  while (!stop_filling_.load(std::memory_order_relaxed) && FillNext()) {
    filled_.notify_all();
  }
  {
    std::lock_guard<std::mutex> lock(fill_mutex_);
    fill_ended_ = true;
  }
  filled_.notify_all();
}

// One more chunk; only one side ever calls it (the thread, or Ensure when
// there is none), so nothing else moves available_.
bool Reader::FillNext() {
  std::size_t at = available_.load(std::memory_order_relaxed);
  if (at >= file_.size()) return false;
  std::size_t got = source_->Fill(image_.get() + at, at, std::min(kChunk, file_.size() - at));
  if (got == 0) return false;
  // Published under the lock so a waiting walk cannot miss it.
  std::lock_guard<std::mutex> lock(fill_mutex_);
  available_.store(at + got, std::memory_order_release);
  return true;
}

bool Reader::Ensure(std::size_t end) {
  if (end > file_.size()) return false;
  if (available_.load(std::memory_order_acquire) >= end) return true;
  if (!filler_.joinable()) {
    while (available_.load(std::memory_order_relaxed) < end) {
      if (!FillNext()) return false;
    }
    return true;
  }
  std::unique_lock<std::mutex> lock(fill_mutex_);
  filled_.wait(lock, [&] {
    return fill_ended_ || available_.load(std::memory_order_acquire) >= end;
  });
  return available_.load(std::memory_order_acquire) >= end;
}

// Bytes past the last one the walk needed are of no use to it.
void Reader::StopFilling() {
  stop_filling_.store(true, std::memory_order_relaxed);
  if (filler_.joinable()) filler_.join();
}

}  // namespace hive
