#include "inspect/InspectSupport.h"

#include <algorithm>
#include <cstdio>

#include "common/Output.h"
#include "inspect/TextColumns.h"

namespace imgweld {

void FailureReport::Fail(const std::string& what) {
  if (line_ == FailureLine::kOnStandardError) {
    out_.Note(where_, what);
  } else {
    out_.Printf("UnPacking Error:%s\r\n", what.c_str());
  }
}

bool OpenForInspection(const std::string& path, File& file, uint64_t& length,
                       FailureReport& failure) {
  // As -U opens its image: a FIFO, socket, character device or directory is
  // refused at once, its kind named on standard error, as is the system's
  // reason for any other failure.
  if (!file.OpenInput(path)) {
    failure.Fail(Format("Opening %s failed, err=%d!", path.c_str(), file.Error()));
    failure.Notes().Note(path, file.FailureText());
    return false;
  }
  const std::optional<uint64_t> measured = file.Length();
  if (!measured) {
    failure.Fail(Format("Reading %s failed, err=%d!", path.c_str(), file.Error()));
    failure.Notes().Note(path, file.FailureText());
    return false;
  }
  length = *measured;
  return true;
}

const char* StatusWord(CheckStatus status) {
  switch (status) {
    case CheckStatus::kOk:
      return "ok";
    case CheckStatus::kBad:
      return "bad";
    case CheckStatus::kNotMade:
      return "n/a";
  }
  return "bad";
}

std::string CheckLines(const std::vector<Check>& checks) {
  TextColumns columns;
  for (const Check& check : checks)
    columns.Row({check.name, StatusWord(check.status), check.detail});
  const size_t failed = static_cast<size_t>(std::count_if(
      checks.begin(), checks.end(), [](const Check& c) { return c.status == CheckStatus::kBad; }));
  const std::string verdict =
      failed == 0 ? "verdict: ok, every check holds\n"
                  : Format("verdict: damaged, %zu of %zu checks failed\n", failed, checks.size());
  return columns.Text() + verdict;
}

Json ChecksJson(const std::vector<Check>& checks) {
  Json array = Json::Array();
  for (const Check& check : checks) {
    array.Push(Json::Object()
                   .Add("name", check.name)
                   .Add("status", StatusWord(check.status))
                   .Add("detail", check.detail));
  }
  return array;
}

void NoteGptTable(const GptImageFacts& facts, const std::string& where, Output& out) {
  if (facts.table != GptTableInUse::kBackup) return;
  out.Note(where, "primary GPT " + facts.primaryFault + ", the backup GPT is used");
}

std::string NotAnImageText(const std::string& name, const FileForm& form, const char* notWhat) {
  return Format("%s is neither %s%s%s!", name.c_str(), notWhat, form.found.empty() ? "" : ": ",
                form.found.c_str());
}

}  // namespace imgweld
