#include "unpack/ExtractFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "common/FileIdentity.h"
#include "common/Progress.h"

namespace imgweld {
namespace {

// Partitions that the kernel cannot copy go through one buffer of this size,
// so memory use does not grow with the partition.
constexpr size_t kCopyChunk = size_t{1} << 20;

// Copies the payload run by run: a gapped boot program a 2048-byte unit at
// a time, passing over the gap after each. Within a run, holes of the image
// (ranges the file system stores no blocks for) are not copied but left as
// holes of the new file, which is cut to its length at the end: an image of
// mostly unwritten partitions stays small when extracted.
// False when a read of the image or a write of `file` failed; `file`'s
// Failed() tells which.
bool CopyPayload(const PayloadExtent& extent, File& image, File& file) {
  const int fd = fileno(image.Stream());
  // Holes are looked for only inside the file: past its end a read must
  // fail, not give zero bytes.
  struct stat status {};
  const bool holesKnown = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
                          extent.End() <= static_cast<uint64_t>(status.st_size);
  for (uint64_t done = 0; done < extent.length;) {
    uint64_t position = 0;
    const uint64_t run = extent.RunAt(done, position);
    const uint64_t end = position + run;
    for (uint64_t at = position; at < end;) {
      // Where the next data lies; a file system that cannot tell gives the
      // whole rest as data, and none at all (ENXIO) leaves the rest a hole.
      uint64_t from = at;
      uint64_t to = end;
      const off_t data = holesKnown ? lseek(fd, static_cast<off_t>(at), SEEK_DATA) : -1;
      if (holesKnown && data < 0 && errno == ENXIO) break;
      if (data >= 0) {
        from = std::min<uint64_t>(static_cast<uint64_t>(data), end);
        const off_t hole = lseek(fd, static_cast<off_t>(from), SEEK_HOLE);
        if (hole >= 0) to = std::max(from, std::min<uint64_t>(static_cast<uint64_t>(hole), end));
      }
      if (to > from) {
        if (!CopyFileBytes(image, from, file, done + (from - position), to - from, kCopyChunk)) {
          return false;
        }
      }
      at = to > from ? to : end;
    }
    done += run;
  }
  return file.Truncate(extent.length);
}

}  // namespace

bool IsImageEntry(const Directory& outputDir, const std::string& name, File& image) {
  const std::optional<FileId> entry = EntryIdOf(outputDir.Fd(), name);
  return entry && entry == FileIdOf(fileno(image.Stream()));
}

bool SavePartitionFile(const Directory& outputDir, const std::string& fileName,
                       const PayloadSpan& span, File& image, Output& out,
                       std::unique_ptr<AtomicFile>* pending) {
  out.Printf("Saving %s...\r\n", fileName.c_str());
  // Renaming over the image's own entry would take the input's name away.
  if (IsImageEntry(outputDir, fileName, image)) {
    out.Printf("UnPacking Error:Creating %s would overwrite the firmware!\r\n", fileName.c_str());
    return false;
  }
  // The file is written under a temporary name and takes its own only when
  // complete; on any failure below the temporary file goes away with `file`,
  // and a file of that name from before stays as it was.
  auto owned = std::make_unique<AtomicFile>();
  AtomicFile& file = *owned;
  if (!file.Create(outputDir, fileName)) {
    out.Printf("UnPacking Error:Creating %s failed, err=%d!\r\n", fileName.c_str(), file.Error());
    out.NoteSystemError(outputDir.PathOf(fileName), file.Error());
    return false;
  }
  Progress progress(out, "saving " + outputDir.PathOf(fileName), span.length);
  // The image has been read before, so which side failed is told by the new
  // file, which had no failure before the copy.
  const bool copied = CopyPayload(span, image, file.Stream());
  if (copied) progress.Advance(span.length);
  progress.Finish();
  if (!copied && !file.Stream().Failed()) {
    out.Printf("UnPacking Error:Reading data of %s failed, err=%d!\r\n", fileName.c_str(),
               image.Error());
    out.Note(image.Path(), image.FailureText());
    return false;
  }
  const bool written = copied && file.Finish();
  if (!written) {
    const int error = copied ? file.Error() : file.Stream().Error();
    out.Printf("UnPacking Error:Writing %s failed, err=%d!\r\n", fileName.c_str(), error);
    out.NoteSystemError(outputDir.PathOf(fileName), error);
    return false;
  }
  if (pending != nullptr) {
    *pending = std::move(owned);
    return true;
  }
  // A directory under the name, say, refuses the rename.
  if (!file.Commit()) {
    ReportCommitFailure(fileName, file, out);
    return false;
  }
  return true;
}

void ReportCommitFailure(const std::string& fileName, const AtomicFile& file, Output& out) {
  out.Printf("UnPacking Error:Creating %s failed, err=%d!\r\n", fileName.c_str(), file.Error());
  if (file.Error() == EEXIST) {
    out.Diagnose(file.Path(),
                 "the directory takes this name for a file the run has already written (it does "
                 "not tell letter case apart); that file is kept and this one is not written");
  } else {
    out.NoteSystemError(file.Path(), file.Error());
  }
}

bool CheckOutputDirectory(const std::string& outputDir, Output& out) {
  struct stat status;
  int error = 0;
  if (stat(outputDir.c_str(), &status) != 0) {
    error = errno;
  } else if (!S_ISDIR(status.st_mode)) {
    error = ENOTDIR;
  } else if (access(outputDir.c_str(), X_OK) != 0) {
    error = errno;
  }
  if (error == 0) return true;
  out.Printf("UnPacking Error:Changing to %s failed, errno=%d!\r\n", outputDir.c_str(), error);
  out.NoteSystemError(outputDir, error);
  return false;
}

bool OpenOutputDirectory(const std::string& outputDir, Directory& directory, Output& out) {
  if (!directory.Open(outputDir)) {
    out.Printf("UnPacking Error:Changing to %s failed, errno=%d!\r\n", outputDir.c_str(),
               directory.Error());
    out.NoteSystemError(outputDir, directory.Error());
    return false;
  }
  // No file of the run may replace another of its files, whatever names
  // the directory takes as one.
  directory.GuardOutputs();
  if (HoldDirectoryLock(directory, out)) return true;
  out.Printf("UnPacking Error:Locking %s failed, err=%d!\r\n", outputDir.c_str(),
             directory.Error());
  return false;
}

bool SaveTextFile(const Directory& outputDir, const std::string& name, const std::string& bytes,
                  Output& out) {
  AtomicFile file;
  const bool created = file.Create(outputDir, name);
  const bool wrote = created && file.Stream().Write(bytes.data(), bytes.size());
  if (wrote && file.Commit()) return true;
  out.Printf("UnPacking Error:Saving %s failed!\r\n", name.c_str());
  out.NoteSystemError(outputDir.PathOf(name),
                      created && !wrote ? file.Stream().Error() : file.Error());
  return false;
}

}  // namespace imgweld
