// Uploading 256 MiB (or the MiB of the first argument) from a local file to the storage emulator,
// plain and with client-side
// encryption (password, AES in CBC mode), best of 2 each; the encryption of the same file alone
// (cipher component, file to file) and OpenSSL's AES-256-CBC over the bytes in memory are timed
// beside them, for scale.
#include <openssl/evp.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "blob/blob_client.h"
#include "crypto/symmetric/cipher_component.h"
#include "tests/peers/azurite_peer.h"
#include "tests/support/test_support.h"

namespace {

size_t kSize = 256u << 20;
constexpr int kRounds = 2;
constexpr char kContainer[] = "bench";

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double MiBps(double seconds) { return static_cast<double>(kSize) / (1 << 20) / seconds; }

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::atoi(argv[1]) > 0) kSize = static_cast<size_t>(std::atoi(argv[1])) << 20;
  testsupport::AzuritePeer azurite;
  if (!testsupport::AzuritePeer::SdkInstalled()) {
    std::printf("encrypted_upload_bench: skipped (storage emulator or SDK not installed)\n");
    return 0;
  }
  if (!azurite.Start()) {
    std::printf("encrypted_upload_bench: skipped (%s)\n", azurite.error().c_str());
    return 0;
  }
  int status = -1;
  azurite.RunSdkScript("sdk_transfer.js", {}, &status,
                       std::string(R"([{"op":"container","container":")") + kContainer + "\"}]");
  if (status != 0) {
    std::fprintf(stderr, "container setup failed: %s\n", azurite.sdk_stderr().c_str());
    return 1;
  }

  const std::string dir = testsupport::MakeTempDir();
  const std::string source = dir + "/source.bin";
  testsupport::WriteFile(source, testsupport::RandomBytes(kSize, 42));

  tw::BlobClient client;
  if (!client.Initialize()) {
    std::fprintf(stderr, "client initialization failed\n");
    return 1;
  }
  client.SetTimeout(600, true);
  client.set_use_ssl(false);
  client.account().SetText(testsupport::AzuritePeer::account().c_str());
  client.access_key().SetText(testsupport::AzuritePeer::key().c_str());
  client.SetEndpoint(azurite.endpoint_suffix().c_str());
  client.container().SetText(kContainer);
  client.set_overwrite(true);
  client.SetTempPath(dir.c_str());
  client.SetCallerLocalFile(source.c_str());

  auto upload = [&](const char* password) -> double {
    client.SetEncryptionPassword(password);
    double best = 1e300;
    for (int round = 0; round < kRounds; ++round) {
      const auto start = std::chrono::steady_clock::now();
      const int rc = client.CreateBlob("big", 0, 0);
      const double s = SecondsSince(start);
      if (rc != 0) {
        std::fprintf(stderr, "CreateBlob failed: %d %s\n", rc, client.error_text().c_str());
        return -1;
      }
      best = s < best ? s : best;
    }
    return best;
  };

  const double plain = upload("");
  const double encrypted = upload("bench password");
  if (plain < 0 || encrypted < 0) return 1;

  // The encryption step alone.
  double cipher_best = 1e300;
  for (int round = 0; round < kRounds; ++round) {
    tw::CipherComponent cipher;
    cipher.SetInputFile(source.c_str());
    cipher.SetOutputFile((dir + "/cipher.bin").c_str());
    cipher.set_overwrite(true);
    cipher.SetKeyPassword("bench password");
    const auto start = std::chrono::steady_clock::now();
    if (cipher.Process(tw::kCipherEncrypt) != 0) {
      std::fprintf(stderr, "Process failed: %s\n", cipher.error_text().c_str());
      return 1;
    }
    const double s = SecondsSince(start);
    cipher_best = s < cipher_best ? s : cipher_best;
  }

  // The same step through OpenSSL, for scale.
  const std::string plain_bytes = testsupport::ReadFile(source);
  std::string out(plain_bytes.size() + 16, '\0');
  unsigned char key[32] = {1};
  unsigned char iv[16] = {2};
  const auto start = std::chrono::steady_clock::now();
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int n1 = 0;
  int n2 = 0;
  EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key, iv);
  EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char*>(out.data()), &n1,
                    reinterpret_cast<const unsigned char*>(plain_bytes.data()),
                    static_cast<int>(plain_bytes.size()));
  EVP_EncryptFinal_ex(ctx, reinterpret_cast<unsigned char*>(out.data()) + n1, &n2);
  EVP_CIPHER_CTX_free(ctx);
  const double openssl = SecondsSince(start);

  std::printf("%zu MiB block blob from a local file to the storage emulator (best of %d):\n",
              kSize >> 20, kRounds);
  std::printf("  plain upload:              %7.2f s  %7.1f MiB/s\n", plain, MiBps(plain));
  std::printf("  encrypted upload:          %7.2f s  %7.1f MiB/s  (%.2fx the plain time)\n",
              encrypted, MiBps(encrypted), encrypted / plain);
  std::printf("  encryption alone (file):   %7.2f s  %7.1f MiB/s\n", cipher_best,
              MiBps(cipher_best));
  std::printf("  OpenSSL AES-256-CBC (mem): %7.2f s  %7.1f MiB/s\n", openssl, MiBps(openssl));
  return 0;
}
