#include "formats/encoder_component.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/heap.h"
#include "tests/support/test_support.h"
#include "tests/support/case_name.h"

namespace tw {
namespace {

using testsupport::HaveProgram;
using testsupport::MakeTempDir;
using testsupport::RandomBytes;
using testsupport::ReadFile;
using testsupport::RunCommand;
using testsupport::Unhex;
using testsupport::WriteFile;

struct Outcome {
  int rc;
  std::string out;
};

Outcome Convert(int format, int mode, const std::string& input,
            const std::vector<std::string>& settings = {}) {
  EncoderComponent e;
  e.set_format(format);
  e.SetInputData(input.data(), static_cast<int>(input.size()));
  for (const std::string& s : settings) {
    const char* answer = nullptr;
    EXPECT_EQ(e.ConfigText(s.c_str(), &answer), 0) << s;
  }
  int rc = e.EncodeDispatch(mode);
  return {rc, std::string(e.output_data().data(), static_cast<size_t>(e.output_length()))};
}

std::string Enc(int format, const std::string& input, const std::vector<std::string>& s = {}) {
  Outcome o = Convert(format, kEncodeMode, input, s);
  EXPECT_EQ(o.rc, 0) << "encode format " << format;
  return o.out;
}

std::string Dec(int format, const std::string& input, const std::vector<std::string>& s = {}) {
  Outcome o = Convert(format, kDecodeMode, input, s);
  EXPECT_EQ(o.rc, 0) << "decode format " << format;
  return o.out;
}

std::string Hex(const std::string& s) { return testsupport::Hex(s.data(), s.size()); }

// One python3 run for a whole batch: each request is "<op> <hex> [<hex>]"; the answer of each
// is the hex of the result, or "ERR".
class PythonOracle {
 public:
  PythonOracle() = default;
  PythonOracle(const PythonOracle&) = delete;
  PythonOracle& operator=(const PythonOracle&) = delete;
  ~PythonOracle() { std::filesystem::remove_all(dir_); }

  int Add(const std::string& op, const std::string& a, const std::string& b = "") {
    requests_ += op + " " + (a.empty() ? "-" : Hex(a)) + " " + (b.empty() ? "-" : Hex(b)) + "\n";
    return count_++;
  }
  // False when python3 is missing or failed.
  bool Run() {
    if (!testsupport::HavePython()) return false;
    std::string script = kScript;
    std::string path = dir_ + "/oracle.py";
    WriteFile(path, script);
    int status = -1;
    std::string out = RunCommand(std::string(testsupport::kPython) + " " + path, requests_, &status);
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) answers_.push_back(line);
    return status == 0 && static_cast<int>(answers_.size()) == count_;
  }
  bool Failed(int i) const { return answers_[static_cast<size_t>(i)] == "ERR"; }
  std::string Get(int i) const {
    const std::string& a = answers_[static_cast<size_t>(i)];
    return a == "ERR" ? "<python failed>" : Unhex(a == "-" ? "" : a);
  }

 private:
  static constexpr const char* kScript = R"PY(
import sys, base64, binascii, hashlib, hmac, quopri, codecs, urllib.parse, zlib
def lines72(b):
    return b"\r\n".join(b[i:i+72] for i in range(0, len(b), 72))
def uudec(y):
    out = b""
    rows = y.split(b"\r\n")
    i = next(k for k, r in enumerate(rows) if r.startswith(b"begin "))
    for r in rows[i+1:]:
        if r == b"end": return out
        out += binascii.a2b_uu(r)
    raise ValueError("no end")
def ydec(y):
    rows = y.split(b"\r\n")
    i = next(k for k, r in enumerate(rows) if r.startswith(b"=ybegin "))
    out = bytearray()
    for r in rows[i+1:]:
        if r.startswith(b"=yend"):
            crc = int(r.split(b"crc32=")[1].split()[0], 16)
            if zlib.crc32(bytes(out)) != crc: raise ValueError("crc")
            return bytes(out)
        esc = False
        for c in r:
            if esc: out.append((c - 64 - 42) & 255); esc = False
            elif c == 61: esc = True
            else: out.append((c - 42) & 255)
    raise ValueError("no yend")
def yenc(x, name):
    out = b"=ybegin line=128 size=%d name=%s\r\n" % (len(x), name)
    line = b""
    for c in x:
        e = (c + 42) & 255
        if e in (0, 10, 13, 61): line += b"=" + bytes([(e + 64) & 255])
        else: line += bytes([e])
        if len(line) >= 128: out += line + b"\r\n"; line = b""
    if line: out += line + b"\r\n"
    return out + b"=yend size=%d crc32=%08X\r\n" % (len(x), zlib.crc32(x))
def op(name, a, b):
    t = lambda: a.decode("utf-8")
    if name == "b64": return lines72(base64.b64encode(a))
    if name == "b64url": return base64.urlsafe_b64encode(a).rstrip(b"=")
    if name == "b32": return base64.b32encode(a)
    if name == "b32hex": return base64.b32hexencode(a)
    if name == "hex": return binascii.hexlify(a)
    if name in ("md5", "sha1", "sha256"): return hashlib.new(name, a).hexdigest().encode()
    if name.startswith("hmac-"): return hmac.new(b, a, name[5:]).hexdigest().encode()
    if name == "a2b_qp": return binascii.a2b_qp(a)
    if name == "b2a_qp": return binascii.b2a_qp(a, istext=False)
    if name == "quote": return urllib.parse.quote_from_bytes(a, safe="*").encode()
    if name == "unquote_plus": return urllib.parse.unquote_to_bytes(a.replace(b"+", b" "))
    if name == "utf7enc": return t().encode("utf-7")
    if name == "utf7dec": return a.decode("utf-7").encode("utf-8")
    if name == "puny": return t().encode("punycode")
    if name == "unpuny": return a.decode("punycode").encode("utf-8")
    if name == "sjis": return t().encode("shift_jis")
    if name == "iso2022jp": return t().encode("iso2022_jp")
    if name == "iso2022jpdec": return a.decode("iso2022_jp").encode("utf-8")
    if name == "cp1252": return t().encode("cp1252")
    if name == "uudec": return uudec(a)
    if name == "ydec": return ydec(a)
    if name == "yenc": return yenc(a, b)
    raise ValueError(name)
for req in sys.stdin.read().splitlines():
    name, a, b = req.split(" ")
    a = b"" if a == "-" else bytes.fromhex(a)
    b = b"" if b == "-" else bytes.fromhex(b)
    try:
        r = op(name, a, b)
        print(r.hex() if r else "-")
    except Exception:
        print("ERR")
)PY";

  std::string dir_ = MakeTempDir();
  std::string requests_;
  int count_ = 0;
  std::vector<std::string> answers_;
};

const std::vector<size_t> kSizes = {0,  1,  2,  3,   4,   5,    44,   45,   46,   53,  54,
                                    55, 56, 59, 60,  61,  100,  1021, 1022, 1023, 1024, 3000};

// ---- Known answers ----

TEST(EncoderKnownAnswers, Base64AndItsUrlForm) {
  EXPECT_EQ(Enc(kFormatBase64, "abc"), "YWJj");
  EXPECT_EQ(Enc(kFormatBase64, "ab"), "YWI=");
  EXPECT_EQ(Enc(kFormatBase64Url, "ab"), "YWI");
  EXPECT_EQ(Enc(kFormatBase64Url, "\xfb\xff"), "-_8");
  std::string line54 = Enc(kFormatBase64, std::string(54, 'x'));
  EXPECT_EQ(line54.size(), 72u);
  EXPECT_EQ(line54.find('\r'), std::string::npos);
  std::string line55 = Enc(kFormatBase64, std::string(55, 'x'));
  EXPECT_EQ(line55.substr(72, 2), "\r\n");
  EXPECT_EQ(line55.size(), 72u + 2 + 4);
  EXPECT_EQ(Enc(kFormatBase64, std::string(55, 'x'), {"Base64LineBreak=0"}).find('\r'),
            std::string::npos);
}

TEST(EncoderKnownAnswers, QuotedPrintableUrlAndEntities) {
  EXPECT_EQ(Enc(kFormatQuotedPrintable, "a b"), "a b");
  EXPECT_EQ(Enc(kFormatQuotedPrintable, "a \r\nb"), "a=20\r\nb");
  EXPECT_EQ(Enc(kFormatQuotedPrintable, "a "), "a=20");
  EXPECT_EQ(Enc(kFormatQuotedPrintable, "="), "=3D");
  EXPECT_EQ(Enc(kFormatUrl, "a b*"), "a%20b*");
  EXPECT_EQ(Enc(kFormatUrl, "a b*!", {"URLUnreservedChars=!"}), "a%20b%2A!");
  EXPECT_EQ(Dec(kFormatUrl, "a+b%41%4a%zz%4"), "a bAJzz4");
  EXPECT_EQ(Enc(kFormatEntities, "<a href='x'>&\"\xe9"),
            "&lt;a href=&apos;x&apos;&gt;&amp;&quot;&#233;");
  EXPECT_EQ(Dec(kFormatEntities, "&LT;&gt;&Apos;&quot;&amp;&#233;&#x41;&bogus;&amp"),
            "<>'\"&\xe9" "A&bogus;&amp");
  // A reference beyond one byte comes out in the code page.
  EXPECT_EQ(Dec(kFormatEntities, "&#8364;", {"CodePage=65001"}), "\xe2\x82\xac");
}

TEST(EncoderKnownAnswers, YencEscapesAndTrailer) {
  EXPECT_EQ(Convert(kFormatYenc, kEncodeMode, "\xd6").rc, 11);  // no name
  EncoderComponent e;
  e.set_format(kFormatYenc);
  e.SetFileName("a.bin");
  e.SetInputData("\xd6", 1);
  ASSERT_EQ(e.Encode(), 0);
  std::string y(e.output_data().data(), static_cast<size_t>(e.output_length()));
  // 0xD6 + 42 wraps to 0, which is escaped as "=" and 0 + 64.
  EXPECT_EQ(y, "=ybegin line=128 size=1 name=a.bin\r\n=@\r\n=yend size=1 crc32=bdb2986c\r\n");
}

TEST(EncoderKnownAnswers, DigestsAndHmac) {
  EXPECT_EQ(Enc(kFormatMd5, "abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Enc(kFormatSha1, "abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(Enc(kFormatSha256, "abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Hex(Enc(kFormatMd5, "abc", {"EncodeHash=False"})), "900150983cd24fb0d6963f7d28e17f72");
  EncoderComponent upper;
  upper.set_format(kFormatMd5);
  upper.set_hex_upper_case(true);
  upper.SetInputData("abc", 3);
  ASSERT_EQ(upper.Encode(), 0);
  EXPECT_STREQ(upper.output_data().c_str(), "900150983CD24FB0D6963F7D28E17F72");
  // RFC 2202 test case 2, and the same key given as hex.
  EXPECT_EQ(Enc(kFormatHmac, "what do ya want for nothing?", {"HMACKey=Jefe"}),
            "750c783e6ab0b503eaa86e310a5db738");
  EXPECT_EQ(Enc(kFormatHmac, "what do ya want for nothing?",
                {"HMACKey=0x4a656665", "HMACAlgorithm=HMAC-SHA1"}),
            "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
}

TEST(EncoderKnownAnswers, FormatsWithoutDecoderAndUnknownFormats) {
  for (int f : {kFormatMd5, kFormatSha1, kFormatHmac, kFormatSha256}) {
    EncoderComponent e;
    e.set_format(f);
    EXPECT_EQ(e.Decode(), 19);
    EXPECT_STREQ(e.error_text().c_str(), "The current format does not support decoding.");
  }
  EncoderComponent e;
  e.set_format(17);
  EXPECT_EQ(e.Encode(), 25);
  EXPECT_STREQ(e.error_text().c_str(), "Output buffer length was not calculated.");
  e.set_format(-1);
  EXPECT_EQ(e.Decode(), 25);
  EXPECT_EQ(e.EncodeDispatch(3), 0);
  EXPECT_EQ(e.EncodeDispatch(0), 0);
}

TEST(EncoderKnownAnswers, Utf7DecodingFollowsRfc2152) {
  EXPECT_EQ(Dec(kFormatUtf7, "+-"), "+");
  EXPECT_EQ(Dec(kFormatUtf7, "&-", {"UseModifiedUTF7=1"}), "&");
  EXPECT_EQ(Dec(kFormatUtf7, "Hi +AGEAYgBj-!"), "Hi abc!");
  // A run ends at the first character outside the alphabet, which is kept.
  EXPECT_EQ(Dec(kFormatUtf7, "+AGE.-"), "a.-");
  EXPECT_EQ(Dec(kFormatUtf7, "+AGE-+AGI-"), "ab");
  // The end of the input ends a run too.
  EXPECT_EQ(Dec(kFormatUtf7, "+AGEAYg"), "ab");
  EXPECT_EQ(Dec(kFormatUtf7, "a+"), "a");
  // 8-bit bytes outside a run are kept as they are.
  EXPECT_EQ(Dec(kFormatUtf7, "\xe9+AGE-\xff"), "\xe9" "a\xff");
  // U+0000 inside a run is data, not the end of the text.
  EXPECT_EQ(Dec(kFormatUtf7, "+AAA-x"), std::string("\0x", 2));
  // Partial characters, non-zero padding bits and a shift before a stray character are
  // ill-formed.
  for (const char* bad : {"+A.GE-", "+AGF-", "+AGEA", "+!", "1+1=2"}) {
    Outcome o = Convert(kFormatUtf7, kDecodeMode, bad);
    EXPECT_EQ(o.rc, 26) << bad;
  }
  EncoderComponent e;
  e.set_format(kFormatUtf7);
  e.SetInputData("+A.GE-", 6);
  EXPECT_EQ(e.Decode(), 26);
  EXPECT_STREQ(e.error_text().c_str(), "Invalid character in base64 data.");
}

TEST(EncoderKnownAnswers, ModifiedUtf7MailboxNames) {
  // RFC 3501 section 5.1.3.
  std::vector<std::string> m = {"UseModifiedUTF7=1", "CodePage=65001"};
  EXPECT_EQ(Enc(kFormatUtf7, "~peter/mail/\xe5\x8f\xb0\xe5\x8c\x97/\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e", m),
            "~peter/mail/&U,BTFw-/&ZeVnLIqe-");
  EXPECT_EQ(Dec(kFormatUtf7, "~peter/mail/&U,BTFw-/&ZeVnLIqe-", m),
            "~peter/mail/\xe5\x8f\xb0\xe5\x8c\x97/\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e");
  EXPECT_EQ(Enc(kFormatUtf7, "a&b", m), "a&-b");
  EXPECT_EQ(Enc(kFormatUtf7, "1+1", {"CodePage=65001"}), "1+-1");
}

TEST(EncoderKnownAnswers, Base64DecoderStrictness) {
  EXPECT_EQ(Dec(kFormatBase64, "  YWJj\r\nZGVm\r\n"), "abcdef");
  EXPECT_EQ(Dec(kFormatBase64, "YW Jj"), "abc");
  EXPECT_EQ(Dec(kFormatBase64, "YWI="), "ab");
  EXPECT_EQ(Dec(kFormatBase64, "YWI"), "ab");
  EXPECT_EQ(Dec(kFormatBase64, "Y"), "");
  // Padding ends a group, so pieces padded one by one decode one by one.
  EXPECT_EQ(Dec(kFormatBase64, "YQ==\r\nYg==\r\n"), "ab");
  EXPECT_EQ(Convert(kFormatBase64, kDecodeMode, "YW*Jj").rc, 26);
  EXPECT_EQ(Convert(kFormatBase64, kDecodeMode, "YWI=YWI=").rc, 26);
  EXPECT_EQ(Dec(kFormatBase64, "YW*Jj", {"RequireBase64Chars=0"}), "abc");
  EXPECT_EQ(Convert(kFormatBase64Url, kDecodeMode, "-_+8").rc, 26);
  EXPECT_EQ(Dec(kFormatBase64Url, "-_8"), "\xfb\xff");
}

TEST(EncoderKnownAnswers, HexAndBase32Decoders) {
  EXPECT_EQ(Enc(kFormatHex, "\x01\xab"), "01ab");
  EXPECT_EQ(Dec(kFormatHex, "01 AB-cd\r\n7"), "\x01\xab\xcd");
  EXPECT_EQ(Dec(kFormatBase32, "  mfrgg===\r\n"), "abc");
  EXPECT_EQ(Dec(kFormatBase32, "C5H0====", {"UseExtendedHexBase32=1"}), "ab");
  EXPECT_EQ(Convert(kFormatBase32, kDecodeMode, "MFR!GG").rc, 26);
}

// ---- Differential checks against python3 ----

TEST(EncoderOracle, RadixFormatsAndDigestsMatchPython) {
  PythonOracle py;
  struct Case {
    std::string data;
    int b64, b64url, b32, b32hex, hex, md5, sha1, sha256;
    std::vector<int> hmacs;
  };
  const std::vector<std::string> algorithms = {"md5",    "sha1",   "sha224",   "sha256",
                                               "sha384", "sha512", "ripemd160"};
  const std::vector<std::string> names = {"MD5",     "SHA1",    "SHA-224",  "SHA-256",
                                          "SHA-384", "SHA-512", "RIPEMD160"};
  const std::string key = "k\x01\x02 secret key";
  std::vector<Case> cases;
  for (size_t n : kSizes) {
    Case c;
    c.data = RandomBytes(n, static_cast<unsigned>(n) + 7);
    c.b64 = py.Add("b64", c.data);
    c.b64url = py.Add("b64url", c.data);
    c.b32 = py.Add("b32", c.data);
    c.b32hex = py.Add("b32hex", c.data);
    c.hex = py.Add("hex", c.data);
    c.md5 = py.Add("md5", c.data);
    c.sha1 = py.Add("sha1", c.data);
    c.sha256 = py.Add("sha256", c.data);
    for (const std::string& a : algorithms) c.hmacs.push_back(py.Add("hmac-" + a, c.data, key));
    cases.push_back(c);
  }
  if (!py.Run()) {
    TW_REQUIRE_OR_SKIP("/usr/bin/python3 oracle not available");
  }
  for (const Case& c : cases) {
    SCOPED_TRACE("size " + std::to_string(c.data.size()));
    EXPECT_EQ(Enc(kFormatBase64, c.data), py.Get(c.b64));
    EXPECT_EQ(Enc(kFormatBase64Url, c.data), py.Get(c.b64url));
    EXPECT_EQ(Enc(kFormatBase32, c.data), py.Get(c.b32));
    EXPECT_EQ(Enc(kFormatBase32, c.data, {"UseExtendedHexBase32=1"}), py.Get(c.b32hex));
    EXPECT_EQ(Enc(kFormatHex, c.data), py.Get(c.hex));
    EXPECT_EQ(Enc(kFormatMd5, c.data), py.Get(c.md5));
    EXPECT_EQ(Enc(kFormatSha1, c.data), py.Get(c.sha1));
    EXPECT_EQ(Enc(kFormatSha256, c.data), py.Get(c.sha256));
    EXPECT_EQ(Dec(kFormatBase64, py.Get(c.b64)), c.data);
    EXPECT_EQ(Dec(kFormatBase64Url, py.Get(c.b64url)), c.data);
    EXPECT_EQ(Dec(kFormatBase32, py.Get(c.b32)), c.data);
    EXPECT_EQ(Dec(kFormatBase32, py.Get(c.b32hex), {"UseExtendedHexBase32=1"}), c.data);
    EXPECT_EQ(Dec(kFormatHex, py.Get(c.hex)), c.data);
    for (size_t i = 0; i < names.size(); ++i) {
      EXPECT_EQ(Enc(kFormatHmac, c.data, {"HMACKey=0x" + Hex(key), "HMACAlgorithm=" + names[i]}),
                py.Get(c.hmacs[i]))
          << names[i];
    }
  }
}

TEST(EncoderOracle, LineFormatsMatchPython) {
  PythonOracle py;
  struct Case {
    std::string data, qp, uu, url, yenc;
    int qp_back, py_qp, uu_back, url_back, py_url, y_back, py_y;
  };
  std::vector<Case> cases;
  std::vector<std::string> inputs;
  for (size_t n : kSizes) inputs.push_back(RandomBytes(n, static_cast<unsigned>(n) * 3 + 1));
  inputs.push_back("line one \r\nline two\t\r\n" + std::string(200, 'q') + " \r\n=\r\n. \t");
  inputs.push_back(std::string(300, ' '));
  for (const std::string& data : inputs) {
    Case c;
    c.data = data;
    c.qp = Enc(kFormatQuotedPrintable, data);
    EncoderComponent uu;
    uu.set_format(kFormatUuencode);
    uu.SetFileName("data.bin");
    uu.SetInputData(data.data(), static_cast<int>(data.size()));
    EXPECT_EQ(uu.Encode(), 0);
    c.uu.assign(uu.output_data().data(), static_cast<size_t>(uu.output_length()));
    c.url = Enc(kFormatUrl, data);
    EncoderComponent y;
    y.set_format(kFormatYenc);
    y.SetFileName("data.bin");
    y.SetInputData(data.data(), static_cast<int>(data.size()));
    EXPECT_EQ(y.Encode(), 0);
    c.yenc.assign(y.output_data().data(), static_cast<size_t>(y.output_length()));
    c.qp_back = py.Add("a2b_qp", c.qp);
    c.py_qp = py.Add("b2a_qp", data);
    c.uu_back = py.Add("uudec", c.uu);
    c.url_back = py.Add("unquote_plus", c.url);
    c.py_url = py.Add("quote", data);
    c.y_back = py.Add("ydec", c.yenc);
    c.py_y = py.Add("yenc", data, "data.bin");
    cases.push_back(c);
  }
  if (!py.Run()) {
    TW_REQUIRE_OR_SKIP("/usr/bin/python3 oracle not available");
  }
  for (const Case& c : cases) {
    SCOPED_TRACE("size " + std::to_string(c.data.size()));
    EXPECT_EQ(py.Get(c.qp_back), c.data);
    EXPECT_EQ(Dec(kFormatQuotedPrintable, py.Get(c.py_qp)), c.data);
    EXPECT_EQ(Dec(kFormatQuotedPrintable, c.qp), c.data);
    // Every encoded line stays within 76 characters.
    std::istringstream lines(c.qp);
    std::string line;
    while (std::getline(lines, line)) EXPECT_LE(line.size(), 77u) << line;
    EXPECT_EQ(py.Get(c.uu_back), c.data);
    EXPECT_EQ(Dec(kFormatUuencode, c.uu), c.data);
    EXPECT_EQ(py.Get(c.url_back), c.data);
    EXPECT_EQ(c.url, py.Get(c.py_url));
    EXPECT_EQ(Dec(kFormatUrl, py.Get(c.py_url)), c.data);
    EXPECT_EQ(py.Get(c.y_back), c.data);
    EXPECT_EQ(Dec(kFormatYenc, c.yenc), c.data);
    EXPECT_EQ(Dec(kFormatYenc, py.Get(c.py_y)), c.data);
  }
}

// Texts that put multi-byte characters across every offset of the 1022-byte pieces.
std::vector<std::string> Utf8Texts() {
  const std::vector<std::string> pieces = {
      "a",      "Z",       " ",      "\r\n",   "+",     "-",     "&",          "~",
      "\xc3\xa9", "\xc3\xbc", "\xe2\x82\xac", "\xe6\x97\xa5", "\xe6\x9c\xac",
      "\xe3\x81\x82", "\xe3\x82\xab", "\xf0\x9f\x90\x80", "!", "\"", "=", "\t"};
  std::vector<std::string> texts = {"", "plain ascii", "b\xc3\xbc" "cher", "\xf0\x9f\x98\x80"};
  for (unsigned seed = 1; seed <= 6; ++seed) {
    std::mt19937 rng(seed);
    std::string t;
    while (t.size() < 2500 + seed * 37) t += pieces[rng() % pieces.size()];
    texts.push_back(t);
  }
  return texts;
}

TEST(EncoderOracle, Utf7AndPunycodeMatchPython) {
  PythonOracle py;
  struct Case {
    std::string text, ours;
    int back, theirs;
  };
  std::vector<Case> cases;
  for (const std::string& t : Utf8Texts()) {
    Case c{t, Enc(kFormatUtf7, t, {"CodePage=65001"}), 0, 0};
    c.back = py.Add("utf7dec", c.ours);
    c.theirs = py.Add("utf7enc", t);
    cases.push_back(c);
  }
  std::vector<std::pair<std::string, int>> puny;
  for (const std::string t :
       {"b\xc3\xbc" "cher", "m\xc3\xbcnchen", "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e", "abc",
        "\xce\xb1\xce\xb2\xce\xb3-\xce\xb4", "\xf0\x9f\x90\x80x"}) {
    puny.emplace_back(t, py.Add("puny", t));
  }
  if (!py.Run()) {
    TW_REQUIRE_OR_SKIP("/usr/bin/python3 oracle not available");
  }
  for (const Case& c : cases) {
    SCOPED_TRACE("text of " + std::to_string(c.text.size()) + " bytes");
    EXPECT_EQ(py.Get(c.back), c.text);
    EXPECT_EQ(Dec(kFormatUtf7, py.Get(c.theirs), {"CodePage=65001"}), c.text);
    EXPECT_EQ(Dec(kFormatUtf7, c.ours, {"CodePage=65001"}), c.text);
    std::string modified = Enc(kFormatUtf7, c.text, {"CodePage=65001", "UseModifiedUTF7=1"});
    EXPECT_EQ(Dec(kFormatUtf7, modified, {"CodePage=65001", "UseModifiedUTF7=1"}), c.text);
  }
  for (const auto& [text, id] : puny) {
    EXPECT_EQ(Enc(kFormatPunycode, text, {"CodePage=65001"}), py.Get(id)) << text;
    EXPECT_EQ(Dec(kFormatPunycode, py.Get(id), {"CodePage=65001"}), text);
  }
  EXPECT_EQ(Convert(kFormatPunycode, kDecodeMode, "abc-9!", {"CodePage=65001"}).rc, 434);
}

TEST(EncoderOracle, CodePageAndJisConversionsNeverCutACharacter) {
  PythonOracle py;
  struct Case {
    std::string text;
    int sjis, jis;
  };
  // Japanese text only (python's Shift-JIS and ISO-2022-JP share these characters with ours).
  const std::vector<std::string> pieces = {
      "a", "Z", " ", "\r\n", "1", "\xe6\x97\xa5", "\xe6\x9c\xac", "\xe8\xaa\x9e", "\xe3\x81\x82",
      "\xe3\x82\xab", "\xe6\xbc\xa2", "\xe5\xad\x97", "\xe3\x80\x82", "\xef\xbc\xa1"};
  std::vector<Case> cases;
  for (unsigned seed = 1; seed <= 8; ++seed) {
    std::mt19937 rng(seed);
    std::string t;
    // Some texts hold long runs without ASCII, so the cut cannot always come after ASCII.
    int ascii_weight = seed % 2 == 0 ? 0 : 5;
    while (t.size() < 3000 + seed * 11) {
      size_t k = rng() % (pieces.size() + static_cast<size_t>(ascii_weight));
      t += k < pieces.size() ? pieces[k] : "x";
      if (seed % 2 == 0 && k < 5) t += pieces[5];
    }
    cases.push_back({t, py.Add("sjis", t), py.Add("iso2022jp", t)});
  }
  std::string latin = "caf\xc3\xa9 \xe2\x82\xac \xc3\xbf\xc2\xa0 ";
  std::string latin_text;
  while (latin_text.size() < 4000) latin_text += latin;
  int cp1252 = py.Add("cp1252", latin_text);
  if (!py.Run()) {
    TW_REQUIRE_OR_SKIP("/usr/bin/python3 oracle not available");
  }
  for (const Case& c : cases) {
    SCOPED_TRACE("text of " + std::to_string(c.text.size()) + " bytes");
    const std::string sjis = py.Get(c.sjis);
    const std::string jis = py.Get(c.jis);
    EXPECT_EQ(Enc(kFormatUtf8, sjis, {"CodePage=932"}), c.text);
    EXPECT_EQ(Dec(kFormatUtf8, c.text, {"CodePage=932"}), sjis);
    EXPECT_EQ(Hex(Enc(kFormatJis, sjis)), Hex(jis));
    EXPECT_EQ(Hex(Dec(kFormatJis, jis)), Hex(sjis));
  }
  EXPECT_EQ(Enc(kFormatUtf8, py.Get(cp1252), {"CodePage=1252"}), latin_text);
  EXPECT_EQ(Dec(kFormatUtf8, latin_text, {"CodePage=1252"}), py.Get(cp1252));
}

TEST(EncoderOracle, LongJisRunsWithoutAsciiStayValid) {
  // No ASCII byte to cut after for far more than one piece: the text is cut between characters
  // and must still read back as the same text.
  std::string text;
  for (int i = 0; i < 30000; ++i) text += i % 3 ? "\xe6\x97\xa5" : "\xe3\x81\x82";
  PythonOracle py;
  int sjis_id = py.Add("sjis", text);
  if (!py.Run()) {
    TW_REQUIRE_OR_SKIP("/usr/bin/python3 oracle not available");
  }
  std::string sjis = py.Get(sjis_id);
  std::string jis = Enc(kFormatJis, sjis);
  EXPECT_EQ(Hex(Dec(kFormatJis, jis)), Hex(sjis));
  PythonOracle back;
  int text_id = back.Add("iso2022jpdec", jis);
  ASSERT_TRUE(back.Run());
  EXPECT_TRUE(back.Get(text_id) == text);
}

TEST(EncoderOracle, JisOutputLongerThanTheEstimateStillFits) {
  // Each half-width katakana between ASCII letters costs two escapes: far beyond n * 2 + 2.
  std::string sjis;
  for (int i = 0; i < 1000; ++i) sjis += "a\xb1";
  std::string jis = Enc(kFormatJis, sjis);
  EXPECT_GT(jis.size(), sjis.size() * 2 + 2);
  EXPECT_EQ(jis.substr(0, 10), "a\x1b$B%\"\x1b(Ba");
}

// ---- Command-line tools ----

TEST(EncoderTools, UuencodeAgreesWithSharutils) {
  if (!HaveProgram("uuencode") || !HaveProgram("uudecode")) {
    TW_REQUIRE_OR_SKIP("uuencode/uudecode (sharutils) not installed");
  }
  std::string dir = MakeTempDir();
  for (size_t n : {0ul, 1ul, 45ul, 46ul, 1000ul, 10007ul}) {
    SCOPED_TRACE("size " + std::to_string(n));
    std::string data = RandomBytes(n, static_cast<unsigned>(n) + 99);
    std::string in = dir + "/in.bin";
    WriteFile(in, data);
    chmod(in.c_str(), 0644);
    std::string theirs = RunCommand("uuencode " + in + " payload.bin");
    EncoderComponent e;
    e.set_format(kFormatUuencode);
    e.SetFileName("payload.bin");
    e.SetFileMode("644");
    e.SetInputFile(in.c_str());
    ASSERT_EQ(e.Encode(), 0);
    std::string ours(e.output_data().data(), static_cast<size_t>(e.output_length()));
    std::string ours_lf;
    for (char c : ours) {
      if (c != '\r') ours_lf += c;
    }
    EXPECT_EQ(ours_lf, theirs);
    int status = -1;
    std::string back = RunCommand("uudecode -o /dev/stdout", ours, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(back, data);
    EXPECT_EQ(Dec(kFormatUuencode, theirs), data);
  }
  std::filesystem::remove_all(dir);
}

TEST(EncoderTools, Base32AgreesWithCoreutils) {
  if (!HaveProgram("base32")) {
    TW_REQUIRE_OR_SKIP("base32 (coreutils) not installed");
  }
  for (size_t n : {0ul, 1ul, 4ul, 5ul, 6ul, 59ul, 60ul, 61ul, 5000ul}) {
    SCOPED_TRACE("size " + std::to_string(n));
    std::string data = RandomBytes(n, static_cast<unsigned>(n) + 5);
    std::string ours = Enc(kFormatBase32, data);
    EXPECT_EQ(ours, RunCommand("base32 -w 0", data));
    EXPECT_EQ(RunCommand("base32 -d", ours), data);
    // Wrapped output of the tool decodes too.
    EXPECT_EQ(Dec(kFormatBase32, RunCommand("base32 -w 76", data)), data);
  }
}

// ---- Round trips ----

class EncoderRoundTrip : public ::testing::TestWithParam<int> {};

TEST_P(EncoderRoundTrip, EverySizeComesBack) {
  const int format = GetParam();
  for (size_t n : kSizes) {
    std::string data = RandomBytes(n, static_cast<unsigned>(n) * 11 + static_cast<unsigned>(format));
    std::vector<std::string> s = {"CodePage=28591"};
    EncoderComponent e;
    e.set_format(format);
    e.SetFileName("x.bin");
    e.SetInputData(data.data(), static_cast<int>(data.size()));
    for (const std::string& c : s) {
      const char* a = nullptr;
      e.ConfigText(c.c_str(), &a);
    }
    ASSERT_EQ(e.Encode(), 0) << n;
    std::string encoded(e.output_data().data(), static_cast<size_t>(e.output_length()));
    e.SetInputData(encoded.data(), static_cast<int>(encoded.size()));
    ASSERT_EQ(e.Decode(), 0) << n;
    EXPECT_EQ(Hex(std::string(e.output_data().data(), static_cast<size_t>(e.output_length()))),
              Hex(data))
        << "format " << format << " size " << n;
  }
}

INSTANTIATE_TEST_SUITE_P(AllReversibleFormats, EncoderRoundTrip,
                         ::testing::Values(kFormatUuencode, kFormatBase64, kFormatQuotedPrintable,
                                           kFormatUrl, kFormatYenc, kFormatHex, kFormatEntities,
                                           kFormatUtf8, kFormatUtf7, kFormatBase32,
                                           kFormatBase64Url),
    [](const auto& i) { return testsupport::MakeName(std::vector<const char*>({"uuencode", "base64", "quoted_printable", "url", "jis", "yenc", "md5", "sha1", "hex", "entities", "hmac", "utf8", "utf7", "base32", "base64url", "sha256", "punycode"}).at(i.param)); });

// ---- Files and part files ----

class EncoderFiles : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = MakeTempDir(); }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::vector<std::string> Parts(const std::string& prefix, const std::string& ext) {
    std::vector<std::string> parts;
    for (int i = 1;; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "%03d", i);
      std::string p = dir_ + "/" + prefix + name + ext;
      if (!std::filesystem::exists(p)) break;
      parts.push_back(p);
    }
    return parts;
  }
  std::string dir_;
};

TEST_F(EncoderFiles, UuencodePartsAnnounceTheirExactCountAndDecode) {
  std::string data = RandomBytes(20000, 42);
  WriteFile(dir_ + "/in.bin", data);
  EncoderComponent e;
  e.set_format(kFormatUuencode);
  e.SetFileName("in.bin");
  e.SetInputFile((dir_ + "/in.bin").c_str());
  e.SetOutputFile((dir_ + "/part???").c_str());
  const char* a = nullptr;
  ASSERT_EQ(e.ConfigText("MaxFileSize=3000", &a), 0);
  ASSERT_EQ(e.Encode(), 0) << e.error_text().c_str();
  std::vector<std::string> parts = Parts("part", ".UUE");
  ASSERT_GT(parts.size(), 5u);
  std::string all;
  for (size_t i = 0; i < parts.size(); ++i) {
    std::string p = ReadFile(parts[i]);
    EXPECT_LE(p.size(), 3000u) << parts[i];
    std::string head = "------------ Part " + std::to_string(i + 1) + " of " +
                       std::to_string(parts.size()) + " ------------\r\n";
    EXPECT_EQ(p.substr(0, head.size()), head);
    std::string tail = "-------- End of part " + std::to_string(i + 1) + " of " +
                       std::to_string(parts.size()) + " --------\r\n";
    EXPECT_EQ(p.substr(p.size() - tail.size()), tail);
    all += p;
  }
  // The parts read back as one stream through the same "?" name.
  EncoderComponent d;
  d.set_format(kFormatUuencode);
  d.SetInputFile((dir_ + "/part???").c_str());
  ASSERT_EQ(d.Decode(), 0) << d.error_text().c_str();
  EXPECT_EQ(std::string(d.output_data().data(), static_cast<size_t>(d.output_length())), data);
  EXPECT_STREQ(d.file_name().c_str(), "in.bin");
  if (HaveProgram("uudecode")) {
    std::string stripped = RunCommand("grep -v -E '^-+ (Part|End of part) ' | uudecode -o /dev/stdout", all);
    EXPECT_EQ(stripped, data);
  }
}

TEST_F(EncoderFiles, Base64AndQuotedPrintablePartsJoinBack) {
  std::string data = RandomBytes(10000, 4);
  for (int format : {kFormatBase64, kFormatQuotedPrintable}) {
    SCOPED_TRACE("format " + std::to_string(format));
    EncoderComponent e;
    e.set_format(format);
    e.SetInputData(data.data(), static_cast<int>(data.size()));
    e.SetOutputFile((dir_ + "/f" + std::to_string(format) + "_???").c_str());
    const char* a = nullptr;
    ASSERT_EQ(e.ConfigText("MaxFileSize=1000", &a), 0);
    ASSERT_EQ(e.Encode(), 0) << e.error_text().c_str();
    std::vector<std::string> parts =
        Parts("f" + std::to_string(format) + "_", format == kFormatBase64 ? ".B64" : ".Q_P");
    ASSERT_GT(parts.size(), 10u);
    std::string all;
    for (const std::string& p : parts) {
      std::string text = ReadFile(p);
      EXPECT_LE(text.size(), 1000u + 2);
      all += text;
    }
    EXPECT_EQ(Dec(format, all), data);
    EncoderComponent d;
    d.set_format(format);
    d.SetInputFile((dir_ + "/f" + std::to_string(format) + "_???").c_str());
    ASSERT_EQ(d.Decode(), 0);
    EXPECT_EQ(std::string(d.output_data().data(), static_cast<size_t>(d.output_length())), data);
  }
}

TEST_F(EncoderFiles, PartSizesThatCannotWorkAreRefused) {
  std::string data = RandomBytes(5000, 8);
  const char* a = nullptr;
  for (const char* size : {"MaxFileSize=244", "MaxFileSize=1", "MaxFileSize=-5"}) {
    EncoderComponent e;
    e.set_format(kFormatUuencode);
    e.SetFileName("x");
    e.SetInputData(data.data(), static_cast<int>(data.size()));
    e.SetOutputFile((dir_ + "/small???").c_str());
    e.ConfigText(size, &a);
    EXPECT_EQ(e.Encode(), 202) << size;
    EXPECT_STREQ(e.error_text().c_str(), "MaxFileSize is too small for the part headers.");
  }
  EXPECT_TRUE(Parts("small", ".UUE").empty());

  EncoderComponent many;
  many.set_format(kFormatUuencode);
  many.SetFileName("x");
  std::string big = RandomBytes(200000, 9);
  many.SetInputData(big.data(), static_cast<int>(big.size()));
  many.SetOutputFile((dir_ + "/many???").c_str());
  many.ConfigText("MaxFileSize=1000", &a);
  EXPECT_EQ(many.Encode(), 12);
  EXPECT_STREQ(many.error_text().c_str(),
               "Encoded data is required to be written in more than 100 files.");

  EncoderComponent no_mark;
  no_mark.set_format(kFormatUuencode);
  no_mark.SetFileName("x");
  no_mark.SetInputData(data.data(), static_cast<int>(data.size()));
  no_mark.SetOutputFile((dir_ + "/plain.uue").c_str());
  no_mark.ConfigText("MaxFileSize=1000", &a);
  EXPECT_EQ(no_mark.Encode(), 10);

  EncoderComponent one_digit;
  one_digit.set_format(kFormatBase64);
  one_digit.SetInputData(big.data(), static_cast<int>(big.size()));
  one_digit.SetOutputFile((dir_ + "/d?").c_str());
  one_digit.ConfigText("MaxFileSize=20000", &a);
  EXPECT_EQ(one_digit.Encode(), 10);
}

TEST_F(EncoderFiles, MissingInputExistingOutputAndBadHmacAlgorithm) {
  EncoderComponent e;
  e.set_format(kFormatBase64);
  e.SetInputFile((dir_ + "/absent").c_str());
  EXPECT_EQ(e.Encode(), 4);
  EXPECT_STREQ(e.error_text().c_str(), "Can't open the file for read (doesn't exist?)");

  WriteFile(dir_ + "/exists", "old");
  EncoderComponent keep;
  keep.set_format(kFormatHex);
  keep.SetInputData("abc", 3);
  keep.set_overwrite(false);
  keep.SetOutputFile((dir_ + "/exists").c_str());
  EXPECT_EQ(keep.Encode(), 8);
  EXPECT_EQ(ReadFile(dir_ + "/exists"), "old");
  keep.set_overwrite(true);
  EXPECT_EQ(keep.Encode(), 0);
  EXPECT_EQ(ReadFile(dir_ + "/exists"), "616263");

  EncoderComponent mac;
  mac.set_format(kFormatHmac);
  mac.SetInputData("abc", 3);
  mac.SetOutputFile((dir_ + "/mac").c_str());
  const char* a = nullptr;
  mac.ConfigText("HMACAlgorithm=SHA-999", &a);
  EXPECT_EQ(mac.Encode(), 500);
  EXPECT_STREQ(mac.error_text().c_str(), "Invalid HMACAlgorithm.");
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/mac"));
  mac.ConfigText("HMACAlgorithm=SHA-256", &a);
  mac.ConfigText("HMACKey=0xabc", &a);
  EXPECT_EQ(mac.Encode(), 202);
}

TEST_F(EncoderFiles, NamesFromTheDataStayInsideTheFolder) {
  std::string folder = dir_ + "/out/";
  std::filesystem::create_directory(folder);
  // A name with folders is reduced to its base name.
  EncoderComponent e;
  e.set_format(kFormatUuencode);
  e.SetOutputFile(folder.c_str());
  std::string uu = "begin 644 sub/dir/file.txt\r\n#86)C\r\n`\r\nend\r\n";
  e.SetInputData(uu.data(), static_cast<int>(uu.size()));
  ASSERT_EQ(e.Decode(), 0) << e.error_text().c_str();
  EXPECT_EQ(ReadFile(folder + "file.txt"), "abc");
  EXPECT_STREQ(e.file_name().c_str(), "file.txt");
  EXPECT_STREQ(e.file_mode().c_str(), "644");

  for (const char* name : {"../evil", "a/../../evil", "/etc/evil", "..\\evil", "C:\\evil", "..",
                           "dir/", "\\\\server\\share\\x"}) {
    SCOPED_TRACE(name);
    std::string bad = std::string("begin 644 ") + name + "\r\n#86)C\r\n`\r\nend\r\n";
    EncoderComponent b;
    b.set_format(kFormatUuencode);
    b.SetOutputFile(folder.c_str());
    b.SetInputData(bad.data(), static_cast<int>(bad.size()));
    EXPECT_EQ(b.Decode(), 3);
    std::string y = std::string("=ybegin line=128 size=1 name=") + name + "\r\nk\r\n=yend size=1\r\n";
    EncoderComponent yb;
    yb.set_format(kFormatYenc);
    yb.SetOutputFile(folder.c_str());
    yb.SetInputData(y.data(), static_cast<int>(y.size()));
    EXPECT_EQ(yb.Decode(), 3);
  }
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/evil"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder),
                          std::filesystem::directory_iterator()),
            1);

  // yEnc: each file of the data lands under its own (base) name.
  EncoderComponent y1;
  y1.set_format(kFormatYenc);
  y1.SetFileName("one.bin");
  y1.SetInputData("first", 5);
  ASSERT_EQ(y1.Encode(), 0);
  EncoderComponent y2;
  y2.set_format(kFormatYenc);
  y2.SetFileName("two.bin");
  y2.SetInputData("second", 6);
  ASSERT_EQ(y2.Encode(), 0);
  std::string both = std::string(y1.output_data().c_str()) + "junk\r\n" + y2.output_data().c_str();
  EncoderComponent yd;
  yd.set_format(kFormatYenc);
  yd.SetOutputFile(folder.c_str());
  yd.SetInputData(both.data(), static_cast<int>(both.size()));
  ASSERT_EQ(yd.Decode(), 0) << yd.error_text().c_str();
  EXPECT_EQ(ReadFile(folder + "one.bin"), "first");
  EXPECT_EQ(ReadFile(folder + "two.bin"), "second");

  // A folder is no output for the formats whose data carries no name.
  EncoderComponent hex;
  hex.set_format(kFormatHex);
  hex.SetInputData("ab", 2);
  hex.SetOutputFile(folder.c_str());
  EXPECT_EQ(hex.Encode(), 3);
}

// ---- Hostile input ----

std::string YencOf(const std::string& data, const char* name = "f.bin") {
  EncoderComponent y;
  y.set_format(kFormatYenc);
  y.SetFileName(name);
  y.SetInputData(data.data(), static_cast<int>(data.size()));
  EXPECT_EQ(y.Encode(), 0);
  return std::string(y.output_data().data(), static_cast<size_t>(y.output_length()));
}

TEST(EncoderHostile, YencFailuresHaveTheirCodes) {
  std::string good = YencOf("hello yEnc world");
  EXPECT_EQ(Dec(kFormatYenc, good), "hello yEnc world");
  EXPECT_EQ(Dec(kFormatYenc, "no yenc here\r\n"), "");

  // The CRC is a number: leading zeros and upper case give the same value.
  const size_t at = good.find("crc32=") + 6;
  std::string crc = good.substr(at, good.find('\r', at) - at);
  std::string padded = good.substr(0, at) + std::string(8 - crc.size(), '0');
  for (char c : crc) padded += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  padded += "\r\n";
  EXPECT_EQ(Dec(kFormatYenc, padded), "hello yEnc world");

  std::string corrupt = good;
  corrupt[corrupt.find("\r\n") + 3] ^= 1;
  EXPECT_EQ(Convert(kFormatYenc, kDecodeMode, corrupt).rc, 24);
  std::string no_crc = good.substr(0, good.find(" crc32=")) + "\r\n";
  EXPECT_EQ(Convert(kFormatYenc, kDecodeMode, no_crc).rc, 24);
  EXPECT_EQ(Convert(kFormatYenc, kDecodeMode, good.substr(0, good.find("=yend"))).rc, 22);
  EXPECT_EQ(Convert(kFormatYenc, kDecodeMode, "=ybegin line=128 size=1 name=a\r\nab=\r\n=yend size=1\r\n").rc, 23);
  EXPECT_EQ(Convert(kFormatYenc, kDecodeMode, "=ybegin part=1 line=128 size=1 name=a\r\nab\r\n").rc, 21);
  EXPECT_EQ(Convert(kFormatYenc, kDecodeMode, "=ybegin line=128 size=1\r\nab\r\n=yend size=1\r\n").rc, 21);
  EncoderComponent e;
  e.set_format(kFormatYenc);
  e.SetInputData(corrupt.data(), static_cast<int>(corrupt.size()));
  EXPECT_EQ(e.Decode(), 24);
  EXPECT_STREQ(e.error_text().c_str(), "CRC check failed when YDecoding (Corrupt data).");
}

TEST(EncoderHostile, YencMultipartChecksEachPart) {
  std::string part1 =
      "=ybegin part=1 total=2 line=128 size=6 name=m.bin\r\n=ypart begin=1 end=3\r\n";
  std::string part2 =
      "=ybegin part=2 total=2 line=128 size=6 name=m.bin\r\n=ypart begin=4 end=6\r\n";
  auto enc = [](const std::string& s) {
    std::string e;
    for (unsigned char c : s) e += static_cast<char>((c + 42) & 0xFF);
    return e;
  };
  char crc1[16], crc2[16], whole[16];
  // zlib CRC-32 of "abc", "def" and "abcdef".
  std::snprintf(crc1, sizeof crc1, "%08x", 0x352441c2u);
  std::snprintf(crc2, sizeof crc2, "%08x", 0x0cc4e161u);
  std::snprintf(whole, sizeof whole, "%08x", 0x4b8e39efu);
  std::string data = part1 + enc("abc") + "\r\n=yend size=3 part=1 pcrc32=" + crc1 + "\r\n" +
                     part2 + enc("def") + "\r\n=yend size=3 part=2 pcrc32=" + crc2 +
                     " crc32=" + whole + "\r\n";
  EXPECT_EQ(Dec(kFormatYenc, data), "abcdef");
  std::string bad = data;
  bad.replace(bad.find(crc2), 8, "0cc4e162");
  EXPECT_EQ(Convert(kFormatYenc, kDecodeMode, bad).rc, 24);
}

TEST(EncoderHostile, UudecodeFailuresHaveTheirCodes) {
  EXPECT_EQ(Convert(kFormatUuencode, kDecodeMode, "nothing here\r\n").rc, 18);
  EXPECT_EQ(Convert(kFormatUuencode, kDecodeMode, "begin 644 x\r\n#86)C\r\n").rc, 2);
  EXPECT_EQ(Convert(kFormatUuencode, kDecodeMode, "begin 644 x\r\nM86)C").rc, 1);
  EncoderComponent e;
  e.set_format(kFormatUuencode);
  e.SetInputData("begin 644 x\r\nM86)C", 19);
  EXPECT_EQ(e.Decode(), 1);
  EXPECT_STREQ(e.error_text().c_str(), "Short uuencoded file");
  EXPECT_EQ(Convert(kFormatUuencode, kEncodeMode, "abc").rc, 7);
  // Blanks a mailer stripped from the end of a line were zeros.
  EXPECT_EQ(Dec(kFormatUuencode, "begin 644 x\r\n#```\r\n`\r\nend\r\n"), std::string(3, '\0'));
  EXPECT_EQ(Dec(kFormatUuencode, "begin 644 x\r\n#\r\n`\r\nend\r\n"), std::string(3, '\0'));
}

// Every failure a decoder may report for bad data.
const std::set<int> kClearCodes = {0, 1, 2, 3, 18, 19, 21, 22, 23, 24, 26, 434};

TEST(EncoderHostile, RandomAndTruncatedInputNeverCrashes) {
  std::mt19937 rng(2024);
  std::vector<std::string> seeds = {
      YencOf(RandomBytes(700, 1)),
      Enc(kFormatBase64, RandomBytes(700, 2)),
      Enc(kFormatQuotedPrintable, RandomBytes(700, 3)),
      Enc(kFormatUtf7, "h\xc3\xa9llo w\xc3\xb6rld +-&~ \xf0\x9f\x90\x80", {"CodePage=65001"}),
      std::string("\x1b$BF|K\\8l\x1b(Babc\x1b$"),
      "begin 644 f\r\nM86)C86)C86)C86)C86)C86)C86)C86)C86)C86)C86)C86)C86)C86)C86)C\r\n`\r\nend\r\n",
      "&#1114111;&#x110000;&amp&#;&#x;&lt",
      "%%41%4%+%",
  };
  for (int round = 0; round < 60; ++round) {
    for (const std::string& seed : seeds) {
      std::string s = seed;
      int edits = 1 + static_cast<int>(rng() % 6);
      for (int k = 0; k < edits && !s.empty(); ++k) {
        size_t at = rng() % s.size();
        switch (rng() % 3) {
          case 0: s[at] = static_cast<char>(rng()); break;
          case 1: s.erase(at, 1 + rng() % 5); break;
          default: s.resize(at); break;
        }
      }
      for (int format = 0; format < kEncoderFormatCount; ++format) {
        for (const char* cp : {"CodePage=65001", "CodePage=932"}) {
          Outcome o = Convert(format, kDecodeMode, s, {cp});
          EXPECT_TRUE(kClearCodes.count(o.rc) == 1) << "format " << format << " gave " << o.rc;
        }
      }
    }
  }
}

TEST(EncoderHostile, AllocationFailuresGiveOutOfMemoryOrTheFullResult) {
  const std::string data = RandomBytes(3000, 77) + "\r\n" + std::string(200, 'a');
  for (int format = 0; format < kEncoderFormatCount; ++format) {
    for (int mode : {kEncodeMode, kDecodeMode}) {
      if (mode == kDecodeMode && (format == kFormatMd5 || format == kFormatSha1 ||
                                  format == kFormatHmac || format == kFormatSha256)) {
        continue;
      }
      EncoderComponent ref;
      ref.set_format(format);
      ref.SetFileName("n.bin");
      std::string input = data;
      if (mode == kDecodeMode) {
        ref.SetInputData(data.data(), static_cast<int>(data.size()));
        if (ref.Encode() != 0) continue;  // Punycode cannot take binary data
        input.assign(ref.output_data().data(), static_cast<size_t>(ref.output_length()));
      }
      ref.SetInputData(input.data(), static_cast<int>(input.size()));
      const int want_rc = ref.EncodeDispatch(mode);
      const std::string want(ref.output_data().data(), static_cast<size_t>(ref.output_length()));
      for (long fail = 1; fail < 30; ++fail) {
        EncoderComponent e;
        e.set_format(format);
        e.SetFileName("n.bin");
        e.SetInputData(input.data(), static_cast<int>(input.size()));
        win::HeapFailAfter(fail);
        const int rc = e.EncodeDispatch(mode);
        win::HeapFailAfter(0);
        SCOPED_TRACE("format " + std::to_string(format) + " mode " + std::to_string(mode) +
                     " failing allocation " + std::to_string(fail));
        if (rc == 200) continue;
        EXPECT_EQ(rc, want_rc);
        EXPECT_EQ(std::string(e.output_data().data(), static_cast<size_t>(e.output_length())),
                  want);
      }
    }
  }
}

// ---- Settings ----

TEST(EncoderSettings, ReadBackAndDefaults) {
  EncoderComponent e;
  const char* a = nullptr;
  auto read = [&](const char* name) {
    EXPECT_EQ(e.ConfigText(name, &a), 0) << name;
    return std::string(a);
  };
  EXPECT_EQ(read("MaxFileSize"), "0");
  EXPECT_EQ(read("HMACAlgorithm"), "MD5");
  EXPECT_EQ(read("HMACKey"), "");
  EXPECT_EQ(read("UseModifiedUTF7"), "0");
  EXPECT_EQ(read("Base64LineBreak"), "1");
  EXPECT_EQ(read("UseExtendedHexBase32"), "0");
  EXPECT_EQ(read("RequireBase64Chars"), "1");
  EXPECT_EQ(read("URLUnreservedChars"), "*");
  EXPECT_EQ(read("EncodeHash"), "True");
  EXPECT_EQ(e.ConfigText("maxfilesize=0x400", &a), 0);
  EXPECT_EQ(read("MaxFileSize"), "1024");
  EXPECT_EQ(e.ConfigText("EncodeHash=no", &a), 0);
  EXPECT_EQ(read("EncodeHash"), "False");
  EXPECT_EQ(e.ConfigText("UseModifiedUTF7=true", &a), 0);
  EXPECT_EQ(read("UseModifiedUTF7"), "1");
  EXPECT_EQ(e.ConfigText("CodePage=932", &a), 0);  // handled by the base
  EXPECT_EQ(read("CodePage"), "932");
  EXPECT_EQ(e.ConfigText("NoSuchSetting", &a), -1);
  // A buffer output has no parts: the part size goes back to 0.
  e.set_format(kFormatHex);
  EXPECT_EQ(e.Encode(), 0);
  EXPECT_EQ(read("MaxFileSize"), "0");
}

}  // namespace
}  // namespace tw
