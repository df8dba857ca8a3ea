#include "pack/PackFirmware.h"

#include <sys/stat.h>

#include <cerrno>
#include <vector>

#include "common/File.h"
#include "config/ConfigDocument.h"
#include "config/Settings.h"
#include "image/FirmwareImage.h"
#include "image/Md5.h"
#include "pack/GptWriter.h"
#include "pack/IdBlock.h"
#include "pack/ImageWriter.h"
#include "pack/PackContext.h"
#include "pack/PartitionList.h"
#include "pack/PayloadWriter.h"

namespace imgweld {
namespace {

struct OutputPaths {
  std::string image;
  std::string hash;
};

// The saving directory must exist and be a directory.
bool CheckSavingDir(const std::string& savingDir, Output& out) {
  struct stat status {};
  if (stat(savingDir.c_str(), &status) != 0) {
    out.Printf("Packing Error:Stat %s failed,errno=%d!\r\n", savingDir.c_str(), errno);
    return false;
  }
  if (!S_ISDIR(status.st_mode)) {
    out.Printf("Packing Error:invalid %s!\r\n", savingDir.c_str());
    return false;
  }
  return true;
}

OutputPaths MakeOutputPaths(std::string savingDir) {
  if (savingDir.empty() || savingDir.back() != '/') savingDir += '/';
  return {savingDir + "Firmware.img", savingDir + "Firmware.md5"};
}

void StampHeader(FirmwareHeader& header, const std::tm& packTime) {
  header.tag = kFirmwareTag;
  header.year = static_cast<uint16_t>(packTime.tm_year + 1900);
  header.month = static_cast<uint8_t>(packTime.tm_mon + 1);
  header.day = static_cast<uint8_t>(packTime.tm_mday);
  header.hour = static_cast<uint8_t>(packTime.tm_hour);
  header.minute = static_cast<uint8_t>(packTime.tm_min);
  header.second = static_cast<uint8_t>(packTime.tm_sec);
  header.headerLength = kHeaderSize;
}

bool ReadIdentity(const ConfigDocument& document, FirmwareHeader& header, Output& out) {
  if (!ReadFwVersion(document, header)) {
    out.Line("Packing Error:Getting FwVersion failed!\r");
    return false;
  }
  if (!ReadChip(document, header)) {
    out.Line("Packing Error:Getting chip failed!\r");
    return false;
  }
  if (!ReadModel(document, header)) {
    out.Line("Packing Error:Getting model failed!\r");
    return false;
  }
  return true;
}

// Provisional header, table area and vendor area: everything before sector 64.
bool WriteLeadingAreas(ImageWriter& image, const FirmwareHeader& header, Output& out) {
  const HeaderBytes provisional = EncodeHeader(header);
  if (!image.Write(std::span<const uint8_t>(provisional).first(header.headerLength)) ||
      !image.FillToOffset(header.tableSector * kSectorSize) ||
      !image.FillToOffset(kTableBlockSize)) {
    return false;
  }
  out.Line("Writing vendor...\r");
  if (!image.FillToOffset(kVendorAreaEnd)) return false;
  out.Line("Writing idblock...\r");
  return true;
}

bool WriteBootBlock(ImageWriter& image, const PackContext& context,
                    std::vector<PartitionEntry>& partitions) {
  for (PartitionEntry& entry : partitions) {
    if (entry.type == PART_TYPE_IDBLOCK) return WriteIdBlock(image, context, entry);
  }
  context.out.Line("Packing Error:no found idblcok partition!\r");
  return false;
}

// Header and table go to the front of the image in one 4096-byte write,
// after the optional backup block at its end.
bool FinishImage(ImageWriter& image, const ConfigDocument& document, FirmwareHeader& header,
                 std::vector<PartitionEntry>& partitions, Output& out) {
  if (!partitions.empty() && (partitions.back().flag & PART_FLAG_GROW) != 0) {
    partitions.back().size = 0xFFFFFFFF;
  }
  const std::optional<uint64_t> length = image.Length();
  if (!length) return false;
  const bool backup = IsBackupPartitionEnabled(document);
  // Every position in the image, and its recorded length, is a 32-bit value.
  const uint64_t finalLength = *length + (backup ? kBackupBlockSize : 0);
  if (finalLength > 0xFFFFFFFFu) {
    out.Printf("Packing Error:%s does not fit below 4 GiB!\r\n", image.DisplayPath().c_str());
    return false;
  }
  header.imageSectors = static_cast<uint32_t>(*length / kSectorSize);
  header.imageLength = header.imageSectors * kSectorSize + (backup ? kBackupBlockSize : 0);
  header.backupDisabled = backup ? 0 : 1;
  const TableBlock block = AssembleTableBlock(header, partitions);
  if (backup) {
    const TableBlock backupBlock = MakeBackupBlock(block);
    out.Line("Writing metadata ...\r");
    if (!image.Write(backupBlock)) return false;
  }
  return image.Seek(0) && image.Write(block);
}

bool WriteHashFile(const OutputPaths& paths, Output& out) {
  Md5Digest digest{};
  if (!Md5OfFile(digest, paths.image, kMd5WholeFile)) {
    out.Line("Packing Error:Generating hash failed!\r");
    return false;
  }
  File hash;
  if (!hash.Open(paths.hash, "wb+")) {
    out.Printf("Packing Error:Opening %s failed, err=%d!", paths.hash.c_str(), hash.Error());
    return false;
  }
  if (!hash.Write(digest) || !hash.Close()) {
    out.Printf("Packing Error:Writing %s failed, err=%d!\r\n", paths.hash.c_str(), hash.Error());
    return false;
  }
  return true;
}

bool PackTaggedFirmware(const PackContext& context, const OutputPaths& paths,
                        const std::tm& packTime) {
  Output& out = context.out;
  File file;
  if (!file.Open(paths.image, "wb+")) {
    out.Printf("Packing Error:Opening %s failed, err=%d!\r\n", paths.image.c_str(), file.Error());
    return false;
  }
  ImageWriter image(file, paths.image, context.fillByte, out);

  FirmwareHeader header;
  StampHeader(header, packTime);
  if (!ReadIdentity(context.document, header, out)) return false;
  header.tableSector = (header.headerLength + kSectorSize - 1) / kSectorSize;
  header.entrySize = kEntrySize;
  std::vector<PartitionEntry> partitions;
  if (!ReadPartitionList(context, partitions)) return false;
  // The table area holds the vendor record and 27 partitions.
  if (partitions.size() > kMaxTaggedPartitions) {
    out.Printf("Packing Error:too many partitions, %zu found, the table holds at most %zu!\r\n",
               partitions.size(), kMaxTaggedPartitions);
    return false;
  }
  header.entryCount = static_cast<uint32_t>(partitions.size() + 1);

  if (!WriteLeadingAreas(image, header, out) || !WriteBootBlock(image, context, partitions) ||
      !WritePartitionPayloads(image, context, partitions) ||
      !FinishImage(image, context.document, header, partitions, out)) {
    return false;
  }
  out.Line("Generating hash file...\r");
  if (!file.Close()) {
    out.Printf("Packing Error:Writing %s failed, err=%d!\r\n", paths.image.c_str(), file.Error());
    return false;
  }
  return WriteHashFile(paths, out);
}

}  // namespace

bool PackFirmware(const std::string& configPath, const std::string& savingDir, Output& out,
                  const std::tm& packTime) {
  ConfigDocument document;
  if (!document.LoadFile(configPath, false)) {
    out.Printf("Packing Error:loading %s failed!\r\n", configPath.c_str());
    return false;
  }
  if (!CheckSavingDir(savingDir, out)) return false;
  const OutputPaths paths = MakeOutputPaths(savingDir);
  const PackContext context{document, ConfigDirectoryOf(configPath),
                            static_cast<uint8_t>(GetFillByte(document)), out};
  if (IsGptEnableSet(document)) return WriteGptFirmware(context, paths.image);
  if (!PackTaggedFirmware(context, paths, packTime)) return false;
  out.Line("Generating firmware OK.\r");
  return true;
}

bool PackFirmware(const std::string& configPath, const std::string& savingDir, Output& out) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return PackFirmware(configPath, savingDir, out, local);
}

}  // namespace imgweld
