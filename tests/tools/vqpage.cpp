// vqpage: plays a portal page that scripts the web control. It creates the
// control by its ProgID through the component layer (never linking it),
// hands it a site with this program's UI host, and calls one method a
// line on a page thread of its own, beside the host's thread:
//
//   vqpage [--qt] [--progid ID] [-e 'Method(args)']... [FILE]
//
// A line is Method(arg, ...) with quoted text ("a \"b\" \\ c") or
// integers; empty lines and lines starting with '#' are skipped. Each call
// prints "Method(args) = value", or "Method(args) failed 0x........" with
// the HRESULT. Without --qt the host is headless: VQ_UI_SCRIPT answers
// boxes and dialogs, VQ_UI_LOG records them, and a box or dialog that
// nothing answered is answered with its first button (a dialog: Cancel)
// after a moment, so a run never hangs. Exit status 0 when every call
// succeeded.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/component_loader.h"
#include "platform/com/dispatch.h"
#include "platform/com/site.h"
#include "platform/ui/headless_host.h"
#include "platform/ui/qt/qt_host.h"
#include "platform/ui/win32_ui.h"

namespace {

using namespace platform::com;

struct Call {
  std::string line;
  std::string method;
  std::vector<Variant> args;
};

// Parses "Method(args)"; nothing (with *error) for anything else.
std::optional<Call> ParseCall(const std::string& line, std::string* error) {
  Call call;
  call.line = line;
  size_t i = 0;
  auto skip = [&] {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
  };
  skip();
  while (i < line.size() && (std::isalnum(static_cast<unsigned char>(line[i])) || line[i] == '_'))
    call.method += line[i++];
  skip();
  if (call.method.empty() || i >= line.size() || line[i] != '(') {
    *error = "expected Method(...)";
    return std::nullopt;
  }
  ++i;
  skip();
  if (i < line.size() && line[i] == ')') {
    ++i;
  } else {
    for (;;) {
      skip();
      if (i < line.size() && line[i] == '"') {
        std::string text;
        ++i;
        while (i < line.size() && line[i] != '"') {
          if (line[i] == '\\' && i + 1 < line.size()) ++i;
          text += line[i++];
        }
        if (i >= line.size()) {
          *error = "unterminated text";
          return std::nullopt;
        }
        ++i;
        call.args.push_back(Variant::Bstr(text));
      } else {
        size_t end = i;
        if (end < line.size() && (line[end] == '-' || line[end] == '+')) ++end;
        while (end < line.size() && std::isdigit(static_cast<unsigned char>(line[end]))) ++end;
        const std::string digits = line.substr(i, end - i);
        long long value = 0;
        try {
          size_t used = 0;
          value = std::stoll(digits, &used);
          if (used != digits.size()) throw std::invalid_argument(digits);
        } catch (const std::exception&) {
          *error = "expected quoted text or an integer";
          return std::nullopt;
        }
        if (value < INT32_MIN || value > INT32_MAX) {
          *error = "integer out of range";
          return std::nullopt;
        }
        call.args.push_back(Variant::I4(static_cast<int32_t>(value)));
        i = end;
      }
      skip();
      if (i < line.size() && line[i] == ',') {
        ++i;
        continue;
      }
      if (i < line.size() && line[i] == ')') {
        ++i;
        break;
      }
      *error = "expected ',' or ')'";
      return std::nullopt;
    }
  }
  skip();
  if (i != line.size()) {
    *error = "text after the call";
    return std::nullopt;
  }
  return call;
}

// The container's site: gives the control this program's UI host.
class PageSite final : public IUiSite {
 public:
  explicit PageSite(platform::ui::UiHost& host) : host_(host) {}
  HRESULT QueryInterface(const IID& iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IUiSite) {
      *out = static_cast<IUiSite*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return refs_.Add(); }
  uint32_t Release() override {
    const uint32_t left = refs_.Drop();
    if (left == 0) delete this;
    return left;
  }
  platform::ui::UiHost* UiHost() override { return &host_; }

 private:
  ~PageSite() = default;
  platform::ui::UiHost& host_;
  RefCount refs_;
};

std::string ValueText(const Variant& v) {
  switch (v.vt()) {
    case VT_I2:
    case VT_I4: return std::to_string(v.Int());
    case VT_BSTR: return "\"" + v.Text() + "\"";
    default: return "";
  }
}

// The page: creates the control, calls, lets it go. 0 when all went well.
int RunPage(platform::ui::UiHost& host, const std::string& progId, const std::vector<Call>& calls) {
  ComponentLoader loader;
  ComPtr<IDispatch> control;
  if (const HRESULT hr = loader.CreateInstanceByProgId(progId, IID_IDispatch, control.PutVoid()); FAILED(hr)) {
    std::printf("CreateInstance(\"%s\") failed 0x%08x\n", progId.c_str(), static_cast<unsigned>(hr));
    return 1;
  }
  ComPtr<IObjectWithSite> withSite;
  ComPtr<IUnknown> site = ComPtr<IUnknown>::Attach(new PageSite(host));
  if (SUCCEEDED(control.As(IID_IObjectWithSite, withSite))) withSite->SetSite(site.get());
  int status = 0;
  for (const Call& call : calls) {
    Variant result;
    uint32_t argErr = 0;
    const HRESULT hr = InvokeByName(*control.get(), call.method, call.args, &result, &argErr);
    if (FAILED(hr)) {
      std::printf("%s failed 0x%08x\n", call.line.c_str(), static_cast<unsigned>(hr));
      status = 1;
    } else if (result.vt() == VT_EMPTY) {
      std::printf("%s\n", call.line.c_str());
    } else {
      std::printf("%s = %s\n", call.line.c_str(), ValueText(result).c_str());
    }
    std::fflush(stdout);
  }
  if (withSite) withSite->SetSite(nullptr);
  withSite.Reset();
  control.Reset();
  loader.FreeUnusedLibraries();
  return status;
}

// Answers what has waited a whole tick without an answer: a box with its
// first button, a dialog with Cancel.
class Unanswered {
 public:
  explicit Unanswered(platform::ui::HeadlessHost& host) : host_(host) {}
  void Tick() {
    const auto& boxes = host_.PendingBoxes();
    if (!boxes.empty() && boxes.front().serial == lastBox_) {
      std::fprintf(stderr, "vqpage: nobody answered \"%s\": first button\n", boxes.front().text.text.c_str());
      host_.AnswerBox(lastBox_, FirstButton(boxes.front().flags));
      lastBox_ = 0;
      return;
    }
    lastBox_ = boxes.empty() ? 0 : boxes.front().serial;
    if (!boxes.empty()) return;
    const auto dialogs = host_.OpenDialogs();
    if (!dialogs.empty() && dialogs.front() == lastDialog_) {
      std::fprintf(stderr, "vqpage: nobody answered dialog %d: Cancel\n", lastDialog_->templateId());
      host_.CloseDialog(*lastDialog_, platform::ui::IDCANCEL);
      lastDialog_ = nullptr;
      return;
    }
    lastDialog_ = dialogs.empty() ? nullptr : dialogs.front();
  }

 private:
  static int FirstButton(uint32_t flags) {
    using namespace platform::ui;
    switch (flags & MB_TYPEMASK) {
      case MB_ABORTRETRYIGNORE: return IDABORT;
      case MB_YESNOCANCEL:
      case MB_YESNO: return IDYES;
      case MB_RETRYCANCEL: return IDRETRY;
      default: return IDOK;
    }
  }
  platform::ui::HeadlessHost& host_;
  uint64_t lastBox_ = 0;
  platform::ui::Dialog* lastDialog_ = nullptr;
};

int Usage() {
  std::fprintf(stderr, "usage: vqpage [--qt] [--progid ID] [-e 'Method(args)']... [FILE]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool qt = false;
  std::string progId = "WENDLE.WendleCtrl.1";
  std::vector<std::string> lines;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--qt") {
      qt = true;
    } else if (arg == "--progid" && i + 1 < argc) {
      progId = argv[++i];
    } else if (arg == "-e" && i + 1 < argc) {
      lines.push_back(argv[++i]);
    } else if (!arg.empty() && arg[0] != '-') {
      std::ifstream in(arg);
      if (!in) {
        std::fprintf(stderr, "vqpage: cannot read %s\n", arg.c_str());
        return 2;
      }
      for (std::string line; std::getline(in, line);) lines.push_back(line);
    } else {
      return Usage();
    }
  }
  std::vector<Call> calls;
  for (const std::string& line : lines) {
    if (line.find_first_not_of(" \t\r") == std::string::npos || line[line.find_first_not_of(" \t")] == '#')
      continue;
    std::string error;
    auto call = ParseCall(line.back() == '\r' ? line.substr(0, line.size() - 1) : line, &error);
    if (!call) {
      std::fprintf(stderr, "vqpage: %s: %s\n", line.c_str(), error.c_str());
      return 2;
    }
    calls.push_back(std::move(*call));
  }

  int status = 0;
  auto runPage = [&](platform::ui::UiHost& host) {
    return std::thread([&] {
      status = RunPage(host, progId, calls);
      host.Post([&host] { host.Quit(0); });
    });
  };
  if (qt) {
    platform::ui::QtHost host;
    std::thread page = runPage(host);
    host.Run();
    host.BeginShutdown();
    page.join();
  } else {
    platform::ui::HeadlessHost host;
    Unanswered unanswered(host);
    host.StartTimer(100, [&] { unanswered.Tick(); });
    std::thread page = runPage(host);
    host.Run();
    host.BeginShutdown();
    page.join();
  }
  return status;
}
