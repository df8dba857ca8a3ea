#include "pack/ImagePlan.h"

#include <sys/stat.h>

#include <algorithm>
#include <optional>
#include <utility>

namespace imgweld {
namespace {

std::function<void()>& BeforeWritingHook() {
  static std::function<void()> hook;
  return hook;
}

std::optional<InputStamp> StampOfStatus(const struct stat& status) {
  if (!S_ISREG(status.st_mode)) return std::nullopt;
  return InputStamp{static_cast<uint64_t>(status.st_size), status.st_mtim.tv_sec,
                    status.st_mtim.tv_nsec};
}

std::string DescribeStamp(const InputStamp& stamp) {
  return Format("%llu bytes, modified at %lld.%09lld", static_cast<unsigned long long>(stamp.size),
                static_cast<long long>(stamp.modifiedSeconds),
                static_cast<long long>(stamp.modifiedNanoseconds));
}

// A payload that changed since it was measured is reported as such, also
// when the change made its read fail: the change is the cause.
bool CopyPayload(ImageWriter& image, PlannedPayload& payload, Output& out) {
  const bool copied = image.CopyFrom(payload.file, payload.length);
  // The writer has reported a failed write of the image itself.
  const bool writeFailed = !copied && image.Image().Failed();
  if (!writeFailed && payload.planned &&
      ReportInputChanged(payload.name, *payload.planned, StampOf(fileno(payload.file.Stream())),
                         out)) {
    payload.file.Close();
    return false;
  }
  if (!copied && !writeFailed) {
    out.Printf("Packing Error:Reading %s failed, err=%d!\r\n", payload.name.c_str(),
               payload.file.Error());
    out.Note(payload.name, payload.file.FailureText());
  }
  payload.file.Close();
  return copied;
}

bool Perform(const WriteStep& step, ImagePlan& plan, ImageWriter& image, Output& out) {
  switch (step.kind) {
    case WriteStep::Kind::kMessage:
      out.Write(step.text);
      return true;
    case WriteStep::Kind::kFill:
      return image.FillToOffset(step.position);
    case WriteStep::Kind::kSeek:
      return image.Seek(step.position);
    case WriteStep::Kind::kBytes:
      return image.Write(plan.buffers[step.index]);
    case WriteStep::Kind::kCopy:
      return CopyPayload(image, plan.payloads[step.index], out);
  }
  return false;
}

// The files read while planning, as they are once the image is written.
bool CheckWatchedInputs(const ImagePlan& plan, Output& out) {
  for (const WatchedInput& input : plan.watched) {
    struct stat status {};
    std::optional<InputStamp> now;
    if (stat(input.path.c_str(), &status) == 0) {
      now = StampOfStatus(status);
      if (!now) continue;  // replaced by something that is not a file: not read again
    }
    if (ReportInputChanged(input.name, input.planned, now, out)) return false;
  }
  return true;
}

}  // namespace

std::optional<InputStamp> StampOf(int fd) {
  struct stat status {};
  if (fd < 0 || fstat(fd, &status) != 0) return std::nullopt;
  return StampOfStatus(status);
}

void PlanFailure::Print(Output& out) const {
  out.Write(line);
  if (!detail.empty()) out.Note(where, detail);
}

PlanFailure InputChangedFailure(const std::string& name, const InputStamp& planned,
                                const std::optional<InputStamp>& now) {
  PlanFailure failure;
  if (!now) {
    failure.line = Format("Packing Error:%s changed while packing, it is gone!\r\n", name.c_str());
  } else if (now->size != planned.size) {
    failure.line =
        Format("Packing Error:%s changed while packing, its size went from %llu to %llu bytes!\r\n",
               name.c_str(), Ull(planned.size), Ull(now->size));
  } else {
    failure.line =
        Format("Packing Error:%s changed while packing, it was modified after it was measured!\r\n",
               name.c_str());
  }
  failure.where = name;
  failure.detail = "measured " + DescribeStamp(planned) + " when the image was planned, " +
                   (now ? DescribeStamp(*now) : std::string("gone")) +
                   " after it was copied; pack again once nothing writes to it";
  return failure;
}

bool ReportInputChanged(const std::string& name, const InputStamp& planned,
                        const std::optional<InputStamp>& now, Output& out) {
  if (now == planned) return false;
  InputChangedFailure(name, planned, now).Print(out);
  return true;
}

void SetBeforeWritingHook(std::function<void()> hook) { BeforeWritingHook() = std::move(hook); }

void PlanBuilder::Message(std::string text) {
  plan_.steps.push_back({WriteStep::Kind::kMessage, std::move(text)});
}

void PlanBuilder::Fail(PlanFailure failure) { plan_.failure = std::move(failure); }

void PlanBuilder::FillTo(uint64_t position) {
  plan_.steps.push_back({WriteStep::Kind::kFill, {}, position});
  if (length_ >= position) {
    position_ = position;
  } else {
    length_ = position_ = position;  // appended from the end, wherever the position was
  }
}

void PlanBuilder::SeekToEnd() {
  plan_.steps.push_back({WriteStep::Kind::kSeek, {}, length_});
  position_ = length_;
}

size_t PlanBuilder::AddBuffer(std::vector<uint8_t> bytes) {
  plan_.buffers.push_back(std::move(bytes));
  return plan_.buffers.size() - 1;
}

void PlanBuilder::WriteBuffer(size_t index) {
  plan_.steps.push_back({WriteStep::Kind::kBytes, {}, 0, index});
  Advance(plan_.buffers[index].size());
}

void PlanBuilder::Copy(PlannedPayload payload) {
  const uint64_t length = payload.length;
  plan_.payloads.push_back(std::move(payload));
  plan_.steps.push_back({WriteStep::Kind::kCopy, {}, 0, plan_.payloads.size() - 1});
  Advance(length);
}

void PlanBuilder::Watch(WatchedInput input) { plan_.watched.push_back(std::move(input)); }

void PlanBuilder::Advance(uint64_t bytes) {
  if (position_ != length_ && bytes != 0) plan_.sequential = false;
  position_ += bytes;
  length_ = std::max(length_, position_);
}

ImagePlan PlanBuilder::Finish() {
  plan_.length = length_;
  return std::move(plan_);
}

bool WritePlannedImage(ImagePlan& plan, ImageWriter& image, Output& out) {
  std::optional<Progress> progress;
  if (!plan.failure) {
    if (BeforeWritingHook()) BeforeWritingHook()();
    progress.emplace(out, "writing " + image.DisplayPath(), plan.length);
    image.ShowProgress(&*progress);
  }
  for (const WriteStep& step : plan.steps) {
    if (plan.failure && step.kind != WriteStep::Kind::kMessage) continue;
    if (!Perform(step, plan, image, out)) {
      image.ShowProgress(nullptr);
      return false;
    }
    if (step.kind == WriteStep::Kind::kBytes) Advance(&*progress, plan.buffers[step.index].size());
  }
  image.ShowProgress(nullptr);
  if (plan.failure) {
    plan.failure->Print(out);
    return false;
  }
  return CheckWatchedInputs(plan, out);
}

}  // namespace imgweld
