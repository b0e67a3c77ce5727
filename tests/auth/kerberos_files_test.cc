// Keytab and credentials cache files: what the realm's tools write reads back the same as their
// own listing; hand-made files pin holes, key versions and expiry; no prefix or corruption of a
// real file reads outside it.
#include <gtest/gtest.h>

#include <ctime>

#include "auth/ccache_credential.h"
#include "auth/keytab_entry.h"
#include "foundation/text_conversion.h"
#include "tests/peers/kerberos_realm.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::KerberosRealm;
using testsupport::RunCommand;

// Big-endian builder for hand-made files.
struct Bytes {
  std::string b;
  Bytes& u8(uint32_t v) {
    b += static_cast<char>(v);
    return *this;
  }
  Bytes& u16(uint32_t v) { return u8(v >> 8).u8(v); }
  Bytes& u32(uint32_t v) { return u16(v >> 16).u16(v); }
  Bytes& s16(const std::string& s) {
    u16(static_cast<uint32_t>(s.size()));
    b += s;
    return *this;
  }
  Bytes& s32(const std::string& s) {
    u32(static_cast<uint32_t>(s.size()));
    b += s;
    return *this;
  }
};

std::string KeytabRecord(uint32_t kvno8, uint32_t kvno32, int key_type, const std::string& key) {
  Bytes r;
  r.u16(1).s16("TW.TEST").s16("carol").u32(1).u32(0).u8(kvno8).u16(static_cast<uint32_t>(key_type)).s16(key);
  if (kvno32 != 0) r.u32(kvno32);
  return r.b;
}

TEST(KerberosKeytabFile, HolesAreSkippedAndTheHighestVersionWins) {
  Bytes f;
  f.u8(5).u8(2);
  const std::string a = KeytabRecord(1, 0, 18, std::string(32, 'a'));
  const std::string b = KeytabRecord(3, 300, 18, std::string(32, 'b'));
  const std::string c = KeytabRecord(2, 0, 18, std::string(32, 'c'));
  f.u32(static_cast<uint32_t>(a.size())).b += a;
  f.u32(static_cast<uint32_t>(-40)).b += std::string(40, '\0');  // a deleted entry
  f.u32(static_cast<uint32_t>(b.size())).b += b;
  f.u32(static_cast<uint32_t>(c.size())).b += c;
  tw::KerberosKeytab kt;
  ASSERT_EQ(kt.Parse(f.b.data(), static_cast<int>(f.b.size())), 0) << kt.error_text();
  ASSERT_EQ(kt.count(), 3);
  const tw::KeytabEntry* e = kt.Find(18, "carol", "TW.TEST");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->kvno, 300u);
  EXPECT_EQ(kt.entry(0).kvno, 1u);  // fewer than 4 bytes left: the 8-bit version stays
  EXPECT_EQ(kt.Find(17, "carol", "TW.TEST"), nullptr);
  EXPECT_EQ(kt.Find(18, "dave", "TW.TEST"), nullptr);
  // A record that claims more than the file holds is refused.
  f.u32(1000).b += "xx";
  EXPECT_NE(kt.Parse(f.b.data(), static_cast<int>(f.b.size())), 0);
}

std::string Principal(const std::string& realm, std::initializer_list<std::string> parts) {
  Bytes p;
  p.u32(1).u32(static_cast<uint32_t>(parts.size())).s32(realm);
  for (const std::string& s : parts) p.s32(s);
  return p.b;
}

std::string Credential(const std::string& server, uint32_t end_time) {
  Bytes c;
  c.b += Principal("TW.TEST", {"carol"});
  c.b += Principal("TW.TEST", {server, "TW.TEST"});
  c.u16(18).s32(std::string(32, 'k')).u32(1).u32(1).u32(end_time).u32(0).u8(0).u32(0);
  c.u32(1).u16(2).s32("abcd");  // one IPv4 address
  c.u32(0).s32("\x61\x03\x02\x01\x05").s32("");
  return c.b;
}

TEST(KerberosCcacheFile, VersionExpiryAndAddressLengthsAreChecked) {
  const uint32_t now = static_cast<uint32_t>(time(nullptr));
  Bytes f;
  f.u16(0x0504).u16(12).u16(1).u16(8).u32(0).u32(0);
  f.b += Principal("TW.TEST", {"carol"});
  f.b += Credential("krbtgt", now - 10);  // expired
  f.b += Credential("HTTP", now + 3600);  // not a TGT
  f.b += Credential("krbtgt", now + 3600);
  tw::KerberosCcache cc;
  ASSERT_EQ(cc.Parse(f.b.data(), static_cast<int>(f.b.size())), 0) << cc.error_text();
  ASSERT_EQ(cc.count(), 3);
  const int64_t now_ms = int64_t{now} * 1000;
  EXPECT_FALSE(cc.entry(0).IsUsableTgt(now_ms));
  EXPECT_FALSE(cc.entry(1).IsUsableTgt(now_ms));
  EXPECT_TRUE(cc.entry(2).IsUsableTgt(now_ms));
  EXPECT_STREQ(cc.entry(2).client.text.c_str(), "carol@TW.TEST");
  EXPECT_EQ(cc.entry(2).addresses[0].length(), 10);

  std::string old = f.b;
  old[1] = 0x03;
  EXPECT_EQ(cc.Parse(old.data(), static_cast<int>(old.size())), tw::kErrInvalidValue);
  EXPECT_STREQ(cc.error_text(), "Unsupported Credential Cache version: 1283");

  std::string bad_address = f.b;
  const size_t at = bad_address.find("abcd");
  bad_address[at - 1] = 5;  // a 5-byte address
  EXPECT_EQ(cc.Parse(bad_address.data(), static_cast<int>(bad_address.size())), tw::kErrInvalidValue);
  EXPECT_STREQ(cc.error_text(), "Invalid address length");
}

// Every prefix and many random corruptions parse or fail cleanly; ASan watches the reads.
void Hammer(const std::string& file, bool keytab) {
  for (size_t n = 0; n <= file.size(); ++n) {
    tw::KerberosKeytab kt;
    tw::KerberosCcache cc;
    if (keytab) {
      kt.Parse(file.data(), static_cast<int>(n));
    } else {
      cc.Parse(file.data(), static_cast<int>(n));
    }
  }
  std::string noise = testsupport::RandomBytes(4000, 11);
  for (int i = 0; i < 2000; ++i) {
    std::string bad = file;
    for (int k = 0; k < 1 + i % 4; ++k) {
      const size_t at = static_cast<uint8_t>(noise[(i * 7 + k * 3) % noise.size()]) * 131u % bad.size();
      bad[at] = noise[(i + k) % noise.size()];
    }
    tw::KerberosKeytab kt;
    tw::KerberosCcache cc;
    if (keytab) {
      kt.Parse(bad.data(), static_cast<int>(bad.size()));
    } else {
      cc.Parse(bad.data(), static_cast<int>(bad.size()));
    }
  }
}

TEST(KerberosFilesRealm, ToolFilesMatchTheirListingAndSurviveCorruption) {
  KerberosRealm realm;
  if (!realm.Start()) {
    TW_REQUIRE_OR_SKIP(realm.error());
  }
  ASSERT_TRUE(realm.AddPrincipal("erin/admin", "Pw-erin-1")) << realm.error();
  const std::string kt_path = realm.dir() + "/erin.keytab";
  ASSERT_TRUE(realm.ExportKeytab("erin/admin", kt_path));
  const std::string cache = realm.dir() + "/erin.ccache";
  int status = -1;
  RunCommand(realm.Env() + "KRB5CCNAME=FILE:" + cache + " kinit erin/admin 2>&1", "Pw-erin-1\n", &status);
  ASSERT_EQ(status, 0);
  ASSERT_TRUE(realm.Kadmin("cpw -randkey -keepold erin/admin"));
  ASSERT_TRUE(realm.Kadmin("ktadd -k " + kt_path + " erin/admin"));
  const std::string listing = RunCommand(realm.Env() + "klist -k -e -K " + kt_path);
  tw::KerberosKeytab kt;
  ASSERT_EQ(kt.Load(kt_path.c_str()), 0) << kt.error_text();
  ASSERT_EQ(kt.count(), 6) << listing;
  for (int i = 0; i < kt.count(); ++i) {
    const tw::KeytabEntry& e = kt.entry(i);
    tw::ByteString name, key;
    e.PrincipalText(&name);
    tw::AppendHexLower(key, e.key.data(), e.key.length());
    const std::string line = std::to_string(e.kvno) + " " + name.c_str() + "@" + e.realm.c_str();
    EXPECT_NE(listing.find(line), std::string::npos) << line << "\n" << listing;
    EXPECT_NE(listing.find("(0x" + std::string(key.c_str()) + ")"), std::string::npos) << listing;
  }
  // The newer keys win.
  const tw::KeytabEntry* newest = kt.Find(18, "erin/admin", "TW.TEST");
  ASSERT_NE(newest, nullptr);
  EXPECT_EQ(newest->kvno, 3u);

  const std::string cache_listing = RunCommand(realm.Env() + "klist -c FILE:" + cache);
  tw::KerberosCcache cc;
  ASSERT_EQ(cc.Load(cache.c_str()), 0) << cc.error_text();
  EXPECT_STREQ(cc.default_principal().text.c_str(), "erin/admin@TW.TEST");
  int tgts = 0;
  for (int i = 0; i < cc.count(); ++i) {
    // The cache's own configuration entries are no tickets.
    if (!cc.entry(i).IsUsableTgt(static_cast<int64_t>(time(nullptr)) * 1000)) continue;
    ++tgts;
    EXPECT_NE(cache_listing.find(cc.entry(i).server.text.c_str()), std::string::npos) << cache_listing;
  }
  EXPECT_EQ(tgts, 1);

  Hammer(testsupport::ReadFile(kt_path), true);
  Hammer(testsupport::ReadFile(cache), false);
}

}  // namespace
