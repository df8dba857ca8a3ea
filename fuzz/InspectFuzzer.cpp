// Lists and verifies arbitrary bytes as an image, in every mode, and holds
// the reader behind "-L" and "-V" to what it promises on any input: it reads
// only ranges that lie in the image, its JSON is valid JSON, a configuration
// printed to rebuild the image parses as one, every outcome is an expected
// exit code, and "-V" and "-L" agree on whether the image is damaged.
// Where "-L ini" prints a configuration, it is held to it on another road:
// "-X" writes the kit of the same bytes, and "-P" of the kit's setting.ini
// (the text -L printed) packs them again, byte for byte.
#include <malloc.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "JsonSyntax.h"
#include "common/Output.h"
#include "config/ConfigDocument.h"
#include "image/ImageReader.h"
#include "image/ImageSource.h"
#include "inspect/KitCommand.h"
#include "inspect/ListCommand.h"
#include "inspect/VerifyCommand.h"
#include "pack/PackFirmware.h"

namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& output) {
  std::fprintf(stderr, "inspect fuzz: %s\n%s\n", what.c_str(), output.c_str());
  std::abort();
}

// The input's bytes, with every read the reader makes checked once more
// against their end.
class CheckedSource final : public imgweld::ImageSource {
 public:
  CheckedSource(const uint8_t* data, size_t size) : ImageSource(size), data_(data) {}

 private:
  bool ReadInside(uint64_t offset, std::span<uint8_t> out) override {
    if (offset > Length() || out.size() > Length() - offset) Fail("read past the image", "");
    if (!out.empty()) std::memcpy(out.data(), data_ + offset, out.size());
    return true;
  }
  const uint8_t* data_;
};

// Lists the image read once into `reading`; only ini mode reads `source`
// again, to compare the image with what its configuration rebuilds.
bool List(CheckedSource& source, const imgweld::ImageReading& reading, imgweld::ListMode mode,
          std::string& text, std::string* diagnostics = nullptr) {
  imgweld::StringOutput out;
  const bool listed = imgweld::ListImage(source, reading, "fw.img", mode, out);
  text = out.Text();
  if (diagnostics != nullptr) *diagnostics = out.Diagnostics();
  return listed;
}

bool IsOneErrorLine(const std::string& text) {
  return text.starts_with("UnPacking Error:") && text.ends_with("!\r\n") &&
         text.find('\n') == text.size() - 1;
}

// One diagnostic line, "imgweld: fw.img: ..." , with no control byte.
bool IsOneDiagnostic(const std::string& text) {
  const bool plain = std::none_of(text.begin(), text.end() - (text.empty() ? 0 : 1), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
  });
  return plain && text.starts_with("imgweld: fw.img: ") && text.ends_with("\n") &&
         text.find('\n') == text.size() - 1;
}

// A refused rebuild configuration: one diagnostic line, or, when the packer
// refuses it, the packer's own lines as diagnostics before the line that
// says so.
bool IsRefusal(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t start = 0; start < text.size();) {
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) return false;
    lines.push_back(text.substr(start, end + 1 - start));
    start = end + 1;
  }
  if (lines.empty() || !std::all_of(lines.begin(), lines.end(), IsOneDiagnostic)) return false;
  return lines.size() == 1 || lines.back().ends_with(" the packer refuses the configuration\n");
}

namespace fs = std::filesystem;

// Inputs up to this length are packed again from their kit; longer ones,
// which a run reaches only with a larger -max_len, are held to the
// configuration by -L ini's own comparison alone.
constexpr size_t kMaxKitInput = size_t{1} << 20;

// Where the round trip's files go: TMPDIR, else a memory file system where
// there is one. -X and -P sync every file before it takes its name; on a
// disk that alone would cost more than all the rest of an input.
fs::path ScratchDirectory() {
  const char* tmp = std::getenv("TMPDIR");
  if (tmp != nullptr && *tmp != '\0') return tmp;
  if (access("/dev/shm", W_OK) == 0) return "/dev/shm";
  return "/tmp";
}

// A private directory for the kit round trip: the image as a file, the
// kit -X writes and the image -P packs from it.
struct Workspace {
  fs::path root;
  fs::path image;
  fs::path kit;
  fs::path packed;

  Workspace() {
    std::string pattern = (ScratchDirectory() / "imgweld-inspect-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) Fail("mkdtemp failed", "");
    root = pattern;
    image = root / "fw.img";
    kit = root / "kit";
    packed = root / "packed";
  }

  ~Workspace() {
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }

  // Empty kit and output directories for the next input.
  void Reset() const {
    for (const fs::path& dir : {kit, packed}) {
      fs::remove_all(dir);
      fs::create_directory(dir);
    }
  }
};

const Workspace& GetWorkspace() {
  static const Workspace workspace;
  return workspace;
}

std::string ReadWholeFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail("cannot read " + path.string(), "");
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// -L ini printed `ini` for these bytes: -X must take them apart into a kit
// whose setting.ini is that text, and -P of the kit must give the bytes.
void CheckKitRepacks(const uint8_t* data, size_t size, const std::string& ini) {
  const Workspace& workspace = GetWorkspace();
  workspace.Reset();
  {
    std::ofstream file(workspace.image, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!file) Fail("cannot write the input image", "");
  }
  imgweld::StringOutput extracted;
  if (!imgweld::ExtractKit(workspace.image.string(), workspace.kit.string(), /*verify=*/false,
                           extracted)) {
    Fail("-L ini printed a configuration, but -X makes no kit", extracted.Diagnostics());
  }
  const fs::path config = workspace.kit / "setting.ini";
  if (ReadWholeFile(config) != ini) Fail("-X wrote another setting.ini than -L ini printed", ini);
  imgweld::StringOutput packed;
  if (!imgweld::PackFirmware(config.string(), workspace.packed.string(), packed)) {
    Fail("-P refuses the kit of -L ini's configuration", packed.Text() + packed.Diagnostics());
  }
  const std::string image = ReadWholeFile(workspace.packed / "Firmware.img");
  if (image.size() != size || std::memcmp(image.data(), data, size) != 0) {
    const auto differ = std::mismatch(image.begin(), image.end(), data, data + size);
    Fail("-P of the kit does not give the image again, first difference at byte " +
             std::to_string(differ.first - image.begin()) + " of " + std::to_string(size) +
             " (packed " + std::to_string(image.size()) + ")",
         ini);
  }
}

// The round trip costs more than everything else an input does (it writes
// and reads two images' worth of files), and most inputs -L ini takes
// differ from an earlier one only in payload bytes, which -X writes and -P
// copies as they are; the boot programs, which -P builds a block from, are
// held to the image by -L ini's own comparison on every input. So it is
// made once for each configuration -L ini prints. An input that fails it
// fails it when run alone too: a new process has packed nothing yet.
bool FirstPackOf(const std::string& ini) {
  constexpr size_t kRemembered = 4096;
  static std::unordered_set<std::string> packed;
  if (packed.size() >= kRemembered) packed.clear();
  return packed.insert(ini).second;
}

// Every input makes listings, some of megabytes (a hostile table of many
// overlapping entries), and frees them again. glibc hands such blocks back
// to the system on each free and faults them in again on the next input,
// which cost more than the listing; kept, they are reused.
[[maybe_unused]] const bool kHeapKept = [] {
  mallopt(M_MMAP_THRESHOLD, 32 << 20);  // the largest glibc takes
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  return true;
}();

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using imgweld::ListMode;
  // Read once, as "-L" and "-V" each read the file once: the four outputs
  // below are rendered from the same reading.
  CheckedSource source(data, size);
  const imgweld::ImageReading reading = imgweld::ReadImage(source);
  std::string text;
  const bool textListed = List(source, reading, ListMode::kText, text);
  if (text.empty()) Fail("no listing", text);

  // Standard output holds valid JSON, or nothing and one line on standard
  // error.
  std::string json;
  std::string jsonError;
  const bool jsonListed = List(source, reading, ListMode::kJson, json, &jsonError);
  if (jsonListed != textListed) Fail("json and text disagree", json);
  if (json.empty() ? !IsOneDiagnostic(jsonError) : !fuzz::IsValidJson(json)) {
    Fail("invalid JSON", json + jsonError);
  }

  std::string ini;
  std::string iniError;
  if (List(source, reading, ListMode::kIni, ini, &iniError)) {
    // Only a tagged image has a date to carry.
    const bool tagged = size >= 4 && std::memcmp(data, "ZVFP", 4) == 0;
    if (tagged && !ini.starts_with("# SOURCE_DATE_EPOCH=")) Fail("ini without its date line", ini);
    imgweld::ConfigDocument document;
    std::istringstream in(ini);
    document.Parse(in, false);
    if (document.FindSection("System") == nullptr || document.FindSection("UserPart1") == nullptr) {
      Fail("ini without its sections", ini);
    }
    if (size <= kMaxKitInput && FirstPackOf(ini)) CheckKitRepacks(data, size, ini);
  } else if (!ini.empty() || !IsRefusal(iniError)) {
    Fail("a refused ini must print nothing and its refusal on standard error", ini + iniError);
  }

  imgweld::StringOutput verified;
  const bool verifiedClean = imgweld::VerifyImage(reading, "fw.img", verified);
  if (verifiedClean != textListed) Fail("-V and -L disagree", verified.Text() + text);
  if (!IsOneErrorLine(verified.Text()) &&
      !verified.Text().ends_with(verifiedClean ? "every check holds\n" : "checks failed\n")) {
    Fail("-V must end with its verdict", verified.Text());
  }
  return 0;
}
