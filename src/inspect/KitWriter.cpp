#include "inspect/KitWriter.h"

#include "unpack/ExtractFile.h"

namespace imgweld {
namespace {

constexpr const char* kSettingsName = "setting.ini";

bool SaveSettings(const Directory& directory, const std::string& config, File& image, Output& out) {
  if (IsImageEntry(directory, kSettingsName, image)) {
    out.Line("UnPacking Error:Saving setting.ini would overwrite the firmware!\r");
    return false;
  }
  return SaveTextFile(directory, kSettingsName, config, out);
}

}  // namespace

bool OpenKitDirectory(const std::string& outputDir, Directory& directory, Output& out) {
  std::string path = outputDir;
  // Appending "/" to an empty path would name the root directory.
  if (path.empty()) {
    out.Line("UnPacking Error:Output directory is empty!\r");
    return false;
  }
  if (path.back() != '/') path.push_back('/');
  return CheckOutputDirectory(path, out) && OpenOutputDirectory(path, directory, out);
}

bool WriteKit(const Kit& kit, bool withSettings, const Directory& directory, File& image,
              uint64_t imageLength, Output& fileList, Output& out) {
  for (const KitFile& file : kit.files) {
    if (!SavePartitionFile(directory, file.name, file.extent, image, imageLength, out)) {
      return false;
    }
    fileList.Line(file.name);
  }
  if (!withSettings) return true;
  if (!SaveSettings(directory, kit.config, image, out)) return false;
  fileList.Line(kSettingsName);
  return true;
}

}  // namespace imgweld
