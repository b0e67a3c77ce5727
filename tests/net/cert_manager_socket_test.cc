// A certificate manager carries the socket settings beneath its own, and its Initialize resets them.
#include <gtest/gtest.h>

#include <string>

#include "certs/cert_manager.h"
#include "tests/support/case_name.h"

namespace {

struct ManagerCase {
  const char* name;
  const char* write;
  const char* read;
  int rc;
  const char* answer;
  int code_page;
};
class ManagerSocketSettings : public testing::TestWithParam<ManagerCase> {};

TEST_P(ManagerSocketSettings, AnswerAfterInitialize) {
  const ManagerCase& c = GetParam();
  tw::CertificateManager m;
  const char* answer = "";
  ASSERT_EQ(m.ConfigText(c.write, &answer), 0) << m.error_text().c_str();
  ASSERT_EQ(m.Initialize(), 0);
  EXPECT_EQ(m.ConfigText(c.read, &answer), c.rc);
  EXPECT_STREQ(answer, c.answer);
  EXPECT_STREQ(m.error_text().c_str(), c.rc == 0 ? "" : "Unknown config setting.");
  EXPECT_EQ(m.GetCodePage(), c.code_page);
}
INSTANTIATE_TEST_SUITE_P(
    Names, ManagerSocketSettings,
    testing::Values(ManagerCase{"socket_setting_is_reset", "SelectWaitMillis=5", "SelectWaitMillis", 0, "20", 0},
                    ManagerCase{"socket_switch_is_reset", "AbsoluteTimeout=true", "AbsoluteTimeout", 0, "False", 0},
                    ManagerCase{"own_setting_is_reset", "CertKeyLength=4096", "CertKeyLength", 0, "2048", 0},
                    ManagerCase{"code_page_stays_with_the_manager", "CodePage=65001", "CertKeyType", 0, "1", 65001},
                    ManagerCase{"unknown_name", "CertKeyType=2", "NoSuchSetting", -1, "", 0}),
    testsupport::CaseName());

}  // namespace
