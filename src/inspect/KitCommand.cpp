#include "inspect/KitCommand.h"

#include <optional>

#include "common/File.h"
#include "image/GptRecords.h"
#include "image/ImageReader.h"
#include "image/ImageSource.h"
#include "inspect/GptKit.h"
#include "inspect/RebuildCheck.h"
#include "inspect/RebuildConfig.h"
#include "unpack/UnpackFirmware.h"

namespace imgweld {
namespace {

// The unpacker's messages, sent to standard error, so that standard output
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

}  // namespace

bool ExtractKit(const std::string& imagePath, const std::string& outputDir, bool verify,
                Output& out) {
  DiagnosticOutput progress(out);
  // A partition-table image has a kit of its own; any other file goes the
  // way of -U, which names what it cannot unpack.
  File image;
  if (image.OpenInput(imagePath)) {
    const std::optional<uint64_t> length = image.Length();
    if (length) {
      FileSource source(image, *length);
      // A GPT of larger sectors comes first: its header in sector 1 is
      // missing, and a backup at the last 512 bytes would be read instead.
      if (const std::optional<uint32_t> size = ForeignSectorSize(source)) {
        return RebuildReport{out, imagePath, kCannotBeTakenApart}.Fail(Format(
            "its GPT has sectors of %u bytes, a partition-table image has sectors of 512", *size));
      }
      const FileForm form = RecognizeImage(source);
      if (form.kind == ImageKind::kGpt) {
        return ExtractGptKit(imagePath, image, *length, outputDir, out, progress);
      }
      if (!form.found.empty()) {
        return RebuildReport{out, imagePath, kCannotBeTakenApart}.Fail(form.found);
      }
    }
  }
  KitHooks kit;
  kit.verify = verify;
  kit.fileList = &out;
  kit.rebuildConfig = [&](ImageSource& source, const TaggedImageFacts& facts, std::string& config) {
    return BuildRebuildConfig(source, facts, imagePath, out, config) &&
           CheckRebuild(source, facts, config, imagePath, out);
  };
  return UnpackFirmware(imagePath, outputDir, kit, progress);
}

}  // namespace imgweld
