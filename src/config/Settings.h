#pragma once

#include <cstdint>

#include "config/ConfigDocument.h"

namespace imgweld {

// Typed readers of the `System` section. They never fail: a missing section,
// a missing key or an unusable value gives the default.

// "1" or "0" exactly: build the partition-table image instead of the tagged one.
bool IsGptEnableSet(const ConfigDocument& document);
// Flags: true exactly when the value is "1".
bool IsGptEnabled(const ConfigDocument& document);
bool IsBackupPartitionEnabled(const ConfigDocument& document);
bool IsNanoEnabled(const ConfigDocument& document);
bool IsBlankGapEnabled(const ConfigDocument& document);
// The boot program files are given as `-U` extracts them, scrambled.
bool IsLoaderScrambled(const ConfigDocument& document);
// Numbers as ParseSystemNumber reads them; defaults 0, 1, 1.
int32_t GetFillByte(const ConfigDocument& document);
int32_t GetLoaderEncrypt(const ConfigDocument& document);
int32_t GetIdbBootEncrypt(const ConfigDocument& document);

}  // namespace imgweld
