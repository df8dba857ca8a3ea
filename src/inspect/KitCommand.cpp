#include "inspect/KitCommand.h"

#include "inspect/ExitCodes.h"
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

bool RebuildingConfig(ImageSource& source, const TaggedImageFacts& facts, std::string& config,
                      std::string& problem) {
  return BuildRebuildConfig(source, facts, config, problem) &&
         CheckRebuild(source, facts, config, problem);
}

}  // namespace

int ExtractKit(const std::string& imagePath, const std::string& outputDir, Output& out) {
  DiagnosticOutput progress(out);
  KitHooks kit;
  kit.fileList = &out;
  kit.rebuildConfig = RebuildingConfig;
  return UnpackFirmware(imagePath, outputDir, kit, progress) ? kExitOk : kExitUnpackFailed;
}

}  // namespace imgweld
