#include "platform/ui/ui_script.h"

#include <charconv>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

#include "platform/ui/win32_ui.h"

namespace platform::ui {

namespace {

// Splits a line into words; a quoted word keeps its spaces. False for an
// unterminated quote or a bad escape.
bool Words(std::string_view line, std::vector<std::string>& words, std::vector<bool>& quoted) {
  size_t i = 0;
  while (true) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i == line.size() || line[i] == '#') return true;
    std::string word;
    if (line[i] == '"') {
      ++i;
      while (true) {
        if (i == line.size()) return false;
        const char c = line[i++];
        if (c == '"') break;
        if (c == '\\') {
          if (i == line.size() || (line[i] != '"' && line[i] != '\\')) return false;
          word += line[i++];
        } else {
          word += c;
        }
      }
      quoted.push_back(true);
    } else {
      while (i < line.size() && line[i] != ' ' && line[i] != '\t') word += line[i++];
      quoted.push_back(false);
    }
    words.push_back(std::move(word));
  }
}

std::optional<int> Number(const std::string& word) {
  static const std::map<std::string, int> kNames = {
      {"IDOK", IDOK},         {"IDCANCEL", IDCANCEL}, {"IDABORT", IDABORT}, {"IDRETRY", IDRETRY},
      {"IDIGNORE", IDIGNORE}, {"IDYES", IDYES},       {"IDNO", IDNO},
  };
  if (auto it = kNames.find(word); it != kNames.end()) return it->second;
  int value = 0;
  auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), value);
  if (ec != std::errc() || end != word.data() + word.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<UiScript> UiScript::Parse(std::string_view content, std::string* error) {
  UiScript script;
  std::istringstream in{std::string(content)};
  std::string line;
  int lineNo = 0;
  auto fail = [&](const std::string& why) -> std::optional<UiScript> {
    if (error) *error = "line " + std::to_string(lineNo) + ": " + why;
    return std::nullopt;
  };
  while (std::getline(in, line)) {
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> w;
    std::vector<bool> quoted;
    if (!Words(line, w, quoted)) return fail("bad quoting");
    if (w.empty()) continue;
    if (w[0] == "box") {
      if (w.size() != 3) return fail("box takes a text or string id and an answer");
      BoxRule rule;
      rule.byText = quoted[1];
      if (rule.byText) {
        rule.text = w[1];
      } else {
        auto id = Number(w[1]);
        if (!id || *id <= 0) return fail("bad string id " + w[1]);
        rule.stringId = static_cast<uint32_t>(*id);
      }
      auto answer = Number(w[2]);
      if (!answer) return fail("bad answer " + w[2]);
      rule.answer = *answer;
      script.boxes_.push_back(std::move(rule));
    } else if (w[0] == "dialog") {
      if (w.size() < 4) return fail("dialog takes a template, an action and its arguments");
      ScriptAction a;
      auto templ = Number(w[1]);
      if (!templ) return fail("bad template " + w[1]);
      a.templateId = *templ;
      const std::string& verb = w[2];
      auto number = [&](size_t i) { return i < w.size() ? Number(w[i]) : std::nullopt; };
      if (verb == "end" && w.size() == 4 && number(3)) {
        a.kind = ScriptAction::End;
        a.value = *number(3);
      } else if ((verb == "click" || verb == "wait") && w.size() == 4 && number(3)) {
        a.kind = verb == "click" ? ScriptAction::Click : ScriptAction::Wait;
        a.control = *number(3);
      } else if (verb == "text" && w.size() == 5 && number(3)) {
        a.kind = ScriptAction::Text;
        a.control = *number(3);
        a.text = w[4];
      } else if ((verb == "check" || verb == "select") && w.size() == 5 && number(3) && number(4)) {
        a.kind = verb == "check" ? ScriptAction::Check : ScriptAction::Select;
        a.control = *number(3);
        a.value = *number(4);
      } else {
        return fail("bad dialog action");
      }
      script.actions_.push_back(std::move(a));
    } else {
      return fail("unknown rule " + w[0]);
    }
  }
  return script;
}

UiScript UiScript::FromFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("UI script " + path + " cannot be read");
  std::ostringstream whole;
  whole << in.rdbuf();
  std::string error;
  auto script = Parse(whole.str(), &error);
  if (!script) throw std::runtime_error("UI script " + path + ": " + error);
  return std::move(*script);
}

std::optional<int> UiScript::AnswerFor(const BoxText& text) {
  for (auto it = boxes_.begin(); it != boxes_.end(); ++it) {
    const bool match = it->byText ? it->text == text.text : (text.stringId && it->stringId == text.stringId);
    if (!match) continue;
    const int answer = it->answer;
    boxes_.erase(it);
    return answer;
  }
  return std::nullopt;
}

std::vector<ScriptAction> UiScript::ActionsFor(int templateId) {
  std::vector<ScriptAction> out;
  for (auto it = actions_.begin(); it != actions_.end();) {
    if (it->templateId != templateId) {
      ++it;
      continue;
    }
    out.push_back(std::move(*it));
    it = actions_.erase(it);
    if (out.back().kind == ScriptAction::End) break;
  }
  return out;
}

}  // namespace platform::ui
