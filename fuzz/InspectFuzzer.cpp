// Lists and verifies arbitrary bytes as an image, in every mode, and holds
// the reader behind "-L" and "-V" to what it promises on any input: it reads
// only ranges that lie in the image, its JSON is valid JSON, a configuration
// printed to rebuild the image parses as one, every outcome is an expected
// exit code, and "-V" and "-L" agree on whether the image is damaged.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "common/Output.h"
#include "config/ConfigDocument.h"
#include "image/ImageSource.h"
#include "inspect/ListCommand.h"
#include "inspect/VerifyCommand.h"

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

// A recursive-descent check of JSON syntax (RFC 8259), enough to tell a
// valid document from a broken one.
class JsonSyntax {
 public:
  explicit JsonSyntax(std::string_view text) : text_(text) {}

  bool Valid() {
    Blank();
    if (!Value(0)) return false;
    Blank();
    return at_ == text_.size();
  }

 private:
  bool Value(int depth) {
    if (depth > 64 || at_ >= text_.size()) return false;
    const char c = text_[at_];
    if (c == '{') return Container('}', depth, true);
    if (c == '[') return Container(']', depth, false);
    if (c == '"') return String();
    if (c == '-' || (c >= '0' && c <= '9')) return Number();
    for (std::string_view word : {"true", "false", "null"}) {
      if (text_.substr(at_, word.size()) == word) {
        at_ += word.size();
        return true;
      }
    }
    return false;
  }

  bool Container(char close, int depth, bool object) {
    ++at_;
    Blank();
    if (Peek(close)) return ++at_, true;
    for (;;) {
      Blank();
      if (object) {
        if (!String()) return false;
        Blank();
        if (!Peek(':')) return false;
        ++at_;
        Blank();
      }
      if (!Value(depth + 1)) return false;
      Blank();
      if (Peek(close)) return ++at_, true;
      if (!Peek(',')) return false;
      ++at_;
    }
  }

  bool String() {
    if (!Peek('"')) return false;
    for (++at_; at_ < text_.size(); ++at_) {
      const auto c = static_cast<unsigned char>(text_[at_]);
      if (c == '"') return ++at_, true;
      if (c < 0x20) return false;
      if (c != '\\') continue;
      if (++at_ >= text_.size()) return false;
      const char escape = text_[at_];
      if (escape == 'u') {
        for (int i = 0; i < 4; ++i) {
          if (++at_ >= text_.size() || !std::isxdigit(static_cast<unsigned char>(text_[at_]))) {
            return false;
          }
        }
      } else if (std::string_view("\"\\/bfnrt").find(escape) == std::string_view::npos) {
        return false;
      }
    }
    return false;
  }

  bool Number() {
    const size_t start = at_;
    if (Peek('-')) ++at_;
    if (at_ >= text_.size() || !std::isdigit(static_cast<unsigned char>(text_[at_]))) return false;
    if (text_[at_] == '0' && at_ + 1 < text_.size() &&
        std::isdigit(static_cast<unsigned char>(text_[at_ + 1]))) {
      return false;  // no leading zeros
    }
    while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_]))) ++at_;
    return at_ > start;
  }

  bool Peek(char c) const { return at_ < text_.size() && text_[at_] == c; }
  void Blank() {
    while (at_ < text_.size() &&
           std::string_view(" \t\r\n").find(text_[at_]) != std::string_view::npos) {
      ++at_;
    }
  }

  std::string_view text_;
  size_t at_ = 0;
};

bool List(const uint8_t* data, size_t size, imgweld::ListMode mode, std::string& text,
          std::string* diagnostics = nullptr) {
  CheckedSource source(data, size);
  imgweld::StringOutput out;
  const bool listed = imgweld::ListImage(source, "fw.img", mode, out);
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using imgweld::ListMode;
  std::string text;
  const bool textListed = List(data, size, ListMode::kText, text);
  if (text.empty()) Fail("no listing", text);

  // Standard output holds valid JSON, or nothing and one line on standard
  // error.
  std::string json;
  std::string jsonError;
  const bool jsonListed = List(data, size, ListMode::kJson, json, &jsonError);
  if (jsonListed != textListed) Fail("json and text disagree", json);
  if (json.empty() ? !IsOneDiagnostic(jsonError) : !JsonSyntax(json).Valid()) {
    Fail("invalid JSON", json + jsonError);
  }

  std::string ini;
  std::string iniError;
  if (List(data, size, ListMode::kIni, ini, &iniError)) {
    // Only a tagged image has a date to carry.
    const bool tagged = size >= 4 && std::memcmp(data, "ZVFP", 4) == 0;
    if (tagged && !ini.starts_with("# SOURCE_DATE_EPOCH=")) Fail("ini without its date line", ini);
    imgweld::ConfigDocument document;
    std::istringstream in(ini);
    document.Parse(in, false);
    if (document.FindSection("System") == nullptr || document.FindSection("UserPart1") == nullptr) {
      Fail("ini without its sections", ini);
    }
  } else if (!ini.empty() || !IsRefusal(iniError)) {
    Fail("a refused ini must print nothing and its refusal on standard error", ini + iniError);
  }

  CheckedSource source(data, size);
  imgweld::StringOutput verified;
  const bool verifiedClean = imgweld::VerifyImage(source, "fw.img", verified);
  if (verifiedClean != textListed) Fail("-V and -L disagree", verified.Text() + text);
  if (!IsOneErrorLine(verified.Text()) &&
      !verified.Text().ends_with(verifiedClean ? "every check holds\n" : "checks failed\n")) {
    Fail("-V must end with its verdict", verified.Text());
  }
  return 0;
}
