#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/AtomicFile.h"
#include "common/Directory.h"
#include "common/File.h"
#include "common/Output.h"
#include "image/BootBlock.h"

namespace imgweld {

// Writing the files of an unpack run: each payload copied out of the image
// into a file of its own in the output directory.

// Where a payload lies in the image (the image model's extent).
using PayloadSpan = PayloadExtent;

// Copies the payload into the file `fileName` of `outputDir`. Prints "Saving
// <fileName>..." first, and reports every failed read, write and close.
// `span` must be one its reader placed wholly in the image, below 4 GiB
// (PayloadPlace::kInside): whether a payload is extracted at all is decided
// by the caller from that verdict, before its file's turn, and is no rule
// of the copy's. Bytes that are not there all the same (the image shrank
// since it was read) fail as a read, and no file is left. Holes of the
// image stay holes of the file. The file is written under a
// temporary name and renamed over `fileName` when complete: a link under
// that name is replaced, never written through, and a failure leaves the
// name as it was. With `pending`, the complete file is handed over there
// instead of being renamed, for the caller to commit.
bool SavePartitionFile(const Directory& outputDir, const std::string& fileName,
                       const PayloadSpan& span, File& image, Output& out,
                       std::unique_ptr<AtomicFile>* pending = nullptr);

// Prints why committing `file`, saved as `fileName`, failed: the error line,
// and on standard error what a refusal to replace an earlier output means.
void ReportCommitFailure(const std::string& fileName, const AtomicFile& file, Output& out);

// Whether the entry `name` of the output directory is the open image itself,
// as when the image lies there under the name of one of the files written:
// renaming over that entry would take the image's name from it. A link that
// merely leads to the image is replaced like any other link.
bool IsImageEntry(const Directory& outputDir, const std::string& name, File& image);

// The check that stands in for changing into the output directory: the path
// (ending in "/") must name a directory that could be entered.
bool CheckOutputDirectory(const std::string& outputDir, Output& out);

// Opens the output directory `outputDir` (ending in "/") and takes its lock.
// From then on the files go to the directory just opened, whatever happens
// to its path, and a second run cannot mix its files with this one's; no
// file saved there replaces one saved before in the run (its commit fails
// with EEXIST), as where the directory folds letter case.
bool OpenOutputDirectory(const std::string& outputDir, Directory& directory, Output& out);

// Writes `bytes` as the file `name` of `outputDir`, under a temporary name
// renamed over `name` when complete: a failure leaves `name` as it was.
bool SaveTextFile(const Directory& outputDir, const std::string& name, const std::string& bytes,
                  Output& out);

}  // namespace imgweld
