#pragma once

#include <ctime>
#include <string>

#include "common/Output.h"

namespace imgweld {

// The "-P" command: builds `Firmware.img` (and, for the tagged form,
// `Firmware.md5`) in `savingDir` from the configuration at `configPath`.
// `packTime` is the local date and time stamped into the header.
bool PackFirmware(const std::string& configPath, const std::string& savingDir, Output& out,
                  const std::tm& packTime);

// The same, stamped with the local time of the clock.
bool PackFirmware(const std::string& configPath, const std::string& savingDir, Output& out);

}  // namespace imgweld
