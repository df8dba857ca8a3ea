#include "image/ImageSource.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace imgweld {
namespace {

constexpr size_t kChunk = size_t{64} << 10;

// Whether every byte of `bytes` is `value`: the first one is, and each
// other one equals the one before it. A single memcmp, which runs a word
// at a time, where a loop would compare byte by byte.
bool HoldsOnly(std::span<const uint8_t> bytes, uint8_t value) {
  return bytes.empty() ||
         (bytes[0] == value && std::memcmp(bytes.data(), bytes.data() + 1, bytes.size() - 1) == 0);
}

}  // namespace

bool ImageSource::Read(uint64_t offset, std::span<uint8_t> out) {
  if (Contains(offset, out.size()) && ReadInside(offset, out)) return true;
  if (!out.empty()) std::memset(out.data(), 0, out.size());
  return false;
}

bool MemorySource::ReadInside(uint64_t offset, std::span<uint8_t> out) {
  if (!out.empty()) std::memcpy(out.data(), bytes_.data() + offset, out.size());
  return true;
}

bool FileSource::ReadInside(uint64_t offset, std::span<uint8_t> out) {
  return out.empty() || (file_.Seek(offset) && file_.ReadExact(out));
}

uint64_t FileSource::NextData(uint64_t offset) {
  if (offset >= Length()) return Length();
  const int fd = fileno(file_.Stream());
  const off_t found = lseek(fd, static_cast<off_t>(offset), SEEK_DATA);
  if (found >= 0) return std::min(static_cast<uint64_t>(found), Length());
  // No data after `offset`: zeros up to the measured length, as long as the
  // file still reaches that far (a file cut since reads fail instead).
  struct stat status;
  if (errno == ENXIO && fstat(fd, &status) == 0 &&
      static_cast<uint64_t>(status.st_size) >= Length()) {
    return Length();
  }
  return offset;
}

ByteMatch CompareToFill(ImageSource& source, uint64_t offset, uint64_t length, uint8_t value) {
  if (!source.Contains(offset, length)) return ByteMatch::kNotMade;
  std::vector<uint8_t> chunk(static_cast<size_t>(std::min<uint64_t>(length, kChunk)));
  for (uint64_t done = 0; done < length;) {
    // A hole of the file holds zeros; only its data needs reading.
    if (value == 0) {
      const uint64_t data = std::min(source.NextData(offset + done), offset + length);
      if (data > offset + done) {
        done = data - offset;
        continue;
      }
    }
    const std::span<uint8_t> part(chunk.data(), std::min<uint64_t>(length - done, kChunk));
    if (!source.Read(offset + done, part)) return ByteMatch::kNotMade;
    if (!HoldsOnly(part, value)) return ByteMatch::kDiffer;
    done += part.size();
  }
  return ByteMatch::kEqual;
}

ByteMatch CompareRanges(ImageSource& source, uint64_t first, uint64_t second, uint64_t length) {
  if (!source.Contains(first, length) || !source.Contains(second, length)) {
    return ByteMatch::kNotMade;
  }
  const size_t size = static_cast<size_t>(std::min<uint64_t>(length, kChunk));
  std::vector<uint8_t> a(size);
  std::vector<uint8_t> b(size);
  for (uint64_t done = 0; done < length;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(length - done, kChunk));
    if (!source.Read(first + done, std::span(a).first(n)) ||
        !source.Read(second + done, std::span(b).first(n))) {
      return ByteMatch::kNotMade;
    }
    if (!std::equal(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(n), b.begin())) {
      return ByteMatch::kDiffer;
    }
    done += n;
  }
  return ByteMatch::kEqual;
}

}  // namespace imgweld
