#include "common/WriteBack.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#include "common/QuietThread.h"

namespace imgweld {
namespace {

// The helper is asked for a sync after every window of this many new bytes:
// enough that the syncs cost little, few enough that the final sync has
// only the last window or two left.
constexpr uint64_t kWindow = uint64_t{8} << 20;
// The writer may run so far ahead of what is on disk before it waits; the
// file's share of the page cache stays below this plus one window.
constexpr uint64_t kAhead = 8 * kWindow;
// The page the writer is still filling is left for the next window.
constexpr uint64_t kPage = 4096;

// Errors that say the file cannot be synced piecewise; the final sync alone
// is then left, and meets the same condition itself.
bool IsUnsupported(int error) { return error == EINVAL || error == EROFS || error == ENOSYS; }

}  // namespace

// The helper works on a descriptor of its own, so that closing the writer's
// stream never pulls the file from under a sync in progress.
struct WriteBack::Helper {
  std::mutex mutex;
  std::condition_variable work;      // the helper waits for a request or the end
  std::condition_variable progress;  // the writer waits for the disk to catch up
  int fd = -1;
  uint64_t wanted = 0;  // every byte below is to be synced
  uint64_t synced = 0;  // every byte below is on disk and left the page cache
  int error = 0;
  bool done = false;  // no more requests: stopped, or a sync failed
  std::thread thread;

  void Run();
  uint64_t NextRequest(std::unique_lock<std::mutex>& lock);
};

uint64_t WriteBack::Helper::NextRequest(std::unique_lock<std::mutex>& lock) {
  work.wait(lock, [this] { return done || wanted > synced; });
  return done ? 0 : wanted;
}

void WriteBack::Helper::Run() {
  std::unique_lock<std::mutex> lock(mutex);
  for (uint64_t target; (target = NextRequest(lock)) != 0;) {
    const uint64_t from = synced;
    lock.unlock();
    const int result = fdatasync(fd);
    const int failure = result == 0 ? 0 : errno;
    if (result == 0) {
      posix_fadvise(fd, static_cast<off_t>(from), static_cast<off_t>(target - from),
                    POSIX_FADV_DONTNEED);
    }
    lock.lock();
    if (failure != 0) {
      if (!IsUnsupported(failure)) error = failure;
      done = true;
    } else {
      synced = target;
    }
    progress.notify_all();
  }
}

WriteBack::WriteBack() = default;

WriteBack::~WriteBack() { Stop(); }

WriteBack::WriteBack(WriteBack&& other) noexcept
    : helper_(std::move(other.helper_)),
      requested_(other.requested_),
      error_(other.error_),
      off_(other.off_) {}

WriteBack& WriteBack::operator=(WriteBack&& other) noexcept {
  if (this != &other) {
    Stop();
    helper_ = std::move(other.helper_);
    requested_ = other.requested_;
    error_ = other.error_;
    off_ = other.off_;
  }
  return *this;
}

void WriteBack::Reset() {
  Stop();
  requested_ = 0;
  error_ = 0;
  off_ = false;
}

bool WriteBack::StartHelper(int fd) {
  auto helper = std::make_unique<Helper>();
  helper->fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (helper->fd < 0) return false;
  Helper* running = helper.get();
  if (!StartQuietThread(helper->thread, [running] { running->Run(); })) {
    close(helper->fd);
    return false;
  }
  helper_ = std::move(helper);
  return true;
}

void WriteBack::Reached(int fd, uint64_t end) {
  end -= end % kPage;
  if (off_ || end < requested_ + kWindow) return;
  if (!helper_ && !StartHelper(fd)) {
    off_ = true;
    return;
  }
  Helper& helper = *helper_;
  std::unique_lock<std::mutex> lock(helper.mutex);
  helper.wanted = end;
  requested_ = end;
  helper.work.notify_one();
  helper.progress.wait(lock, [&] { return helper.done || end - helper.synced <= kAhead; });
  if (helper.error != 0) error_ = helper.error;
  if (helper.done) off_ = true;
}

int WriteBack::Stop() {
  if (!helper_) return error_;
  {
    std::lock_guard<std::mutex> lock(helper_->mutex);
    helper_->done = true;
  }
  helper_->work.notify_one();
  helper_->thread.join();
  close(helper_->fd);
  if (helper_->error != 0) error_ = helper_->error;
  helper_.reset();
  off_ = true;
  return error_;
}

}  // namespace imgweld
