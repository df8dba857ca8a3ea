#include "pack/PayloadPlan.h"

#include <optional>

#include "common/File.h"
#include "common/Output.h"
#include "pack/IdBlock.h"

namespace imgweld {
namespace {

constexpr uint64_t kSector = kSectorSize;

// The end of the partition's area, or the plan fails: every byte position
// of an image is a 32-bit value.
bool FillToAreaEnd(PlanBuilder& plan, const PartitionEntry& entry) {
  const std::optional<uint32_t> end = SectorPosition(uint64_t{entry.offset} + entry.size);
  if (!end) {
    plan.Fail(
        {Format("Packing Error:partition %s does not fit below 4 GiB!\r\n", entry.Name().c_str())});
    return false;
  }
  plan.FillTo(*end);
  return true;
}

// `file`: the payload as it was measured, or not open.
void PlanPayload(PlanBuilder& plan, const PackContext& context, const PartitionEntry& entry,
                 File file) {
  const std::string& source = entry.sourceFile;
  plan.Message(Format("Adding %s ...\r\n", DisplayName(source).c_str()));
  PlannedPayload payload{source, std::move(file), entry.dataLength, std::nullopt};
  if (!payload.file.IsOpen() && !context.OpenInput(source, payload.file)) {
    plan.Fail({Format("Packing Error:Opening %s failed, err=%d\r\n", source.c_str(),
                      payload.file.Error()),
               source, payload.file.FailureText()});
    return;
  }
  // The partition list measured the file a moment ago; the stamp taken now
  // is what the copy is checked against, and must agree with that length.
  payload.planned = StampOf(fileno(payload.file.Stream()));
  if (payload.planned && payload.planned->size != entry.dataLength) {
    InputStamp measured = *payload.planned;
    measured.size = entry.dataLength;
    plan.Fail(InputChangedFailure(source, measured, payload.planned));
    return;
  }
  const bool grow = (entry.flag & PART_FLAG_GROW) != 0;
  if (!grow && uint64_t{entry.size} * kSector < entry.dataLength) {
    plan.Fail({Format("Packing Error:file length is larger than part size, %s\r\n", source.c_str()),
               source,
               "partition " + entry.Name() + ": the file has " + std::to_string(entry.dataLength) +
                   " bytes (" + std::to_string((entry.dataLength + kSector - 1) / kSector) +
                   " sectors), the partition " + std::to_string(entry.size) + " sectors (" +
                   std::to_string(uint64_t{entry.size} * kSector) + " bytes)"});
    return;
  }
  const bool compact = context.options.IsCompact();
  if (!compact) {
    const std::optional<uint32_t> start = SectorPosition(entry.offset);
    if (!start) {
      plan.Fail({Format("Packing Error:partition %s does not fit below 4 GiB!\r\n",
                        entry.Name().c_str())});
      return;
    }
    plan.FillTo(*start);
  }
  plan.Copy(std::move(payload));
  if (!grow && !compact) FillToAreaEnd(plan, entry);
}

}  // namespace

void PlanIdBlockSteps(PlanBuilder& plan, const PackContext& context, PartitionEntry& entry,
                      const std::string& fileText, BootPrograms* programs) {
  PlannedIdBlock planned;
  if (!PlanIdBlock(plan, context, entry, fileText, planned, programs)) return;
  for (WatchedInput& input : planned.inputs) plan.Watch(std::move(input));
  const size_t block = plan.AddBuffer(std::move(planned.block));
  if (context.options.IsCompact()) {
    plan.WriteBuffer(block);
    return;
  }
  // Both positions were checked to lie below 4 GiB while the block was built.
  plan.FillTo(*SectorPosition(entry.offset));
  plan.WriteBuffer(block);
  plan.FillTo(*SectorPosition(SecondBootCopySector(entry.offset, entry.size)));
  plan.WriteBuffer(block);
  plan.FillTo(*SectorPosition(uint64_t{entry.offset} + entry.size));
}

void PlanPartitionSteps(PlanBuilder& plan, const PackContext& context,
                        std::vector<PartitionEntry>& partitions, std::span<PartitionFiles> files) {
  for (size_t i = 0; i < partitions.size(); ++i) {
    PartitionEntry& entry = partitions[i];
    if (plan.Failed()) return;
    if (entry.type == PART_TYPE_IDBLOCK) {
      if (!context.options.IsGpt()) continue;
      plan.Message("Writing idblock...\r\n");
      PlanIdBlockSteps(plan, context, entry, entry.sourceFile,
                       i < files.size() ? &files[i].programs : nullptr);
    } else if ((entry.flag & PART_FLAG_FILL) != 0) {
      FillToAreaEnd(plan, entry);
    } else if ((entry.flag & PART_FLAG_SKIP) == 0) {
      PlanPayload(plan, context, entry, i < files.size() ? std::move(files[i].payload) : File{});
    }
  }
}

std::string DisplayName(const std::string& path) {
  const size_t backslash = path.rfind('\\');
  std::string name = backslash == std::string::npos ? path : path.substr(backslash + 1);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.resize(dot);
  return name;
}

}  // namespace imgweld
