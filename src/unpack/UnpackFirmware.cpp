#include "unpack/UnpackFirmware.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <sstream>
#include <string_view>
#include <utility>

#include "common/AtomicFile.h"
#include "common/FileIdentity.h"
#include "config/ConfigDocument.h"
#include "image/BootBlock.h"
#include "image/FirmwareImage.h"
#include "image/Md5.h"
#include "unpack/UnpackSettings.h"

namespace imgweld {
namespace {

// Every byte position of an image is a 32-bit value; anything at or beyond
// this position cannot belong to an image.
constexpr uint64_t kPositionLimit = uint64_t{1} << 32;
// Partitions that the kernel cannot copy go through one buffer of this size,
// so memory use does not grow with the partition.
constexpr size_t kCopyChunk = size_t{1} << 20;
constexpr uint32_t kGapUnit = kBootGapUnit;

// The name becomes a file name inside the output directory and a value in
// "setting.ini": it must hold no directory part and no line break, and must
// end within its field.
bool IsPlainFileName(const PartitionEntry& entry) {
  const size_t length = strnlen(entry.name.data(), entry.name.size());
  if (length == entry.name.size()) return false;
  const std::string_view name(entry.name.data(), length);
  if (name.empty() || name == "." || name == "..") return false;
  return std::none_of(name.begin(), name.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte == '/' || byte == '\\' || byte < 0x20 || byte == 0x7F;
  });
}

// Whether the entry `name` of the output directory is the open image itself,
// as when the image lies there under the name of one of the files written:
// renaming over that entry would take the image's name from it. A link that
// merely leads to the image is replaced like any other link.
bool IsImageEntry(const Directory& outputDir, const std::string& name, File& image) {
  const std::optional<FileId> entry = EntryIdOf(outputDir.Fd(), name);
  return entry && entry == FileIdOf(fileno(image.Stream()));
}

// The designed message names the file and the error number; what kind of
// file was refused, where that is the reason, goes to standard error.
void ReportOpenFailure(const File& file, Output& out) {
  out.Printf("UnPacking Error:Opening %s failed, err=%d!\r\n", file.Path().c_str(), file.Error());
  if (file.WasRefused()) out.Note(file.Path(), file.FailureText());
}

// One unpack run: the open inputs and what has been learnt from them.
class Unpacker {
 public:
  Unpacker(const std::string& imagePath, std::string outputDir, bool verify, Output& out)
      : imagePath_(imagePath), outputDir_(std::move(outputDir)), verify_(verify), out_(out) {}

  bool Run();

 private:
  bool RunSteps();
  bool CheckPaths();
  bool OpenInputs();
  bool OpenOutputDirectory();
  bool ReadHeader();
  bool VerifyDigest();
  bool CheckTable();
  bool ExtractRecords();
  bool ExtractPartition(uint32_t index, const PartitionEntry& entry);
  bool ExtractIdBlock(const PartitionEntry& entry);
  bool SaveSettings();

  const std::string& imagePath_;
  std::string outputDir_;
  // Every output file is created and renamed relative to this descriptor.
  Directory outputDirectory_;
  const bool verify_;
  Output& out_;

  File image_;
  File hashFile_;
  uint64_t imageLength_ = 0;
  FirmwareHeader header_;
  ConfigDocument document_;
  uint32_t sectionNumber_ = 1;
};

bool Unpacker::Run() {
  const bool ok = RunSteps();
  // The files renamed into place, also those of a run that failed later,
  // keep their names after a crash.
  outputDirectory_.Sync();
  return ok;
}

bool Unpacker::RunSteps() {
  out_.Line("Start to unpack firmware...\r");
  if (!CheckPaths() || !OpenInputs() || !CheckOutputDirectory(outputDir_, out_) ||
      !OpenOutputDirectory() || !ReadHeader()) {
    return false;
  }
  if (verify_ && !VerifyDigest()) return false;
  RecordSystemSettings(document_, header_);
  if (!CheckTable() || !ExtractRecords() || !SaveSettings()) return false;
  out_.Line("Unpacking firmware OK.\r");
  return true;
}

bool Unpacker::CheckPaths() {
  // Appending "/" to an empty path would name the root directory.
  if (outputDir_.empty()) {
    out_.Line("UnPacking Error:Output directory is empty!\r");
    return false;
  }
  if (outputDir_.back() != '/') outputDir_.push_back('/');
  struct stat status;
  for (const std::string* path : {static_cast<const std::string*>(&outputDir_), &imagePath_}) {
    if (stat(path->c_str(), &status) != 0) {
      out_.Printf("UnPacking Error:Stat %s failed, errno=%d!\r\n", path->c_str(), errno);
      return false;
    }
  }
  return true;
}

// Both inputs are opened without waiting, and refused unless they are files
// that can be measured and read at any position: a FIFO would hold the run
// up for ever.
bool Unpacker::OpenInputs() {
  if (!image_.OpenInput(imagePath_)) {
    ReportOpenFailure(image_, out_);
    return false;
  }
  if (!verify_) return true;
  if (!hashFile_.OpenInput(HashFilePath(imagePath_))) {
    ReportOpenFailure(hashFile_, out_);
    return false;
  }
  return true;
}

// From here on, the output directory is the one just checked, whatever
// happens to its path; its lock keeps a second run from mixing its files
// with this one's.
bool Unpacker::OpenOutputDirectory() {
  if (!outputDirectory_.Open(outputDir_)) {
    out_.Printf("UnPacking Error:Changing to %s failed, errno=%d!\r\n", outputDir_.c_str(),
                outputDirectory_.Error());
    return false;
  }
  HoldDirectoryLock(outputDirectory_, out_);
  return true;
}

bool Unpacker::ReadHeader() {
  HeaderBytes bytes{};
  const std::optional<uint64_t> length = image_.Length();
  size_t got = 0;
  if (length && image_.Seek(0)) got = image_.Read(bytes.data(), bytes.size());
  if (!length || image_.Error() != 0) {
    out_.Printf("UnPacking Error:Reading %s failed, err=%d!\r\n", imagePath_.c_str(),
                image_.Error());
    return false;
  }
  imageLength_ = *length;
  header_ = DecodeHeader(bytes);
  if (header_.tag != kFirmwareTag) {
    const uint32_t tag = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                         static_cast<uint32_t>(bytes[2]) << 16 |
                         static_cast<uint32_t>(bytes[3]) << 24;
    out_.Printf("UnPacking Error:Tag of firmware is wrong, tag=0x%x!\r\n", tag);
    return false;
  }
  if (got < bytes.size()) {
    out_.Printf("UnPacking Error:Header of firmware is cut short, length=%zu!\r\n", got);
    return false;
  }
  return true;
}

bool Unpacker::VerifyDigest() {
  // Only the first 16 bytes of the hash file count; missing bytes are zero.
  Md5Digest stored{};
  hashFile_.Read(stored.data(), stored.size());
  // A hash file that cannot be read (a directory, say) holds no digest to
  // compare with; reporting a mismatch would show bytes never stored.
  if (hashFile_.Error() != 0) {
    out_.Printf("UnPacking Error:Reading %s failed, err=%d!\r\n", hashFile_.Path().c_str(),
                hashFile_.Error());
    return false;
  }
  Md5Digest computed{};
  if (!Md5OfStream(computed, image_)) {
    out_.Line("UnPacking Error:Generating hash failed!\r");
    return false;
  }
  if (stored == computed) return true;
  out_.Line("UnPacking Error:compare hash failed!\r");
  for (size_t i = 0; i < stored.size(); ++i) out_.Printf("%x\t%x\r\n", stored[i], computed[i]);
  return false;
}

// The whole table must lie in the image before any record is acted on, so a
// hostile count or record size is refused up front instead of being walked.
bool Unpacker::CheckTable() {
  const uint32_t count = header_.entryCount;
  const uint32_t size = header_.entrySize;
  if (count == 0) return true;
  if (count > 1 && size < kEntrySize) {
    out_.Printf("UnPacking Error:Partition records overlap, entrySize=%u!\r\n", size);
    return false;
  }
  const uint64_t tableStart = uint64_t{header_.tableSector} * kSectorSize;
  const uint64_t lastOffset = uint64_t{count - 1} * size;  // below 2^64
  const bool beyondLimit = tableStart >= kPositionLimit || lastOffset >= kPositionLimit ||
                           tableStart + lastOffset + kEntrySize > kPositionLimit;
  if (beyondLimit) {
    out_.Printf(
        "UnPacking Error:Partition table lies beyond 4 GiB, entryCount=%u, entrySize=%u!\r\n",
        count, size);
    return false;
  }
  if (tableStart + lastOffset + kEntrySize > imageLength_) {
    out_.Printf(
        "UnPacking Error:Partition table is cut off by the end of the firmware, entryCount=%u, "
        "entrySize=%u!\r\n",
        count, size);
    return false;
  }
  return true;
}

bool Unpacker::ExtractRecords() {
  const uint64_t tableStart = uint64_t{header_.tableSector} * kSectorSize;
  for (uint32_t i = 0; i < header_.entryCount; ++i) {
    EntryBytes bytes{};
    if (!image_.Seek(tableStart + uint64_t{i} * header_.entrySize) || !image_.ReadExact(bytes)) {
      out_.Printf("UnPacking Error:Reading partition record %u failed, err=%d!\r\n", i,
                  image_.Error());
      return false;
    }
    const PartitionEntry entry = DecodeEntry(bytes);
    if (entry.type == PART_TYPE_VENDOR) continue;
    const bool ok =
        entry.type == PART_TYPE_IDBLOCK ? ExtractIdBlock(entry) : ExtractPartition(i, entry);
    if (!ok) return false;
  }
  return true;
}

bool Unpacker::ExtractPartition(uint32_t index, const PartitionEntry& entry) {
  if (!IsPlainFileName(entry)) {
    out_.Printf("UnPacking Error:Name of partition record %u is not a plain file name!\r\n", index);
    return false;
  }
  RecordPartition(document_, sectionNumber_++, entry);
  const PayloadSpan span{uint64_t{entry.offset} * kSectorSize,
                         static_cast<uint32_t>(entry.dataLength), false};
  return SavePartitionFile(outputDirectory_, PartitionFileName(entry), span, image_, imageLength_,
                           out_);
}

// The two programs are written as stored, scrambled or not; the control
// sectors and the second copy of the block are not written out.
bool Unpacker::ExtractIdBlock(const PartitionEntry& entry) {
  RecordIdBlock(document_, sectionNumber_++, entry);
  const BootFields fields = GetBootFields(entry);
  const BootBlockLayout layout = BootBlockLayoutOf(entry);
  const uint64_t blockStart = uint64_t{entry.offset} * kSectorSize;
  const uint64_t spread = layout.gap ? 2 : 1;
  const PayloadSpan ddr{blockStart + layout.WrittenPosition(layout.DdrSector()),
                        fields.firstFileLength, layout.gap};
  const PayloadSpan loader{blockStart + spread * StoredLoaderSector(fields) * kSectorSize,
                           fields.secondFileLength, layout.gap};
  const BootFileNames files = GetBootFileNames(entry);
  return SavePartitionFile(outputDirectory_, files.ddr, ddr, image_, imageLength_, out_) &&
         SavePartitionFile(outputDirectory_, files.loader, loader, image_, imageLength_, out_);
}

bool Unpacker::SaveSettings() {
  const std::string name = "setting.ini";
  if (IsImageEntry(outputDirectory_, name, image_)) {
    out_.Line("UnPacking Error:Saving setting.ini would overwrite the firmware!\r");
    return false;
  }
  std::ostringstream text;
  document_.WriteInCreationOrder(text);
  const std::string bytes = text.str();
  AtomicFile file;
  if (!file.Create(outputDirectory_, name) || !file.Stream().Write(bytes.data(), bytes.size()) ||
      !file.Commit()) {
    out_.Line("UnPacking Error:Saving setting.ini failed!\r");
    return false;
  }
  return true;
}

// A gapped boot program is read a unit at a time, passing over the gap after
// each unit.
CopyResult CopyGappedPayload(const PayloadSpan& span, File& image, File& file) {
  uint8_t unit[kGapUnit];
  uint64_t position = span.byteOffset;
  uint32_t remaining = span.length;
  while (remaining != 0) {
    const size_t n = std::min<size_t>(remaining, kGapUnit);
    if (!image.Seek(position) || !image.ReadExact(unit, n)) return CopyResult::kReadFailed;
    if (!file.Write(unit, n)) return CopyResult::kWriteFailed;
    position += 2 * kGapUnit;
    remaining -= static_cast<uint32_t>(n);
  }
  return CopyResult::kCopied;
}

}  // namespace

uint64_t PayloadEnd(const PayloadSpan& span) {
  if (span.length == 0) return span.byteOffset;
  if (!span.gapped) return span.byteOffset + span.length;
  const uint64_t last = span.length - 1u;
  return span.byteOffset + (last / kGapUnit) * 2 * kGapUnit + last % kGapUnit + 1;
}

bool SavePartitionFile(const Directory& outputDir, const std::string& fileName,
                       const PayloadSpan& span, File& image, uint64_t imageLength, Output& out) {
  out.Printf("Saving %s...\r\n", fileName.c_str());
  // An empty payload reads nothing, so where its partition lies does not
  // matter: skipped partitions may lie past the end of the image.
  if (span.length != 0) {
    const uint64_t end = PayloadEnd(span);
    if (end > kPositionLimit) {
      out.Printf("UnPacking Error:Data of %s lies beyond 4 GiB!\r\n", fileName.c_str());
      return false;
    }
    if (end > imageLength) {
      out.Printf("UnPacking Error:Data of %s runs past the end of the firmware!\r\n",
                 fileName.c_str());
      return false;
    }
  }
  // Renaming over the image's own entry would take the input's name away.
  if (IsImageEntry(outputDir, fileName, image)) {
    out.Printf("UnPacking Error:Creating %s would overwrite the firmware!\r\n", fileName.c_str());
    return false;
  }
  // The file is written under a temporary name and takes its own only when
  // complete; on any failure below the temporary file goes away with `file`,
  // and a file of that name from before stays as it was.
  AtomicFile file;
  if (!file.Create(outputDir, fileName)) {
    out.Printf("UnPacking Error:Creating %s failed, err=%d!\r\n", fileName.c_str(), file.Error());
    return false;
  }
  const CopyResult result = span.gapped ? CopyGappedPayload(span, image, file.Stream())
                                        : CopyFileBytes(image, span.byteOffset, file.Stream(), 0,
                                                        span.length, kCopyChunk);
  if (result == CopyResult::kReadFailed) {
    out.Printf("UnPacking Error:Reading data of %s failed, err=%d!\r\n", fileName.c_str(),
               image.Error());
    return false;
  }
  const bool written = result == CopyResult::kCopied && file.Finish();
  if (!written) {
    const int error = result == CopyResult::kCopied ? file.Error() : file.Stream().Error();
    out.Printf("UnPacking Error:Writing %s failed, err=%d!\r\n", fileName.c_str(), error);
    return false;
  }
  // A directory under the name, say, refuses the rename.
  if (!file.Commit()) {
    out.Printf("UnPacking Error:Creating %s failed, err=%d!\r\n", fileName.c_str(), file.Error());
    return false;
  }
  return true;
}

bool CheckOutputDirectory(const std::string& outputDir, Output& out) {
  struct stat status;
  int error = 0;
  if (stat(outputDir.c_str(), &status) != 0) {
    error = errno;
  } else if (!S_ISDIR(status.st_mode)) {
    error = ENOTDIR;
  } else if (access(outputDir.c_str(), X_OK) != 0) {
    error = errno;
  }
  if (error == 0) return true;
  out.Printf("UnPacking Error:Changing to %s failed, errno=%d!\r\n", outputDir.c_str(), error);
  return false;
}

bool UnpackFirmware(const std::string& imagePath, const std::string& outputDir, bool verify,
                    Output& out) {
  return Unpacker(imagePath, outputDir, verify, out).Run();
}

}  // namespace imgweld
