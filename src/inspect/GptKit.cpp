#include "inspect/GptKit.h"

#include "common/Directory.h"
#include "image/ImageReader.h"
#include "image/ImageSource.h"
#include "inspect/GptRebuildConfig.h"
#include "inspect/InspectSupport.h"
#include "unpack/ExtractFile.h"

namespace imgweld {
namespace {

constexpr const char* kSettingsName = "setting.ini";

bool OpenKitDirectory(const std::string& outputDir, Directory& directory, Output& out) {
  std::string path = outputDir;
  if (path.empty()) {
    out.Line("UnPacking Error:Output directory is empty!\r");
    return false;
  }
  if (path.back() != '/') path.push_back('/');
  return CheckOutputDirectory(path, out) && OpenOutputDirectory(path, directory, out);
}

bool SaveSettings(const Directory& directory, const std::string& config, File& image, Output& out) {
  if (IsImageEntry(directory, kSettingsName, image)) {
    out.Line("UnPacking Error:Saving setting.ini would overwrite the firmware!\r");
    return false;
  }
  return SaveTextFile(directory, kSettingsName, config, out);
}

bool WriteKit(const GptKit& kit, const Directory& directory, File& image, uint64_t imageLength,
              Output& fileList, Output& out) {
  for (const KitFile& file : kit.files) {
    if (!SavePartitionFile(directory, file.name, file.extent, image, imageLength, out)) {
      return false;
    }
    fileList.Line(file.name);
  }
  if (!SaveSettings(directory, kit.config, image, out)) return false;
  fileList.Line(kSettingsName);
  return true;
}

}  // namespace

bool ExtractGptKit(const std::string& imagePath, File& image, uint64_t imageLength,
                   const std::string& outputDir, Output& fileList, Output& out) {
  out.Line("Start to unpack firmware...\r");
  Directory directory;
  if (!OpenKitDirectory(outputDir, directory, out)) return false;
  FileSource source(image, imageLength);
  const GptImageFacts facts = ReadGptImage(source);
  NoteGptTable(facts, imagePath, out);
  GptKit kit;
  if (!BuildGptKit(source, facts, imagePath, out, kit)) return false;
  const bool written = WriteKit(kit, directory, image, imageLength, fileList, out);
  // The files renamed into place keep their names after a crash.
  directory.Sync();
  if (!written || !CheckGptKit(source, kit, imagePath, out)) return false;
  out.Line("Unpacking firmware OK.\r");
  return true;
}

}  // namespace imgweld
