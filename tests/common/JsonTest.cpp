#include "common/Json.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace imgweld {
namespace {

TEST(Json, MembersKeepTheirOrderAndNestingIsIndented) {
  Json document = Json::Object();
  document.Add("z", 1)
      .Add("a", Json::Array().Push(true).Push(nullptr).Push(-5))
      .Add("empty", Json::Object())
      .Add("big", ~uint64_t{0});
  EXPECT_EQ(document.Text(),
            "{\n"
            "  \"z\": 1,\n"
            "  \"a\": [\n"
            "    true,\n"
            "    null,\n"
            "    -5\n"
            "  ],\n"
            "  \"empty\": {},\n"
            "  \"big\": 18446744073709551615\n"
            "}\n");
}

TEST(Json, StringsAreEscapedToAscii) {
  EXPECT_EQ(JsonString("plain"), "\"plain\"");
  EXPECT_EQ(JsonString("q\"b\\s/"), "\"q\\\"b\\\\s/\"");
  EXPECT_EQ(JsonString("\n\r\t\x01\x7f"), "\"\\n\\r\\t\\u0001\\u007f\"");
  EXPECT_EQ(JsonString(std::string("\xe9\xff\0", 3)), "\"\\u00e9\\u00ff\\u0000\"");
}

// Plain text is skipped several bytes at a time: every byte value, at every
// place in and around such a step, is escaped exactly as on its own.
TEST(Json, EveryByteIsEscapedWhereverItStands) {
  const auto escapedAlone = [](unsigned char byte) -> std::string {
    switch (byte) {
      case '"':
        return "\\\"";
      case '\\':
        return "\\\\";
      case '\n':
        return "\\n";
      case '\r':
        return "\\r";
      case '\t':
        return "\\t";
    }
    if (byte >= 0x20 && byte < 0x7F) return std::string(1, static_cast<char>(byte));
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\u%04x", byte);
    return escape;
  };
  const std::string plain = "abcdefghijklmnopqrstu";  // past two 8-byte steps
  for (unsigned value = 0; value < 256; ++value) {
    const auto byte = static_cast<unsigned char>(value);
    for (size_t at = 0; at <= plain.size(); ++at) {
      std::string text = plain;
      text.insert(at, 1, static_cast<char>(byte));
      const std::string expected =
          "\"" + plain.substr(0, at) + escapedAlone(byte) + plain.substr(at) + "\"";
      ASSERT_EQ(JsonString(text), expected) << "byte " << value << " at " << at;
    }
  }
}

}  // namespace
}  // namespace imgweld
