// A file of N MiB (argument, default 1024) through the storage emulator: uploaded (automatic
// block upload above SimpleUploadLimit, default fragment size) and downloaded to a file by the
// blob client, then by the reference SDK's uploadFile / downloadToFile, in the same run. Each of
// our transfers runs in a forked child, so its peak resident set is its own (ru_maxrss from
// wait4, less the child's resident set before the call); the SDK reports getrusage's peak from
// inside node. Round trips are checked by sha256 on both sides. The sample host (the control
// through IDispatch, every event connected and printed) uploads and downloads the file as well,
// timed by its own --time. A 64 MiB blob is also downloaded to a file, into memory, and into
// memory followed by a read of BlobData and of BlobDataB through the control's IDispatch, each in
// its own child; "--memory" runs these rows alone.
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
#include "control/control_object.h"
#include "platform/bstr.h"
#include "platform/com_client.h"
#include "platform/variant.h"
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

// The control made in the child when RunInChild is asked for one; its client is the one used.
win::IDispatch* g_control = nullptr;

// Reads a property through IDispatch and frees the value; 0 when it could be read.
int ReadThroughAutomation(const char16_t* name) {
  win::DISPID id = win::DISPID_UNKNOWN;
  std::u16string copy = name;
  win::LPOLESTR names[] = {copy.data()};
  if (g_control->GetIDsOfNames(win::IID_NULL, names, 1, 0, &id) != win::S_OK) return 1;
  win::DISPPARAMS none{nullptr, nullptr, 0, 0};
  win::VARIANT value;
  win::VariantInit(&value);
  const win::HRESULT hr = g_control->Invoke(id, win::IID_NULL, 0, win::DISPATCH_PROPERTYGET, &none,
                                       &value, nullptr, nullptr);
  const bool filled = value.vt != win::VT_EMPTY;
  win::VariantClear(&value);
  return hr == win::S_OK && filled ? 0 : 1;
}

// Runs `work` with a fresh client (in a fresh control when through_control) in a forked child;
// the call alone is timed.
ChildResult RunInChild(const testsupport::AzuritePeer& azurite,
                       const std::function<int(tw::BlobClient&)>& work,
                       bool through_control = false) {
  ChildResult result;
  int fds[2];
  if (pipe(fds) != 0) return result;
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    ChildResult r;
    tw::BlobClient own;
    win::ComPtr<win::IDispatch> control;
    if (through_control) {
      win::CoInitializeEx(nullptr, win::COINIT_APARTMENTTHREADED);
      tw::ControlObject::Create(nullptr, win::IID_IDispatch, control.PutVoid());
      g_control = control.Get();
    }
    tw::BlobClient& client =
        g_control != nullptr
            ? static_cast<tw::ControlObject*>(static_cast<tw::ICobalin*>(g_control))->client()
            : own;
    if (through_control && g_control == nullptr) {
      std::snprintf(r.error, sizeof(r.error), "control creation failed");
    } else if (!through_control && !client.Initialize()) {
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

// Peak resident sets of one 64 MiB blob downloaded to a file, into memory, and into memory then
// read through Automation. Returns the number of failures.
int RunMemoryRows(const testsupport::AzuritePeer& azurite, const std::string& dir) {
  constexpr int64_t kSize = 64ll << 20;
  const std::string source = dir + "/memory_source.bin";
  if (!WriteRandomFile(source, kSize)) return 1;
  const ChildResult up = RunInChild(azurite, [&](tw::BlobClient& c) {
    c.SetCallerLocalFile(source.c_str());
    return c.CreateBlob("memory.bin", 0, 0);
  });
  if (up.rc != 0) {
    std::fprintf(stderr, "BlobClient upload failed: %d %s\n", up.rc, up.error);
    return 1;
  }
  const std::string target = dir + "/memory_down.bin";
  const std::string source_sha = FileSha256(source);
  int failures = 0;
  std::printf("64 MiB blob, peak RSS of each download in its own process:\n");
  const ChildResult to_file = RunInChild(azurite, [&](tw::BlobClient& c) {
    c.SetCallerLocalFile(target.c_str());
    c.set_overwrite(true);
    return c.GetBlob("memory.bin");
  });
  failures += to_file.rc != 0 || FileSha256(target) != source_sha;
  std::filesystem::remove(target);
  std::printf("  %-27s peak RSS %6.1f MB  (%5.0f ms)\n", "to a file",
              to_file.max_rss_kb * 1.024 / 1000.0, to_file.ms);
  struct Row {
    const char* what;
    const char16_t* property;  // read through IDispatch after the download, or none
  };
  for (const Row& row : {Row{"into memory", nullptr},
                         Row{"into memory, BlobData read", u"BlobData"},
                         Row{"into memory, BlobDataB read", u"BlobDataB"}}) {
    const ChildResult r = RunInChild(
        azurite,
        [&](tw::BlobClient& c) {
          c.SetCallerLocalFile("");
          const int rc = c.GetBlob("memory.bin");
          if (rc != 0) return rc;
          if (c.blob_data().length() != kSize) return -1;
          return row.property == nullptr ? 0 : ReadThroughAutomation(row.property);
        },
        row.property != nullptr);
    if (r.rc != 0) std::fprintf(stderr, "%s failed: %d %s\n", row.what, r.rc, r.error);
    failures += r.rc != 0;
    std::printf("  %-27s peak RSS %6.1f MB  (%5.0f ms)\n", row.what, r.max_rss_kb * 1.024 / 1000.0,
                r.ms);
  }
  RunInChild(azurite, [](tw::BlobClient& c) { return c.DeleteBlob("memory.bin", 0); });
  std::filesystem::remove(source);
  return failures;
}

}  // namespace

int main(int argc, char** argv) {
  const bool memory_only = argc > 1 && std::strcmp(argv[1], "--memory") == 0;
  const int64_t mib = argc > 1 && !memory_only ? std::atoll(argv[1]) : 1024;
  if (mib <= 0) {
    std::fprintf(stderr, "usage: %s [MiB | --memory]\n", argv[0]);
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
  if (!RunSdk(azurite, {"container", kContainer}).ok) return 1;
  if (memory_only) {
    const int failed = RunMemoryRows(azurite, dir);
    std::filesystem::remove_all(dir);
    return failed == 0 ? 0 : 1;
  }
  const std::string source = dir + "/source.bin";
  if (!WriteRandomFile(source, size)) {
    std::fprintf(stderr, "cannot write %s\n", source.c_str());
    return 1;
  }
  const std::string source_sha = FileSha256(source);
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
  failures += RunMemoryRows(azurite, dir);
  failures += host_sha == source_sha ? 0 : 1;
  failures += ours_ok ? 0 : 1;
  failures += sdk_ok ? 0 : 1;
  std::filesystem::remove_all(dir);
  return failures == 0 ? 0 : 1;
}
