// SPDX-License-Identifier: MIT
// The access log's queue and writer. Lines are appended to one buffer under a lock held
// only for the copy; the writer swaps that buffer for its own empty one and writes it out
// with the lock released, so a slow or stuck disk fills the queue, then loses lines, but
// never stalls a session.
#include "server/access_log.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <new>
#include <vector>

#include "plat/plat.h"
#include "server/vorn3s.h"

std::atomic<bool> g_access_log_on{false};

// Bytes the queue holds: some 7000 lines, a quarter of a second of the busiest load measured
// (27,000 lines a second) and many times what the writer takes in one go.
static constexpr size_t QUEUE_CAP = 512 * 1024;
// The writer gathers lines for this long after the first of a batch, or until the queue
// is a quarter full: a busy server then costs one wake-up and one write per batch
// instead of per line.
static constexpr auto GATHER = std::chrono::milliseconds(100);
static constexpr size_t WAKE_AT = QUEUE_CAP / 4;
static constexpr size_t NO_SWITCH = static_cast<size_t>(-1);

namespace {
struct log_state {
  std::mutex lock;                  // everything below, but `file`, which the writer alone uses
  std::condition_variable wake;     // for the writer: lines, a new file, or the stop
  std::condition_variable settled;  // for close: the writer has ended
  std::vector<char> queued;         // whole lines, in the order they came
  size_t switch_at = NO_SWITCH;     // bytes of `queued` that still go to the old file
  plat_out_file* next = nullptr;    // the file reopened, for the writer to take up
  plat_out_file* file = nullptr;
  std::string path;
  uint64_t lost = 0;
  bool open = false;
  bool writer_idle = false;  // the writer waits for a first line
  bool stop = false;
  bool writer_done = true;
  plat_thread writer = nullptr;
};
}  // namespace

// Never destroyed: sessions outlive the console and may hand over lines until the very
// end, and a writer stuck on a disk that no longer answers is left running.
static log_state& state() {
  static log_state* s = new log_state;
  return *s;
}

static uint64_t lines_in(const char* bytes, size_t n) {
  return static_cast<uint64_t>(std::count(bytes, bytes + n, '\n'));
}

// Writes `n` bytes; the lines among them that did not reach the file.
static uint64_t write_part(plat_out_file* file, const char* bytes, size_t n) {
  if (n == 0) return 0;
  return plat_append_write(file, bytes, n) == 0 ? 0 : lines_in(bytes, n);
}

// Waits, holding `lk`, until there is a batch to write: the queue has gathered lines for
// GATHER or is a quarter full, or a new file or the stop has come.
static void gather(log_state& s, std::unique_lock<std::mutex>& lk) {
  bool gathering = false;
  std::chrono::steady_clock::time_point until;
  while (!s.stop && !s.next && s.queued.size() < WAKE_AT) {
    if (s.queued.empty()) {
      gathering = false;
      s.writer_idle = true;
      s.wake.wait(lk);
      s.writer_idle = false;
      continue;
    }
    if (!gathering) {
      gathering = true;
      until = std::chrono::steady_clock::now() + GATHER;
    }
    if (s.wake.wait_until(lk, until) == std::cv_status::timeout) return;
  }
}

static int writer_thread(void*) {
  log_state& s = state();
  std::vector<char> batch;
  batch.reserve(QUEUE_CAP);
  std::unique_lock lk(s.lock);
  for (;;) {
    gather(s, lk);
    if (s.queued.empty() && !s.next) break;  // stopped with nothing left
    batch.swap(s.queued);
    const size_t split = std::min(s.switch_at, batch.size());
    plat_out_file* next = s.next;
    s.next = nullptr;
    s.switch_at = NO_SWITCH;
    lk.unlock();
    uint64_t lost = write_part(s.file, batch.data(), split);
    if (next) {
      plat_append_close(s.file);
      s.file = next;
    }
    lost += write_part(s.file, batch.data() + split, batch.size() - split);
    batch.clear();
    lk.lock();
    s.lost += lost;
  }
  plat_append_close(s.file);
  s.file = nullptr;
  s.writer_done = true;
  s.settled.notify_all();
  return 0;
}

int access_log_open(const char* path) {
  log_state& s = state();
  std::lock_guard g(s.lock);
  if (s.open || !s.writer_done) return VORN3S_ECONFLICT;
  const bool to_stderr = path && std::string_view(path) == "-";
  plat_out_file* file = to_stderr ? plat_stderr_file() : plat_append_open(path);
  if (!file) return VORN3S_ENOTFOUND;
  try {
    s.path = path;
    s.queued.reserve(QUEUE_CAP);
  } catch (const std::bad_alloc&) {
    plat_append_close(file);
    return VORN3S_ENOMEM;
  }
  s.file = file;
  s.lost = 0;
  s.stop = false;
  s.writer_done = false;
  if (plat_thread_start(&s.writer, writer_thread, nullptr) != 0) {
    plat_append_close(file);
    s.file = nullptr;
    s.writer_done = true;
    return VORN3S_ENET;
  }
  s.open = true;
  g_access_log_on.store(true);
  return 0;
}

void access_log_close(int wait_ms) {
  log_state& s = state();
  plat_thread writer;
  bool done;
  {
    std::unique_lock lk(s.lock);
    if (!s.open) return;
    g_access_log_on.store(false);
    s.open = false;
    s.stop = true;
    s.wake.notify_one();
    s.settled.wait_for(lk, std::chrono::milliseconds(wait_ms), [&] { return s.writer_done; });
    done = s.writer_done;
    writer = s.writer;
    s.writer = nullptr;
    if (s.next) {
      plat_append_close(s.next);
      s.next = nullptr;
    }
  }
  // A writer still stuck in a write is left to the end of the process.
  if (done)
    plat_thread_join(writer);
  else
    plat_thread_detach(writer);
}

int access_log_reopen() {
  log_state& s = state();
  std::string path;
  {
    std::lock_guard g(s.lock);
    if (!s.open) return VORN3S_ECONFLICT;
    if (s.path == "-") return 0;
    path = s.path;
  }
  // Opened outside the lock: a slow file system holds up the console alone.
  plat_out_file* file = plat_append_open(path.c_str());
  if (!file) return VORN3S_ENOTFOUND;
  plat_out_file* replaced = nullptr;
  {
    std::lock_guard g(s.lock);
    if (!s.open) {
      replaced = file;
    } else {
      replaced = s.next;
      s.next = file;
      s.switch_at = std::min(s.switch_at, s.queued.size());
      s.wake.notify_one();
    }
  }
  plat_append_close(replaced);
  return 0;
}

void access_log_put(std::string_view line) {
  if (!access_log_on()) return;
  log_state& s = state();
  bool wake = false;
  {
    std::lock_guard g(s.lock);
    if (!s.open) return;
    if (s.queued.size() + line.size() > QUEUE_CAP) {
      s.lost++;
      return;
    }
    // Within the capacity reserved at the open: no allocation here.
    const size_t before = s.queued.size();
    s.queued.insert(s.queued.end(), line.begin(), line.end());
    // The first line of a batch starts the writer's gathering; a quarter-full queue ends it.
    wake = s.writer_idle || (before < WAKE_AT && s.queued.size() >= WAKE_AT);
    s.writer_idle = false;
  }
  if (wake) s.wake.notify_one();
}

access_log_status access_log_state() {
  log_state& s = state();
  access_log_status st;
  std::lock_guard g(s.lock);
  if (!s.open) return st;
  st.path = s.path;
  st.lost = s.lost;
  return st;
}
