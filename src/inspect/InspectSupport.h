#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/File.h"
#include "common/Json.h"
#include "common/Output.h"
#include "image/ImageReader.h"

namespace imgweld {

// Shared by "-L" and "-V": reporting a failure, opening the file to
// inspect, and the text and JSON forms of checks.

// Where the one line of a failure goes.
enum class FailureLine {
  // Part of a listing read by a person: "UnPacking Error:<what>\r\n" on
  // standard output.
  kInListing,
  // A listing for scripts holds the document or nothing on standard output,
  // so the line goes to standard error: "imgweld: <where>: <what>".
  kOnStandardError,
};

// Prints the failures of one file, each where its `FailureLine` says.
class FailureReport {
 public:
  FailureReport(Output& out, FailureLine line, std::string where)
      : out_(out), line_(line), where_(std::move(where)) {}

  // Prints the failure `what` (a sentence ending in "!").
  void Fail(const std::string& what);
  // Where detail beside the failure's line is noted.
  Output& Notes() { return out_; }

 private:
  Output& out_;
  const FailureLine line_;
  const std::string where_;
};

// Opens `path` for reading and measures it. False, with its failure
// reported, when it cannot be opened or measured or is of a kind that cannot
// be read at a position (a directory, a character device, a pipe).
bool OpenForInspection(const std::string& path, File& file, uint64_t& length,
                       FailureReport& failure);

const char* StatusWord(CheckStatus status);

// One line per check, "name  status  detail" in columns, then the verdict.
std::string CheckLines(const std::vector<Check>& checks);

Json ChecksJson(const std::vector<Check>& checks);

// The line on standard error that says a disk is read from its backup GPT
// because its primary is not sound; nothing when the primary is read.
void NoteGptTable(const GptImageFacts& facts, const std::string& where, Output& out);

// The one line of a file that is no image: what it is not, and what was
// found in it when it starts like a disk.
std::string NotAnImageText(const std::string& name, const FileForm& form, const char* notWhat);

}  // namespace imgweld
