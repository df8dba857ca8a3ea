#pragma once

#include <string>

#include "common/Output.h"
#include "image/ImageReader.h"
#include "image/ImageSource.h"

namespace imgweld {

// How "-V" prints its checks: a line each and the verdict, or one JSON
// document with the same checks and verdict, in the style of "-L json".
enum class VerifyMode { kText, kJson };

// "-V <image> [offcheck] [json]": verifies an image without extracting anything.
// A tagged image: its MD5 digest against the hash file (unless `checkHash` is
// false), both header checksums, every record inside the image, the backup
// block and the boot block; any GPT disk: the checks every GPT tool makes
// (protective MBR, both headers and arrays and their checksums, entries
// inside the usable sectors and apart, backup against primary), and on the
// packer's own images its layout and private fields too.
// Prints one line per check and a last line with the verdict; true when
// every check holds. False otherwise, and for a file that cannot be opened
// or is no image, with its one "UnPacking Error:" line (in JSON mode its
// line on standard error, and nothing on standard output).
bool VerifyFile(const std::string& path, bool checkHash, VerifyMode mode, Output& out);

// The checks of the image held by `source`, the hash file left out.
bool VerifyImage(ImageSource& source, const std::string& name, Output& out);
// The same checks of an image already read.
bool VerifyImage(const ImageReading& reading, const std::string& name, Output& out);

}  // namespace imgweld
