#pragma once

#include <cstdint>
#include <filesystem>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace imgweld::test {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  // The path of `name` inside the directory, as text.
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

std::vector<uint8_t> ReadBytes(const std::string& path);
std::string ReadText(const std::string& path);
void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);
void WriteText(const std::string& path, const std::string& text);
// `count` bytes from a fixed pseudo-random sequence chosen by `seed`.
std::vector<uint8_t> RandomBytes(size_t count, uint32_t seed);

struct RunResult {
  int exitCode = -1;
  std::string output;  // standard output, byte for byte
};

// Runs the built imgweld executable with `args` in `workDir` and captures
// its standard output.
RunResult RunImgweld(const std::vector<std::string>& args, const std::string& workDir = ".");

// Runs a shell command; its standard output is captured.
RunResult RunShell(const std::string& command);

// Bytes as lowercase hexadecimal, two digits each.
std::string HexOf(std::span<const uint8_t> bytes);
// The MD5 digest that the md5sum tool computes for the file, as 32 lowercase
// hexadecimal digits, or "" when the tool fails.
std::string Md5sumHex(const std::string& path);
// The same as 16 raw bytes; empty when the tool fails.
std::vector<uint8_t> Md5sumBytes(const std::string& path);

// Path of the built imgweld executable and of the source tree.
// The names in a directory, sorted.
std::vector<std::string> Entries(const std::filesystem::path& dir);

// The names of the checks a "-V" or "-L" run reports as failed.
std::set<std::string> FailedChecks(const std::string& output);

std::string ImgweldExe();
std::string SourceDir();

}  // namespace imgweld::test
