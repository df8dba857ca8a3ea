#include "pack/PayloadWriter.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "common/File.h"
#include "config/Settings.h"
#include "pack/IdBlock.h"

namespace imgweld {
namespace {

void ReportBeyond4GiB(const PartitionEntry& entry, Output& out) {
  out.Printf("Packing Error:partition %s does not fit below 4 GiB!\r\n", entry.Name().c_str());
}

// Fills the image up to the end of the partition's area.
bool FillToPartitionEnd(ImageWriter& image, const PartitionEntry& entry, Output& out) {
  const std::optional<uint32_t> end = SectorPosition(uint64_t{entry.offset} + entry.size);
  if (!end) {
    ReportBeyond4GiB(entry, out);
    return false;
  }
  return image.FillToOffset(*end);
}

// Copies exactly the measured payload; a file that now reads shorter fails
// the run rather than leaving its area half written.
bool CopyPayload(ImageWriter& image, File& payload, const std::string& name, uint64_t length,
                 Output& out) {
  const CopyResult result = image.CopyFrom(payload, length);
  if (result == CopyResult::kReadFailed) {
    out.Printf("Packing Error:Reading %s failed, err=%d!\r\n", name.c_str(), payload.Error());
  }
  return result == CopyResult::kCopied;
}

bool WriteOrdinaryPartition(ImageWriter& image, const PackContext& context, PartitionEntry& entry,
                            bool compact) {
  Output& out = context.out;
  const std::string sourceFile = std::move(entry.sourceFile);
  entry.sourceFile.clear();
  out.Printf("Adding %s ...\r\n", DisplayName(sourceFile).c_str());

  File payload;
  if (!payload.Open(context.ResolvePath(sourceFile), "rb")) {
    out.Printf("Packing Error:Opening %s failed, err=%d\r\n", sourceFile.c_str(), payload.Error());
    return false;
  }
  const bool grow = (entry.flag & PART_FLAG_GROW) != 0;
  if (!grow && uint64_t{entry.size} * 512 < entry.dataLength) {
    out.Printf("Packing Error:file length is larger than part size, %s\r\n", sourceFile.c_str());
    return false;
  }
  if (!compact) {
    const std::optional<uint32_t> start = SectorPosition(entry.offset);
    if (!start) {
      ReportBeyond4GiB(entry, out);
      return false;
    }
    if (!image.FillToOffset(*start)) return false;
  }
  if (!CopyPayload(image, payload, sourceFile, entry.dataLength, out)) return false;
  if (!grow && !compact) return FillToPartitionEnd(image, entry, out);
  return true;
}

}  // namespace

bool WritePartitionPayloads(ImageWriter& image, const PackContext& context,
                            std::vector<PartitionEntry>& partitions) {
  const bool gptImage = IsGptEnableSet(context.document);
  const bool compact = IsGptEnabled(context.document);
  for (PartitionEntry& entry : partitions) {
    if (entry.type == PART_TYPE_IDBLOCK) {
      if (!gptImage) continue;
      context.out.Line("Writing idblock...\r");
      if (!WriteIdBlock(image, context, entry)) return false;
    } else if ((entry.flag & PART_FLAG_FILL) != 0) {
      if (!FillToPartitionEnd(image, entry, context.out)) return false;
    } else if ((entry.flag & PART_FLAG_SKIP) != 0) {
      continue;
    } else if (!WriteOrdinaryPartition(image, context, entry, compact)) {
      return false;
    }
  }
  return true;
}

std::string DisplayName(const std::string& path) {
  const size_t backslash = path.rfind('\\');
  std::string name = backslash == std::string::npos ? path : path.substr(backslash + 1);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.resize(dot);
  return name;
}

}  // namespace imgweld
