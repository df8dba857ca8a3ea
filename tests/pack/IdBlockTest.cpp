#include <gtest/gtest.h>

#include <filesystem>

#include "common/File.h"
#include "image/Checksums.h"
#include "image/FirmwareImage.h"
#include "pack/IdBlock.h"
#include "pack/OpenImageTest.h"
#include "pack/PackTestSupport.h"
#include "pack/PayloadPlan.h"
#include "support/TestSupport.h"

namespace imgweld::test {
namespace {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& bytes, size_t at, uint16_t value) {
  bytes[at] = static_cast<uint8_t>(value);
  bytes[at + 1] = static_cast<uint8_t>(value >> 8);
}
void Put32(Bytes& bytes, size_t at, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}
void PutText(Bytes& bytes, size_t at, const std::string& text) {
  std::copy(text.begin(), text.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
}
void Place(Bytes& block, size_t at, const Bytes& data) {
  std::copy(data.begin(), data.end(), block.begin() + static_cast<std::ptrdiff_t>(at));
}
void Scramble(Bytes& block, size_t at, size_t length) {
  Rc4Crypt(std::span<uint8_t>(block).subspan(at, length));
}
// Whole 512-byte blocks of a program scrambled; a final partial block plain.
Bytes StoredProgram(Bytes program, bool scramble) {
  if (!scramble) return program;
  for (size_t at = 0; at + 512 <= program.size(); at += 512) Scramble(program, at, 512);
  return program;
}

// The boot block as its layout tables describe it, assembled here from scratch.
Bytes ExpectedBlock(bool nano, const Bytes& ddr, const Bytes& loader, uint32_t ddrSectors,
                    uint32_t loaderSectors, bool scramblePrograms, bool scrambleSectors) {
  Bytes header(512, 0), signature(512, 0), check(512, 0);
  const Bytes spare(512, 0);
  Put32(header, 0, 0x0FF0AA55);
  Put32(header, 8, scramblePrograms ? 0 : 1);
  Put16(signature, 0, 12);
  const uint32_t sectors = nano ? 20 + loaderSectors : 4 + ddrSectors + loaderSectors;
  Bytes block(sectors * 512, 0);
  const Bytes storedDdr = StoredProgram(ddr, scramblePrograms);
  const Bytes storedLoader = StoredProgram(loader, scramblePrograms);
  uint32_t bootCodeSectors;
  if (nano) {
    Put32(header, 56, 20);
    Put32(header, 60, loaderSectors);
    Put32(header, 64, 4);
    Put32(header, 68, 8);
    Put32(header, 72, 12);
    Put32(header, 76, 8);
    Bytes ddrArea(4096, 0);
    Place(ddrArea, 0, ddr);
    for (size_t k = 0; k < 8; ++k) {
      Put16(header, 80 + 2 * k,
            RefCrcCcitt(std::span<const uint8_t>(ddrArea).subspan(512 * k, 512)));
    }
    Put16(signature, 4, 0xFFFF);
    PutText(signature, 10, "NANO");
    Place(block, 2048, storedDdr);
    Place(block, 6144, storedDdr);
    Place(block, 10240, storedLoader);
    bootCodeSectors = 16 + loaderSectors;
  } else {
    Put16(header, 12, 4);
    Put16(header, 14, 4);
    Put16(header, 506, static_cast<uint16_t>(ddrSectors));
    Put16(header, 508, static_cast<uint16_t>(ddrSectors + loaderSectors));
    Put16(signature, 2, 0xFFFF);
    PutText(signature, 10, "ZV28");
    Place(block, 2048, storedDdr);
    Place(block, (4 + ddrSectors) * 512, storedLoader);
    bootCodeSectors = ddrSectors + loaderSectors;
  }
  PutText(check, 491, std::string("VC\0", 3));
  Put16(check, 494, RefCrc16(header));
  Put16(check, 496, RefCrc16(signature));
  Put32(check, 498,
        RefCrc32Msb(std::span<const uint8_t>(block).subspan(2048, bootCodeSectors * 512)));
  PutText(check, 506, std::string("CRC\0", 4));
  Put16(check, 510, RefCrc16(spare));
  Place(block, 0, header);
  Place(block, 512, signature);
  Place(block, 1024, check);
  if (scrambleSectors) {
    Scramble(block, 0, 512);
    Scramble(block, 1024, 512);
    if (!nano) Scramble(block, 1536, 512);
  }
  return block;
}

class IdBlockTest : public OpenImageTest {
 protected:
  void Programs(size_t ddrLength, size_t loaderLength) {
    ddr_ = RandomBytes(ddrLength, 11);
    loader_ = RandomBytes(loaderLength, 12);
    WriteBytes(dir_ / "ddr.bin", ddr_);
    WriteBytes(dir_ / "loader.bin", loader_);
  }

  // Writes the boot block of a partition at `offset` with `size` sectors.
  bool Write(const std::string& system, uint32_t offset, uint32_t size,
             const std::string& files = "ddr.bin,loader.bin") {
    Configure("[System]\n" + system);
    entry_ = PartitionEntry{};
    entry_.SetName("IDBlock");
    entry_.type = PART_TYPE_IDBLOCK;
    entry_.offset = offset;
    entry_.size = size;
    entry_.sourceFile = files;
    const uint32_t predicted = GetIdBlockSize(context_, entry_);
    const bool written = WritePlanned(
        [&](PlanBuilder& plan) { PlanIdBlockSteps(plan, context_, entry_, entry_.sourceFile); });
    if (written) {
      EXPECT_EQ(predicted, entry_.dataLength);
    }
    return written;
  }

  PartitionEntry entry_;
  Bytes ddr_, loader_;
};

TEST_F(IdBlockTest, BothLayoutsWithAndWithoutScrambling) {
  const struct {
    bool nano;
    size_t ddrLength, loaderLength;
    std::string encrypt;  // extra System lines
    uint32_t ddrSectors, loaderSectors;
    bool scramblePrograms, scrambleSectors;
  } cases[] = {
      // the defaults scramble both programs and control sectors
      {false, 4096, 10000, "", 8, 20, true, true},
      {false, 700, 2049, "Loader_Encrypt=0\nIDB_Boot_Encrypt=0\n", 4, 8, false, false},
      // 256 has low byte 0: programs stay plain; no DDR program at all
      {false, 0, 1, "Loader_Encrypt=256\n", 0, 4, false, true},
      {false, 2048, 700, "IDB_Boot_Encrypt=0\n", 4, 4, true, false},
      {true, 4096, 10000, "", 8, 20, true, true},
      {true, 700, 100, "Loader_Encrypt=0\nIDB_Boot_Encrypt=0\n", 4, 4, false, false},
      {true, 1000, 3000, "IDB_Boot_Encrypt=0\n", 4, 8, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "nano=" << c.nano << " ddr=" << c.ddrLength << " loader=" << c.loaderLength);
    TempDir dir;
    File file;
    ASSERT_TRUE(file.Open(dir / "Firmware.img", "wb+"));
    StringOutput out;
    ConfigDocument document;
    ParseConfig(document, std::string("[System]\n") + (c.nano ? "Nano=1\n" : "") + c.encrypt);
    const PackOptions options = ResolvePackOptions(document, dir.Path().string());
    PackContext context{options, out};
    ImageWriter image(file, "Firmware.img", 0, out);
    const Bytes ddr = RandomBytes(c.ddrLength, 1);
    const Bytes loader = RandomBytes(c.loaderLength, 2);
    WriteBytes(dir / "ddr.bin", ddr);
    WriteBytes(dir / "loader.bin", loader);
    PartitionEntry entry;
    entry.type = PART_TYPE_IDBLOCK;
    entry.offset = 64;
    entry.size = 0x400;
    entry.sourceFile = "ddr.bin,loader.bin";

    PlanBuilder builder;
    PlanIdBlockSteps(builder, context, entry, entry.sourceFile);
    ImagePlan plan = builder.Finish();
    ASSERT_TRUE(WritePlannedImage(plan, image, out)) << out.Text();
    ASSERT_TRUE(file.Close());
    const Bytes expected = ExpectedBlock(c.nano, ddr, loader, c.ddrSectors, c.loaderSectors,
                                         c.scramblePrograms, c.scrambleSectors);
    const Bytes bytes = ReadBytes(dir / "Firmware.img");
    ASSERT_EQ(bytes.size(), (64 + 0x400) * 512u);
    EXPECT_EQ(Slice(bytes, 32768, expected.size()), expected);
    EXPECT_EQ(entry.dataLength, expected.size());
    const BootFields fields = GetBootFields(entry);
    EXPECT_EQ(fields.bootLayout, c.nano ? 1 : 0);
    EXPECT_EQ(fields.firstFileLength, c.ddrLength);
    EXPECT_EQ(fields.secondFileLength, c.loaderLength);
    EXPECT_EQ(out.Text(), "");

    // Read back: the stored header deciphers to the plain one with the magic,
    // and the signature sector is never scrambled.
    Bytes header = Slice(bytes, 32768, 512);
    if (c.scrambleSectors) Rc4Crypt(header);
    EXPECT_EQ(Le32(header, 0), 0x0FF0AA55u);
    EXPECT_EQ(Le32(header, 8), c.scramblePrograms ? 0u : 1u);
    EXPECT_EQ(Text(bytes, 32768 + 512 + 10, 4), c.nano ? "NANO" : "ZV28");
    Bytes check = Slice(bytes, 32768 + 1024, 512);
    if (c.scrambleSectors) Rc4Crypt(check);
    EXPECT_EQ(Le16(check, 494), RefCrc16(header));
    EXPECT_EQ(Le16(check, 510), 0);
  }
}

TEST_F(IdBlockTest, WorkedExampleOfTheStandardLayout) {
  Programs(4096, 10000);
  ASSERT_TRUE(Write("IDB_Boot_Encrypt=0\nLoader_Encrypt=0\n", 64, 0x800));
  const Bytes bytes = Image();
  EXPECT_EQ(entry_.dataLength, 16384u);
  EXPECT_EQ(Le16(bytes, 32768 + 506), 8);
  EXPECT_EQ(Le16(bytes, 32768 + 508), 28);
  EXPECT_EQ(Slice(bytes, 32768 + 12 * 512, loader_.size()), loader_);  // loader at sector 12
}

TEST_F(IdBlockTest, ScrambledSparesAreTheKeyStreamAndPartialBlocksStayPlain) {
  Programs(700, 100);
  ASSERT_TRUE(Write("", 64, 0x400));
  const Bytes bytes = Image();
  Bytes keyStream(512, 0);
  Rc4Crypt(keyStream);
  EXPECT_EQ(Slice(bytes, 32768 + 1536, 512), keyStream);
  // 700 bytes: the first 512 scrambled, the last 188 plain.
  EXPECT_NE(Slice(bytes, 32768 + 2048, 512), Slice(ddr_, 0, 512));
  EXPECT_EQ(Slice(bytes, 32768 + 2048 + 512, 188), Slice(ddr_, 512, 188));
}

TEST_F(IdBlockTest, TwoCopiesAtStartAndMiddlePaddedToTheEndAndOffsetRaisedTo64) {
  Programs(4096, 10000);
  ASSERT_TRUE(Write("", 10, 2048));
  EXPECT_EQ(entry_.offset, 64u);
  const Bytes bytes = Image();
  ASSERT_EQ(bytes.size(), 2112u * 512);
  EXPECT_TRUE(AllBytesAre(bytes, 0, 32768, 0xFF));
  const Bytes first = Slice(bytes, 64 * 512, 16384);
  Bytes header = Slice(first, 0, 512);
  Rc4Crypt(header);
  EXPECT_EQ(Le32(header, 0), 0x0FF0AA55u);
  EXPECT_TRUE(AllBytesAre(bytes, 64 * 512 + 16384, (1088 - 64) * 512 - 16384, 0xFF));
  EXPECT_EQ(Slice(bytes, 1088 * 512, 16384), first);
  EXPECT_TRUE(AllBytesAre(bytes, 1088 * 512 + 16384, (2112 - 1088) * 512 - 16384, 0xFF));
}

TEST_F(IdBlockTest, GapModeSpreadsEvery2048BytesOverTwiceTheRoom) {
  Programs(4096, 10000);
  ASSERT_TRUE(Write("BLANK_GAP=1\nIDB_Boot_Encrypt=0\nLoader_Encrypt=0\n", 64, 128));
  EXPECT_EQ(entry_.dataLength, 32768u);
  const Bytes bytes = Image();
  const Bytes plain = ExpectedBlock(false, ddr_, loader_, 8, 20, false, false);
  for (size_t k = 0; k < 8; ++k) {
    EXPECT_EQ(Slice(bytes, 32768 + 4096 * k, 2048), Slice(plain, 2048 * k, 2048)) << k;
    EXPECT_TRUE(AllBytesAre(bytes, 32768 + 4096 * k + 2048, 2048, 0)) << k;
  }
  EXPECT_EQ(Slice(bytes, 32768 + 64 * 512, 32768), Slice(bytes, 32768, 32768));
}

TEST_F(IdBlockTest, CompactLayoutWritesOneCopyAtTheCurrentPosition) {
  Programs(100, 100);
  const Bytes before = RandomBytes(100, 3);
  ASSERT_TRUE(image_.Write(before));
  ASSERT_TRUE(Write("Gpt_Enable=1\n", 64, 0x800));
  const Bytes bytes = Image();
  ASSERT_EQ(bytes.size(), 100u + 12 * 512);
  EXPECT_EQ(Slice(bytes, 0, 100), before);
  EXPECT_EQ(Text(bytes, 100 + 512 + 10, 4), "ZV28");
}

TEST_F(IdBlockTest, PartitionMustHoldBothCopies) {
  Programs(4096, 10000);  // 32 sectors
  EXPECT_FALSE(Write("", 64, 63));
  EXPECT_EQ(
      out_.Text(),
      "Packing Error:idblock partition IDBlock is too small for two copies of the idblock!\r\n");
  out_.Clear();
  EXPECT_FALSE(Write("BLANK_GAP=1\n", 64, 127));  // 64 sectors in gap mode
  EXPECT_NE(out_.Text().find("too small"), std::string::npos);
  out_.Clear();
  EXPECT_TRUE(Write("BLANK_GAP=0\n", 64, 64)) << out_.Text();
}

TEST_F(IdBlockTest, ProgramsThatDoNotFitTheLayoutAreRefused) {
  Programs(4097, 100);
  EXPECT_FALSE(Write("Nano=1\n", 64, 0x800));
  EXPECT_EQ(out_.Text(),
            "Packing Error:ddr file ddr.bin is larger than 4096 bytes in nano mode!\r\n");
  EXPECT_EQ(GetIdBlockSize(context_, PartitionEntry{.type = 2, .sourceFile = "ddr.bin,loader.bin"}),
            kIdBlockFailed);

  // In the Nano layout the 16-bit sector counts are checked before the DDR
  // copy area: 33552384 bytes is the longest program whose count fits.
  // Sparse files: only the lengths matter before anything is read.
  const std::string nanoText =
      "Packing Error:ddr file ddr.bin is larger than 4096 bytes in nano mode!\r\n";
  const std::string tooLarge = "Packing Error:idblock files ddr.bin,loader.bin are too large!\r\n";
  const struct {
    uintmax_t ddr, loader;
    const std::string& text;
  } nanoRows[] = {{4097, 33552384, nanoText},
                  {4097, 33552385, tooLarge},
                  {33552384, 100, nanoText},
                  {33552385, 100, tooLarge}};
  for (const auto& row : nanoRows) {
    std::filesystem::resize_file(dir_ / "ddr.bin", row.ddr);
    std::filesystem::resize_file(dir_ / "loader.bin", row.loader);
    out_.Clear();
    EXPECT_FALSE(Write("Nano=1\n", 64, 0x800));
    EXPECT_EQ(out_.Text(), row.text) << row.ddr << " " << row.loader;
  }

  std::filesystem::resize_file(dir_ / "ddr.bin", 4097);
  std::filesystem::resize_file(dir_ / "loader.bin", 33552385);  // 65536 sectors
  out_.Clear();
  EXPECT_FALSE(Write("Nano=0\n", 64, 0x800));
  EXPECT_EQ(out_.Text(), "Packing Error:idblock files ddr.bin,loader.bin are too large!\r\n");

  // A program of the longest length fits the standard layout beside an
  // empty one: 65532 sectors and 4 control sectors. The block is then
  // refused only by the partition of 0x800 sectors it does not fit twice.
  std::filesystem::resize_file(dir_ / "ddr.bin", 33552384);
  std::filesystem::resize_file(dir_ / "loader.bin", 0);
  out_.Clear();
  EXPECT_EQ(GetIdBlockSize(context_, PartitionEntry{.type = 2, .sourceFile = "ddr.bin,loader.bin"}),
            65536 * 512);
  EXPECT_FALSE(Write("Nano=0\n", 64, 0x800));
  EXPECT_NE(out_.Text().find("is too small for two copies of the idblock!"), std::string::npos)
      << out_.Text();

  // Each count fits 16 bits, their sum at header byte 508 does not.
  std::filesystem::resize_file(dir_ / "ddr.bin", 16 << 20);
  std::filesystem::resize_file(dir_ / "loader.bin", 16 << 20);
  out_.Clear();
  EXPECT_FALSE(Write("", 64, 0x800));
  EXPECT_EQ(out_.Text(), "Packing Error:idblock files ddr.bin,loader.bin are too large!\r\n");
  EXPECT_EQ(GetIdBlockSize(context_, PartitionEntry{.type = 2, .sourceFile = "ddr.bin,loader.bin"}),
            kIdBlockFailed);
}

// Programs given as -U extracts them (scrambled) are deciphered and packed as
// with Loader_Encrypt=1, so the Nano checksums cover the plain DDR program;
// Loader_Scrambled overrides a Loader_Encrypt of 0.
TEST_F(IdBlockTest, ProgramsGivenScrambledBuildTheBlockOfThePlainPrograms) {
  for (const bool nano : {false, true}) {
    SCOPED_TRACE(nano ? "nano" : "standard");
    TempDir dir;
    const Bytes ddr = RandomBytes(1500, 21);
    const Bytes loader = RandomBytes(5000, 22);
    WriteBytes(dir / "ddr.bin", StoredProgram(ddr, true));
    WriteBytes(dir / "loader.bin", StoredProgram(loader, true));
    ConfigDocument document;
    ParseConfig(document, std::string("[System]\nLoader_Scrambled=1\nLoader_Encrypt=0\n") +
                              (nano ? "Nano=1\n" : ""));
    const PackOptions options = ResolvePackOptions(document, dir.Path().string());
    StringOutput out;
    const PackContext context{options, out};
    PartitionEntry entry;
    entry.type = PART_TYPE_IDBLOCK;
    entry.offset = 64;
    entry.size = 0x400;
    PlanBuilder plan;
    PlannedIdBlock planned;
    ASSERT_TRUE(PlanIdBlock(plan, context, entry, "ddr.bin,loader.bin", planned))
        << plan.Finish().failure->line;
    EXPECT_EQ(planned.block, ExpectedBlock(nano, ddr, loader, 4, 12, true, true));
  }
}

TEST_F(IdBlockTest, FileTextFaultsAreReportedWithTheConfiguredNames) {
  Programs(100, 100);
  const struct {
    std::string files;
    std::string message;
  } cases[] = {
      {"ddr.bin loader.bin",
       "file key should be format as <ddr.bin,loader.bin> in the idblock section!\r\n"},
      {"", "file key should be format as <ddr.bin,loader.bin> in the idblock section!\r\n"},
      {"ddr.bin, loader.bin", "Packing Error:Opening  loader.bin failed, err=2!\r\n"},
      {"none.bin,loader.bin", "Packing Error:Opening none.bin failed, err=2!\r\n"},
  };
  for (const auto& c : cases) {
    out_.Clear();
    EXPECT_FALSE(Write("", 64, 0x800, c.files)) << c.files;
    EXPECT_EQ(out_.Text(), c.message + c.message);  // once for the size, once for the writer
  }
}

}  // namespace
}  // namespace imgweld::test
