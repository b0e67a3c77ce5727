#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "formats/archive_component.h"
#include "formats/body_inflater.h"
#include "formats/content_encoder.h"
#include "formats/crc32.h"
#include "formats/gzip_header.h"
#include "foundation/caller_stream.h"
#include "foundation/event_sink.h"
#include "foundation/file_handle.h"
#include "platform/heap.h"
#include "platform/window.h"
#include "tests/support/test_support.h"

namespace tw {
namespace {

using Bytes = std::string;

const uint8_t* U8(const Bytes& b) { return reinterpret_cast<const uint8_t*>(b.data()); }
Bytes Str(const ByteString& s) { return Bytes(s.data(), static_cast<size_t>(s.length())); }

Bytes Unhex(const char* hex) {
  Bytes out;
  for (size_t i = 0; hex[i] != 0 && hex[i + 1] != 0; i += 2) {
    out.push_back(static_cast<char>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
  }
  return out;
}

// Text-like data that compresses, with some noise so that it is not trivial.
Bytes SampleData(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  static const char* words[] = {"blob ", "container ", "lease ",    "<Name>",    "</Name>",
                                "\r\n",  "snapshot ",  "metadata ", "0123456789"};
  Bytes out;
  while (out.size() < n) {
    if (rng() % 8 == 0) {
      out.push_back(static_cast<char>(rng()));
    } else {
      out += words[rng() % 9];
    }
  }
  out.resize(n);
  return out;
}

Bytes RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out(n, '\0');
  for (auto& c : out) c = static_cast<char>(rng());
  return out;
}

// ---- Oracles ----

class Python {
 public:
  static bool Available() { return testsupport::HavePython(); }

  // Runs a python script with data on stdin; the script's stdout comes back.
  static Bytes Run(const std::string& script, const Bytes& input, int* status = nullptr) {
    const std::string dir = testsupport::MakeTempDir();
    const std::string path = dir + "/script.py";
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(script.data(), 1, script.size(), f);
    std::fclose(f);
    int rc = -1;
    Bytes out = testsupport::RunCommand(std::string(testsupport::kPython) + " " + path, input, &rc);
    std::filesystem::remove_all(dir);
    if (status != nullptr) *status = rc;
    return out;
  }

  static Bytes Filter(const std::string& expression, const Bytes& input, int* status = nullptr) {
    return Run(
        "import sys, gzip, zlib, binascii\n"
        "data = sys.stdin.buffer.read()\n"
        "sys.stdout.buffer.write(" +
            expression + ")\n",
        input, status);
  }
};

Bytes ZlibInflate(const Bytes& in, int window_bits) {
  z_stream s{};
  EXPECT_EQ(inflateInit2(&s, window_bits), Z_OK);
  Bytes out;
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  s.avail_in = static_cast<uInt>(in.size());
  char buf[16384];
  int rc;
  do {
    s.next_out = reinterpret_cast<Bytef*>(buf);
    s.avail_out = sizeof buf;
    rc = inflate(&s, Z_NO_FLUSH);
    out.append(buf, sizeof buf - s.avail_out);
  } while (rc == Z_OK);
  EXPECT_EQ(rc, Z_STREAM_END);
  EXPECT_EQ(s.avail_in, 0u) << "bytes after the stream";
  inflateEnd(&s);
  return out;
}

Bytes ZlibDeflate(const Bytes& in, int window_bits, int level = 6) {
  z_stream s{};
  EXPECT_EQ(deflateInit2(&s, level, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY), Z_OK);
  Bytes out(deflateBound(&s, in.size()), '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  s.avail_in = static_cast<uInt>(in.size());
  s.next_out = reinterpret_cast<Bytef*>(out.data());
  s.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

// ---- Helpers around the units ----

struct Decoded {
  int rc = 0;
  int finish = 0;
  Bytes out;
  std::vector<size_t> pieces;  // sizes of the output pieces delivered
};

// Feeds body cut at the given offsets and then finishes it.
Decoded Decode(int kind, const Bytes& body, const std::vector<size_t>& cuts, uint64_t limit = 0) {
  Decoded d;
  BodyInflater inflater;
  inflater.set_max_output(limit);
  EXPECT_EQ(inflater.Start(kind), 0);
  auto sink = [&d](const uint8_t* p, int n) {
    d.out.append(reinterpret_cast<const char*>(p), static_cast<size_t>(n));
    d.pieces.push_back(static_cast<size_t>(n));
    return 0;
  };
  size_t from = 0;
  std::vector<size_t> all = cuts;
  all.push_back(body.size());
  for (size_t to : all) {
    if (to < from || to > body.size()) continue;
    d.rc = inflater.Feed(body.data() + from, static_cast<int>(to - from), sink);
    from = to;
    if (d.rc != 0) return d;
  }
  d.finish = inflater.Finish();
  return d;
}

Decoded Decode(int kind, const Bytes& body) { return Decode(kind, body, {}); }

Bytes Encode(int format, const Bytes& data, int level = kDefaultCompressionLevel) {
  ContentEncoder encoder;
  encoder.set_level(level);
  EXPECT_EQ(encoder.SetFormat(format), 0);
  encoder.set_mtime(0x5F5E1000);
  ByteString out;
  EXPECT_EQ(encoder.EncodeBody(data.data(), static_cast<int>(data.size()), nullptr, out), 0);
  return Str(out);
}

// A gzip member header with every optional field; FHCRC computed with zlib.
Bytes FullGzipHeader() {
  Bytes h =
      Unhex("1f8b08") + std::string(1, '\x1e') + Unhex("78563412") + Unhex("02") + Unhex("03");
  h += Unhex("0600") + "AB\x02\x00xy";  // FEXTRA: one subfield of 2 bytes
  h += std::string("name.txt") + '\0';
  h += std::string("a comment") + '\0';
  const uint32_t crc = static_cast<uint32_t>(crc32(0, U8(h), static_cast<uInt>(h.size())));
  h.push_back(static_cast<char>(crc & 0xFF));
  h.push_back(static_cast<char>((crc >> 8) & 0xFF));
  return h;
}

Bytes Le32(uint32_t v) {
  Bytes b;
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<char>(v >> (8 * i)));
  return b;
}

Bytes GzipMember(const Bytes& header, const Bytes& data) {
  return header + ZlibDeflate(data, -15) +
         Le32(static_cast<uint32_t>(crc32(0, U8(data), static_cast<uInt>(data.size())))) +
         Le32(static_cast<uint32_t>(data.size()));
}

// ---- CRC-32 ----

TEST(Crc32Test, KnownAnswers) {
  EXPECT_EQ(Crc32Of("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(Crc32Of("", 0), 0u);
  EXPECT_EQ(Crc32Of("a", 1), 0xE8B7BE43u);
  uint32_t table[256];
  FillCrc32Table(table);
  EXPECT_EQ(table[0], 0u);
  EXPECT_EQ(table[128], 0xEDB88320u);
  const uint32_t* zt = reinterpret_cast<const uint32_t*>(get_crc_table());
  for (int i = 0; i < 256; ++i) ASSERT_EQ(table[i], zt[i]) << i;
}

// The Kerberos variant: RFC 3961's mod-crc-32 vectors.
TEST(Crc32Test, KerberosVariant) {
  struct Case {
    Bytes input;
    const char* le_hex;
  };
  const Case cases[] = {
      {"foo", "33bc3273"},
      {"test0123456789", "d6883eb8"},
      {"MASSACHVSETTS INSTITVTE OF TECHNOLOGY", "f78041e3"},
      {Unhex("8000"), "4b98833b"},
      {Unhex("0008"), "3288db0e"},
      {Unhex("0080"), "2083b8ed"},
      {Unhex("80"), "2083b8ed"},
      {Unhex("80000000"), "3bb659ed"},
      {Unhex("00000001"), "96300777"},
  };
  for (const Case& c : cases) {
    uint8_t out[4];
    KerberosCrc32(c.input.data(), c.input.size(), out);
    EXPECT_EQ(Bytes(reinterpret_cast<char*>(out), 4), Unhex(c.le_hex)) << c.input;
  }
  EXPECT_NE(KerberosCrc32("123456789", 9), 0xCBF43926u);
}

TEST(Crc32Test, MatchesZlibInAnyPieces) {
  std::mt19937 rng(7);
  for (size_t n : {0u, 1u, 3u, 255u, 4096u, 100003u}) {
    const Bytes data = RandomBytes(n, static_cast<uint32_t>(n));
    const uint32_t expected = static_cast<uint32_t>(crc32(0, U8(data), static_cast<uInt>(n)));
    EXPECT_EQ(Crc32Of(data.data(), n), expected);
    Crc32 pieces;
    size_t at = 0;
    while (at < n) {
      size_t take = std::min<size_t>(n - at, rng() % 37);
      if (take == 1) {
        pieces.UpdateByte(static_cast<uint8_t>(data[at]));
      } else {
        pieces.Update(data.data() + at, take);
      }
      at += take;
    }
    EXPECT_EQ(pieces.value(), expected) << n;
  }
}

TEST(Crc32Test, MatchesPythonBinascii) {
  if (!Python::Available()) {
    TW_REQUIRE_OR_SKIP("/usr/bin/python3 not installed");
  }
  const Bytes data = RandomBytes(70001, 3);
  const Bytes answer = Python::Filter("b'%08x' % binascii.crc32(data)", data);
  char ours[9];
  std::snprintf(ours, sizeof ours, "%08x", Crc32Of(data.data(), data.size()));
  EXPECT_EQ(answer, ours);
}

// ---- Gzip header ----

TEST(GzipHeaderTest, SkipsEveryOptionalField) {
  const Bytes h = FullGzipHeader() + "DATA";
  int position = 0;
  ASSERT_EQ(ParseGzipHeader(U8(h), static_cast<int>(h.size()), &position), 1);
  EXPECT_EQ(position, static_cast<int>(h.size()) - 4);
  position = 0;
  bool complete = false;
  ASSERT_EQ(CheckGzipHeader(U8(h), static_cast<int>(h.size()), &position, &complete), 0);
  EXPECT_TRUE(complete);
  EXPECT_EQ(position, static_cast<int>(h.size()) - 4);
}

// Every prefix of a header is "more needed", never complete, never past the buffer (ASan).
TEST(GzipHeaderTest, EveryTruncationNeedsMore) {
  const Bytes h = FullGzipHeader();
  for (size_t n = 0; n < h.size(); ++n) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[n + 1]);
    std::memcpy(exact.get(), h.data(), n);
    int position = 0;
    EXPECT_EQ(ParseGzipHeader(exact.get(), static_cast<int>(n), &position), 0) << n;
    EXPECT_EQ(position, 0);
    bool complete = true;
    EXPECT_EQ(CheckGzipHeader(exact.get(), static_cast<int>(n), &position, &complete), 0) << n;
    EXPECT_FALSE(complete);
  }
}

TEST(GzipHeaderTest, RefusesBadHeaders) {
  struct Case {
    const char* why;
    Bytes bytes;
  };
  Bytes bad_hcrc = FullGzipHeader();
  bad_hcrc.back() ^= 1;
  const Case cases[] = {
      {"method 7", Unhex("1f8b07")},
      {"first magic byte", Unhex("1e")},
      {"second magic byte", Unhex("1f8c")},
      {"reserved flag", Unhex("1f8b0820")},
      {"reserved flag 0x80", Unhex("1f8b0880000000000003")},
      {"header CRC", bad_hcrc},
  };
  for (const Case& c : cases) {
    int position = 0;
    bool complete = false;
    EXPECT_EQ(CheckGzipHeader(U8(c.bytes), static_cast<int>(c.bytes.size()), &position, &complete),
              kErrGzipHeader)
        << c.why;
    Decoded d = Decode(kContentEncodingGzip, c.bytes);
    EXPECT_EQ(d.rc, 102) << c.why;
  }
}

// FEXTRA length that claims more than the buffer: must wait, not read past the end.
TEST(GzipHeaderTest, ExtraLengthBeyondBuffer) {
  const Bytes h = Unhex("1f8b0804000000000003ffff") + "abc";
  int position = 0;
  EXPECT_EQ(ParseGzipHeader(U8(h), static_cast<int>(h.size()), &position), 0);
}

// ---- Body decoding ----

TEST(BodyInflaterTest, HeaderSplitOverThreePiecesDeliversNothingUntilComplete) {
  const Bytes data = SampleData(5000, 1);
  const Bytes body = GzipMember(FullGzipHeader(), data);
  BodyInflater inflater;
  ASSERT_EQ(inflater.Start(kContentEncodingGzip), 0);
  ByteString out;
  ASSERT_EQ(inflater.Feed(body.data(), 4, out), 0);
  EXPECT_EQ(out.length(), 0);
  ASSERT_EQ(inflater.Feed(body.data() + 4, 15, out), 0);
  EXPECT_EQ(out.length(), 0);
  ASSERT_EQ(inflater.Feed(body.data() + 19, static_cast<int>(body.size()) - 19, out), 0);
  EXPECT_EQ(Str(out), data);
  EXPECT_TRUE(inflater.complete());
  EXPECT_EQ(inflater.Finish(), 0);
}

// Every split point of a body with all header fields, and of a zlib and a raw deflate body.
TEST(BodyInflaterTest, EverySplitPoint) {
  const Bytes data = SampleData(3000, 2);
  const Bytes gz = GzipMember(FullGzipHeader(), data);
  const Bytes zl = ZlibDeflate(data, 15);
  const Bytes raw = ZlibDeflate(data, -15);
  for (size_t cut = 0; cut <= gz.size(); ++cut) {
    Decoded d = Decode(kContentEncodingGzip, gz, {cut});
    ASSERT_EQ(d.rc, 0) << cut;
    ASSERT_EQ(d.finish, 0) << cut;
    ASSERT_EQ(d.out, data) << cut;
  }
  for (const Bytes* body : {&zl, &raw}) {
    for (size_t cut = 0; cut <= body->size(); ++cut) {
      Decoded d = Decode(kContentEncodingDeflate, *body, {cut});
      ASSERT_EQ(d.rc, 0) << cut;
      ASSERT_EQ(d.finish, 0) << cut;
      ASSERT_EQ(d.out, data) << cut;
    }
  }
}

TEST(BodyInflaterTest, RandomPiecesAndByteByByte) {
  const Bytes data = SampleData(200000, 3) + RandomBytes(30000, 4);
  const Bytes gz = GzipMember(Unhex("1f8b08000000000000ff"), data);
  std::mt19937 rng(11);
  for (int round = 0; round < 20; ++round) {
    std::vector<size_t> cuts;
    size_t at = 0;
    while (at < gz.size()) {
      at += 1 + rng() % (round < 10 ? 50 : 20000);
      cuts.push_back(std::min(at, gz.size()));
    }
    Decoded d = Decode(kContentEncodingGzip, gz, cuts);
    ASSERT_EQ(d.rc, 0);
    ASSERT_EQ(d.finish, 0);
    ASSERT_EQ(d.out, data);
    for (size_t piece : d.pieces) EXPECT_LE(piece, static_cast<size_t>(kInflateStepSize));
  }
  std::vector<size_t> every(gz.size());
  for (size_t i = 0; i < gz.size(); ++i) every[i] = i;
  Decoded d = Decode(kContentEncodingGzip, gz, every);
  EXPECT_EQ(d.rc, 0);
  EXPECT_EQ(d.out, data);
}

// "deflate" bodies come both ways in practice; both decode, and the zlib checksum is checked.
TEST(BodyInflaterTest, DeflateAcceptsZlibAndRaw) {
  const Bytes data = SampleData(10000, 5);
  for (int bits : {15, 9, -15}) {
    Decoded d = Decode(kContentEncodingDeflate, ZlibDeflate(data, bits));
    EXPECT_EQ(d.rc, 0) << bits;
    EXPECT_EQ(d.finish, 0) << bits;
    EXPECT_EQ(d.out, data) << bits;
  }
  Bytes zl = ZlibDeflate(data, 15);
  zl.back() ^= 0x40;
  Decoded d = Decode(kContentEncodingDeflate, zl);
  EXPECT_EQ(d.rc, 151);
  // A preset dictionary is not something a body can carry: not taken as zlib, fails as raw.
  EXPECT_NE(Decode(kContentEncodingDeflate, Unhex("78bb00000001")).rc, 0);
}

TEST(BodyInflaterTest, TrailerIsChecked) {
  const Bytes data = SampleData(4000, 6);
  const Bytes good = GzipMember(Unhex("1f8b08000000000000ff"), data);
  for (size_t i = good.size() - 8; i < good.size(); ++i) {
    Bytes bad = good;
    bad[i] ^= 0x01;
    BodyInflater inflater;
    ASSERT_EQ(inflater.Start(kContentEncodingGzip), 0);
    ByteString out;
    EXPECT_EQ(inflater.Feed(bad.data(), static_cast<int>(bad.size()), out), 151) << i;
    EXPECT_STREQ(inflater.error_text(),
                 "The GZIP trailer does not match the decompressed content.");
    // Later calls keep the failure.
    EXPECT_EQ(inflater.Feed("x", 1, out), 151);
    EXPECT_EQ(inflater.Finish(), 151);
  }
}

TEST(BodyInflaterTest, ConcatenatedMembersAllDecode) {
  const Bytes a = SampleData(3000, 7);
  const Bytes b = RandomBytes(2000, 8);
  const Bytes body = GzipMember(FullGzipHeader(), a) +
                     GzipMember(Unhex("1f8b08000000000000ff"), b) +
                     GzipMember(Unhex("1f8b08000000000000ff"), "");
  for (size_t cut = 0; cut <= body.size(); cut += 7) {
    Decoded d = Decode(kContentEncodingGzip, body, {cut});
    ASSERT_EQ(d.rc, 0) << cut;
    ASSERT_EQ(d.finish, 0) << cut;
    ASSERT_EQ(d.out, a + b) << cut;
  }
}

TEST(BodyInflaterTest, TrailingGarbageFails) {
  const Bytes data = SampleData(1000, 9);
  const Bytes gz = GzipMember(Unhex("1f8b08000000000000ff"), data);
  Decoded d = Decode(kContentEncodingGzip, gz + "garbage");
  EXPECT_EQ(d.rc, 151);
  d = Decode(kContentEncodingGzip, gz + Unhex("00"));
  EXPECT_EQ(d.rc, 151);
  // Something that starts like a member but is not one.
  d = Decode(kContentEncodingGzip, gz + Unhex("1f8b07"));
  EXPECT_EQ(d.rc, 102);
  d = Decode(kContentEncodingDeflate, ZlibDeflate(data, -15) + "x");
  EXPECT_EQ(d.rc, 151);
  d = Decode(kContentEncodingDeflate, ZlibDeflate(data, 15) + "x");
  EXPECT_EQ(d.rc, 151);
  EXPECT_EQ(d.out, data);
}

// A body cut anywhere before its end is reported by Finish, never taken as complete.
TEST(BodyInflaterTest, TruncatedBodiesFailAtFinish) {
  const Bytes data = SampleData(2000, 10);
  const Bytes gz = GzipMember(FullGzipHeader(), data);
  for (size_t n = 1; n < gz.size(); ++n) {
    Decoded d = Decode(kContentEncodingGzip, gz.substr(0, n));
    ASSERT_EQ(d.rc, 0) << n;
    ASSERT_EQ(d.finish, 151) << n;
  }
  const Bytes zl = ZlibDeflate(data, 15);
  for (size_t n = 1; n < zl.size(); ++n) {
    Decoded d = Decode(kContentEncodingDeflate, zl.substr(0, n));
    ASSERT_EQ(d.rc == 0 ? d.finish : d.rc, 151) << n;
  }
  // An empty body is no error.
  EXPECT_EQ(Decode(kContentEncodingGzip, "").finish, 0);
  EXPECT_EQ(Decode(kContentEncodingDeflate, "").finish, 0);
}

TEST(BodyInflaterTest, DecompressionBombHitsTheLimit) {
  // 64 MiB of zeros in about 64 KiB.
  const Bytes zeros(64u << 20, '\0');
  const Bytes gz = GzipMember(Unhex("1f8b08000000000000ff"), zeros);
  ASSERT_LT(gz.size(), 100000u);
  BodyInflater inflater;
  inflater.set_max_output(1u << 20);
  ASSERT_EQ(inflater.Start(kContentEncodingGzip), 0);
  uint64_t delivered = 0;
  const int rc = inflater.Feed(gz.data(), static_cast<int>(gz.size()), [&](const uint8_t*, int n) {
    delivered += static_cast<uint64_t>(n);
    return 0;
  });
  EXPECT_EQ(rc, 151);
  EXPECT_STREQ(inflater.error_text(), "The decompressed content exceeds the size limit.");
  EXPECT_LE(delivered, 1u << 20);
  // Exactly at the limit is fine.
  Decoded d = Decode(kContentEncodingGzip,
                     GzipMember(Unhex("1f8b08000000000000ff"), Bytes(5000, 'z')), {}, 5000);
  EXPECT_EQ(d.rc, 0);
  EXPECT_EQ(d.out.size(), 5000u);
}

TEST(BodyInflaterTest, OutputFunctionFailureStops) {
  const Bytes gz = GzipMember(Unhex("1f8b08000000000000ff"), SampleData(100000, 12));
  BodyInflater inflater;
  ASSERT_EQ(inflater.Start(kContentEncodingGzip), 0);
  int calls = 0;
  EXPECT_EQ(inflater.Feed(gz.data(), static_cast<int>(gz.size()),
                          [&](const uint8_t*, int) { return ++calls == 1 ? 0 : 7; }),
            7);
  EXPECT_EQ(calls, 2);
}

TEST(BodyInflaterTest, CorruptDeflateData) {
  Decoded d = Decode(kContentEncodingDeflate, Unhex("ffffffffffff"));
  EXPECT_EQ(d.rc, 151);
  BodyInflater inflater;
  EXPECT_EQ(inflater.Feed("x", 1, [](const uint8_t*, int) { return 0; }), 151);  // not started
  EXPECT_EQ(inflater.Start(7), 151);
}

// Flipped bits, cut fields and random garbage: a code or success, never a crash (ASan/UBSan).
TEST(BodyInflaterTest, MutatedBodiesNeverCrash) {
  const Bytes data = SampleData(3000, 13);
  const Bytes bodies[] = {GzipMember(FullGzipHeader(), data), ZlibDeflate(data, 15),
                          ZlibDeflate(data, -15)};
  std::mt19937 rng(99);
  for (int round = 0; round < 3000; ++round) {
    const int which = round % 3;
    Bytes body = bodies[which];
    const int flips = 1 + static_cast<int>(rng() % 4);
    for (int f = 0; f < flips; ++f)
      body[rng() % body.size()] ^= static_cast<char>(1u << (rng() % 8));
    if (rng() % 4 == 0) body.resize(rng() % body.size());
    const int kind = which == 0 ? kContentEncodingGzip : kContentEncodingDeflate;
    Decoded d = Decode(kind, body, {rng() % (body.size() + 1)});
    const int code = d.rc != 0 ? d.rc : d.finish;
    EXPECT_TRUE(code == 0 || code == 102 || code == 151) << code;
  }
  for (int round = 0; round < 500; ++round) {
    const Bytes junk = (round % 2 ? Unhex("1f8b08") : Bytes()) + RandomBytes(rng() % 300, round);
    Decoded d = Decode(round % 3 ? kContentEncodingGzip : kContentEncodingDeflate, junk);
    const int code = d.rc != 0 ? d.rc : d.finish;
    EXPECT_TRUE(code == 0 || code == 102 || code == 151) << code;
  }
}

// Header fields that never end are not collected without bound.
TEST(BodyInflaterTest, EndlessHeaderIsRefused) {
  BodyInflater inflater;
  ASSERT_EQ(inflater.Start(kContentEncodingGzip), 0);
  ByteString out;
  ASSERT_EQ(inflater.Feed(Unhex("1f8b0808000000000003").data(), 10, out), 0);
  const Bytes name(4096, 'n');
  int rc = 0;
  for (int i = 0; i < 100 && rc == 0; ++i) rc = inflater.Feed(name.data(), 4096, out);
  EXPECT_EQ(rc, 102);
}

TEST(BodyInflaterTest, DecodesPythonAndGzipCommandOutput) {
  if (!Python::Available()) {
    TW_REQUIRE_OR_SKIP("/usr/bin/python3 not installed");
  }
  const Bytes data = SampleData(150000, 14);
  int status = -1;
  const Bytes py_gzip = Python::Filter("gzip.compress(data, 9)", data, &status);
  ASSERT_EQ(status, 0);
  const Bytes py_zlib = Python::Filter("zlib.compress(data, 1)", data, &status);
  ASSERT_EQ(status, 0);
  const Bytes py_raw = Python::Filter(
      "(lambda c: c.compress(data) + c.flush())(zlib.compressobj(6, zlib.DEFLATED, -15))", data,
      &status);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(Decode(kContentEncodingGzip, py_gzip, {17, 5000}).out, data);
  EXPECT_EQ(Decode(kContentEncodingDeflate, py_zlib, {1}).out, data);
  EXPECT_EQ(Decode(kContentEncodingDeflate, py_raw, {1}).out, data);

  if (!testsupport::HaveProgram("gzip")) {
    TW_REQUIRE_OR_SKIP("gzip not installed");
  }
  // From a named file, so the header carries FNAME.
  const std::string dir = testsupport::MakeTempDir();
  const std::string path = dir + "/body.txt";
  FILE* f = std::fopen(path.c_str(), "wb");
  std::fwrite(data.data(), 1, data.size(), f);
  std::fclose(f);
  const Bytes cmd_gzip = testsupport::RunCommand("gzip -c -N '" + path + "'", "", &status);
  ASSERT_EQ(status, 0);
  ASSERT_EQ(static_cast<uint8_t>(cmd_gzip[3]) & kGzipFlagName, kGzipFlagName);
  Decoded d = Decode(kContentEncodingGzip, cmd_gzip, {3, 12, 20});
  EXPECT_EQ(d.rc, 0);
  EXPECT_EQ(d.finish, 0);
  EXPECT_EQ(d.out, data);
  // Two members as `cat a.gz b.gz` makes them; gzip itself reads both.
  const Bytes two = cmd_gzip + cmd_gzip;
  EXPECT_EQ(Decode(kContentEncodingGzip, two, {cmd_gzip.size() + 5}).out, data + data);
  EXPECT_EQ(Python::Filter("gzip.decompress(data)", two), data + data);
  std::filesystem::remove_all(dir);
}

// ---- Compression ----

TEST(ContentEncoderTest, EmptyGzipBody) {
  ContentEncoder encoder;
  encoder.set_mtime(0x01020304);
  const uint8_t* out = nullptr;
  int n = 0;
  ASSERT_EQ(encoder.EncodeChunk("", 0, true, &out, &n), 0);
  const Bytes body(reinterpret_cast<const char*>(out), static_cast<size_t>(n));
  EXPECT_EQ(body, Unhex("1f8b08000403020100ff") + Unhex("0300") + Unhex("0000000000000000"));
  EXPECT_TRUE(encoder.finished());
  EXPECT_EQ(encoder.run_state(), kArchiveIdle);
}

TEST(ContentEncoderTest, HeaderTimeIsNow) {
  ContentEncoder encoder;
  const uint8_t* out = nullptr;
  int n = 0;
  // Bracketed with the encoder's own clock: time() reads a coarser one that can lag a tick.
  const auto seconds = [] {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint32_t>(ts.tv_sec);
  };
  const uint32_t before = seconds();
  ASSERT_EQ(encoder.EncodeChunk("x", 1, true, &out, &n), 0);
  const uint32_t after = seconds();
  const uint32_t mtime = LoadLe32(out + 4);
  EXPECT_GE(mtime, before);
  EXPECT_LE(mtime, after);
}

TEST(ContentEncoderTest, ZlibAndRawFraming) {
  const Bytes data = SampleData(20000, 20);
  const Bytes zl = Encode(kEncoderFormatZlib, data);
  ASSERT_GE(zl.size(), 6u);
  EXPECT_EQ(zl.substr(0, 2), Unhex("789c"));
  EXPECT_EQ(ZlibInflate(zl, 15), data);
  EXPECT_EQ(ZlibInflate(Encode(kEncoderFormatRawDeflate, data), -15), data);
  // zlib's own gzip reader checks our header and trailer.
  EXPECT_EQ(ZlibInflate(Encode(kEncoderFormatGzip, data), 31), data);
}

TEST(ContentEncoderTest, RoundTripsAllFormatsLevelsAndSizes) {
  for (size_t n : {0u, 1u, 100u, 16383u, 16384u, 16385u, 300000u}) {
    const Bytes data = n > 1000 ? SampleData(n, static_cast<uint32_t>(n)) : RandomBytes(n, 1);
    for (int level : {0, 1, 4, 9}) {
      const Bytes gz = Encode(kEncoderFormatGzip, data, level);
      Decoded d = Decode(kContentEncodingGzip, gz);
      ASSERT_EQ(d.rc, 0);
      ASSERT_EQ(d.finish, 0);
      ASSERT_EQ(d.out, data) << n << " level " << level;
      EXPECT_EQ(Decode(kContentEncodingDeflate, Encode(kEncoderFormatZlib, data, level)).out, data);
      EXPECT_EQ(Decode(kContentEncodingDeflate, Encode(kEncoderFormatRawDeflate, data, level)).out,
                data);
    }
  }
}

// Pieces of 16384 and a final empty finishing call, as the HTTP client feeds them: the outputs
// put together are one valid body, and the counts agree with it.
TEST(ContentEncoderTest, ChunkedFeedingMakesOneBody) {
  const Bytes data = SampleData(100000, 21) + RandomBytes(40000, 22);
  ContentEncoder encoder;
  Bytes body;
  for (size_t at = 0; at < data.size(); at += kEncoderBlockSize) {
    const size_t take = std::min<size_t>(kEncoderBlockSize, data.size() - at);
    const uint8_t* out = nullptr;
    int n = 0;
    ASSERT_EQ(encoder.EncodeChunk(data.data() + at, static_cast<int>(take), false, &out, &n), 0);
    body.append(reinterpret_cast<const char*>(out), static_cast<size_t>(n));
    EXPECT_TRUE(encoder.busy());
  }
  const uint8_t* out = nullptr;
  int n = 0;
  ASSERT_EQ(encoder.EncodeChunk(nullptr, 0, true, &out, &n), 0);
  body.append(reinterpret_cast<const char*>(out), static_cast<size_t>(n));
  EXPECT_FALSE(encoder.busy());
  EXPECT_EQ(encoder.total_out(), body.size());
  EXPECT_EQ(encoder.total_in(), data.size());
  EXPECT_EQ(Decode(kContentEncodingGzip, body).out, data);
  // Empty pieces in the middle change nothing and are no error.
  ASSERT_EQ(encoder.EncodeChunk("abc", 3, false, &out, &n), 0);
  ASSERT_EQ(encoder.EncodeChunk("", 0, false, &out, &n), 0);
  ASSERT_EQ(encoder.EncodeChunk(nullptr, 0, false, &out, &n), 0);
  ASSERT_EQ(encoder.EncodeChunk("def", 3, true, &out, &n), 0);
}

// A finished stream is not continued: the next call starts a complete new body.
TEST(ContentEncoderTest, ReuseStartsANewBody) {
  ContentEncoder encoder;
  const uint8_t* out = nullptr;
  int n = 0;
  ASSERT_EQ(encoder.EncodeChunk("first", 5, true, &out, &n), 0);
  ASSERT_EQ(encoder.EncodeChunk("second", 6, true, &out, &n), 0);
  const Bytes body(reinterpret_cast<const char*>(out), static_cast<size_t>(n));
  Decoded d = Decode(kContentEncodingGzip, body);
  EXPECT_EQ(d.rc, 0);
  EXPECT_EQ(d.out, "second");
}

class VectorStream : public CallerStream {
 public:
  explicit VectorStream(Bytes data, int max_piece = 1000)
      : data_(std::move(data)), max_(max_piece) {}
  int Read(void* buffer, int n) override {
    if (fail_) return -1;
    const int take = static_cast<int>(
        std::min<size_t>({static_cast<size_t>(n), static_cast<size_t>(max_), data_.size() - at_}));
    std::memcpy(buffer, data_.data() + at_, static_cast<size_t>(take));
    at_ += static_cast<size_t>(take);
    return take;
  }
  int Write(const void*, int) override { return -1; }
  void Close() override { closed_ = true; }
  uint64_t Size() override { return data_.size(); }
  int64_t Seek(int64_t, int) override { return -1; }
  bool closed_ = false;
  bool fail_ = false;

 private:
  Bytes data_;
  size_t at_ = 0;
  int max_;
};

// The whole body (post data, then a file or a stream) is one stream whose size is known before
// anything is sent.
TEST(ContentEncoderTest, WholeBodyFromBytesAndStream) {
  const Bytes head = SampleData(5000, 23);
  const Bytes tail = SampleData(70000, 24);
  VectorStream stream(tail, 777);
  FileOrStream source;
  source.SetStream(&stream, false);
  ContentEncoder encoder;
  ASSERT_EQ(encoder.ConfigText("CloseStreamAfterCompress=False", nullptr), 0);
  ByteString out;
  ASSERT_EQ(encoder.EncodeBody(head.data(), static_cast<int>(head.size()), &source, out), 0);
  EXPECT_EQ(encoder.total_out(), static_cast<uint64_t>(out.length()));
  EXPECT_EQ(Decode(kContentEncodingGzip, Str(out)).out, head + tail);
  EXPECT_FALSE(stream.closed_);
  EXPECT_FALSE(encoder.busy());
}

TEST(ContentEncoderTest, WholeBodyFromFileToTarget) {
  const std::string dir = testsupport::MakeTempDir();
  const std::string path = dir + "/upload.bin";
  const Bytes content = RandomBytes(50000, 25) + SampleData(50000, 26);
  FILE* f = std::fopen(path.c_str(), "wb");
  std::fwrite(content.data(), 1, content.size(), f);
  std::fclose(f);
  auto file = std::make_unique<FileHandle>();
  ASSERT_EQ(file->OpenReadText(path.c_str(), 0, 0), 0);
  FileOrStream source;
  source.SetFile(std::move(file));
  ContentEncoder encoder;
  Bytes sent;
  uint64_t size = 0;
  ASSERT_EQ(encoder.EncodeBodyTo(
                nullptr, 0, &source,
                [&](const uint8_t* p, int n) {
                  sent.append(reinterpret_cast<const char*>(p), static_cast<size_t>(n));
                  return 0;
                },
                &size),
            0);
  EXPECT_EQ(size, sent.size());
  EXPECT_EQ(Decode(kContentEncodingGzip, sent).out, content);
  EXPECT_FALSE(source.IsOpen());  // CloseStreamAfterCompress is on by default
  std::filesystem::remove_all(dir);
}

TEST(ContentEncoderTest, WholeBodyReadFailure) {
  VectorStream stream("abc");
  stream.fail_ = true;
  FileOrStream source;
  source.SetStream(&stream, false);
  ContentEncoder encoder;
  ByteString out;
  EXPECT_EQ(encoder.EncodeBody("x", 1, &source, out), 6);
  EXPECT_FALSE(encoder.busy());
  // The encoder is usable afterwards.
  EXPECT_EQ(encoder.EncodeBody("x", 1, nullptr, out), 0);
}

class RecordingSink : public EventSink {
 public:
  void SetCodePage(int) override {}
  int Fire(int event, std::span<void* const> args) override {
    events.push_back(event);
    if (event == kEncoderEventData) {
      data.append(static_cast<const char*>(args[0]),
                  static_cast<size_t>(*static_cast<int*>(args[1])));
    }
    if (event == kEncoderEventProgress) last_taken = *static_cast<int64_t*>(args[0]);
    if (event == kEncoderEventError) last_error = *static_cast<int*>(args[0]);
    if (on_event) on_event(event);
    return 0;
  }
  std::vector<int> events;
  Bytes data;
  int64_t last_taken = 0;
  int last_error = 0;
  std::function<void(int)> on_event;
};

TEST(ContentEncoderTest, EventsAndBusySetters) {
  ContentEncoder encoder;
  RecordingSink sink;
  encoder.set_event_sink(&sink);
  ASSERT_EQ(encoder.ConfigText("WriteToProgressEvent=1", nullptr), 0);
  int busy_rc = 0;
  sink.on_event = [&](int event) {
    if (event == kEncoderEventData && busy_rc == 0) {
      busy_rc = encoder.ConfigText("DeleteOnAbort=0", nullptr);
    }
  };
  const Bytes data = SampleData(60000, 27);
  VectorStream stream(data);
  FileOrStream source;
  source.SetStream(&stream, false);
  ByteString out;
  ASSERT_EQ(encoder.EncodeBody(nullptr, 0, &source, out), 0);
  EXPECT_EQ(busy_rc, kErrArchiveBusy);
  EXPECT_EQ(Str(encoder.error_text()), "Component is busy.");
  EXPECT_EQ(sink.data, Str(out));
  EXPECT_EQ(sink.last_taken, static_cast<int64_t>(data.size()));
  // Idle again: the setter works.
  EXPECT_EQ(encoder.ConfigText("DeleteOnAbort=0", nullptr), 0);
  // Between the pieces of a chunked stream the component is busy too.
  const uint8_t* p = nullptr;
  int n = 0;
  ASSERT_EQ(encoder.EncodeChunk("abc", 3, false, &p, &n), 0);
  EXPECT_EQ(encoder.SetFormat(kEncoderFormatZlib), kErrArchiveBusy);
  EXPECT_EQ(encoder.EncodeBody("x", 1, nullptr, out), kErrArchiveBusy);
  ASSERT_EQ(encoder.EncodeChunk(nullptr, 0, true, &p, &n), 0);
  EXPECT_EQ(encoder.SetFormat(kEncoderFormatZlib), 0);
}

TEST(ContentEncoderTest, AbortFromAnEventStops) {
  ContentEncoder encoder;
  RecordingSink sink;
  encoder.set_event_sink(&sink);
  sink.on_event = [&](int event) {
    if (event == kEncoderEventProgress) encoder.SetAbort(true);
  };
  VectorStream stream(SampleData(100000, 28));
  FileOrStream source;
  source.SetStream(&stream, false);
  ByteString out;
  EXPECT_EQ(encoder.EncodeBody(nullptr, 0, &source, out), kErrInterrupted);
  EXPECT_EQ(sink.last_error, kErrInterrupted);
  EXPECT_FALSE(encoder.busy());
}

TEST(ContentEncoderTest, DeflaterInitFailure) {
  ContentEncoder encoder;
  encoder.set_level(42);
  const uint8_t* p = nullptr;
  int n = 0;
  EXPECT_EQ(encoder.EncodeChunk("abc", 3, true, &p, &n), kErrDeflaterInit);
  EXPECT_EQ(Str(encoder.error_text()), "Deflater initialization error.");
  EXPECT_FALSE(encoder.busy());
  encoder.set_level(4);
  EXPECT_EQ(encoder.EncodeChunk("abc", 3, true, &p, &n), 0);
  EXPECT_EQ(encoder.SetFormat(5), kErrArchiveNotImplemented);
}

TEST(ContentEncoderTest, NameAndCommentFields) {
  ContentEncoder encoder;
  ASSERT_EQ(encoder.SetGzipName("report.xml"), 0);
  ASSERT_EQ(encoder.SetGzipComment("nightly"), 0);
  ByteString out;
  ASSERT_EQ(encoder.EncodeBody("<a/>", 4, nullptr, out), 0);
  EXPECT_EQ(out.ByteAt(3), kGzipFlagName | kGzipFlagComment);
  EXPECT_EQ(Str(out).substr(10, 19), Bytes("report.xml\0nightly\0", 19));
  EXPECT_EQ(Decode(kContentEncodingGzip, Str(out)).out, "<a/>");
}

// Our output read by python's gzip and zlib modules and by the gzip command.
TEST(ContentEncoderTest, OthersDecodeOurOutput) {
  if (!Python::Available()) {
    TW_REQUIRE_OR_SKIP("/usr/bin/python3 not installed");
  }
  const Bytes data = SampleData(120000, 29) + RandomBytes(10000, 30);
  EXPECT_EQ(Python::Filter("gzip.decompress(data)", Encode(kEncoderFormatGzip, data)), data);
  EXPECT_EQ(Python::Filter("zlib.decompress(data)", Encode(kEncoderFormatZlib, data, 9)), data);
  EXPECT_EQ(Python::Filter("zlib.decompress(data, -15)", Encode(kEncoderFormatRawDeflate, data, 1)),
            data);
  if (!testsupport::HaveProgram("gzip")) {
    TW_REQUIRE_OR_SKIP("gzip not installed");
  }
  int status = -1;
  // -t checks the CRC and length; -dc gives the data back.
  testsupport::RunCommand("gzip -t", Encode(kEncoderFormatGzip, data), &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(testsupport::RunCommand("gzip -dc", Encode(kEncoderFormatGzip, data), &status), data);
  EXPECT_EQ(status, 0);
  ContentEncoder named;
  ASSERT_EQ(named.SetGzipName("x.txt"), 0);
  ByteString out;
  ASSERT_EQ(named.EncodeBody(data.data(), static_cast<int>(data.size()), nullptr, out), 0);
  EXPECT_EQ(testsupport::RunCommand("gzip -dc", Str(out), &status), data);
  EXPECT_EQ(status, 0);
}

// Every allocation along the way failing in turn: a clean code or success, never a leak or a
// crash, and the component usable afterwards.
TEST(ContentEncoderTest, AllocationFailures) {
  const Bytes data = SampleData(40000, 31);
  for (long fail = 1; fail < 40; ++fail) {
    ContentEncoder encoder;
    ByteString out;
    win::HeapFailAfter(fail);
    const int rc = encoder.EncodeBody(data.data(), static_cast<int>(data.size()), nullptr, out);
    win::HeapFailAfter(0);
    if (rc == 0) {
      EXPECT_EQ(Decode(kContentEncodingGzip, Str(out)).out, data);
    } else {
      EXPECT_TRUE(rc == 200 || rc == kErrDeflaterInit || rc == kErrArchiveFooter || rc < 0) << rc;
      EXPECT_FALSE(encoder.busy());
      ByteString again;
      EXPECT_EQ(encoder.EncodeBody("ok", 2, nullptr, again), 0);
    }
  }
  const Bytes gz = Encode(kEncoderFormatGzip, data);
  for (long fail = 1; fail < 20; ++fail) {
    BodyInflater inflater;
    ByteString out;
    win::HeapFailAfter(fail);
    int rc = inflater.Start(kContentEncodingGzip);
    if (rc == 0) rc = inflater.Feed(gz.data(), static_cast<int>(gz.size()), out);
    win::HeapFailAfter(0);
    EXPECT_TRUE(rc == 0 || rc == 200 || rc == 151) << rc;
    if (rc == 0) {
      EXPECT_EQ(Str(out), data);
    }
  }
}

// ---- The archive component ----

class PlainArchive : public ArchiveComponent {
 public:
  int Abort() override { return 0; }
  void MakeBusy() { set_run_state(kArchiveExtracting); }
};

TEST(ArchiveComponentTest, SettingsReadBackAndRefuseWhileBusy) {
  PlainArchive archive;
  archive.Reset();
  struct Case {
    const char* name;
    const char* initial;
    const char* write;
    const char* after;
  };
  const Case cases[] = {
      {"OverwriteReadOnlyFiles", "0", "true", "1"},
      {"WriteToProgressEvent", "0", "1", "1"},
      {"ExcludedAttributes", "", "hs", "hs"},
      {"DeleteOnAbort", "1", "0", "0"},
      {"PreserveModifiedTime", "1", "no", "0"},
      {"WriteToFile", "1", "0", "0"},
      {"WriteToProperties", "0", "yes", "1"},
      {"fileHashAlgorithm", "", "SHA256", "SHA256"},
      {"CheckForFileLocks", "0", "1", "1"},
      {"CloseStreamAfterCompress", "True", "false", "False"},
      {"CloseStreamAfterExtract", "True", "0", "False"},
  };
  for (const Case& c : cases) {
    const char* answer = nullptr;
    ASSERT_EQ(archive.ConfigText(c.name, &answer), 0) << c.name;
    EXPECT_STREQ(answer, c.initial) << c.name;
    ASSERT_EQ(archive.ConfigText((std::string(c.name) + "=" + c.write).c_str(), &answer), 0);
    EXPECT_STREQ(answer, "");
    ASSERT_EQ(archive.ConfigText(c.name, &answer), 0);
    EXPECT_STREQ(answer, c.after) << c.name;
  }
  archive.MakeBusy();
  for (const Case& c : cases) {
    EXPECT_EQ(archive.ConfigText((std::string(c.name) + "=" + c.initial).c_str(), nullptr),
              kErrArchiveBusy)
        << c.name;
    const char* answer = nullptr;
    ASSERT_EQ(archive.ConfigText(c.name, &answer), 0);
    EXPECT_STREQ(answer, c.after) << c.name;
  }
  EXPECT_EQ(Str(archive.error_text()), "Component is busy.");
  EXPECT_EQ(archive.SetArchiveFile("a.zip"), kErrArchiveBusy);
  // Reset aborts and restores the defaults.
  archive.Reset();
  EXPECT_FALSE(archive.busy());
  for (const Case& c : cases) {
    const char* answer = nullptr;
    ASSERT_EQ(archive.ConfigText(c.name, &answer), 0);
    EXPECT_STREQ(answer, c.initial) << c.name;
  }
  EXPECT_EQ(archive.ConfigText("CodePage=65001", nullptr), 0);
  EXPECT_EQ(archive.ConfigText("NoSuchSetting", nullptr), kErrUnknownSetting);
  EXPECT_EQ(archive.AppendToArchive(), kErrArchiveNotImplemented);
  EXPECT_EQ(Str(archive.error_text()), "This functionality is not yet implemented");
  EXPECT_EQ(archive.DeleteFromArchive(), kErrArchiveNotImplemented);
}

TEST(ArchiveComponentTest, DoEventsPumpsOneMessage) {
  PlainArchive archive;
  win::MSG msg{};
  while (win::PeekMessageA(&msg, nullptr, 0, 0, win::PM_REMOVE) && msg.message != win::WM_QUIT) {
  }
  EXPECT_EQ(archive.DoEvents(), 1);  // nothing pending
  ASSERT_TRUE(win::PostMessageA(nullptr, win::WM_USER + 5, 0, 0));
  EXPECT_EQ(archive.DoEvents(), 1);
  EXPECT_FALSE(win::PeekMessageA(&msg, nullptr, 0, 0, win::PM_NOREMOVE));
  ASSERT_TRUE(win::PostMessageA(nullptr, win::WM_CLOSE, 0, 0));
  EXPECT_EQ(archive.DoEvents(), 0);
  // A quit ends the pump and stays visible to the thread's own loop.
  win::PostQuitMessage(3);
  EXPECT_EQ(archive.DoEvents(), 0);
  ASSERT_TRUE(win::PeekMessageA(&msg, nullptr, 0, 0, win::PM_REMOVE));
  EXPECT_EQ(msg.message, win::WM_QUIT);
  EXPECT_EQ(msg.wParam, 3u);
}

}  // namespace
}  // namespace tw
