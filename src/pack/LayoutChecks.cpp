#include "pack/LayoutChecks.h"

#include <string>

#include "image/gpt/GptLayout.h"
#include "image/tagged/TaggedLayout.h"
#include "pack/PartitionList.h"

namespace imgweld {
namespace {

void ReportOverlap(const std::string& name, const SectorExtent& span, const char* other,
                   const SectorExtent& otherSpan, Output& out) {
  out.Printf(
      "Packing Error:partition %s at sectors %llx-%llx overlaps %s at sectors %llx-%llx!\r\n",
      name.c_str(), Ull(span.first), Ull(span.last), other, Ull(otherSpan.first),
      Ull(otherSpan.last));
}

// The "Packing Error:" line of a problem of the layout, or nothing for one
// the planner reports as it meets it (a position past 4 GiB). A partition
// is named by its layout's `name` as the line has always named it;
// `reserved` says what the form keeps on its first sectors.
template <typename Partitions>
bool ReportProblem(const LayoutProblem& problem, const Partitions& partitions, const char* reserved,
                   const std::string& imagePath, Output& out) {
  const std::string& name = partitions[problem.partition].name;
  switch (problem.rule) {
    case LayoutRule::kReservedArea:
      ReportOverlap(name, problem.span, reserved, problem.area, out);
      return true;
    case LayoutRule::kOverlap:
      ReportOverlap(name, problem.span, ("partition " + partitions[problem.other].name).c_str(),
                    problem.area, out);
      return true;
    case LayoutRule::kEmptyArea:
      out.Printf(
          "Packing Error:partition %s has size 0, so its table entry would end before it "
          "begins!\r\n",
          name.c_str());
      return true;
    case LayoutRule::kBackupArea:
      out.Printf(
          "Packing Error:partition %s ends past sector %llx, the last one before the backup "
          "GPT!\r\n",
          name.c_str(), Ull(problem.area.first - 1));
      return true;
    case LayoutRule::kFillBehind:
      out.Printf(
          "Packing Error:partition %s ends before the data written ahead of it in the "
          "compact image!\r\n",
          name.c_str());
      return true;
    case LayoutRule::kImageTooLong:
      out.Write(Beyond4GiBLine(imagePath));
      return true;
    case LayoutRule::kPastLimit:
      break;
  }
  return false;
}

// The first problem the packer reports, in the order the layout lists them.
template <typename Partitions>
bool ReportFirstProblem(const std::vector<LayoutProblem>& problems, const Partitions& partitions,
                        const char* reserved, const std::string& imagePath, Output& out) {
  for (const LayoutProblem& problem : problems) {
    if (ReportProblem(problem, partitions, reserved, imagePath, out)) return false;
  }
  return true;
}

constexpr const char* kGptReserved = "the protective MBR and partition table";

}  // namespace

std::string Beyond4GiBLine(const std::string& imagePath) {
  return Format("Packing Error:%s does not fit below 4 GiB!\r\n", imagePath.c_str());
}

bool CheckGptPartitionCount(const std::vector<PartitionEntry>& partitions, Output& out) {
  if (partitions.size() <= kGptLimits.maxPartitions) return true;
  out.Printf("Packing Error:too many partitions, %zu found, the GPT header holds at most %zu!\r\n",
             partitions.size(), kGptLimits.maxPartitions);
  return false;
}

bool CheckGptLayout(const GptLayout& layout, const std::string& imagePath, Output& out) {
  return ReportFirstProblem(ValidateGptLayout(layout), layout.partitions, kGptReserved, imagePath,
                            out);
}

bool CheckPartitionNumbers(std::span<const ResolvedPartition> partitions, Output& out) {
  for (const ResolvedPartition& partition : partitions) {
    if (!partition.numberRefusal) continue;
    out.Write(*partition.numberRefusal);
    return false;
  }
  return true;
}

bool CheckTaggedPlacement(const TaggedLayout& layout, Output& out) {
  // The tagged planner reports an image past 4 GiB itself, naming it.
  return ReportFirstProblem(ValidateTaggedLayout(layout), layout.partitions,
                            "the image header, partition table and vendor area", "", out);
}

}  // namespace imgweld
