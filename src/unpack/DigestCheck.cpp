#include "unpack/DigestCheck.h"

namespace imgweld {

bool ReadStoredDigest(File& hashFile, Md5Digest& stored, Output& out) {
  stored = Md5Digest{};
  hashFile.Read(stored.data(), stored.size());
  if (hashFile.Error() == 0) return true;
  out.Printf("UnPacking Error:Reading %s failed, err=%d!\r\n", hashFile.Path().c_str(),
             hashFile.Error());
  out.Note(hashFile.Path(), hashFile.FailureText());
  return false;
}

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
