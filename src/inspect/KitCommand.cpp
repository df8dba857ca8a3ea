#include "inspect/KitCommand.h"

#include <cerrno>
#include <optional>

#include "common/Directory.h"
#include "common/File.h"
#include "common/Progress.h"
#include "image/GptRecords.h"
#include "image/ImageReader.h"
#include "image/ImageSource.h"
#include "image/Md5.h"
#include "inspect/GptRebuildConfig.h"
#include "inspect/InspectSupport.h"
#include "inspect/Kit.h"
#include "inspect/KitWriter.h"
#include "inspect/RebuildConfig.h"
#include "unpack/DigestCheck.h"

namespace imgweld {
namespace {

// Progress and error lines sent to standard error, so that standard output
// holds nothing but the names of the files written.
class DiagnosticOutput final : public Output {
 public:
  explicit DiagnosticOutput(Output& base) : base_(base) {}
  void Write(std::string_view text) override { base_.WriteDiagnostic(text); }
  void WriteDiagnostic(std::string_view text) override { base_.WriteDiagnostic(text); }
  bool DiagnosticsAreTerminal() const override { return base_.DiagnosticsAreTerminal(); }
  void SetStatusLine(std::string_view line) override { base_.SetStatusLine(line); }

 private:
  Output& base_;
};

// A disk image whose GPT header lies in its second sector of more than 512
// bytes: a GPT of another sector size, which no partition-table image of
// the packer's (512-byte sectors) expresses.
std::optional<uint32_t> ForeignSectorSize(ImageSource& source) {
  SectorBytes mbr{};
  SectorBytes first{};
  if (!source.Read(0, mbr) || !IsProtectiveMbr(mbr) ||
      (source.Read(kSectorSize, first) && HasGptSignature(first))) {
    return std::nullopt;
  }
  for (const uint32_t size : {1024u, 2048u, 4096u}) {
    SectorBytes header{};
    if (source.Read(size, header) && HasGptSignature(header)) return size;
  }
  return std::nullopt;
}

void ReportOpenFailure(const File& file, Output& out) {
  out.Printf("UnPacking Error:Opening %s failed, err=%d!\r\n", file.Path().c_str(), file.Error());
  out.Note(file.Path(), file.FailureText());
}

// The image's digest against the first 16 bytes of the hash file beside it,
// as -U verifies it. The kit is checked against the image itself, so a
// missing hash file is only noted.
bool VerifyDigest(const std::string& imagePath, File& image, uint64_t length, Output& out) {
  File hashFile;
  if (!hashFile.OpenInput(HashFilePath(imagePath))) {
    if (hashFile.Error() == ENOENT) {
      out.Note(imagePath, "no hash file " + hashFile.Path() +
                              " beside it, so the image is not verified against one");
      return true;
    }
    ReportOpenFailure(hashFile, out);
    return false;
  }
  Md5Digest stored{};
  if (!ReadStoredDigest(hashFile, stored, out)) return false;
  Progress progress(out, "verifying " + imagePath, length);
  Md5Digest computed{};
  const bool hashed = Md5OfStream(computed, image, kMd5WholeFile, &progress);
  progress.Finish();
  return CompareDigest(stored, hashed ? std::optional<Md5Digest>(computed) : std::nullopt,
                       imagePath, image.FailureText(), out);
}

// Recognises the image's form and works out its kit; a tagged image is
// verified first unless `verify` is off. False, after the line that says
// why, when nothing is to be written.
bool BuildKit(const std::string& imagePath, File& image, ImageSource& source, bool verify,
              Output& out, Kit& kit) {
  const RebuildReport refusal{out, imagePath, kCannotBeTakenApart};
  // A GPT of larger sectors comes first: its header in sector 1 is missing,
  // and a backup at the last 512 bytes would be read instead.
  if (const std::optional<uint32_t> size = ForeignSectorSize(source)) {
    return refusal.Fail(Format(
        "its GPT has sectors of %u bytes, a partition-table image has sectors of 512", *size));
  }
  const FileForm form = RecognizeImage(source);
  if (form.kind == ImageKind::kGpt) {
    const GptImageFacts facts = ReadGptImage(source);
    NoteGptTable(facts, imagePath, out);
    return BuildGptKit(source, facts, imagePath, out, kit);
  }
  if (form.kind != ImageKind::kTagged) {
    if (!form.found.empty()) return refusal.Fail(form.found);
    return refusal.Fail("it is neither a tagged firmware image nor a partition-table image");
  }
  if (verify && !VerifyDigest(imagePath, image, source.Length(), out)) return false;
  return BuildTaggedKit(source, ReadTaggedImage(source), imagePath, out, kit);
}

}  // namespace

bool ExtractKit(const std::string& imagePath, const std::string& outputDir, bool verify,
                Output& out) {
  DiagnosticOutput progress(out);
  progress.Line("Start to unpack firmware...\r");
  Directory directory;
  if (!OpenKitDirectory(outputDir, directory, progress)) return false;
  File image;
  if (!image.OpenInput(imagePath)) {
    ReportOpenFailure(image, progress);
    return false;
  }
  const std::optional<uint64_t> length = image.Length();
  if (!length) {
    progress.Printf("UnPacking Error:Reading %s failed, err=%d!\r\n", imagePath.c_str(),
                    image.Error());
    progress.Note(imagePath, image.FailureText());
    return false;
  }
  FileSource source(image, *length);
  Kit kit;
  if (!BuildKit(imagePath, image, source, verify, progress, kit)) return false;
  // The comparison comes before the first file: a setting.ini is written
  // only where it packs the image again, so a kit directory that holds one
  // can be trusted. The files are written either way, as -U writes them.
  const bool rebuilds = !kit.config.empty() && CheckKit(source, kit, imagePath, progress);
  const bool written = WriteKit(kit, rebuilds, directory, image, out, progress);
  // The files renamed into place keep their names after a crash.
  directory.Sync();
  if (!written || !rebuilds) return false;
  progress.Line("Unpacking firmware OK.\r");
  return true;
}

}  // namespace imgweld
