// The client in-process with its real login dialog: a fresh VQ_ROOT with a
// SoftHSM2 token as the USB key, the headless host on a fake clock, the
// saved-connection store loaded from the root, fake services for the
// readiness check, a scripted tunnel service's command pipe that takes
// every request and records it, and the hidden window up (-d -q: no
// connect, no dialog of its own).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "client/app/client_constants.h"
#include "client/cert/write_cert_settings.h"
#include "client/cert_token.h"
#include "client/store/store_fixture.h"
#include "client/store/process_store.h"
#include "client/ui/login_dialog.h"
#include "client/ui/login_templates.h"
#include "common/fake_pipe_server.h"
#include "connect_fixture.h"
#include "support/command_pipe.h"
#include "support/conn_info_codec.h"
#include "support/registry_helpers.h"

namespace vqtest {

// The recording hooks without the login dialog's, which are the real ones.
inline client::ClientHooks LoginHooks(HookLog& log, HookAnswers& answers) {
  client::ClientHooks h = RecordingHooks(log, answers);
  UseOwnLoginDialog(h);
  h.setSwitchEvent = [&log](client::ClientApp&) { log.Add("switch-event"); };
  h.dialogs[158] = [&log](client::ClientApp&) { log.Add("options"); };
  return h;
}

// A saved connection as the Options dialog makes one, in a login mode.
inline client::user_info Saved(const std::string& alias, const std::string& name = "bob",
                               const std::string& host = "10.0.0.1", const std::string& port = "443",
                               const std::string& mode = "0") {
  client::user_info r = storetest::Record(alias, name, host, port);
  r.LOGINMODE = mode;
  return r;
}

struct LoginRun {
  LoginRun() : host(clock), app(host, LoginHooks(log, answers), WithFakeServices(services, {}, 1033)) {}
  ~LoginRun() { app.Shutdown(); }

  void Start() {
    Argv argv = WindowOnly();
    ASSERT_TRUE(app.Start(argv.argc(), argv.argv()));
    host.RunUntilIdle();
    ASSERT_TRUE(client::g_xmlConfig.IsLoaded());
  }

  // Stored in the list and the file; the current one when current.
  void Store(const client::user_info& record, bool current = false) {
    ASSERT_TRUE(client::g_xmlConfig.AddListEntry(record));
    ASSERT_TRUE(client::g_xmlConfig.AddUser(record));
    if (current) {
      ASSERT_TRUE(client::g_xmlConfig.SetCurrentUser(record.ALIASID));
      ASSERT_TRUE(client::g_xmlConfig.CopyToCurrentUser(record));
    }
  }
  void SetAutoLogin(bool on) { ASSERT_TRUE(client::g_xmlConfig.SetAutoLogin(on ? "1" : "0")); }

  // The token's certificate, chosen as the user's by its fingerprint.
  X509* ChooseTokenCertificate(const std::string& commonName = "Token User") {
    X509* cert = token.AddToToken(commonName, 1);
    EXPECT_EQ(WriteCertSettings(EntryFor(cert), PRODUCT_SETTINGS_KEY), 0);
    return cert;
  }

  // The Connect command, as the tray runs it.
  platform::ui::Dialog* Open() {
    app.Window()->OnCommand(client::ID_CONNECT);
    host.RunUntilIdle();
    return Dialog();
  }
  platform::ui::Dialog* Dialog() { return client::FindLoginDialog(host); }

  // The opens the tunnel service got, decoded.
  std::vector<conn_info> Opens() {
    std::vector<conn_info> out;
    for (const auto& m : service.Messages()) {
      conn_info c;
      if (!m.empty() && m[0] == VQ_OPEN_CHANNEL && DecodeConnInfo(m.data() + 1, m.size() - 1, c)) out.push_back(c);
    }
    return out;
  }
  size_t Count(uint8_t command) {
    size_t n = 0;
    for (const auto& m : service.Messages()) n += !m.empty() && m[0] == command;
    return n;
  }

  bool RunConnect() { return RunConnectThread(host, clock, app); }
  std::vector<std::string> BoxTexts() { return PendingBoxTexts(host); }

  CertToken token;  // first: its root holds the app's files
  FakeServices services;
  HookLog log;
  HookAnswers answers;
  FakePipeServer service{client::kBrindlewayPipeName, [](const FakePipeServer::Bytes& r) {
                           return std::optional<FakePipeServer::Bytes>(FakePipeServer::Bytes{r[0], 0, 0, 0, 0});
                         }};
  platform::FakeClock clock;
  platform::ui::HeadlessHost host;
  client::ClientApp app;
};

}  // namespace vqtest
