#include "inspect/VerifyCommand.h"

#include <vector>

#include "common/Json.h"
#include "image/ImageReader.h"
#include "image/Md5.h"
#include "inspect/InspectSupport.h"

namespace imgweld {
namespace {

std::string HexText(const Md5Digest& digest) {
  std::string text;
  for (uint8_t byte : digest) text += Format("%02x", byte);
  return text;
}

// The image's digest against the first 16 bytes of its hash file, compared
// as "-U" compares them: missing bytes count as zero. A file that cannot be
// read fails the check, with the system's reason on standard error.
Check HashCheck(const std::string& imagePath, File& image, Output& out) {
  const std::string hashPath = HashFilePath(imagePath);
  File hash;
  if (!hash.OpenInput(hashPath)) {
    out.Note(hashPath, hash.FailureText());
    return {"md5", CheckStatus::kBad,
            Format("cannot open %s, err=%d", hashPath.c_str(), hash.Error())};
  }
  Md5Digest stored{};
  hash.Read(stored.data(), stored.size());
  if (hash.Error() != 0) {
    out.Note(hashPath, hash.FailureText());
    return {"md5", CheckStatus::kBad,
            Format("cannot read %s, err=%d", hashPath.c_str(), hash.Error())};
  }
  Md5Digest computed{};
  if (!Md5OfStream(computed, image)) {
    out.Note(imagePath, image.FailureText());
    return {"md5", CheckStatus::kBad, Format("cannot read the image, err=%d", image.Error())};
  }
  if (stored != computed) {
    return {"md5", CheckStatus::kBad,
            Format("%s holds %s, the image digests to %s", hashPath.c_str(),
                   HexText(stored).c_str(), HexText(computed).c_str())};
  }
  return {"md5", CheckStatus::kOk, Format("%s matches", hashPath.c_str())};
}

bool PrintChecks(const std::vector<Check>& checks, const std::string& name, const char* kind,
                 VerifyMode mode, Output& out) {
  if (mode == VerifyMode::kJson) {
    out.Write(Json::Object()
                  .Add("file", name)
                  .Add("kind", kind)
                  .Add("checks", ChecksJson(checks))
                  .Add("ok", AllChecksHold(checks))
                  .Text());
  } else {
    out.Write(CheckLines(checks));
  }
  return AllChecksHold(checks);
}

// `checks` holds those made on the file before its image was read: the
// hash file's, which come first.
bool Verify(const ImageReading& reading, const std::string& name, std::vector<Check> checks,
            VerifyMode mode, Output& out) {
  if (reading.tagged) {
    const std::vector<Check>& image = reading.tagged->checks;
    checks.insert(checks.end(), image.begin(), image.end());
    return PrintChecks(checks, name, "tagged", mode, out);
  }
  if (reading.gpt) {
    NoteGptTable(*reading.gpt, name, out);
    return PrintChecks(reading.gpt->checks, name, "gpt", mode, out);
  }
  // JSON output holds the document or nothing: the line goes to standard
  // error then.
  FailureReport(out,
                mode == VerifyMode::kJson ? FailureLine::kOnStandardError : FailureLine::kInListing,
                name)
      .Fail(NotAnImageText(name, reading.form,
                           "a tagged firmware image nor a partition-table image"));
  return false;
}

}  // namespace

bool VerifyImage(ImageSource& source, const std::string& name, Output& out) {
  return VerifyImage(ReadImage(source), name, out);
}

bool VerifyImage(const ImageReading& reading, const std::string& name, Output& out) {
  return Verify(reading, name, {}, VerifyMode::kText, out);
}

bool VerifyFile(const std::string& path, bool checkHash, VerifyMode mode, Output& out) {
  File file;
  uint64_t length = 0;
  FailureReport failure(
      out, mode == VerifyMode::kJson ? FailureLine::kOnStandardError : FailureLine::kInListing,
      path);
  if (!OpenForInspection(path, file, length, failure)) return false;
  FileSource source(file, length);
  std::vector<Check> checks;
  const ImageReading reading = ReadImage(source);
  if (reading.form.kind == ImageKind::kTagged) {
    // No image is longer than its 32-bit positions reach: such a file is
    // refused by its header check, and not digested for minutes first.
    if (!checkHash) {
      checks.push_back({"md5", CheckStatus::kNotMade, "not compared (offcheck)"});
    } else if (length > kPositionLimit) {
      checks.push_back(
          {"md5", CheckStatus::kNotMade, "not computed: the file is longer than any image can be"});
    } else {
      checks.push_back(HashCheck(path, file, out));
    }
  }
  return Verify(reading, path, std::move(checks), mode, out);
}

}  // namespace imgweld
