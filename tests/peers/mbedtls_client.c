/* A TLS client of an independent library for the engine's server tests: connects to
 * 127.0.0.1:PORT offering exactly one suite (its IANA name) in one protocol (1.0, 1.1 or 1.2;
 * 1.2 when not given), trusts only CAFILE, names the host "localhost", then reads one line,
 * answers one, and closes. Prints the suite and protocol it got and the line it read; exits 1 on
 * any failure with the library's text. */
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/error.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/ssl.h>
#include <mbedtls/ssl_ciphersuites.h>
#include <mbedtls/x509_crt.h>
#include <stdio.h>
#include <string.h>

static int Fail(const char* step, int rc) {
  char text[200];
  mbedtls_strerror(rc, text, sizeof text);
  printf("failed: %s: -0x%04x %s\n", step, (unsigned)-rc, text);
  return 1;
}

/* The library spells suite names with '-' where IANA has '_'. */
static void Swap(char* s, char from, char to) {
  for (; *s != '\0'; ++s) {
    if (*s == from) *s = to;
  }
}

static int Run(const char* port, char* suite, const char* ca_file, int minor, mbedtls_net_context* net,
               mbedtls_ssl_context* ssl, mbedtls_ssl_config* conf, mbedtls_x509_crt* ca,
               mbedtls_ctr_drbg_context* drbg, mbedtls_entropy_context* entropy) {
  static int suites[2];
  int rc;
  Swap(suite, '_', '-');
  suites[0] = mbedtls_ssl_get_ciphersuite_id(suite);
  if (suites[0] == 0) return printf("failed: the library has no suite %s\n", suite), 1;
  if ((rc = mbedtls_ctr_drbg_seed(drbg, mbedtls_entropy_func, entropy, NULL, 0)) != 0) return Fail("seed", rc);
  if ((rc = mbedtls_x509_crt_parse_file(ca, ca_file)) != 0) return Fail("CA file", rc);
  if ((rc = mbedtls_net_connect(net, "127.0.0.1", port, MBEDTLS_NET_PROTO_TCP)) != 0) return Fail("connect", rc);
  if ((rc = mbedtls_ssl_config_defaults(conf, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                        MBEDTLS_SSL_PRESET_DEFAULT)) != 0) {
    return Fail("config", rc);
  }
  mbedtls_ssl_conf_authmode(conf, MBEDTLS_SSL_VERIFY_REQUIRED);
  mbedtls_ssl_conf_ca_chain(conf, ca, NULL);
  mbedtls_ssl_conf_rng(conf, mbedtls_ctr_drbg_random, drbg);
  mbedtls_ssl_conf_ciphersuites(conf, suites);
  mbedtls_ssl_conf_min_version(conf, MBEDTLS_SSL_MAJOR_VERSION_3, minor);
  mbedtls_ssl_conf_max_version(conf, MBEDTLS_SSL_MAJOR_VERSION_3, minor);
  if ((rc = mbedtls_ssl_setup(ssl, conf)) != 0) return Fail("setup", rc);
  if ((rc = mbedtls_ssl_set_hostname(ssl, "localhost")) != 0) return Fail("host name", rc);
  mbedtls_ssl_set_bio(ssl, net, mbedtls_net_send, mbedtls_net_recv, NULL);
  while ((rc = mbedtls_ssl_handshake(ssl)) != 0) {
    if (rc != MBEDTLS_ERR_SSL_WANT_READ && rc != MBEDTLS_ERR_SSL_WANT_WRITE) return Fail("handshake", rc);
  }
  char name[100];
  snprintf(name, sizeof name, "%s", mbedtls_ssl_get_ciphersuite(ssl));
  Swap(name, '-', '_');
  printf("suite: %s\nprotocol: %s\n", name, mbedtls_ssl_get_version(ssl));
  unsigned char line[512];
  size_t got = 0;
  while (got == 0 || line[got - 1] != '\n') {
    if (got == sizeof line - 1) return printf("failed: no end of line\n"), 1;
    rc = mbedtls_ssl_read(ssl, line + got, sizeof line - 1 - got);
    if (rc == MBEDTLS_ERR_SSL_WANT_READ || rc == MBEDTLS_ERR_SSL_WANT_WRITE) continue;
    if (rc <= 0) return Fail("read", rc);
    got += (size_t)rc;
  }
  line[got] = '\0';
  printf("read: %s", (const char*)line);
  static const char kAnswer[] = "hello from the peer\n";
  for (size_t sent = 0; sent < sizeof kAnswer - 1;) {
    rc = mbedtls_ssl_write(ssl, (const unsigned char*)kAnswer + sent, sizeof kAnswer - 1 - sent);
    if (rc == MBEDTLS_ERR_SSL_WANT_READ || rc == MBEDTLS_ERR_SSL_WANT_WRITE) continue;
    if (rc < 0) return Fail("write", rc);
    sent += (size_t)rc;
  }
  mbedtls_ssl_close_notify(ssl);
  return 0;
}

int main(int argc, char** argv) {
  /* TLS 1.x is the library's minor version x + 1. */
  const int minor = argc <= 4 ? MBEDTLS_SSL_MINOR_VERSION_3 : strlen(argv[4]) == 3 ? argv[4][2] - '0' + 1 : 0;
  if (argc < 4 || minor < MBEDTLS_SSL_MINOR_VERSION_1 || minor > MBEDTLS_SSL_MINOR_VERSION_3) {
    fprintf(stderr, "usage: %s PORT SUITE CAFILE [1.0|1.1|1.2]\n", argv[0]);
    return 2;
  }
  mbedtls_net_context net;
  mbedtls_ssl_context ssl;
  mbedtls_ssl_config conf;
  mbedtls_x509_crt ca;
  mbedtls_ctr_drbg_context drbg;
  mbedtls_entropy_context entropy;
  mbedtls_net_init(&net);
  mbedtls_ssl_init(&ssl);
  mbedtls_ssl_config_init(&conf);
  mbedtls_x509_crt_init(&ca);
  mbedtls_ctr_drbg_init(&drbg);
  mbedtls_entropy_init(&entropy);
  const int rc = Run(argv[1], argv[2], argv[3], minor, &net, &ssl, &conf, &ca, &drbg, &entropy);
  mbedtls_net_free(&net);
  mbedtls_ssl_free(&ssl);
  mbedtls_ssl_config_free(&conf);
  mbedtls_x509_crt_free(&ca);
  mbedtls_ctr_drbg_free(&drbg);
  mbedtls_entropy_free(&entropy);
  fflush(stdout);
  return rc;
}
