// Black-box tests of the command line: they run the built executable and
// compare its standard output byte for byte and its exit code.
#include <gtest/gtest.h>

#include <filesystem>

#include "cli/InspectTestSupport.h"
#include "support/TestSupport.h"

namespace imgweld {
namespace {

const std::string kBanner =
    "\r\n----------------Imgweld v1.38--------------------\r\n"
    "Packing:\t\t-P <config file> <saving dir>\r\n"
    "UnPacking:\t-U <firmware> <output dir> [offcheck]\r\n"
    "-------------------------------------------------------\r\n"
    "\r\n";

// No command at all, or an unknown word with a count no command takes, is
// not a fault: the banner is the answer.
TEST(CommandLine, NoCommandPrintsBannerAndExitsZero) {
  const std::vector<std::vector<std::string>> argLists = {
      {}, {"-x"}, {"-x", "a"}, {"-q", "a", "b", "c", "d"}, {"--help", "a"}};
  for (const auto& args : argLists) {
    const test::RunResult result = test::RunImgweld(args);
    EXPECT_EQ(result.exitCode, 0) << args.size();
    EXPECT_EQ(result.output, kBanner) << args.size();
  }
}

// A known command word with arguments missing or left over prints the
// banner, names what is wrong in one line on standard error and exits 2,
// touching nothing: a forgotten directory must not pass for a done step.
TEST(CommandLine, UsageFaultsOfKnownCommandsExitTwo) {
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"-P"},
       "-P: missing the configuration file and the saving directory; usage: imgweld -P <config "
       "file> <saving dir> [strict]"},
      {{"-p", "cfg.ini"},
       "-P: missing the saving directory; usage: imgweld -P <config file> <saving dir> [strict]"},
      {{"-P", "cfg.ini", "out", "strict", "more"},
       "-P: extra argument \"more\"; usage: imgweld -P <config file> <saving dir> [strict]"},
      {{"-U", "img"},
       "-U: missing the output directory; usage: imgweld -U <firmware> <output dir> [offcheck]"},
      {{"-u", "img", "out", "offcheck", "d", "e"},
       "-U: extra arguments \"d\" \"e\"; usage: imgweld -U <firmware> <output dir> [offcheck]"},
      {{"-L"}, "-L: missing the file to list; usage: imgweld -L <file> [text|json|ini]"},
      {{"-l", "img", "text", "x"},
       "-L: extra argument \"x\"; usage: imgweld -L <file> [text|json|ini]"},
      {{"-v", "img", "offcheck", "json", "x"},
       "-V: extra argument \"x\"; usage: imgweld -V <image> [offcheck] [json]"},
      {{"-X"},
       "-X: missing the image and the kit directory; usage: imgweld -X <image> <dir> [offcheck]"},
      {{"-X", "img"}, "-X: missing the kit directory; usage: imgweld -X <image> <dir> [offcheck]"},
      {{"-X", "img", "kit", "offcheck", "x"},
       "-X: extra argument \"x\"; usage: imgweld -X <image> <dir> [offcheck]"},
  };
  test::TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " with " + std::to_string(c.args.size() - 1) + " arguments");
    const test::Outcome result = test::Imgweld(c.args, dir.Path());
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.out, kBanner);
    EXPECT_EQ(result.err, "imgweld: " + c.err + "\n");
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

TEST(CommandLine, HelpAndVersion) {
  test::TempDir dir;
  const test::Outcome help = test::Imgweld({"--help"}, dir.Path());
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.err, "");
  for (const char* usage :
       {"imgweld -P <config file> <saving dir> [strict]",
        "imgweld -U <firmware> <output dir> [offcheck]", "imgweld -L <file> [text|json|ini]",
        "imgweld -V <image> [offcheck] [json]", "imgweld -X <image> <dir> [offcheck]"}) {
    EXPECT_NE(help.out.find(usage), std::string::npos) << usage << "\n" << help.out;
  }
  const test::Outcome version = test::Imgweld({"--version"}, dir.Path());
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out, "imgweld 1.38\n");
  EXPECT_EQ(version.err, "");
}

TEST(CommandLine, UnknownCommandWordIsRejectedWithoutTouchingPaths) {
  test::TempDir dir;
  for (const char* word : {"-x", "-q", "-PX", "P", "-u2", ""}) {
    const test::RunResult result = test::RunImgweld({word, "missing.ini", "out"}, dir.Path());
    EXPECT_EQ(result.exitCode, 2) << word;
    EXPECT_EQ(result.output, "command is invalid!\r\n") << word;
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

TEST(CommandLine, CommandWordIsCaseInsensitive) {
  test::TempDir dir;
  // A missing configuration makes the packer fail with exit 3 in either case.
  for (const char* word : {"-P", "-p"}) {
    const test::RunResult result = test::RunImgweld({word, "missing.ini", "."}, dir.Path());
    EXPECT_EQ(result.exitCode, 3) << word;
    EXPECT_EQ(result.output, "Packing Error:loading missing.ini failed!\r\n") << word;
  }
  // A fourth argument to -P is ignored.
  const test::RunResult extra = test::RunImgweld({"-P", "missing.ini", ".", "extra"}, dir.Path());
  EXPECT_EQ(extra.exitCode, 3);
  EXPECT_EQ(extra.output, "Packing Error:loading missing.ini failed!\r\n");
}

TEST(CommandLine, UnpackFailureExitsFour) {
  test::TempDir dir;
  for (const char* word : {"-U", "-u"}) {
    const test::RunResult result = test::RunImgweld({word, "missing.img", "."}, dir.Path());
    EXPECT_EQ(result.exitCode, 4) << word;
    EXPECT_EQ(result.output.rfind("Start to unpack firmware...\r\n", 0), 0u) << result.output;
  }
}

}  // namespace
}  // namespace imgweld
