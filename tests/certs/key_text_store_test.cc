// Key texts of every kind detected by the store's content parser.
#include <gtest/gtest.h>

#include <string>

#include "certs/cert_store.h"
#include "certs/putty_key.h"
#include "tests/certs/key_file_support.h"

namespace tw {
namespace {

using testsupport::ReadFile;
using testsupport::RunCommand;
using testsupport::ShellQuote;

TEST(KeyTextStore, EachKindIsDetected) {
  if (!testsupport::HaveProgram("ssh-keygen") || !testsupport::HaveProgram("puttygen")) {
    TW_REQUIRE_OR_SKIP("ssh-keygen or puttygen not installed");
  }
  keyfile::TempDir dir;
  int status = -1;
  RunCommand("ssh-keygen -q -t ed25519 -N '' -C c -f " + ShellQuote(dir / "k") + " && puttygen " +
                 ShellQuote(dir / "k") + " -O private --ppk-param version=2 -o " + ShellQuote(dir / "k.ppk") +
                 " </dev/null 2>&1",
             "", &status);
  ASSERT_EQ(status, 0);
  struct Case {
    std::string text;
    int32_t type;
    int keys;
  };
  const Case cases[] = {
      {ReadFile(dir / "k"), cstPEMKeyBlob, 1},
      {ReadFile(dir / "k.pub"), cstSSHPublicKeyBlob, 1},
      {ReadFile(dir / "k.ppk"), cstPPKBlob, 1},
      // RFC 8037's example key.
      {R"({"kty":"OKP","crv":"Ed25519","d":"nWGxne_9WmC6hEr0kuwsxERJxWl7MmkZcDusAxyuf2A",)"
       R"("x":"11qYAYKxCrfVS_7TyWQHOg7hcvPapiMlrwIaaPcHURo"})",
       cstJWKBlob, 1},
      {"<KeyInfo><RSAKeyValue><Modulus>AQAB</Modulus><Exponent>Aw==</Exponent></RSAKeyValue>"
       "<DSAKeyValue><P>AQ==</P><Q>Aw==</Q><G>Ag==</G><Y>Aw==</Y></DSAKeyValue></KeyInfo>",
       cstXMLBlob, 2},
  };
  for (const Case& c : cases) {
    CertEntryList list;
    int32_t type = -1;
    ByteString error;
    ASSERT_EQ(ParseStoreBytes(&list, c.text.data(), static_cast<int>(c.text.size()), "", nullptr, &type, &error), 0)
        << c.text << error.c_str();
    EXPECT_EQ(type, c.type) << c.text;
    ASSERT_EQ(list.entries.Count(), c.keys) << c.text;
    EXPECT_NE(list.entries.At(0)->key, nullptr) << c.text;
  }
  // A PuTTY key under a password that does not open it stops the parse with the reader's text.
  testsupport::WriteFile(dir / "pw", "secret");
  RunCommand("puttygen " + ShellQuote(dir / "k") + " -O private --ppk-param version=2 --new-passphrase " +
             ShellQuote(dir / "pw") + " -o " + ShellQuote(dir / "e.ppk") + " </dev/null 2>&1");
  const std::string ppk = ReadFile(dir / "e.ppk");
  CertEntryList list;
  int32_t type = -1;
  ByteString error;
  EXPECT_EQ(ParseStoreBytes(&list, ppk.data(), static_cast<int>(ppk.size()), "wrong", nullptr, &type, &error),
            kErrPuttyKeyData);
  EXPECT_STREQ(error.c_str(), kTextPuttyWrongPassword);
}

}  // namespace
}  // namespace tw
