// Records every report meant for the client application; safe from any thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "Brindleway/channel_ops.h"

namespace brindleway {

class RecordingGuiReports final : public GuiReports {
 public:
  void NotifyGuiEvent(uint32_t code) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(code);
  }
  void NotifyGuiPasswordResult(uint32_t value) override {
    std::lock_guard<std::mutex> lock(mutex_);
    passwordResults_.push_back(value);
  }
  std::vector<uint32_t> Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  std::vector<uint32_t> PasswordResults() {
    std::lock_guard<std::mutex> lock(mutex_);
    return passwordResults_;
  }

 private:
  std::mutex mutex_;
  std::vector<uint32_t> events_;
  std::vector<uint32_t> passwordResults_;
};

}  // namespace brindleway
