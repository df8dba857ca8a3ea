#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/File.h"
#include "common/Output.h"
#include "pack/ImageWriter.h"

namespace imgweld {

// A failure the plan finds before the point where a pack run reports it
// (a payload that cannot be opened, a boot block that cannot be built, an
// image past 4 GiB). The plan keeps it in place of its remaining steps; the
// run prints the messages of the steps before it, then this, so that the
// output reads as if the failure were met while writing. Nothing is written.
struct PlanFailure {
  std::string line;         // for standard output, with its line end
  std::string where = {};   // what the detail is about, as Output::Note takes it
  std::string detail = {};  // for standard error; empty: none

  void Print(Output& out) const;
};

// One step of writing an image. Every step is laid out, and every check is
// made, before the image is touched; the writer then performs the steps in
// order and changes nothing of the plan.
struct WriteStep {
  enum class Kind {
    kMessage,  // print `text`
    kFill,     // extend the image with fill bytes up to `position`, or move back to it
    kSeek,     // move to `position`
    kBytes,    // write buffer `index` of the plan
    kCopy,     // copy payload `index` of the plan
  };
  Kind kind = Kind::kMessage;
  std::string text;
  uint64_t position = 0;
  size_t index = 0;
};

// What an input file looked like when it was measured. The plan counts on
// that many bytes; a file that is written meanwhile would give an image cut
// short or holding bytes of two versions, so any change fails the run.
struct InputStamp {
  uint64_t size = 0;
  int64_t modifiedSeconds = 0;
  int64_t modifiedNanoseconds = 0;
  bool operator==(const InputStamp&) const = default;
};

// The stamp of an open input; none for a file that is not a regular file (a
// block device's size and time say nothing about its bytes) or cannot be
// queried.
std::optional<InputStamp> StampOf(int fd);

// A file read while the plan is made (a boot program), checked once more
// when the image is written.
struct WatchedInput {
  std::string name;  // as configured, for messages
  std::string path;  // where it was read
  InputStamp planned;
};

// A payload file, opened and measured while the plan is made; only its
// first `length` bytes (the measured length) are copied.
struct PlannedPayload {
  std::string name;  // as configured, for messages
  File file;
  uint64_t length = 0;
  std::optional<InputStamp> planned;  // none: not a regular file, not checked
};

// The one error line naming the file and what changed when `now` differs
// from `planned` (or is missing: the file is gone), with the details for
// standard error.
PlanFailure InputChangedFailure(const std::string& name, const InputStamp& planned,
                                const std::optional<InputStamp>& now);

// When `now` differs from `planned`, prints that failure and returns true.
bool ReportInputChanged(const std::string& name, const InputStamp& planned,
                        const std::optional<InputStamp>& now, Output& out);

// Called between planning an image and writing its first byte. Tests change
// an input there, to see the change caught; the program sets nothing.
void SetBeforeWritingHook(std::function<void()> hook);

struct ImagePlan {
  std::vector<WriteStep> steps;
  std::vector<std::vector<uint8_t>> buffers;
  std::vector<PlannedPayload> payloads;
  std::vector<WatchedInput> watched;
  // Set: the steps end where the run fails; they print their messages, and
  // nothing is written.
  std::optional<PlanFailure> failure;
  uint64_t length = 0;     // the image's length once every step has run
  bool sequential = true;  // every step appends to what the steps before it wrote
};

// Lays out the steps of a plan, keeping the image's length and position as
// the writer will find them, so the planner knows every byte's place.
class PlanBuilder {
 public:
  void Message(std::string text);
  // Ends the plan with `failure`: no step is added after it.
  void Fail(PlanFailure failure);
  // The fill writer's rule: fill bytes up to `position` when the image is
  // shorter, else only the position moves.
  void FillTo(uint64_t position);
  // Moves to the current end of the image.
  void SeekToEnd();
  // Adds a buffer to be written (possibly more than once) and returns its index.
  size_t AddBuffer(std::vector<uint8_t> bytes);
  void WriteBuffer(size_t index);
  void Copy(PlannedPayload payload);
  // Checks `input` again once every step has run.
  void Watch(WatchedInput input);

  bool Failed() const { return plan_.failure.has_value(); }
  uint64_t Length() const { return length_; }
  std::vector<uint8_t>& Buffer(size_t index) { return plan_.buffers[index]; }
  ImagePlan Finish();

 private:
  void Advance(uint64_t bytes);

  ImagePlan plan_;
  uint64_t length_ = 0;
  uint64_t position_ = 0;
};

// Performs the steps of `plan` on `image`. A plan that failed prints its
// messages up to its failure, then the failure, and writes nothing. Failures met while writing
// (a payload that cannot be opened or read, a failed write) are reported
// here or by the image writer. False when the run fails.
bool WritePlannedImage(ImagePlan& plan, ImageWriter& image, Output& out);

}  // namespace imgweld
