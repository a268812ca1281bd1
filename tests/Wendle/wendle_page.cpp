#include "Wendle/wendle_page.h"

#include <fstream>
#include <stdexcept>

#include "Wendle/wendle_ctrl.h"
#include "Wendle/wendle_ids.h"
#include "Wendle/wendle_server.h"
#include "platform/ui/ui_script.h"
#include "platform/ui/win32_ui.h"

namespace vqtest {

using namespace platform::com;

namespace {

class TestSite final : public IUiSite {
 public:
  explicit TestSite(platform::ui::UiHost& host) : host_(host) {}
  HRESULT QueryInterface(const IID& iid, void** out) override {
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
  ~TestSite() = default;
  platform::ui::UiHost& host_;
  RefCount refs_;
};

// A JSON string field of a UI log line ("" when absent).
std::string Field(const std::string& line, const std::string& key) {
  const std::string tag = "\"" + key + "\":";
  size_t at = line.find(tag);
  if (at == std::string::npos) return {};
  at += tag.size();
  if (line[at] != '"') {
    const size_t end = line.find_first_of(",}", at);
    return line.substr(at, end - at);
  }
  std::string out;
  for (size_t i = at + 1; i < line.size() && line[i] != '"'; ++i) {
    if (line[i] == '\\' && i + 1 < line.size()) {
      ++i;
      if (line[i] == 'n') {
        out += '\n';
        continue;
      }
      if (line[i] == 'r') {
        out += '\r';
        continue;
      }
    }
    out += line[i];
  }
  return out;
}

}  // namespace

WendlePage::WendlePage(const std::string& uiLogPath, const std::string& script) : logPath_(uiLogPath) {
  ui_ = std::thread([this, script] {
    platform::ui::HeadlessHost host;
    host.SetLogFile(logPath_);
    if (!script.empty()) {
      std::string error;
      auto parsed = platform::ui::UiScript::Parse(script, &error);
      if (!parsed) throw std::runtime_error("bad UI script: " + error);
      host.SetScript(std::move(*parsed));
    }
    // A person reads each box and presses OK.
    host.StartTimer(10, [&host] {
      while (!host.PendingBoxes().empty()) host.AnswerBox(host.PendingBoxes().front().serial, platform::ui::IDOK);
    });
    {
      std::lock_guard lock(mutex_);
      host_ = &host;
    }
    ready_.notify_all();
    host.Run();
    host.BeginShutdown();
  });
  std::unique_lock lock(mutex_);
  ready_.wait(lock, [&] { return host_ != nullptr; });
  lock.unlock();
  ComPtr<IClassFactory> factory;
  if (FAILED(WendleGetClassObject(wendle::CLSID_Wendle, IID_IClassFactory, factory.PutVoid())) ||
      FAILED(factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&ctrl_))))
    throw std::runtime_error("no control");
  site_ = ComPtr<IUnknown>::Attach(new TestSite(*host_));
  ctrl_->SetSite(site_.get());
}

WendlePage::~WendlePage() {
  ctrl_->SetSite(nullptr);
  static_cast<IDispatch*>(ctrl_)->Release();
  platform::ui::HeadlessHost* host = host_;
  host->Post([host] { host->Quit(0); });
  ui_.join();
}

IDispatch& WendlePage::dispatch() { return *ctrl_; }

std::vector<std::string> WendlePage::LogLines(const std::string& event) const {
  std::vector<std::string> out;
  std::ifstream in(logPath_);
  for (std::string line; std::getline(in, line);)
    if (line.find("\"event\":\"" + event + "\"") != std::string::npos) out.push_back(line);
  return out;
}

std::vector<std::string> WendlePage::Boxes() const {
  std::vector<std::string> out;
  for (const std::string& line : LogLines("box")) out.push_back(Field(line, "text"));
  return out;
}

int WendlePage::DialogsOpened(int templateId) const {
  int n = 0;
  for (const std::string& line : LogLines("dialog_open"))
    if (Field(line, "template") == std::to_string(templateId)) ++n;
  return n;
}

std::vector<int> WendlePage::DialogResults(int templateId) const {
  std::vector<int> out;
  for (const std::string& line : LogLines("dialog_end"))
    if (Field(line, "template") == std::to_string(templateId)) out.push_back(std::stoi(Field(line, "result")));
  return out;
}

}  // namespace vqtest
