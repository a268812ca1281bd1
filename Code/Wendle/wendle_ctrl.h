// CWendleCtrl, the control a portal page scripts: whether the client is
// installed, its installation, its start with the web login or the
// hand-over of the login to the running client, and the status, user,
// session and disconnect requests over the client's pipe.
//
// Every method runs on the page's thread (the apartment) and blocks it;
// boxes and the PIN dialog are shown on the container's UI host, reached
// through the site, and awaited from the page's thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "Wendle/usb_pin_dialog.h"
#include "platform/com/dispatch.h"
#include "platform/com/site.h"

namespace platform::ui {
class UiHost;
}

// The library's count of live objects and server locks (DllCanUnloadNow).
void WendleModuleAddRef();
void WendleModuleRelease();

class CWendleCtrl final : public platform::com::IDispatch, public platform::com::IObjectWithSite {
 public:
  using HRESULT = platform::com::HRESULT;

  CWendleCtrl();

  // IUnknown
  HRESULT QueryInterface(const platform::com::IID& iid, void** out) override;
  uint32_t AddRef() override;
  uint32_t Release() override;
  // IDispatch
  HRESULT GetIDsOfNames(std::span<const std::string> names, platform::com::DISPID* ids) override;
  HRESULT Invoke(platform::com::DISPID id, uint16_t flags, std::span<const platform::com::Variant> args,
                 platform::com::Variant* result, uint32_t* argErr) override;
  // IObjectWithSite
  HRESULT SetSite(platform::com::IUnknown* site) override;
  HRESULT GetSite(const platform::com::IID& iid, void** out) override;

  // The methods of _DWendle.
  void AboutBox() {}
  int16_t Init(std::string_view bsSvr, std::string_view bsPort, std::string_view bsUsername,
               std::string_view bsPassword);
  int16_t Connect();
  int16_t IsClientInstalled();
  int16_t GetConnStat();
  void Disconnect();
  void SetClientAuthFlag(int16_t bFlag) { m_wUsbKeyMode = bFlag; }
  int16_t UserExist(std::string_view bsUsername);
  int16_t IsSessionExpire();

 private:
  ~CWendleCtrl();

  platform::ui::UiHost* Host();
  void ShowBox(const std::string& text, const std::string& caption, uint32_t flags);
  // The USB-key availability test and the PIN step; false: the method fails.
  bool UsbKeyStep();
  int16_t StartClientProcess();
  int16_t HandOverLogin();

  platform::com::RefCount refs_;
  platform::com::ComPtr<platform::com::IUnknown> site_;

  std::string m_strServer;
  std::string m_strPort;
  std::string m_strUsername;
  std::string m_strPassword;
  std::string m_strPin;
  CUsbPinDialog m_pinDialog;
  int16_t m_wUsbKeyMode = 0;
  uint32_t m_bPinEntered = 0;
  uint32_t m_bInitialized = 0;
};
