#pragma once

// A deliberately small writer of tagged images for the unpack tests. It
// shares no code with the product so that hostile or unusual images (bad
// names, tables out of range, gapped boot blocks) are easy to lay out, and so
// that a layout mistake in the product cannot hide behind the same mistake
// in the test.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace imgweld::test {

inline void PutLe(std::vector<uint8_t>& bytes, uint64_t at, uint64_t value, int width) {
  if (bytes.size() < at + width) bytes.resize(at + width, 0);
  for (int i = 0; i < width; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

inline void PutBytes(std::vector<uint8_t>& bytes, uint64_t at, const std::vector<uint8_t>& data) {
  if (bytes.size() < at + data.size()) bytes.resize(at + data.size(), 0);
  std::copy(data.begin(), data.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
}

struct TestRecord {
  std::vector<uint8_t> name;  // the 32 name bytes as stored (zero padded)
  uint32_t type = 0;
  uint32_t offset = 0;
  uint32_t size = 0;
  uint64_t dataLength = 0;
  uint32_t flag = 0;
  uint8_t bootLayout = 0;
  uint32_t firstFileLength = 0;
  uint32_t secondFileLength = 0;
};

inline std::vector<uint8_t> NameBytes(const std::string& name) {
  std::vector<uint8_t> bytes(32, 0);
  std::memcpy(bytes.data(), name.data(), std::min<size_t>(name.size(), 32));
  return bytes;
}

inline TestRecord VendorRecord() {
  TestRecord r;
  r.name = NameBytes("vendor");
  r.type = 1;
  r.offset = 8;
  r.size = 0x38;
  r.dataLength = 0x7000;
  r.flag = 1;
  return r;
}

inline TestRecord Partition(const std::string& name, uint32_t type, uint32_t offset, uint32_t size,
                            uint64_t dataLength, uint32_t flag = 0) {
  TestRecord r;
  r.name = NameBytes(name);
  r.type = type;
  r.offset = offset;
  r.size = size;
  r.dataLength = dataLength;
  r.flag = flag;
  return r;
}

inline TestRecord BootRecord(uint32_t offset, uint32_t size, uint64_t dataLength, uint8_t layout,
                             uint32_t ddrLength, uint32_t loaderLength, uint32_t flag = 0) {
  TestRecord r;
  r.name = NameBytes("IDBlock");
  r.type = 2;
  r.offset = offset;
  r.size = size;
  r.dataLength = dataLength;
  r.flag = flag;
  r.bootLayout = layout;
  r.firstFileLength = ddrLength;
  r.secondFileLength = loaderLength;
  return r;
}

struct TestImage {
  uint32_t version = 0x01020003;
  uint8_t backupDisabled = 1;
  uint32_t tableSector = 1;
  uint32_t entrySize = 128;
  bool overrideCount = false;
  uint32_t entryCount = 0;
  std::vector<TestRecord> records;
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> data;  // bytes at image positions
  uint64_t minLength = 0x10000;  // room for small partitions from sector 64

  void Place(uint64_t at, const std::vector<uint8_t>& bytes) { data.emplace_back(at, bytes); }

  std::vector<uint8_t> Build() const {
    std::vector<uint8_t> image(std::max<uint64_t>(minLength, 512), 0);
    const uint8_t tag[4] = {'Z', 'V', 'F', 'P'};
    std::memcpy(image.data(), tag, 4);
    PutLe(image, 0x04, 2024, 2);
    PutLe(image, 0x06, 0x0E070503, 4);  // month, day, hour, minute
    PutLe(image, 0x0C, version, 4);
    PutLe(image, 0x10, 512, 4);
    PutLe(image, 0x14, tableSector, 4);
    PutLe(image, 0x1C, entrySize, 4);
    PutLe(image, 0x20, overrideCount ? entryCount : records.size(), 4);
    image[0x28] = backupDisabled;
    for (size_t i = 0; i < records.size(); ++i) {
      const TestRecord& r = records[i];
      const uint64_t at = uint64_t{tableSector} * 512 + i * uint64_t{entrySize};
      PutBytes(image, at, r.name);
      PutLe(image, at + 0x20, r.type, 4);
      PutLe(image, at + 0x24, r.offset, 4);
      PutLe(image, at + 0x28, r.size, 4);
      PutLe(image, at + 0x2C, r.dataLength, 8);
      PutLe(image, at + 0x34, r.flag, 4);
      if (r.type == 2) {
        PutLe(image, at + 0x38, r.bootLayout, 1);
        PutLe(image, at + 0x39, r.firstFileLength, 4);
        PutLe(image, at + 0x3D, r.secondFileLength, 4);
      }
    }
    for (const auto& [at, bytes] : data) PutBytes(image, at, bytes);
    return image;
  }
};

}  // namespace imgweld::test
