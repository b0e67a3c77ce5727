#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "foundation/byte_queue.h"
#include "foundation/byte_string_pair.h"
#include "foundation/pair_table.h"
#include "foundation/ptr_array.h"
#include "foundation/string_list.h"
#include "platform/heap.h"
#include "tls/session_cache.h"

namespace tw {
namespace {

// A record that counts its live instances, so leaks and double destruction show up at once.
struct Probe {
  static int live;
  int value = -7;
  Probe() { ++live; }
  ~Probe() { --live; }
  Probe(const Probe&) = delete;
  int CopyFrom(const Probe& other) {
    value = other.value;
    return 0;
  }
};
int Probe::live = 0;

using ProbeArray = PtrArray<Probe>;

// The model: one int per slot, -1 for a slot whose record was never created.
void CheckAgainstModel(const ProbeArray& a, const std::vector<int>& m, int cap) {
  ASSERT_EQ(a.Count(), static_cast<int>(m.size()));
  ASSERT_EQ(a.Capacity(), cap);
  int created = 0;
  for (size_t i = 0; i < m.size(); ++i) {
    const Probe* p = a.At(static_cast<int>(i));
    if (m[i] < 0) {
      ASSERT_EQ(p, nullptr) << i;
    } else {
      ASSERT_NE(p, nullptr) << i;
      ASSERT_EQ(p->value, m[i]) << i;
      ++created;
    }
  }
  ASSERT_EQ(a.At(-1), nullptr);
  ASSERT_EQ(a.At(a.Count()), nullptr);
  ASSERT_EQ(Probe::live, created);
}

int CapacityAfterSetCount(int n, int cap) {
  if (n > 20 && n > cap) return 2 * n;
  if (n <= 20) return 20;
  return cap;
}

TEST(PtrArrayTest, RandomOperationsMatchVectorModel) {
  std::mt19937 rng(20240611);
  auto rnd = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  {
    ProbeArray a;
    std::vector<int> m;
    int cap = 20;
    int next_value = 0;
    for (int step = 0; step < 6000; ++step) {
      const int count = static_cast<int>(m.size());
      const int op = rnd(0, 8);
      switch (op) {
        case 0: {
          int n = rnd(-2, 70);
          ASSERT_EQ(a.SetCount(n), 0);
          n = n < 0 ? 0 : n;
          m.resize(n, -1);
          cap = CapacityAfterSetCount(n, cap);
          break;
        }
        case 1:
        case 2: {
          int i = rnd(-1, count + 4);
          Probe* p = a.GetOrCreate(i);
          if (i < 0) {
            ASSERT_EQ(p, nullptr);
            break;
          }
          ASSERT_NE(p, nullptr);
          if (i >= count) {
            m.resize(i + 1, -1);
            cap = CapacityAfterSetCount(i + 1, cap);
          }
          if (m[i] < 0) {
            ASSERT_EQ(p->value, -7);
          }
          p->value = next_value++;
          m[i] = p->value;
          break;
        }
        case 3: {
          int i = rnd(-1, count);
          a.RemoveAt(i);
          if (i >= 0 && i < count) m.erase(m.begin() + i);
          break;
        }
        case 4:
        case 5: {
          int i = rnd(-1, count + 3);
          Probe src;
          src.value = next_value++;
          int rc = op == 4 ? a.InsertCopy(i, src) : a.InsertClone(i, src);
          if (i < 0) {
            ASSERT_EQ(rc, -1);
            break;
          }
          ASSERT_EQ(rc, 0);
          cap = CapacityAfterSetCount(count + 1, cap);
          if (i >= count) {
            m.push_back(src.value);
          } else {
            m.insert(m.begin() + i, src.value);
          }
          break;
        }
        case 6: {
          // A copy of one of our own records, inserted into the same array.
          if (count == 0 || !a.At(0)) break;
          ASSERT_EQ(a.InsertCopy(0, *a.At(0)), 0);
          cap = CapacityAfterSetCount(count + 1, cap);
          m.insert(m.begin(), m[0]);
          break;
        }
        case 7: {
          if (rnd(0, 10) != 0) break;
          a.Clear();
          m.clear();
          cap = 20;
          break;
        }
        case 8: {
          ProbeArray other;
          ASSERT_EQ(other.CopyFrom(a), 0);
          int other_cap = count > 20 ? 2 * count : 20;
          ASSERT_EQ(other.Count(), count);
          ASSERT_EQ(other.Capacity(), other_cap);
          ASSERT_EQ(a.CopyFrom(other), 0);
          cap = other_cap;
          break;
        }
      }
      // The array alone is alive outside the operation.
      CheckAgainstModel(a, m, cap);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
  EXPECT_EQ(Probe::live, 0);
}

TEST(PtrArrayTest, SlotArrayMovesOutAndBackIn) {
  {
    ProbeArray a;
    ASSERT_EQ(a.SetCount(21), 0);
    EXPECT_EQ(a.Capacity(), 42);
    for (int i = 0; i < 21; ++i) a.GetOrCreate(i)->value = i;
    EXPECT_EQ(Probe::live, 21);
    ASSERT_EQ(a.SetCount(5), 0);
    EXPECT_EQ(a.Capacity(), 20);
    EXPECT_EQ(Probe::live, 5);
    EXPECT_EQ(a.At(4)->value, 4);
    a.RemoveAt(5);  // the count: nothing
    EXPECT_EQ(a.Count(), 5);

    Probe e;
    e.value = 100;
    ASSERT_EQ(a.SetCount(3), 0);
    ASSERT_EQ(a.InsertCopy(0, e), 0);
    EXPECT_EQ(a.At(0)->value, 100);
    EXPECT_EQ(a.At(1)->value, 0);
    EXPECT_EQ(a.At(3)->value, 2);
    e.value = 101;
    ASSERT_EQ(a.InsertCopy(99, e), 0);
    EXPECT_EQ(a.Count(), 5);
    EXPECT_EQ(a.At(4)->value, 101);
    EXPECT_EQ(a.InsertCopy(-1, e), -1);
    EXPECT_EQ(a.GetOrCreate(-1), nullptr);
  }
  EXPECT_EQ(Probe::live, 0);
}

TEST(PtrArrayTest, GetOrCreatePastTheCountGrowsTheArray) {
  ProbeArray a;
  // Inside the inline slots and far beyond the capacity: ASan would catch a stray slot write.
  ASSERT_NE(a.GetOrCreate(7), nullptr);
  EXPECT_EQ(a.Count(), 8);
  ASSERT_NE(a.GetOrCreate(300), nullptr);
  EXPECT_EQ(a.Count(), 301);
  EXPECT_EQ(a.Capacity(), 602);
  EXPECT_EQ(Probe::live, 2);
  a.Clear();
  EXPECT_EQ(Probe::live, 0);
}

// Makes the k-th allocation of an operation fail for every k until it runs clean.
template <typename Setup, typename Op, typename Check>
void ForEachAllocationFailure(const char* what, Setup setup, Op op, Check unchanged) {
  for (long k = 1; k < 200; ++k) {
    ProbeArray a;
    setup(a);
    long before = win::HeapAllocCount();
    win::HeapFailAfter(k);
    int rc = op(a);
    win::HeapFailAfter(0);
    if (win::HeapAllocCount() - before < k) {
      ASSERT_EQ(rc, 0) << what;
      return;
    }
    ASSERT_EQ(rc, kErrOutOfMemory) << what << " failing allocation " << k;
    unchanged(a);
    if (::testing::Test::HasFatalFailure()) return;
  }
  FAIL() << what << " never ran clean";
}

TEST(PtrArrayTest, OutOfMemoryLeavesTheArrayAsItWas) {
  auto fill = [](int n) {
    return [n](ProbeArray& a) {
      ASSERT_EQ(a.SetCount(n), 0);
      for (int i = 0; i < n; ++i) a.GetOrCreate(i)->value = i * 3;
    };
  };
  auto same = [](int n, int cap) {
    return [n, cap](ProbeArray& a) {
      ASSERT_EQ(a.Count(), n);
      ASSERT_EQ(a.Capacity(), cap);
      for (int i = 0; i < n; ++i) ASSERT_EQ(a.At(i)->value, i * 3);
      ASSERT_EQ(Probe::live, n);
    };
  };
  for (int n : {20, 30, 42}) {
    const int cap = n > 20 ? 2 * n : 20;
    ForEachAllocationFailure("SetCount", fill(n), [n](ProbeArray& a) { return a.SetCount(n * 3); },
                             same(n, cap));
    ForEachAllocationFailure(
        "InsertCopy", fill(n),
        [](ProbeArray& a) {
          Probe p;
          p.value = 5;
          return a.InsertCopy(1, p);
        },
        same(n, cap));
    ForEachAllocationFailure(
        "CopyFrom", fill(n),
        [](ProbeArray& a) {
          ProbeArray other;
          if (other.SetCount(25) != 0) return kErrOutOfMemory;
          for (int i = 0; i < 25; ++i) {
            if (!other.GetOrCreate(i)) return kErrOutOfMemory;
          }
          return a.CopyFrom(other);
        },
        same(n, cap));
  }
  ProbeArray a;
  win::HeapFailAfter(1);
  EXPECT_EQ(a.GetOrCreate(0), nullptr);
  win::HeapFailAfter(0);
  EXPECT_EQ(Probe::live, 0);
}

TEST(ByteStringPairTest, CopiesKeepEmbeddedNuls) {
  ByteStringPair p;
  p.first.Set("na\0me", 5);
  p.second.Set("v\0a\0l", 5);
  ByteStringPair* c = p.Clone();
  ASSERT_NE(c, nullptr);
  EXPECT_TRUE(c->first.Equals(p.first));
  EXPECT_TRUE(c->second.Equals(p.second));
  DeleteRecord(c);

  ByteStringPairArray list;
  ASSERT_EQ(list.Add("x-ms-version", "2019-02-02"), 0);
  ASSERT_EQ(list.InsertCopy(0, p), 0);
  ASSERT_EQ(list.InsertClone(5, p), 0);
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.PairAt(0)->first.length(), 5);
  EXPECT_TRUE(list.PairAt(2)->second.Equals(p.second));
  EXPECT_STREQ(list.PairAt(1)->first.c_str(), "x-ms-version");
  list.RemoveNameValueAt(0);
  EXPECT_STREQ(list.PairAt(0)->second.c_str(), "2019-02-02");
  ByteStringPairArray copy;
  ASSERT_EQ(copy.CopyFrom(list), 0);
  list.ClearNameValueList();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.Capacity(), 20);
  EXPECT_EQ(copy.Count(), 2);
  EXPECT_TRUE(copy.PairAt(1)->first.Equals(p.first));
}

// The packed form the list must hold for the model's entries.
std::string Pack(const std::vector<std::string>& m) {
  std::string out;
  for (const std::string& e : m) {
    out.push_back(static_cast<char>(e.size() >> 16));
    out.push_back(static_cast<char>(e.size() >> 8));
    out.push_back(static_cast<char>(e.size()));
    out += e;
    out.push_back('\0');
  }
  return out;
}

void CheckList(const StringList& l, const std::vector<std::string>& m) {
  ASSERT_EQ(l.Count(), static_cast<int>(m.size()));
  ASSERT_EQ(std::string(l.packed().data(), l.packed().length()), Pack(m));
  for (size_t i = 0; i < m.size(); ++i) {
    ASSERT_EQ(l.GetLength(static_cast<int>(i)), static_cast<int>(m[i].size()));
    ASSERT_EQ(std::string(l.Get(static_cast<int>(i)), m[i].size()), m[i]);
    ASSERT_EQ(l.Get(static_cast<int>(i))[m[i].size()], 0);
  }
  ASSERT_STREQ(l.Get(-1), "");
  ASSERT_STREQ(l.Get(l.Count()), "");
  ASSERT_EQ(l.GetLength(l.Count()), 0);
}

TEST(StringListTest, RandomOperationsMatchVectorModel) {
  std::mt19937 rng(77);
  auto rnd = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  auto bytes = [&](int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s.push_back(rnd(0, 4) == 0 ? '\0' : static_cast<char>('a' + rnd(0, 2)));
    return s;
  };
  StringList l;
  std::vector<std::string> m;
  for (int step = 0; step < 5000; ++step) {
    const int count = static_cast<int>(m.size());
    switch (rnd(0, 9)) {
      case 0:
      case 1: {
        std::string b = bytes(rnd(0, rnd(0, 1) ? 8 : 200));
        ASSERT_EQ(l.Add(b.data(), static_cast<int>(b.size())), 0);
        m.push_back(b);
        break;
      }
      case 2: {
        int v = rnd(-100000, 100000);
        ASSERT_EQ(l.AddInt(v), 0);
        m.push_back(std::to_string(v));
        break;
      }
      case 3: {
        int i = rnd(-1, count);
        std::string b = bytes(rnd(0, 40));
        int rc = l.SetAt(i, b.data(), static_cast<int>(b.size()));
        if (i < 0 || i >= count) {
          ASSERT_EQ(rc, kErrIndexOutOfRange);
        } else {
          ASSERT_EQ(rc, 0);
          m[i] = b;
        }
        break;
      }
      case 4: {
        // An entry copied from another entry of the same list.
        if (count == 0) break;
        int from = rnd(0, count - 1), to = rnd(0, count - 1);
        ASSERT_EQ(l.SetAt(to, l.Get(from), l.GetLength(from)), 0);
        m[to] = m[from];
        ASSERT_EQ(l.Add(l.Get(from), l.GetLength(from)), 0);
        m.push_back(m[from]);
        break;
      }
      case 5: {
        const char* texts[] = {"", "x", "tail"};
        const char* t = texts[rnd(0, 2)];
        ASSERT_EQ(l.AppendToLast(t), 0);
        if (m.empty()) {
          m.push_back(t);
        } else {
          m.back() += t;
        }
        break;
      }
      case 6: {
        int n = rnd(-1, count + 3);
        ASSERT_EQ(l.SetCount(n), 0);
        if (n >= 0) m.resize(n);
        break;
      }
      case 7:
      case 8: {
        int i = rnd(-1, count);
        int rc = l.RemoveAt(i);
        if (i < 0 || i >= count) {
          ASSERT_EQ(rc, kErrIndexOutOfRange);
        } else {
          ASSERT_EQ(rc, 0);
          m.erase(m.begin() + i);
        }
        break;
      }
      case 9: {
        const char* texts[] = {"", "a", "ab", "tail"};
        const char* t = texts[rnd(0, 3)];
        int start = rnd(-1, count);
        int want = -1;
        for (int i = start < 0 ? 0 : start; i < count; ++i) {
          if (m[i] == t) {
            want = i;
            break;
          }
        }
        ASSERT_EQ(l.Find(t, start), want);
        break;
      }
    }
    CheckList(l, m);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

TEST(StringListTest, LimitsAndNumbers) {
  StringList l;
  std::string huge(0x1000000, 'h');
  EXPECT_EQ(l.Add(huge.data(), 0x1000000), kErrOutOfMemory);
  ASSERT_EQ(l.Add(huge.data(), 0xFFFFFF), 0);
  EXPECT_EQ(l.GetLength(0), 0xFFFFFF);
  EXPECT_EQ(l.AppendToLast("x"), kErrOutOfMemory);  // would pass the 3-byte length
  EXPECT_EQ(l.SetAt(0, huge.data(), 0x1000000), kErrOutOfMemory);
  EXPECT_EQ(l.SetAt(1, "a", 1), kErrIndexOutOfRange);
  l.Clear();
  ASSERT_EQ(l.AddInt64(-9000000000LL), 0);
  ASSERT_EQ(l.AddText(nullptr), 0);
  ASSERT_EQ(l.SetAtInt(1, 42), 0);
  ASSERT_EQ(l.SetAtText(0, "t"), 0);
  CheckList(l, {"t", "42"});
  l.SetAtText(0, nullptr);
  ASSERT_EQ(l.AddInt64(-9000000000LL), 0);
  CheckList(l, {"", "42", "-9000000000"});
}

TEST(StringListTest, SplitDropsBlanksAndEmptyPieces) {
  StringList l;
  ASSERT_EQ(SplitToList(" a , ,b ", ',', &l), 0);
  CheckList(l, {"a", "b"});
  StringList m;
  ASSERT_EQ(SplitToList("one;two words ;;  three", ';', &m), 0);
  CheckList(m, {"one", "two words", "three"});
  StringList n;
  ASSERT_EQ(SplitToList("", ',', &n), 0);
  EXPECT_EQ(n.Count(), 0);
}

TEST(StringListTest, OutOfMemoryLeavesTheListAsItWas) {
  const std::vector<std::string> initial = {"first", std::string(150, 'p'), "x"};
  const std::string big(300, 'b');
  using Op = int (*)(StringList&, const std::string&);
  const std::pair<const char*, Op> ops[] = {
      {"Add", [](StringList& l, const std::string& b) { return l.Add(b.data(), 300); }},
      {"SetAt", [](StringList& l, const std::string& b) { return l.SetAt(0, b.data(), 300); }},
      {"SetAtSelf", [](StringList& l, const std::string&) {
         return l.SetAt(2, l.Get(1), l.GetLength(1));
       }},
      {"AppendToLast", [](StringList& l, const std::string& b) { return l.AppendToLast(b.c_str()); }},
      {"SetCount", [](StringList& l, const std::string&) { return l.SetCount(100); }},
  };
  for (const auto& [what, op] : ops) {
    bool clean = false;
    for (long k = 1; k < 20 && !clean; ++k) {
      StringList l;
      for (const std::string& e : initial) ASSERT_EQ(l.Add(e.data(), static_cast<int>(e.size())), 0);
      long before = win::HeapAllocCount();
      win::HeapFailAfter(k);
      int rc = op(l, big);
      win::HeapFailAfter(0);
      if (win::HeapAllocCount() - before < k) {
        ASSERT_EQ(rc, 0) << what;
        clean = true;
        break;
      }
      ASSERT_EQ(rc, kErrOutOfMemory) << what << " failing allocation " << k;
      CheckList(l, initial);
    }
    EXPECT_TRUE(clean) << what;
  }
}

TEST(PairTableTest, StringsSurviveAClearForReuse) {
  PairTable256 t;
  for (int i = 0; i < 256; ++i) ASSERT_EQ(t.Add("n", 1, "v", 1), 0);
  EXPECT_EQ(t.Add("n", 1, "v", 1), kErrOutOfMemory);  // one past the limit
  const ByteString* kept = t.FirstAt(3);
  t.Clear(false);
  EXPECT_EQ(t.Count(), 0u);
  EXPECT_EQ(t.FirstAt(3), kept);
  EXPECT_EQ(kept->length(), 0);
  ASSERT_EQ(t.Add("name", 4, "value", 5), 0);
  t.Clear(true);
  EXPECT_EQ(t.FirstAt(0), nullptr);
  EXPECT_NE(t.FirstAt(3), nullptr);  // past the count: freed by the destructor
  EXPECT_EQ(t.First(256), nullptr);
  EXPECT_EQ(t.Second(-1), nullptr);
}

TEST(PairTableTest, SkipRecordsFollowsTheLengthWords) {
  EXPECT_EQ(AlignUp4(0), 0u);
  EXPECT_EQ(AlignUp4(1), 4u);
  EXPECT_EQ(AlignUp4(8), 8u);
  uint32_t buf[8] = {1, 12, 0, 2, 8, 3, 16, 0};
  const uint8_t* base = reinterpret_cast<const uint8_t*>(buf);
  EXPECT_EQ(SkipRecords(base, 0), base);
  EXPECT_EQ(SkipRecords(base, 1), base + 12);
  EXPECT_EQ(SkipRecords(base, 2), base + 20);
}

TEST(SessionCacheTest, FindAndEvict) {
  SessionCache cache;
  auto add = [&](const char* id, const char* secret, int64_t stamp) {
    SessionCacheEntry e;
    e.session_id.SetText(id);
    e.master_secret.SetText(secret);
    e.time_stamp = stamp;
    ASSERT_EQ(cache.InsertCopy(cache.Count(), e), 0);
  };
  add("a", "s1", 50);
  add("b", "", 10);
  add("c", "s3", 30);
  add("d", "s4", 30);
  add("e", "s5", 40);
  ByteString id("b");
  EXPECT_EQ(cache.Find(id), nullptr);  // no secret: dropped
  EXPECT_EQ(cache.Count(), 4);
  ASSERT_NE(cache.Find("c", 1), nullptr);
  EXPECT_EQ(cache.Find("zz", 2), nullptr);
  // Equal oldest stamps: the one nearest the end goes.
  cache.EvictOne();
  EXPECT_EQ(cache.Count(), 3);
  EXPECT_NE(cache.Find("c", 1), nullptr);
  EXPECT_EQ(cache.Find("d", 1), nullptr);
  cache.At(0)->master_secret.Reset();
  cache.At(2)->session_id.Reset();
  cache.EvictOne();  // only the invalid entries go
  ASSERT_EQ(cache.Count(), 1);
  EXPECT_STREQ(cache.At(0)->session_id.c_str(), "c");
}

// Whole-input reading of lines: CR, LF, CR LF and LF CR each end one line.
std::vector<std::string> ModelLines(const std::string& s, std::string* rest) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (;;) {
    size_t j = s.find_first_of("\r\n", start);
    if (j == std::string::npos) break;
    lines.push_back(s.substr(start, j - start));
    char partner = s[j] == '\r' ? '\n' : '\r';
    start = j + 1;
    if (start < s.size() && s[start] == partner) ++start;
  }
  *rest = s.substr(start);
  return lines;
}

void DrainLines(ByteQueue& q, std::vector<std::string>* out) {
  const uint8_t* p;
  uint32_t n;
  while (q.ReadRecord(&p, &n)) out->push_back(std::string(reinterpret_cast<const char*>(p), n));
}

std::string Unread(const ByteQueue& q) {
  return std::string(reinterpret_cast<const char*>(q.Unread()), q.Count());
}

TEST(ByteQueueTest, LineEndsSplitAtEveryByte) {
  const std::string inputs[] = {
      "abc\r\nxyz\n\rq\r\rw\n\nlast",
      "\r\n\n\r\r\r\n\n\n\r",
      "a\n\rb\r\n",
      "one\rtwo\nthree\r\nfour\n\rfive",
  };
  for (const std::string& in : inputs) {
    std::string want_rest;
    const std::vector<std::string> want = ModelLines(in, &want_rest);
    for (size_t cut = 0; cut <= in.size(); ++cut) {
      ByteQueue q;
      ASSERT_TRUE(q.Allocate(64));
      q.SetCrlfLineMode(true);
      std::vector<std::string> got;
      ASSERT_EQ(q.Write(in.data(), static_cast<uint32_t>(cut)), cut);
      DrainLines(q, &got);
      ASSERT_EQ(q.Write(in.data() + cut, static_cast<uint32_t>(in.size() - cut)), in.size() - cut);
      DrainLines(q, &got);
      ASSERT_EQ(got, want) << "cut at " << cut;
      ASSERT_EQ(Unread(q), want_rest) << "cut at " << cut;
    }
    // One byte per arrival.
    ByteQueue q;
    ASSERT_TRUE(q.Allocate(64));
    q.SetCrlfLineMode(true);
    std::vector<std::string> got;
    for (char c : in) {
      ASSERT_EQ(q.Write(&c, 1), 1u);
      DrainLines(q, &got);
    }
    ASSERT_EQ(got, want);
  }
}

TEST(ByteQueueTest, PendingPartnerAcrossArrivals) {
  ByteQueue q;
  ASSERT_TRUE(q.Allocate(32));
  q.SetCrlfLineMode(true);
  const uint8_t* p;
  uint32_t n;
  q.Write("abc\r", 4);
  ASSERT_TRUE(q.ReadLine(&p, &n));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p), n), "abc");
  EXPECT_EQ(q.PendingPartner(), ByteQueue::kLf);
  q.Write("\nxyz\n", 5);
  ASSERT_TRUE(q.ReadLine(&p, &n));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p), n), "xyz");
  EXPECT_FALSE(q.ReadLine(&p, &n));
  EXPECT_EQ(n, 0u);
}

TEST(ByteQueueTest, DelimitedRecordsSplitAtEveryByte) {
  const std::string in = "x||y|||z||||";
  for (size_t cut = 0; cut <= in.size(); ++cut) {
    ByteQueue q;
    ASSERT_TRUE(q.Allocate(32));
    ASSERT_TRUE(q.SetEol("||", 2));
    std::vector<std::string> got;
    q.Write(in.data(), static_cast<uint32_t>(cut));
    DrainLines(q, &got);
    q.Write(in.data() + cut, static_cast<uint32_t>(in.size() - cut));
    DrainLines(q, &got);
    std::vector<std::string> want = {"x", "y", "|z", ""};
    ASSERT_EQ(got, want) << "cut at " << cut;
    EXPECT_EQ(q.Count(), 0u);
  }
  ByteQueue q;
  ASSERT_TRUE(q.Allocate(16));
  q.SetEol("||", 2);
  q.Write("x||y", 4);
  const uint8_t* p;
  uint32_t n;
  ASSERT_TRUE(q.ReadRecord(&p, &n));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p), n), "x");
  EXPECT_FALSE(q.ReadRecord(&p, &n));
  EXPECT_EQ(Unread(q), "y");
  uint32_t len;
  EXPECT_STREQ(q.GetEol(&len), "||");
  EXPECT_EQ(len, 2u);
}

TEST(ByteQueueTest, WriteSpaceCompactsOnlyWhenNeeded) {
  ByteQueue q;
  ASSERT_TRUE(q.Allocate(10));
  uint8_t* at;
  uint32_t room;
  ASSERT_TRUE(q.GetWriteSpace(4, &at, &room));
  EXPECT_EQ(room, 10u);
  std::memcpy(at, "abcdefgh", 8);
  ASSERT_TRUE(q.CommitWrite(8));
  EXPECT_FALSE(q.CommitWrite(3));  // only 2 behind
  const uint8_t* p;
  uint32_t n;
  ASSERT_TRUE(q.Read(5, &p, &n));
  EXPECT_EQ(n, 5u);
  // 2 fit behind the unread bytes: nothing moves.
  ASSERT_TRUE(q.GetWriteSpace(2, &at, &room));
  EXPECT_EQ(q.ReadOffset(), 5u);
  EXPECT_EQ(room, 2u);
  // 6 fit in the free room only after moving the unread bytes to the front.
  ASSERT_TRUE(q.GetWriteSpace(6, &at, &room));
  EXPECT_EQ(q.ReadOffset(), 0u);
  EXPECT_EQ(room, 7u);
  EXPECT_EQ(Unread(q), "fgh");
  // More than the free room: all of it, and a false result.
  EXPECT_FALSE(q.GetWriteSpace(20, &at, &room));
  EXPECT_EQ(room, 7u);
  ASSERT_TRUE(q.Read(0, &p, &n));
  EXPECT_EQ(n, 3u);
  EXPECT_FALSE(q.Read(0, &p, &n));
  EXPECT_EQ(n, 0u);
  EXPECT_STREQ(reinterpret_cast<const char*>(p), "");
}

TEST(ByteQueueTest, OutOfMemory) {
  ByteQueue q;
  ASSERT_TRUE(q.SetEol("END", 3));
  win::HeapFailAfter(1);
  EXPECT_FALSE(q.SetEol("||", 2));
  win::HeapFailAfter(0);
  uint32_t len;
  EXPECT_STREQ(q.GetEol(&len), "END");
  win::HeapFailAfter(1);
  EXPECT_FALSE(q.Allocate(100));
  win::HeapFailAfter(0);
  EXPECT_EQ(q.Capacity(), 0u);
  uint8_t* at;
  uint32_t room;
  EXPECT_FALSE(q.GetWriteSpace(1, &at, &room));
  EXPECT_EQ(room, 0u);
  ASSERT_TRUE(q.Allocate(100));
  q.Write("abc", 3);
  ASSERT_TRUE(q.Allocate(100));  // same capacity: only emptied
  EXPECT_EQ(q.Count(), 0u);
  q.SetCrlfLineMode(true);
  q.Release();
  EXPECT_TRUE(q.CrlfLineMode());
  EXPECT_EQ(q.Capacity(), 0u);
  q.Reset();
  EXPECT_FALSE(q.CrlfLineMode());
}

}  // namespace
}  // namespace tw
