// Answers for a headless run: which box gets which answer and what happens
// in which dialog, so that a program (VQ_UI_SCRIPT=FILE) or a test runs
// without a person. One rule a line, '#' starts a comment:
//
//   box <string id | "text"> <answer>       answers the next such box
//   dialog <template> end <result>          ends the dialog when it opens
//   dialog <template> click <control>
//   dialog <template> wait <control>        the actions after it wait until
//                                           the control takes input (shown, enabled)
//   dialog <template> text <control> "<text>"
//   dialog <template> check <control> 0|1
//   dialog <template> select <control> <index>
//
// Answers and results are numbers or IDOK, IDCANCEL, IDABORT, IDRETRY,
// IDIGNORE, IDYES, IDNO. In quoted text \" and \\ stand for " and \. Each
// rule is used once, in file order; a dialog's actions run when a dialog of
// its template opens, up to and including its next "end".
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ui/ui_host.h"

namespace platform::ui {

struct ScriptAction {
  enum Kind { End, Click, Text, Check, Select, Wait };
  Kind kind = End;
  int templateId = 0;
  int control = 0;
  int value = 0;  // result, check state or index
  std::string text;
};

class UiScript {
 public:
  // Nothing, with *error saying which line is wrong, for a text that is
  // not a script.
  static std::optional<UiScript> Parse(std::string_view content, std::string* error);
  // Throws std::runtime_error when the file cannot be read or parsed.
  static UiScript FromFile(const std::string& path);

  // The answer of the first unused rule for this box, if any (used up).
  std::optional<int> AnswerFor(const BoxText& text);
  // The actions for a dialog of this template that just opened (used up).
  std::vector<ScriptAction> ActionsFor(int templateId);
  bool empty() const { return boxes_.empty() && actions_.empty(); }

 private:
  struct BoxRule {
    bool byText = false;
    uint32_t stringId = 0;
    std::string text;
    int answer = 0;
  };
  std::vector<BoxRule> boxes_;
  std::deque<ScriptAction> actions_;
};

}  // namespace platform::ui
