#pragma once

#include <span>
#include <string>

#include "common/AtomicFile.h"
#include "common/Directory.h"
#include "common/Output.h"
#include "image/ImageFiles.h"

namespace imgweld {

// The saving directory of a pack run. Its files are written under temporary
// names and renamed over `Firmware.img` and `Firmware.md5` only when the run
// has succeeded, so a failed or interrupted run leaves the previous pair as
// it was. The directory's lock, held from before the first temporary file
// until the last rename, keeps two runs from pairing one's image with the
// other's hash file.
class SavingDirectory {
 public:
  // Opens and locks `savingDir` (already checked to be a directory). On
  // failure prints the usual message for the image that cannot be
  // created, naming `imagePath`.
  bool Open(const std::string& savingDir, const std::string& imagePath, Output& out);

  // Creates `file` for the final name `name` in the directory. On failure
  // prints `failureFormat` with the final path and the error number, as the
  // packer prints it for a file that cannot be created. A directory under
  // the final name is such a failure: nothing could ever be renamed over it.
  bool Create(AtomicFile& file, const std::string& name, const char* failureFormat, Output& out);

  // Makes the renames durable and lets other runs in.
  void Close();

 private:
  Directory dir_;
};

// Finishes `file` (flush, sync, close). On failure prints the packer's
// message for a failed write of the final path.
bool FinishPackOutput(AtomicFile& file, Output& out);

// Renames the files of a pack run (the image, then the hash file when there
// is one) over their final names as one change (AtomicFile::CommitAll): after
// a failure the saving directory holds the earlier files byte for byte, or
// none where there were none. On failure prints why, naming the file.
bool CommitPackOutputs(std::span<AtomicFile* const> files, Output& out);

// Whether `configPath` is the file at `path` (same device and inode), which
// the run would replace: the configuration would be lost.
bool RefuseConfigReplaced(const std::string& configPath, const std::string& path, Output& out);

}  // namespace imgweld
