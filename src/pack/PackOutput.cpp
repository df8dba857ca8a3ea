#include "pack/PackOutput.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "common/FileIdentity.h"

namespace imgweld {

bool SavingDirectory::Open(const std::string& savingDir, const std::string& imagePath,
                           Output& out) {
  if (!dir_.Open(savingDir)) {
    out.Printf("Packing Error:Opening %s failed, err=%d!\r\n", imagePath.c_str(), dir_.Error());
    out.NoteSystemError(savingDir, dir_.Error());
    return false;
  }
  if (HoldDirectoryLock(dir_, out)) return true;
  out.Printf("Packing Error:Locking %s failed, err=%d!\r\n", savingDir.c_str(), dir_.Error());
  return false;
}

bool SavingDirectory::Create(AtomicFile& file, const std::string& name, const char* failureFormat,
                             Output& out) {
  struct stat status {};
  int error = 0;
  if (fstatat(dir_.Fd(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISDIR(status.st_mode)) {
    error = EISDIR;
  } else if (!file.Create(dir_, name)) {
    error = file.Error();
  }
  if (error == 0) return true;
  out.Printf(failureFormat, dir_.PathOf(name).c_str(), error);
  out.NoteSystemError(dir_.PathOf(name), error);
  return false;
}

void SavingDirectory::Close() {
  dir_.Sync();
  dir_.Close();
}

bool FinishPackOutput(AtomicFile& file, Output& out) {
  if (file.Finish()) return true;
  out.Printf("Packing Error:Writing %s failed, err=%d!\r\n", file.Path().c_str(), file.Error());
  out.NoteSystemError(file.Path(), file.Error());
  return false;
}

bool CommitPackOutputs(std::span<AtomicFile* const> files, Output& out) {
  const size_t failed = AtomicFile::CommitAll(files, out);
  if (failed == files.size()) return true;
  const AtomicFile& file = *files[failed];
  const char* format = file.IsWritten() ? "Packing Error:Renaming to %s failed, err=%d!\r\n"
                                        : "Packing Error:Writing %s failed, err=%d!\r\n";
  out.Printf(format, file.Path().c_str(), file.Error());
  out.NoteSystemError(file.Path(), file.Error());
  return false;
}

bool RefuseConfigReplaced(const std::string& configPath, const std::string& path, Output& out) {
  if (!IsSameFile(configPath, path)) return false;
  out.Printf("Packing Error:%s is the file %s that packing would replace!\r\n", configPath.c_str(),
             path.c_str());
  return true;
}

}  // namespace imgweld
