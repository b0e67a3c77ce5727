// secur32's NTLM, Negotiate and Kerberos packages over the GSSAPI C interface (RFC 2744).
#include "platform/sspi_gssapi.h"
#include "platform/process_tables.h"

#include <strings.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace win {
namespace {

// ---- The GSSAPI C interface, as much of it as the packages call ----
using OM_uint32 = uint32_t;
struct gss_buffer_desc {
  size_t length;
  void* value;
};
struct gss_OID_desc {
  OM_uint32 length;
  void* elements;
};
using gss_OID = gss_OID_desc*;
struct gss_OID_set_desc {
  size_t count;
  gss_OID elements;
};
struct gss_channel_bindings_struct {
  OM_uint32 initiator_addrtype;
  gss_buffer_desc initiator_address;
  OM_uint32 acceptor_addrtype;
  gss_buffer_desc acceptor_address;
  gss_buffer_desc application_data;
};
using gss_name_t = void*;
using gss_cred_id_t = void*;
using gss_ctx_id_t = void*;

constexpr OM_uint32 kGssComplete = 0;
constexpr OM_uint32 kGssContinueNeeded = 1;
constexpr OM_uint32 kGssInitiate = 1;
constexpr OM_uint32 kGssIndefinite = 0xFFFFFFFFu;
constexpr int kGssGssCode = 1;
constexpr int kGssMechCode = 2;
constexpr OM_uint32 kGssRoutineErrorMask = 0xFFu << 16;

struct GssApi {
  HMODULE module = nullptr;
  OM_uint32 (*import_name)(OM_uint32*, gss_buffer_desc*, gss_OID, gss_name_t*) = nullptr;
  OM_uint32 (*release_name)(OM_uint32*, gss_name_t*) = nullptr;
  OM_uint32 (*acquire_cred)(OM_uint32*, gss_name_t, OM_uint32, gss_OID_set_desc*, int,
                            gss_cred_id_t*, gss_OID_set_desc**, OM_uint32*) = nullptr;
  OM_uint32 (*acquire_cred_with_password)(OM_uint32*, gss_name_t, gss_buffer_desc*, OM_uint32,
                                          gss_OID_set_desc*, int, gss_cred_id_t*,
                                          gss_OID_set_desc**, OM_uint32*) = nullptr;
  OM_uint32 (*release_cred)(OM_uint32*, gss_cred_id_t*) = nullptr;
  OM_uint32 (*init_sec_context)(OM_uint32*, gss_cred_id_t, gss_ctx_id_t*, gss_name_t, gss_OID,
                                OM_uint32, OM_uint32, gss_channel_bindings_struct*,
                                gss_buffer_desc*, gss_OID*, gss_buffer_desc*, OM_uint32*,
                                OM_uint32*) = nullptr;
  OM_uint32 (*delete_sec_context)(OM_uint32*, gss_ctx_id_t*, gss_buffer_desc*) = nullptr;
  OM_uint32 (*release_buffer)(OM_uint32*, gss_buffer_desc*) = nullptr;
  OM_uint32 (*display_status)(OM_uint32*, OM_uint32, int, gss_OID, OM_uint32*,
                              gss_buffer_desc*) = nullptr;
  gss_OID* nt_user_name = nullptr;
  gss_OID* nt_hostbased_service = nullptr;
};

// Mechanisms by package name: the DER bodies of their object identifiers.
struct Package {
  const char* name;
  const char* oid;
  OM_uint32 oid_length;
};
constexpr Package kPackages[] = {
    {"NTLM", "\x2b\x06\x01\x04\x01\x82\x37\x02\x02\x0a", 10},
    {"Negotiate", "\x2b\x06\x01\x05\x05\x02", 6},
    {"Kerberos", "\x2a\x86\x48\x86\xf7\x12\x01\x02\x02", 9},
};

// Major routine errors to the statuses callers of secur32 know.
struct StatusMap {
  OM_uint32 routine;
  SECURITY_STATUS status;
};
constexpr StatusMap kStatuses[] = {
    {1u << 16, SEC_E_SECPKG_NOT_FOUND},  {2u << 16, SEC_E_TARGET_UNKNOWN},
    {7u << 16, SEC_E_NO_CREDENTIALS},    {9u << 16, SEC_E_INVALID_TOKEN},
    {10u << 16, SEC_E_LOGON_DENIED},     {11u << 16, SEC_E_LOGON_DENIED},
    {12u << 16, SEC_E_INVALID_HANDLE},   {13u << 16, SEC_E_INTERNAL_ERROR},
};

struct Credential {
  gss_cred_id_t cred = nullptr;
  const Package* package = nullptr;
  // An explicit identity is only tried at the first context step, as the platform does: the
  // handle is granted whatever the user and password are.
  bool pending = false;
  bool placeholder = false;  // acquired for an NTLM negotiate message only (see AcquireIdentity)
  std::string user;
  std::string password;
  ~Credential() { explicit_bzero(password.data(), password.size()); }
};
struct Context {
  gss_ctx_id_t ctx = nullptr;
  const Package* package = nullptr;
};

struct Registry {
  std::mutex lock;
  GssApi api;
  bool tried = false;
  uintptr_t next_id = 1;
  std::map<uintptr_t, std::unique_ptr<Credential>> credentials;
  std::map<uintptr_t, std::unique_ptr<Context>> contexts;
};
Registry& Reg() {
  static Registry* r = KeepProcessTable(new Registry);
  return *r;
}

thread_local std::string t_status_text;

template <class F>
bool Bind(HMODULE m, const char* name, F* out) {
  *out = reinterpret_cast<F>(GetProcAddress(m, name));
  return *out != nullptr;
}

// Caller holds the lock.
const GssApi* Api() {
  Registry& r = Reg();
  if (r.api.module != nullptr) return &r.api;
  GssApi a;
  a.module = LoadLibraryA(kGssapiName);
  if (a.module == nullptr) return nullptr;
  FARPROC user = nullptr, hostbased = nullptr;
  const bool ok = Bind(a.module, "gss_import_name", &a.import_name) &&
                  Bind(a.module, "gss_release_name", &a.release_name) &&
                  Bind(a.module, "gss_acquire_cred", &a.acquire_cred) &&
                  Bind(a.module, "gss_acquire_cred_with_password", &a.acquire_cred_with_password) &&
                  Bind(a.module, "gss_release_cred", &a.release_cred) &&
                  Bind(a.module, "gss_init_sec_context", &a.init_sec_context) &&
                  Bind(a.module, "gss_delete_sec_context", &a.delete_sec_context) &&
                  Bind(a.module, "gss_release_buffer", &a.release_buffer) &&
                  Bind(a.module, "gss_display_status", &a.display_status) &&
                  Bind(a.module, "GSS_C_NT_USER_NAME", &user) &&
                  Bind(a.module, "GSS_C_NT_HOSTBASED_SERVICE", &hostbased);
  if (!ok) {
    FreeLibrary(a.module);
    return nullptr;
  }
  a.nt_user_name = reinterpret_cast<gss_OID*>(user);
  a.nt_hostbased_service = reinterpret_cast<gss_OID*>(hostbased);
  r.api = a;
  return &r.api;
}

const Package* FindPackage(const char* name) {
  if (name == nullptr) return nullptr;
  for (const Package& p : kPackages) {
    if (strcasecmp(p.name, name) == 0) return &p;
  }
  return nullptr;
}

gss_OID_desc MechOid(const Package* p) {
  return gss_OID_desc{p->oid_length, const_cast<char*>(p->oid)};
}

// Keeps the library's description of a failure for GssLastStatusText and maps the status.
SECURITY_STATUS Failure(const GssApi& api, OM_uint32 major, OM_uint32 minor, const Package* p) {
  t_status_text.clear();
  gss_OID_desc mech = MechOid(p);
  for (int kind : {kGssGssCode, kGssMechCode}) {
    OM_uint32 context = 0, m = 0;
    do {
      gss_buffer_desc text{0, nullptr};
      if (api.display_status(&m, kind == kGssGssCode ? major : minor, kind, &mech, &context,
                             &text) != kGssComplete) {
        break;
      }
      if (!t_status_text.empty()) t_status_text += ": ";
      t_status_text.append(static_cast<const char*>(text.value), text.length);
      api.release_buffer(&m, &text);
    } while (context != 0);
    if (minor == 0) break;
  }
  for (const StatusMap& s : kStatuses) {
    if ((major & kGssRoutineErrorMask) == s.routine) return s.status;
  }
  return SEC_E_INTERNAL_ERROR;
}

std::string Text(const unsigned char* p, uint32_t n) {
  return p != nullptr ? std::string(reinterpret_cast<const char*>(p), n) : std::string();
}

// "service/host" (an SPN) becomes the host-based name "service@host"; a bare host is
// "host@host" (NTLM ignores the target).
std::string HostBasedName(const char* target) {
  std::string t = target != nullptr ? target : "";
  const size_t slash = t.find('/');
  if (slash != std::string::npos) return t.substr(0, slash) + "@" + t.substr(slash + 1);
  return "host@" + t;
}

SecBuffer* FindBuffer(SecBufferDesc* desc, uint32_t type) {
  if (desc == nullptr || desc->pBuffers == nullptr) return nullptr;
  for (uint32_t i = 0; i < desc->cBuffers; ++i) {
    if ((desc->pBuffers[i].BufferType & 0xFFF) == type) return &desc->pBuffers[i];
  }
  return nullptr;
}

// The application data of a SEC_CHANNEL_BINDINGS buffer, bounded by the buffer.
bool ReadBindings(const SecBuffer& b, gss_channel_bindings_struct* out) {
  if (b.pvBuffer == nullptr || b.cbBuffer < sizeof(SEC_CHANNEL_BINDINGS)) return false;
  SEC_CHANNEL_BINDINGS h;
  std::memcpy(&h, b.pvBuffer, sizeof h);
  if (h.dwApplicationDataOffset > b.cbBuffer ||
      h.cbApplicationDataLength > b.cbBuffer - h.dwApplicationDataOffset) {
    return false;
  }
  *out = gss_channel_bindings_struct{};
  out->application_data.length = h.cbApplicationDataLength;
  out->application_data.value = static_cast<uint8_t*>(b.pvBuffer) + h.dwApplicationDataOffset;
  return true;
}

// The system's NTLM mechanism crashes on a CHALLENGE that carries target information but an
// empty target name, so such a message is refused before it reaches the library.
bool NtlmChallengeUnreadable(const Package* p, const gss_buffer_desc& in) {
  if (p != &kPackages[0] || in.length < 48) return false;
  const auto* m = static_cast<const uint8_t*>(in.value);
  if (std::memcmp(m, "NTLMSSP", 8) != 0 || m[8] != 2) return false;
  const uint32_t name_length = m[12] | m[13] << 8;
  const uint32_t flags = m[20] | m[21] << 8 | m[22] << 16 | static_cast<uint32_t>(m[23]) << 24;
  return name_length == 0 && (flags & 0x800000) != 0;
}

// The credential of an identity kept by GssAcquireCredentialsHandle; a wrong user or password
// fails here, at the exchange.
SECURITY_STATUS AcquireIdentity(const GssApi& api, Credential* c) {
  gss_OID_desc mech = MechOid(c->package);
  gss_OID_set_desc mechs{1, &mech};
  OM_uint32 minor = 0, m = 0;
  // The NTLM negotiate message carries no secret, so the platform makes it whatever the identity
  // holds. GSS refuses an empty name or password: the negotiate message is then made with a
  // stand-in, and an answer from that credential is refused.
  c->placeholder = c->package == &kPackages[0] && (c->user.empty() || c->password.empty());
  std::string user = c->placeholder && c->user.empty() ? "-" : c->user;
  std::string password = c->placeholder ? "-" : c->password;
  gss_buffer_desc name_text{user.size(), user.data()};
  gss_name_t name = nullptr;
  OM_uint32 major = api.import_name(&minor, &name_text, *api.nt_user_name, &name);
  if (major == kGssComplete) {
    gss_buffer_desc secret{password.size(), password.data()};
    major = api.acquire_cred_with_password(&minor, name, &secret, kGssIndefinite, &mechs, kGssInitiate,
                                           &c->cred, nullptr, nullptr);
    api.release_name(&m, &name);
  }
  if (major != kGssComplete) return Failure(api, major, minor, c->package);
  c->pending = false;
  explicit_bzero(c->password.data(), c->password.size());
  c->password.clear();
  return SEC_E_OK;
}

}  // namespace

bool IsGssPackage(const char* package) { return FindPackage(package) != nullptr; }

bool GssAvailable() {
  std::lock_guard<std::mutex> guard(Reg().lock);
  return Api() != nullptr;
}

const char* GssLastStatusText() { return t_status_text.c_str(); }

SECURITY_STATUS GssAcquireCredentialsHandle(const char* package, uint32_t use, void* auth_data,
                                            CredHandle* credential, TimeStamp* expiry) {
  t_status_text.clear();
  if (credential == nullptr) return SEC_E_INVALID_PARAMETER;
  const Package* p = FindPackage(package);
  if (p == nullptr) return SEC_E_SECPKG_NOT_FOUND;
  // Only the client side is stood in for.
  if (use != SECPKG_CRED_OUTBOUND) return SEC_E_UNSUPPORTED_FUNCTION;
  std::lock_guard<std::mutex> guard(Reg().lock);
  const GssApi* api = Api();
  if (api == nullptr) return SEC_E_SECPKG_NOT_FOUND;
  gss_OID_desc mech = MechOid(p);
  gss_OID_set_desc mechs{1, &mech};
  OM_uint32 minor = 0, major;
  gss_cred_id_t cred = nullptr;
  const auto* id = static_cast<const SEC_WINNT_AUTH_IDENTITY_A*>(auth_data);
  if (id == nullptr) {
    major = api->acquire_cred(&minor, nullptr, kGssIndefinite, &mechs, kGssInitiate, &cred,
                              nullptr, nullptr);
    if (major != kGssComplete) return Failure(*api, major, minor, p);
  }
  auto c = std::make_unique<Credential>();
  c->cred = cred;
  c->package = p;
  if (id != nullptr) {
    // GSSAPI names a user "DOMAIN\user" for NTLM and "user@REALM" for Kerberos.
    c->user = Text(id->User, id->UserLength);
    const std::string domain = Text(id->Domain, id->DomainLength);
    if (!domain.empty()) c->user = p == &kPackages[0] ? domain + "\\" + c->user : c->user + "@" + domain;
    c->password = Text(id->Password, id->PasswordLength);
    c->pending = true;
  }
  const uintptr_t handle = Reg().next_id++;
  Reg().credentials[handle] = std::move(c);
  *credential = CredHandle{handle, kGssHandleTag};
  if (expiry != nullptr) *expiry = INT64_MAX;
  return SEC_E_OK;
}

SECURITY_STATUS GssFreeCredentialsHandle(CredHandle* credential) {
  std::lock_guard<std::mutex> guard(Reg().lock);
  if (!IsGssHandle(credential)) return SEC_E_INVALID_HANDLE;
  auto it = Reg().credentials.find(credential->dwLower);
  if (it == Reg().credentials.end()) return SEC_E_INVALID_HANDLE;
  OM_uint32 minor = 0;
  if (it->second->cred != nullptr) Reg().api.release_cred(&minor, &it->second->cred);
  Reg().credentials.erase(it);
  return SEC_E_OK;
}

SECURITY_STATUS GssInitializeSecurityContext(CredHandle* credential, CtxtHandle* context,
                                             const char* target, SecBufferDesc* input,
                                             CtxtHandle* new_context, SecBufferDesc* output) {
  t_status_text.clear();
  std::lock_guard<std::mutex> guard(Reg().lock);
  Registry& r = Reg();
  if (!IsGssHandle(credential)) return SEC_E_INVALID_HANDLE;
  auto cit = r.credentials.find(credential->dwLower);
  if (cit == r.credentials.end()) return SEC_E_INVALID_HANDLE;
  SecBuffer* out = FindBuffer(output, SECBUFFER_TOKEN);
  if (out == nullptr || new_context == nullptr) return SEC_E_INVALID_PARAMETER;
  const bool answering = context != nullptr && (context->dwLower != 0 || context->dwUpper != 0);
  if (cit->second->placeholder && answering) {
    t_status_text = "The NTLM answer needs a user name and a password.";
    return SEC_E_LOGON_DENIED;
  }
  if (cit->second->pending) {
    const SECURITY_STATUS acquired = AcquireIdentity(r.api, cit->second.get());
    if (acquired != SEC_E_OK) return acquired;
  }
  Context* ctx = nullptr;
  std::unique_ptr<Context> fresh;
  if (context != nullptr && (context->dwLower != 0 || context->dwUpper != 0)) {
    if (!IsGssHandle(context)) return SEC_E_INVALID_HANDLE;
    auto it = r.contexts.find(context->dwLower);
    if (it == r.contexts.end()) return SEC_E_INVALID_HANDLE;
    ctx = it->second.get();
  } else {
    fresh = std::make_unique<Context>();
    fresh->package = cit->second->package;
    ctx = fresh.get();
  }
  const GssApi& api = r.api;
  const Package* p = ctx->package;
  OM_uint32 minor = 0, m = 0;
  const std::string service = HostBasedName(target);
  gss_buffer_desc name_text{service.size(), const_cast<char*>(service.data())};
  gss_name_t name = nullptr;
  OM_uint32 major = api.import_name(&minor, &name_text, *api.nt_hostbased_service, &name);
  if (major != kGssComplete) return Failure(api, major, minor, p);
  gss_buffer_desc in{0, nullptr};
  if (SecBuffer* token = FindBuffer(input, SECBUFFER_TOKEN)) {
    in = gss_buffer_desc{token->cbBuffer, token->pvBuffer};
  }
  if (NtlmChallengeUnreadable(p, in)) {
    api.release_name(&m, &name);
    t_status_text = "The NTLM challenge has target information but no target name.";
    return SEC_E_INVALID_TOKEN;
  }
  gss_channel_bindings_struct bindings;
  gss_channel_bindings_struct* cb = nullptr;
  if (SecBuffer* b = FindBuffer(input, SECBUFFER_CHANNEL_BINDINGS)) {
    if (!ReadBindings(*b, &bindings)) {
      api.release_name(&m, &name);
      return SEC_E_INVALID_PARAMETER;
    }
    cb = &bindings;
  }
  gss_OID_desc mech = MechOid(p);
  gss_buffer_desc token_out{0, nullptr};
  gss_OID actual = nullptr;
  OM_uint32 ret_flags = 0, time_rec = 0;
  major = api.init_sec_context(&minor, cit->second->cred, &ctx->ctx, name, &mech, 0, 0, cb, &in,
                               &actual, &token_out, &ret_flags, &time_rec);
  api.release_name(&m, &name);
  if (major != kGssComplete && major != kGssContinueNeeded) {
    if (token_out.value != nullptr) api.release_buffer(&m, &token_out);
    // A failed first leg leaves no context behind.
    if (fresh != nullptr && fresh->ctx != nullptr) api.delete_sec_context(&m, &fresh->ctx, nullptr);
    return Failure(api, major, minor, p);
  }
  SECURITY_STATUS status = major == kGssContinueNeeded ? SEC_I_CONTINUE_NEEDED : SEC_E_OK;
  if (token_out.length > out->cbBuffer || out->pvBuffer == nullptr) {
    out->cbBuffer = static_cast<uint32_t>(token_out.length);
    status = SEC_E_BUFFER_TOO_SMALL;
  } else {
    if (token_out.length > 0) std::memcpy(out->pvBuffer, token_out.value, token_out.length);
    out->cbBuffer = static_cast<uint32_t>(token_out.length);
  }
  if (token_out.value != nullptr) api.release_buffer(&m, &token_out);
  if (fresh != nullptr) {
    const uintptr_t handle = r.next_id++;
    r.contexts[handle] = std::move(fresh);
    *new_context = CtxtHandle{handle, kGssHandleTag};
  } else if (new_context != context) {
    *new_context = *context;
  }
  return status;
}

SECURITY_STATUS GssDeleteSecurityContext(CtxtHandle* context) {
  std::lock_guard<std::mutex> guard(Reg().lock);
  if (!IsGssHandle(context)) return SEC_E_INVALID_HANDLE;
  auto it = Reg().contexts.find(context->dwLower);
  if (it == Reg().contexts.end()) return SEC_E_INVALID_HANDLE;
  OM_uint32 minor = 0;
  if (it->second->ctx != nullptr) Reg().api.delete_sec_context(&minor, &it->second->ctx, nullptr);
  Reg().contexts.erase(it);
  return SEC_E_OK;
}

}  // namespace win
