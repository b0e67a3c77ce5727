// A file of N MiB (argument, default 1024) through the storage emulator: uploaded (automatic
// block upload above SimpleUploadLimit, default fragment size) and downloaded to a file by the
// blob client, then by the reference SDK's uploadFile / downloadToFile, in the same run. Each of
// our transfers runs in a forked child, so its peak resident set is its own (ru_maxrss from
// wait4, less the child's resident set before the call); the SDK reports getrusage's peak from
// inside node. Round trips are checked by sha256 on both sides. The sample host (the control
// through IDispatch, every event connected and printed) uploads and downloads the file as well,
// timed by its own --time.
#include <openssl/evp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "blob/blob_client.h"
#include "tests/peers/azurite_peer.h"
#include "tests/support/test_support.h"

namespace {

constexpr char kContainer[] = "transferbench";
constexpr char kScript[] = "transfer_bench.js";
constexpr double kMiB = 1024.0 * 1024.0;

struct ChildResult {
  int rc = -1;
  double ms = 0;
  long rss_before_kb = 0;
  long max_rss_kb = 0;  // filled by the parent from wait4
  char error[240] = {};
};

long CurrentRssKb() {
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  long pages = 0, resident = 0;
  if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
  std::fclose(f);
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// The largest peak resident set of the process and its children (the emulator's node runs
// under a supervising leader).
long PeakRssKbOf(int pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  const std::string text = testsupport::ReadFile(proc + "/status");
  const size_t at = text.find("VmHWM:");
  long peak = at == std::string::npos ? 0 : std::atol(text.c_str() + at + 6);
  const std::string children =
      testsupport::ReadFile(proc + "/task/" + std::to_string(pid) + "/children");
  for (const char* p = children.c_str(); *p != '\0';) {
    char* end = nullptr;
    const long child = std::strtol(p, &end, 10);
    if (end == p) break;
    peak = std::max(peak, PeakRssKbOf(static_cast<int>(child)));
    p = end;
  }
  return peak;
}

std::string FileSha256(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return "<unreadable>";
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
  std::vector<unsigned char> buffer(1 << 20);
  size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), f)) > 0) EVP_DigestUpdate(ctx, buffer.data(), n);
  std::fclose(f);
  unsigned char digest[32];
  unsigned int length = 0;
  EVP_DigestFinal_ex(ctx, digest, &length);
  EVP_MD_CTX_free(ctx);
  std::string hex;
  char two[3];
  for (unsigned i = 0; i < length; ++i) {
    std::snprintf(two, sizeof(two), "%02x", digest[i]);
    hex += two;
  }
  return hex;
}

bool WriteRandomFile(const std::string& path, int64_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  std::vector<uint64_t> chunk((1 << 20) / 8);
  uint64_t x = 0x9E3779B97F4A7C15ull;
  for (int64_t done = 0; done < size;) {
    for (uint64_t& v : chunk) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      v = x;
    }
    const size_t n = static_cast<size_t>(std::min<int64_t>(size - done, 1 << 20));
    if (std::fwrite(chunk.data(), 1, n, f) != n) {
      std::fclose(f);
      return false;
    }
    done += static_cast<int64_t>(n);
  }
  return std::fclose(f) == 0;
}

// Runs `work` with a fresh client in a forked child; the call alone is timed.
ChildResult RunInChild(const testsupport::AzuritePeer& azurite,
                       const std::function<int(tw::BlobClient&)>& work) {
  ChildResult result;
  int fds[2];
  if (pipe(fds) != 0) return result;
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    ChildResult r;
    tw::BlobClient client;
    if (!client.Initialize()) {
      std::snprintf(r.error, sizeof(r.error), "client initialization failed");
    } else {
      client.SetTimeout(600, true);
      client.set_use_ssl(false);
      client.account().SetText(testsupport::AzuritePeer::account().c_str());
      client.access_key().SetText(testsupport::AzuritePeer::key().c_str());
      client.SetEndpoint(azurite.endpoint_suffix().c_str());
      client.container().SetText(kContainer);
      r.rss_before_kb = CurrentRssKb();
      const auto start = std::chrono::steady_clock::now();
      r.rc = work(client);
      r.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
      if (r.rc != 0) std::snprintf(r.error, sizeof(r.error), "%s", client.error_text().c_str());
    }
    const ssize_t written = write(fds[1], &r, sizeof(r));
    _exit(written == static_cast<ssize_t>(sizeof(r)) ? 0 : 1);
  }
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return result;
  }
  ChildResult r;
  if (read(fds[0], &r, sizeof(r)) == static_cast<ssize_t>(sizeof(r))) result = r;
  close(fds[0]);
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  result.max_rss_kb = usage.ru_maxrss;
  return result;
}

double JsonNumber(const std::string& json, const char* key) {
  const std::string quoted = std::string("\"") + key + "\":";
  const size_t at = json.find(quoted);
  return at == std::string::npos ? -1 : std::atof(json.c_str() + at + quoted.size());
}

std::string JsonString(const std::string& json, const char* key) {
  const std::string quoted = std::string("\"") + key + "\":\"";
  const size_t at = json.find(quoted);
  if (at == std::string::npos) return "";
  const size_t end = json.find('"', at + quoted.size());
  return json.substr(at + quoted.size(), end - at - quoted.size());
}

struct SdkResult {
  bool ok = false;
  double ms = 0;
  double rss_before = 0;
  double max_rss = 0;
  double sampled_rss = 0;
  std::string sha256;
};

SdkResult RunSdk(const testsupport::AzuritePeer& azurite, const std::vector<std::string>& args) {
  SdkResult r;
  int status = -1;
  const std::string out = azurite.RunSdkScript(kScript, args, &status);
  if (status != 0) {
    std::fprintf(stderr, "SDK %s failed: %s%s\n", args[0].c_str(), out.c_str(),
                 azurite.sdk_stderr().c_str());
    return r;
  }
  r.ok = true;
  r.ms = JsonNumber(out, "ms");
  r.rss_before = JsonNumber(out, "rssBefore");
  r.max_rss = JsonNumber(out, "maxRss");
  r.sampled_rss = JsonNumber(out, "sampledRss");
  r.sha256 = JsonString(out, "sha256");
  return r;
}

void PrintOurs(const char* what, const ChildResult& r, int64_t size) {
  std::printf("  BlobClient %-9s %8.1f MB/s  (%7.0f ms)  peak RSS %6.1f MiB, growth %6.1f MiB\n",
              what, size / kMiB / (r.ms / 1000.0), r.ms, r.max_rss_kb / 1024.0,
              (r.max_rss_kb - r.rss_before_kb) / 1024.0);
}

void PrintSdk(const char* what, const SdkResult& r, int64_t size) {
  std::printf("  SDK        %-9s %8.1f MB/s  (%7.0f ms)  peak RSS %6.1f MiB, growth %6.1f MiB"
              " (sampled peak %6.1f MiB)\n",
              what, size / kMiB / (r.ms / 1000.0), r.ms, r.max_rss / kMiB,
              (r.max_rss - r.rss_before) / kMiB, r.sampled_rss / kMiB);
}

// The sample host's seconds for one method, from its "time Method S" line; -1 when it failed.
double RunHost(const testsupport::AzuritePeer& azurite, const std::string& dir,
               const std::string& method, const std::vector<std::string>& steps) {
  std::string command = "TW_BENCH_KEY=" + testsupport::AzuritePeer::key() +
                        " TW_REGISTRY_FILE='" + dir + "/registry.txt' '" TW_COBALIN_HOST
                        "' --no-bar --events all --time=" + method +
                        " UseSSL=false Account=" + testsupport::AzuritePeer::account() +
                        " AccessKey=@env:TW_BENCH_KEY 'Config(Endpoint=" +
                        azurite.endpoint_suffix() + ")' Container=" + kContainer;
  for (const std::string& step : steps) command += " '" + step + "'";
  command += " > '" + dir + "/host.log' 2>&1";
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "host %s failed: %s\n", method.c_str(),
                 testsupport::ReadFile(dir + "/host.log").substr(0, 2000).c_str());
    return -1;
  }
  const std::string log = testsupport::ReadFile(dir + "/host.log");
  const std::string key = "time " + method + " ";
  const size_t at = log.rfind(key);
  return at == std::string::npos ? -1 : std::atof(log.c_str() + at + key.size());
}

void PrintHost(const char* what, double seconds, int64_t size) {
  if (seconds <= 0) return;
  std::printf("  host       %-9s %8.1f MB/s  (%7.0f ms)  every event connected\n", what,
              size / kMiB / seconds, seconds * 1000.0);
}

}  // namespace

int main(int argc, char** argv) {
  const int64_t mib = argc > 1 ? std::atoll(argv[1]) : 1024;
  if (mib <= 0) {
    std::fprintf(stderr, "usage: %s [MiB]\n", argv[0]);
    return 2;
  }
  const int64_t size = mib << 20;
  if (!testsupport::AzuritePeer::SdkInstalled()) {
    std::printf("blob_transfer_bench: skipped (storage emulator or SDK not installed)\n");
    return 0;
  }
  testsupport::AzuritePeer azurite;
  if (!azurite.Start()) {
    std::printf("blob_transfer_bench: skipped (%s)\n", azurite.error().c_str());
    return 0;
  }
  const std::string dir = testsupport::MakeTempDir();
  const std::string source = dir + "/source.bin";
  if (!WriteRandomFile(source, size)) {
    std::fprintf(stderr, "cannot write %s\n", source.c_str());
    return 1;
  }
  const std::string source_sha = FileSha256(source);
  if (!RunSdk(azurite, {"container", kContainer}).ok) return 1;
  int failures = 0;

  // Ours.
  const ChildResult up = RunInChild(azurite, [&](tw::BlobClient& c) {
    c.SetCallerLocalFile(source.c_str());
    return c.CreateBlob("ours.bin", 0, 0);
  });
  if (up.rc != 0) {
    std::fprintf(stderr, "BlobClient upload failed: %d %s\n", up.rc, up.error);
    return 1;
  }
  const std::string ours_down = dir + "/ours_down.bin";
  const ChildResult down = RunInChild(azurite, [&](tw::BlobClient& c) {
    c.SetCallerLocalFile(ours_down.c_str());
    c.set_overwrite(true);
    return c.GetBlob("ours.bin");
  });
  if (down.rc != 0) {
    std::fprintf(stderr, "BlobClient download failed: %d %s\n", down.rc, down.error);
    return 1;
  }
  const std::string ours_sha = FileSha256(ours_down);
  std::filesystem::remove(ours_down);
  // The sample host: a download of the same blob, then an upload of its own.
  const std::string host_down = dir + "/host_down.bin";
  const double host_down_s =
      RunHost(azurite, dir, "GetBlob", {"LocalFile=" + host_down, "Overwrite=true", "GetBlob(ours.bin)"});
  const std::string host_sha = host_down_s > 0 ? FileSha256(host_down) : "<failed>";
  std::filesystem::remove(host_down);
  // The emulator keeps blobs in memory: drop ours before the next goes in.
  RunInChild(azurite, [](tw::BlobClient& c) { return c.DeleteBlob("ours.bin", 0); });
  const double host_up_s =
      RunHost(azurite, dir, "CreateBlob", {"LocalFile=" + source, "CreateBlob(host.bin,0,0)"});
  RunInChild(azurite, [](tw::BlobClient& c) { return c.DeleteBlob("host.bin", 0); });

  // The SDK.
  const SdkResult sdk_up = RunSdk(azurite, {"upload", kContainer, "sdk.bin", source});
  const std::string sdk_down_file = dir + "/sdk_down.bin";
  const SdkResult sdk_down =
      sdk_up.ok ? RunSdk(azurite, {"download", kContainer, "sdk.bin", sdk_down_file}) : SdkResult{};
  const std::string sdk_sha = sdk_down.ok ? FileSha256(sdk_down_file) : "<failed>";
  const long azurite_peak_kb = PeakRssKbOf(azurite.pid());

  std::printf("file of %lld MiB (%lld bytes), sha256 %s\n", static_cast<long long>(mib),
              static_cast<long long>(size), source_sha.c_str());
  std::printf("MB/s are MiB per second of the call alone; RSS growth is peak less the RSS "
              "just before the call\n");
  PrintOurs("upload", up, size);
  PrintOurs("download", down, size);
  PrintHost("upload", host_up_s, size);
  PrintHost("download", host_down_s, size);
  if (sdk_up.ok) PrintSdk("upload", sdk_up, size);
  if (sdk_down.ok) PrintSdk("download", sdk_down, size);
  if (sdk_down.ok && host_down_s > 0) {
    std::printf("host download / SDK downloadToFile: %.2fx the SDK's speed\n",
                sdk_down.ms / (host_down_s * 1000.0));
  }
  std::printf("  emulator peak RSS over the run: %.1f MiB\n", azurite_peak_kb / 1024.0);
  const bool ours_ok = ours_sha == source_sha;
  const bool sdk_ok = sdk_sha == source_sha && sdk_down.sha256 == source_sha;
  std::printf("round trip sha256: BlobClient %s, SDK %s (node's own hash %s)\n",
              ours_ok ? "match" : "MISMATCH", sdk_ok ? "match" : "MISMATCH",
              sdk_down.sha256 == source_sha ? "match" : "MISMATCH");
  std::printf("host download sha256: %s\n", host_sha == source_sha ? "match" : "MISMATCH");
  failures += host_sha == source_sha ? 0 : 1;
  failures += ours_ok ? 0 : 1;
  failures += sdk_ok ? 0 : 1;
  std::filesystem::remove_all(dir);
  return failures == 0 ? 0 : 1;
}
