// Unpacks arbitrary bytes as a firmware image, without the digest check, and
// holds the unpacker to what it promises on any input: every file it writes
// lies inside the output directory, the working directory stays where it was,
// a failure ends with exactly one error line and leaves no temporary file,
// and a success names only files that exist. What -U takes apart, "-V"
// passes, but for the checks -U deliberately does not make.
//
// The output directory sits three levels below a private directory, so a
// name that climbs out of it ("../x", "../../x", ...) lands where the check
// after each input finds it.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "common/Output.h"
#include "image/FirmwareImage.h"
#include "image/ImageReader.h"
#include "image/ImageSource.h"
#include "inspect/VerifyCommand.h"
#include "unpack/UnpackFirmware.h"
#include "unpack/UnpackRefusals.h"

namespace {

namespace fs = std::filesystem;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "unpack fuzz: %s\n", what.c_str());
  std::abort();
}

struct Workspace {
  fs::path root;    // private: <tmp>/imgweld-unpack-fuzz-XXXXXX
  fs::path image;   // root/fw.img
  fs::path outDir;  // root/a/b/out
  std::string cwd;

  Workspace() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        (fs::path(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") / "imgweld-unpack-fuzz-XXXXXX")
            .string();
    if (mkdtemp(pattern.data()) == nullptr) Fail("mkdtemp failed");
    root = pattern;
    image = root / "fw.img";
    outDir = root / "a" / "b" / "out";
    fs::create_directories(outDir);
    cwd = fs::current_path().string();
  }

  ~Workspace() {
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }
};

Workspace& GetWorkspace() {
  static Workspace workspace;
  return workspace;
}

std::set<std::string> Names(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& item : fs::directory_iterator(dir))
    names.insert(item.path().filename().string());
  return names;
}

void ExpectNames(const fs::path& dir, const std::set<std::string>& expected) {
  if (Names(dir) != expected) Fail("unexpected entry in " + dir.string());
}

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    lines.push_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

void CheckOutcome(bool ok, const std::string& text, const Workspace& workspace) {
  const std::vector<std::string_view> lines = Lines(text);
  size_t errors = 0;
  for (std::string_view line : lines) errors += line.starts_with("UnPacking Error:") ? 1 : 0;
  if (!ok) {
    if (errors != 1 || lines.empty() || !lines.back().starts_with("UnPacking Error:")) {
      Fail("a failure must end with exactly one error line:\n" + text);
    }
    return;
  }
  if (errors != 0 || !text.ends_with("Unpacking firmware OK.\r\n")) {
    Fail("a success must end with the OK line and hold no error:\n" + text);
  }
  if (!fs::is_regular_file(workspace.outDir / "setting.ini")) Fail("success without setting.ini");
  // Every file announced with "Saving <name>...\r" must be there.
  constexpr std::string_view kSaving = "Saving ";
  constexpr std::string_view kEnd = "...\r";
  for (std::string_view line : lines) {
    if (!line.starts_with(kSaving)) continue;
    if (!line.ends_with(kEnd)) Fail("malformed progress line");
    const std::string name(line.substr(kSaving.size(), line.size() - kSaving.size() - kEnd.size()));
    if (!fs::is_regular_file(workspace.outDir / name)) Fail("success without " + name);
  }
}

// A temporary file's name: "." and the final name, ".imgweld-" and six
// letters or digits. No output name ends that way: they all end in ".img",
// ".bin" or "setting.ini".
bool IsTemporaryName(const std::string& name) {
  const size_t mark = name.rfind(".imgweld-");
  if (!name.starts_with(".") || mark == std::string::npos || name.size() - mark != 15) {
    return false;
  }
  return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(mark) + 9, name.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

// Everything written must be a plain file directly inside the output
// directory, and no temporary file may be left; then the directory is
// emptied for the next input.
void CheckAndEmptyOutput(const Workspace& workspace) {
  ExpectNames(workspace.root, {"a", "fw.img"});
  ExpectNames(workspace.root / "a", {"b"});
  ExpectNames(workspace.root / "a" / "b", {"out"});
  for (const auto& item : fs::directory_iterator(workspace.outDir)) {
    if (!item.is_regular_file() || item.is_symlink()) {
      Fail("not a plain file: " + item.path().string());
    }
    if (IsTemporaryName(item.path().filename().string())) {
      Fail("temporary file left: " + item.path().string());
    }
    fs::remove(item.path());
  }
  if (fs::current_path().string() != workspace.cwd) Fail("the working directory changed");
}

// The kinds of problem of a failed "-V" check that "-U" does not let pass:
// -U decides from the same kinds, through its table of refusals, so an
// image it took apart may fail a check only with kinds that table lets pass.
// A failed check of no kind is a check -U cannot have judged at all.
std::string RefusedKinds(const imgweld::Check& check) {
  if (check.problems.empty()) return "a check of no kind";
  std::string refused;
  for (const imgweld::TaggedRule rule : check.problems) {
    const bool passes =
        std::any_of(imgweld::kUnpackPasses.begin(), imgweld::kUnpackPasses.end(),
                    [rule](const imgweld::UnpackPass& pass) { return pass.rule == rule; });
    if (!passes) {
      refused += "kind " + std::to_string(static_cast<int>(rule)) + " ";
    }
  }
  return refused;
}

// "-U offcheck" took `data` apart: "-V" of the same bytes may fail only the
// checks -U does not make. -V lists the tagged reader's checks; they are
// taken from the reader to be told apart, since a name comes from the image
// and may hold anything.
void CheckVerifyAgrees(const uint8_t* data, size_t size) {
  imgweld::MemorySource source(std::span<const uint8_t>(data, size));
  imgweld::StringOutput verified;
  if (imgweld::VerifyImage(source, "fw.img", verified)) return;
  if (imgweld::RecognizeImage(source).kind != imgweld::ImageKind::kTagged) {
    Fail("-U took apart what -V does not take for a tagged image:\n" + verified.Text());
  }
  const imgweld::TaggedImageFacts facts = imgweld::ReadTaggedImage(source);
  for (const imgweld::Check& check : facts.checks) {
    if (check.status != imgweld::CheckStatus::kBad) continue;
    const std::string refused = RefusedKinds(check);
    if (!refused.empty()) {
      Fail("-U took apart an image whose check \"" + check.name + "\" -V fails with " + refused +
           "(which -U does not let pass): " + check.detail + "\n" + verified.Text());
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Workspace& workspace = GetWorkspace();
  {
    std::ofstream file(workspace.image, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!file) Fail("cannot write the input image");
  }
  imgweld::StringOutput out;
  const bool ok = imgweld::UnpackFirmware(workspace.image.string(), workspace.outDir.string(),
                                          /*verify=*/false, out);
  CheckOutcome(ok, out.Text(), workspace);
  CheckAndEmptyOutput(workspace);
  if (ok) CheckVerifyAgrees(data, size);
  return 0;
}
