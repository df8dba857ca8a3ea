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
#include "image/ImageReader.h"
#include "image/ImageSource.h"
#include "image/Md5.h"
#include "unpack/DigestCheck.h"
#include "unpack/ExtractFile.h"
#include "unpack/OutputNames.h"
#include "unpack/UnpackRefusals.h"
#include "unpack/UnpackSettings.h"

namespace imgweld {
namespace {

// The error line names the file and the error number; the reason in words
// (or what kind of file was refused) goes to standard error.
void ReportOpenFailure(const File& file, Output& out) {
  out.Printf("UnPacking Error:Opening %s failed, err=%d!\r\n", file.Path().c_str(), file.Error());
  out.Note(file.Path(), file.FailureText());
}

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

// Whether the open image is of the partition-table form.
bool IsPartitionTableImage(File& image) {
  const std::optional<uint64_t> length = image.Length();
  if (!length) return false;
  FileSource source(image, *length);
  return IdentifyImage(source) == ImageKind::kGpt;
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
  bool ReadModel();
  void PlanOutputs();
  bool CheckPayloads();
  void NoteSharedData();
  void ExplainPartitionTableImage();
  bool VerifyAndExtract();
  bool ReplayPending();
  bool CheckTable();
  bool ExtractRecords();
  bool ExtractPartition(const RecordExtraction& extraction);
  bool ExtractIdBlock(const RecordExtraction& extraction);
  bool Refuse(const UnpackRefusal* refusal, RefusalFacts facts);
  RefusalFacts TableFacts() const;
  bool Save(const std::string& fileName, const PayloadSpan& span);
  bool SaveSettings();
  bool SaveText(const std::string& name, const std::string& bytes);

  const std::string& imagePath_;
  std::string outputDir_;
  // Every output file is created and renamed relative to this descriptor.
  Directory outputDirectory_;
  bool verify_;
  Output& out_;

  File image_;
  File hashFile_;
  uint64_t imageLength_ = 0;
  // The image as read once, through the bounds-checked source: every
  // record and extent comes from here.
  std::optional<FileSource> source_;
  TaggedImageFacts facts_;
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

  // Every file of every record, named from the whole table before the first
  // one is written, so that no payload is written over another.
  TableExtraction extraction_;
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
      !OpenOutputDirectory(outputDir_, outputDirectory_, out_) || !ReadModel()) {
    return false;
  }
  // What the table says is checked before the digest is awaited, and before
  // anything is written: a table or payload the image cannot hold is refused
  // at once, however long the file.
  if (!CheckTable()) return false;
  PlanOutputs();
  if (!CheckPayloads()) return false;
  NoteSharedData();
  RecordSystemSettings(document_, header_);
  if (verify_) {
    if (!VerifyAndExtract()) return false;
  } else if (!ExtractRecords()) {
    return false;
  }
  if (!SaveSettings()) return false;
  out_.Line("Unpacking firmware OK.\r");
  if (facts_.boot && facts_.boot->Programs() == ProgramStorage::kScrambled) {
    out_.Diagnose(imagePath_,
                  "the boot programs were extracted scrambled, as stored, and the regenerated "
                  "setting.ini scrambles them again when packed; imgweld -L %s ini prints a "
                  "configuration that rebuilds the image",
                  imagePath_.c_str());
  }
  return true;
}

// The digest runs beside the extraction; what the extraction prints and
// writes counts only once the digest matches, in the order it happened.
bool Unpacker::VerifyAndExtract() {
  if (!ReadStoredDigest(hashFile_, stored_, out_)) return false;
  Progress progress(out_, "verifying " + imagePath_, imageLength_);
  BackgroundDigest digest;
  if (!digest.Start(image_, progress)) {
    Md5Digest computed{};
    const bool hashed = Md5OfStream(computed, image_, kMd5WholeFile, &progress);
    progress.Finish();
    if (!CompareDigest(stored_, hashed ? std::optional<Md5Digest>(computed) : std::nullopt,
                       imagePath_, image_.FailureText(), out_))
      return false;
    return ExtractRecords();
  }
  // Ahead of the digest the extraction stops early, once it holds as many
  // files back as it may; it goes on once they are renamed.
  sink_ = &heldBack_;
  const bool aheadOk = ExtractRecords();
  sink_ = &out_;
  const std::optional<Md5Digest> computed = digest.Wait();
  progress.Finish();
  if (!CompareDigest(stored_, computed, imagePath_, digest.FailureText(), out_)) {
    pending_.clear();  // their temporary files go with them
    return false;
  }
  return ReplayPending() && aheadOk && ExtractRecords();
}

// Prints what the extraction held back and renames its files, each after the
// messages that came before it, as if nothing had been held back.
bool Unpacker::ReplayPending() {
  const std::string& text = heldBack_.Text();
  size_t printed = 0;
  for (PendingFile& pending : pending_) {
    out_.Write(std::string_view(text).substr(printed, pending.textEnd - printed));
    printed = pending.textEnd;
    if (!pending.file->Commit()) {
      ReportCommitFailure(pending.name, *pending.file, out_);
      return false;
    }
  }
  out_.Write(std::string_view(text).substr(printed));
  if (!heldBack_.Diagnostics().empty()) out_.WriteDiagnostic(heldBack_.Diagnostics());
  pending_.clear();
  heldBack_.Clear();
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
      const int error = errno;
      out_.Printf("UnPacking Error:Stat %s failed, errno=%d!\r\n", path->c_str(), error);
      out_.NoteSystemError(*path, error);
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

bool Unpacker::ReadModel() {
  const std::optional<uint64_t> length = image_.Length();
  if (!length) {
    out_.Printf("UnPacking Error:Reading %s failed, err=%d!\r\n", imagePath_.c_str(),
                image_.Error());
    out_.Note(imagePath_, image_.FailureText());
    return false;
  }
  imageLength_ = *length;
  source_.emplace(image_, imageLength_);
  facts_ = ReadTaggedImage(*source_);
  header_ = facts_.header;
  if (header_.tag != kFirmwareTag) {
    // The tag as a little-endian word; zero bytes past the end of a short file.
    uint32_t tag = 0;
    for (size_t i = header_.tag.size(); i-- > 0;) tag = tag << 8 | header_.tag[i];
    out_.Printf("UnPacking Error:Tag of firmware is wrong, tag=0x%x!\r\n", tag);
    if (IdentifyImage(*source_) == ImageKind::kGpt) ExplainPartitionTableImage();
    return false;
  }
  return !Refuse(FirstRefusal(facts_.checks, UnpackStage::kHeader), TableFacts());
}

// Prints the line of `refusal`, if there is one, and says whether it did.
bool Unpacker::Refuse(const UnpackRefusal* refusal, RefusalFacts facts) {
  if (refusal == nullptr) return false;
  sink_->Write(refusal->line(facts));
  if (refusal->failedRead) sink_->NoteSystemError(imagePath_, facts.error);
  return true;
}

RefusalFacts Unpacker::TableFacts() const {
  RefusalFacts facts = TableFactsOf(facts_);
  facts.imageLength = imageLength_;
  facts.error = image_.Error();
  return facts;
}

void Unpacker::ExplainPartitionTableImage() {
  out_.Note(imagePath_,
            "a partition-table image (Gpt_Enable), which is not unpacked; take it "
            "apart into a rebuild kit with imgweld -X " +
                imagePath_ + " <dir>, or list it with imgweld -L " + imagePath_);
}

// The whole table must lie in the image before any record is acted on, so a
// hostile count or record size is refused up front instead of being walked.
bool Unpacker::CheckTable() {
  return !Refuse(FirstRefusal(facts_.checks, UnpackStage::kTable), TableFacts());
}

void Unpacker::PlanOutputs() {
  extraction_ = PlanExtraction(facts_.records);
  for (const OutputNote& note : extraction_.notes) {
    const uint32_t index = extraction_.records[note.record].record->index;
    out_.Note(imagePath_, Format("partition record %u: ", index) + note.text);
  }
}

// Every payload must lie wholly in the image, below 4 GiB, before the first
// file is written: extracting a part of it would lose data, and a length
// cut to 32 bits would invent a shorter payload. This is the one place a
// payload is judged, by where the reader placed it; every file is written
// from an extent that passed here. A record whose name is no plain file
// name is refused when it is reached instead, before its file.
bool Unpacker::CheckPayloads() {
  for (const RecordExtraction& extraction : extraction_.records) {
    if (HasProblem(facts_.checks, TaggedRule::kNameNotPlain, extraction.record->index)) continue;
    for (const ExtractedFile& file : extraction.files) {
      RefusalFacts facts;
      facts.file = file.name;
      facts.dataLength = file.extent.length;
      if (Refuse(PayloadRefusal(file.place), facts)) return false;
    }
  }
  return true;
}

// Records whose payloads share bytes are extracted as they are, each file
// whole; a line on standard error says so, since one of them was likely not
// meant to lie there.
void Unpacker::NoteSharedData() {
  std::vector<ExtractedFile> files;
  for (const RecordExtraction& extraction : extraction_.records) {
    for (const ExtractedFile& file : extraction.files) {
      if (file.extent.length != 0) files.push_back(file);
    }
  }
  for (size_t i = 0; i < files.size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      const PayloadExtent& a = files[i].extent;
      const PayloadExtent& b = files[j].extent;
      if (a.End() <= b.byteOffset || b.End() <= a.byteOffset) continue;
      out_.Note(imagePath_, "the data of " + files[i].name + " overlaps the data of " +
                                files[j].name + "; both are extracted whole");
    }
  }
}

// Extracts the records from the next one on; false after a failure. While
// the digest runs it stops early, still true, when no more files may be held
// back: the records left are extracted by the next call.
bool Unpacker::ExtractRecords() {
  for (; nextRecord_ < extraction_.records.size(); ++nextRecord_) {
    // A boot block adds two files; wait for the digest rather than hold more.
    if (sink_ == &heldBack_ && pending_.size() + 2 > kMaxPendingFiles) return true;
    const RecordExtraction& extraction = extraction_.records[nextRecord_];
    const bool ok = extraction.record->entry.type == PART_TYPE_IDBLOCK
                        ? ExtractIdBlock(extraction)
                        : ExtractPartition(extraction);
    if (!ok) return false;
  }
  return true;
}

// Saves one file; while the digest is still running the file is kept back.
bool Unpacker::Save(const std::string& fileName, const PayloadSpan& span) {
  if (sink_ != &heldBack_) {
    return SavePartitionFile(outputDirectory_, fileName, span, image_, out_);
  }
  std::unique_ptr<AtomicFile> file;
  if (!SavePartitionFile(outputDirectory_, fileName, span, image_, heldBack_, &file)) {
    return false;
  }
  pending_.push_back({std::move(file), fileName, heldBack_.Text().size()});
  return true;
}

bool Unpacker::ExtractPartition(const RecordExtraction& extraction) {
  const PartitionEntry& entry = extraction.record->entry;
  RefusalFacts facts;
  facts.record = extraction.record->index;
  if (Refuse(FirstRefusal(facts_.checks, UnpackStage::kRecord, facts.record), facts)) return false;
  if (extraction.output.inSettings) {
    RecordPartition(document_, sectionNumber_, entry);
    ApplyOutputNames(document_, sectionNumber_++, extraction.output, entry.type);
  }
  const ExtractedFile& file = extraction.files.at(0);
  return Save(file.name, file.extent);
}

// The two programs are written as stored, scrambled or not; the control
// sectors and the second copy of the block are not written out.
bool Unpacker::ExtractIdBlock(const RecordExtraction& extraction) {
  const PartitionEntry& entry = extraction.record->entry;
  RecordIdBlock(document_, sectionNumber_, entry);
  ApplyOutputNames(document_, sectionNumber_++, extraction.output, entry.type);
  // A boot block record the image holds no programs for writes no file.
  const std::vector<ExtractedFile>& files = extraction.files;
  if (files.size() != 2) return true;
  return Save(files[0].name, files[0].extent) && Save(files[1].name, files[1].extent);
}

bool Unpacker::SaveSettings() {
  const std::string name = "setting.ini";
  if (IsImageEntry(outputDirectory_, name, image_)) {
    out_.Line("UnPacking Error:Saving setting.ini would overwrite the firmware!\r");
    return false;
  }
  std::ostringstream text;
  document_.WriteInCreationOrder(text);
  return SaveText(name, text.str());
}

bool Unpacker::SaveText(const std::string& name, const std::string& bytes) {
  return SaveTextFile(outputDirectory_, name, bytes, out_);
}

}  // namespace

bool UnpackFirmware(const std::string& imagePath, const std::string& outputDir, bool verify,
                    Output& out) {
  return Unpacker(imagePath, outputDir, verify, out).Run();
}

}  // namespace imgweld
