// The throwaway realm itself: the reference client tools get a ticket from it and the HTTP
// service accepts that ticket.
#include "tests/peers/kerberos_realm.h"

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace {

using testsupport::KerberosRealm;
using testsupport::RunCommand;

TEST(KerberosRealmPeer, ReferenceClientIsAcceptedByTheHttpService) {
  KerberosRealm realm;
  if (!realm.Start() || !realm.StartHttp()) {
    TW_REQUIRE_OR_SKIP(realm.error());
  }
  ASSERT_TRUE(realm.AddPrincipal("alice", "Secret123")) << realm.error();
  int status = -1;
  RunCommand(realm.Env() + "kinit alice 2>&1", "Secret123\n", &status);
  ASSERT_EQ(status, 0) << realm.kdc_log();
  if (!testsupport::HaveProgram("curl")) {
    TW_REQUIRE_OR_SKIP("curl not installed");
  }
  const std::string code =
      RunCommand(realm.Env() + "curl -s --negotiate -u : -o /dev/null -w '%{http_code}' " + realm.http_url());
  EXPECT_EQ(code, "200") << realm.http_log();
  const std::string unauthenticated = RunCommand("curl -s -o /dev/null -w '%{http_code}' " + realm.http_url());
  EXPECT_EQ(unauthenticated, "401");
}

}  // namespace
