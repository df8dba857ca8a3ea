// Layouts where one file per partition name, or one boot block, would lose a
// payload: what -P says about them on standard error, which files -U writes,
// and that packing -U's setting.ini puts every payload it lists back at its
// sectors.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace imgweld {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

std::string Quote(const std::string& text) { return "'" + text + "'"; }

std::string Section(int number, const std::string& name, const std::string& type,
                    const std::string& offset, const std::string& size, const std::string& file) {
  return "[UserPart" + std::to_string(number) + "]\nName=" + name + "\nType=" + type +
         "\nPartOffset=" + offset + "\nPartSize=" + size + "\nFlag=0\nFile=" + file + "\n";
}

std::set<std::string> Files(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& item : fs::directory_iterator(dir)) names.insert(item.path().filename());
  return names;
}

Bytes Range(const Bytes& bytes, uint64_t at, size_t length) {
  if (at + length > bytes.size()) return {};
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(at),
               bytes.begin() + static_cast<std::ptrdiff_t>(at + length));
}

// A payload of the configuration: its file and the sector it is packed at.
struct Payload {
  std::string file;
  uint32_t sector;
};

TEST(UnpackEveryPayload, EachPayloadComesOutAndPacksBackAtItsSectors) {
  const std::string system =
      "[System]\nFwVersion=1.2.3\nChip=AB\nModel=board\nLoader_Encrypt=0\nIDB_Boot_Encrypt=0\n" +
      Section(1, "IDBlock", "0x2", "0x40", "0x800", "ddr.bin,loader.bin");
  const struct {
    const char* what;
    std::string partitions;
    std::string warnings;                                        // what -P adds on standard error
    std::set<std::string> files;                                 // what -U writes
    std::string unpackNote;                                      // a line -U adds on standard error
    std::vector<Payload> packedBack;                             // payloads setting.ini packs again
    std::vector<std::pair<std::string, std::string>> extracted;  // -U file, payload
    int listIniExit;  // -L img ini: 0 when its configuration rebuilds the image
  } cases[] = {
      {"two partitions named data",
       Section(2, "data", "0x8", "0x1000", "0x10", "a.bin") +
           Section(3, "data", "0x8", "0x1100", "0x10", "b.bin"),
       "imgweld: cfg/setting.ini: [UserPart3]: partition name data is used by an earlier "
       "partition; -U writes this one's data as data.img.2\n",
       {"flashdata.bin", "flashboot.bin", "data.img", "data.img.2", "setting.ini"},
       "partition record 3: the partition name data is used by an earlier partition; -U writes "
       "this one's data as data.img.2\n",
       {{"a.bin", 0x1000}, {"b.bin", 0x1100}},
       {{"data.img", "a.bin"}, {"data.img.2", "b.bin"}},
       0},
      {"a second boot block partition",
       Section(2, "IDBlock2", "0x2", "0x1000", "0x800", "ddr.bin,loader.bin") +
           Section(3, "kernel", "0x8", "0x2000", "0x10", "a.bin"),
       "imgweld: cfg/setting.ini: [UserPart2]: a second boot block partition (Type 2): the "
       "tagged image builds only the boot block of [UserPart1], so this one holds no programs "
       "and -U writes no boot files for it\n",
       {"flashdata.bin", "flashboot.bin", "kernel.img", "setting.ini"},
       "partition record 2: the tagged image holds no boot programs for a boot block partition "
       "after the first; -U writes no boot files for it\n",
       {{"a.bin", 0x2000}},
       {{"kernel.img", "a.bin"}},
       0},
      {"a vendor-type partition with data",
       Section(2, "extra", "0x1", "0x1000", "0x10", "a.bin") +
           Section(3, "kernel", "0x8", "0x2000", "0x10", "b.bin"),
       "imgweld: cfg/setting.ini: [UserPart2]: a vendor-type partition (Type 1) with a File: the "
       "image holds its data, but the setting.ini -U writes leaves vendor-type partitions out, "
       "so packing that file does not write it back\n",
       {"flashdata.bin", "flashboot.bin", "extra.img", "kernel.img", "setting.ini"},
       "partition record 2: a vendor-type partition (Type 1) with data; -U writes it as "
       "extra.img, but setting.ini leaves vendor-type partitions out, so packing that file does "
       "not write it back; imgweld -L <image> ini lists a configuration that does\n",
       {{"b.bin", 0x2000}},
       {{"extra.img", "a.bin"}, {"kernel.img", "b.bin"}},
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    const std::string work = dir.Path().string();
    for (const char* sub : {"cfg", "out", "parts", "again"}) fs::create_directory(dir.Path() / sub);
    test::WriteBytes(work + "/cfg/ddr.bin", test::RandomBytes(3000, 1));
    test::WriteBytes(work + "/cfg/loader.bin", test::RandomBytes(9000, 2));
    test::WriteBytes(work + "/cfg/a.bin", test::RandomBytes(4000, 3));
    test::WriteBytes(work + "/cfg/b.bin", test::RandomBytes(5000, 4));
    test::WriteText(work + "/cfg/setting.ini", system + c.partitions);
    const std::string exe = test::ImgweldExe();

    const test::RunResult pack = test::RunShell("cd " + Quote(work) + " && " + exe +
                                                " -P cfg/setting.ini out 2>err.txt </dev/null");
    EXPECT_EQ(pack.exitCode, 0) << pack.output;
    EXPECT_TRUE(pack.output.ends_with("Generating firmware OK.\r\n")) << pack.output;
    EXPECT_EQ(test::ReadText(work + "/err.txt"), c.warnings);

    const test::RunResult unpack = test::RunShell(
        "cd " + Quote(work) + " && " + exe + " -U out/Firmware.img parts 2>err.txt </dev/null");
    EXPECT_EQ(unpack.exitCode, 0) << unpack.output;
    EXPECT_EQ(Files(dir.Path() / "parts"), c.files);
    EXPECT_EQ(test::ReadText(work + "/err.txt"), "imgweld: out/Firmware.img: " + c.unpackNote);
    // The boot files hold the programs of the boot block the image holds
    // (stored plain here), never an empty later record's nothing.
    EXPECT_EQ(test::ReadBytes(work + "/parts/flashdata.bin"),
              test::ReadBytes(work + "/cfg/ddr.bin"));
    EXPECT_EQ(test::ReadBytes(work + "/parts/flashboot.bin"),
              test::ReadBytes(work + "/cfg/loader.bin"));
    for (const auto& [file, payload] : c.extracted) {
      EXPECT_EQ(test::ReadBytes(work + "/parts/" + file), test::ReadBytes(work + "/cfg/" + payload))
          << file;
    }

    // -L ini names the files as -U wrote them, the vendor-type data too,
    // and checks that they pack back to the same bytes.
    const test::RunResult listed =
        test::RunShell("cd " + Quote(work) + " && " + exe + " -L out/Firmware.img ini 2>/dev/null");
    EXPECT_EQ(listed.exitCode, c.listIniExit) << listed.output;
    if (c.listIniExit == 0) {
      for (const auto& extracted : c.extracted) {
        EXPECT_NE(listed.output.find("\nFile=" + extracted.first + "\n"), std::string::npos)
            << extracted.first;
      }
    }

    const test::RunResult again = test::RunShell("cd " + Quote(work) + " && " + exe +
                                                 " -P parts/setting.ini again 2>/dev/null");
    ASSERT_EQ(again.exitCode, 0) << again.output;
    const Bytes image = test::ReadBytes(work + "/again/Firmware.img");
    for (const Payload& payload : c.packedBack) {
      const Bytes bytes = test::ReadBytes(work + "/cfg/" + payload.file);
      EXPECT_EQ(Range(image, uint64_t{payload.sector} * 512, bytes.size()), bytes) << payload.file;
    }
  }
}

}  // namespace
}  // namespace imgweld
