#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/File.h"
#include "common/Output.h"
#include "pack/PackOptions.h"

namespace imgweld {

// What every step of one pack run reads: the resolved options and the sink
// for messages. The process's working directory is never changed; relative
// names are joined to the configuration directory instead, while messages
// print them as configured.
// The files a run reads, by the names the configuration gives them: a
// planner that must not touch the file system (checking that a
// configuration rebuilds an image) hands the run its payloads this way.
class PackInputs {
 public:
  virtual ~PackInputs() = default;
  // Opens the input `name` for reading into `file`; false, with the
  // file's error set, when there is none of that name.
  virtual bool Open(const std::string& name, File& file) const = 0;
};

struct PackContext {
  const PackOptions& options;
  Output& out;
  // Null: inputs are files, found by ResolvePath().
  const PackInputs* inputs = nullptr;
  // Where the progress lines of reading the configuration go (one line per
  // partition read). Null: to `out` with everything else; a caller that
  // keeps only what a run reports beside its progress sends them elsewhere.
  Output* progress = nullptr;

  Output& ProgressOut() const { return progress != nullptr ? *progress : out; }

  // `name` as a path to open: absolute and empty names as they are, relative
  // ones joined to the configuration directory.
  std::string ResolvePath(const std::string& name) const;
  // Opens the input `name` for reading, as File::OpenInput opens a file.
  bool OpenInput(const std::string& name, File& file) const;
};

// Byte positions inside an image are unsigned 32-bit values: the position of
// sector `sector`, or nothing when it lies beyond the last 32-bit position.
std::optional<uint32_t> SectorPosition(uint64_t sector);

// The directory part of a configuration path: the text before its last "/",
// or empty (the working directory) when there is no "/" or nothing before it.
std::string ConfigDirectoryOf(const std::string& configPath);

}  // namespace imgweld
