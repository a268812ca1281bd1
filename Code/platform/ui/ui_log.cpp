#include "platform/ui/ui_log.h"

#include <cstdlib>

namespace platform::ui {

std::string JsonQuote(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0xF];
        } else {
          out += ch;
        }
    }
  }
  return out + "\"";
}

JsonLine::JsonLine(std::string_view event) : text_("{\"event\":" + JsonQuote(event)) {}

void JsonLine::Key(std::string_view key) {
  text_ += ',';
  text_ += JsonQuote(key);
  text_ += ':';
}

JsonLine& JsonLine::Add(std::string_view key, std::string_view value) {
  Key(key);
  text_ += JsonQuote(value);
  return *this;
}

JsonLine& JsonLine::Add(std::string_view key, int64_t value) {
  Key(key);
  text_ += std::to_string(value);
  return *this;
}

JsonLine& JsonLine::Add(std::string_view key, bool value) {
  Key(key);
  text_ += value ? "true" : "false";
  return *this;
}

std::unique_ptr<UiLog> UiLog::FromEnvironment() {
  const char* path = std::getenv("VQ_UI_LOG");
  if (!path || !*path) return nullptr;
  auto log = std::make_unique<UiLog>(path);
  if (!log->ok()) return nullptr;
  return log;
}

UiLog::UiLog(const std::string& path) : file_(std::fopen(path.c_str(), "a")) {}

UiLog::~UiLog() {
  if (file_) std::fclose(file_);
}

void UiLog::Write(const JsonLine& line) {
  if (!file_) return;
  const std::string text = line.Text() + "\n";
  std::lock_guard lock(mutex_);
  std::fwrite(text.data(), 1, text.size(), file_);
  std::fflush(file_);
}

}  // namespace platform::ui
