// Service shared access signature links (version 2019-02-02) for a container, a blob or a blob
// snapshot, signed with the account key and built without contacting the service.
#pragma once

#include "blob/shared_key_signer.h"
#include "foundation/byte_string.h"

namespace tw {

class ComponentBase;

constexpr int kErrSasContainer = 604;
constexpr char kSasVersion[] = "2019-02-02";

// What the blob client hands over for one link; every text is in the owner's code page.
struct SasLinkRequest {
  const char* account = "";
  const char* access_key = "";
  const char* container = "";
  const char* blob = "";      // empty for a link to the container
  const char* snapshot = "";  // used for a blob only
  const char* permissions = "";
  const char* start_time = "";
  const char* expiry_time = "";
  const PairList* query_params =
      nullptr;  // the caller's other signed fields (si, sip, spr, rscc...)
};

class SharedAccessSignature {
 public:
  // The owner receives the error texts and gives the code page; the signer keeps the
  // string-to-sign.
  SharedAccessSignature(ComponentBase* owner, SharedKeySigner& signer)
      : owner_(owner), signer_(signer) {}

  // The checks that need nothing but the request: 604 without a container, 202 without account
  // or key, and 202 without permissions or expiry time unless a non-empty "si" is given.
  int Check(const SasLinkRequest& request);

  // The signed link: base_url (the request URL of the container or blob) followed by "?" and the
  // query parameters in link order, each name and value percent-encoded as UTF-8.
  int Build(const SasLinkRequest& request, const char* base_url, ByteString* link);

  // Check, then the URL from build_url(ByteString*) -> code, then Build. The link is empty on
  // failure.
  template <typename UrlBuilder>
  int GetLink(const SasLinkRequest& request, UrlBuilder&& build_url, ByteString* link) {
    link->Reset();
    int rc = Check(request);
    ByteString url;
    if (rc == 0) rc = build_url(&url);
    if (rc == 0) rc = Build(request, url.c_str(), link);
    if (rc != 0) link->Reset();
    return rc;
  }

 private:
  int Fail(int code, const char* text);
  unsigned CodePage() const;

  ComponentBase* owner_;
  SharedKeySigner& signer_;
};

}  // namespace tw
