// The atomic output file: the final name shows either what it held before
// or the complete new file, whatever stood under it; nothing is written
// through a link; an unfinished file leaves nothing behind, also when a
// signal ends the process.
#include "common/AtomicFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/Directory.h"
#include "common/TempFiles.h"
#include "support/TestSupport.h"

namespace imgweld::test {
namespace {

namespace fs = std::filesystem;

bool WriteAndCommit(AtomicFile& file, const std::string& text) {
  return file.Stream().Write(text.data(), text.size()) && file.Commit();
}

class AtomicFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(out_);
    fs::create_directory(outside_);
    WriteText((outside_ / "victim").string(), kVictim);
    ASSERT_TRUE(dir_.Open(out_.string()));
  }

  static constexpr const char* kVictim = "must stay as it is\n";
  TempDir temp_;
  fs::path out_ = temp_.Path() / "out";
  fs::path outside_ = temp_.Path() / "outside";
  Directory dir_;
};

TEST_F(AtomicFileTest, CommitReplacesTheEntryAndNeverWhatALinkLeadsTo) {
  struct Case {
    std::string what;
    std::function<void(const fs::path& entry)> prepare;
  };
  const std::vector<Case> cases = {
      {"nothing under the name", [](const fs::path&) {}},
      {"a regular file", [](const fs::path& entry) { WriteText(entry.string(), "old"); }},
      {"a symbolic link to a file",
       [&](const fs::path& entry) { fs::create_symlink(outside_ / "victim", entry); }},
      {"a dangling symbolic link",
       [&](const fs::path& entry) { fs::create_symlink(outside_ / "absent", entry); }},
      {"a hard link",
       [&](const fs::path& entry) { fs::create_hard_link(outside_ / "victim", entry); }},
      {"a symbolic link to a directory",
       [&](const fs::path& entry) { fs::create_directory_symlink(outside_, entry); }},
      {"a FIFO", [](const fs::path& entry) { ASSERT_EQ(mkfifo(entry.c_str(), 0644), 0); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path entry = out_ / "Firmware.img";
    fs::remove(entry);
    c.prepare(entry);
    AtomicFile file;
    ASSERT_TRUE(file.Create(dir_, "Firmware.img")) << file.Error();
    EXPECT_EQ(file.Path(), entry.string());
    EXPECT_EQ(file.Stream().Path(), entry.string());
    ASSERT_TRUE(WriteAndCommit(file, "new image")) << file.Error();
    EXPECT_TRUE(file.IsCommitted());
    EXPECT_EQ(fs::symlink_status(entry).type(), fs::file_type::regular);
    EXPECT_EQ(ReadText(entry.string()), "new image");
    EXPECT_EQ(Entries(out_), std::vector<std::string>{"Firmware.img"});
    EXPECT_EQ(ReadText((outside_ / "victim").string()), kVictim);
    EXPECT_EQ(fs::hard_link_count(outside_ / "victim"), 1u);
    EXPECT_EQ(Entries(outside_), std::vector<std::string>{"victim"});
  }
}

// Until the commit the final name keeps the earlier file, and a file never
// committed leaves nothing behind, whether it is dropped, discarded, or
// its commit fails.
TEST_F(AtomicFileTest, UncommittedFileLeavesTheNameAsItWas) {
  const std::string path = (out_ / "Firmware.md5").string();
  WriteText(path, "earlier");
  {
    AtomicFile file;
    ASSERT_TRUE(file.Create(path));
    ASSERT_TRUE(file.Stream().Write("unfinished", 10));
    ASSERT_TRUE(file.Finish());
    EXPECT_EQ(ReadText(path), "earlier");
    // The one temporary file is hidden beside the final name.
    const std::vector<std::string> names = Entries(out_);
    ASSERT_EQ(names.size(), 2u);
    EXPECT_TRUE(names[0].starts_with(".Firmware.md5.")) << names[0];
  }
  EXPECT_EQ(Entries(out_), std::vector<std::string>{"Firmware.md5"});
  EXPECT_EQ(ReadText(path), "earlier");

  AtomicFile discarded;
  ASSERT_TRUE(discarded.Create(dir_, "Firmware.md5"));
  discarded.Discard();
  EXPECT_FALSE(discarded.Commit());
  EXPECT_EQ(Entries(out_), std::vector<std::string>{"Firmware.md5"});

  // A directory under the final name refuses the rename.
  fs::create_directory(out_ / "busy");
  WriteText((out_ / "busy/inside").string(), "x");
  AtomicFile refused;
  ASSERT_TRUE(refused.Create(dir_, "busy"));
  EXPECT_FALSE(WriteAndCommit(refused, "data"));
  EXPECT_TRUE(refused.IsFinished());
  EXPECT_EQ(refused.Error(), EISDIR);
  EXPECT_EQ(Entries(out_), (std::vector<std::string>{"Firmware.md5", "busy"}));
  EXPECT_EQ(ReadText((out_ / "busy/inside").string()), "x");
}

// Names as long as a file name may be (255 bytes) are created and renamed:
// the temporary name and the name an earlier file is kept under meanwhile
// still fit. The second file's rename is refused, so the first is put back.
TEST_F(AtomicFileTest, LongestNamesAreCommittedAndPutBackTogether) {
  const std::string first(255, 'a');
  const std::string second = std::string(254, 'a') + "b";
  AtomicFile file;
  ASSERT_TRUE(file.Create(dir_, first));
  ASSERT_TRUE(WriteAndCommit(file, "earlier"));
  EXPECT_EQ(Entries(out_), std::vector<std::string>{first});

  static std::string refused;
  refused = second;
  const auto refusing = [](int fromDir, const char* from, int toDir, const char* to) {
    if (refused == to) {
      errno = EROFS;
      return -1;
    }
    return renameat(fromDir, from, toDir, to);
  };
  AtomicFile a;
  AtomicFile b;
  ASSERT_TRUE(a.Create(dir_, first));
  ASSERT_TRUE(b.Create(dir_, second));
  ASSERT_TRUE(a.Stream().Write("new", 3));
  ASSERT_TRUE(b.Stream().Write("new", 3));
  AtomicFile::SetRenameCall(refusing);
  AtomicFile* const both[] = {&a, &b};
  StringOutput out;
  const size_t failed = AtomicFile::CommitAll(both, out);
  AtomicFile::SetRenameCall(nullptr);
  EXPECT_EQ(failed, 1u);
  EXPECT_EQ(b.Error(), EROFS);
  EXPECT_EQ(Entries(out_), std::vector<std::string>{first});
  EXPECT_EQ(ReadText((out_ / first).string()), "earlier");

  AtomicFile c;
  AtomicFile d;
  ASSERT_TRUE(c.Create(dir_, first) && d.Create(dir_, second));
  ASSERT_TRUE(c.Stream().Write("new", 3) && d.Stream().Write("new", 3));
  AtomicFile* const again[] = {&c, &d};
  EXPECT_EQ(AtomicFile::CommitAll(again, out), 2u);
  EXPECT_EQ(out.Diagnostics(), "");
  EXPECT_EQ(Entries(out_), (std::vector<std::string>{first, second}));
  EXPECT_EQ(ReadText((out_ / first).string()), "new");
}

// In a directory that guards its outputs, a commit never replaces a file
// committed there before, under whatever name the directory leads to it: a
// hard link stands for a case-folding directory taking "B" for "b". A
// directory opened anew (a new run) replaces the earlier run's files as
// always, and one that does not guard replaces them too.
TEST_F(AtomicFileTest, GuardedDirectoryNeverReplacesItsOwnOutput) {
  dir_.GuardOutputs();
  AtomicFile first;
  ASSERT_TRUE(first.Create(dir_, "b"));
  ASSERT_TRUE(WriteAndCommit(first, "first"));
  ASSERT_EQ(link((out_ / "b").c_str(), (out_ / "B").c_str()), 0);
  for (const char* name : {"B", "b"}) {
    SCOPED_TRACE(name);
    AtomicFile second;
    ASSERT_TRUE(second.Create(dir_, name));
    EXPECT_FALSE(WriteAndCommit(second, "second"));
    EXPECT_EQ(second.Error(), EEXIST);
    EXPECT_TRUE(second.IsWritten());
  }
  EXPECT_EQ(Entries(out_), (std::vector<std::string>{"B", "b"}));
  EXPECT_EQ(ReadText((out_ / "b").string()), "first");

  for (const bool guarded : {true, false}) {
    SCOPED_TRACE(guarded);
    Directory again;
    ASSERT_TRUE(again.Open(out_.string()));
    if (guarded) again.GuardOutputs();
    AtomicFile next;
    ASSERT_TRUE(next.Create(again, "B"));
    EXPECT_TRUE(WriteAndCommit(next, guarded ? "next run" : "unguarded"));
    EXPECT_EQ(ReadText((out_ / "B").string()), guarded ? "next run" : "unguarded");
  }
}

// Once both new files are in place, the hidden copy of the earlier first
// file is removed; when that fails, the commit stands and a line on
// standard error names the copy and the file it was.
TEST_F(AtomicFileTest, HiddenCopyThatCannotBeRemovedIsNamed) {
  for (const char* name : {"Firmware.img", "Firmware.md5"}) {
    WriteText((out_ / name).string(), "earlier");
  }
  const auto failing = [](int, const char*, int) {
    errno = EIO;
    return -1;
  };
  for (const bool fails : {true, false}) {
    SCOPED_TRACE(fails);
    AtomicFile image;
    AtomicFile hash;
    ASSERT_TRUE(image.Create(dir_, "Firmware.img") && hash.Create(dir_, "Firmware.md5"));
    ASSERT_TRUE(image.Stream().Write("new", 3) && hash.Stream().Write("new", 3));
    AtomicFile* const both[] = {&image, &hash};
    StringOutput out;
    if (fails) AtomicFile::SetUnlinkCall(failing);
    EXPECT_EQ(AtomicFile::CommitAll(both, out), 2u);
    AtomicFile::SetUnlinkCall(nullptr);
    EXPECT_EQ(ReadText((out_ / "Firmware.img").string()), "new");
    EXPECT_EQ(ReadText((out_ / "Firmware.md5").string()), "new");
    std::vector<std::string> hidden;
    for (const std::string& entry : Entries(out_)) {
      if (entry.starts_with(".Firmware.img.imgweld-")) hidden.push_back(entry);
    }
    if (!fails) {
      EXPECT_EQ(hidden, std::vector<std::string>{});
      EXPECT_EQ(out.Diagnostics(), "");
      continue;
    }
    ASSERT_EQ(hidden.size(), 1u);
    EXPECT_EQ(ReadText((out_ / hidden[0]).string()), "earlier");
    EXPECT_EQ(out.Diagnostics(), "imgweld: " + (out_ / hidden[0]).string() +
                                     ": holds the earlier " + (out_ / "Firmware.img").string() +
                                     " and could not be removed (Input/output error)\n");
    fs::remove(out_ / hidden[0]);
  }
}

// A write that fails (here past a file-size limit, its signal ignored) shows
// when the file is finished, and the temporary file goes.
TEST_F(AtomicFileTest, FailedWriteShowsWhenFinishingAndLeavesNothing) {
  const std::string data(10000, 'x');
  AtomicFile file;
  ASSERT_TRUE(file.Create(dir_, "big.img"));
  {
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit previous{};
    getrlimit(RLIMIT_FSIZE, &previous);
    rlimit limit = previous;
    limit.rlim_cur = 5000;
    setrlimit(RLIMIT_FSIZE, &limit);
    file.Stream().Write(data.data(), data.size());
    EXPECT_FALSE(file.Finish());
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);
  }
  EXPECT_EQ(file.Error(), EFBIG);
  EXPECT_FALSE(file.Commit());
  EXPECT_TRUE(fs::is_empty(out_));
}

TEST_F(AtomicFileTest, NewFileHasThePermissionsOfAnyNewFile) {
  WriteText((out_ / "setting.ini").string(), "old");
  fs::permissions(out_ / "setting.ini", fs::perms(0600));
  const mode_t previous = umask(027);
  AtomicFile file;
  const bool written = file.Create(dir_, "setting.ini") && WriteAndCommit(file, "new");
  umask(previous);
  ASSERT_TRUE(written);
  EXPECT_EQ(fs::status(out_ / "setting.ini").permissions(), fs::perms(0640));
}

TEST_F(AtomicFileTest, OnlyPlainNamesAreAccepted) {
  for (const std::string name : {"", ".", "..", "a/b", "../escape"}) {
    SCOPED_TRACE(name);
    AtomicFile file;
    EXPECT_FALSE(file.Create(dir_, name));
    EXPECT_NE(file.Error(), 0);
  }
  AtomicFile inMissingDirectory;
  EXPECT_FALSE(inMissingDirectory.Create((out_ / "missing/file").string()));
  EXPECT_EQ(inMissingDirectory.Error(), ENOENT);
  EXPECT_TRUE(fs::is_empty(out_));
}

// A child process holds a temporary file and is ended by a signal: the
// cleanup removes the file, and the process still dies of that signal. A
// signal the process was started with ignored stays ignored.
TEST_F(AtomicFileTest, SignalRemovesTemporaryFilesAndStillEndsTheProcess) {
  struct Case {
    int number;
    bool ignoredBefore;
  };
  for (const Case c : {Case{SIGINT, false}, Case{SIGTERM, false}, Case{SIGHUP, false},
                       Case{SIGPIPE, false}, Case{SIGHUP, true}}) {
    SCOPED_TRACE(std::string(strsignal(c.number)) + (c.ignoredBefore ? ", ignored" : ""));
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      signal(c.number, c.ignoredBefore ? SIG_IGN : SIG_DFL);
      InstallTempFileCleanup();
      AtomicFile image;
      AtomicFile hash;
      if (!image.Create(dir_, "Firmware.img") || !hash.Create(dir_, "Firmware.md5")) _exit(10);
      if (!image.Stream().Write("data", 4) || !image.Stream().Flush()) _exit(11);
      if (Entries(out_).size() != 2) _exit(12);
      raise(c.number);
      // Only reached when the signal is ignored; skip the destructors so
      // that the files stay for the parent to see.
      _exit(Entries(out_).size() == 2 ? 0 : 13);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (c.ignoredBefore) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
      EXPECT_EQ(Entries(out_).size(), 2u);
      for (const std::string& name : Entries(out_)) fs::remove(out_ / name);
    } else {
      ASSERT_TRUE(WIFSIGNALED(status)) << status;
      EXPECT_EQ(WTERMSIG(status), c.number);
      EXPECT_TRUE(fs::is_empty(out_));
    }
  }
}

}  // namespace
}  // namespace imgweld::test
