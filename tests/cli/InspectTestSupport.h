#pragma once

// Running the built executable with an environment and both output streams,
// for the tests of -L, -V and the reproducible date.

#include <cstdint>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace imgweld::test {

inline std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

struct Outcome {
  int exitCode = -1;
  std::string out;  // standard output, byte for byte
  std::string err;  // standard error
};

// Runs imgweld with `args` in `workDir`; `environment` is put before the
// command ("SOURCE_DATE_EPOCH=1 TZ=UTC", say).
inline Outcome Imgweld(const std::vector<std::string>& args, const std::string& workDir,
                       const std::string& environment = "") {
  TempDir errDir;
  const std::string errPath = errDir / "stderr";
  std::string command = "cd " + Quote(workDir) + " && " + environment + " " + Quote(ImgweldExe());
  for (const std::string& arg : args) command += " " + Quote(arg);
  const RunResult result = RunShell(command + " 2>" + Quote(errPath));
  return {result.exitCode, result.output, ReadText(errPath)};
}

// Packs `config` (relative to `workDir`) into `savingDir` with the date fixed.
inline void PackFixed(const std::string& config, const std::string& savingDir,
                      const std::string& workDir, const std::string& seconds = "1709647629") {
  const Outcome packed =
      Imgweld({"-P", config, savingDir}, workDir, "SOURCE_DATE_EPOCH=" + seconds);
  if (packed.exitCode != 0) throw std::runtime_error("packing failed:\n" + packed.out);
}

inline void FlipByte(const std::string& path, uint64_t at) {
  std::vector<uint8_t> bytes = ReadBytes(path);
  bytes.at(at) ^= 0x01;
  WriteBytes(path, bytes);
}

// CRC-32 as GPT uses it (zlib's): reflected polynomial 0xEDB88320, register
// and result inverted.
inline uint32_t RefCrc32(const uint8_t* data, size_t length) {
  uint32_t reg = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; ++i) {
    reg ^= data[i];
    for (int bit = 0; bit < 8; ++bit) reg = (reg & 1) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
  }
  return ~reg;
}

// Seals the primary GPT of a disk image held in `bytes` after an edit: the
// checksum of its 128-entry array at sector 2, then the header's own, so
// that a reader takes the edited table rather than the backup.
inline void SealPrimaryGpt(std::vector<uint8_t>& bytes) {
  const auto put = [&](size_t at, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) bytes.at(at + i) = static_cast<uint8_t>(value >> (8 * i));
  };
  put(512 + 88, RefCrc32(bytes.data() + 1024, 128 * 128));
  put(512 + 16, 0);
  put(512 + 16, RefCrc32(bytes.data() + 512, 92));
}

// The lines of `text` that start with `prefix`.
inline std::vector<std::string> LinesStartingWith(const std::string& text,
                                                  const std::string& prefix) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end == std::string::npos ? end : end - start);
    if (line.rfind(prefix, 0) == 0) lines.push_back(line);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

}  // namespace imgweld::test
