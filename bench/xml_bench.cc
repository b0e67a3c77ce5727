// Parse speed of a blob listing of 10,000 items, against libxml2 through its C API in this process
// (xmlReadMemory builds a tree as this parser builds its DOM) and python3's expat (streaming, no
// tree), in one run.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include "formats/xml_document.h"

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
  // shared machine; best of the rounds.
  xmlInitParser();
  double best = 1e9;
  int children = 0;
  double libxml2_best = 1e9;
  int libxml2_children = 0;
  bool libxml2_ok = true;
  for (int r = 0; r < kRounds; ++r) {
    {
      tw::XmlDocumentComponent doc;
      doc.Initialize();
      doc.ConfigText("StringProcessingOptions=1", nullptr);
      doc.ConfigText("UseEncoding=ASCII", nullptr);
      doc.SetInputText(body.data(), static_cast<int>(body.size()));
      const auto t0 = std::chrono::steady_clock::now();
      if (doc.Parse() != 0) {
        std::printf("parse failed: %s\n", doc.error_text().c_str());
        return 1;
      }
      const auto t1 = std::chrono::steady_clock::now();
      best = std::min(best, Seconds(t0, t1));
      doc.SelectPath("/EnumerationResults/Blobs");
      children = doc.ChildCount();
    }
    if (!libxml2_ok) continue;
    const auto t0 = std::chrono::steady_clock::now();
    xmlDocPtr tree = xmlReadMemory(body.data(), static_cast<int>(body.size()), "listing.xml",
                                   nullptr, XML_PARSE_NONET);
    const auto t1 = std::chrono::steady_clock::now();
    if (tree == nullptr) {
      std::printf("libxml2: parse failed\n");
      libxml2_ok = false;
      continue;
    }
    libxml2_best = std::min(libxml2_best, Seconds(t0, t1));
    xmlNodePtr blobs = xmlDocGetRootElement(tree)->children;
    while (blobs != nullptr && xmlStrcmp(blobs->name, BAD_CAST "Blobs") != 0) blobs = blobs->next;
    libxml2_children = blobs != nullptr ? static_cast<int>(xmlChildElementCount(blobs)) : 0;
    xmlFreeDoc(tree);
  }
  xmlCleanupParser();
  const double ours = mb / best;
  std::printf("tarnwick XmlDocumentComponent (DOM): %.1f MB/s (%.2f ms, %d blobs)\n", ours,
              best * 1e3, children);
  if (libxml2_ok) {
    std::printf("libxml2 xmlReadMemory (tree): %.1f MB/s (%.2f ms, %d blobs); ratio ours/libxml2 %.2f\n",
                mb / libxml2_best, libxml2_best * 1e3, libxml2_children, libxml2_best / best);
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
  const std::string out = Run("python3 '" + script_file + "' '" + file + "' 2>/dev/null");
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
