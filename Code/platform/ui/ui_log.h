// The UI log: with VQ_UI_LOG=FILE a host appends one JSON object a line for
// every effect a person would see (tray icon and tip, balloons, boxes and
// their answers, dialogs opened and ended, menu changes), so tests and
// headless runs can be read and compared. What a user typed is never
// written.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace platform::ui {

// One JSON object, fields in the order added.
class JsonLine {
 public:
  explicit JsonLine(std::string_view event);
  JsonLine& Add(std::string_view key, std::string_view value);
  JsonLine& Add(std::string_view key, const char* value) { return Add(key, std::string_view(value)); }
  JsonLine& Add(std::string_view key, int64_t value);
  JsonLine& Add(std::string_view key, int value) { return Add(key, static_cast<int64_t>(value)); }
  JsonLine& Add(std::string_view key, uint32_t value) { return Add(key, static_cast<int64_t>(value)); }
  JsonLine& Add(std::string_view key, bool value);
  std::string Text() const { return text_ + "}"; }

 private:
  void Key(std::string_view key);
  std::string text_;
};

// A JSON string literal (quotes included); invalid UTF-8 passes as bytes.
std::string JsonQuote(std::string_view text);

class UiLog {
 public:
  // The file of VQ_UI_LOG, or nothing when it is unset or cannot be opened.
  static std::unique_ptr<UiLog> FromEnvironment();
  // Appends to path; nothing is written when it cannot be opened.
  explicit UiLog(const std::string& path);
  ~UiLog();
  UiLog(const UiLog&) = delete;
  UiLog& operator=(const UiLog&) = delete;

  bool ok() const { return file_ != nullptr; }
  void Write(const JsonLine& line);

 private:
  std::mutex mutex_;
  FILE* file_;
};

}  // namespace platform::ui
