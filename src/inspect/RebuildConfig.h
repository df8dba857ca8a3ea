#pragma once

#include <string>
#include <string_view>

#include "common/Output.h"
#include "config/IniWriter.h"
#include "image/ImageReader.h"
#include "image/ImageSource.h"

namespace imgweld {

// Where taking an image apart, or checking a kit, says why the image cannot
// be rebuilt: one line on standard error, "imgweld: <where>: <lead><why>",
// printed where the reason is found.
struct RebuildReport {
  Output& out;
  std::string_view where;
  std::string_view lead;

  // Prints the line, shown as a listing shows text from an image; false.
  bool Fail(const std::string& why) const;
};
inline constexpr std::string_view kNotRebuiltExactly = "cannot be rebuilt exactly, ";
inline constexpr std::string_view kCannotBeTakenApart = "cannot be taken apart: ";

// A configuration that rebuilds a tagged image byte for byte: saved as
// "setting.ini" among the files `-U` writes and packed with SOURCE_DATE_EPOCH
// set to the seconds on its first line, "# SOURCE_DATE_EPOCH=<seconds>", it
// gives the same `Firmware.img` and so the same `Firmware.md5`.
//
// Every byte the packer would write is checked against the image first: the
// header and table re-encoded, the boot block rebuilt from its own programs,
// every gap holding the fill byte. False, after one line on standard error
// ("<where>: cannot be rebuilt exactly, ...") saying what, when the image
// is not one the packer makes or holds text the configuration cannot carry.
bool BuildRebuildConfig(ImageSource& source, const TaggedImageFacts& facts,
                        const std::string& where, Output& out, std::string& config);

}  // namespace imgweld
