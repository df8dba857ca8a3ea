#include "support/TestSupport.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace imgweld::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "imgweld-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Tests may leave read-only directories behind; make them removable first.
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ignored);
    }
  }
  std::filesystem::remove_all(path_, ignored);
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ReadText(const std::string& path) {
  const std::vector<uint8_t> bytes = ReadBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void WriteText(const std::string& path, const std::string& text) {
  WriteBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<uint8_t> RandomBytes(size_t count, uint32_t seed) {
  std::mt19937 engine(seed);
  std::vector<uint8_t> bytes(count);
  for (auto& b : bytes) b = static_cast<uint8_t>(engine());
  return bytes;
}

namespace {

std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

}  // namespace

RunResult RunShell(const std::string& command) {
  RunResult result;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, got);
  const int status = pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

RunResult RunImgweld(const std::vector<std::string>& args, const std::string& workDir) {
  std::string command = "cd " + ShellQuote(workDir) + " && " + ShellQuote(ImgweldExe());
  for (const auto& arg : args) command += " " + ShellQuote(arg);
  return RunShell(command);
}

std::string HexOf(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 0xF];
  }
  return text;
}

std::string Md5sumHex(const std::string& path) {
  const RunResult result = RunShell("md5sum " + ShellQuote(path) + " 2>/dev/null");
  if (result.exitCode != 0 || result.output.size() < 32) return "";
  return result.output.substr(0, 32);
}

std::vector<uint8_t> Md5sumBytes(const std::string& path) {
  const std::string hex = Md5sumHex(path);
  std::vector<uint8_t> digest;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    digest.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return digest;
}

std::string ImgweldExe() { return IMGWELD_EXE; }
std::string SourceDir() { return IMGWELD_SOURCE_DIR; }

std::vector<std::string> Entries(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& item : std::filesystem::directory_iterator(dir)) {
    names.push_back(item.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::set<std::string> FailedChecks(const std::string& output) {
  std::set<std::string> failed;
  size_t start = 0;
  while (start < output.size()) {
    const size_t end = output.find('\n', start);
    const std::string line = output.substr(start, end - start);
    const size_t at = line.find("  bad  ");
    if (at != std::string::npos) failed.insert(line.substr(0, line.find_last_not_of(' ', at) + 1));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return failed;
}

}  // namespace imgweld::test
