#include "inspect/KitWriter.h"

#include "unpack/ExtractFile.h"
#include "unpack/UnpackRefusals.h"

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

// A file whose bytes the reader placed outside the image is refused at its
// turn, after the files before it, by -U's row for such data. A tagged kit
// never holds one (BuildTaggedKit refuses the image before any file); a
// partition-table kit may, for a last partition placed past the usable
// sectors with a recorded length that leaves the file.
bool RefuseFile(const KitFile& file, const UnpackRefusal& refusal, Output& out) {
  out.Printf("Saving %s...\r\n", file.name.c_str());
  RefusalFacts facts;
  facts.file = file.name;
  facts.dataLength = file.extent.length;
  out.Write(refusal.line(facts));
  return false;
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
              Output& fileList, Output& out) {
  for (const KitFile& file : kit.files) {
    if (const UnpackRefusal* refusal = PayloadRefusal(file.place)) {
      return RefuseFile(file, *refusal, out);
    }
    if (!SavePartitionFile(directory, file.name, file.extent, image, out)) return false;
    fileList.Line(file.name);
  }
  if (!withSettings) return true;
  if (!SaveSettings(directory, kit.config, image, out)) return false;
  fileList.Line(kSettingsName);
  return true;
}

}  // namespace imgweld
