// The properties of ICobalin: thin accessors between Automation values and the embedded client's
// settings and collections. Every accessor is a line or a few over the shared shapes below (text,
// byte-exact text, bool, I2, enum with a range check, 64-bit out, indexed item, byte array,
// read-only); the per-property traits (design-time getter, byte-exact text, secret) live in one
// table.
#include <cstdint>
#include <utility>

#include "control/automation_values.h"
#include "control/com_error.h"
#include "control/control_object.h"
#include "foundation/text_conversion.h"
#include "platform/bstr.h"

namespace tw {

namespace {

using win::DISPID;
using win::DWORD;

constexpr char kTextBusy[] = "Busy performing current action.";
constexpr char kTextInvalidEncryptionAlgorithm[] = "Invalid encryption algorithm.";
constexpr char kTextSecurityKeyStore[] =
    "The SecurityKey store type is not supported for this operation.";
constexpr char kPemBegin[] = "-----BEGIN CERTIFICATE-----\r\n";
constexpr char kPemEnd[] = "\r\n-----END CERTIFICATE-----\r\n";

constexpr int kErrBusy = 143;
constexpr int kErrInvalidValue = 202;
constexpr int kErrStoreTypeUnsupported = 278;
constexpr int kErrIndexOutOfBounds = 432;

// Enumerated setters refuse values from here up before the client sees them.
constexpr uint32_t kEnumLimit = 256;
constexpr uint32_t kBlockTypeLimit = 3;
constexpr uint32_t kProxySslLimit = 4;
constexpr int32_t kLastEncryptionAlgorithm = eaXSalsa20;

// Help contexts: 23400 + DISPID, except the byte twins and the event-time bytes.
constexpr DWORD kHelpBase = 23400;
constexpr DWORD kHelpTwinBase = 23401;
constexpr DWORD kHelpEventCert = 33400;
constexpr DWORD kHelpEventText = 33401;

// Control defaults of the persisted properties.
constexpr int32_t kDefaultProxyPort = 80;
constexpr uint32_t kDefaultTimeoutSeconds = 60;
constexpr char kDefaultCertStore[] = "MY";

enum Trait : uint8_t {
  kDesign = 1,  // the getter reads in a design environment too
  kExact = 2,   // text stored and read with its length, NULs included
  kSecret = 4,  // the converted copy is wiped once stored
};

struct PropertyTraits {
  DISPID id;
  uint8_t traits;
};

// Properties without traits are run-time-only texts up to the first NUL.
constexpr PropertyTraits kTraits[] = {
    {kDispAccessKey, kSecret},
    {kDispAuthorization, kDesign},
    {kDispBlobData, kExact},
    {kDispEncryptionAlgorithm, kDesign},
    {kDispEncryptionPassword, kSecret},
    {kDispFirewallAutoDetect, kDesign},
    {kDispFirewallType, kDesign},
    {kDispFirewallHost, kDesign},
    {kDispFirewallPassword, kDesign | kSecret},
    {kDispFirewallPort, kDesign},
    {kDispFirewallUser, kDesign},
    {kDispIdle, kDesign},
    {kDispLocalFile, kDesign},
    {kDispLocalHost, kDesign},
    {kDispOverwrite, kDesign},
    {kDispProxyAuthScheme, kDesign},
    {kDispProxyAutoDetect, kDesign},
    {kDispProxyPassword, kDesign | kSecret},
    {kDispProxyPort, kDesign},
    {kDispProxyServer, kDesign},
    {kDispProxySSL, kDesign},
    {kDispProxyUser, kDesign},
    {kDispSSLAcceptServerCertEncoded, kExact},
    {kDispSSLCertEncoded, kExact},
    {kDispSSLCertStore, kDesign | kExact},
    {kDispSSLCertStorePassword, kDesign | kSecret},
    {kDispSSLCertStoreType, kDesign},
    {kDispSSLCertSubject, kDesign},
    {kDispSSLServerCertEncoded, kExact},
    {kDispTimeout, kDesign},
};

constexpr bool Has(DISPID id, Trait trait) {
  for (const PropertyTraits& p : kTraits) {
    if (p.id == id) return (p.traits & trait) != 0;
  }
  return false;
}

constexpr DWORD HelpContext(DISPID id) {
  if (id >= kDispBlobDataB && id <= kDispSSLServerCertEncodedB) {
    return kHelpTwinBase + static_cast<DWORD>(id - kDispBlobDataB);
  }
  if (id == kDispSSLServerAuthenticationCertEncodedB) return kHelpEventCert;
  if (id == kDispTransferTextB) return kHelpEventText;
  return kHelpBase + static_cast<DWORD>(id);
}

static_assert(HelpContext(kDispAccessKey) == 23401 && HelpContext(kDispUseSSL) == 23491);
static_assert(HelpContext(kDispSSLServerCertEncodedB) == 23405);

HRESULT Fail(DISPID id, const char* text, HRESULT hr) {
  return ReportComErrorText(text, HelpContext(id), hr);
}

HRESULT Report(BlobClient& client, DISPID id, int code) {
  return ReportComError(client, code, HelpContext(id));
}

HRESULT ReadOnly(DISPID id) { return Fail(id, kComErrReadOnly, kHrReadOnly); }

// A request is on its way: the HTTP client is busy, or a transfer that spans several requests
// (a block upload reading BlobData piece by piece) is between two of them.
bool RequestRunning(ControlObject& self) {
  BlobClient& c = self.client();
  return self.InEvent() && (c.busy() || c.progress_state() != RestClient::kProgressIdle);
}

// Refuses a write that would free state the running request uses. The client's own error state
// belongs to that request and is left as it was.
HRESULT RefuseWhileRunning(ControlObject& self, DISPID id) {
  BlobClient& c = self.client();
  ByteString text;
  text.Assign(c.error_text());
  const int code = c.error_code();
  c.SetErrorTextCode(kErrBusy, kTextBusy);
  const HRESULT hr = Report(c, id, kErrBusy);
  c.SetErrorTextCode(code, text.c_str());
  return hr;
}

// ---- Values out ----

struct TextView {
  const char* data;
  int length;  // -1: up to the first NUL
};

template <int N>
HRESULT ToAutomation(const InlineString<N>& text, bool exact, int code_page, BSTR* out) {
  return BstrFromBytes(text.data(), exact ? text.length() : -1, code_page, out);
}
HRESULT ToAutomation(const char* text, bool, int code_page, BSTR* out) {
  return BstrFromBytes(text, -1, code_page, out);
}
HRESULT ToAutomation(bool value, bool, int, VARIANT_BOOL* out) {
  *out = value ? win::VARIANT_TRUE : win::VARIANT_FALSE;
  return win::S_OK;
}
HRESULT ToAutomation(int32_t value, bool, int, LONG* out) {
  *out = value;
  return win::S_OK;
}
// I2 values are the low 16 bits.
HRESULT ToAutomation(int32_t value, bool, int, SHORT* out) {
  *out = static_cast<SHORT>(value);
  return win::S_OK;
}
HRESULT ToAutomation(int64_t value, bool, int, VARIANT* out) {
  DecimalFromInt64(value, out);
  return win::S_OK;
}

void Discard(BSTR* out) {
  win::SysFreeString(*out);
  *out = nullptr;
}
void Discard(VARIANT* out) { win::VariantClear(out); }
template <class T>
void Discard(T*) {}

// The common start of a getter: nothing for a null out-pointer, the design-time guard, the
// client's last error code cleared. False when the getter ends here with *hr.
template <class Out>
bool BeginGet(ControlObject& self, DISPID id, Out* out, HRESULT* hr) {
  *hr = win::S_OK;
  if (out == nullptr) return false;
  if (!Has(id, kDesign) && !self.UserMode()) {
    *hr = Fail(id, kComErrRuntimeOnly, kHrRuntimeOnly);
    return false;
  }
  self.client().set_error_code(0);
  return true;
}

// A failure the client reported while producing the value goes out without help context.
template <class Out>
HRESULT EndGet(BlobClient& c, HRESULT hr, Out* out) {
  if (hr == win::S_OK && c.error_code() != 0) {
    Discard(out);
    return ReportComError(c, c.error_code(), 0);
  }
  return hr;
}

template <class Out, class Read>
HRESULT Get(ControlObject& self, DISPID id, Out* out, Read read) {
  HRESULT hr;
  if (!BeginGet(self, id, out, &hr)) return hr;
  BlobClient& c = self.client();
  hr = ToAutomation(read(c), Has(id, kExact), c.GetCodePage(), out);
  return EndGet(c, hr, out);
}

// ---- Values in ----

// Converts the BSTR in the client's code page (exact or up to the first NUL) and hands the bytes
// to store(client, bytes) -> code.
template <class Store>
HRESULT PutText(ControlObject& self, DISPID id, BSTR value, Store store) {
  BlobClient& c = self.client();
  ByteString bytes;
  int rc = BytesFromBstr(value, c.GetCodePage(), Has(id, kExact), bytes);
  if (rc == kOk) rc = store(c, bytes);
  if (Has(id, kSecret)) WipeBytes(bytes.data(), static_cast<size_t>(bytes.length()));
  return Report(c, id, rc);
}

HRESULT PutText(ControlObject& self, DISPID id, BSTR value, ByteString& field) {
  const bool secret = Has(id, kSecret);
  return PutText(self, id, value, [&field, secret](BlobClient&, ByteString& bytes) {
    if (secret) WipeBytes(field.data(), static_cast<size_t>(field.length()));
    field = std::move(bytes);
    return kOk;
  });
}

// Enumerated values: the wrapper's range (compared unsigned), then store(client) -> code.
template <class Store>
HRESULT PutEnum(ControlObject& self, DISPID id, LONG value, uint32_t limit, Store store) {
  if (static_cast<uint32_t>(value) >= limit) return Fail(id, kComErrOutOfRange, kHrBadValue);
  return Report(self.client(), id, store(self.client()));
}

// Numbers and switches that the client takes as given.
template <class Store>
HRESULT PutValue(ControlObject& self, DISPID id, Store store) {
  return Report(self.client(), id, store(self.client()));
}

// ---- Collections ----

template <auto Of, BlobCollection Which>
struct Collection {
  static auto& Items(BlobClient& c) { return (c.*Of)(); }
  static constexpr BlobCollection kWhich = Which;
};
using AccessPolicies = Collection<&BlobClient::access_policies, BlobCollection::kAccessPolicies>;
using Blobs = Collection<&BlobClient::blobs, BlobCollection::kBlobs>;
using Blocks = Collection<&BlobClient::blocks, BlobCollection::kBlocks>;
using Containers = Collection<&BlobClient::containers, BlobCollection::kContainers>;
using Metadata = Collection<&BlobClient::metadata, BlobCollection::kMetadata>;
using PageRanges = Collection<&BlobClient::page_ranges, BlobCollection::kPageRanges>;
using QueryParams = Collection<&BlobClient::query_params, BlobCollection::kQueryParams>;

// Record `index` of the collection, made blank on first access. Null with *hr set when the index
// is out of bounds or the record cannot be made.
template <class C>
auto* Item(ControlObject& self, DISPID id, LONG index, HRESULT* hr) {
  BlobClient& c = self.client();
  decltype(C::Items(c).GetOrCreate(0)) record = nullptr;
  if (c.CheckIndex(C::kWhich, index) != kOk) {
    *hr = Fail(id, kComErrInvalidIndex, kHrInvalidIndex);
    return record;
  }
  record = C::Items(c).GetOrCreate(index);
  if (record == nullptr) *hr = Report(c, id, kErrOutOfMemory);
  return record;
}

template <class C, class Out, class Record, class Field>
HRESULT GetItem(ControlObject& self, DISPID id, LONG index, Out* out, Field Record::*field) {
  HRESULT hr;
  if (!BeginGet(self, id, out, &hr)) return hr;
  auto* record = Item<C>(self, id, index, &hr);
  if (record == nullptr) return hr;
  BlobClient& c = self.client();
  return EndGet(c, ToAutomation(record->*field, false, c.GetCodePage(), out), out);
}

template <class C, class Record>
HRESULT PutItemText(ControlObject& self, DISPID id, LONG index, BSTR value,
                    ByteString Record::*field) {
  HRESULT hr = win::S_OK;
  auto* record = Item<C>(self, id, index, &hr);
  if (record == nullptr) return hr;
  BlobClient& c = self.client();
  ByteString bytes;
  if (int rc = BytesFromBstr(value, c.GetCodePage(), false, bytes); rc != kOk) {
    return Report(c, id, rc);
  }
  record->*field = std::move(bytes);
  return win::S_OK;
}

template <class C, class Out>
HRESULT GetCount(ControlObject& self, DISPID id, Out* out) {
  return Get(self, id, out, [](BlobClient& c) { return C::Items(c).Count(); });
}

// A negative count empties the collection; a slot array that cannot grow empties it too.
template <class C, class Value>
HRESULT PutCount(ControlObject& self, DISPID id, Value value) {
  if (RequestRunning(self)) return RefuseWhileRunning(self, id);
  // No collection holds more than a blob has blocks; more slots would only exhaust the memory.
  if (value > kMaxBlockRecords) return Fail(id, kComErrOutOfRange, kHrBadValue);
  auto& items = C::Items(self.client());
  if (items.SetCount(value < 0 ? 0 : value) == kOk) return win::S_OK;
  items.Clear();
  return Report(self.client(), id, kErrOutOfMemory);
}

// Parsed response header i: its name (field 0) or value (field 1). The check sets 432 with no
// text.
HRESULT GetParsedHeader(ControlObject& self, DISPID id, LONG index, BSTR* out, int part) {
  HRESULT hr;
  if (!BeginGet(self, id, out, &hr)) return hr;
  BlobClient& c = self.client();
  const ParsedHeaderStore& headers = c.parsed_headers();
  if (index < 0 || index >= headers.Count()) {
    c.set_error_code(kErrIndexOutOfBounds);
    return Fail(id, kComErrInvalidIndex, kHrInvalidIndex);
  }
  const char* text = part == 0 ? headers.Name(index) : headers.Value(index);
  return BstrFromBytes(text, -1, c.GetCodePage(), out);
}

// ---- Byte arrays ----

template <class Read>
HRESULT GetBytes(ControlObject& self, DISPID id, VARIANT* out, Read read) {
  HRESULT hr;
  if (!BeginGet(self, id, out, &hr)) return hr;
  const TextView bytes = read(self.client());
  return ByteArrayFromBytes(bytes.data, bytes.length, out);
}

TextView View(const ByteString& s) { return {s.data(), s.length()}; }

// The bytes of a one-dimensional byte array (or array of VARIANT numbers) to store(client, bytes).
template <class Store>
HRESULT PutBytes(ControlObject& self, DISPID id, const VARIANT& value, Store store) {
  ByteString bytes;
  const int rc = BytesFromByteArray(value, bytes);
  if (rc == kByteArrayRefused) return Fail(id, kComErrByteArrayOnly, kHrBadValue);
  BlobClient& c = self.client();
  return Report(c, id, rc != kOk ? rc : store(c, bytes));
}

// ---- The client's setters behind the properties (shared by the defaults) ----

int StoreBlobData(BlobClient& c, ByteString& bytes) {
  c.blob_data() = std::move(bytes);
  return kOk;
}

// The certificate the TLS client accepts as the server's; empty bytes drop it.
int StoreAcceptedServerCert(BlobClient& c, const ByteString& bytes) {
  return c.LoadCertificate(bytes.data(), bytes.length());
}

// A failed selection or load leaves the store's own text as the client's last error.
int CertStoreResult(BlobClient& c, int rc) {
  if (rc != kOk && rc != kErrOutOfMemory) {
    const CertStore& store = c.cert_store();
    c.SetErrorTextCode(rc, store.error_text.empty() ? "The certificate store could not be opened." : store.error_text.c_str());
  }
  return rc;
}

// Certificate bytes with type detection: empty bytes change nothing; otherwise they become the
// store, parsed and selected at once.
int StoreCertEncoded(BlobClient& c, const ByteString& bytes) {
  if (bytes.empty()) return kOk;
  return CertStoreResult(c, c.cert_store().LoadStoreAuto(bytes.data(), bytes.length()));
}

int StoreCertStore(BlobClient& c, const ByteString& bytes) {
  return c.cert_store().store.Assign(bytes);
}

int StoreCertStorePassword(BlobClient& c, const char* password) {
  ByteString& field = c.cert_store().password;
  WipeBytes(field.data(), static_cast<size_t>(field.length()));
  return field.SetText(password);
}

// Selects the certificate of the subject from the configured store (an empty subject selects
// none for a system store).
int SelectCertSubject(BlobClient& c, const char* subject) {
  return CertStoreResult(c, c.cert_store().SelectCertificate(subject));
}

int StoreCertStoreType(BlobClient& c, int32_t type) {
  if (type == cstSecurityKey) {
    c.SetErrorTextCode(kErrStoreTypeUnsupported, kTextSecurityKeyStore);
    return kErrStoreTypeUnsupported;
  }
  c.cert_store().store_type = type;
  return kOk;
}

int StoreEncryptionAlgorithm(BlobClient& c, int32_t algorithm) {
  if (algorithm > kLastEncryptionAlgorithm) {
    c.SetErrorTextCode(kErrInvalidValue, kTextInvalidEncryptionAlgorithm);
    return kErrInvalidValue;
  }
  c.set_encryption_algorithm(algorithm);
  return kOk;
}

// Slashes dropped, then ASCII letters lowered.
int StoreContainer(BlobClient& c, ByteString& bytes) {
  int kept = 0;
  for (int i = 0; i < bytes.length(); ++i) {
    uint8_t b = bytes.bytes()[i];
    if (b == '/') continue;
    if (b >= 'A' && b <= 'Z') b = static_cast<uint8_t>(b + ('a' - 'A'));
    bytes.bytes()[kept++] = b;
  }
  const int rc = bytes.Resize(kept);
  if (rc != kOk) return rc;
  c.container() = std::move(bytes);
  return kOk;
}

// The resolver's failure carries its Winsock text.
int WithResolverText(BlobClient& c, int rc) {
  if (rc != kOk && rc != kErrOutOfMemory) c.SetWinsockErrorText(rc);
  return rc;
}

// The selected certificate as PEM "CERTIFICATE" text, empty when none is selected.
int SelectedCertPem(BlobClient& c, ByteString& out) {
  out.Reset();
  const ByteString& der = c.cert_store().selected.der;
  if (der.empty()) return kOk;
  int rc = out.SetText(kPemBegin);
  if (rc == kOk) rc = Base64Encode(out, der.data(), der.length(), true, 64, false);
  if (rc == kOk) rc = out.AppendText(kPemEnd);
  if (rc != kOk) out.Reset();
  return rc;
}

// A certificate of the TLS client as the certificate properties read it: Base64 of the DER in
// lines of 64 characters; empty when none is held.
int CertBase64(const ByteString& der, ByteString& out) {
  out.Reset();
  if (der.empty()) return kOk;
  const int rc = Base64Encode(out, der.data(), der.length(), true, 64, false);
  if (rc != kOk) out.Reset();
  return rc;
}

template <class Which>
HRESULT GetCertText(ControlObject& self, DISPID id, BSTR* value, Which which) {
  HRESULT hr;
  if (!BeginGet(self, id, value, &hr)) return hr;
  BlobClient& c = self.client();
  ByteString text;
  if (int rc = CertBase64(which(c), text); rc != kOk) return Report(c, id, rc);
  return BstrFromBytes(text.data(), text.length(), c.GetCodePage(), value);
}

template <class Which>
HRESULT GetCertBytes(ControlObject& self, DISPID id, VARIANT* value, Which which) {
  HRESULT hr;
  if (!BeginGet(self, id, value, &hr)) return hr;
  BlobClient& c = self.client();
  ByteString text;
  if (int rc = CertBase64(which(c), text); rc != kOk) return Report(c, id, rc);
  return ByteArrayFromBytes(text.data(), text.length(), value);
}

const ByteString& AcceptedCert(BlobClient& c) { return c.accepted_certificate(); }
const ByteString& ServerCert(BlobClient& c) { return c.server_certificate(); }

}  // namespace

// The control defaults of the persisted properties, applied once the client has initialised.
void ControlObject::ApplyDefaults() {
  BlobClient& c = client_;
  FirewallTunnel& tunnel = c.tunnel();
  c.authorization_property().Reset();
  c.set_encryption_algorithm(eaAES);
  tunnel.SetFirewallAutoDetect(false);
  tunnel.SetFirewallType(fwNone);
  tunnel.SetFirewallHost("");
  tunnel.SetFirewallPassword("");
  tunnel.SetFirewallPort(0);
  tunnel.SetFirewallUser("");
  c.SetCallerLocalFileWide(u"");
  c.set_overwrite(false);
  c.SetProxyAuthScheme(authBasic);
  c.SetProxyAutoDetect(false);
  c.SetProxyPassword("");
  c.set_proxy_port(kDefaultProxyPort);
  c.SetProxyServer("");
  c.SetProxySSL(psAutomatic);
  tunnel.SetFirewallType(fwNone);
  c.SetProxyUser("");
  c.cert_store().store.SetText(kDefaultCertStore);
  StoreCertStorePassword(c, "");
  c.cert_store().store_type = cstUser;
  SelectCertSubject(c, "");
  c.SetTimeout(kDefaultTimeoutSeconds, true);
}

// ---- The client's texts ----

HRESULT ControlObject::get_AccessKey(BSTR* value) {
  return Get(
      *this, kDispAccessKey, value, [](BlobClient & c) -> auto& { return c.access_key(); });
}
HRESULT ControlObject::put_AccessKey(BSTR value) {
  return PutText(*this, kDispAccessKey, value, client_.access_key());
}
HRESULT ControlObject::get_Account(BSTR* value) {
  return Get(
      *this, kDispAccount, value, [](BlobClient & c) -> auto& { return c.account(); });
}
HRESULT ControlObject::put_Account(BSTR value) {
  return PutText(*this, kDispAccount, value, client_.account());
}
HRESULT ControlObject::get_Authorization(BSTR* value) {
  return Get(
      *this, kDispAuthorization, value,
      [](BlobClient & c) -> auto& { return c.authorization_property(); });
}
HRESULT ControlObject::put_Authorization(BSTR value) {
  return PutText(*this, kDispAuthorization, value, client_.authorization_property());
}
HRESULT ControlObject::get_BlobData(BSTR* value) {
  return Get(
      *this, kDispBlobData, value, [](BlobClient & c) -> auto& { return c.blob_data(); });
}
HRESULT ControlObject::put_BlobData(BSTR value) {
  if (RequestRunning(*this)) return RefuseWhileRunning(*this, kDispBlobData);
  return PutText(*this, kDispBlobData, value, StoreBlobData);
}
HRESULT ControlObject::get_BlobDelimiter(BSTR* value) {
  return Get(
      *this, kDispBlobDelimiter, value, [](BlobClient & c) -> auto& { return c.blob_delimiter(); });
}
HRESULT ControlObject::put_BlobDelimiter(BSTR value) {
  return PutText(*this, kDispBlobDelimiter, value, client_.blob_delimiter());
}
HRESULT ControlObject::get_BlobMarker(BSTR* value) {
  return Get(
      *this, kDispBlobMarker, value, [](BlobClient & c) -> auto& { return c.blob_marker(); });
}
HRESULT ControlObject::put_BlobMarker(BSTR value) {
  return PutText(*this, kDispBlobMarker, value, client_.blob_marker());
}
HRESULT ControlObject::get_Container(BSTR* value) {
  return Get(
      *this, kDispContainer, value, [](BlobClient & c) -> auto& { return c.container(); });
}
HRESULT ControlObject::put_Container(BSTR value) {
  return PutText(*this, kDispContainer, value, StoreContainer);
}
HRESULT ControlObject::get_ContainerMarker(BSTR* value) {
  return Get(
      *this, kDispContainerMarker, value,
      [](BlobClient & c) -> auto& { return c.container_marker(); });
}
HRESULT ControlObject::put_ContainerMarker(BSTR value) {
  return PutText(*this, kDispContainerMarker, value, client_.container_marker());
}
HRESULT ControlObject::get_EncryptionPassword(BSTR* value) {
  return Get(
      *this, kDispEncryptionPassword, value,
      [](BlobClient & c) -> auto& { return c.encryption_password(); });
}
HRESULT ControlObject::put_EncryptionPassword(BSTR value) {
  return PutText(*this, kDispEncryptionPassword, value, [](BlobClient& c, ByteString& text) {
    return c.SetEncryptionPassword(text.c_str());
  });
}
HRESULT ControlObject::get_LeaseId(BSTR* value) {
  return Get(
      *this, kDispLeaseId, value, [](BlobClient & c) -> auto& { return c.lease_id(); });
}
HRESULT ControlObject::put_LeaseId(BSTR value) {
  return PutText(*this, kDispLeaseId, value, client_.lease_id());
}
HRESULT ControlObject::get_OtherHeaders(BSTR* value) {
  return Get(
      *this, kDispOtherHeaders, value,
      [](BlobClient & c) -> auto& { return c.other_headers_property(); });
}
HRESULT ControlObject::put_OtherHeaders(BSTR value) {
  return PutText(*this, kDispOtherHeaders, value, client_.other_headers_property());
}
HRESULT ControlObject::get_Prefix(BSTR* value) {
  return Get(
      *this, kDispPrefix, value, [](BlobClient & c) -> auto& { return c.prefix(); });
}
HRESULT ControlObject::put_Prefix(BSTR value) {
  return PutText(*this, kDispPrefix, value, client_.prefix());
}
HRESULT ControlObject::get_Range(BSTR* value) {
  return Get(
      *this, kDispRange, value, [](BlobClient & c) -> auto& { return c.range(); });
}
HRESULT ControlObject::put_Range(BSTR value) {
  return PutText(*this, kDispRange, value,
                 [](BlobClient& c, ByteString& text) { return c.SetRangeText(text.c_str()); });
}
HRESULT ControlObject::get_Snapshot(BSTR* value) {
  return Get(
      *this, kDispSnapshot, value, [](BlobClient & c) -> auto& { return c.snapshot(); });
}
HRESULT ControlObject::put_Snapshot(BSTR value) {
  return PutText(*this, kDispSnapshot, value, client_.snapshot());
}

// ---- The client's switches and numbers ----

HRESULT ControlObject::get_EncryptionAlgorithm(LONG* value) {
  return Get(*this, kDispEncryptionAlgorithm, value,
             [](BlobClient& c) { return c.encryption_algorithm(); });
}
HRESULT ControlObject::put_EncryptionAlgorithm(LONG value) {
  return PutEnum(*this, kDispEncryptionAlgorithm, value, kEnumLimit,
                 [value](BlobClient& c) { return StoreEncryptionAlgorithm(c, value); });
}
HRESULT ControlObject::get_Overwrite(VARIANT_BOOL* value) {
  return Get(*this, kDispOverwrite, value, [](BlobClient& c) { return c.overwrite(); });
}
HRESULT ControlObject::put_Overwrite(VARIANT_BOOL value) {
  client_.set_overwrite(value != 0);
  return win::S_OK;
}
HRESULT ControlObject::get_UseSSL(VARIANT_BOOL* value) {
  return Get(*this, kDispUseSSL, value, [](BlobClient& c) { return c.use_ssl(); });
}
HRESULT ControlObject::put_UseSSL(VARIANT_BOOL value) {
  client_.set_use_ssl(value != 0);
  return win::S_OK;
}
HRESULT ControlObject::get_StartByte(VARIANT* value) {
  return Get(*this, kDispStartByte, value, [](BlobClient& c) { return c.start_byte(); });
}
// A value that is no whole number fails with E_INVALIDARG; a failed copy with its own result.
HRESULT ControlObject::put_StartByte(VARIANT value) {
  int64_t offset = 0;
  const HRESULT hr = Int64FromVariant(value, &offset);
  if (hr == win::DISP_E_TYPEMISMATCH || hr == win::DISP_E_OVERFLOW) return win::E_INVALIDARG;
  if (hr != win::S_OK) return hr;
  client_.set_start_byte(offset < 0 ? 0 : offset);
  return win::S_OK;
}
HRESULT ControlObject::get_Idle(VARIANT_BOOL* value) {
  return Get(*this, kDispIdle, value, [](BlobClient& c) { return !c.busy(); });
}
HRESULT ControlObject::put_Idle(VARIANT_BOOL) { return ReadOnly(kDispIdle); }

// ---- Local file and host ----

// The UTF-16 name as given; a name held in 8-bit form reads in the client's code page, and one
// that does not convert reads as empty.
HRESULT ControlObject::get_LocalFile(BSTR* value) {
  HRESULT hr;
  if (!BeginGet(*this, kDispLocalFile, value, &hr)) return hr;
  const FilePath& path = client_.caller_local_file();
  if (path.is_wide()) {
    *value = win::SysAllocString(path.wide());
  } else if (BstrFromBytes(path.narrow(), -1, client_.GetCodePage(), value) != win::S_OK) {
    *value = nullptr;
  }
  if (*value == nullptr) *value = win::SysAllocString(u"");
  return *value != nullptr ? win::S_OK : win::E_OUTOFMEMORY;
}
HRESULT ControlObject::put_LocalFile(BSTR value) {
  return Report(client_, kDispLocalFile,
                client_.SetCallerLocalFileWide(value != nullptr ? value : u""));
}
HRESULT ControlObject::get_LocalHost(BSTR* value) {
  return Get(*this, kDispLocalHost, value, [](BlobClient& c) { return c.GetLocalAddress(); });
}
HRESULT ControlObject::put_LocalHost(BSTR value) {
  return PutText(*this, kDispLocalHost, value,
                 [](BlobClient& c, ByteString& text) { return c.SetLocalHost(text.c_str()); });
}

// ---- Firewall ----

HRESULT ControlObject::get_FirewallAutoDetect(VARIANT_BOOL* value) {
  return Get(*this, kDispFirewallAutoDetect, value,
             [](BlobClient& c) { return c.tunnel().firewall_auto_detect(); });
}
HRESULT ControlObject::put_FirewallAutoDetect(VARIANT_BOOL value) {
  return PutValue(*this, kDispFirewallAutoDetect, [value](BlobClient& c) {
    return WithResolverText(c, c.tunnel().SetFirewallAutoDetect(value != 0));
  });
}
HRESULT ControlObject::get_FirewallType(LONG* value) {
  return Get(*this, kDispFirewallType, value,
             [](BlobClient& c) { return int32_t{c.tunnel().firewall_type()}; });
}
HRESULT ControlObject::put_FirewallType(LONG value) {
  return PutEnum(*this, kDispFirewallType, value, kEnumLimit, [value](BlobClient& c) {
    c.tunnel().SetFirewallType(value);
    return kOk;
  });
}
HRESULT ControlObject::get_FirewallHost(BSTR* value) {
  return Get(*this, kDispFirewallHost, value,
             [](BlobClient& c) { return c.tunnel().FirewallHostText(); });
}
HRESULT ControlObject::put_FirewallHost(BSTR value) {
  return PutText(*this, kDispFirewallHost, value, [](BlobClient& c, ByteString& text) {
    return WithResolverText(c, c.tunnel().SetFirewallHost(text.c_str()));
  });
}
HRESULT ControlObject::get_FirewallPassword(BSTR* value) {
  return Get(
      *this, kDispFirewallPassword, value,
      [](BlobClient & c) -> auto& { return c.tunnel().firewall_password(); });
}
HRESULT ControlObject::put_FirewallPassword(BSTR value) {
  return PutText(*this, kDispFirewallPassword, value, [](BlobClient& c, ByteString& text) {
    return c.tunnel().SetFirewallPassword(text.c_str());
  });
}
HRESULT ControlObject::get_FirewallPort(LONG* value) {
  return Get(*this, kDispFirewallPort, value,
             [](BlobClient& c) { return c.tunnel().firewall_port(); });
}
HRESULT ControlObject::put_FirewallPort(LONG value) {
  client_.tunnel().SetFirewallPort(value);
  return win::S_OK;
}
HRESULT ControlObject::get_FirewallUser(BSTR* value) {
  return Get(
      *this, kDispFirewallUser, value,
      [](BlobClient & c) -> auto& { return c.tunnel().firewall_user(); });
}
HRESULT ControlObject::put_FirewallUser(BSTR value) {
  return PutText(*this, kDispFirewallUser, value, [](BlobClient& c, ByteString& text) {
    return c.tunnel().SetFirewallUser(text.c_str());
  });
}

// ---- Proxy ----

HRESULT ControlObject::get_ProxyAuthScheme(LONG* value) {
  return Get(*this, kDispProxyAuthScheme, value,
             [](BlobClient& c) { return c.proxy_auth_scheme(); });
}
HRESULT ControlObject::put_ProxyAuthScheme(LONG value) {
  return PutEnum(*this, kDispProxyAuthScheme, value, kEnumLimit,
                 [value](BlobClient& c) { return c.SetProxyAuthScheme(value); });
}
HRESULT ControlObject::get_ProxyAutoDetect(VARIANT_BOOL* value) {
  return Get(*this, kDispProxyAutoDetect, value,
             [](BlobClient& c) { return c.GetProxyAutoDetect(); });
}
HRESULT ControlObject::put_ProxyAutoDetect(VARIANT_BOOL value) {
  return PutValue(*this, kDispProxyAutoDetect, [value](BlobClient& c) {
    return WithResolverText(c, c.SetProxyAutoDetect(value != 0));
  });
}
HRESULT ControlObject::get_ProxyPassword(BSTR* value) {
  return Get(
      *this, kDispProxyPassword, value, [](BlobClient & c) -> auto& { return c.proxy_password(); });
}
HRESULT ControlObject::put_ProxyPassword(BSTR value) {
  return PutText(*this, kDispProxyPassword, value,
                 [](BlobClient& c, ByteString& text) { return c.SetProxyPassword(text.c_str()); });
}
HRESULT ControlObject::get_ProxyPort(LONG* value) {
  return Get(*this, kDispProxyPort, value, [](BlobClient& c) { return c.proxy_port(); });
}
HRESULT ControlObject::put_ProxyPort(LONG value) {
  client_.set_proxy_port(value);
  return win::S_OK;
}
HRESULT ControlObject::get_ProxyServer(BSTR* value) {
  return Get(
      *this, kDispProxyServer, value, [](BlobClient & c) -> auto& { return c.proxy_server(); });
}
HRESULT ControlObject::put_ProxyServer(BSTR value) {
  return PutText(*this, kDispProxyServer, value,
                 [](BlobClient& c, ByteString& text) { return c.SetProxyServer(text.c_str()); });
}
HRESULT ControlObject::get_ProxySSL(LONG* value) {
  return Get(*this, kDispProxySSL, value, [](BlobClient& c) { return c.proxy_ssl(); });
}
HRESULT ControlObject::put_ProxySSL(LONG value) {
  return PutEnum(*this, kDispProxySSL, value, kProxySslLimit,
                 [value](BlobClient& c) { return c.SetProxySSL(value); });
}
HRESULT ControlObject::get_ProxyUser(BSTR* value) {
  return Get(
      *this, kDispProxyUser, value, [](BlobClient & c) -> auto& { return c.proxy_user(); });
}
HRESULT ControlObject::put_ProxyUser(BSTR value) {
  return PutText(*this, kDispProxyUser, value,
                 [](BlobClient& c, ByteString& text) { return c.SetProxyUser(text.c_str()); });
}

// ---- Socket ----

HRESULT ControlObject::get_Timeout(SHORT* value) {
  return Get(*this, kDispTimeout, value,
             [](BlobClient& c) { return static_cast<int32_t>(c.GetTimeout()); });
}
HRESULT ControlObject::put_Timeout(SHORT value) {
  client_.SetTimeout(static_cast<uint32_t>(static_cast<int32_t>(value)), true);
  return win::S_OK;
}

// ---- Certificates ----

HRESULT ControlObject::get_SSLAcceptServerCertEncoded(BSTR* value) {
  return GetCertText(*this, kDispSSLAcceptServerCertEncoded, value, AcceptedCert);
}
HRESULT ControlObject::put_SSLAcceptServerCertEncoded(BSTR value) {
  return PutText(*this, kDispSSLAcceptServerCertEncoded, value, StoreAcceptedServerCert);
}
HRESULT ControlObject::get_SSLCertEncoded(BSTR* value) {
  HRESULT hr;
  if (!BeginGet(*this, kDispSSLCertEncoded, value, &hr)) return hr;
  ByteString pem;
  if (int rc = SelectedCertPem(client_, pem); rc != kOk)
    return Report(client_, kDispSSLCertEncoded, rc);
  return BstrFromBytes(pem.data(), pem.length(), client_.GetCodePage(), value);
}
HRESULT ControlObject::put_SSLCertEncoded(BSTR value) {
  return PutText(*this, kDispSSLCertEncoded, value, StoreCertEncoded);
}
HRESULT ControlObject::get_SSLCertStore(BSTR* value) {
  return Get(
      *this, kDispSSLCertStore, value,
      [](BlobClient & c) -> auto& { return c.cert_store().store; });
}
HRESULT ControlObject::put_SSLCertStore(BSTR value) {
  return PutText(*this, kDispSSLCertStore, value, StoreCertStore);
}
HRESULT ControlObject::get_SSLCertStorePassword(BSTR* value) {
  return Get(
      *this, kDispSSLCertStorePassword, value,
      [](BlobClient & c) -> auto& { return c.cert_store().password; });
}
HRESULT ControlObject::put_SSLCertStorePassword(BSTR value) {
  return PutText(*this, kDispSSLCertStorePassword, value, [](BlobClient& c, ByteString& text) {
    return StoreCertStorePassword(c, text.c_str());
  });
}
HRESULT ControlObject::get_SSLCertStoreType(LONG* value) {
  return Get(*this, kDispSSLCertStoreType, value,
             [](BlobClient& c) { return c.GetSSLCertStoreType(); });
}
HRESULT ControlObject::put_SSLCertStoreType(LONG value) {
  return PutEnum(*this, kDispSSLCertStoreType, value, kEnumLimit,
                 [value](BlobClient& c) { return StoreCertStoreType(c, value); });
}
HRESULT ControlObject::get_SSLCertSubject(BSTR* value) {
  return Get(
      *this, kDispSSLCertSubject, value,
      [](BlobClient & c) -> auto& { return c.cert_store().subject; });
}
HRESULT ControlObject::put_SSLCertSubject(BSTR value) {
  return PutText(*this, kDispSSLCertSubject, value, [](BlobClient& c, ByteString& text) {
    return SelectCertSubject(c, text.c_str());
  });
}
HRESULT ControlObject::get_SSLServerCertEncoded(BSTR* value) {
  return GetCertText(*this, kDispSSLServerCertEncoded, value, ServerCert);
}
HRESULT ControlObject::put_SSLServerCertEncoded(BSTR) {
  return ReadOnly(kDispSSLServerCertEncoded);
}

// ---- Byte twins ----

HRESULT ControlObject::get_BlobDataB(VARIANT* value) {
  return GetBytes(*this, kDispBlobDataB, value, [](BlobClient& c) { return View(c.blob_data()); });
}
HRESULT ControlObject::put_BlobDataB(VARIANT value) {
  if (RequestRunning(*this)) return RefuseWhileRunning(*this, kDispBlobDataB);
  return PutBytes(*this, kDispBlobDataB, value, StoreBlobData);
}
HRESULT ControlObject::get_SSLAcceptServerCertEncodedB(VARIANT* value) {
  return GetCertBytes(*this, kDispSSLAcceptServerCertEncodedB, value, AcceptedCert);
}
HRESULT ControlObject::put_SSLAcceptServerCertEncodedB(VARIANT value) {
  return PutBytes(*this, kDispSSLAcceptServerCertEncodedB, value, StoreAcceptedServerCert);
}
HRESULT ControlObject::get_SSLCertEncodedB(VARIANT* value) {
  HRESULT hr;
  if (!BeginGet(*this, kDispSSLCertEncodedB, value, &hr)) return hr;
  ByteString pem;
  if (int rc = SelectedCertPem(client_, pem); rc != kOk)
    return Report(client_, kDispSSLCertEncodedB, rc);
  return ByteArrayFromBytes(pem.data(), pem.length(), value);
}
HRESULT ControlObject::put_SSLCertEncodedB(VARIANT value) {
  return PutBytes(*this, kDispSSLCertEncodedB, value, StoreCertEncoded);
}
HRESULT ControlObject::get_SSLCertStoreB(VARIANT* value) {
  return GetBytes(*this, kDispSSLCertStoreB, value,
                  [](BlobClient& c) { return View(c.cert_store().store); });
}
HRESULT ControlObject::put_SSLCertStoreB(VARIANT value) {
  return PutBytes(*this, kDispSSLCertStoreB, value, StoreCertStore);
}
HRESULT ControlObject::get_SSLServerCertEncodedB(VARIANT* value) {
  return GetCertBytes(*this, kDispSSLServerCertEncodedB, value, ServerCert);
}
HRESULT ControlObject::put_SSLServerCertEncodedB(VARIANT) {
  return ReadOnly(kDispSSLServerCertEncodedB);
}

// ---- Bytes of the event being fired ----

HRESULT ControlObject::get_SSLServerAuthenticationCertEncodedB(VARIANT* value) {
  return GetBytes(*this, kDispSSLServerAuthenticationCertEncodedB, value, [this](BlobClient&) {
    return TextView{static_cast<const char*>(event_cert_), event_cert_length_};
  });
}
HRESULT ControlObject::put_SSLServerAuthenticationCertEncodedB(VARIANT) {
  if (!UserMode()) {
    return Fail(kDispSSLServerAuthenticationCertEncodedB, kComErrRuntimeOnly, kHrRuntimeOnly);
  }
  return ReadOnly(kDispSSLServerAuthenticationCertEncodedB);
}
HRESULT ControlObject::get_TransferTextB(VARIANT* value) {
  return GetBytes(*this, kDispTransferTextB, value, [this](BlobClient&) {
    return TextView{static_cast<const char*>(event_text_), event_text_length_};
  });
}
HRESULT ControlObject::put_TransferTextB(VARIANT) {
  if (!UserMode()) return Fail(kDispTransferTextB, kComErrRuntimeOnly, kHrRuntimeOnly);
  return ReadOnly(kDispTransferTextB);
}

// ---- Access policies ----

HRESULT ControlObject::get_AccessPolicyCount(SHORT* value) {
  return GetCount<AccessPolicies>(*this, kDispAccessPolicyCount, value);
}
HRESULT ControlObject::put_AccessPolicyCount(SHORT value) {
  return PutCount<AccessPolicies>(*this, kDispAccessPolicyCount, value);
}
HRESULT ControlObject::get_AccessPolicyExpiryTime(LONG index, BSTR* value) {
  return GetItem<AccessPolicies>(*this, kDispAccessPolicyExpiryTime, index, value,
                                 &AccessPolicyRecord::expiry_time);
}
HRESULT ControlObject::put_AccessPolicyExpiryTime(LONG index, BSTR value) {
  return PutItemText<AccessPolicies>(*this, kDispAccessPolicyExpiryTime, index, value,
                                     &AccessPolicyRecord::expiry_time);
}
HRESULT ControlObject::get_AccessPolicyId(LONG index, BSTR* value) {
  return GetItem<AccessPolicies>(*this, kDispAccessPolicyId, index, value, &AccessPolicyRecord::id);
}
HRESULT ControlObject::put_AccessPolicyId(LONG index, BSTR value) {
  return PutItemText<AccessPolicies>(*this, kDispAccessPolicyId, index, value,
                                     &AccessPolicyRecord::id);
}
HRESULT ControlObject::get_AccessPolicyPermissions(LONG index, BSTR* value) {
  return GetItem<AccessPolicies>(*this, kDispAccessPolicyPermissions, index, value,
                                 &AccessPolicyRecord::permissions);
}
HRESULT ControlObject::put_AccessPolicyPermissions(LONG index, BSTR value) {
  return PutItemText<AccessPolicies>(*this, kDispAccessPolicyPermissions, index, value,
                                     &AccessPolicyRecord::permissions);
}
HRESULT ControlObject::get_AccessPolicyStartTime(LONG index, BSTR* value) {
  return GetItem<AccessPolicies>(*this, kDispAccessPolicyStartTime, index, value,
                                 &AccessPolicyRecord::start_time);
}
HRESULT ControlObject::put_AccessPolicyStartTime(LONG index, BSTR value) {
  return PutItemText<AccessPolicies>(*this, kDispAccessPolicyStartTime, index, value,
                                     &AccessPolicyRecord::start_time);
}

// ---- Blobs ----

HRESULT ControlObject::get_BlobCount(SHORT* value) {
  return GetCount<Blobs>(*this, kDispBlobCount, value);
}
HRESULT ControlObject::put_BlobCount(SHORT value) {
  return PutCount<Blobs>(*this, kDispBlobCount, value);
}
HRESULT ControlObject::get_BlobContainer(LONG index, BSTR* value) {
  return GetItem<Blobs>(*this, kDispBlobContainer, index, value, &BlobRecord::container);
}
HRESULT ControlObject::put_BlobContainer(LONG, BSTR) { return ReadOnly(kDispBlobContainer); }
HRESULT ControlObject::get_BlobContentDisposition(LONG index, BSTR* value) {
  return GetItem<Blobs>(*this, kDispBlobContentDisposition, index, value,
                        &BlobRecord::content_disposition);
}
HRESULT ControlObject::put_BlobContentDisposition(LONG index, BSTR value) {
  return PutItemText<Blobs>(*this, kDispBlobContentDisposition, index, value,
                            &BlobRecord::content_disposition);
}
HRESULT ControlObject::get_BlobContentEncoding(LONG index, BSTR* value) {
  return GetItem<Blobs>(*this, kDispBlobContentEncoding, index, value,
                        &BlobRecord::content_encoding);
}
HRESULT ControlObject::put_BlobContentEncoding(LONG index, BSTR value) {
  return PutItemText<Blobs>(*this, kDispBlobContentEncoding, index, value,
                            &BlobRecord::content_encoding);
}
HRESULT ControlObject::get_BlobContentLength(LONG index, VARIANT* value) {
  return GetItem<Blobs>(*this, kDispBlobContentLength, index, value, &BlobRecord::content_length);
}
HRESULT ControlObject::put_BlobContentLength(LONG, VARIANT) {
  return ReadOnly(kDispBlobContentLength);
}
HRESULT ControlObject::get_BlobContentMD5(LONG index, BSTR* value) {
  return GetItem<Blobs>(*this, kDispBlobContentMD5, index, value, &BlobRecord::content_md5);
}
HRESULT ControlObject::put_BlobContentMD5(LONG index, BSTR value) {
  return PutItemText<Blobs>(*this, kDispBlobContentMD5, index, value, &BlobRecord::content_md5);
}
HRESULT ControlObject::get_BlobContentType(LONG index, BSTR* value) {
  return GetItem<Blobs>(*this, kDispBlobContentType, index, value, &BlobRecord::content_type);
}
HRESULT ControlObject::put_BlobContentType(LONG index, BSTR value) {
  return PutItemText<Blobs>(*this, kDispBlobContentType, index, value, &BlobRecord::content_type);
}
HRESULT ControlObject::get_BlobCreatedTime(LONG index, BSTR* value) {
  return GetItem<Blobs>(*this, kDispBlobCreatedTime, index, value, &BlobRecord::created_time);
}
HRESULT ControlObject::put_BlobCreatedTime(LONG, BSTR) { return ReadOnly(kDispBlobCreatedTime); }
HRESULT ControlObject::get_BlobETag(LONG index, BSTR* value) {
  return GetItem<Blobs>(*this, kDispBlobETag, index, value, &BlobRecord::etag);
}
HRESULT ControlObject::put_BlobETag(LONG, BSTR) { return ReadOnly(kDispBlobETag); }
HRESULT ControlObject::get_BlobIsLeased(LONG index, VARIANT_BOOL* value) {
  return GetItem<Blobs>(*this, kDispBlobIsLeased, index, value, &BlobRecord::is_leased);
}
HRESULT ControlObject::put_BlobIsLeased(LONG, VARIANT_BOOL) { return ReadOnly(kDispBlobIsLeased); }
HRESULT ControlObject::get_BlobIsLeaseInfinite(LONG index, VARIANT_BOOL* value) {
  return GetItem<Blobs>(*this, kDispBlobIsLeaseInfinite, index, value,
                        &BlobRecord::is_lease_infinite);
}
HRESULT ControlObject::put_BlobIsLeaseInfinite(LONG, VARIANT_BOOL) {
  return ReadOnly(kDispBlobIsLeaseInfinite);
}
HRESULT ControlObject::get_BlobLeaseState(LONG index, LONG* value) {
  return GetItem<Blobs>(*this, kDispBlobLeaseState, index, value, &BlobRecord::lease_state);
}
HRESULT ControlObject::put_BlobLeaseState(LONG, LONG) { return ReadOnly(kDispBlobLeaseState); }
HRESULT ControlObject::get_BlobModifiedTime(LONG index, BSTR* value) {
  return GetItem<Blobs>(*this, kDispBlobModifiedTime, index, value, &BlobRecord::modified_time);
}
HRESULT ControlObject::put_BlobModifiedTime(LONG, BSTR) { return ReadOnly(kDispBlobModifiedTime); }
HRESULT ControlObject::get_BlobName(LONG index, BSTR* value) {
  return GetItem<Blobs>(*this, kDispBlobName, index, value, &BlobRecord::name);
}
HRESULT ControlObject::put_BlobName(LONG index, BSTR value) {
  return PutItemText<Blobs>(*this, kDispBlobName, index, value, &BlobRecord::name);
}
HRESULT ControlObject::get_BlobSequenceNum(LONG index, VARIANT* value) {
  return GetItem<Blobs>(*this, kDispBlobSequenceNum, index, value, &BlobRecord::sequence_num);
}
HRESULT ControlObject::put_BlobSequenceNum(LONG, VARIANT) { return ReadOnly(kDispBlobSequenceNum); }
HRESULT ControlObject::get_BlobSnapshot(LONG index, BSTR* value) {
  return GetItem<Blobs>(*this, kDispBlobSnapshot, index, value, &BlobRecord::snapshot);
}
HRESULT ControlObject::put_BlobSnapshot(LONG, BSTR) { return ReadOnly(kDispBlobSnapshot); }
HRESULT ControlObject::get_BlobSoftDeleted(LONG index, VARIANT_BOOL* value) {
  return GetItem<Blobs>(*this, kDispBlobSoftDeleted, index, value, &BlobRecord::soft_deleted);
}
HRESULT ControlObject::put_BlobSoftDeleted(LONG, VARIANT_BOOL) {
  return ReadOnly(kDispBlobSoftDeleted);
}
HRESULT ControlObject::get_BlobType(LONG index, LONG* value) {
  return GetItem<Blobs>(*this, kDispBlobType, index, value, &BlobRecord::blob_type);
}
HRESULT ControlObject::put_BlobType(LONG, LONG) { return ReadOnly(kDispBlobType); }

// ---- Blocks ----

HRESULT ControlObject::get_BlockCount(LONG* value) {
  return GetCount<Blocks>(*this, kDispBlockCount, value);
}
HRESULT ControlObject::put_BlockCount(LONG value) {
  return PutCount<Blocks>(*this, kDispBlockCount, value);
}
HRESULT ControlObject::get_BlockId(LONG index, BSTR* value) {
  return GetItem<Blocks>(*this, kDispBlockId, index, value, &BlockRecord::id);
}
HRESULT ControlObject::put_BlockId(LONG index, BSTR value) {
  return PutItemText<Blocks>(*this, kDispBlockId, index, value, &BlockRecord::id);
}
HRESULT ControlObject::get_BlockSize(LONG index, LONG* value) {
  return GetItem<Blocks>(*this, kDispBlockSize, index, value, &BlockRecord::size);
}
HRESULT ControlObject::put_BlockSize(LONG, LONG) { return ReadOnly(kDispBlockSize); }
HRESULT ControlObject::get_BlockType(LONG index, LONG* value) {
  return GetItem<Blocks>(*this, kDispBlockType, index, value, &BlockRecord::block_type);
}
HRESULT ControlObject::put_BlockType(LONG index, LONG value) {
  if (static_cast<uint32_t>(value) >= kBlockTypeLimit) {
    return Fail(kDispBlockType, kComErrOutOfRange, kHrBadValue);
  }
  HRESULT hr = win::S_OK;
  if (BlockRecord* block = Item<Blocks>(*this, kDispBlockType, index, &hr)) {
    block->block_type = value;
  }
  return hr;
}

// ---- Containers ----

HRESULT ControlObject::get_ContainerCount(SHORT* value) {
  return GetCount<Containers>(*this, kDispContainerCount, value);
}
HRESULT ControlObject::put_ContainerCount(SHORT) { return ReadOnly(kDispContainerCount); }
HRESULT ControlObject::get_ContainerETag(LONG index, BSTR* value) {
  return GetItem<Containers>(*this, kDispContainerETag, index, value, &ContainerRecord::etag);
}
HRESULT ControlObject::put_ContainerETag(LONG, BSTR) { return ReadOnly(kDispContainerETag); }
HRESULT ControlObject::get_ContainerHasImmutabilityPolicy(LONG index, VARIANT_BOOL* value) {
  return GetItem<Containers>(*this, kDispContainerHasImmutabilityPolicy, index, value,
                             &ContainerRecord::has_immutability_policy);
}
HRESULT ControlObject::put_ContainerHasImmutabilityPolicy(LONG, VARIANT_BOOL) {
  return ReadOnly(kDispContainerHasImmutabilityPolicy);
}
HRESULT ControlObject::get_ContainerHasLegalHold(LONG index, VARIANT_BOOL* value) {
  return GetItem<Containers>(*this, kDispContainerHasLegalHold, index, value,
                             &ContainerRecord::has_legal_hold);
}
HRESULT ControlObject::put_ContainerHasLegalHold(LONG, VARIANT_BOOL) {
  return ReadOnly(kDispContainerHasLegalHold);
}
HRESULT ControlObject::get_ContainerIsLeased(LONG index, VARIANT_BOOL* value) {
  return GetItem<Containers>(*this, kDispContainerIsLeased, index, value,
                             &ContainerRecord::is_leased);
}
HRESULT ControlObject::put_ContainerIsLeased(LONG, VARIANT_BOOL) {
  return ReadOnly(kDispContainerIsLeased);
}
HRESULT ControlObject::get_ContainerIsLeaseInfinite(LONG index, VARIANT_BOOL* value) {
  return GetItem<Containers>(*this, kDispContainerIsLeaseInfinite, index, value,
                             &ContainerRecord::is_lease_infinite);
}
HRESULT ControlObject::put_ContainerIsLeaseInfinite(LONG, VARIANT_BOOL) {
  return ReadOnly(kDispContainerIsLeaseInfinite);
}
HRESULT ControlObject::get_ContainerLeaseState(LONG index, LONG* value) {
  return GetItem<Containers>(*this, kDispContainerLeaseState, index, value,
                             &ContainerRecord::lease_state);
}
HRESULT ControlObject::put_ContainerLeaseState(LONG, LONG) {
  return ReadOnly(kDispContainerLeaseState);
}
HRESULT ControlObject::get_ContainerModifiedTime(LONG index, BSTR* value) {
  return GetItem<Containers>(*this, kDispContainerModifiedTime, index, value,
                             &ContainerRecord::modified_time);
}
HRESULT ControlObject::put_ContainerModifiedTime(LONG, BSTR) {
  return ReadOnly(kDispContainerModifiedTime);
}
HRESULT ControlObject::get_ContainerName(LONG index, BSTR* value) {
  return GetItem<Containers>(*this, kDispContainerName, index, value, &ContainerRecord::name);
}
HRESULT ControlObject::put_ContainerName(LONG, BSTR) { return ReadOnly(kDispContainerName); }
HRESULT ControlObject::get_ContainerPublicAccess(LONG index, LONG* value) {
  return GetItem<Containers>(*this, kDispContainerPublicAccess, index, value,
                             &ContainerRecord::public_access);
}
HRESULT ControlObject::put_ContainerPublicAccess(LONG, LONG) {
  return ReadOnly(kDispContainerPublicAccess);
}

// ---- Metadata ----

HRESULT ControlObject::get_MetadataCount(SHORT* value) {
  return GetCount<Metadata>(*this, kDispMetadataCount, value);
}
HRESULT ControlObject::put_MetadataCount(SHORT value) {
  return PutCount<Metadata>(*this, kDispMetadataCount, value);
}
HRESULT ControlObject::get_MetadataName(LONG index, BSTR* value) {
  return GetItem<Metadata>(*this, kDispMetadataName, index, value, &ByteStringPair::first);
}
HRESULT ControlObject::put_MetadataName(LONG index, BSTR value) {
  return PutItemText<Metadata>(*this, kDispMetadataName, index, value, &ByteStringPair::first);
}
HRESULT ControlObject::get_MetadataValue(LONG index, BSTR* value) {
  return GetItem<Metadata>(*this, kDispMetadataValue, index, value, &ByteStringPair::second);
}
HRESULT ControlObject::put_MetadataValue(LONG index, BSTR value) {
  return PutItemText<Metadata>(*this, kDispMetadataValue, index, value, &ByteStringPair::second);
}

// ---- Page ranges ----

HRESULT ControlObject::get_PageRangeCount(LONG* value) {
  return GetCount<PageRanges>(*this, kDispPageRangeCount, value);
}
HRESULT ControlObject::put_PageRangeCount(LONG) { return ReadOnly(kDispPageRangeCount); }
HRESULT ControlObject::get_PageRangeFirst(LONG index, VARIANT* value) {
  return GetItem<PageRanges>(*this, kDispPageRangeFirst, index, value, &PageRangeRecord::first);
}
HRESULT ControlObject::put_PageRangeFirst(LONG, VARIANT) { return ReadOnly(kDispPageRangeFirst); }
HRESULT ControlObject::get_PageRangeLast(LONG index, VARIANT* value) {
  return GetItem<PageRanges>(*this, kDispPageRangeLast, index, value, &PageRangeRecord::last);
}
HRESULT ControlObject::put_PageRangeLast(LONG, VARIANT) { return ReadOnly(kDispPageRangeLast); }

// ---- Parsed response headers ----

HRESULT ControlObject::get_ParsedHeaderCount(SHORT* value) {
  return Get(*this, kDispParsedHeaderCount, value,
             [](BlobClient& c) { return c.parsed_headers().Count(); });
}
HRESULT ControlObject::put_ParsedHeaderCount(SHORT) { return ReadOnly(kDispParsedHeaderCount); }
HRESULT ControlObject::get_ParsedHeaderField(LONG index, BSTR* value) {
  return GetParsedHeader(*this, kDispParsedHeaderField, index, value, 0);
}
HRESULT ControlObject::put_ParsedHeaderField(LONG, BSTR) {
  return ReadOnly(kDispParsedHeaderField);
}
HRESULT ControlObject::get_ParsedHeaderValue(LONG index, BSTR* value) {
  return GetParsedHeader(*this, kDispParsedHeaderValue, index, value, 1);
}
HRESULT ControlObject::put_ParsedHeaderValue(LONG, BSTR) {
  return ReadOnly(kDispParsedHeaderValue);
}

// ---- Query parameters ----

HRESULT ControlObject::get_QueryParamCount(SHORT* value) {
  return GetCount<QueryParams>(*this, kDispQueryParamCount, value);
}
HRESULT ControlObject::put_QueryParamCount(SHORT value) {
  return PutCount<QueryParams>(*this, kDispQueryParamCount, value);
}
HRESULT ControlObject::get_QueryParamName(LONG index, BSTR* value) {
  return GetItem<QueryParams>(*this, kDispQueryParamName, index, value, &ByteStringPair::first);
}
HRESULT ControlObject::put_QueryParamName(LONG index, BSTR value) {
  return PutItemText<QueryParams>(*this, kDispQueryParamName, index, value, &ByteStringPair::first);
}
HRESULT ControlObject::get_QueryParamValue(LONG index, BSTR* value) {
  return GetItem<QueryParams>(*this, kDispQueryParamValue, index, value, &ByteStringPair::second);
}
HRESULT ControlObject::put_QueryParamValue(LONG index, BSTR value) {
  return PutItemText<QueryParams>(*this, kDispQueryParamValue, index, value,
                                  &ByteStringPair::second);
}

}  // namespace tw
