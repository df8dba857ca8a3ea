#include "common/AtomicFile.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/TempFiles.h"

namespace imgweld {
namespace {

// Creating the temporary name fails only when the name is taken; a few
// fresh names are tried before giving up.
constexpr int kNameAttempts = 64;
// The final name's share of the temporary name, so that the latter stays
// within the system's limit for one name.
constexpr size_t kNameStemLimit = 200;

uint64_t MixBits(uint64_t value) {
  value += 0x9E3779B97F4A7C15u;
  value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9u;
  value = (value ^ (value >> 27)) * 0x94D049BB133111EBu;
  return value ^ (value >> 31);
}

// A hidden name beside the final one that says which file it will become
// and what made it. Its six letters need only differ between tries and
// between processes; creating with O_EXCL is what makes the file this
// run's own.
std::string TemporaryNameFor(const std::string& name) {
  static uint64_t counter = 0;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  uint64_t bits =
      MixBits((static_cast<uint64_t>(getpid()) << 32) ^ static_cast<uint64_t>(now.tv_nsec) ^
              static_cast<uint64_t>(now.tv_sec) * 1000003u ^ ++counter * 7919u);
  static constexpr char kLetters[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string result = ".";
  result.append(name, 0, kNameStemLimit).append(".imgweld-");
  for (int i = 0; i < 6; ++i) {
    result.push_back(kLetters[bits % (sizeof kLetters - 1)]);
    bits /= sizeof kLetters - 1;
  }
  return result;
}

AtomicFile::RenameCall renameCall = &renameat;
AtomicFile::UnlinkCall unlinkCall = &unlinkat;

bool IsPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

}  // namespace

AtomicFile::~AtomicFile() { Discard(); }

bool AtomicFile::Create(const Directory& dir, const std::string& name) {
  if (!CreateIn(dir.Fd(), dir.PathOf(name), name)) return false;
  outputs_ = &dir;
  return true;
}

bool AtomicFile::Create(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  Directory dir;
  if (!dir.Open(slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash))) {
    Discard();
    error_ = dir.Error();
    return false;
  }
  return CreateIn(dir.Fd(), path, name);
}

bool AtomicFile::CreateIn(int dirFd, const std::string& displayPath, const std::string& name) {
  Discard();
  outputs_ = nullptr;
  id_.reset();
  committed_ = false;
  finished_ = false;
  finishedOk_ = false;
  error_ = 0;
  name_ = name;
  path_ = displayPath;
  if (!IsPlainName(name)) {
    error_ = name.empty() ? EISDIR : EINVAL;
    return false;
  }
  dirFd_ = fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
  if (dirFd_ < 0) {
    error_ = errno;
    return false;
  }
  int fd = -1;
  {
    // A signal between creating the file and registering it would leave
    // the file behind.
    CleanupSignalsBlocked blocked;
    for (int attempt = 0; attempt < kNameAttempts && fd < 0; ++attempt) {
      tempName_ = TemporaryNameFor(name);
      fd = openat(dirFd_, tempName_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  0666);
      if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
      error_ = errno;
      tempName_.clear();
      Release();
      return false;
    }
    if (!RegisterTempFile(dirFd_, tempName_.c_str(), slot_)) {
      close(fd);
      unlinkat(dirFd_, tempName_.c_str(), 0);
      tempName_.clear();
      Release();
      error_ = EMFILE;
      return false;
    }
  }
  id_ = FileIdOf(fd);
  if (!file_.Adopt(fd, path_, "w+b")) {
    error_ = file_.Error();
    Discard();
    return false;
  }
  // Finish() syncs the whole file; the write-back starts as it is written.
  file_.WriteBackAsWritten();
  return true;
}

bool AtomicFile::Finish() {
  if (finished_) return finishedOk_;
  finished_ = true;
  if (!file_.IsOpen()) {
    error_ = EBADF;
    return false;
  }
  bool ok = file_.Flush();
  if (!ok) error_ = file_.Error();
  // The data must be on disk before the name points at it: after a crash
  // the name then holds either the earlier file or the whole new one.
  if (ok && fsync(fileno(file_.Stream())) != 0) {
    error_ = errno;
    ok = false;
  }
  if (!file_.Close() && ok) {
    error_ = file_.Error();
    ok = false;
  }
  finishedOk_ = ok;
  if (!ok) Discard();
  return ok;
}

AtomicFile::RenameCall AtomicFile::SetRenameCall(RenameCall call) {
  const RenameCall previous = renameCall;
  renameCall = call == nullptr ? &renameat : call;
  return previous;
}

AtomicFile::UnlinkCall AtomicFile::SetUnlinkCall(UnlinkCall call) {
  const UnlinkCall previous = unlinkCall;
  unlinkCall = call == nullptr ? &unlinkat : call;
  return previous;
}

bool AtomicFile::Commit() {
  if (committed_) return true;
  AtomicFile* self = this;
  // A single file keeps nothing to put back, so nothing is ever noted.
  DiscardedOutput unused;
  return CommitAll(std::span<AtomicFile* const>(&self, 1), unused) == 1;
}

bool AtomicFile::KeepPrevious(std::string& kept) {
  kept.clear();
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const std::string hidden = TemporaryNameFor(name_);
    if (linkat(dirFd_, name_.c_str(), dirFd_, hidden.c_str(), 0) == 0) {
      kept = hidden;
      return true;
    }
    if (errno == ENOENT) return true;
    if (errno == EEXIST) continue;
    error_ = errno;
    return false;
  }
  error_ = EEXIST;
  return false;
}

bool AtomicFile::RenameIntoPlace() {
  if (dirFd_ < 0 || tempName_.empty()) {
    error_ = EBADF;
    return false;
  }
  if (outputs_ != nullptr && outputs_->IsOutput(EntryIdOf(dirFd_, name_))) {
    error_ = EEXIST;
    return false;
  }
  if (renameCall(dirFd_, tempName_.c_str(), dirFd_, name_.c_str()) != 0) {
    error_ = errno;
    return false;
  }
  if (outputs_ != nullptr && id_) outputs_->NoteOutput(*id_);
  committed_ = true;
  UnregisterTempFile(slot_);
  slot_ = kNoTempFileSlot;
  tempName_.clear();
  return true;
}

bool AtomicFile::Restore(const std::string& kept, Output& out) {
  if (kept.empty() ? unlinkat(dirFd_, name_.c_str(), 0) == 0
                   : renameCall(dirFd_, kept.c_str(), dirFd_, name_.c_str()) == 0) {
    committed_ = false;
    return true;
  }
  if (!kept.empty()) {
    // Left unnamed in the messages, a hidden file holding the earlier
    // output would go unnoticed; it is kept rather than removed, and named.
    const int error = errno;
    out.Diagnose(HiddenPath(kept), "holds the earlier %s, which could not be put back (%s)",
                 path_.c_str(), std::strerror(error));
  }
  return false;
}

// The new file stands either way; a copy left behind is named, or it would
// hold the earlier file's room on disk unnoticed.
void AtomicFile::RemoveKept(const std::string& kept, Output& out) {
  if (unlinkCall(dirFd_, kept.c_str(), 0) == 0) return;
  const int error = errno;
  out.Diagnose(HiddenPath(kept), "holds the earlier %s and could not be removed (%s)",
               path_.c_str(), std::strerror(error));
}

std::string AtomicFile::HiddenPath(const std::string& hidden) const {
  return path_.substr(0, path_.size() - name_.size()) + hidden;
}

size_t AtomicFile::CommitAll(std::span<AtomicFile* const> files, Output& out) {
  const size_t count = files.size();
  size_t failed = count;
  for (size_t i = 0; i < count && failed == count; ++i) {
    if (!files[i]->Finish()) failed = i;
  }
  // The hidden names the earlier files are reachable under meanwhile;
  // empty where the final name held nothing.
  std::vector<std::string> kept(count);
  std::vector<bool> stranded(count, false);
  {
    // A signal that ends the run must not fall between two renames.
    CleanupSignalsBlocked blocked;
    // The last file needs nothing kept: once it is renamed, all are.
    for (size_t i = 0; i + 1 < count && failed == count; ++i) {
      if (!files[i]->KeepPrevious(kept[i])) failed = i;
    }
    size_t renamed = 0;
    while (failed == count && renamed < count) {
      if (files[renamed]->RenameIntoPlace()) {
        ++renamed;
      } else {
        failed = renamed;
      }
    }
    // Undone in reverse order. An earlier file that cannot be put back stays
    // reachable under its hidden name rather than being removed.
    for (size_t j = renamed; failed != count && j-- > 0;) {
      stranded[j] = !files[j]->Restore(kept[j], out);
      if (!stranded[j]) kept[j].clear();
    }
    for (size_t i = 0; i < count; ++i) {
      if (!kept[i].empty() && !stranded[i]) files[i]->RemoveKept(kept[i], out);
    }
  }
  for (AtomicFile* file : files) {
    if (failed != count) {
      file->Discard();
    } else {
      file->Release();
    }
  }
  return failed;
}

void AtomicFile::Discard() {
  if (file_.IsOpen()) file_.Close();
  if (!committed_ && dirFd_ >= 0 && !tempName_.empty()) unlinkat(dirFd_, tempName_.c_str(), 0);
  UnregisterTempFile(slot_);
  slot_ = kNoTempFileSlot;
  Release();
}

void AtomicFile::Release() {
  if (dirFd_ >= 0) close(dirFd_);
  dirFd_ = -1;
  tempName_.clear();
}

}  // namespace imgweld
