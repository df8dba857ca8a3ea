#include "config/ConfigDocument.h"

#include <gtest/gtest.h>

#include <sstream>

#include "support/TestSupport.h"

namespace imgweld {
namespace {

// Name-order dump of a document, so one string shows sections, keys and values.
std::string Dump(const ConfigDocument& document) {
  std::ostringstream out;
  document.WriteByName(out);
  return out.str();
}

ConfigDocument& ParseInto(ConfigDocument& document, const std::string& text, bool merge = false) {
  std::istringstream in(text);
  document.Parse(in, merge);
  return document;
}

struct ParseCase {
  const char* label;
  const char* input;
  const char* expected;  // WriteByName of the result
};

class ParseTable : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseTable, ParsesAsDesigned) {
  ConfigDocument document;
  EXPECT_EQ(Dump(ParseInto(document, GetParam().input)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ParseTable,
    testing::Values(ParseCase{"basic", "[System]\nGpt_Enable=1\n", "[System]\nGpt_Enable=1\n"},
                    ParseCase{"padded_header", "  [ System ]  \nk=v", "[System]\nk=v\n"},
                    ParseCase{"header_comment", "[System] # note\nk=v\n", "[System]\nk=v\n"},
                    ParseCase{"commented_header", "# [System]\nk=v\n", ""},
                    ParseCase{"text_before_bracket", "\xEF\xBB\xBFxyz[Sec]\nk=v\n", "[Sec]\nk=v\n"},
                    ParseCase{"last_bracket", "[a]b]\n", "[a]b]\n"},
                    ParseCase{"first_bracket", "[a[b]\n", "[a[b]\n"},
                    ParseCase{"empty_name", "[]\n[ ]\nk=v\n", "[]\nk=v\n"},
                    ParseCase{"reversed_brackets", "[s]\n]x[\n", "[s]\n"},
                    ParseCase{"key_with_section", "[s]\nkey=[x]\n", "[s]\n[x]\n"},
                    ParseCase{"value_comment", "[s]\nkey=value#tail\n", "[s]\nkey=value\n"},
                    ParseCase{"comment_before_equals", "[s]\nkey#=value\n", "[s]\n"},
                    ParseCase{"empty_key", "[s]\n=value\n", "[s]\n=value\n"},
                    ParseCase{"blanks_kept_in_value", "[s]\nkey = value\n", "[s]\nkey= value\n"},
                    ParseCase{"first_equals_ends_key", "[s]\nModel = rev=B\n",
                              "[s]\nModel= rev=B\n"},
                    ParseCase{"blank_before_comment", "[s]\nk=v # note\n", "[s]\nk=v \n"},
                    ParseCase{"crlf", "[s]\r\nkey=value\r\n", "[s]\nkey=value\n"},
                    ParseCase{"inner_cr_kept", "[s]\nk=a\rb\n", "[s]\nk=a\rb\n"},
                    ParseCase{"empty_value_new_key", "[s]\nkey=\n", "[s]\nkey=\n"},
                    ParseCase{"empty_value_keeps_old", "[s]\nkey=1\nkey=\n", "[s]\nkey=1\n"},
                    ParseCase{"last_value_wins", "[s]\nKey=1\nkey=2\n", "[s]\nKey=2\n"},
                    ParseCase{"repeated_header", "[A]\nk=1\n[a]\nk=2\n", "[A]\nk=2\n"},
                    // Every letter folds, in section and key names alike.
                    ParseCase{"every_letter_folds",
                              "[abcdefghijklmnopqrstuvwxyz]\nabcdefghijklmnopqrstuvwxyz=1\n"
                              "[ABCDEFGHIJKLMNOPQRSTUVWXYZ]\nABCDEFGHIJKLMNOPQRSTUVWXYZ=2\n",
                              "[abcdefghijklmnopqrstuvwxyz]\nabcdefghijklmnopqrstuvwxyz=2\n"},
                    ParseCase{"no_equals", "[s]\njust text\n", "[s]\n"},
                    ParseCase{"key_before_section", "k=v\n[s]\n", "[s]\n"},
                    ParseCase{"no_final_line_end", "[s]\nk=v", "[s]\nk=v\n"},
                    ParseCase{"blank_lines", "\n \t \n[s]\n\n", "[s]\n"},
                    ParseCase{"name_order", "[b]\n[_x]\n[A]\n", "[_x]\n[A]\n[b]\n"}),
    [](const testing::TestParamInfo<ParseCase>& info) { return info.param.label; });

TEST(ConfigDocument, LookupsIgnoreCaseAndBlanksAndKeepStoredCase) {
  ConfigDocument document;
  ParseInto(document, "[System]\nGpt_Enable=1\n");
  EXPECT_EQ(document.GetValue(" SYSTEM\t", "gpt_enable"), "1");
  ASSERT_NE(document.FindSection("system"), nullptr);
  EXPECT_EQ(document.GetOrAddSection("SYSTEM")->Name(), "System");
  EXPECT_EQ(document.GetValue("System", "missing"), "");
  EXPECT_EQ(document.GetValue("missing", "Gpt_Enable"), "");
  EXPECT_EQ(document.FindSection("missing"), nullptr);
  EXPECT_EQ(document.Sections().size(), 1u);  // lookups create nothing
}

TEST(ConfigDocument, MergeKeepsContentAndDropsKeysBeforeFirstHeader) {
  ConfigDocument document;
  ParseInto(document, "[a]\nx=1\n");
  ParseInto(document, "y=2\n[b]\nz=3\n", /*merge=*/true);
  EXPECT_EQ(Dump(document), "[a]\nx=1\n[b]\nz=3\n");
  ParseInto(document, "[c]\n", /*merge=*/false);
  EXPECT_EQ(Dump(document), "[c]\n");
}

TEST(ConfigDocument, StreamsParseAndWriteByName) {
  ConfigDocument document;
  std::istringstream first("[b]\ny=2\n");
  document.Parse(first, /*merge=*/false);
  std::istringstream second("[a]\nx=1\n");
  document.Parse(second, /*merge=*/true);
  std::ostringstream out;
  document.WriteByName(out);
  EXPECT_EQ(out.str(), "[a]\nx=1\n[b]\ny=2\n");
}

TEST(ConfigDocument, LoadFileReplacesOrLeavesDocumentUntouched) {
  test::TempDir dir;
  ConfigDocument document;
  StringOutput out;
  ParseInto(document, "[old]\nk=v\n");
  EXPECT_FALSE(document.LoadFile(dir / "missing.ini", false, out));
  EXPECT_EQ(Dump(document), "[old]\nk=v\n");

  test::WriteText(dir / "cfg.ini", "[new]\r\nk=w");
  EXPECT_TRUE(document.LoadFile(dir / "cfg.ini", false, out));
  EXPECT_EQ(Dump(document), "[new]\nk=w\n");
  // Merging lays the file over what is there; a missing file changes nothing.
  test::WriteText(dir / "more.ini", "stray=1\n[NEW]\nk=\nj=2\n[other]\nx=y\n");
  EXPECT_TRUE(document.LoadFile(dir / "more.ini", true, out));
  EXPECT_EQ(Dump(document), "[new]\nj=2\nk=w\n[other]\nx=y\n");
  EXPECT_FALSE(document.LoadFile(dir / "missing.ini", true, out));
  EXPECT_EQ(Dump(document), "[new]\nj=2\nk=w\n[other]\nx=y\n");
  // Each failure is noted once, with its reason; a load that succeeds says nothing.
  const std::string missing = "imgweld: " + (dir / "missing.ini") + ": No such file or directory\n";
  EXPECT_EQ(out.Diagnostics(), missing + missing);
  EXPECT_EQ(out.Text(), "");
}

TEST(ConfigDocument, RenameRules) {
  ConfigDocument document;
  ParseInto(document, "[System]\nA=1\nB=2\n[Other]\n");
  EXPECT_FALSE(document.RenameSection("System", "SYSTEM"));
  EXPECT_FALSE(document.RenameSection("System", "other"));
  EXPECT_FALSE(document.RenameSection("nothing", "x"));
  EXPECT_TRUE(document.RenameSection("System", " Main "));
  EXPECT_EQ(document.FindSection("System"), nullptr);
  ASSERT_NE(document.FindSection("main"), nullptr);
  EXPECT_EQ(document.FindSection("main")->Name(), "Main");

  EXPECT_FALSE(document.RenameKey("Main", "A", "b"));
  EXPECT_FALSE(document.RenameKey("Main", "missing", "c"));
  EXPECT_FALSE(document.RenameKey("missing", "A", "c"));
  EXPECT_TRUE(document.RenameKey("Main", "a", "C"));
  EXPECT_EQ(document.GetValue("Main", "c"), "1");
  EXPECT_EQ(document.GetValue("Main", "A"), "");
}

TEST(ConfigDocument, SetValueAssignsEmptyValueAndRemoveDestroys) {
  ConfigDocument document;
  document.SetValue("s", "k", "1");
  document.SetValue(" S ", "K", "");
  EXPECT_EQ(Dump(document), "[s]\nk=\n");

  ConfigSection* section = document.FindSection("s");
  section->SetValue("other", "x");
  section->RemoveEntry(" K ");
  EXPECT_EQ(section->FindEntry("k"), nullptr);
  section->RemoveEntry(section->FindEntry("other"));
  section->RemoveEntry("absent");
  EXPECT_TRUE(section->Entries().empty());

  document.RemoveSection("absent");
  document.RemoveSection(section);
  EXPECT_TRUE(document.Sections().empty());
}

TEST(ConfigWriter, CreationOrderFollowsRenamesAndRecreation) {
  ConfigDocument document;
  document.SetValue("zeta", "b", "1");
  document.SetValue("zeta", "a", "2");
  document.SetValue("alpha", "k", "");
  document.GetOrAddSection("mid");
  document.RenameSection("zeta", "omega");
  document.RenameKey("omega", "b", "z");
  document.RemoveSection("alpha");
  document.SetValue("alpha", "k", "3");

  std::ostringstream created;
  document.WriteInCreationOrder(created);
  EXPECT_EQ(created.str(), "[omega]\nz=1\na=2\n[mid]\n[alpha]\nk=3\n");
  EXPECT_EQ(Dump(document), "[alpha]\nk=3\n[mid]\n[omega]\na=2\nz=1\n");
}

TEST(ConfigWriter, SaveFileWritesAndReadsBack) {
  test::TempDir dir;
  ConfigDocument document;
  document.SetValue("", "", " lead");
  document.SetValue("s", "hash", "a#b");
  document.SetValue("s", "trail", "t ");
  document.SetValue("s", "br", "x]");
  ASSERT_TRUE(document.SaveFile(dir / "out.ini", true));
  EXPECT_EQ(test::ReadText(dir / "out.ini"), "[]\n= lead\n[s]\nhash=a#b\ntrail=t \nbr=x]\n");

  // What the parser treats specially does not read back the same.
  ConfigDocument reread;
  StringOutput out;
  ASSERT_TRUE(reread.LoadFile(dir / "out.ini", false, out));
  EXPECT_EQ(reread.GetValue("", ""), " lead");
  EXPECT_EQ(reread.GetValue("s", "hash"), "a");
  EXPECT_EQ(reread.GetValue("s", "trail"), "t");
}

// The flag chooses the order: creation order, or name order for sections
// and keys alike.
TEST(ConfigWriter, SaveFileWritesInTheOrderAsked) {
  test::TempDir dir;
  ConfigDocument document;
  document.SetValue("zeta", "b", "1");
  document.SetValue("zeta", "A", "2");
  document.SetValue("Alpha", "k", "3");
  ASSERT_TRUE(document.SaveFile(dir / "created.ini", true));
  EXPECT_EQ(test::ReadText(dir / "created.ini"), "[zeta]\nb=1\nA=2\n[Alpha]\nk=3\n");
  ASSERT_TRUE(document.SaveFile(dir / "named.ini", false));
  EXPECT_EQ(test::ReadText(dir / "named.ini"), "[Alpha]\nk=3\n[zeta]\nA=2\nb=1\n");
}

TEST(ConfigWriter, SaveFileEmptiesExistingFileAndFailsOnMissingDirectory) {
  test::TempDir dir;
  test::WriteText(dir / "old.ini", "[x]\ny=z\n");
  ConfigDocument empty;
  EXPECT_TRUE(empty.SaveFile(dir / "old.ini", false));
  EXPECT_EQ(test::ReadText(dir / "old.ini"), "");
  EXPECT_FALSE(empty.SaveFile(dir / "no/such/dir/x.ini", true));
}

}  // namespace
}  // namespace imgweld
