#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "config/ConfigDocument.h"
#include "image/FirmwareImage.h"
#include "image/ImageReader.h"
#include "unpack/UnpackSettings.h"

namespace imgweld {

// Which files unpacking writes for the records of a tagged image, and what
// "setting.ini" says about them, decided for the whole table at once so that
// no payload is lost or written over another:
// - every record that holds data gets a file of its own. The first record
//   of a name writes "<name>.img"; a later one of the same name, or of a
//   name that differs only in the case of ASCII letters (one file on a
//   case-folding file system), writes "<name>.img.<n>" (n = 2, 3, ...), a
//   form no other output takes: every other partition file ends in ".img",
//   the boot files in ".bin".
// - the boot block the image holds (the first boot block record with program
//   lengths, else the first boot block record) gives the two boot files. A
//   later boot block record without programs, as the tagged image leaves
//   every boot block record after the first, writes nothing; one with
//   programs writes them numbered like a repeated name.
// - a vendor-type record that holds data is extracted under its name, but
//   "setting.ini" keeps leaving vendor records out.

// The name as a case-folding directory compares it, as far as output names
// go by letter case: ASCII letters in lower case, every other byte as is.
std::string CaseFolded(const std::string& name);

// What the decision needs to know of one record.
struct RecordFacts {
  std::string name;
  uint32_t type = 0;
  bool holdsData = false;    // payload bytes stored for it: a length, not skipped
  bool hasPrograms = false;  // boot block record: program lengths recorded
  bool nano = false;         // boot block record: the Nano layout
};

// The facts of a record as stored in the image.
RecordFacts FactsOf(const PartitionEntry& entry);

// What unpacking does with one record.
struct RecordOutput {
  // Files written from it, in this order: the payload, or the DDR program
  // and the loader. Empty: nothing is written.
  std::vector<std::string> files;
  bool inSettings = false;   // it gets a "UserPart<n>" section
  std::string settingsFile;  // that section's `File`
  std::string nano;          // boot block record: `Nano` of `System`, that of the boot block held
};

// Something about a record that a user should hear of: what unpacking does
// differently from one file per name and one boot block.
struct OutputNote {
  size_t record = 0;  // index into the facts given
  std::string text;
};

struct OutputNames {
  std::vector<RecordOutput> records;  // one per record given, in the same order
  std::vector<OutputNote> notes;
};

// Decides the outputs of `records`, given in table order.
OutputNames DecideOutputNames(std::span<const RecordFacts> records);

// Puts the decided `File` (and the `Nano` of the boot block held) into the
// section "UserPart<number>" that the "setting.ini" writer made for a record.
void ApplyOutputNames(ConfigDocument& document, uint32_t number, const RecordOutput& output,
                      uint32_t type);

// What -U writes for a whole table: for every record that gets an output, its
// decided names with where each file's bytes lie in the image. -U extracts
// from this, and the rebuild check serves its inputs from it, so both name
// every file alike.
struct RecordExtraction {
  const TaggedRecord* record = nullptr;
  RecordOutput output;
  std::vector<ExtractedFile> files;  // output.files with their extents
};

struct TableExtraction {
  std::vector<RecordExtraction> records;  // in table order
  std::vector<OutputNote> notes;          // `record` indexes into `records`
};

// Whether a record gets any output: every record but a vendor-type one
// without data.
bool GetsOutput(const PartitionEntry& entry);

TableExtraction PlanExtraction(std::span<const TaggedRecord> records);

}  // namespace imgweld
