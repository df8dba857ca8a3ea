// Black-box tests of "-L" and "-V": they run the built executable on the
// example images and configurations, compare whole listings with fixtures,
// parse the JSON with Python's json module, and flip single bytes.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "cli/InspectTestSupport.h"
#include "image/Checksums.h"
#include "pack/PackTestSupport.h"
#include "support/TestSupport.h"

namespace imgweld::test {
namespace {

namespace fs = std::filesystem;

std::string Example(const std::string& name) {
  return SourceDir() + "/examples/" + name + "/setting.ini";
}

std::string Fixture(const std::string& name) {
  return ReadText(SourceDir() + "/tests/cli/fixtures/" + name);
}

// Runs `script` with Python over the JSON that "-L <file> json" prints;
// the script prints "ok" when its assertions hold.
std::string CheckJson(const std::string& file, const std::string& workDir,
                      const std::string& script) {
  const std::string command =
      "cd " + Quote(workDir) + " && " + Quote(ImgweldExe()) + " -L " + Quote(file) +
      " json | python3 -c " +
      Quote("import json, sys\nd = json.load(sys.stdin)\n" + script + "\nprint('ok')") + " 2>&1";
  return RunShell(command).output;
}

// "stored 0x..., computed 0x..." of a header whose checksum no longer holds,
// computed here from the checksum's definition.
std::string CrcText(const std::string& image) {
  const std::vector<uint8_t> bytes = ReadBytes(image);
  char text[64];
  std::snprintf(text, sizeof text, "stored 0x%08x, computed 0x%08x", Le32(bytes, 0x1FC),
                RefCrc32Msb(std::span<const uint8_t>(bytes).first(0x1FC)));
  return text;
}

class InspectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(board_);
    fs::create_directories(gpt_);
    PackFixed(Example("board"), board_, SourceDir());
    PackFixed(Example("gpt-board"), gpt_, SourceDir());
  }

  TempDir dir_;
  std::string board_ = dir_ / "board";
  std::string gpt_ = dir_ / "gpt";
};

TEST_F(InspectTest, ListingsOfTheExamplesAreTheFixtures) {
  const Outcome tagged = Imgweld({"-L", "Firmware.img"}, board_);
  EXPECT_EQ(tagged.exitCode, 0);
  EXPECT_EQ(tagged.out, Fixture("board.txt"));
  const Outcome gpt = Imgweld({"-l", "Firmware.img", "TEXT"}, gpt_);
  EXPECT_EQ(gpt.exitCode, 0);
  EXPECT_EQ(gpt.out, Fixture("gpt-board.txt"));
  const Outcome config = Imgweld({"-L", "examples/board/setting.ini"}, SourceDir());
  EXPECT_EQ(config.exitCode, 0);
  EXPECT_EQ(config.out, Fixture("board-config.txt"));
  EXPECT_EQ(tagged.err + gpt.err + config.err, "");
}

// What the GPT listing says agrees with sgdisk's reading of the same image.
TEST_F(InspectTest, PartitionTableListingAgreesWithSgdisk) {
  const std::string listing = Imgweld({"-L", "Firmware.img"}, gpt_).out;
  const std::string sgdisk = RunShell("sgdisk -p " + Quote(gpt_ + "/Firmware.img")).output;
  const size_t at = sgdisk.find("Disk identifier (GUID): ");
  ASSERT_NE(at, std::string::npos) << sgdisk;
  const std::string guid = sgdisk.substr(at + 24, 36);
  EXPECT_NE(listing.find("disk guid        " + guid + "\n"), std::string::npos) << listing;
  EXPECT_NE(sgdisk.find("   4             288             383"), std::string::npos);
  EXPECT_NE(listing.find("3  boot     0FC63DAF-8483-4772-8E79-3D69D8477DE4"), std::string::npos);
  EXPECT_NE(listing.find("0x120  0x17f"), std::string::npos);
  EXPECT_EQ(
      RunShell("sgdisk -v " + Quote(gpt_ + "/Firmware.img") + " | grep -c 'No problems'").output,
      "1\n");
}

TEST_F(InspectTest, JsonOfEveryFormParsesWithStableKeys) {
  EXPECT_EQ(CheckJson("Firmware.img", board_, R"(
assert d['kind'] == 'tagged' and d['file'] == 'Firmware.img' and d['ok'] is True
h = d['header']
assert (h['tag'], h['version'], h['chip'], h['model']) == ('ZVFP', '1.2.3', 'ZB10', 'imgweld demo board')
assert h['date'] == '2024-03-05T14:07:09' and h['backup'] is True
assert h['image_length'] == d['length'] == 258048
assert h['header_crc']['ok'] and h['table_crc']['ok']
assert [r['name'] for r in d['records']] == ['vendor', 'IDBlock', 'uboot', 'misc', 'boot', 'backup', 'rootfs']
assert [r['flags'] for r in d['records'][3:]] == [['fill'], [], ['skip'], ['grow']]
assert d['records'][6]['size'] == 0xFFFFFFFF and d['records'][2]['data_length'] == 12288
b = d['boot_block']
assert (b['layout'], b['ddr_length'], b['loader_length']) == ('standard', 3000, 9000)
assert b['programs_scrambled'] is True and b['control_sectors'] == 'scrambled'
assert (b['first_copy_sector'], b['second_copy_sector'], b['copies_equal']) == (0x40, 0x80, True)
assert d['vendor_area']['fill_byte'] == 0xFF and d['vendor_area']['uniform'] is True
assert d['backup_block'] == {'present': True, 'position': 0x3E000, 'equal': True}
assert all(c['status'] == 'ok' for c in d['checks'])
)"),
            "ok\n");
  EXPECT_EQ(CheckJson("Firmware.img", gpt_, R"(
assert d['kind'] == 'gpt' and d['layout'] == 'padded' and d['ok'] is True
assert (d['first_usable_lba'], d['last_usable_lba'], d['disk_sectors']) == (34, 0x1FF, 0x221)
p = d['partitions']
assert [x['name'] for x in p] == ['IDBlock', 'uboot', 'misc', 'boot', 'rootfs']
assert p[3]['type_guid'] == '0FC63DAF-8483-4772-8E79-3D69D8477DE4'
assert (p[3]['first_lba'], p[3]['last_lba'], p[3]['data_length']) == (0x120, 0x17F, 12000)
assert d['backup_header_position'] == 0x220 * 512
)"),
            "ok\n");
  EXPECT_EQ(CheckJson("examples/gpt-compact/setting.ini", SourceDir(), R"(
assert d['kind'] == 'configuration' and d['form'] == 'gpt-compact' and d['ok'] is True
assert d['refusal'] is None and d['gaps'] == [] and d['version'] is None
p = d['partitions']
assert [x['file'] for x in p] == ['../gpt-board/ddr.bin,../gpt-board/loader.bin', '../gpt-board/boot.img', '../gpt-board/rootfs.img']
assert p[1]['type_guid'] == 'linux' and p[0]['sectors'] == {'first': 64, 'last': 191}
assert d['image_length'] == 17408 + p[0]['data_length'] + 12000 + 20000
)"),
            "ok\n");
}

// Names are bytes: quotes, backslashes, control bytes and bytes above 0x7F
// come back from the JSON string when it is encoded as Latin-1.
TEST_F(InspectTest, JsonCarriesAnyNameByte) {
  const std::string cfg = dir_ / "odd";
  fs::create_directories(cfg);
  WriteBytes(cfg + "/p.bin", RandomBytes(100, 3));
  fs::copy(SourceDir() + "/examples/board/ddr.bin", cfg);
  fs::copy(SourceDir() + "/examples/board/loader.bin", cfg);
  WriteText(cfg + "/setting.ini",
            "[System]\nFwVersion=1\n"
            "[UserPart1]\nName=IDBlock\nType=2\nPartOffset=0x40\nPartSize=0x80\nFile=ddr.bin,"
            "loader.bin\n"
            "[UserPart2]\nName=q\"b\\s\x01\xe9\nType=8\nPartOffset=0xC0\nPartSize=1\nFile=p.bin\n");
  PackFixed("setting.ini", ".", cfg);
  EXPECT_EQ(CheckJson("Firmware.img", cfg,
                      "assert d['records'][2]['name'].encode('latin-1') == b'q\"b\\\\s\\x01\\xe9'"),
            "ok\n");
  // Text shows the control byte and the byte that is no UTF-8 escaped.
  EXPECT_NE(Imgweld({"-L", "Firmware.img"}, cfg).out.find("q\"b\\s\\x01\\xE9"), std::string::npos);
}

TEST_F(InspectTest, ExitCodesSayWhatTheFileIs) {
  // A damaged image is still listed, as far as it reads.
  FlipByte(board_ + "/Firmware.img", 0x30);
  const Outcome damaged = Imgweld({"-L", "Firmware.img"}, board_);
  EXPECT_EQ(damaged.exitCode, 4);
  EXPECT_NE(damaged.out.find("6  rootfs   0x8   0x1c0"), std::string::npos) << damaged.out;
  EXPECT_EQ(FailedChecks(damaged.out), (std::set<std::string>{"header crc", "backup block"}));
  EXPECT_TRUE(damaged.out.ends_with("verdict: damaged, 2 of 17 checks failed\n")) << damaged.out;

  // In ini (and json) mode standard output holds the document or nothing:
  // the failure's line goes to standard error.
  const struct {
    std::vector<std::string> args;
    std::string workDir;
    int exitCode;
    std::string out;
    std::string err = {};
  } cases[] = {
      {{"-L", "missing.img"}, board_, 4, "UnPacking Error:Opening missing.img failed, err=2!\r\n"},
      {{"-L", "."}, board_, 4, "UnPacking Error:Opening . failed, err=21!\r\n"},
      {{"-L", "Firmware.md5"},
       board_,
       4,
       "UnPacking Error:Firmware.md5 is neither a tagged firmware image, a partition-table image "
       "nor a configuration!\r\n"},
      {{"-L", "Firmware.md5", "json"},
       board_,
       4,
       "",
       "imgweld: Firmware.md5: Firmware.md5 is neither a tagged firmware image, a partition-table "
       "image nor a configuration!\n"},
      {{"-L", "missing.img", "json"},
       board_,
       4,
       "",
       "imgweld: missing.img: Opening missing.img failed, err=2!\n"
       "imgweld: missing.img: No such file or directory\n"},
      {{"-V", "examples/board/setting.ini"},
       SourceDir(),
       4,
       "UnPacking Error:examples/board/setting.ini is neither a tagged firmware image nor a "
       "partition-table image!\r\n"},
      {{"-L", "examples/board/setting.ini", "Ini"},
       SourceDir(),
       4,
       "",
       "imgweld: examples/board/setting.ini: examples/board/setting.ini is a configuration, only a "
       "tagged image is listed as one!\n"},
      {{"-L", "Firmware.img", "ini"},
       board_,
       4,
       "",
       "imgweld: Firmware.img: cannot be rebuilt exactly, it is damaged: header crc: " +
           CrcText(board_ + "/Firmware.img") + "\n"},
  };
  for (const auto& c : cases) {
    const Outcome outcome = Imgweld(c.args, c.workDir);
    EXPECT_EQ(outcome.exitCode, c.exitCode) << c.args[1];
    EXPECT_EQ(outcome.out, c.out) << c.args[1];
    if (!c.err.empty()) {
      EXPECT_EQ(outcome.err, c.err) << c.args[1];
    }
  }
}

// A configuration -P refuses: -L lists what it read and ends with the very
// lines -P prints for the refusal, and exits as -P does.
TEST_F(InspectTest, RefusedConfigurationEndsWithTheRefusalOfPack) {
  const std::string cfg = dir_ / "cfg";
  fs::copy(SourceDir() + "/examples/board", cfg);
  std::string text = ReadText(cfg + "/setting.ini");
  text.replace(text.find("PartOffset=0x120"), 16, "PartOffset=0xD0");
  WriteText(cfg + "/setting.ini", text);
  const Outcome listed = Imgweld({"-L", "setting.ini"}, cfg);
  EXPECT_FALSE(fs::exists(cfg + "/Firmware.img"));  // -L writes nothing
  const Outcome packed = Imgweld({"-P", "setting.ini", "."}, cfg);
  EXPECT_EQ(listed.exitCode, 3);
  EXPECT_EQ(packed.exitCode, 3);
  const std::vector<std::string> errors = LinesStartingWith(packed.out, "Packing Error:");
  ASSERT_EQ(errors.size(), 1u) << packed.out;
  EXPECT_TRUE(listed.out.ends_with("refused by -P:\n" + errors[0] + "\n")) << listed.out;
  EXPECT_NE(listed.out.find("4  boot     0x8   0xd0-0x12f"), std::string::npos) << listed.out;

  // A missing boot program: -P names it twice, and so does the refusal.
  text = ReadText(SourceDir() + "/examples/board/setting.ini");
  text.replace(text.find("ddr.bin,loader.bin"), 18, "ddr.bin,gone.bin");
  WriteText(cfg + "/setting.ini", text);
  const Outcome missing = Imgweld({"-L", "setting.ini", "json"}, cfg);
  EXPECT_EQ(missing.exitCode, 3);
  EXPECT_NE(missing.out.find("\"refusal\": \"Packing Error:Opening gone.bin failed, err=2!\\r\\n"
                             "Packing Error:Opening gone.bin failed, err=2!\\r\\n\""),
            std::string::npos)
      << missing.out;
}

struct Flip {
  const char* region;
  uint64_t at;
  std::set<std::string> failed;  // besides md5
};

// One flipped byte in each region of the tagged image fails the check that
// guards it; a payload is guarded by the digest alone.
TEST_F(InspectTest, VerifyCatchesOneFlippedByteInEachRegion) {
  const std::string image = board_ + "/Firmware.img";
  const Outcome clean = Imgweld({"-V", "Firmware.img"}, board_);
  EXPECT_EQ(clean.exitCode, 0) << clean.out;
  EXPECT_EQ(FailedChecks(clean.out), std::set<std::string>{});
  EXPECT_TRUE(clean.out.starts_with("md5               ok  Firmware.md5 matches\n")) << clean.out;
  EXPECT_TRUE(clean.out.ends_with("verdict: ok, every check holds\n"));

  const std::vector<uint8_t> original = ReadBytes(image);
  const Flip flips[] = {
      // The backup block mirrors header and table, so it no longer does.
      {"header", 0x30, {"header crc", "backup block"}},
      // uboot moves from sector 0xc0 to 0xc1 and so runs into misc at 0x100.
      {"table", 0x200 + 2 * 128 + 0x24, {"table crc", "backup block", "overlap"}},
      {"payload", 0xC0 * 512 + 100, {}},
      {"vendor area", 0x5000, {}},
      {"backup block", 0x3E000 + 0x40, {"backup block"}},
      {"boot block, first copy", 0x40 * 512 + 2048 + 10, {"boot copies", "boot code crc"}},
      {"boot block, second copy", 0x80 * 512 + 2048 + 10, {"boot copies"}},
      {"boot block, signature",
       0x40 * 512 + 512 + 10,
       {"boot copies", "boot signature", "boot sector crcs"}},
  };
  for (const Flip& flip : flips) {
    SCOPED_TRACE(flip.region);
    WriteBytes(image, original);
    FlipByte(image, flip.at);
    const Outcome verified = Imgweld({"-V", "Firmware.img"}, board_);
    EXPECT_EQ(verified.exitCode, 4);
    std::set<std::string> expected = flip.failed;
    expected.insert("md5");
    EXPECT_EQ(FailedChecks(verified.out), expected) << verified.out;
    const Outcome unhashed = Imgweld({"-v", "Firmware.img", "OffCheck"}, board_);
    EXPECT_EQ(unhashed.exitCode, flip.failed.empty() ? 0 : 4);
    EXPECT_EQ(FailedChecks(unhashed.out), flip.failed);
    EXPECT_NE(unhashed.out.find("md5               n/a  not compared (offcheck)"),
              std::string::npos);
  }
}

TEST_F(InspectTest, VerifyCatchesDamageInEachPartOfAPartitionTableImage) {
  const std::string image = gpt_ + "/Firmware.img";
  EXPECT_EQ(Imgweld({"-V", "Firmware.img"}, gpt_).exitCode, 0);
  const std::vector<uint8_t> original = ReadBytes(image);
  const Flip flips[] = {
      {"protective mbr", 454, {"protective mbr"}},
      {"header", 512 + 60, {"header crc", "backup gpt"}},
      {"array", 1024 + 128 + 40, {"array crc", "backup gpt"}},
      {"entry beyond the disk", 0, {}},  // filled in below
      {"backup header", 0x220 * 512 + 60, {"backup gpt"}},
      {"backup array", 0x200 * 512 + 5, {"backup gpt"}},
  };
  for (const Flip& flip : flips) {
    SCOPED_TRACE(flip.region);
    std::vector<uint8_t> bytes = original;
    if (flip.at != 0) {
      bytes[flip.at] ^= 1;
    } else {
      // The last entry's last sector past the last usable one, with both
      // checksums fixed, so only the bounds check can tell.
      bytes[1024 + 4 * 128 + 41] = 0x10;
      uint32_t crc = Crc32(std::span<const uint8_t>(bytes).subspan(1024, 16384), 0);
      for (int i = 0; i < 4; ++i) bytes[512 + 88 + i] = static_cast<uint8_t>(crc >> (8 * i));
      for (int i = 0; i < 4; ++i) bytes[512 + 16 + i] = 0;
      crc = Crc32(std::span<const uint8_t>(bytes).subspan(512, 92), 0);
      for (int i = 0; i < 4; ++i) bytes[512 + 16 + i] = static_cast<uint8_t>(crc >> (8 * i));
    }
    WriteBytes(image, bytes);
    const Outcome verified = Imgweld({"-V", "Firmware.img"}, gpt_);
    EXPECT_EQ(verified.exitCode, 4);
    const std::set<std::string> expected =
        flip.at != 0 ? flip.failed : std::set<std::string>{"entry 4 rootfs", "backup gpt"};
    EXPECT_EQ(FailedChecks(verified.out), expected) << verified.out;
  }
}

// Control sectors scrambled with another key cannot be read: the checks
// that need them say so instead of failing; the others are still made.
TEST_F(InspectTest, ChecksThatNeedTheKeySayWhenItDoesNotFit) {
  const std::string image = board_ + "/Firmware.img";
  std::vector<uint8_t> bytes = ReadBytes(image);
  for (const size_t copy : {size_t{0x40}, size_t{0x80}}) {
    for (const size_t sector : {0, 2, 3}) {
      const std::span<uint8_t> data = std::span(bytes).subspan((copy + sector) * 512, 512);
      Rc4Crypt(data);
      for (size_t i = 0; i < data.size(); ++i) data[i] ^= static_cast<uint8_t>(0x5A + i);
    }
  }
  WriteBytes(image, bytes);
  const Outcome verified = Imgweld({"-V", "Firmware.img", "offcheck"}, board_);
  EXPECT_EQ(verified.exitCode, 0) << verified.out;
  for (const char* line :
       {"boot copies       ok   equal at sectors 0x40 and 0x80\n",
        "boot signature    ok   \"ZV28\", as the record's layout\n",
        "boot sectors      n/a  cannot be made: the control sectors read neither plain nor with "
        "the key\n",
        "boot code crc     n/a  cannot be made without the check sector\n"}) {
    EXPECT_NE(verified.out.find(line), std::string::npos) << line << verified.out;
  }
  EXPECT_NE(Imgweld({"-L", "Firmware.img"}, board_)
                .out.find("control sectors  unknown, the key does not fit\n"),
            std::string::npos);
}

// -U tells on standard error, after its usual output, when the programs
// were extracted scrambled; its standard output stays as it was.
TEST_F(InspectTest, UnpackNotesScrambledProgramsOnStandardError) {
  fs::create_directories(dir_ / "parts");
  const Outcome scrambled = Imgweld({"-U", "board/Firmware.img", "parts"}, dir_.Path());
  EXPECT_EQ(scrambled.exitCode, 0);
  EXPECT_TRUE(scrambled.out.ends_with("Unpacking firmware OK.\r\n"));
  EXPECT_EQ(scrambled.err,
            "imgweld: board/Firmware.img: the boot programs were extracted scrambled, as stored, "
            "and the regenerated setting.ini scrambles them again when packed; imgweld -L "
            "board/Firmware.img ini prints a configuration that rebuilds the image\n");

  const std::string nano = dir_ / "nano";
  fs::create_directories(nano);
  PackFixed(Example("nano-board"), nano, SourceDir());  // Loader_Encrypt=0
  const Outcome plain = Imgweld({"-U", "nano/Firmware.img", "parts"}, dir_.Path());
  EXPECT_EQ(plain.exitCode, 0);
  EXPECT_EQ(plain.err, "");
}

TEST(InspectCommandLine, ArgumentsOfTheNewCommands) {
  TempDir dir;
  // Three or four arguments; five or two are usage faults (tested with the
  // other command words in CommandLineTest).
  const Outcome five = Imgweld({"-L", "a", "text", "more"}, dir.Path());
  EXPECT_EQ(five.exitCode, 2);
  EXPECT_TRUE(five.out.starts_with("\r\n----------------Imgweld v1.38"));
  const Outcome mode = Imgweld({"-L", "a", "xml"}, dir.Path());
  EXPECT_EQ(mode.exitCode, 2);
  EXPECT_EQ(mode.out, "command is invalid!\r\n");
  EXPECT_EQ(mode.err, "imgweld: -L: unknown mode xml, expected text, json or ini\n");
  const Outcome alone = Imgweld({"-V"}, dir.Path());
  EXPECT_EQ(alone.exitCode, 2);
  EXPECT_TRUE(alone.out.starts_with("\r\n----------------Imgweld v1.38"));
  EXPECT_EQ(alone.err,
            "imgweld: -V: missing the image to verify; usage: imgweld -V <image> [offcheck] "
            "[json]\n");
  EXPECT_TRUE(fs::is_empty(dir.Path()));
}

}  // namespace
}  // namespace imgweld::test
