// A throwaway Kerberos realm on 127.0.0.1 for the authentication tests: its own database,
// configuration and logs in a temp folder, a KDC on a free port (UDP and TCP on the same number)
// and, on demand, an HTTP server that demands Negotiate with the realm's service key. Every
// process is stopped and the folder removed when the object goes away.
//
//   KerberosRealm realm;
//   if (!realm.Start()) { TW_REQUIRE_OR_SKIP(realm.error()); }
//   realm.AddPrincipal("alice", "Secret123");
//   if (!realm.StartHttp()) { TW_REQUIRE_OR_SKIP(realm.error()); }
//   // KDC 127.0.0.1:realm.kdc_port(), service realm.http_principal(), GET realm.http_url()
//
// Tools run against the realm (kinit, klist, kadmin.local) take realm.Env() in front of them.
#pragma once

#include <memory>
#include <string>

namespace testsupport {

class PeerProcess;

class KerberosRealm {
 public:
  static constexpr const char* kRealm = "TW.TEST";
  // The service the HTTP server accepts; its keys are in http_keytab().
  static constexpr const char* kHttpPrincipal = "HTTP/localhost";
  // Keys every principal made with AddPrincipal gets, in this order.
  static constexpr const char* kEnctypes =
      "aes256-cts-hmac-sha1-96:normal,aes128-cts-hmac-sha1-96:normal,rc4-hmac:normal";

  KerberosRealm();
  ~KerberosRealm();  // stops everything and removes the folder
  KerberosRealm(const KerberosRealm&) = delete;
  KerberosRealm& operator=(const KerberosRealm&) = delete;

  // True when the KDC, its admin tools and the client tools are installed.
  static bool Installed();
  // True when the HTTP server and its Negotiate module are installed too.
  static bool HttpInstalled();

  // Makes the database and starts the KDC; true once it answers. On false, error() says why.
  bool Start();
  // Makes the HTTP service principal and its keytab and starts the HTTP server (Start first).
  bool StartHttp();
  // Stops the KDC only (its port then refuses TCP and drops UDP); the HTTP server stays.
  void StopKdc();
  void Stop();
  const std::string& error() const { return error_; }

  // Runs one kadmin.local query; true when it exits 0. `out` gets its output.
  bool Kadmin(const std::string& query, std::string* out = nullptr);
  // A principal ("alice" or "svc/host") with a password and the kEnctypes keys.
  bool AddPrincipal(const std::string& name, const std::string& password);
  // Writes the principal's current keys (kvno kept, -norandkey) to a keytab file.
  bool ExportKeytab(const std::string& name, const std::string& path);

  // "KRB5_CONFIG=... KRB5_KDC_PROFILE=... KRB5CCNAME=... " for a shell command line.
  std::string Env() const;
  int kdc_port() const { return kdc_port_; }
  int http_port() const { return http_port_; }
  std::string http_url() const;  // "http://localhost:PORT/index.html", answered "ok\n" once authenticated
  const std::string& dir() const { return dir_; }
  std::string http_keytab() const { return dir_ + "/http.keytab"; }
  std::string kdc_log() const;
  std::string http_log() const;

 private:
  bool WriteConfig();
  bool StartKdcProcess();

  std::unique_ptr<PeerProcess> kdc_;
  std::unique_ptr<PeerProcess> http_;
  std::string dir_;
  std::string error_;
  int kdc_port_ = 0;
  int http_port_ = 0;
};

}  // namespace testsupport
