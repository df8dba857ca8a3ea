#pragma once

#include <map>
#include <string>
#include <vector>

#include "common/Output.h"
#include "image/BootBlock.h"
#include "image/ImageReader.h"
#include "image/ImageSource.h"
#include "inspect/RebuildConfig.h"
#include "pack/ImagePlan.h"
#include "pack/PackContext.h"

namespace imgweld {

// One file of a rebuild kit and where its bytes lie in the image.
struct KitFile {
  std::string name;
  PayloadExtent extent;
  bool program = false;  // a boot program: the planner reads its bytes
  // Whether the bytes lie in the image whole, as the image's reader placed
  // them; a file is written only from bytes that do.
  PayloadPlace place = PayloadPlace::kInside;
};

// The files of a kit, served from the image instead of the kit's directory,
// so that planning the configuration touches no file. A boot program is read
// into an anonymous memory file, since the planner builds the boot block
// from its bytes. Any other payload is only measured and copied by the
// planner, so its file holds no bytes of its own (a hole of the payload's
// length, which takes no memory): where the planned image copies it, the
// comparison takes its bytes from the image where the kit's file was read.
class ImageInputs final : public PackInputs {
 public:
  ImageInputs(ImageSource& source, std::vector<KitFile> files);

  bool Open(const std::string& name, File& file) const override;
  const PayloadExtent* Find(const std::string& name) const;

 private:
  bool CopyProgram(const PayloadExtent& extent, int fd) const;

  ImageSource& source_;
  std::map<std::string, KitFile> files_;
};

// Compares the image the plan makes, with its payloads taken from `inputs`,
// with the image: length and every byte. False, after `report` names the
// first byte that differs and what each side holds there.
bool ComparePlannedImage(ImageSource& source, const ImagePlan& plan, const ImageInputs& inputs,
                         uint8_t fillByte, const RebuildReport& report);

// The same for the bytes from `start` to `end` alone, which both must hold.
bool ComparePlannedRange(ImageSource& source, const ImagePlan& plan, const ImageInputs& inputs,
                         uint8_t fillByte, uint64_t start, uint64_t end,
                         const RebuildReport& report);

// The bytes the plan puts at `at`; false when the planned image ends sooner.
bool ReadPlannedImage(ImageSource& source, const ImagePlan& plan, const ImageInputs& inputs,
                      uint8_t fillByte, uint64_t at, std::span<uint8_t> out);

// Where the packer's messages go while a rebuild configuration is planned:
// each line it prints becomes a diagnostic about `where` on `target`'s
// standard error, shown as a listing shows text from an image, since the
// names in it come from the image. Standard output stays the command's own.
class PackerMessages final : public Output {
 public:
  PackerMessages(Output& target, std::string where);
  ~PackerMessages() override;  // forwards a last line that has no line end
  PackerMessages(const PackerMessages&) = delete;
  PackerMessages& operator=(const PackerMessages&) = delete;

  void Write(std::string_view text) override;
  void WriteDiagnostic(std::string_view text) override { target_.WriteDiagnostic(text); }

 private:
  void Forward(std::string_view line);

  Output& target_;
  std::string where_;
  std::string pending_;  // the start of a line not yet ended
};

// The reason a rebuild check gives when the packer refuses the
// configuration; the packer's own words are among its messages.
inline constexpr std::string_view kPackerRefuses = "the packer refuses the configuration";

}  // namespace imgweld
