#include "unpack/UnpackFirmware.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <sstream>
#include <string_view>
#include <thread>
#include <utility>

#include "common/AtomicFile.h"
#include "common/FileIdentity.h"
#include "config/ConfigDocument.h"
#include "image/BootBlock.h"
#include "image/FirmwareImage.h"
#include "image/GptRecords.h"
#include "image/Md5.h"
#include "unpack/OutputNames.h"
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
// "setting.ini": it must be a plain file name and end within its field.
bool IsPlainRecordName(const PartitionEntry& entry) {
  const size_t length = strnlen(entry.name.data(), entry.name.size());
  if (length == entry.name.size()) return false;
  return IsPlainFileName(std::string_view(entry.name.data(), length));
}

// Whether the entry `name` of the output directory is the open image itself,
// as when the image lies there under the name of one of the files written:
// renaming over that entry would take the image's name from it. A link that
// merely leads to the image is replaced like any other link.
bool IsImageEntry(const Directory& outputDir, const std::string& name, File& image) {
  const std::optional<FileId> entry = EntryIdOf(outputDir.Fd(), name);
  return entry && entry == FileIdOf(fileno(image.Stream()));
}

// The error line names the file and the error number; what kind of
// file was refused, where that is the reason, goes to standard error.
void ReportOpenFailure(const File& file, Output& out) {
  out.Printf("UnPacking Error:Opening %s failed, err=%d!\r\n", file.Path().c_str(), file.Error());
  if (file.WasRefused()) out.Note(file.Path(), file.FailureText());
}

// The image's digest, computed on a second thread through a file description
// of its own while the main thread extracts, so that verifying costs no more
// time than the longer of the two.
class BackgroundDigest {
 public:
  ~BackgroundDigest() {
    if (thread_.joinable()) thread_.join();
  }

  // False when the image cannot be opened a second time; the digest is then
  // taken on the main thread.
  bool Start(File& image, Progress& progress) {
    const std::string self = "/proc/self/fd/" + std::to_string(fileno(image.Stream()));
    if (!file_.OpenInput(self)) return false;
    thread_ = std::thread([this, &progress] {
      Md5Digest digest{};
      if (Md5OfStream(digest, file_, kMd5WholeFile, &progress)) result_ = digest;
    });
    return true;
  }

  std::optional<Md5Digest> Wait() {
    thread_.join();
    return result_;
  }

 private:
  File file_;
  std::thread thread_;
  std::optional<Md5Digest> result_;
};

// An extracted file waiting for the digest's verdict, and how much of the
// held-back output belongs before its rename.
struct PendingFile {
  std::unique_ptr<AtomicFile> file;
  std::string name;
  size_t textEnd = 0;
};

// So many extracted files are held back at most; beyond that the extraction
// waits for the digest. Each one holds a slot of the signal cleanup.
constexpr size_t kMaxPendingFiles = 6;

enum class Extraction { kDone, kPaused, kFailed };

// Whether the open image starts with a protective MBR; its position is left
// where it was.
bool IsPartitionTableImage(File& image) {
  std::array<uint8_t, 512> sector{};
  const std::optional<uint64_t> position = image.Tell();
  const bool read = image.Seek(0) && image.ReadExact(sector);
  if (position) image.Seek(*position);
  return read && IsProtectiveMbr(sector);
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
  bool ReadStoredDigest();
  void ExplainPartitionTableImage();
  bool CompareDigest(const std::optional<Md5Digest>& computed);
  bool VerifyAndExtract();
  bool ReplayPending(Extraction extraction);
  bool CheckTable();
  bool DecideOutputs();
  Extraction ExtractRecords();
  bool ExtractPartition(uint32_t index, const PartitionEntry& entry, const RecordOutput& output);
  bool ExtractIdBlock(const PartitionEntry& entry, const RecordOutput& output);
  bool Save(const std::string& fileName, const PayloadSpan& span);
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
  Md5Digest stored_{};

  // While the digest is still being computed, messages are held back here
  // and extracted files are kept under their temporary names: a mismatch
  // must show nothing of the extraction and leave nothing of it behind.
  Output* sink_ = &out_;
  StringOutput heldBack_;
  std::vector<PendingFile> pending_;
  uint32_t nextRecord_ = 0;

  // The files of every record that gets any, decided before the first one
  // is written; the extraction takes them in table order.
  OutputNames outputs_;
  size_t nextOutput_ = 0;
};

bool GetsOutput(const RecordFacts& facts) {
  return facts.type != PART_TYPE_VENDOR || facts.holdsData;
}

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
  RecordSystemSettings(document_, header_);
  if (verify_) {
    if (!VerifyAndExtract()) return false;
  } else if (!CheckTable() || ExtractRecords() != Extraction::kDone) {
    return false;
  }
  if (!SaveSettings()) return false;
  out_.Line("Unpacking firmware OK.\r");
  return true;
}

// The digest runs beside the extraction; what the extraction prints and
// writes counts only once the digest matches, in the order it happened.
bool Unpacker::VerifyAndExtract() {
  if (!ReadStoredDigest()) return false;
  Progress progress(out_, "verifying " + imagePath_, imageLength_);
  BackgroundDigest digest;
  if (!digest.Start(image_, progress)) {
    Md5Digest computed{};
    const bool hashed = Md5OfStream(computed, image_, kMd5WholeFile, &progress);
    progress.Finish();
    if (!CompareDigest(hashed ? std::optional<Md5Digest>(computed) : std::nullopt)) return false;
    return CheckTable() && ExtractRecords() == Extraction::kDone;
  }
  sink_ = &heldBack_;
  const Extraction ahead = CheckTable() ? ExtractRecords() : Extraction::kFailed;
  sink_ = &out_;
  const std::optional<Md5Digest> computed = digest.Wait();
  progress.Finish();
  if (!CompareDigest(computed)) {
    pending_.clear();  // their temporary files go with them
    return false;
  }
  if (!ReplayPending(ahead)) return false;
  return ahead == Extraction::kDone || ExtractRecords() == Extraction::kDone;
}

// Prints what the extraction held back and renames its files, each after the
// messages that came before it, as if nothing had been held back.
bool Unpacker::ReplayPending(Extraction extraction) {
  const std::string& text = heldBack_.Text();
  size_t printed = 0;
  for (PendingFile& pending : pending_) {
    out_.Write(std::string_view(text).substr(printed, pending.textEnd - printed));
    printed = pending.textEnd;
    if (!pending.file->Commit()) {
      out_.Printf("UnPacking Error:Creating %s failed, err=%d!\r\n", pending.name.c_str(),
                  pending.file->Error());
      return false;
    }
  }
  out_.Write(std::string_view(text).substr(printed));
  if (!heldBack_.Diagnostics().empty()) out_.WriteDiagnostic(heldBack_.Diagnostics());
  pending_.clear();
  heldBack_.Clear();
  return extraction != Extraction::kFailed;
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
    if (IsPartitionTableImage(image_)) {
      ExplainPartitionTableImage();
    } else if (hashFile_.Error() == ENOENT) {
      out_.Note(imagePath_, "no hash file " + hashFile_.Path() +
                                " beside it; add offcheck to unpack it without verifying");
    }
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
  if (HoldDirectoryLock(outputDirectory_, out_)) return true;
  out_.Printf("UnPacking Error:Locking %s failed, err=%d!\r\n", outputDir_.c_str(),
              outputDirectory_.Error());
  return false;
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
    if (IsProtectiveMbr(bytes)) ExplainPartitionTableImage();
    return false;
  }
  if (got < bytes.size()) {
    out_.Printf("UnPacking Error:Header of firmware is cut short, length=%zu!\r\n", got);
    return false;
  }
  return true;
}

void Unpacker::ExplainPartitionTableImage() {
  out_.Note(imagePath_,
            "a partition-table image (Gpt_Enable), which is not unpacked; list it with "
            "imgweld -L " +
                imagePath_);
}

bool Unpacker::ReadStoredDigest() {
  // Only the first 16 bytes of the hash file count; missing bytes are zero.
  hashFile_.Read(stored_.data(), stored_.size());
  // A hash file that cannot be read (a directory, say) holds no digest to
  // compare with; reporting a mismatch would show bytes never stored.
  if (hashFile_.Error() != 0) {
    out_.Printf("UnPacking Error:Reading %s failed, err=%d!\r\n", hashFile_.Path().c_str(),
                hashFile_.Error());
    return false;
  }
  return true;
}

bool Unpacker::CompareDigest(const std::optional<Md5Digest>& computed) {
  if (!computed) {
    out_.Line("UnPacking Error:Generating hash failed!\r");
    return false;
  }
  if (stored_ == *computed) return true;
  out_.Line("UnPacking Error:compare hash failed!\r");
  for (size_t i = 0; i < stored_.size(); ++i) {
    out_.Printf("%x\t%x\r\n", stored_[i], (*computed)[i]);
  }
  return false;
}

// The whole table must lie in the image before any record is acted on, so a
// hostile count or record size is refused up front instead of being walked.
bool Unpacker::CheckTable() {
  const uint32_t count = header_.entryCount;
  const uint32_t size = header_.entrySize;
  if (count == 0) return true;
  if (count > 1 && size < kEntrySize) {
    sink_->Printf("UnPacking Error:Partition records overlap, entrySize=%u!\r\n", size);
    return false;
  }
  const uint64_t tableStart = uint64_t{header_.tableSector} * kSectorSize;
  const uint64_t lastOffset = uint64_t{count - 1} * size;  // below 2^64
  const bool beyondLimit = tableStart >= kPositionLimit || lastOffset >= kPositionLimit ||
                           tableStart + lastOffset + kEntrySize > kPositionLimit;
  if (beyondLimit) {
    sink_->Printf(
        "UnPacking Error:Partition table lies beyond 4 GiB, entryCount=%u, entrySize=%u!\r\n",
        count, size);
    return false;
  }
  if (tableStart + lastOffset + kEntrySize > imageLength_) {
    sink_->Printf(
        "UnPacking Error:Partition table is cut off by the end of the firmware, entryCount=%u, "
        "entrySize=%u!\r\n",
        count, size);
    return false;
  }
  return DecideOutputs();
}

// Every output name is decided from the whole table before the first file
// is written, so that no payload is written over another.
bool Unpacker::DecideOutputs() {
  const uint64_t tableStart = uint64_t{header_.tableSector} * kSectorSize;
  std::vector<RecordFacts> facts;
  std::vector<uint32_t> indexes;
  for (uint32_t i = 0; i < header_.entryCount; ++i) {
    EntryBytes bytes{};
    if (!image_.Seek(tableStart + uint64_t{i} * header_.entrySize) || !image_.ReadExact(bytes)) {
      sink_->Printf("UnPacking Error:Reading partition record %u failed, err=%d!\r\n", i,
                    image_.Error());
      return false;
    }
    RecordFacts recordFacts = FactsOf(DecodeEntry(bytes));
    if (!GetsOutput(recordFacts)) continue;
    facts.push_back(std::move(recordFacts));
    indexes.push_back(i);
  }
  outputs_ = DecideOutputNames(facts);
  for (const OutputNote& note : outputs_.notes) {
    sink_->Note(imagePath_, Format("partition record %u: ", indexes[note.record]) + note.text);
  }
  return true;
}

Extraction Unpacker::ExtractRecords() {
  const uint64_t tableStart = uint64_t{header_.tableSector} * kSectorSize;
  for (; nextRecord_ < header_.entryCount; ++nextRecord_) {
    // A boot block adds two files; wait for the digest rather than hold more.
    if (sink_ == &heldBack_ && pending_.size() + 2 > kMaxPendingFiles) return Extraction::kPaused;
    const uint32_t i = nextRecord_;
    EntryBytes bytes{};
    if (!image_.Seek(tableStart + uint64_t{i} * header_.entrySize) || !image_.ReadExact(bytes)) {
      sink_->Printf("UnPacking Error:Reading partition record %u failed, err=%d!\r\n", i,
                    image_.Error());
      return Extraction::kFailed;
    }
    const PartitionEntry entry = DecodeEntry(bytes);
    if (!GetsOutput(FactsOf(entry))) continue;
    const RecordOutput& output = outputs_.records.at(nextOutput_++);
    const bool ok = entry.type == PART_TYPE_IDBLOCK ? ExtractIdBlock(entry, output)
                                                    : ExtractPartition(i, entry, output);
    if (!ok) return Extraction::kFailed;
  }
  return Extraction::kDone;
}

// Saves one file; while the digest is still running the file is kept back.
bool Unpacker::Save(const std::string& fileName, const PayloadSpan& span) {
  if (sink_ != &heldBack_) {
    return SavePartitionFile(outputDirectory_, fileName, span, image_, imageLength_, out_);
  }
  std::unique_ptr<AtomicFile> file;
  if (!SavePartitionFile(outputDirectory_, fileName, span, image_, imageLength_, heldBack_,
                         &file)) {
    return false;
  }
  pending_.push_back({std::move(file), fileName, heldBack_.Text().size()});
  return true;
}

bool Unpacker::ExtractPartition(uint32_t index, const PartitionEntry& entry,
                                const RecordOutput& output) {
  if (!IsPlainRecordName(entry)) {
    sink_->Printf("UnPacking Error:Name of partition record %u is not a plain file name!\r\n",
                  index);
    return false;
  }
  if (output.inSettings) {
    RecordPartition(document_, sectionNumber_, entry);
    ApplyOutputNames(document_, sectionNumber_++, output, entry.type);
  }
  const PayloadSpan span{uint64_t{entry.offset} * kSectorSize,
                         static_cast<uint32_t>(entry.dataLength), false};
  return Save(output.files.at(0), span);
}

// The two programs are written as stored, scrambled or not; the control
// sectors and the second copy of the block are not written out.
bool Unpacker::ExtractIdBlock(const PartitionEntry& entry, const RecordOutput& output) {
  RecordIdBlock(document_, sectionNumber_, entry);
  ApplyOutputNames(document_, sectionNumber_++, output, entry.type);
  if (output.files.size() != 2) return true;  // a boot block record the image holds no programs for
  const BootFields fields = GetBootFields(entry);
  const BootBlockLayout layout = BootBlockLayoutOf(entry);
  const uint64_t blockStart = uint64_t{entry.offset} * kSectorSize;
  const uint64_t spread = layout.gap ? 2 : 1;
  const PayloadSpan ddr{blockStart + layout.WrittenPosition(layout.DdrSector()),
                        fields.firstFileLength, layout.gap};
  const PayloadSpan loader{blockStart + spread * StoredLoaderSector(fields) * kSectorSize,
                           fields.secondFileLength, layout.gap};
  return Save(output.files[0], ddr) && Save(output.files[1], loader);
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
                       const PayloadSpan& span, File& image, uint64_t imageLength, Output& out,
                       std::unique_ptr<AtomicFile>* pending) {
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
  auto owned = std::make_unique<AtomicFile>();
  AtomicFile& file = *owned;
  if (!file.Create(outputDir, fileName)) {
    out.Printf("UnPacking Error:Creating %s failed, err=%d!\r\n", fileName.c_str(), file.Error());
    return false;
  }
  Progress progress(out, "saving " + outputDir.PathOf(fileName), span.length);
  const CopyResult result = span.gapped ? CopyGappedPayload(span, image, file.Stream())
                                        : CopyFileBytes(image, span.byteOffset, file.Stream(), 0,
                                                        span.length, kCopyChunk);
  if (result == CopyResult::kCopied) progress.Advance(span.length);
  progress.Finish();
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
  if (pending != nullptr) {
    *pending = std::move(owned);
    return true;
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
