// Records every report meant for the client application; safe from any thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Brindleway/common/channel_ops.h"

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
  void NotifyGuiText(uint8_t subCode, std::string_view text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    texts_.emplace_back(subCode, std::string(text));
  }
  bool IsGuiProcessingProx() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++proxQueries_;
    return processingProx_;
  }
  void SetProcessingProx(bool busy) {
    std::lock_guard<std::mutex> lock(mutex_);
    processingProx_ = busy;
  }
  std::vector<std::pair<uint8_t, std::string>> Texts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return texts_;
  }
  int ProxQueries() {
    std::lock_guard<std::mutex> lock(mutex_);
    return proxQueries_;
  }
  void SendPreferServer(const uint8_t* data, size_t length, std::vector<uint8_t>& reply) override {
    std::lock_guard<std::mutex> lock(mutex_);
    preferServers_.emplace_back(data, data + length);
    reply = preferReplies_.empty() ? std::vector<uint8_t>{} : preferReplies_.front();
    if (!preferReplies_.empty()) preferReplies_.erase(preferReplies_.begin());
  }
  // The answers to the next preferred-gateway reports, in order.
  void SetPreferReplies(std::vector<std::vector<uint8_t>> replies) {
    std::lock_guard<std::mutex> lock(mutex_);
    preferReplies_ = std::move(replies);
  }
  std::vector<std::vector<uint8_t>> PreferServers() {
    std::lock_guard<std::mutex> lock(mutex_);
    return preferServers_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
    passwordResults_.clear();
    texts_.clear();
    preferServers_.clear();
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
  std::vector<std::pair<uint8_t, std::string>> texts_;
  bool processingProx_ = false;
  std::vector<std::vector<uint8_t>> preferServers_;
  std::vector<std::vector<uint8_t>> preferReplies_;
  int proxQueries_ = 0;
};

}  // namespace brindleway
