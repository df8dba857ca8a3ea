#include "pack/PackContext.h"

#include "image/Sector.h"

namespace imgweld {

std::string PackContext::ResolvePath(const std::string& name) const {
  const std::string& dir = options.configDir;
  if (name.empty() || name.front() == '/' || dir.empty()) return name;
  return dir + "/" + name;
}

bool PackContext::OpenInput(const std::string& name, File& file) const {
  if (inputs != nullptr) return inputs->Open(name, file);
  return file.OpenInput(ResolvePath(name));
}

std::optional<uint32_t> SectorPosition(uint64_t sector) {
  if (sector > kMaxImageLength / kSectorSize) return std::nullopt;
  return static_cast<uint32_t>(sector * kSectorSize);
}

std::string ConfigDirectoryOf(const std::string& configPath) {
  const size_t slash = configPath.rfind('/');
  if (slash == std::string::npos || slash == 0) return {};
  return configPath.substr(0, slash);
}

}  // namespace imgweld
