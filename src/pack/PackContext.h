#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/Output.h"
#include "config/ConfigDocument.h"

namespace imgweld {

// What every step of one pack run reads: the configuration, the directory
// its relative `File` names are looked up in, the fill byte, and the sink for
// messages. The process's working directory is never changed; relative names
// are joined to `configDir` instead, while messages print them as configured.
struct PackContext {
  const ConfigDocument& document;
  // Directory of the configuration file, without a trailing "/"; empty when
  // names resolve against the working directory.
  std::string configDir;
  uint8_t fillByte = 0;
  Output& out;

  // `name` as a path to open: absolute and empty names as they are, relative
  // ones joined to `configDir`.
  std::string ResolvePath(const std::string& name) const;
};

// Byte positions inside an image are unsigned 32-bit values: the position of
// sector `sector`, or nothing when it lies beyond the last 32-bit position.
std::optional<uint32_t> SectorPosition(uint64_t sector);

// The directory part of a configuration path: the text before its last "/",
// or empty (the working directory) when there is no "/" or nothing before it.
std::string ConfigDirectoryOf(const std::string& configPath);

}  // namespace imgweld
