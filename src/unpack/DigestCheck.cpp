#include "unpack/DigestCheck.h"

namespace imgweld {

bool CompareDigest(const Md5Digest& stored, const std::optional<Md5Digest>& computed,
                   const std::string& imagePath, const std::string& readFailure, Output& out) {
  if (!computed) {
    out.Line("UnPacking Error:Generating hash failed!\r");
    out.Note(imagePath, readFailure);
    return false;
  }
  if (stored == *computed) return true;
  out.Line("UnPacking Error:compare hash failed!\r");
  for (size_t i = 0; i < stored.size(); ++i) {
    out.Printf("%x\t%x\r\n", stored[i], (*computed)[i]);
  }
  return false;
}

}  // namespace imgweld
