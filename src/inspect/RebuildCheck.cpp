#include "inspect/RebuildCheck.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "pack/ImagePlan.h"
#include "pack/PackContext.h"

namespace imgweld {
namespace {

constexpr size_t kChunk = size_t{64} << 10;

}  // namespace

ImageInputs::ImageInputs(ImageSource& source, std::vector<KitFile> files) : source_(source) {
  for (KitFile& file : files) files_[file.name] = std::move(file);
}

bool ImageInputs::Open(const std::string& name, File& file) const {
  const auto found = files_.find(name);
  // A name the kit does not hold fails as a missing file does.
  if (found == files_.end()) return file.OpenInput(std::string());
  const int fd = memfd_create(name.c_str(), MFD_CLOEXEC);
  if (fd < 0) return file.OpenInput(std::string());
  const bool filled = found->second.program
                          ? CopyProgram(found->second.extent, fd)
                          : ftruncate(fd, static_cast<off_t>(found->second.extent.length)) == 0;
  if (!filled || lseek(fd, 0, SEEK_SET) != 0) {
    close(fd);
    return file.OpenInput(std::string());
  }
  return file.Adopt(fd, name, "rb");
}

const PayloadExtent* ImageInputs::Find(const std::string& name) const {
  const auto found = files_.find(name);
  return found == files_.end() ? nullptr : &found->second.extent;
}

bool ImageInputs::CopyProgram(const PayloadExtent& extent, int fd) const {
  std::vector<uint8_t> chunk(kChunk);
  for (uint64_t done = 0; done < extent.length;) {
    uint64_t position = 0;
    const uint64_t run = std::min<uint64_t>(extent.RunAt(done, position), kChunk);
    const std::span<uint8_t> part(chunk.data(), static_cast<size_t>(run));
    if (!source_.Read(position, part) ||
        write(fd, part.data(), part.size()) != static_cast<ssize_t>(part.size())) {
      return false;
    }
    done += run;
  }
  return true;
}

namespace {
// What the planned image holds from one position on: fill bytes, a buffer
// of the plan, or a payload, from byte `from` of it.
struct Piece {
  enum class Kind { kFill, kBuffer, kPayload };
  uint64_t end = 0;
  Kind kind = Kind::kFill;
  size_t index = 0;
  uint64_t from = 0;
};

// The planned image as the steps leave it: later writes replace what earlier
// ones put at the same positions, as they do in the file.
class PlannedImage {
 public:
  explicit PlannedImage(const ImagePlan& plan) {
    uint64_t position = 0;
    for (const WriteStep& step : plan.steps) {
      switch (step.kind) {
        case WriteStep::Kind::kMessage:
          break;
        case WriteStep::Kind::kFill:
          if (length_ < step.position) Paint(length_, step.position, {0, Piece::Kind::kFill});
          position = step.position;
          break;
        case WriteStep::Kind::kSeek:
          position = step.position;
          break;
        case WriteStep::Kind::kBytes:
          Paint(position, position + plan.buffers[step.index].size(),
                {0, Piece::Kind::kBuffer, step.index});
          position += plan.buffers[step.index].size();
          break;
        case WriteStep::Kind::kCopy:
          Paint(position, position + plan.payloads[step.index].length,
                {0, Piece::Kind::kPayload, step.index});
          position += plan.payloads[step.index].length;
          break;
      }
    }
  }

  uint64_t Length() const { return length_; }
  const std::map<uint64_t, Piece>& Pieces() const { return pieces_; }

 private:
  void Paint(uint64_t start, uint64_t end, Piece piece) {
    if (start >= end) return;
    Split(start);
    Split(end);
    pieces_.erase(pieces_.lower_bound(start), pieces_.lower_bound(end));
    piece.end = end;
    pieces_[start] = piece;
    length_ = std::max(length_, end);
  }

  // Cuts the piece that spans `at` in two there.
  void Split(uint64_t at) {
    auto it = pieces_.upper_bound(at);
    if (it == pieces_.begin()) return;
    --it;
    if (it->first == at || it->second.end <= at) return;
    Piece right = it->second;
    right.from += at - it->first;
    it->second.end = at;
    pieces_[at] = right;
  }

  std::map<uint64_t, Piece> pieces_;
  uint64_t length_ = 0;
};

// Compares the planned image with the image, chunk by chunk.
class Comparison {
 public:
  Comparison(ImageSource& source, const ImagePlan& plan, const ImageInputs& inputs,
             uint8_t fillByte)
      : source_(source), plan_(plan), inputs_(inputs), fillByte_(fillByte) {}

  bool Run(const RebuildReport& report) {
    const PlannedImage planned(plan_);
    const uint64_t common = std::min(planned.Length(), source_.Length());
    for (const auto& [start, piece] : planned.Pieces()) {
      if (start >= common) break;
      if (!ComparePiece(start, std::min(piece.end, common), piece, report)) return false;
    }
    if (planned.Length() == source_.Length()) return true;
    return report.Fail(Format("byte 0x%llx: the %s ends there, the other holds %llu bytes more",
                              Ull(common),
                              planned.Length() < source_.Length() ? "rebuilt image" : "image",
                              Ull(std::max(planned.Length(), source_.Length()) - common)));
  }

  // Compares bytes `start` to `end` only, which both images must hold.
  bool RunRange(uint64_t start, uint64_t end, const RebuildReport& report) {
    const PlannedImage planned(plan_);
    if (planned.Length() < end || source_.Length() < end) {
      return report.Fail(Format("byte 0x%llx: the %s ends before it", Ull(end - 1),
                                planned.Length() < end ? "rebuilt image" : "image"));
    }
    for (const auto& [pieceStart, piece] : planned.Pieces()) {
      const uint64_t from = std::max(start, pieceStart);
      const uint64_t to = std::min(end, piece.end);
      if (from >= to) continue;
      Piece part = piece;
      part.from += from - pieceStart;
      if (!ComparePiece(from, to, part, report)) return false;
    }
    return true;
  }

  // The planned image's bytes from `at`; false when it does not hold them.
  bool Read(uint64_t at, std::span<uint8_t> out) {
    const PlannedImage planned(plan_);
    if (planned.Length() < at + out.size()) return false;
    for (const auto& [pieceStart, piece] : planned.Pieces()) {
      const uint64_t from = std::max(at, pieceStart);
      const uint64_t to = std::min(at + out.size(), piece.end);
      if (from >= to) continue;
      const std::span<uint8_t> part =
          out.subspan(static_cast<size_t>(from - at), static_cast<size_t>(to - from));
      if (!PlannedBytes(piece, piece.from + (from - pieceStart), part)) return false;
    }
    return true;
  }

 private:
  // The planned bytes of `piece` from image position `at` into `out`.
  bool PlannedBytes(const Piece& piece, uint64_t offset, std::span<uint8_t> out) {
    switch (piece.kind) {
      case Piece::Kind::kFill:
        std::fill(out.begin(), out.end(), fillByte_);
        return true;
      case Piece::Kind::kBuffer: {
        const std::vector<uint8_t>& buffer = plan_.buffers[piece.index];
        std::copy_n(buffer.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
        return true;
      }
      case Piece::Kind::kPayload: {
        const PayloadExtent* extent = inputs_.Find(plan_.payloads[piece.index].name);
        return extent != nullptr && !extent->gapped &&
               source_.Read(extent->byteOffset + offset, out);
      }
    }
    return false;
  }

  // Up to where, from image position `at` of `piece` (which starts at
  // `start`), the planned bytes are known to be zero without reading them:
  // zero fill, or a payload whose bytes lie in a hole of the image.
  uint64_t PlannedZerosUntil(const Piece& piece, uint64_t start, uint64_t at, uint64_t end) {
    switch (piece.kind) {
      case Piece::Kind::kFill:
        return fillByte_ == 0 ? end : at;
      case Piece::Kind::kBuffer:
        return at;
      case Piece::Kind::kPayload: {
        const PayloadExtent* extent = inputs_.Find(plan_.payloads[piece.index].name);
        if (extent == nullptr || extent->gapped) return at;
        const uint64_t from = extent->byteOffset + piece.from + (at - start);
        return std::min(end, at + (source_.NextData(from) - std::min(from, source_.Length())));
      }
    }
    return at;
  }

  // A multi-GiB image is mostly holes where its plan is mostly zero fill:
  // where both sides are known to hold zeros nothing is read, so the check
  // takes the time of the data alone. Everything else is read and compared.
  bool ComparePiece(uint64_t start, uint64_t end, const Piece& piece, const RebuildReport& report) {
    for (uint64_t at = start; at < end;) {
      const uint64_t zeros =
          std::min({end, source_.NextData(at), PlannedZerosUntil(piece, start, at, end)});
      if (zeros > at) {
        at = zeros;
        continue;
      }
      const size_t n = static_cast<size_t>(std::min<uint64_t>(end - at, kChunk));
      const std::span<uint8_t> image(image_.get(), n);
      const std::span<uint8_t> planned(planned_.get(), n);
      if (!source_.Read(at, image) || !PlannedBytes(piece, piece.from + (at - start), planned)) {
        return report.Fail(Format("byte 0x%llx: the image cannot be read there", Ull(at)));
      }
      // memcmp runs a word at a time; the byte that differs is looked for
      // only once it says there is one.
      const bool same = std::memcmp(image.data(), planned.data(), n) == 0;
      const auto mismatch = same ? std::make_pair(image.end(), planned.end())
                                 : std::mismatch(image.begin(), image.end(), planned.begin());
      if (mismatch.first != image.end()) {
        const uint64_t where = at + static_cast<uint64_t>(mismatch.first - image.begin());
        return report.Fail(Format("byte 0x%llx: the image holds 0x%02x, the rebuilt image 0x%02x",
                                  Ull(where), *mismatch.first, *mismatch.second));
      }
      at += n;
    }
    return true;
  }

  ImageSource& source_;
  const ImagePlan& plan_;
  const ImageInputs& inputs_;
  const uint8_t fillByte_;
  // No more than the image holds, and not zeroed first: every byte
  // compared is read into them before.
  const size_t bufferSize_ = static_cast<size_t>(std::min<uint64_t>(source_.Length(), kChunk));
  std::unique_ptr<uint8_t[]> image_ = std::make_unique_for_overwrite<uint8_t[]>(bufferSize_);
  std::unique_ptr<uint8_t[]> planned_ = std::make_unique_for_overwrite<uint8_t[]>(bufferSize_);
};

}  // namespace

bool RebuildReport::Fail(const std::string& why) const {
  out.Note(where, Printable(std::string(lead) + why));
  return false;
}

bool ComparePlannedRange(ImageSource& source, const ImagePlan& plan, const ImageInputs& inputs,
                         uint8_t fillByte, uint64_t start, uint64_t end,
                         const RebuildReport& report) {
  return Comparison(source, plan, inputs, fillByte).RunRange(start, end, report);
}

bool ReadPlannedImage(ImageSource& source, const ImagePlan& plan, const ImageInputs& inputs,
                      uint8_t fillByte, uint64_t at, std::span<uint8_t> out) {
  return Comparison(source, plan, inputs, fillByte).Read(at, out);
}

PackerMessages::PackerMessages(Output& target, std::string where)
    : target_(target), where_(std::move(where)) {}

PackerMessages::~PackerMessages() { Forward(pending_); }

void PackerMessages::Write(std::string_view text) {
  pending_.append(text);
  size_t end;
  while ((end = pending_.find('\n')) != std::string::npos) {
    Forward(std::string_view(pending_).substr(0, end));
    pending_.erase(0, end + 1);
  }
}

// The packer ends its lines with "\r\n"; a diagnostic line ends with the
// line feed alone.
void PackerMessages::Forward(std::string_view line) {
  if (line.ends_with('\r')) line.remove_suffix(1);
  if (!line.empty()) target_.Note(where_, Printable(std::string(line)));
}

bool ComparePlannedImage(ImageSource& source, const ImagePlan& plan, const ImageInputs& inputs,
                         uint8_t fillByte, const RebuildReport& report) {
  return Comparison(source, plan, inputs, fillByte).Run(report);
}

}  // namespace imgweld
