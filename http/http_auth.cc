// Authentication headers, URLs and redirects of the HTTP client.
#include <cstring>

#include "foundation/idn.h"
#include "foundation/text_conversion.h"
#include "http/http_client.h"

namespace tw {
namespace {

constexpr char kTextIdenticalRedirect[] =
    "Attempting to redirect to identical URL.  Aborting connection.";
constexpr char kTextTooManyRedirects[] = "There were too many redirects.";

int DefaultPortOf(const char* scheme) { return EqualsNoCase(scheme, "https") ? 443 : 80; }

// "Basic " and the Base64 form of user ":" password, the plain pair wiped afterwards.
int BasicValue(ByteString& out, const ShortString& user, const ShortString& password) {
  ByteString pair;
  int rc = pair.AppendString(user);
  if (rc == kOk) rc = pair.AppendByte(':');
  if (rc == kOk) rc = pair.AppendString(password);
  if (rc == kOk) rc = out.SetText("Basic ");
  if (rc == kOk) rc = Base64Encode(out, pair.data(), pair.length(), false, 0, false);
  WipeBytes(pair.data(), static_cast<size_t>(pair.length()));
  return rc;
}

}  // namespace

// ---- Authorization ----

void HttpClient::LogTokenStep() {
  LogAtLevel(kLogInfo, auth_provider().LogText().c_str(), "Info");
  LogAtLevel(kLogInfo, auth_provider().StatusText(), "Info");
}

int HttpClient::PrepareAuthorization(bool log) {
  kerberos_token_in_use_ = false;
  if (auth_scheme_ == kAuthProprietary || auth_scheme_ == kAuthOAuth) {
    if (log) LogText2("Authorization: ", authorization_.c_str(), "Info");
    return kOk;
  }
  authorization_.Reset();
  if (user_.empty() && password_.empty() && auth_scheme_ != kAuthNtlm &&
      auth_scheme_ != kAuthNegotiate) {
    if (log) LogText2("Authorization: ", "", "Info");
    return kOk;
  }
  int rc = kOk;
  // The connection's platform TLS session, if any, is what NTLM and Negotiate bind to.
  const win::CtxtHandle tls = AuthTokenProvider::TlsContextOf(GetSecurityContext());
  switch (auth_scheme_) {
    case kAuthBasic:
      if (log) LogText2("AuthScheme: ", AuthSchemeName(auth_scheme_), "Info");
      rc = BasicValue(authorization_, user_, password_);
      break;
    case kAuthDigest: {
      if (log) LogText2("AuthScheme: ", AuthSchemeName(auth_scheme_), "Info");
      server_digest_.SetCredentials(user_.c_str(), password_.c_str());
      server_digest_.SetRequest(verb_.c_str(), path_.c_str(), post_bytes(), post_length());
      if (server_digest_.BuildAuthorization(&authorization_) != kOk) {
        SetHttpError(kErrHttpProtocol, server_digest_.error_text());
        return kErrHttpProtocol;
      }
      break;
    }
    case kAuthNtlm: {
      if (log) LogText2("AuthScheme: ", AuthSchemeName(auth_scheme_), "Info");
      ByteString token;
      if (server_challenge_.empty()) {
        rc = auth_provider().SetCredentials("NTLM", user_.c_str(), password_.c_str());
        if (rc == kOk) {
          rc = auth_provider().BuildAuthToken(this, &token, "NTLM", host_.c_str(), "", &tls);
        }
      } else {
        rc = auth_provider().BuildAuthToken(this, &token, "NTLM", host_.c_str(),
                                            server_challenge_.c_str(), &tls);
      }
      LogTokenStep();
      if (rc != kOk) {
        SetErrorText(auth_provider().StatusText());
        set_error_code(rc);
        return rc;
      }
      rc = authorization_.SetText("NTLM ");
      if (rc == kOk) rc = authorization_.AppendString(token);
      break;
    }
    case kAuthNegotiate: {
      if (log) LogText2("AuthScheme: ", AuthSchemeName(auth_scheme_), "Info");
      ByteString service;
      if (!kerberos_spn_.empty()) {
        service.Assign(kerberos_spn_);
      } else {
        service.SetText("HTTP/");
        service.AppendString(host_);
      }
      ByteString token;
      if (use_internal_kerberos_ == 0 && !kerberos_.HasToken()) {
        if (server_challenge_.empty()) {
          rc = auth_provider().SetCredentials("Negotiate", user_.c_str(), password_.c_str());
          if (rc == kOk) {
            rc = auth_provider().BuildAuthToken(this, &token, "Negotiate", service.c_str(), "",
                                                &tls);
          }
          // A Kerberos token completes in one leg, so the body goes with it.
          if (rc == kOk) kerberos_token_in_use_ = AuthTokenProvider::IsKerberosToken(token.c_str());
        } else {
          rc = auth_provider().BuildAuthToken(this, &token, "Negotiate", service.c_str(),
                                              server_challenge_.c_str(), &tls);
        }
        LogTokenStep();
        if (rc != kOk) SetErrorText(auth_provider().StatusText());
      } else {
        if (!kerberos_.HasToken()) {
          kerberos_.SetPassword(password_.c_str());
          kerberos_.SetServiceName(service.c_str());
        }
        kerberos_.SetUser(user_.c_str());
        kerberos_.SetKdc(!kerberos_kdc_.empty() ? kerberos_kdc_.c_str() : host_.c_str());
        bool is_kerberos = false;
        rc = kerberos_.BuildToken(&token, &is_kerberos);
        if (rc != kOk) SetErrorText(kerberos_.error_text());
        kerberos_token_in_use_ = is_kerberos;
      }
      if (rc != kOk) {
        set_error_code(rc);
        return rc;
      }
      rc = authorization_.SetText("Negotiate ");
      if (rc == kOk) rc = authorization_.AppendString(token);
      break;
    }
    default:
      // Automatic, Values and None make no header here.
      break;
  }
  if (rc == kOk && log) LogText2("Authorization: ", authorization_.c_str(), "Info");
  return rc;
}

int HttpClient::PrepareProxyAuthorization(bool log) {
  if (proxy_auth_scheme_ == kAuthProprietary) return kOk;
  proxy_authorization_.Reset();
  LogText2Verbose("Proxy AuthScheme: ", AuthSchemeName(proxy_auth_scheme_), "Info");
  int rc = kOk;
  switch (proxy_auth_scheme_) {
    case kAuthBasic:
      if (proxy_user_.empty() && proxy_password_.empty()) return kOk;
      rc = BasicValue(proxy_authorization_, proxy_user_, proxy_password_);
      break;
    case kAuthDigest:
      if (proxy_user_.empty() && proxy_password_.empty()) return kOk;
      proxy_digest_.SetCredentials(proxy_user_.c_str(), proxy_password_.c_str());
      proxy_digest_.SetRequest(verb_.c_str(), path_.c_str(), post_bytes(), post_length());
      if (proxy_digest_.BuildAuthorization(&proxy_authorization_, false) != kOk) {
        SetHttpError(kErrHttpProtocol, proxy_digest_.error_text());
        return kErrHttpProtocol;
      }
      break;
    case kAuthNtlm: {
      if (proxy_user_.empty() && proxy_password_.empty() && proxy_challenge_.empty()) return kOk;
      ByteString token;
      if (!proxy_challenge_.empty()) {
        rc = auth_provider().BuildAuthToken(this, &token, "NTLM", proxy_server_.c_str(),
                                            proxy_challenge_.c_str());
      } else {
        rc = auth_provider().SetCredentials("NTLM", proxy_user_.c_str(), proxy_password_.c_str());
        if (rc == kOk) {
          rc = auth_provider().BuildAuthToken(this, &token, "NTLM", proxy_server_.c_str(), "");
        }
      }
      LogTokenStep();
      if (rc != kOk) {
        SetErrorText(auth_provider().StatusText());
        set_error_code(rc);
        return rc;
      }
      rc = proxy_authorization_.SetText("NTLM ");
      if (rc == kOk) rc = proxy_authorization_.AppendString(token);
      break;
    }
    default:
      break;
  }
  if (rc == kOk && log && !proxy_authorization_.empty()) {
    LogText2("Authorization: ", proxy_authorization_.c_str(), "Info");
    ByteString line;
    line.Format("Authenticating to Proxy: Server '%s' on port %d with AuthScheme %s. User:'%s', "
                "Password:'",
                proxy_server_.c_str(), static_cast<int>(proxy_port_),
                AuthSchemeName(proxy_auth_scheme_), proxy_user_.c_str());
    line.AppendRepeated(proxy_password_.length(), 'x');
    line.AppendByte('\'');
    LogAtLevel(kLogInfo, line.c_str(), "Info");
  }
  return rc;
}

// ---- URL ----

bool HttpClient::SameOrigin(const UrlParts& target) const {
  if (!target.has_authority) return true;
  const char* scheme = !target.scheme.empty() ? target.scheme.c_str() : scheme_.c_str();
  const int32_t port = target.port != 0 ? target.port : DefaultPortOf(scheme);
  return EqualsNoCase(scheme, scheme_.c_str()) && EqualsNoCase(target.host.c_str(), host_.c_str()) &&
         port == port_;
}

void HttpClient::DropCredentialsForNewOrigin() {
  // What the first server was given is not handed to another one: the caller's Authorization
  // (bearer, SharedKey or any other), the user and password that Basic would be made from, the
  // cookies and a proxy authorization that no proxy carries.
  authorization_.Reset();
  if (auth_scheme_ == kAuthProprietary || auth_scheme_ == kAuthOAuth) auth_scheme_ = kAuthBasic;
  user_.Reset();
  WipeBytes(password_.data(), static_cast<size_t>(password_.length()));
  password_.Reset();
  if (!UsingForwardProxy()) proxy_authorization_.Reset();
  cookies_.Clear();
  http_cookies_.Reset();
}

int HttpClient::SetUrl(const char* url, bool is_redirect) {
  if (url == nullptr || *url == '\0') {
    url_.Reset();
    scheme_.SetText("http");
    host_.Reset();
    path_.Reset();
    user_.Reset();
    WipeBytes(password_.data(), static_cast<size_t>(password_.length()));
    password_.Reset();
    default_port_ = 80;
    port_ = 80;
    host_is_ipv6_ = false;
    return kOk;
  }
  UrlParts parts;
  const char* parse_error = "";
  int rc = ParseUrl(url, &parts, &parse_error);
  if (rc != kOk) {
    SetHttpError(rc, rc == kErrOutOfMemory ? "Out of memory." : parse_error);
    return rc;
  }

  // The target in full: scheme, host, port and path (a relative target merged with the path).
  ByteString scheme;
  if (!parts.scheme.empty()) {
    scheme.Assign(parts.scheme);
  } else if ((is_redirect || !parts.has_authority) && !scheme_.empty()) {
    scheme.Assign(scheme_);
  } else {
    scheme.SetText("http");
  }
  scheme.ToLower();
  ByteString host;
  bool ipv6 = host_is_ipv6_;
  int32_t port;
  if (parts.has_authority) {
    rc = HostToAscii(host, parts.host.c_str(), use_idns_ != 0);
    if (rc != kOk) {
      SetHttpError(rc, "The host name cannot be converted to its ASCII form.");
      return rc;
    }
    ipv6 = parts.ipv6;
    port = parts.port != 0 ? parts.port : DefaultPortOf(scheme.c_str());
  } else {
    host.Assign(host_);
    port = EqualsNoCase(scheme.c_str(), scheme_.c_str()) ? port_ : DefaultPortOf(scheme.c_str());
  }
  ByteString path;
  if (is_redirect && !parts.has_authority) {
    rc = MergeRelativePath(path_.c_str(), parts.path.c_str(), path);
  } else {
    rc = path.Assign(parts.path);
  }
  if (rc == kOk && path.empty()) rc = path.SetText("/");
  if (rc == kOk && (is_redirect ? encode_redirect_location_ : encode_url_)) {
    ByteString encoded;
    rc = EncodeUrlPath(path.c_str(), encode_query_string_, encoded);
    if (rc == kOk) rc = path.Assign(encoded);
  }
  if (rc != kOk) return rc;

  const bool same_server = EqualsNoCase(scheme.c_str(), scheme_.c_str()) &&
                           EqualsNoCase(host.c_str(), host_.c_str()) && port == port_;
  if (is_redirect) {
    if (!allow_identical_redirect_url_ && same_server && path.Equals(path_)) {
      expecting_response_ = false;
      Disconnect();
      SetHttpError(kErrHttpProtocol, kTextIdenticalRedirect);
      return kErrHttpProtocol;
    }
    if (redirects_left_ <= 0) {
      expecting_response_ = false;
      Disconnect();
      SetHttpError(kErrTooManyRedirects, kTextTooManyRedirects);
      return kErrTooManyRedirects;
    }
    --redirects_left_;
  } else {
    redirects_left_ = max_redirect_attempts_;
  }

  const bool host_or_port_changed = !EqualsNoCase(host.c_str(), host_.c_str()) || port != port_;
  const bool had_server = !host_.empty();
  if (!same_server) {
    expecting_response_ = false;
    Disconnect();
    server_digest_.Reset();
  } else if (reuse_digest_ == 0) {
    server_digest_.Reset();
  }
  proxy_digest_.Reset();
  server_challenge_.Reset();
  proxy_challenge_.Reset();

  if (is_redirect && !same_server && had_server) DropCredentialsForNewOrigin();

  scheme_.Assign(scheme);
  default_port_ = DefaultPortOf(scheme_.c_str());
  host_.Assign(host);
  host_is_ipv6_ = ipv6;
  port_ = port;
  path_.Assign(path);
  if (is_redirect) {
    // The absolute form of the target.
    url_.Assign(scheme_);
    url_.AppendText("://");
    AppendHostPort(url_);
    url_.AppendString(path_);
  } else {
    url_.SetText(url);
  }

  if (parts.has_user || (is_redirect && follow_redirects_ != 1)) {
    user_.Assign(parts.user);
    WipeBytes(password_.data(), static_cast<size_t>(password_.length()));
    password_.Assign(parts.password);
  }

  rc = PrepareAuthorization(false);
  if (rc == kOk && UsingForwardProxy()) rc = PrepareProxyAuthorization(false);
  server_retry_ = 0;
  proxy_retry_ = 0;
  if (!is_redirect && host_or_port_changed && !dont_clear_cookies_on_url_change_) {
    cookies_.ClearServerSet();
  }
  if (rc != kOk) {
    expecting_response_ = false;
    DisconnectKeepingError();
  }
  return rc;
}

// ---- Redirects ----

int HttpClient::FollowRedirect(int action, int* next_action) {
  *next_action = 0;
  if (follow_redirects_ == 0) return kErrHttpProtocol;
  if (status_code_ < 300 || status_code_ > 399 || status_code_ == 304 || status_code_ == 305) {
    return kErrHttpProtocol;
  }
  if (follow_redirects_ != 1 && action != kHttpActionGet && action != kHttpActionPost &&
      action != kHttpActionHead) {
    return kErrHttpProtocol;
  }
  ByteString refused;
  refused.Assign(error_text());
  ByteString location;
  location.Assign(redirect_location_);

  int accept = 0;
  if (follow_redirects_ == 1) {
    accept = 1;
  } else if (follow_redirects_ == 2) {
    UrlParts parts;
    const char* ignored = "";
    if (ParseUrl(location.c_str(), &parts, &ignored) == kOk) {
      accept = parts.scheme.empty() || EqualsNoCase(parts.scheme.c_str(), scheme_.c_str()) ? 1 : 0;
    }
  }
  int rc = SetUrl(location.c_str(), true);
  if (rc != kOk) return rc;
  FireRedirect(location.c_str(), &accept);
  if (accept == 0) {
    SetHttpError(kErrHttpProtocol, refused.c_str());
    return kErrHttpProtocol;
  }
  DrainPendingMessages(10);
  int next = action;
  if (action == kHttpActionPost &&
      (status_code_ == 303 || (status_code_ == 302 && get_on_302_redirect_ != 0))) {
    next = kHttpActionGet;
    if (upload_stream_ != nullptr) {
      if (close_stream_after_transfer()) upload_stream_->Close();
      upload_stream_ = nullptr;
      upload_rewind_ = nullptr;
      upload_adapter_.reset();
    }
  }
  SetErrorText("");
  set_error_code(0);
  *next_action = next;
  return kOk;
}

}  // namespace tw
