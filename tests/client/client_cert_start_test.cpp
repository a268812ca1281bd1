// The client application's certificate choice: read from the user's hive at
// start, before anything else of the run, and let go at shutdown.
#include <gtest/gtest.h>

#include "client/cert/write_cert_settings.h"
#include "client/cert_token.h"
#include "client_fixture.h"
#include "support/registry_helpers.h"

namespace {

TEST(CertSelectClientApp, StartReadsTheStoredChoiceAndShutdownLetsItGo) {
  vqtest::ClientRun run;
  CertSettings stored;
  stored.CertName = "Token User";
  stored.CSPName = USB_KEY_PROVIDER_NAME;
  stored.CertFingerPrint[0] = 0x5A;
  stored.CertFingerPrintLength = 1;
  stored.IsUseDefaultCert = 1;
  ASSERT_EQ(WriteCertSettings(stored, PRODUCT_SETTINGS_KEY), 0);

  // Options without -d: the start reads the settings, then ends at once.
  vqtest::Argv argv({"Marrowlantern", "-h", "gw"});
  EXPECT_FALSE(run.app.Start(argv.argc(), argv.argv()));
  const CertSettings read = run.app.Certificates().Get();
  EXPECT_EQ(read.CertName, "Token User");
  EXPECT_EQ(read.CSPName, USB_KEY_PROVIDER_NAME);
  EXPECT_EQ(read.CertFingerPrintLength, 1u);
  EXPECT_EQ(read.IsUseDefaultCert, 1u);

  run.app.Shutdown();
  EXPECT_TRUE(run.app.Certificates().Get().CertName.empty());
  EXPECT_EQ(run.app.Certificates().Get().IsUseDefaultCert, 0u);
}

}  // namespace
