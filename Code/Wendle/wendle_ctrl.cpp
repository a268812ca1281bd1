#include "Wendle/wendle_ctrl.h"

#include <unistd.h>

#include <limits>

#include "Wendle/client_installer.h"
#include "Wendle/client_launch.h"
#include "Wendle/cx_log.h"
#include "Wendle/usb_key_check.h"
#include "Wendle/wendle_ids.h"
#include "Wendle/wendle_pipe.h"
#include "Wendle/wendle_texts.h"
#include "Wendle/wendle_typelib.h"
#include "platform/paths/paths.h"
#include "platform/sync/instance_lock.h"
#include "platform/ui/ui_host.h"
#include "platform/ui/win32_ui.h"
#include "support/conn_info.h"
#include "support/conn_info_codec.h"
#include "support/leading_int.h"
#include "support/log.h"
#include "support/registry_helpers.h"
#include "support/text_convert.h"
#include "support/wire.h"

using namespace platform::com;
using platform::ui::IDOK;
using platform::ui::MB_ICONERROR;
using platform::ui::MB_OK;

namespace {

constexpr char kClientMutex[] = "Global\\VardenlowMarrowlantern";

int32_t ReadI32(const std::vector<uint8_t>& reply, size_t at) {
  return static_cast<int32_t>(wire::GetU32(reply.data() + at));
}

// Each request waits a little first, as the client's server expects.
int Transact(const std::vector<uint8_t>& request, std::vector<uint8_t>& reply) {
  ::usleep(WENDLE_REQUEST_PAUSE_MS * 1000);
  return TransactWendlePipe(request, reply, WENDLE_REPLY_BYTES, WENDLE_REPLY_TIMEOUT_MS);
}

}  // namespace

CWendleCtrl::CWendleCtrl() { WendleModuleAddRef(); }
CWendleCtrl::~CWendleCtrl() { WendleModuleRelease(); }

HRESULT CWendleCtrl::QueryInterface(const IID& iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IDispatch || iid == wendle::DIID__DWendle) {
    *out = static_cast<IDispatch*>(this);
  } else if (iid == IID_IObjectWithSite) {
    *out = static_cast<IObjectWithSite*>(this);
  } else {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

uint32_t CWendleCtrl::AddRef() { return refs_.Add(); }

uint32_t CWendleCtrl::Release() {
  const uint32_t left = refs_.Drop();
  if (left == 0) delete this;
  return left;
}

HRESULT CWendleCtrl::GetIDsOfNames(std::span<const std::string> names, DISPID* ids) {
  return WendleDispatchTable().IdsOfNames(names, ids);
}

HRESULT CWendleCtrl::Invoke(DISPID id, uint16_t flags, std::span<const Variant> args, Variant* result,
                            uint32_t* argErr) {
  std::vector<Variant> a;
  const DispMember* member = nullptr;
  if (const HRESULT hr = WendleDispatchTable().Prepare(id, flags, args, a, argErr, member); FAILED(hr)) return hr;
  Variant value;
  try {
    switch (id) {
      case DISPID_ABOUTBOX: AboutBox(); break;
      case wendle::DISPID_Init:
        value = Variant::I2(Init(a[0].Text(), a[1].Text(), a[2].Text(), a[3].Text()));
        break;
      case wendle::DISPID_Connect: value = Variant::I2(Connect()); break;
      case wendle::DISPID_IsClientInstalled: value = Variant::I2(IsClientInstalled()); break;
      case wendle::DISPID_GetConnStat: value = Variant::I2(GetConnStat()); break;
      case wendle::DISPID_Disconnect: Disconnect(); break;
      case wendle::DISPID_SetClientAuthFlag: SetClientAuthFlag(static_cast<int16_t>(a[0].Int())); break;
      case wendle::DISPID_UserExist: value = Variant::I2(UserExist(a[0].Text())); break;
      case wendle::DISPID_IsSessionExpire: value = Variant::I2(IsSessionExpire()); break;
      default: return DISP_E_MEMBERNOTFOUND;
    }
  } catch (const std::exception&) {
    // Nothing of a method's failure may cross into the page.
    return E_FAIL;
  }
  if (result) *result = value;
  return S_OK;
}

HRESULT CWendleCtrl::SetSite(IUnknown* site) {
  if (site) site->AddRef();
  site_ = ComPtr<IUnknown>::Attach(site);
  return S_OK;
}

HRESULT CWendleCtrl::GetSite(const IID& iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!site_) return E_FAIL;
  return site_->QueryInterface(iid, out);
}

platform::ui::UiHost* CWendleCtrl::Host() {
  ComPtr<IUiSite> site;
  if (!site_ || FAILED(site_.As(IID_IUiSite, site))) return nullptr;
  return site->UiHost();
}

void CWendleCtrl::ShowBox(const std::string& text, const std::string& caption, uint32_t flags) {
  if (platform::ui::UiHost* host = Host()) {
    host->MessageBoxWait(text, caption, flags);
    return;
  }
  // A container without a host still learns why the call failed.
  LogPrint(LOG_ERR, "%s\n", text);
}

bool CWendleCtrl::UsbKeyStep() {
  if (m_wUsbKeyMode == 1 || m_wUsbKeyMode == 2) {
    if (!IsUsbKeyAvailable()) {
      ShowBox(Text(WendleText::UsbKeyNotAvailable), Text(WendleText::CaptionMessage), MB_OK | MB_ICONERROR);
      m_bPinEntered = 0;
      return false;
    }
  }
  if (m_wUsbKeyMode != 0 && !m_bPinEntered) {
    if (m_pinDialog.DoModal(Host()) != IDOK) return false;
    m_strPin = m_pinDialog.pin();
    m_bPinEntered = 1;
  }
  return true;
}

int16_t CWendleCtrl::IsClientInstalled() {
  std::string home;
  uint32_t size = REG_STRING_READ_BYTES;
  return RegReadProductValue("QIMBO_HOME", home, size) == 0 ? 1 : 0;
}

int16_t CWendleCtrl::Init(std::string_view bsSvr, std::string_view bsPort, std::string_view bsUsername,
                          std::string_view bsPassword) {
  m_strServer = bsSvr;
  m_strPort = bsPort;
  m_strUsername = bsUsername;
  m_strPassword = bsPassword;
  m_bInitialized = 0;
  if (IsClientInstalled()) {
    m_bInitialized = 1;
    return 0;
  }
  if (!UsbKeyStep()) return -1;
  const std::string url = FormatText(CLIENT_INSTALLER_URL_FORMAT, m_strServer, m_strPort);
  if (DownloadClientInstaller(Host(), url, m_strUsername, m_strPassword, m_bPinEntered ? m_strPin : std::string()) != 0) {
    ShowBox(Text(WendleText::DownloadClientFailed), WENDLE_BOX_CAPTION, MB_OK | MB_ICONERROR);
    return -1;
  }
  // Installed now, but Init has to see it on its next call.
  return 0;
}

int16_t CWendleCtrl::Connect() {
  if (!m_bInitialized) {
    ShowBox(Text(WendleText::NotInitialized), WENDLE_BOX_CAPTION, MB_OK);
    return -1;
  }
  const bool running = platform::InstanceLock::IsHeld(kClientMutex);
  if (!UsbKeyStep()) return -1;

  // Every value must be there, and fit its field of the login record
  // whole: a cut session id or PIN would only fail later at the gateway.
  const std::string host = Utf8ToAnsi(m_strServer);
  const std::string user = Utf8ToAnsi(m_strUsername);
  const std::string secret = Utf8ToAnsi(m_strPassword);
  const std::string pin = Utf8ToAnsi(m_strPin);
  const bool fits = host.size() < conn_info::kHostSize && user.size() < conn_info::kUserSize &&
                    secret.size() < conn_info::kSecretSize && (m_wUsbKeyMode == 0 || pin.size() < conn_info::kSecretSize);
  if (m_strServer.empty() || m_strPort.empty() || m_strUsername.empty() || m_strPassword.empty() || !fits) {
    ShowBox(Text(WendleText::InvalidParameters), WENDLE_BOX_CAPTION, MB_OK);
    return -1;
  }
  return running ? HandOverLogin() : StartClientProcess();
}

int16_t CWendleCtrl::StartClientProcess() {
  std::string home;
  uint32_t size = REG_STRING_READ_BYTES;
  if (RegReadProductValue("QIMBO_HOME", home, size) != 0) {
    ShowBox(Text(WendleText::NoHomeDirectory), WENDLE_BOX_CAPTION, MB_OK);
    return -1;
  }
  const WebLogin login{m_strServer, m_strPort, m_strUsername, m_strPassword, m_strPin};
  const uint32_t error = StartClient(platform::paths::SettingPath(home), m_wUsbKeyMode, login);
  if (error == 0) return 0;
  CXLOG(MsgLog, Text(WendleText::CreateProcessFailedLog));
  ShowBox(FormatText(Text(WendleText::CreateProcessFailedBox), static_cast<int>(error)), WENDLE_BOX_CAPTION, MB_OK);
  return -1;
}

int16_t CWendleCtrl::HandOverLogin() {
  conn_info info;
  info.host = Utf8ToAnsi(m_strServer);
  info.port = static_cast<uint32_t>(LeadingInt32(m_strPort));
  info.auth_type = 0;  // the client sets it
  info.user = Utf8ToAnsi(m_strUsername);
  info.secret1 = Utf8ToAnsi(m_strPassword);
  if (m_wUsbKeyMode == 1) {
    info.init = CONN_FLAG_USB_KEY;
    info.secret2 = Utf8ToAnsi(m_strPin);
  } else if (m_wUsbKeyMode == 2) {
    info.init = CONN_FLAG_USB_KEY | CONN_FLAG_USB_KEY_ONLY;
    info.secret2 = Utf8ToAnsi(m_strPin);
  }
  std::vector<uint8_t> request(1 + conn_info::kWireSize, 0);
  request[0] = VQ_WEB_LOGIN;
  if (!EncodeConnInfo(info, request.data() + 1)) return -1;  // checked by Connect already
  std::vector<uint8_t> reply;
  const int rc = Transact(request, reply);
  std::fill(request.begin(), request.end(), 0);  // the session id and PIN go no further
  if (rc != 0) return -1;
  if (reply.empty() || reply[0] != VQ_WEB_LOGIN) {
    CXLOG(MsgLog, "ConnectCommand::SendAndRecv error ...");
    return -1;
  }
  // [1] alone: the client refuses because a user is logged in.
  if (reply.size() == 1) return 0;
  if (reply.size() < 5) return -1;
  return static_cast<int16_t>(ReadI32(reply, 1));
}

int16_t CWendleCtrl::GetConnStat() {
  std::vector<uint8_t> reply;
  if (Transact({VQ_WEB_STATUS}, reply) != 0) return -1;
  if (reply.size() < 9 || reply[0] != VQ_WEB_STATUS) return -1;
  return static_cast<int16_t>(ReadI32(reply, 5));
}

void CWendleCtrl::Disconnect() {
  std::vector<uint8_t> reply;
  Transact({VQ_WEB_DISCONNECT}, reply);
}

int16_t CWendleCtrl::UserExist(std::string_view bsUsername) {
  std::vector<uint8_t> reply;
  if (Transact({VQ_WEB_QUERY, VQ_QUERY_USER_NAME}, reply) != 0) return -1;
  if (reply.size() < 6 || reply[0] != VQ_WEB_QUERY || reply[1] != VQ_QUERY_USER_NAME) return -1;
  const int32_t n = ReadI32(reply, 2);
  if (n < 0 || n >= 260 || reply.size() < 6 + static_cast<size_t>(n)) return -1;
  const std::string name(reply.begin() + 6, reply.begin() + 6 + n);
  return AnsiToWide(name) == Utf8ToWide(bsUsername) ? 0 : 1;
}

int16_t CWendleCtrl::IsSessionExpire() {
  std::vector<uint8_t> reply;
  if (Transact({VQ_WEB_QUERY, VQ_QUERY_SESSION_STATE}, reply) != 0) return -1;
  if (reply.size() < 6 || reply[0] != VQ_WEB_QUERY || reply[1] != VQ_QUERY_SESSION_STATE) return -1;
  return static_cast<int16_t>(ReadI32(reply, 2));
}
