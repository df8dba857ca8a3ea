#pragma once

namespace imgweld {

// The files a pack run makes in its saving directory: the image of either
// form, and beside a tagged image the raw MD5 digest of it.
inline constexpr const char* kImageFileName = "Firmware.img";
inline constexpr const char* kHashFileName = "Firmware.md5";

}  // namespace imgweld
