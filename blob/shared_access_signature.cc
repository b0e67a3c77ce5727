#include "blob/shared_access_signature.h"

#include <cstring>
#include <iterator>

#include "foundation/component_base.h"
#include "foundation/text_conversion.h"

namespace tw {

namespace {

constexpr char kTextContainerMissing[] =
    "The Container property must be set before calling this method.";
constexpr char kTextAccountMissing[] =
    "The Account property must be set before calling this method.";
constexpr char kTextAccessKeyMissing[] =
    "The AccessKey property must be set before calling this method.";
constexpr char kTextPermissionsMissing[] =
    "Permissions must be specified when calling this method unless a non-empty \"si\" query "
    "parameter is present.";
constexpr char kTextExpiryMissing[] =
    "ExpiryTime must be specified when calling this method unless a non-empty \"si\" query "
    "parameter is present.";

constexpr char kServiceWord[] = "blob";
constexpr char kResourceContainer[] = "c";
constexpr char kResourceBlob[] = "b";
constexpr char kResourceSnapshot[] = "bs";

// The string-to-sign: these fields' values, with the canonical resource after the third.
constexpr const char* kSignedFields[] = {
    "sp", "st",       "se",   nullptr, "si",   "sip",  "spr",  "sv",
    "sr", "snapshot", "rscc", "rscd",  "rsce", "rscl", "rsct",
};

bool IsEmpty(const char* text) { return !text || !*text; }

// The first parameter of that name (without regard to case), or null.
const ByteStringPair* FindParam(const PairList& list, const char* name) {
  for (int i = 0; i < list.Count(); ++i) {
    const ByteStringPair* p = list.At(i);
    if (p && EqualsNoCase(std::string_view(p->first.data(), p->first.length()), name)) return p;
  }
  return nullptr;
}

// Sets a parameter, replacing the value of one of the same name.
int SetParam(PairList& list, const ByteString& name, const ByteString& value) {
  for (int i = 0; i < list.Count(); ++i) {
    ByteStringPair* p = list.At(i);
    if (p && p->first.Equals(name)) return p->second.Assign(value);
  }
  ByteStringPair* pair = NewRecord<ByteStringPair>();
  if (!pair) return kErrOutOfMemory;
  int rc = pair->first.Assign(name);
  if (rc == kOk) rc = pair->second.Assign(value);
  if (rc != kOk) {
    DeleteRecord(pair);
    return rc;
  }
  return list.InsertOwned(list.Count(), pair);
}

int SetParamText(PairList& list, const char* name, const char* value, unsigned codepage) {
  ByteString n;
  ByteString v;
  int rc = n.SetText(name);
  if (rc == kOk && value) {
    rc = AppendUtf8FromCodePage(v, value, static_cast<int>(std::strlen(value)), codepage);
  }
  if (rc == kOk) rc = SetParam(list, n, v);
  return rc;
}

int AppendUtf8Text(ByteString& out, const char* text, unsigned codepage) {
  return text ? AppendUtf8FromCodePage(out, text, static_cast<int>(std::strlen(text)), codepage)
              : kOk;
}

}  // namespace

int SharedAccessSignature::Fail(int code, const char* text) {
  if (owner_) owner_->SetErrorTextCode(code, text);
  return code;
}

unsigned SharedAccessSignature::CodePage() const {
  return owner_ ? static_cast<unsigned>(owner_->GetCodePage()) : 0u;
}

int SharedAccessSignature::Check(const SasLinkRequest& request) {
  if (IsEmpty(request.container)) return Fail(kErrSasContainer, kTextContainerMissing);
  if (IsEmpty(request.account)) return Fail(kErrInvalidValue, kTextAccountMissing);
  if (IsEmpty(request.access_key)) return Fail(kErrInvalidValue, kTextAccessKeyMissing);
  const ByteStringPair* si =
      request.query_params ? FindParam(*request.query_params, "si") : nullptr;
  if (!si || si->second.empty()) {
    if (IsEmpty(request.permissions)) return Fail(kErrInvalidValue, kTextPermissionsMissing);
    if (IsEmpty(request.expiry_time)) return Fail(kErrInvalidValue, kTextExpiryMissing);
  }
  return kOk;
}

int SharedAccessSignature::Build(const SasLinkRequest& request, const char* base_url,
                                 ByteString* link) {
  link->Reset();
  const unsigned codepage = CodePage();
  const bool for_blob = !IsEmpty(request.blob);
  const bool for_snapshot = for_blob && !IsEmpty(request.snapshot);

  // The parameters in link order; the texts travel as UTF-8, whatever the code page.
  PairList query;
  int rc = SetParamText(query, "sv", kSasVersion, codepage);
  if (rc == kOk && !IsEmpty(request.permissions)) {
    rc = SetParamText(query, "sp", request.permissions, codepage);
  }
  if (rc == kOk && !IsEmpty(request.start_time)) {
    rc = SetParamText(query, "st", request.start_time, codepage);
  }
  if (rc == kOk && !IsEmpty(request.expiry_time)) {
    rc = SetParamText(query, "se", request.expiry_time, codepage);
  }
  if (rc == kOk && for_snapshot) rc = SetParamText(query, "snapshot", request.snapshot, codepage);
  if (rc == kOk) {
    const char* resource =
        for_snapshot ? kResourceSnapshot : (for_blob ? kResourceBlob : kResourceContainer);
    rc = SetParamText(query, "sr", resource, codepage);
  }
  if (request.query_params) {
    const PairList& extra = *request.query_params;
    for (int i = 0; rc == kOk && i < extra.Count(); ++i) {
      const ByteStringPair* p = extra.At(i);
      if (!p || p->first.empty()) continue;
      ByteString name;
      ByteString value;
      rc = AppendUtf8FromCodePage(name, p->first.c_str(), p->first.length(), codepage);
      if (rc == kOk)
        rc = AppendUtf8FromCodePage(value, p->second.c_str(), p->second.length(), codepage);
      if (rc == kOk && !FindParam(query, name.c_str())) rc = SetParam(query, name, value);
    }
  }
  if (rc == kOk) rc = signer_.SetCredentials(request.account, request.access_key);
  if (rc != kOk) return Fail(rc, DefaultErrorText(rc));

  ByteString text;
  for (int line = 0; rc == kOk && line < static_cast<int>(std::size(kSignedFields)); ++line) {
    if (line > 0) rc = text.AppendByte('\n');
    if (rc != kOk) break;
    if (kSignedFields[line]) {
      const ByteStringPair* p = FindParam(query, kSignedFields[line]);
      if (p) rc = text.AppendString(p->second);
      continue;
    }
    // The resource names the blob as it is, not percent-encoded, in UTF-8.
    rc = text.AppendByte('/');
    if (rc == kOk) rc = text.AppendText(kServiceWord);
    if (rc == kOk) rc = text.AppendByte('/');
    if (rc == kOk) rc = text.AppendString(signer_.account());
    if (rc == kOk) rc = text.AppendByte('/');
    if (rc == kOk) rc = AppendUtf8Text(text, request.container, codepage);
    if (rc == kOk && for_blob) {
      rc = text.AppendByte('/');
      if (rc == kOk) rc = AppendUtf8Text(text, request.blob, codepage);
    }
  }
  if (rc != kOk) return Fail(rc, DefaultErrorText(rc));

  ByteString signature;
  rc = signer_.SignSharedAccess(text, &signature);
  if (rc != kOk) return rc;  // the signer has set the text
  rc = SetParamText(query, "sig", signature.c_str(), codepage);

  if (rc == kOk) rc = link->SetText(base_url ? base_url : "");
  for (int i = 0; rc == kOk && i < query.Count(); ++i) {
    const ByteStringPair& p = *query.At(i);
    rc = link->AppendByte(i == 0 ? '?' : '&');
    if (rc == kOk) rc = AppendPercentEncoded(*link, p.first.data(), p.first.length());
    if (rc == kOk) rc = link->AppendByte('=');
    if (rc == kOk) rc = AppendPercentEncoded(*link, p.second.data(), p.second.length());
  }
  if (rc != kOk) {
    link->Reset();
    return Fail(rc, DefaultErrorText(rc));
  }
  return kOk;
}

}  // namespace tw
