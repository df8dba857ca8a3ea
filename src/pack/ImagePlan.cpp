#include "pack/ImagePlan.h"

#include <algorithm>
#include <optional>
#include <utility>

namespace imgweld {
namespace {

bool CopyPayload(ImageWriter& image, PlannedPayload& payload, Output& out) {
  const CopyResult result = image.CopyFrom(payload.file, payload.length);
  if (result == CopyResult::kReadFailed) {
    out.Printf("Packing Error:Reading %s failed, err=%d!\r\n", payload.name.c_str(),
               payload.file.Error());
  }
  payload.file.Close();
  return result == CopyResult::kCopied;
}

bool Perform(const WriteStep& step, ImagePlan& plan, ImageWriter& image, Output& out) {
  switch (step.kind) {
    case WriteStep::Kind::kMessage:
      out.Write(step.text);
      return true;
    case WriteStep::Kind::kFail:
      out.Write(step.text);
      if (!step.diagnostics.empty()) out.WriteDiagnostic(step.diagnostics);
      return false;
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

}  // namespace

void PlanBuilder::Message(std::string text) {
  plan_.steps.push_back({WriteStep::Kind::kMessage, std::move(text)});
}

void PlanBuilder::Fail(std::string text, std::string diagnostics) {
  plan_.steps.push_back({WriteStep::Kind::kFail, std::move(text), 0, 0, std::move(diagnostics)});
  plan_.failed = true;
}

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
  if (!plan.failed) {
    progress.emplace(out, "writing " + image.DisplayPath(), plan.length);
    image.ShowProgress(&*progress);
  }
  for (const WriteStep& step : plan.steps) {
    const bool messageOnly =
        step.kind == WriteStep::Kind::kMessage || step.kind == WriteStep::Kind::kFail;
    if (plan.failed && !messageOnly) continue;
    if (!Perform(step, plan, image, out)) {
      image.ShowProgress(nullptr);
      return false;
    }
    if (step.kind == WriteStep::Kind::kBytes) Advance(&*progress, plan.buffers[step.index].size());
  }
  image.ShowProgress(nullptr);
  return !plan.failed;
}

}  // namespace imgweld
