// Listing a container of 5,000 blobs from the storage emulator: the blob client's ListBlobs over
// every page the service gives (default page size), against the reference SDK's listBlobsFlat
// over all pages (timed inside node; node's whole process time reported apart), best of 3 each.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "blob/blob_client.h"
#include "tests/peers/azurite_peer.h"

namespace {

constexpr int kBlobs = 5000;
constexpr int kRounds = 3;
constexpr char kContainer[] = "bench";
constexpr char kScript[] = "listing_bench.js";

double MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace

int main() {
  testsupport::AzuritePeer azurite;
  if (!testsupport::AzuritePeer::SdkInstalled()) {
    std::printf("listing_bench: skipped (storage emulator or SDK not installed)\n");
    return 0;
  }
  if (!azurite.Start()) {
    std::printf("listing_bench: skipped (%s)\n", azurite.error().c_str());
    return 0;
  }

  auto start = std::chrono::steady_clock::now();
  int status = -1;
  const std::string seeded =
      azurite.RunSdkScript(kScript, {"seed", kContainer, std::to_string(kBlobs)}, &status);
  if (status != 0 || std::atoi(seeded.c_str()) != kBlobs) {
    std::fprintf(stderr, "seeding failed: %s%s\n", seeded.c_str(), azurite.sdk_stderr().c_str());
    return 1;
  }
  std::printf("setup: %d empty blobs uploaded through the SDK in %.0f ms\n", kBlobs,
              MsSince(start));

  tw::BlobClient client;
  if (!client.Initialize()) {
    std::fprintf(stderr, "client initialization failed\n");
    return 1;
  }
  client.SetTimeout(60, true);
  client.set_use_ssl(false);
  client.account().SetText(testsupport::AzuritePeer::account().c_str());
  client.access_key().SetText(testsupport::AzuritePeer::key().c_str());
  client.SetEndpoint(azurite.endpoint_suffix().c_str());
  client.container().SetText(kContainer);

  double client_best = 1e300;
  int client_pages = 0;
  for (int round = 0; round < kRounds; ++round) {
    client.blob_marker().Reset();
    int pages = 0;
    start = std::chrono::steady_clock::now();
    do {
      const int rc = client.ListBlobs();
      if (rc != 0) {
        std::fprintf(stderr, "ListBlobs failed: %d %s\n", rc, client.error_text().c_str());
        return 1;
      }
      ++pages;
    } while (!client.blob_marker().empty());
    const double ms = MsSince(start);
    if (client.blobs().Count() != kBlobs) {
      std::fprintf(stderr, "ListBlobs found %d blobs, expected %d\n", client.blobs().Count(),
                   kBlobs);
      return 1;
    }
    client_best = std::min(client_best, ms);
    client_pages = pages;
  }

  double sdk_best = 1e300;
  double node_best = 1e300;
  for (int round = 0; round < kRounds; ++round) {
    start = std::chrono::steady_clock::now();
    const std::string out = azurite.RunSdkScript(kScript, {"list", kContainer}, &status);
    const double process_ms = MsSince(start);
    int count = 0;
    double ms = 0;
    if (status != 0 || std::sscanf(out.c_str(), "%d %lf", &count, &ms) != 2 || count != kBlobs) {
      std::fprintf(stderr, "SDK listing failed: %s%s\n", out.c_str(),
                   azurite.sdk_stderr().c_str());
      return 1;
    }
    sdk_best = std::min(sdk_best, ms);
    node_best = std::min(node_best, process_ms);
  }

  std::printf("listing %d blobs, best of %d:\n", kBlobs, kRounds);
  std::printf("  BlobClient::ListBlobs   %8.1f ms  (%d page%s)\n", client_best, client_pages,
              client_pages == 1 ? "" : "s");
  std::printf("  SDK listBlobsFlat       %8.1f ms  (timed inside node)\n", sdk_best);
  std::printf("  node process, total     %8.1f ms  (start-up, SDK load, listing)\n", node_best);
  return 0;
}
