#include "image/Md5.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "common/QuietThread.h"

namespace imgweld {

namespace {

// Where the next data at or after `position` starts: `end` when only a hole
// follows, `position` itself when the file system cannot tell (devices, file
// systems without hole reporting), so that everything counts as data.
uint64_t NextData(int fd, uint64_t position, uint64_t end) {
  const off_t found = lseek(fd, static_cast<off_t>(position), SEEK_DATA);
  if (found >= 0) return static_cast<uint64_t>(found);
  return errno == ENXIO ? end : position;
}

void FeedZeros(Md5Context& context, uint64_t count) {
  static constexpr uint8_t kZeros[65536] = {};
  while (count > 0) {
    const size_t chunk = static_cast<size_t>(std::min<uint64_t>(count, sizeof kZeros));
    Md5Update(context, kZeros, chunk);
    count -= chunk;
  }
}

// Where the hole after the data at `position` starts; `end` when unknown.
uint64_t NextHole(int fd, uint64_t position, uint64_t end) {
  if (position >= end) return end;
  const off_t found = lseek(fd, static_cast<off_t>(position), SEEK_HOLE);
  return found >= 0 ? static_cast<uint64_t>(found) : end;
}

// Files are read through one buffer of this size per call, so memory use does
// not grow with the file; it is large enough that the read calls cost little
// next to the transform.
constexpr size_t kReadChunk = 0x40000;

inline uint32_t LoadLe32(const uint8_t* p) {
  if constexpr (std::endian::native == std::endian::little) {
    uint32_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
  } else {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
  }
}

inline void StoreLe32(uint8_t* p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
  p[2] = static_cast<uint8_t>(value >> 16);
  p[3] = static_cast<uint8_t>(value >> 24);
}

// The four round functions in the forms that need the fewest dependent
// operations; G is split into two additions that do not depend on each other.
#define MD5_STEP_F(a, b, c, d, k, t, s)                           \
  a += ((((c) ^ (d)) & (b)) ^ (d)) + LoadLe32(p + 4 * (k)) + (t); \
  a = std::rotl(a, s) + (b)
#define MD5_STEP_G(a, b, c, d, k, t, s)                            \
  a += ((~(d)) & (c)) + LoadLe32(p + 4 * (k)) + (t) + ((d) & (b)); \
  a = std::rotl(a, s) + (b)
#define MD5_STEP_H(a, b, c, d, k, t, s)                 \
  a += ((b) ^ (c) ^ (d)) + LoadLe32(p + 4 * (k)) + (t); \
  a = std::rotl(a, s) + (b)
#define MD5_STEP_I(a, b, c, d, k, t, s)                      \
  a += (((~(d)) | (b)) ^ (c)) + LoadLe32(p + 4 * (k)) + (t); \
  a = std::rotl(a, s) + (b)

// Transforms `blocks` consecutive 64-byte blocks, keeping the chaining values
// in registers from one block to the next.
void TransformBlocks(uint32_t state[4], const uint8_t* p, size_t blocks) {
  uint32_t a = state[0];
  uint32_t b = state[1];
  uint32_t c = state[2];
  uint32_t d = state[3];
  for (; blocks != 0; --blocks, p += 64) {
    const uint32_t a0 = a;
    const uint32_t b0 = b;
    const uint32_t c0 = c;
    const uint32_t d0 = d;

    MD5_STEP_F(a, b, c, d, 0, 0xd76aa478u, 7);
    MD5_STEP_F(d, a, b, c, 1, 0xe8c7b756u, 12);
    MD5_STEP_F(c, d, a, b, 2, 0x242070dbu, 17);
    MD5_STEP_F(b, c, d, a, 3, 0xc1bdceeeu, 22);
    MD5_STEP_F(a, b, c, d, 4, 0xf57c0fafu, 7);
    MD5_STEP_F(d, a, b, c, 5, 0x4787c62au, 12);
    MD5_STEP_F(c, d, a, b, 6, 0xa8304613u, 17);
    MD5_STEP_F(b, c, d, a, 7, 0xfd469501u, 22);
    MD5_STEP_F(a, b, c, d, 8, 0x698098d8u, 7);
    MD5_STEP_F(d, a, b, c, 9, 0x8b44f7afu, 12);
    MD5_STEP_F(c, d, a, b, 10, 0xffff5bb1u, 17);
    MD5_STEP_F(b, c, d, a, 11, 0x895cd7beu, 22);
    MD5_STEP_F(a, b, c, d, 12, 0x6b901122u, 7);
    MD5_STEP_F(d, a, b, c, 13, 0xfd987193u, 12);
    MD5_STEP_F(c, d, a, b, 14, 0xa679438eu, 17);
    MD5_STEP_F(b, c, d, a, 15, 0x49b40821u, 22);

    MD5_STEP_G(a, b, c, d, 1, 0xf61e2562u, 5);
    MD5_STEP_G(d, a, b, c, 6, 0xc040b340u, 9);
    MD5_STEP_G(c, d, a, b, 11, 0x265e5a51u, 14);
    MD5_STEP_G(b, c, d, a, 0, 0xe9b6c7aau, 20);
    MD5_STEP_G(a, b, c, d, 5, 0xd62f105du, 5);
    MD5_STEP_G(d, a, b, c, 10, 0x02441453u, 9);
    MD5_STEP_G(c, d, a, b, 15, 0xd8a1e681u, 14);
    MD5_STEP_G(b, c, d, a, 4, 0xe7d3fbc8u, 20);
    MD5_STEP_G(a, b, c, d, 9, 0x21e1cde6u, 5);
    MD5_STEP_G(d, a, b, c, 14, 0xc33707d6u, 9);
    MD5_STEP_G(c, d, a, b, 3, 0xf4d50d87u, 14);
    MD5_STEP_G(b, c, d, a, 8, 0x455a14edu, 20);
    MD5_STEP_G(a, b, c, d, 13, 0xa9e3e905u, 5);
    MD5_STEP_G(d, a, b, c, 2, 0xfcefa3f8u, 9);
    MD5_STEP_G(c, d, a, b, 7, 0x676f02d9u, 14);
    MD5_STEP_G(b, c, d, a, 12, 0x8d2a4c8au, 20);

    MD5_STEP_H(a, b, c, d, 5, 0xfffa3942u, 4);
    MD5_STEP_H(d, a, b, c, 8, 0x8771f681u, 11);
    MD5_STEP_H(c, d, a, b, 11, 0x6d9d6122u, 16);
    MD5_STEP_H(b, c, d, a, 14, 0xfde5380cu, 23);
    MD5_STEP_H(a, b, c, d, 1, 0xa4beea44u, 4);
    MD5_STEP_H(d, a, b, c, 4, 0x4bdecfa9u, 11);
    MD5_STEP_H(c, d, a, b, 7, 0xf6bb4b60u, 16);
    MD5_STEP_H(b, c, d, a, 10, 0xbebfbc70u, 23);
    MD5_STEP_H(a, b, c, d, 13, 0x289b7ec6u, 4);
    MD5_STEP_H(d, a, b, c, 0, 0xeaa127fau, 11);
    MD5_STEP_H(c, d, a, b, 3, 0xd4ef3085u, 16);
    MD5_STEP_H(b, c, d, a, 6, 0x04881d05u, 23);
    MD5_STEP_H(a, b, c, d, 9, 0xd9d4d039u, 4);
    MD5_STEP_H(d, a, b, c, 12, 0xe6db99e5u, 11);
    MD5_STEP_H(c, d, a, b, 15, 0x1fa27cf8u, 16);
    MD5_STEP_H(b, c, d, a, 2, 0xc4ac5665u, 23);

    MD5_STEP_I(a, b, c, d, 0, 0xf4292244u, 6);
    MD5_STEP_I(d, a, b, c, 7, 0x432aff97u, 10);
    MD5_STEP_I(c, d, a, b, 14, 0xab9423a7u, 15);
    MD5_STEP_I(b, c, d, a, 5, 0xfc93a039u, 21);
    MD5_STEP_I(a, b, c, d, 12, 0x655b59c3u, 6);
    MD5_STEP_I(d, a, b, c, 3, 0x8f0ccc92u, 10);
    MD5_STEP_I(c, d, a, b, 10, 0xffeff47du, 15);
    MD5_STEP_I(b, c, d, a, 1, 0x85845dd1u, 21);
    MD5_STEP_I(a, b, c, d, 8, 0x6fa87e4fu, 6);
    MD5_STEP_I(d, a, b, c, 15, 0xfe2ce6e0u, 10);
    MD5_STEP_I(c, d, a, b, 6, 0xa3014314u, 15);
    MD5_STEP_I(b, c, d, a, 13, 0x4e0811a1u, 21);
    MD5_STEP_I(a, b, c, d, 4, 0xf7537e82u, 6);
    MD5_STEP_I(d, a, b, c, 11, 0xbd3af235u, 10);
    MD5_STEP_I(c, d, a, b, 2, 0x2ad7d2bbu, 15);
    MD5_STEP_I(b, c, d, a, 9, 0xeb86d391u, 21);

    a += a0;
    b += b0;
    c += c0;
    d += d0;
  }
  state[0] = a;
  state[1] = b;
  state[2] = c;
  state[3] = d;
}

#undef MD5_STEP_F
#undef MD5_STEP_G
#undef MD5_STEP_H
#undef MD5_STEP_I

}  // namespace

void Md5Init(Md5Context& context) {
  context.state[0] = 0x67452301u;
  context.state[1] = 0xefcdab89u;
  context.state[2] = 0x98badcfeu;
  context.state[3] = 0x10325476u;
  context.count[0] = 0;
  context.count[1] = 0;
}

void Md5Update(Md5Context& context, const uint8_t* data, size_t length) {
  if (length == 0) return;
  size_t index = (context.count[0] >> 3) & 63;
  // The bit count is kept modulo 2^64 as the standard asks, even for lengths
  // of 2^29 bytes and more in a single call.
  const uint64_t bits = (static_cast<uint64_t>(context.count[1]) << 32 | context.count[0]) +
                        (static_cast<uint64_t>(length) << 3);
  context.count[0] = static_cast<uint32_t>(bits);
  context.count[1] = static_cast<uint32_t>(bits >> 32);

  if (index != 0) {
    const size_t room = 64 - index;
    if (length < room) {
      std::memcpy(context.buffer + index, data, length);
      return;
    }
    std::memcpy(context.buffer + index, data, room);
    TransformBlocks(context.state, context.buffer, 1);
    data += room;
    length -= room;
    index = 0;
  }
  const size_t blocks = length / 64;
  if (blocks != 0) {
    TransformBlocks(context.state, data, blocks);
    data += blocks * 64;
    length -= blocks * 64;
  }
  if (length != 0) std::memcpy(context.buffer, data, length);
}

void Md5Final(Md5Digest& digest, Md5Context& context) {
  static constexpr uint8_t kPadding[64] = {0x80};
  uint8_t countBytes[8];
  StoreLe32(countBytes, context.count[0]);
  StoreLe32(countBytes + 4, context.count[1]);
  const size_t index = (context.count[0] >> 3) & 63;
  Md5Update(context, kPadding, index < 56 ? 56 - index : 120 - index);
  Md5Update(context, countBytes, sizeof countBytes);
  for (int i = 0; i < 4; ++i) StoreLe32(digest.data() + 4 * i, context.state[i]);
  std::memset(&context, 0, sizeof context);
}

namespace {

// The buffers between the caller and the digest's thread: enough that
// neither waits for the other while both keep pace, and few enough to add
// little to the run's memory.
constexpr size_t kPipelineBuffers = 4;
constexpr size_t kPipelineBufferSize = size_t{256} << 10;

}  // namespace

// The full buffers waiting for the thread are the ones from `next` on; the
// caller fills the one after them, which the thread does not touch.
struct Md5Pipeline::Worker {
  std::mutex mutex;
  std::condition_variable queued;  // the thread waits for a full buffer or the end
  std::condition_variable freed;   // the caller waits for a free buffer
  std::unique_ptr<uint8_t[]> buffers[kPipelineBuffers];
  size_t lengths[kPipelineBuffers] = {};
  size_t next = 0;     // the buffer the thread digests next
  size_t filling = 0;  // the buffer the caller fills
  size_t waiting = 0;  // full buffers not yet digested
  bool done = false;
  bool threaded = false;
  bool inPlace = false;  // no thread could be had
  Md5Context context{};
  std::thread thread;

  void Run();
  // Lets the thread digest what is queued and waits for it to end.
  void Join();
};

void Md5Pipeline::Worker::Run() {
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    queued.wait(lock, [this] { return waiting != 0 || done; });
    if (waiting == 0) return;
    const size_t index = next;
    lock.unlock();
    Md5Update(context, buffers[index].get(), lengths[index]);
    lock.lock();
    next = (next + 1) % kPipelineBuffers;
    --waiting;
    freed.notify_one();
  }
}

Md5Pipeline::Md5Pipeline() = default;

Md5Pipeline::~Md5Pipeline() { Stop(); }

void Md5Pipeline::Init() {
  Stop();
  worker_ = std::make_unique<Worker>();
  for (auto& buffer : worker_->buffers) {
    buffer = std::make_unique_for_overwrite<uint8_t[]>(kPipelineBufferSize);
  }
  Md5Init(worker_->context);
  filled_ = 0;
}

void Md5Pipeline::Update(const uint8_t* data, size_t length) {
  if (!worker_) Init();
  Worker& worker = *worker_;
  while (length != 0) {
    // Once no thread can be had, the rest of this update is digested now,
    // after the buffer Queue() has just digested and before any later one.
    if (worker.inPlace) {
      Md5Update(worker.context, data, length);
      return;
    }
    const size_t n = std::min(length, kPipelineBufferSize - filled_);
    std::memcpy(worker.buffers[worker.filling].get() + filled_, data, n);
    filled_ += n;
    data += n;
    length -= n;
    if (filled_ == kPipelineBufferSize) Queue();
  }
}

// Hands the full buffer to the thread, started with the first one, and
// waits until the next buffer is free.
void Md5Pipeline::Queue() {
  Worker& worker = *worker_;
  if (!worker.threaded && !worker.inPlace) {
    Worker* running = &worker;
    worker.threaded = StartQuietThread(worker.thread, [running] { running->Run(); });
    worker.inPlace = !worker.threaded;
  }
  if (worker.inPlace) {
    Md5Update(worker.context, worker.buffers[worker.filling].get(), filled_);
    filled_ = 0;
    return;
  }
  std::unique_lock<std::mutex> lock(worker.mutex);
  worker.lengths[worker.filling] = filled_;
  worker.filling = (worker.filling + 1) % kPipelineBuffers;
  ++worker.waiting;
  worker.queued.notify_one();
  worker.freed.wait(lock, [&worker] { return worker.waiting < kPipelineBuffers; });
  filled_ = 0;
}

void Md5Pipeline::Final(Md5Digest& digest) {
  if (!worker_) Init();
  Worker& worker = *worker_;
  if (filled_ != 0) {
    if (worker.threaded) {
      Queue();
    } else {
      Md5Update(worker.context, worker.buffers[worker.filling].get(), filled_);
    }
  }
  worker.Join();  // the thread digests every buffer before it ends
  Md5Final(digest, worker.context);
  Stop();
}

void Md5Pipeline::Worker::Join() {
  if (!threaded) return;
  {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
  }
  queued.notify_one();
  thread.join();
  threaded = false;
}

void Md5Pipeline::Stop() {
  if (worker_) worker_->Join();
  worker_.reset();
  filled_ = 0;
}

bool Md5OfStream(Md5Digest& digest, File& file, uint64_t length, Progress* progress) {
  if (!file.IsOpen()) return false;
  const std::optional<uint64_t> size = file.Length();
  if (!size) return false;
  // The whole-file count is kept in 64 bits: a file of 4 GiB or more is
  // digested whole rather than cut to its low 32 bits of length.
  uint64_t end = *size;
  if (length != kMd5WholeFile) {
    if (length > *size) return false;
    end = length;
  }
  const auto buffer = std::make_unique_for_overwrite<uint8_t[]>(kReadChunk);
  Md5Context context;
  Md5Init(context);
  const int fd = fileno(file.Stream());
  for (uint64_t position = 0; position < end;) {
    // A hole reads as zero bytes; they are fed to the digest without asking
    // the file system for them, which would fill the cache with zero pages.
    const uint64_t dataStart = std::min(NextData(fd, position, end), end);
    FeedZeros(context, dataStart - position);
    Advance(progress, dataStart - position);
    position = dataStart;
    const uint64_t dataEnd = std::min(NextHole(fd, position, end), end);
    if (position < dataEnd && !file.Seek(position)) return false;
    while (position < dataEnd) {
      const size_t chunk = static_cast<size_t>(std::min<uint64_t>(dataEnd - position, kReadChunk));
      if (!file.ReadExact(buffer.get(), chunk)) return false;
      Md5Update(context, buffer.get(), chunk);
      position += chunk;
      Advance(progress, chunk);
    }
  }
  Md5Final(digest, context);
  return true;
}

bool Md5OfFile(Md5Digest& digest, const std::string& path, uint64_t length) {
  // Opened as an input: a FIFO under the name is refused, not waited on.
  File file;
  if (!file.OpenInput(path)) return false;
  return Md5OfStream(digest, file, length);
}

std::string HashFilePath(const std::string& imagePath) {
  const size_t dot = imagePath.rfind('.');
  if (dot == std::string::npos) return imagePath + ".md5";
  return imagePath.substr(0, dot) + ".md5";
}

}  // namespace imgweld
