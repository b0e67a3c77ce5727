#include "auth/sspi_auth_context.h"

#include <cstring>

#include "auth/ntlm_context.h"
#include "platform/sspi_gssapi.h"

namespace tw {
namespace {

constexpr char kTextLibrary[] = "The security library could not be loaded";
constexpr char kTextCredentials[] = "Could not acquire security credentials (";
constexpr char kTextInitialize[] = "Could not initialize security context (";
constexpr char kTextConsume[] = "Error consuming security token (";
constexpr char kTextBindings[] = "Error querying Channel Bindings token for TLS (";
constexpr char kTextBoundary[] =
    "Error computing Authentication Token: buffer boundary exceeded.";
constexpr char kTextUnknown[] = "Unknown error.";

const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

bool HasHandle(const win::SecHandle& h) { return h.dwLower != 0 || h.dwUpper != 0; }

}  // namespace

SspiAuthContext::SspiAuthContext() { package_.SetText("NTLM"); }

SspiAuthContext::~SspiAuthContext() {
  Release();
  WipeBytes(password_.data(), static_cast<size_t>(password_.length()));
  WipeBytes(token_, sizeof token_);
  if (secur32_ != nullptr) win::FreeLibrary(secur32_);
}

const win::SecurityFunctionTableA* SspiAuthContext::Table() {
  if (secur32_ == nullptr) secur32_ = win::LoadLibraryA("secur32.dll");
  if (secur32_ == nullptr) return nullptr;
  auto init = reinterpret_cast<win::INIT_SECURITY_INTERFACE_A>(
      win::GetProcAddress(secur32_, "InitSecurityInterfaceA"));
  const win::SecurityFunctionTableA* t = init != nullptr ? init() : nullptr;
  if (t == nullptr || t->AcquireCredentialsHandleA == nullptr ||
      t->InitializeSecurityContextA == nullptr || t->DeleteSecurityContext == nullptr ||
      t->FreeCredentialsHandle == nullptr) {
    return nullptr;
  }
  return t;
}

int SspiAuthContext::Fail(int code, const char* what, win::SECURITY_STATUS status) {
  error_text_.Reset();
  error_text_.AppendText(what);
  error_text_.AppendFormat("0x%x): ", static_cast<uint32_t>(status));
  const char* message = win::GssLastStatusText();
  error_text_.AppendText(*message != '\0' ? message : kTextUnknown);
  return code;
}

void SspiAuthContext::Release() {
  const win::SecurityFunctionTableA* t = secur32_ != nullptr ? Table() : nullptr;
  if (HasHandle(context_) && t != nullptr) t->DeleteSecurityContext(&context_);
  context_ = win::CtxtHandle{};
  if (HasHandle(credentials_) && t != nullptr) t->FreeCredentialsHandle(&credentials_);
  credentials_ = win::CredHandle{};
}

int SspiAuthContext::SetCredentials(const char* package, const char* user, const char* password) {
  WipeBytes(password_.data(), static_cast<size_t>(password_.length()));
  package_.SetText(OrEmpty(package));
  password_.SetText(OrEmpty(password));
  user_.Reset();
  domain_.Reset();
  SplitDomainUser(OrEmpty(user), &domain_, &user_);
  Release();
  const win::SecurityFunctionTableA* t = Table();
  if (t == nullptr) {
    error_text_.SetText(kTextLibrary);
    return kErrSecurityLibraryMissing;
  }
  win::SEC_WINNT_AUTH_IDENTITY_A identity{};
  void* auth_data = nullptr;
  if (!user_.empty() || !password_.empty()) {
    identity.User = user_.empty() ? nullptr : user_.bytes();
    identity.UserLength = static_cast<uint32_t>(user_.length());
    identity.Domain = domain_.empty() ? nullptr : domain_.bytes();
    identity.DomainLength = static_cast<uint32_t>(domain_.length());
    identity.Password = password_.empty() ? nullptr : password_.bytes();
    identity.PasswordLength = static_cast<uint32_t>(password_.length());
    identity.Flags = win::SEC_WINNT_AUTH_IDENTITY_ANSI;
    auth_data = &identity;
  }
  win::TimeStamp expiry = 0;
  const win::SECURITY_STATUS status = t->AcquireCredentialsHandleA(
      nullptr, package_.c_str(),
      server_side_ ? win::SECPKG_CRED_INBOUND : win::SECPKG_CRED_OUTBOUND, nullptr, auth_data,
      nullptr, nullptr, &credentials_, &expiry);
  if (status != win::SEC_E_OK) {
    credentials_ = win::CredHandle{};
    return Fail(kErrSspiCredentials, kTextCredentials, status);
  }
  return kOk;
}

int SspiAuthContext::GetToken(ByteString* out, const char* scheme, const char* target,
                              const uint8_t* input, int input_length,
                              const win::CtxtHandle* tls_context, bool extended_protection) {
  if (out != nullptr) out->Reset();
  const bool first = input == nullptr || input_length <= 0;
  if (first) log_.Reset();
  log_.AppendFormat(
      "Getting authentication token (System SSPI).\r\nParameters:\r\n\tauth=\"%s\", remote "
      "host=\"%s\", user=\"%s\", domain=\"%s\", password(len)=\"%d\", server side=\"%s\", "
      "extended protection=\"%s\"\r\n",
      OrEmpty(scheme), OrEmpty(target), user_.c_str(), domain_.c_str(), password_.length(),
      server_side_ ? "True" : "False", extended_protection ? "True" : "False");
  const win::SecurityFunctionTableA* t = Table();
  if (t == nullptr) {
    error_text_.SetText(kTextLibrary);
    return kErrSecurityLibraryMissing;
  }
  // The server side is not stood in for: its entry is missing on this platform.
  if (server_side_) {
    error_text_.SetText(kTextLibrary);
    return kErrSecurityLibraryMissing;
  }
  win::SecBuffer out_buffer{kSspiTokenBufferSize, win::SECBUFFER_TOKEN, token_};
  win::SecBufferDesc out_desc{win::SECBUFFER_VERSION, 1, &out_buffer};
  uint32_t attributes = 0;
  win::TimeStamp expiry = 0;
  win::SECURITY_STATUS status;
  if (first) {
    log_.AppendText("Generating negotiate data.\r\n");
    // A context left from an earlier exchange must not carry into a new first leg.
    if (HasHandle(context_)) t->DeleteSecurityContext(&context_);
    context_ = win::CtxtHandle{};
    status = t->InitializeSecurityContextA(&credentials_, nullptr, target, 0, 0,
                                           win::SECURITY_NATIVE_DREP, nullptr, 0, &context_,
                                           &out_desc, &attributes, &expiry);
  } else {
    log_.AppendText("Input token - ");
    DescribeAuthToken(log_, input, input_length);
    log_.AppendText("Generating authentication data.\r\n");
    win::SecBuffer in_buffers[2] = {
        {static_cast<uint32_t>(input_length), win::SECBUFFER_TOKEN, const_cast<uint8_t*>(input)},
        {0, win::SECBUFFER_CHANNEL_BINDINGS, nullptr}};
    win::SecBufferDesc in_desc{win::SECBUFFER_VERSION, 1, in_buffers};
    win::SecPkgContext_Bindings bindings{};
    if (extended_protection && tls_context != nullptr && tls_context->dwLower != 0 &&
        tls_context->dwUpper != 0 && t->QueryContextAttributesA != nullptr) {
      status = t->QueryContextAttributesA(const_cast<win::CtxtHandle*>(tls_context),
                                          win::SECPKG_ATTR_ENDPOINT_BINDINGS, &bindings);
      if (status < 0) return Fail(kErrSspiConsumeToken, kTextBindings, status);
      in_buffers[1].cbBuffer = bindings.BindingsLength;
      in_buffers[1].pvBuffer = bindings.Bindings;
      in_desc.cBuffers = 2;
    }
    status = t->InitializeSecurityContextA(&credentials_, &context_, target, 0, 0,
                                           win::SECURITY_NATIVE_DREP, &in_desc, 0, &context_,
                                           &out_desc, &attributes, &expiry);
    if (bindings.Bindings != nullptr && t->FreeContextBuffer != nullptr) {
      t->FreeContextBuffer(bindings.Bindings);
    }
  }
  if (status == win::SEC_E_BUFFER_TOO_SMALL || out_buffer.cbBuffer > kSspiTokenBufferSize) {
    error_text_.SetText(kTextBoundary);
    return kErrSspiBufferExceeded;
  }
  if (status < 0) {
    return Fail(first ? kErrSspiInitialize : kErrSspiConsumeToken,
                first ? kTextInitialize : kTextConsume, status);
  }
  if ((status == win::SEC_I_CONTINUE_NEEDED || status == win::SEC_E_OK) &&
      out_buffer.cbBuffer > 0) {
    if (out != nullptr && out->Set(token_, static_cast<int>(out_buffer.cbBuffer)) != kOk) {
      return kErrOutOfMemory;
    }
    log_.AppendText("Generated token - ");
    DescribeAuthToken(log_, token_, static_cast<int>(out_buffer.cbBuffer));
  }
  log_.AppendText("\r\nFinished getting authentication token (System SSPI).\r\n");
  return kOk;
}

}  // namespace tw
