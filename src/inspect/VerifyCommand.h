#pragma once

#include <string>

#include "common/Output.h"
#include "image/ImageSource.h"

namespace imgweld {

// "-V <image> [offcheck]": verifies an image without extracting anything.
// A tagged image: its MD5 digest against the hash file (unless `checkHash` is
// false), both header checksums, every record inside the image, the backup
// block and the boot block; a partition-table image: the protective MBR, the
// header and array checksums, every entry inside the disk, the backup GPT.
// Prints one line per check and a last line with the verdict; true when
// every check holds. False otherwise, and for a file that cannot be opened
// or is no image, with its one "UnPacking Error:" line.
bool VerifyFile(const std::string& path, bool checkHash, Output& out);

// The checks of the image held by `source`, the hash file left out.
bool VerifyImage(ImageSource& source, const std::string& name, Output& out);

}  // namespace imgweld
