// The layout rules of both image forms, given the sectors each partition
// takes. The sector numbers are spelled out from the forms' definitions
// (tagged: header, table and vendor area in sectors 0 to 63; partition
// table: protective MBR, header and 32 array sectors in 0 to 33, a backup of
// 33 sectors ending the disk; every byte below the last 32-bit position).

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "image/gpt/GptLayout.h"
#include "image/tagged/TaggedLayout.h"

namespace imgweld {
namespace {

using Spans = std::vector<std::optional<SectorExtent>>;

// Sectors 0x7FFFFF and up hold bytes at or past 0xFFFFFFFF.
constexpr uint64_t kFirstSectorPast4GiB = 0x7FFFFF;
constexpr uint64_t kOpen = ~uint64_t{0};

std::string RuleName(LayoutRule rule) {
  switch (rule) {
    case LayoutRule::kReservedArea:
      return "reserved";
    case LayoutRule::kPastLimit:
      return "limit";
    case LayoutRule::kBackupArea:
      return "backup";
    case LayoutRule::kOverlap:
      return "overlap";
    case LayoutRule::kEmptyArea:
    case LayoutRule::kFillBehind:
    case LayoutRule::kImageTooLong:
      break;  // rules of a plan, never of sectors alone
  }
  return "?";
}

// A problem as one comparable text: rule, partition and the area it meets
// (for an overlap, the earlier partition and its sectors).
std::string Describe(const LayoutProblem& p) {
  std::string text = RuleName(p.rule) + " " + std::to_string(p.partition) + " [" +
                     std::to_string(p.span.first) + "," + std::to_string(p.span.last) + "]";
  if (p.rule == LayoutRule::kOverlap) text += " with " + std::to_string(p.other);
  return text + " at [" + std::to_string(p.area.first) + "," + std::to_string(p.area.last) + "]";
}

std::vector<std::string> DescribeAll(const std::vector<LayoutProblem>& problems) {
  std::vector<std::string> texts;
  for (const LayoutProblem& p : problems) texts.push_back(Describe(p));
  return texts;
}

struct LayoutCase {
  const char* what;
  Spans spans;
  std::vector<std::string> expected;
  uint64_t diskEnd = kOpen;  // partition-table form only
};

TEST(TaggedLayout, FindsEachProblemInListOrder) {
  const LayoutCase cases[] = {
      {"touching ranges do not overlap", {SectorExtent{64, 99}, SectorExtent{100, 199}}, {}},
      {"overlap at the first shared sector",
       {SectorExtent{64, 100}, SectorExtent{100, 200}},
       {"overlap 1 [100,200] with 0 at [64,100]"}},
      {"overlap at the last shared sector",
       {SectorExtent{100, 200}, SectorExtent{64, 100}},
       {"overlap 1 [64,100] with 0 at [100,200]"}},
      {"one range inside another",
       {SectorExtent{64, 1000}, SectorExtent{500, 500}},
       {"overlap 1 [500,500] with 0 at [64,1000]"}},
      {"last reserved sector", {SectorExtent{63, 70}}, {"reserved 0 [63,70] at [0,63]"}},
      {"first free sector", {SectorExtent{64, 70}}, {}},
      {"empty and skipped partitions take nothing",
       {SectorExtent{64, 100}, std::nullopt, SectorExtent{101, 200}, std::nullopt},
       {}},
      {"a skipped partition between two that overlap",
       {SectorExtent{64, 100}, std::nullopt, SectorExtent{90, 120}},
       {"overlap 2 [90,120] with 0 at [64,100]"}},
      {"last sector below 4 GiB",
       {SectorExtent{kFirstSectorPast4GiB - 10, kFirstSectorPast4GiB - 1}},
       {}},
      {"a sector at 4 GiB",
       {SectorExtent{kFirstSectorPast4GiB - 10, kFirstSectorPast4GiB}},
       {"limit 0 [8388597,8388607] at [8388607,8388607]"}},
      {"every rule of one partition, then the next",
       {SectorExtent{64, 80}, SectorExtent{70, 90}, SectorExtent{0, kFirstSectorPast4GiB},
        SectorExtent{85, 85}},
       {"overlap 1 [70,90] with 0 at [64,80]", "reserved 2 [0,8388607] at [0,63]",
        "limit 2 [0,8388607] at [8388607,8388607]", "overlap 2 [0,8388607] with 0 at [64,80]",
        "overlap 2 [0,8388607] with 1 at [70,90]", "overlap 3 [85,85] with 1 at [70,90]",
        "overlap 3 [85,85] with 2 at [0,8388607]"}},
  };
  for (const LayoutCase& c : cases) {
    EXPECT_EQ(DescribeAll(FindTaggedLayoutProblems(c.spans)), c.expected) << c.what;
  }
}

TEST(GptLayout, FindsEachProblemInListOrder) {
  // The last sector that leaves room for the 33 backup sectors below 4 GiB.
  constexpr uint64_t kLastBelowLimit = kFirstSectorPast4GiB - 33 - 1;
  const LayoutCase cases[] = {
      {"touching ranges do not overlap", {SectorExtent{34, 99}, SectorExtent{100, 199}}, {}},
      {"overlap at the first shared sector",
       {SectorExtent{34, 100}, SectorExtent{100, 200}},
       {"overlap 1 [100,200] with 0 at [34,100]"}},
      {"overlap at the last shared sector",
       {SectorExtent{100, 200}, SectorExtent{34, 100}},
       {"overlap 1 [34,100] with 0 at [100,200]"}},
      {"last reserved sector", {SectorExtent{33, 40}}, {"reserved 0 [33,40] at [0,33]"}},
      {"first usable sector, where a tagged image is still reserved", {SectorExtent{34, 40}}, {}},
      {"an entry that ends before it starts takes nothing",
       {SectorExtent{34, 100}, std::nullopt, SectorExtent{101, 200}},
       {}},
      {"room for the backup below 4 GiB", {SectorExtent{100, kLastBelowLimit}}, {}},
      {"no room for the backup below 4 GiB",
       {SectorExtent{100, kLastBelowLimit + 1}},
       {"limit 0 [100,8388574] at [8388574,8388574]"}},
      {"an entry's last sector at the top of 64 bits",
       {SectorExtent{34, ~uint64_t{0}}},
       {"limit 0 [34,18446744073709551615] at [8388574,18446744073709551615]"}},
      {"last sector before the backup", {SectorExtent{34, 966}}, {}, 1000},
      {"first sector of the backup",
       {SectorExtent{34, 100}, SectorExtent{900, 967}},
       {"backup 1 [900,967] at [967,999]"},
       1000},
      {"past the disk's end",
       {SectorExtent{2000, 2010}},
       {"backup 0 [2000,2010] at [967,999]"},
       1000},
      {"a disk left open has no backup area", {SectorExtent{2000, 2010}}, {}},
      {"every rule of one partition, then overlaps",
       {SectorExtent{40, 50}, SectorExtent{10, 980}},
       {"reserved 1 [10,980] at [0,33]", "backup 1 [10,980] at [967,999]",
        "overlap 1 [10,980] with 0 at [40,50]"},
       1000},
  };
  for (const LayoutCase& c : cases) {
    EXPECT_EQ(DescribeAll(FindGptLayoutProblems(c.spans, c.diskEnd)), c.expected) << c.what;
  }
}

}  // namespace
}  // namespace imgweld
