// The control's saved state: the stream form checked byte by byte against an independent decoder,
// round trips through streams, storages and property bags, refused versions and values, hostile
// streams; and the OLE interfaces a container drives.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "control/cobalin.h"
#include "platform/com_stream.h"
#include "tests/control/control_test_support.h"
#include "tests/support/test_support.h"

namespace {

using controltest::Control;
using controltest::Utf16;
using controltest::Utf8;
using win::HRESULT;

// The persisted properties in stream order with their saved types and defaults.
struct Persisted {
  const char* name;
  win::VARTYPE vt;
  const char* default_text;
};
constexpr Persisted kOrder[] = {
    {"Authorization", win::VT_BSTR, ""},     {"EncryptionAlgorithm", win::VT_I4, "0"},
    {"FirewallAutoDetect", win::VT_BOOL, "false"}, {"FirewallType", win::VT_I4, "0"},
    {"FirewallHost", win::VT_BSTR, ""},      {"FirewallPassword", win::VT_BSTR, ""},
    {"FirewallPort", win::VT_I4, "0"},       {"FirewallUser", win::VT_BSTR, ""},
    {"LocalFile", win::VT_BSTR, ""},         {"Overwrite", win::VT_BOOL, "false"},
    {"ProxyAuthScheme", win::VT_I4, "0"},    {"ProxyAutoDetect", win::VT_BOOL, "false"},
    {"ProxyPassword", win::VT_BSTR, ""},     {"ProxyPort", win::VT_I4, "80"},
    {"ProxyServer", win::VT_BSTR, ""},       {"ProxySSL", win::VT_I4, "0"},
    {"ProxyUser", win::VT_BSTR, ""},         {"SSLCertStore", win::VT_BSTR, "MY"},
    {"SSLCertStorePassword", win::VT_BSTR, ""}, {"SSLCertStoreType", win::VT_I4, "0"},
    {"SSLCertSubject", win::VT_BSTR, ""},    {"Timeout", win::VT_I2, "60"},
};

// ---- Streams as bytes ----

win::ComPtr<win::IStream> StreamOf(const std::string& bytes) {
  win::ComPtr<win::IStream> stream;
  EXPECT_EQ(win::CreateStreamOnHGlobal(nullptr, win::TRUE, stream.Put()), win::S_OK);
  win::ULONG written = 0;
  stream->Write(bytes.data(), static_cast<win::ULONG>(bytes.size()), &written);
  stream->Seek(win::LARGE_INTEGER{0}, win::STREAM_SEEK_SET, nullptr);
  return stream;
}

std::string BytesOf(win::IStream* stream) {
  stream->Seek(win::LARGE_INTEGER{0}, win::STREAM_SEEK_SET, nullptr);
  std::string out;
  char piece[4096];
  win::ULONG read = 0;
  do {
    stream->Read(piece, sizeof piece, &read);
    out.append(piece, read);
  } while (read == sizeof piece);
  return out;
}

// The test's own writer of saved values, to make streams the control would never write.
class StreamWriter {
 public:
  StreamWriter& Word(uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes += static_cast<char>(v >> (8 * i));
    return *this;
  }
  StreamWriter& Type(win::VARTYPE vt) {
    bytes += static_cast<char>(vt & 0xFF);
    bytes += static_cast<char>(vt >> 8);
    return *this;
  }
  StreamWriter& I2(int16_t v) {
    Type(win::VT_I2);
    bytes += static_cast<char>(v & 0xFF);
    bytes += static_cast<char>((v >> 8) & 0xFF);
    return *this;
  }
  StreamWriter& Bool(bool v) {
    Type(win::VT_BOOL);
    bytes += v ? std::string("\xFF\xFF", 2) : std::string(2, '\0');
    return *this;
  }
  StreamWriter& I4(int32_t v) {
    Type(win::VT_I4);
    return Word(static_cast<uint32_t>(v));
  }
  StreamWriter& Text(const std::string& ascii) {
    Type(win::VT_BSTR);
    Word(static_cast<uint32_t>(ascii.size() * 2 + 2));
    for (char c : ascii) {
      bytes += c;
      bytes += '\0';
    }
    bytes += std::string(2, '\0');
    return *this;
  }
  // One value per persisted property: the defaults, with the given texts in place of some.
  StreamWriter& Properties(const std::map<std::string, std::string>& changed) {
    for (const Persisted& p : kOrder) {
      auto it = changed.find(p.name);
      std::string text = it != changed.end() ? it->second : p.default_text;
      if (p.vt == win::VT_BSTR) {
        Text(text);
      } else if (p.vt == win::VT_BOOL) {
        Bool(text == "true");
      } else if (p.vt == win::VT_I2) {
        I2(static_cast<int16_t>(std::stoi(text)));
      } else {
        I4(std::stoi(text));
      }
    }
    return *this;
  }
  std::string bytes;
};

class PersistenceTest : public ::testing::Test {
 protected:
  template <class I>
  win::ComPtr<I> As(Control& c) {
    win::ComPtr<I> out;
    EXPECT_EQ(c.dispatch()->QueryInterface(win::IidOf<I>(), out.PutVoid()), win::S_OK);
    return out;
  }
  void ExpectDefaults(Control& c, const std::string& except = "") {
    for (const Persisted& p : kOrder) {
      if (p.name != except) {
        EXPECT_EQ(c.Text(p.name), p.default_text) << p.name;
      }
    }
  }
};

// Decodes the stream form independently: the version word, then each VARIANT.
constexpr char kDecoder[] = R"(
import struct, sys
data = bytes.fromhex(sys.stdin.read().strip())
print("version %08x" % struct.unpack_from("<I", data, 0)[0])
pos = 4
while pos < len(data):
    vt, = struct.unpack_from("<H", data, pos); pos += 2
    if vt == 8:
        n, = struct.unpack_from("<I", data, pos); pos += 4
        text = data[pos:pos + n]; pos += n
        assert n == 0 or text[-2:] == b"\0\0"
        print("8 " + text[:-2].decode("utf-16-le"))
    elif vt in (2, 11):
        v, = struct.unpack_from("<h", data, pos); pos += 2
        print("%d %d" % (vt, v))
    elif vt == 3:
        v, = struct.unpack_from("<i", data, pos); pos += 4
        print("3 %d" % v)
    else:
        print("bad type %d" % vt); break
)";

TEST_F(PersistenceTest, SavedStreamHoldsTheVersionAndEveryPropertyInOrder) {
  Control a;
  ASSERT_EQ(a.created, win::S_OK);
  ASSERT_TRUE(a.Put("ProxyServer", "proxy.example").ok());
  ASSERT_TRUE(a.Put("ProxyUser", std::u16string(u"\u00e9t\u00e9")).ok());
  ASSERT_TRUE(a.Put("FirewallPort", 1080).ok());
  ASSERT_TRUE(a.Put("Overwrite", true).ok());
  ASSERT_TRUE(a.Put("Timeout", int16_t{15}).ok());
  auto persist = As<win::IPersistStreamInit>(a);
  EXPECT_EQ(persist->IsDirty(), win::S_OK) << "a new object needs saving";
  win::ComPtr<win::IStream> stream = StreamOf("");
  ASSERT_EQ(persist->Save(stream.Get(), win::FALSE), win::S_OK);
  EXPECT_EQ(persist->IsDirty(), win::S_OK) << "saved without clearing";
  std::string bytes = BytesOf(stream.Get());
  ASSERT_GE(bytes.size(), 4u);
  EXPECT_EQ(bytes.substr(0, 4), std::string("\x00\x09\x00\x00", 4));

  std::vector<std::string> lines;
  TW_PYTHON_OR_SKIP(kDecoder, testsupport::Hex(bytes.data(), bytes.size()), &lines);
  ASSERT_EQ(lines.size(), 1 + std::size(kOrder));
  EXPECT_EQ(lines[0], "version 00000900");
  std::map<std::string, std::string> expected = {{"ProxyServer", "proxy.example"},
                                                 {"ProxyUser", "\xc3\xa9t\xc3\xa9"},
                                                 {"FirewallPort", "1080"},
                                                 {"Overwrite", "-1"},
                                                 {"Timeout", "15"}};
  for (size_t i = 0; i < std::size(kOrder); ++i) {
    const Persisted& p = kOrder[i];
    std::string value = p.default_text;
    if (p.vt == win::VT_BOOL) value = value == "true" ? "-1" : "0";
    if (expected.count(p.name) != 0) value = expected[p.name];
    EXPECT_EQ(lines[i + 1], std::to_string(p.vt) + " " + value) << p.name;
  }

  ASSERT_EQ(persist->Save(StreamOf("").Get(), win::TRUE), win::S_OK);
  EXPECT_EQ(persist->IsDirty(), win::S_FALSE);
  win::ULARGE_INTEGER size{};
  EXPECT_EQ(persist->GetSizeMax(&size), win::E_NOTIMPL);
  win::CLSID clsid{};
  EXPECT_EQ(persist->GetClassID(&clsid), win::S_OK);
  EXPECT_EQ(clsid, tw::kClsidCobalin);
}

TEST_F(PersistenceTest, FreshInstanceRoundTripsItsDefaults) {
  Control a;
  Control b;
  ASSERT_EQ(a.created, win::S_OK);
  ASSERT_EQ(b.created, win::S_OK);
  // b starts away from the defaults, so the load has to bring them.
  ASSERT_TRUE(b.Put("ProxyPort", 3128).ok());
  ASSERT_TRUE(b.Put("Timeout", int16_t{5}).ok());
  win::ComPtr<win::IStream> stream = StreamOf("");
  ASSERT_EQ(As<win::IPersistStreamInit>(a)->Save(stream.Get(), win::TRUE), win::S_OK);
  stream->Seek(win::LARGE_INTEGER{0}, win::STREAM_SEEK_SET, nullptr);
  auto persist_b = As<win::IPersistStreamInit>(b);
  ASSERT_EQ(persist_b->Load(stream.Get()), win::S_OK);
  EXPECT_EQ(b.Text("ProxyPort"), "80");
  EXPECT_EQ(b.Text("SSLCertStore"), "MY");
  EXPECT_EQ(b.Text("Timeout"), "60");
  ExpectDefaults(b);
  EXPECT_EQ(persist_b->IsDirty(), win::S_FALSE) << "just loaded";
  EXPECT_EQ(persist_b->InitNew(), win::S_OK);
}

TEST_F(PersistenceTest, ChangedValuesTravelThroughAStorage) {
  Control a;
  Control b;
  ASSERT_TRUE(a.Put("ProxyServer", "10.0.0.1").ok());
  ASSERT_TRUE(a.Put("ProxyPassword", "secret").ok());
  ASSERT_TRUE(a.Put("LocalFile", std::u16string(u"/tmp/\u65e5\u672c.bin")).ok());
  ASSERT_TRUE(a.Put("Overwrite", true).ok());
  ASSERT_TRUE(a.Put("ProxySSL", 2).ok());
  ASSERT_TRUE(a.Put("Timeout", int16_t{0}).ok());
  win::ComPtr<win::IStorage> storage;
  ASSERT_EQ(win::StgCreateDocfile(nullptr, win::STGM_READWRITE | win::STGM_CREATE, 0,
                                  storage.Put()),
            win::S_OK);
  auto persist_a = As<win::IPersistStorage>(a);
  ASSERT_EQ(persist_a->InitNew(storage.Get()), win::S_OK);
  ASSERT_EQ(persist_a->Save(storage.Get(), win::TRUE), win::S_OK);
  EXPECT_EQ(persist_a->SaveCompleted(storage.Get()), win::S_OK);
  EXPECT_EQ(persist_a->IsDirty(), win::S_FALSE);
  win::ComPtr<win::IStream> contents;
  ASSERT_EQ(storage->OpenStream(u"Contents", nullptr, win::STGM_READ | win::STGM_SHARE_EXCLUSIVE,
                                0, contents.Put()),
            win::S_OK);
  EXPECT_EQ(BytesOf(contents.Get()).substr(0, 4), std::string("\x00\x09\x00\x00", 4));
  contents.Reset();

  ASSERT_EQ(As<win::IPersistStorage>(b)->Load(storage.Get()), win::S_OK);
  EXPECT_EQ(b.Text("ProxyServer"), "10.0.0.1");
  EXPECT_EQ(b.Text("ProxyPassword"), "secret");
  EXPECT_EQ(b.Text("LocalFile"), "/tmp/\xe6\x97\xa5\xe6\x9c\xac.bin");
  EXPECT_EQ(b.Text("Overwrite"), "true");
  EXPECT_EQ(b.Text("ProxySSL"), "2");
  EXPECT_EQ(b.Text("Timeout"), "0");
  for (const Persisted& p : kOrder) EXPECT_EQ(b.Text(p.name), a.Text(p.name)) << p.name;

  win::ComPtr<win::IStorage> empty;
  ASSERT_EQ(win::StgCreateDocfile(nullptr, win::STGM_READWRITE | win::STGM_CREATE, 0, empty.Put()),
            win::S_OK);
  EXPECT_EQ(As<win::IPersistStorage>(b)->Load(empty.Get()), win::STG_E_FILENOTFOUND);
}

TEST_F(PersistenceTest, NewerVersionIsRefusedAndChangesNothing) {
  Control b;
  std::string body = StreamWriter().Properties({{"ProxyServer", "new.example"}}).bytes;
  win::ComPtr<win::IStream> newer = StreamOf(StreamWriter().Word(0x00000A00).bytes + body);
  auto persist = As<win::IPersistStreamInit>(b);
  EXPECT_EQ(persist->Load(newer.Get()), win::E_FAIL);
  ExpectDefaults(b);
  // An older version word is read as this one.
  win::ComPtr<win::IStream> older = StreamOf(StreamWriter().Word(0x00000800).bytes + body);
  EXPECT_EQ(persist->Load(older.Get()), win::S_OK);
  EXPECT_EQ(b.Text("ProxyServer"), "new.example");
}

TEST_F(PersistenceTest, RefusedValueEndsTheLoadKeepingWhatCameBefore) {
  Control b;
  std::string bytes = StreamWriter()
                          .Word(0x00000900)
                          .Properties({{"ProxyServer", "loaded.example"},
                                       {"ProxyPort", "8080"},
                                       {"SSLCertStoreType", "20"},
                                       {"SSLCertSubject", "CN=after"},
                                       {"Timeout", "5"}})
                          .bytes;
  EXPECT_EQ(As<win::IPersistStreamInit>(b)->Load(StreamOf(bytes).Get()), win::E_FAIL);
  EXPECT_EQ(b.Text("ProxyServer"), "loaded.example");
  EXPECT_EQ(b.Text("ProxyPort"), "8080");
  EXPECT_EQ(b.Text("SSLCertStoreType"), "0");
  EXPECT_EQ(b.Text("SSLCertSubject"), "");
  EXPECT_EQ(b.Text("Timeout"), "60");
}

TEST_F(PersistenceTest, HostileStreamsFailCleanly) {
  Control a;
  Control b;
  ASSERT_TRUE(a.Put("ProxyServer", "cut.example").ok());
  win::ComPtr<win::IStream> saved = StreamOf("");
  ASSERT_EQ(As<win::IPersistStreamInit>(a)->Save(saved.Get(), win::TRUE), win::S_OK);
  const std::string whole = BytesOf(saved.Get());
  auto persist = As<win::IPersistStreamInit>(b);
  // Every cut short of the end is a failed read.
  for (size_t n = 0; n < whole.size(); ++n) {
    EXPECT_EQ(persist->Load(StreamOf(whole.substr(0, n)).Get()), win::E_FAIL) << n;
  }
  EXPECT_EQ(persist->Load(StreamOf(whole).Get()), win::S_OK);
  EXPECT_EQ(persist->Load(nullptr), win::E_POINTER);

  const std::string version = StreamWriter().Word(0x900).bytes;
  // A string claiming 4 GiB in a stream of a few bytes.
  std::string huge = version + StreamWriter().Type(win::VT_BSTR).Word(0xFFFFFFFE).bytes + "ab";
  EXPECT_EQ(persist->Load(StreamOf(huge).Get()), win::E_FAIL);
  // Half a UTF-16 character.
  std::string odd = version + StreamWriter().Type(win::VT_BSTR).Word(3).bytes + "abc";
  EXPECT_EQ(persist->Load(StreamOf(odd).Get()), win::E_FAIL);
  // A type the stream form does not carry.
  std::string object = version + StreamWriter().Type(win::VT_DISPATCH).Word(0).bytes;
  EXPECT_EQ(persist->Load(StreamOf(object).Get()), win::DISP_E_BADVARTYPE);
  // A value of another type is converted by the property's own rules.
  Control c;
  std::string wide_timeout = StreamWriter().Word(0x900).bytes;
  for (const Persisted& p : kOrder) {
    StreamWriter w;
    if (std::string(p.name) == "Timeout") {
      w.I4(30);
    } else if (p.vt == win::VT_BSTR) {
      w.Text(p.default_text);
    } else if (p.vt == win::VT_BOOL) {
      w.Bool(false);
    } else {
      w.I4(std::stoi(p.default_text));
    }
    wide_timeout += w.bytes;
  }
  EXPECT_EQ(As<win::IPersistStreamInit>(c)->Load(StreamOf(wide_timeout).Get()), win::S_OK);
  EXPECT_EQ(c.Text("Timeout"), "30");
}

// A property bag over a map, as a page or form designer keeps one.
class MapBag final : public win::IPropertyBag {
 public:
  HRESULT QueryInterface(win::REFIID iid, void** object) override {
    if (iid == win::IID_IUnknown || iid == win::IID_IPropertyBag) {
      *object = static_cast<win::IPropertyBag*>(this);
      return win::S_OK;
    }
    *object = nullptr;
    return win::E_NOINTERFACE;
  }
  win::ULONG AddRef() override { return 2; }
  win::ULONG Release() override { return 1; }
  HRESULT Read(win::LPCOLESTR name, win::VARIANT* value, win::IErrorLog*) override {
    auto it = values.find(name);
    if (it == values.end()) return win::E_INVALIDARG;
    win::VARTYPE wanted = value->vt;
    win::VariantInit(value);
    HRESULT hr = win::VariantCopy(value, &it->second);
    if (hr == win::S_OK && wanted != win::VT_EMPTY && wanted != value->vt) {
      hr = win::VariantChangeType(value, value, 0, wanted);
    }
    return hr;
  }
  HRESULT Write(win::LPCOLESTR name, win::VARIANT* value) override {
    names.push_back(name);
    return win::VariantCopy(&values[name], value);
  }

  std::map<std::u16string, controltest::OwnedVariant> values;
  std::vector<std::u16string> names;
};

TEST_F(PersistenceTest, PropertyBagHoldsEveryNameAndLoadsOnlyWhatItHas) {
  Control a;
  // Saved as its getter gives it: the resolved address.
  ASSERT_TRUE(a.Put("FirewallHost", "localhost").ok());
  MapBag saved;
  auto bag_a = As<win::IPersistPropertyBag>(a);
  ASSERT_EQ(bag_a->Save(&saved, win::TRUE, win::TRUE), win::S_OK);
  ASSERT_EQ(saved.names.size(), std::size(kOrder));
  for (size_t i = 0; i < std::size(kOrder); ++i) {
    EXPECT_EQ(Utf8(saved.names[i].data(), saved.names[i].size()), kOrder[i].name);
    EXPECT_EQ(saved.values[saved.names[i]].vt, kOrder[i].vt) << kOrder[i].name;
  }
  EXPECT_EQ(Utf8(saved.values[u"FirewallHost"].bstrVal), "127.0.0.1");

  Control b;
  MapBag only;
  controltest::OwnedVariant server;
  server.vt = win::VT_BSTR;
  server.bstrVal = win::SysAllocString(u"bag.example");
  only.values[u"ProxyServer"] = server;
  ASSERT_TRUE(b.Put("Timeout", int16_t{60}).ok());
  auto bag_b = As<win::IPersistPropertyBag>(b);
  ASSERT_EQ(bag_b->InitNew(), win::S_OK);
  ASSERT_EQ(bag_b->Load(&only, nullptr), win::S_OK);
  EXPECT_EQ(b.Text("ProxyServer"), "bag.example");
  ExpectDefaults(b, "ProxyServer");

  // A value the property refuses ends the load.
  MapBag refused;
  controltest::OwnedVariant type;
  type.vt = win::VT_I4;
  type.lVal = 20;
  refused.values[u"SSLCertStoreType"] = type;
  EXPECT_EQ(bag_b->Load(&refused, nullptr), win::E_FAIL);
  EXPECT_EQ(b.Text("SSLCertStoreType"), "0");
}

// ---- The OLE control interfaces ----

class Site final : public win::IOleClientSite {
 public:
  HRESULT QueryInterface(win::REFIID iid, void** object) override {
    if (iid == win::IID_IUnknown || iid == win::IID_IOleClientSite) {
      *object = static_cast<win::IOleClientSite*>(this);
      AddRef();
      return win::S_OK;
    }
    *object = nullptr;
    return win::E_NOINTERFACE;
  }
  win::ULONG AddRef() override { return ++refs; }
  win::ULONG Release() override { return --refs; }
  HRESULT SaveObject() override {
    ++saves;
    return win::S_OK;
  }
  HRESULT ShowObject() override { return win::S_OK; }
  HRESULT OnShowWindow(win::BOOL) override { return win::S_OK; }
  HRESULT RequestNewObjectLayout() override { return win::S_OK; }
  win::ULONG refs = 1;
  int saves = 0;
};

class NotifySink final : public win::IPropertyNotifySink {
 public:
  HRESULT QueryInterface(win::REFIID iid, void** object) override {
    if (iid == win::IID_IUnknown || iid == win::IID_IPropertyNotifySink) {
      *object = static_cast<win::IPropertyNotifySink*>(this);
      AddRef();
      return win::S_OK;
    }
    *object = nullptr;
    return win::E_NOINTERFACE;
  }
  win::ULONG AddRef() override { return ++refs; }
  win::ULONG Release() override { return --refs; }
  HRESULT OnChanged(win::DISPID) override { return win::S_OK; }
  HRESULT OnRequestEdit(win::DISPID) override { return win::S_OK; }
  win::ULONG refs = 1;
};

TEST_F(PersistenceTest, ContainerInterfacesOfAnInvisibleFixedSizeControl) {
  Site site;
  NotifySink notify;
  controltest::EventRecorder events;
  {
    Control c;
    auto ole = As<win::IOleObject>(c);
    EXPECT_EQ(ole->SetClientSite(&site), win::S_OK);
    win::ComPtr<win::IOleClientSite> back;
    EXPECT_EQ(ole->GetClientSite(back.Put()), win::S_OK);
    EXPECT_EQ(back.Get(), &site);
    back.Reset();
    win::DWORD misc = 0;
    EXPECT_EQ(ole->GetMiscStatus(win::DVASPECT_CONTENT, &misc), win::S_OK);
    EXPECT_EQ(misc, 0x20591u);
    // 28 pixels at 96 per inch, in hundredths of a millimetre.
    win::SIZEL extent{};
    EXPECT_EQ(ole->GetExtent(win::DVASPECT_CONTENT, &extent), win::S_OK);
    EXPECT_EQ(extent.cx, 740);
    EXPECT_EQ(extent.cy, 740);
    win::SIZEL bigger{2000, 2000};
    EXPECT_TRUE(win::FAILED(ole->SetExtent(win::DVASPECT_CONTENT, &bigger)));
    EXPECT_EQ(ole->GetExtent(win::DVASPECT_CONTENT, &extent), win::S_OK);
    EXPECT_EQ(extent.cx, 740);
    EXPECT_EQ(ole->DoVerb(win::OLEIVERB_INPLACEACTIVATE, nullptr, &site, 0, nullptr, nullptr),
              win::S_OK);

    auto view = As<win::IViewObjectEx>(c);
    win::RECTL bounds{10, 20, 38, 48};
    EXPECT_EQ(view->Draw(win::DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, nullptr, &bounds,
                         nullptr, nullptr, 0),
              win::S_OK);
    win::DWORD hit = 99;
    EXPECT_EQ(view->QueryHitPoint(win::DVASPECT_CONTENT, &bounds, win::POINT{12, 22}, 0, &hit),
              win::S_OK);
    EXPECT_EQ(hit, win::HITRESULT_HIT);
    EXPECT_EQ(view->QueryHitPoint(win::DVASPECT_CONTENT, &bounds, win::POINT{38, 22}, 0, &hit),
              win::S_OK);
    EXPECT_EQ(hit, win::HITRESULT_OUTSIDE);

    // Quick activation connects the container's sinks in one call.
    win::QACONTAINER container{};
    container.cbSize = sizeof container;
    container.pClientSite = &site;
    container.pPropertyNotifySink = &notify;
    container.pUnkEventSink = static_cast<win::IDispatch*>(&events);
    win::QACONTROL control{};
    control.cbSize = sizeof control;
    auto quick = As<win::IQuickActivate>(c);
    ASSERT_EQ(quick->QuickActivate(&container, &control), win::S_OK);
    EXPECT_EQ(control.dwMiscStatus, 0x20591u);
    EXPECT_NE(control.dwEventCookie, 0u);
    EXPECT_NE(control.dwPropNotifyCookie, 0u);
    EXPECT_EQ(c.object()->event_point().SinkCount(), 1u);
    EXPECT_GT(notify.refs, 1u);

    ole->Close(win::OLECLOSE_SAVEIFDIRTY);
    EXPECT_EQ(site.saves, 1) << "a dirty control asks its site to save it";
    EXPECT_GT(site.refs, 1u);
    ole.Reset();
    view.Reset();
    quick.Reset();
  }
  EXPECT_EQ(site.refs, 1u) << "the site is let go with the control";
  EXPECT_EQ(notify.refs, 1u);
}

}  // namespace
