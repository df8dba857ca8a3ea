#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "image/ImageReader.h"

namespace imgweld {

// Which problems of a tagged image -U refuses and which it lets pass. -U
// decides from the kind of problem the reader found, never from a check's
// wording, so that -U and -V cannot drift apart about what a problem is;
// they differ only where a row below says why.

// When -U meets a refusal: it refuses the first one it meets, in the
// order of kUnpackRefusals within each stage.
enum class UnpackStage {
  kHeader,   // once the tag has been read
  kTable,    // before the digest and before anything is written
  kPayload,  // every file -U would write, before the digest
  kRecord,   // when the record is reached, after the digest
};

// What a refusal's line names.
struct RefusalFacts {
  uint64_t imageLength = 0;
  uint32_t entryCount = 0;
  uint32_t entrySize = 0;
  size_t recordsRead = 0;
  int error = 0;  // the system's error number of a failed read
  uint32_t record = 0;
  std::string file;  // the file a payload would be written to
  uint64_t dataLength = 0;
};

struct UnpackRefusal {
  TaggedRule rule;
  UnpackStage stage;
  std::string (*line)(const RefusalFacts&);  // the error line, "\r\n" included
  bool failedRead;  // the line reports a failed read: the system's reason follows
};

struct UnpackPass {
  TaggedRule rule;
  const char* reason;
};

// Payload problems (kDataTooLong, kDataBeyondLimit, kDataPastEnd) are
// decided on every file -U writes, from where the reader placed its extent
// (TaggedRecord::places), the place a record check also types its data by:
// -U also writes the boot programs and the data of skipped and fill
// records, which no -V check takes as data, so there -U refuses what -V
// lets pass. A record that writes no file has its data problem as
// kUnstoredData, which -U lets pass.
extern const std::span<const UnpackRefusal> kUnpackRefusals;
extern const std::span<const UnpackPass> kUnpackPasses;

// The row of `rule`, or null when -U lets it pass.
const UnpackRefusal* FindRefusal(TaggedRule rule);

// The payload row of data the reader placed as `place`; null for data that
// lies in the image whole.
const UnpackRefusal* PayloadRefusal(PayloadPlace place);

// The first refusal of `stage` that `checks` fail with, about `record` when
// given; null when there is none.
const UnpackRefusal* FirstRefusal(const std::vector<Check>& checks, UnpackStage stage,
                                  std::optional<uint32_t> record = std::nullopt);

// What a header or table refusal names of `facts`: the file's length, the
// table's count and record size, the records read.
RefusalFacts TableFactsOf(const TaggedImageFacts& facts);

// The first refusal -U makes of `facts` before it writes anything (header,
// then table), as its reason alone: the line without "UnPacking Error:" and
// "!\r\n", for a command that names it in words of its own; nothing when
// -U would go on.
std::optional<std::string> TableRefusalReason(const TaggedImageFacts& facts);

}  // namespace imgweld
