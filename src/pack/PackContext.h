#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/Output.h"
#include "pack/PackOptions.h"

namespace imgweld {

// What every step of one pack run reads: the resolved options and the sink
// for messages. The process's working directory is never changed; relative
// names are joined to the configuration directory instead, while messages
// print them as configured.
struct PackContext {
  const PackOptions& options;
  Output& out;

  // `name` as a path to open: absolute and empty names as they are, relative
  // ones joined to the configuration directory.
  std::string ResolvePath(const std::string& name) const;
};

// Byte positions inside an image are unsigned 32-bit values: the position of
// sector `sector`, or nothing when it lies beyond the last 32-bit position.
std::optional<uint32_t> SectorPosition(uint64_t sector);

// The directory part of a configuration path: the text before its last "/",
// or empty (the working directory) when there is no "/" or nothing before it.
std::string ConfigDirectoryOf(const std::string& configPath);

}  // namespace imgweld
