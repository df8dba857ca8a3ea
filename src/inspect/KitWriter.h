#pragma once

#include <cstdint>
#include <string>

#include "common/Directory.h"
#include "common/File.h"
#include "common/Output.h"
#include "inspect/Kit.h"

namespace imgweld {

// Writing a rebuild kit of either form into its directory.

// Opens the existing directory `outputDir` for the kit's files and takes its
// lock, so that a second run cannot mix its files with this one's. False,
// after the error line, when it is no directory that can be written to.
bool OpenKitDirectory(const std::string& outputDir, Directory& directory, Output& out);

// Writes every file of `kit` into `directory` from `image` (each file
// complete or untouched, no link followed, holes kept), and setting.ini when
// `withSettings`. Standard output (`fileList`) names each file written, one
// a line; progress and detail go to `out`. False at the first file that
// cannot be written, or whose bytes the reader placed outside the image.
bool WriteKit(const Kit& kit, bool withSettings, const Directory& directory, File& image,
              Output& fileList, Output& out);

}  // namespace imgweld
