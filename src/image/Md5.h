#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/File.h"
#include "common/Progress.h"

namespace imgweld {

using Md5Digest = std::array<uint8_t, 16>;

// Running state of one MD5 (RFC 1321) computation.
struct Md5Context {
  uint32_t state[4];   // chaining values A, B, C, D
  uint32_t count[2];   // bits fed so far, modulo 2^64, low word first
  uint8_t buffer[64];  // bytes of the incomplete block
};

void Md5Init(Md5Context& context);
void Md5Update(Md5Context& context, const uint8_t* data, size_t length);
// Writes the digest and clears the whole context.
void Md5Final(Md5Digest& digest, Md5Context& context);

// An MD5 computation beside its caller: Update copies the bytes into one of
// a few fixed buffers and returns, and a thread of its own digests the
// buffers in order, so a writer that hashes what it writes spends its time
// on the writing. The digest is Md5Update's over the same bytes. Until a
// buffer is full no thread is started; a short input is digested in place.
// Where no thread can be had, every buffer is digested in place.
class Md5Pipeline {
 public:
  Md5Pipeline();
  ~Md5Pipeline();
  Md5Pipeline(const Md5Pipeline&) = delete;
  Md5Pipeline& operator=(const Md5Pipeline&) = delete;

  // Starts a digest; one not finished before is abandoned.
  void Init();
  void Update(const uint8_t* data, size_t length);
  // Waits for the thread, writes the digest and ends the computation.
  void Final(Md5Digest& digest);

 private:
  struct Worker;
  void Queue();
  void Stop();

  std::unique_ptr<Worker> worker_;
  size_t filled_ = 0;  // bytes in the buffer being filled
};

// The length value that asks for the whole file.
inline constexpr uint64_t kMd5WholeFile = 0xFFFFFFFF;

// Digest of the file at `path` (opened and closed here), or of its first
// `length` bytes. False, with `digest` untouched, when the file cannot be
// opened, `length` exceeds the file, or a read comes up short.
bool Md5OfFile(Md5Digest& digest, const std::string& path, uint64_t length = kMd5WholeFile);
// The same over an open file, always from its first byte; the file stays open.
// Every byte digested advances `progress` when one is given.
bool Md5OfStream(Md5Digest& digest, File& file, uint64_t length = kMd5WholeFile,
                 Progress* progress = nullptr);

// The hash file beside an image: the path cut at its last "." (anywhere in
// the path) followed by ".md5"; ".md5" appended when the path has no ".".
std::string HashFilePath(const std::string& imagePath);

}  // namespace imgweld
