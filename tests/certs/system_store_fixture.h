// Store folders made by openssl for the system-store tests of certs/ and tls/.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/cert_store_files.h"
#include "platform/key_container.h"
#include "tests/support/test_support.h"

namespace tw {

// root > inter > leaf (with key); plain and DER certificates without keys; a key that may not
// leave; a damaged PFX; an empty store; a store of the local machine only.
class SystemStores : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new std::string(testsupport::MakeTempDir());
    const std::string d = *dir_, s = d + "/stores";
    const std::string script =
        "set -e; cd " + d + "; mkdir -p stores/MY stores/ROOT stores/CA stores/EMPTY stores/BAD "
        "stores/.LocalMachine/MY stores/.LocalMachine/MACHINEONLY keys;"
        "openssl req -x509 -newkey rsa:2048 -nodes -keyout root.key -out root.pem -subj '/CN=Store Root' -days 30 "
        "-addext basicConstraints=critical,CA:true;"
        "openssl req -newkey rsa:2048 -nodes -keyout inter.key -out inter.csr -subj '/CN=Store Inter';"
        "printf 'basicConstraints=critical,CA:true\\n' > ca.ext;"
        "openssl x509 -req -in inter.csr -CA root.pem -CAkey root.key -set_serial 2 -days 30 -extfile ca.ext "
        "-out inter.pem;"
        "openssl req -newkey rsa:2048 -nodes -keyout leaf.key -out leaf.csr -subj '/O=Acme/CN=Store Leaf';"
        "openssl x509 -req -in leaf.csr -CA inter.pem -CAkey inter.key -set_serial 3 -days 30 -out leaf.pem;"
        "for n in Plain Der Locked Machine Neighbour; do openssl req -x509 -newkey rsa:2048 -nodes -keyout $n.key "
        "-out $n.pem -subj \"/O=Acme/CN=$n Cert\" -days 30; done;"
        "cp Plain.pem stores/MY/a_plain.pem; openssl x509 -in Der.pem -outform DER -out stores/MY/b_der.cer;"
        "openssl pkcs12 -export -passout pass: -in leaf.pem -inkey leaf.key -out stores/MY/c_leaf.pfx;"
        "openssl pkcs12 -export -passout pass: -in Locked.pem -inkey Locked.key -out stores/MY/d_locked.noexport.pfx;"
        "cp root.pem stores/ROOT/; cp inter.pem stores/CA/; cp Neighbour.pem stores/BAD/;"
        "head -c 300 stores/MY/c_leaf.pfx > stores/BAD/damaged.pfx;"
        "openssl pkcs12 -export -passout pass: -in Machine.pem -inkey Machine.key -out stores/.LocalMachine/MY/m.pfx;"
        "cp Machine.pem stores/.LocalMachine/MACHINEONLY/;"
        "cat leaf.pem leaf.key inter.pem > leaf_chain.pem 2>&1";
    int status = -1;
    testsupport::RunCommand("sh -c " + testsupport::ShellQuote(script) + " >/dev/null 2>&1", "", &status);
    ok_ = status == 0;
    setenv(win::kCertStoresVariable, s.c_str(), 1);
    setenv(win::kKeyContainersVariable, (d + "/keys").c_str(), 1);
  }
  static void TearDownTestSuite() {
    unsetenv(win::kCertStoresVariable);
    unsetenv(win::kKeyContainersVariable);
    testsupport::RunCommand("rm -rf " + testsupport::ShellQuote(*dir_));
    delete dir_;
  }
  void SetUp() override {
    if (!ok_) { TW_REQUIRE_OR_SKIP("openssl could not make the store folders"); }
  }
  static std::string Path(const std::string& name) { return *dir_ + "/" + name; }
  static inline std::string* dir_ = nullptr;
  static inline bool ok_ = false;
};

}  // namespace tw
