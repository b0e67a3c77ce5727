// HttpClient throughput over loopback against nginx, with curl as the yardstick in the same run:
// 1 GiB downloaded to memory and to a file, and uploaded (PUT) from memory and from a file.
// Everything lives on /dev/shm, so disk write-back does not decide the numbers. A body kept in
// memory is compared with curl writing to a tmpfs file (both place every byte in fresh RAM);
// curl writing to /dev/null is shown too, with the rate at which this machine fills fresh memory.
//   bench_http_bench [MiB, default 1024] [runs, default 2] [case: all, getfile, getmem, putfile,
//   putmem] [transport: http, https (the platform TLS path), https-internal (the own engine)]
// Over https, nginx serves a throwaway certificate made here with the openssl CLI; curl and the
// client both trust it (curl --cacert, the client through the ROOT store folder).
// The best run of each case counts. nginx (started here on a free port, in a temp folder) and
// curl must be installed; the bench says so and exits 0 when they are not.
#include "http/http_client.h"
#include "platform/heap.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

bool HaveProgram(const char* name) {
  const std::string command = std::string("command -v ") + name + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = PF_INET;
  a.sin_addr.s_addr = htonl(0x7F000001);
  a.sin_port = htons(static_cast<uint16_t>(port));
  return a;
}

int FreePort() {
  const int s = ::socket(PF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(0);
  socklen_t len = sizeof(a);
  int port = 0;
  if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
      ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  ::close(s);
  return port;
}

bool PortAnswers(int port) {
  const int s = ::socket(PF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(port);
  const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
  ::close(s);
  return ok;
}

// VmHWM (peak resident set) of this process in MiB.
long PeakRssMiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6) / 1024;
  }
  return -1;
}

class Nginx {
 public:
  bool Start(const std::string& dir, bool tls) {
    dir_ = dir;
    tls_ = tls;
    port_ = FreePort();
    std::string listen = "    listen 127.0.0.1:" + std::to_string(port_) + ";\n";
    if (tls) {
      std::filesystem::create_directories(dir + "/stores/ROOT");
      const std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost"
                               " -addext subjectAltName=DNS:localhost -keyout " + dir + "/key.pem -out " +
                               dir + "/stores/ROOT/cert.pem 2>/dev/null";
      if (std::system(make.c_str()) != 0) return false;
      setenv("TW_CERT_STORES", (dir + "/stores").c_str(), 1);
      listen = "    listen 127.0.0.1:" + std::to_string(port_) + " ssl;\n    ssl_certificate " + dir +
               "/stores/ROOT/cert.pem;\n    ssl_certificate_key " + dir + "/key.pem;\n";
    }
    std::filesystem::create_directories(dir + "/root");
    std::filesystem::create_directories(dir + "/tmp");
    std::ofstream conf(dir + "/nginx.conf");
    conf << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
         << "pid " << dir << "/nginx.pid;\nerror_log " << dir << "/error.log warn;\n"
         << "events { worker_connections 64; }\nhttp {\n  access_log off;\n"
         << "  client_body_temp_path " << dir << "/tmp;\n"
         << "  default_type application/octet-stream;\n  sendfile on;\n  tcp_nopush on;\n"
         << "  keepalive_timeout 60s;\n  client_body_buffer_size 1m;\n"
         << "  server {\n" << listen << "    root " << dir << "/root;\n"
         << "    client_max_body_size 0;\n"
         << "    location / {\n      dav_methods PUT DELETE;\n      create_full_put_path on;\n"
         << "    }\n  }\n}\n";
    conf.close();
    pid_ = fork();
    if (pid_ == 0) {
      execlp("nginx", "nginx", "-p", dir.c_str(), "-c", (dir + "/nginx.conf").c_str(), "-e",
             (dir + "/error.log").c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 100; ++i) {
      if (PortAnswers(port_)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  ~Nginx() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  std::string Url(const std::string& path) const {
    return (tls_ ? "https://localhost:" : "http://127.0.0.1:") + std::to_string(port_) + path;
  }
  // curl's options for the server's certificate.
  std::string CurlTrust() const { return tls_ ? "--cacert " + dir_ + "/stores/ROOT/cert.pem " : ""; }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
  bool tls_ = false;
  int port_ = 0;
  pid_t pid_ = -1;
};

struct Result {
  double ours = 0;  // MB/s, best run
  double curl = 0;
};

double Rate(uint64_t bytes, double seconds) { return static_cast<double>(bytes) / 1e6 / seconds; }

double TimeCommand(const std::string& command) {
  const auto start = Clock::now();
  const int rc = std::system(command.c_str());
  const double s = SecondsSince(start);
  if (rc != 0) {
    std::fprintf(stderr, "command failed (%d): %s\n", rc, command.c_str());
    return -1;
  }
  return s;
}

void Report(const char* name, const Result& r) {
  std::printf("%-24s ours %8.1f MB/s   curl %8.1f MB/s   ratio %5.2f\n", name, r.ours, r.curl,
              r.curl > 0 ? r.ours / r.curl : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 2;
  const std::string only = argc > 3 ? argv[3] : "all";
  const std::string transport = argc > 4 ? argv[4] : "http";
  const bool tls = transport != "http";
  const bool internal = transport == "https-internal";
  const auto configure = [&](tw::HttpClient& c) {
    if (internal) c.ConfigText("UseInternalSecurityAPI=true", nullptr);
  };
  const auto wanted = [&](const char* name) { return only == "all" || only == name; };
  const uint64_t total = mib * 1024 * 1024;
  if (!HaveProgram("nginx") || !HaveProgram("curl")) {
    std::printf("nginx or curl not installed: nothing measured\n");
    return 0;
  }
  char pattern[] = "/dev/shm/http_bench_XXXXXX";
  const char* made = mkdtemp(pattern);
  if (made == nullptr) return 1;
  const std::string dir = made;
  Nginx nginx;
  if (!nginx.Start(dir, tls)) {
    std::fprintf(stderr, "nginx did not start\n");
    std::filesystem::remove_all(dir);
    return 1;
  }
  // The source file, served by nginx and uploaded from disk.
  const std::string source = dir + "/root/big.bin";
  {
    std::ofstream f(source, std::ios::binary);
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>((i * 131) ^ (i >> 9));
    for (uint64_t left = total; left > 0;) {
      const size_t n = left < block.size() ? static_cast<size_t>(left) : block.size();
      f.write(block.data(), static_cast<std::streamsize>(n));
      left -= n;
    }
  }
  const std::string target = dir + "/down.bin";
  std::printf("%s over loopback, %llu MiB, best of %d runs\n", transport.c_str(),
              static_cast<unsigned long long>(mib), runs);

  // ---- Downloads to a file (first: the peak memory afterwards must stay small) ----
  Result file_down;
  for (int run = 0; run < runs && wanted("getfile"); ++run) {
    tw::HttpClient c;
    configure(c);
    c.SetTimeout(120, true);
    c.SetUrl(nginx.Url("/big.bin").c_str(), false);
    c.SetLocalFile(target.c_str());
    const auto start = Clock::now();
    const int rc = c.DoTransfer(tw::kHttpActionGet);
    const double s = SecondsSince(start);
    if (rc != 0 || std::filesystem::file_size(target) != total) {
      std::fprintf(stderr, "download to file failed: %d %s\n", rc, c.error_text().c_str());
      return 1;
    }
    file_down.ours = std::max(file_down.ours, Rate(total, s));
    const double cs = TimeCommand("curl -s " + nginx.CurlTrust() + "-o " + target + " " + nginx.Url("/big.bin"));
    if (cs > 0) file_down.curl = std::max(file_down.curl, Rate(total, cs));
    std::filesystem::remove(target);
  }
  const long peak_after_file = PeakRssMiB();

  // ---- Uploads from a file ----
  Result file_up;
  for (int run = 0; run < runs && wanted("putfile"); ++run) {
    tw::HttpClient c;
    configure(c);
    c.SetTimeout(120, true);
    c.SetUrl(nginx.Url("/up-ours.bin").c_str(), false);
    c.SetAttachedFile(source.c_str());
    const auto start = Clock::now();
    const int rc = c.DoTransfer(tw::kHttpActionPut);
    const double s = SecondsSince(start);
    if (rc != 0 || std::filesystem::file_size(dir + "/root/up-ours.bin") != total) {
      std::fprintf(stderr, "upload from file failed: %d %s\n", rc, c.error_text().c_str());
      return 1;
    }
    file_up.ours = std::max(file_up.ours, Rate(total, s));
    std::filesystem::remove(dir + "/root/up-ours.bin");
    const double cs = TimeCommand("curl -s " + nginx.CurlTrust() + "-o /dev/null -T " + source + " " + nginx.Url("/up-curl.bin"));
    if (cs > 0) file_up.curl = std::max(file_up.curl, Rate(total, cs));
    std::filesystem::remove(dir + "/root/up-curl.bin");
  }
  const long peak_after_uploads = PeakRssMiB();

  // ---- Downloads to memory (curl writes to /dev/null: no copy at all) ----
  Result mem_down;
  double curl_null = 0;
  for (int run = 0; run < runs && wanted("getmem"); ++run) {
    tw::HttpClient c;
    configure(c);
    c.SetTimeout(120, true);
    c.SetUrl(nginx.Url("/big.bin").c_str(), false);
    const auto start = Clock::now();
    const int rc = c.DoTransfer(tw::kHttpActionGet);
    const double s = SecondsSince(start);
    if (rc != 0 || static_cast<uint64_t>(c.transferred_data().length()) != total) {
      std::fprintf(stderr, "download to memory failed: %d %s\n", rc, c.error_text().c_str());
      return 1;
    }
    mem_down.ours = std::max(mem_down.ours, Rate(total, s));
    const double cs = TimeCommand("curl -s " + nginx.CurlTrust() + "-o " + target + " " + nginx.Url("/big.bin"));
    if (cs > 0) mem_down.curl = std::max(mem_down.curl, Rate(total, cs));
    std::filesystem::remove(target);
    const double cn = TimeCommand("curl -s " + nginx.CurlTrust() + "-o /dev/null " + nginx.Url("/big.bin"));
    if (cn > 0) curl_null = std::max(curl_null, Rate(total, cn));
  }

  // Before the memory uploads, whose source body is held by this process too.
  const long peak_after_memory = PeakRssMiB();

  // ---- Uploads from memory (curl reads the body from a file: it has no other way) ----
  Result mem_up;
  if (wanted("putmem")) {
    std::string body;
    {
      std::ifstream f(source, std::ios::binary);
      body.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    for (int run = 0; run < runs; ++run) {
      tw::HttpClient c;
      configure(c);
      c.SetTimeout(120, true);
      c.SetUrl(nginx.Url("/up-mem.bin").c_str(), false);
      c.SetPostData(body.data(), static_cast<int>(body.size()));
      const auto start = Clock::now();
      const int rc = c.DoTransfer(tw::kHttpActionPut);
      const double s = SecondsSince(start);
      if (rc != 0) {
        std::fprintf(stderr, "upload from memory failed: %d %s\n", rc, c.error_text().c_str());
        return 1;
      }
      mem_up.ours = std::max(mem_up.ours, Rate(total, s));
      // curl has no memory source for a body this size: its upload from the file is the yardstick.
      const double cs = TimeCommand("curl -s " + nginx.CurlTrust() + "-o /dev/null -T " + source + " " + nginx.Url("/up-curl2.bin"));
      if (cs > 0) mem_up.curl = std::max(mem_up.curl, Rate(total, cs));
      std::filesystem::remove(dir + "/root/up-mem.bin");
      std::filesystem::remove(dir + "/root/up-curl2.bin");
    }
  }

  // How fast this machine fills fresh memory: the ceiling of any body kept in memory.
  double fill = 0;
  if (wanted("getmem")) {
    std::vector<char> piece(65536, 1);
    const auto start = Clock::now();
    char* block = static_cast<char*>(win::HeapAlloc(static_cast<size_t>(total)));
    for (uint64_t at = 0; block != nullptr && at < total; at += piece.size()) {
      std::memcpy(block + at, piece.data(), std::min<uint64_t>(piece.size(), total - at));
    }
    fill = Rate(total, SecondsSince(start));
    win::HeapFree(block);
  }
  Report("download to file", file_down);
  Report("upload from file", file_up);
  Report("upload from memory", mem_up);
  Report("download to memory", mem_down);
  if (wanted("getmem")) {
    std::printf("  (memory: curl to /dev/null %.1f MB/s; filling fresh memory alone %.1f MB/s)\n",
                curl_null, fill);
  }
  std::printf("peak RSS after file transfers: %ld MiB (after uploads: %ld MiB) for a %llu MiB body\n",
              peak_after_file, peak_after_uploads, static_cast<unsigned long long>(mib));
  if (wanted("getmem")) {
    std::printf("peak RSS after downloads to memory: %ld MiB for a %llu MiB body\n",
                peak_after_memory, static_cast<unsigned long long>(mib));
  }
  std::filesystem::remove_all(dir);
  return 0;
}
