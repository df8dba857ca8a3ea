#include "unpack/UnpackFirmware.h"

namespace imgweld {

bool UnpackFirmware(const std::string&, const std::string&, bool, Output& out) {
  out.Line("UnPacking Error:unpacking is not available yet!\r");
  return false;
}

}  // namespace imgweld
