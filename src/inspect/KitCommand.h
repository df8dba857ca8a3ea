#pragma once

#include <string>

#include "common/Output.h"

namespace imgweld {

// The "-X" command: takes the image at `imagePath`, of either form, apart
// into the existing directory `outputDir`: the files "-U" writes for a tagged
// image, the partitions' files of a partition-table image, and a
// setting.ini that packs the same image again, byte for byte, with no
// environment. The kit is planned by the packer in memory and compared with
// the image before anything is written. Progress and detail go to standard
// error; standard output names each file written, one a line. False (the
// command exits 4) when it fails; an image the kit cannot rebuild exactly
// still gets its files, but no setting.ini. A tagged image is first
// verified against the hash file beside it, as "-U" verifies it, unless
// `verify` is false ("offcheck"); without a hash file the kit is made all
// the same.
bool ExtractKit(const std::string& imagePath, const std::string& outputDir, bool verify,
                Output& out);

}  // namespace imgweld
