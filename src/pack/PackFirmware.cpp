#include "pack/PackFirmware.h"

namespace imgweld {

bool PackFirmware(const std::string&, const std::string&, Output& out, const std::tm&) {
  out.Line("Packing Error:packing is not available yet!\r");
  return false;
}

bool PackFirmware(const std::string& configPath, const std::string& savingDir, Output& out) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return PackFirmware(configPath, savingDir, out, local);
}

}  // namespace imgweld
