#pragma once

#include <optional>
#include <string>
#include <thread>

#include "common/File.h"
#include "common/Output.h"
#include "common/Progress.h"
#include "common/QuietThread.h"
#include "image/Md5.h"

namespace imgweld {

// Verifying an image against its hash file while it is extracted.

// The image's digest, computed on a second thread through a file description
// of its own while the main thread extracts, so that verifying costs no more
// time than the longer of the two.
class BackgroundDigest {
 public:
  ~BackgroundDigest() {
    if (thread_.joinable()) thread_.join();
  }

  // False when the image cannot be opened a second time or no thread can be
  // had; the digest is then taken on the main thread. The thread blocks every
  // signal, so the cleanup of temporary files runs on the main thread alone.
  bool Start(File& image, Progress& progress) {
    const std::string self = "/proc/self/fd/" + std::to_string(fileno(image.Stream()));
    if (!file_.OpenInput(self)) return false;
    return StartQuietThread(thread_, [this, &progress] {
      Md5Digest digest{};
      if (Md5OfStream(digest, file_, kMd5WholeFile, &progress)) result_ = digest;
    });
  }

  std::optional<Md5Digest> Wait() {
    thread_.join();
    return result_;
  }
  // Why no digest came, once Wait() returned nothing.
  std::string FailureText() const { return file_.FailureText(); }

 private:
  File file_;
  std::thread thread_;
  std::optional<Md5Digest> result_;
};

// Reads the digest stored in the first 16 bytes of `hashFile`; the bytes
// of a shorter file that are missing are zero. A hash file that cannot be
// read (a directory, say) holds no digest to compare with, and reporting a
// mismatch would show bytes never stored: false, after "Reading <path>
// failed" and the system's reason.
bool ReadStoredDigest(File& hashFile, Md5Digest& stored, Output& out);

// Compares the digest computed (nothing when it could not be) with the 16
// bytes of the hash file, printing the messages of a failure: "Generating
// hash failed!" (and, on standard error, `readFailure`, why reading
// `imagePath` failed), or "compare hash failed!" and sixteen lines of both
// bytes.
bool CompareDigest(const Md5Digest& stored, const std::optional<Md5Digest>& computed,
                   const std::string& imagePath, const std::string& readFailure, Output& out);

}  // namespace imgweld
