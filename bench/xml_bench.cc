// Parse speed of a blob listing of 10,000 items, against libxml2 through its C API in this process
// (xmlReadMemory builds a tree as this parser builds its DOM) and python3's expat (streaming, no
// tree), in one run.
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include "formats/xml_document.h"
#include "tests/support/test_support.h"

namespace {

std::string BuildListing(int blobs) {
  std::string s = "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?>";
  s += "<EnumerationResults ServiceEndpoint=\"https://myaccount.blob.core.windows.net/\" "
       "ContainerName=\"bench\"><MaxResults>5000</MaxResults><Blobs>";
  char buf[1024];
  for (int i = 0; i < blobs; ++i) {
    std::snprintf(
        buf, sizeof buf,
        "<Blob><Name>data/2020/%02d/file-%06d &amp; caf\xC3\xA9.bin</Name><Properties>"
        "<Creation-Time>Wed, 01 Jan 2020 00:00:%02d GMT</Creation-Time>"
        "<Last-Modified>Thu, 02 Jan 2020 12:%02d:00 GMT</Last-Modified>"
        "<Etag>0x8D78E5B4C0%06X</Etag><Content-Length>%d</Content-Length>"
        "<Content-Type>application/octet-stream</Content-Type><Content-Encoding />"
        "<Content-Language /><Content-MD5>sQqNsWTgdUEFt6mb5y4/5Q==</Content-MD5>"
        "<Cache-Control /><Content-Disposition /><BlobType>BlockBlob</BlobType>"
        "<AccessTier>Hot</AccessTier><AccessTierInferred>true</AccessTierInferred>"
        "<LeaseStatus>unlocked</LeaseStatus><LeaseState>available</LeaseState>"
        "<ServerEncrypted>true</ServerEncrypted></Properties>"
        "<Metadata><owner>user%d</owner></Metadata></Blob>",
        i % 12 + 1, i, i % 60, i % 60, i, i * 37, i % 7);
    s += buf;
  }
  s += "</Blobs><NextMarker /></EnumerationResults>";
  return s;
}

double Seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

std::string Run(const std::string& command) {
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  return out;
}

}  // namespace

int main() {
  const int kBlobs = 10000;
  const int kRounds = 20;
  const std::string body = BuildListing(kBlobs);
  const double mb = body.size() / 1e6;
  std::printf("listing: %d blobs, %.2f MB\n", kBlobs, mb);

  // This parser, set up as the storage client's reader (DOM, references resolved), and libxml2's
  // tree parser on the same bytes, round by round in turn so that both meet the same load on a
  // shared machine; best of the rounds. Each round runs each parser cold, on memory the C heap
  // has just handed back to the system (every page it writes is touched for the first time), then
  // warm, on a heap whose pages are all touched and free in one piece. Timing a parser on whatever
  // heap the other left favours one or the other by the shape of that heap, up to twice.
  // The C heap keeps what is freed (no trimming, blocks up to 32 MiB from the heap) so that only
  // the cold runs give pages back.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  auto warm_up = [] {
    std::vector<void*> blocks(192);
    for (void*& b : blocks) {
      b = std::malloc(1 << 20);
      if (b != nullptr) std::memset(b, 1, 1 << 20);
    }
    for (auto it = blocks.rbegin(); it != blocks.rend(); ++it) std::free(*it);
  };
  xmlInitParser();
  struct Timing {
    double cold = 1e9;
    double warm = 1e9;
    int children = 0;
    bool ok = true;
  };
  Timing ours, libxml2;
  auto parse_ours = [&](double& best) {
    tw::XmlDocumentComponent doc;
    doc.Initialize();
    doc.ConfigText("StringProcessingOptions=1", nullptr);
    doc.ConfigText("UseEncoding=ASCII", nullptr);
    doc.SetInputText(body.data(), static_cast<int>(body.size()));
    const auto t0 = std::chrono::steady_clock::now();
    if (doc.Parse() != 0) {
      std::printf("parse failed: %s\n", doc.error_text().c_str());
      ours.ok = false;
      return;
    }
    const auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, Seconds(t0, t1));
    doc.SelectPath("/EnumerationResults/Blobs");
    ours.children = doc.ChildCount();
  };
  auto parse_libxml2 = [&](double& best) {
    const auto t0 = std::chrono::steady_clock::now();
    xmlDocPtr tree = xmlReadMemory(body.data(), static_cast<int>(body.size()), "listing.xml",
                                   nullptr, XML_PARSE_NONET);
    const auto t1 = std::chrono::steady_clock::now();
    if (tree == nullptr) {
      std::printf("libxml2: parse failed\n");
      libxml2.ok = false;
      return;
    }
    best = std::min(best, Seconds(t0, t1));
    xmlNodePtr blobs = xmlDocGetRootElement(tree)->children;
    while (blobs != nullptr && xmlStrcmp(blobs->name, BAD_CAST "Blobs") != 0) blobs = blobs->next;
    libxml2.children = blobs != nullptr ? static_cast<int>(xmlChildElementCount(blobs)) : 0;
    xmlFreeDoc(tree);
  };
  for (int r = 0; r < kRounds && ours.ok; ++r) {
    malloc_trim(0);
    parse_ours(ours.cold);
    warm_up();
    if (ours.ok) parse_ours(ours.warm);
    if (!libxml2.ok) continue;
    malloc_trim(0);
    parse_libxml2(libxml2.cold);
    warm_up();
    if (libxml2.ok) parse_libxml2(libxml2.warm);
  }
  xmlCleanupParser();
  if (!ours.ok) return 1;
  const double best = ours.warm;
  for (const auto& [label, t, ref] : {std::tuple{"cold", ours.cold, libxml2.cold},
                                      std::tuple{"warm", ours.warm, libxml2.warm}}) {
    std::printf("%s: tarnwick XmlDocumentComponent (DOM) %.1f MB/s (%.2f ms, %d blobs)", label,
                mb / t, t * 1e3, ours.children);
    if (libxml2.ok) {
      std::printf(" | libxml2 xmlReadMemory (tree) %.1f MB/s (%.2f ms, %d blobs); ratio "
                  "ours/libxml2 %.2f",
                  mb / ref, ref * 1e3, libxml2.children, ref / t);
    }
    std::printf("\n");
  }

  // Walking the listing the way the blob client does: item i by an index path, then a field.
  {
    tw::XmlDocumentComponent doc;
    doc.Initialize();
    doc.SetInputText(body.data(), static_cast<int>(body.size()));
    doc.Parse();
    const auto t0 = std::chrono::steady_clock::now();
    long total = 0;
    for (int i = 1; i <= kBlobs; ++i) {
      std::string path = "/EnumerationResults/Blobs/[" + std::to_string(i) + "]/Properties/Etag";
      if (doc.SelectPath(path.c_str()) == 0) total += static_cast<long>(std::strlen(doc.Text()));
    }
    const auto t1 = std::chrono::steady_clock::now();
    std::printf("walk of %d items by index path: %.1f ms (%ld text bytes)\n", kBlobs,
                Seconds(t0, t1) * 1e3, total);
  }

  char dir[] = "/tmp/xml_bench_XXXXXX";
  if (!mkdtemp(dir)) return 1;
  const std::string file = std::string(dir) + "/listing.xml";
  std::ofstream(file, std::ios::binary) << body;

  // python3's expat with element and text handlers, best of the rounds, timed inside python.
  const std::string script =
      "import sys,time,xml.parsers.expat as E\n"
      "d=open(sys.argv[1],'rb').read();best=1e9\n"
      "for _ in range(" + std::to_string(kRounds) + "):\n"
      " p=E.ParserCreate();n=[0]\n"
      " def s(a,b):n[0]+=1\n"
      " p.StartElementHandler=s;p.CharacterDataHandler=lambda t:None\n"
      " t=time.perf_counter();p.Parse(d,True);best=min(best,time.perf_counter()-t)\n"
      "print(best)\n";
  const std::string script_file = std::string(dir) + "/expat.py";
  std::ofstream(script_file) << script;
  const std::string out = Run(std::string(testsupport::kPython) + " '" + script_file + "' '" + file + "' 2>/dev/null");
  const double expat = std::atof(out.c_str());
  if (expat > 0) {
    std::printf("python3 expat (streaming, handlers): %.1f MB/s (%.2f ms); ratio ours/expat %.2f\n",
                mb / expat, expat * 1e3, (mb / best) / (mb / expat));
  } else {
    std::printf("python3 expat: not available\n");
  }
  std::remove(script_file.c_str());
  std::remove(file.c_str());
  rmdir(dir);
  return 0;
}
