#pragma once

#include <cstdint>
#include <string>

#include "config/ConfigDocument.h"

namespace imgweld {

// Which file `-P` writes: the tagged image, or the partition-table image with
// every payload at its sector (padded) or back to back (compact).
enum class ImageForm { kTagged, kGptPadded, kGptCompact };

// Every `System` switch a pack run acts on, read once from the configuration
// before anything is planned. The writers see this value, never the document.
struct PackOptions {
  ImageForm form = ImageForm::kTagged;
  bool backup = false;           // tagged: 4 KiB backup block; padded GPT: backup GPT
  bool nano = false;             // boot block in the Nano layout
  bool blankGap = false;         // boot block spread with 2048-byte gaps
  uint8_t fillByte = 0;          // every gap and padding byte
  bool scramblePrograms = true;  // boot programs enciphered block by block
  bool scrambleSectors = true;   // boot control sectors enciphered
  // The boot program files are given scrambled (as `-U` extracts them): they
  // are deciphered before the block is built, and stored scrambled again.
  bool programsGivenScrambled = false;
  // Directory of the configuration file, without a trailing "/"; empty when
  // relative `File` names resolve against the working directory.
  std::string configDir;

  bool IsGpt() const { return form != ImageForm::kTagged; }
  bool IsCompact() const { return form == ImageForm::kGptCompact; }
};

PackOptions ResolvePackOptions(const ConfigDocument& document, std::string configDir);

}  // namespace imgweld
