#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/File.h"
#include "common/Json.h"
#include "common/Output.h"
#include "image/ImageReader.h"

namespace imgweld {

// Shared by "-L" and "-V": opening the file to inspect, and the text and
// JSON forms of checks.

// Opens `path` for reading and measures it. False, with one
// "UnPacking Error:" line printed, when it cannot be opened or measured or is
// of a kind that cannot be read at a position (a directory, a character
// device, a pipe).
bool OpenForInspection(const std::string& path, File& file, uint64_t& length, Output& out);

const char* StatusWord(CheckStatus status);

// One line per check, "name  status  detail" in columns, then the verdict.
std::string CheckLines(const std::vector<Check>& checks);

Json ChecksJson(const std::vector<Check>& checks);

}  // namespace imgweld
