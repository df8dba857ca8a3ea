#pragma once

#include <optional>
#include <string>

#include "common/Output.h"
#include "image/ImageReader.h"
#include "image/ImageSource.h"

namespace imgweld {

// How "-L" prints what it found.
enum class ListMode {
  kText,  // aligned columns for a person
  kJson,  // one JSON document with stable keys, for scripts
  kIni,   // a configuration that rebuilds a tagged image byte for byte
};

// The mode word in any letter case; nothing for another word.
std::optional<ListMode> ParseListMode(const std::string& word);

// What "-L" made of a file. A configuration that "-P" refuses is described
// in full, refusal included, so it is neither listed clean nor a failure.
enum class ListOutcome {
  kListed,   // the file reads and every check holds
  kFailed,   // a damaged image (listed as far as it reads), an image the
             // mode cannot describe, or any other file; its line printed
  kRefused,  // a configuration "-P" refuses, listed with the refusal "-P" prints
};

// "-L <file> [mode]": recognises a tagged image, a partition-table image or
// a configuration and describes it.
ListOutcome ListFile(const std::string& path, ListMode mode, Output& out);

// The same for an image held by `source`, shown under `name`; a file that
// is no image gets the "UnPacking Error:" line. True when the image is
// listed and every check holds.
bool ListImage(ImageSource& source, const std::string& name, ListMode mode, Output& out);

// The same for an image already read into `reading` from `source`. Only
// the ini mode reads the source again: it compares the image's bytes with
// those its configuration rebuilds.
bool ListImage(ImageSource& source, const ImageReading& reading, const std::string& name,
               ListMode mode, Output& out);

}  // namespace imgweld
