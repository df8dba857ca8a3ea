#include "JsonSyntax.h"

#include <cctype>
#include <cstddef>
#include <string_view>

namespace fuzz {
namespace {

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

}  // namespace

bool IsValidJson(std::string_view text) { return JsonSyntax(text).Valid(); }

}  // namespace fuzz
