// One fuzz input through the DER toolkit and the certificate parser.
//
// The DER entry reads every element by position, walks the BER parser and the element tree and
// writes the tree back; the certificate entry parses a certificate and reads everything the
// TLS layer would read from it. Both also check what must hold for any input they accept.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "certs/asn1_node.h"
#include "certs/cert_extension.h"
#include "certs/certificate.h"
#include "certs/der_reader.h"
#include "certs/der_writer.h"
#include "certs/distinguished_name.h"
#include "certs/host_name_match.h"

namespace certfuzz {

inline void Rewrite(const tw::Asn1Node& n, tw::DerWriter* w) {
  if (!n.firstChild) {
    w->AppendRaw(n.bytes.data(), n.bytes.length());
    return;
  }
  w->DerOpenConstructed(n.tag);
  for (tw::Asn1Node* c = n.firstChild; c; c = c->nextSibling) Rewrite(*c, w);
  w->DerCloseConstructed(false);
}

inline int FuzzDer(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  tw::ByteString in;
  if (in.Set(data, static_cast<int>(size)) != 0) return 0;
  tw::ByteString out;
  int32_t v = 0;
  int tag = 0, bits = 0;
  for (int i = 0; i < 8; ++i) {
    tw::DerReadElementAt(in, i, &out, &tag);
    tw::DerReadIntAt(in, i, &v, &tag);
    tw::DerReadIntegerBytesAt(in, i, &out);
    if (tw::DerReadOidAt(in, i, &out, &tag) == 0 && out.FindChar('.', 0) >= 0 &&
        std::count(out.data(), out.data() + out.length(), '.') < tw::kOidMaxArcs - 1) {
      // Every OID text read in full must write back to the bytes it came from.
      tw::DerWriter w;
      tw::ByteString content;
      if (w.DerAppendOid(tag, out.c_str()) != 0) __builtin_trap();
      tw::DerReadElementAt(in, i, &content, &tag);
      tw::ByteString again;
      if (tw::DerReadElementAt(w.output(), 0, &again, &tag) != 0 || !again.Equals(content)) {
        __builtin_trap();
      }
    }
    tw::DerReadBitStringAt(in, i, &out, &bits, &tag);
  }
  tw::ByteString unwrapped = in;
  tw::DerUnwrap(&unwrapped, &tag);
  tw::ByteString r, s;
  tw::ParseDerSignatureRS(data, static_cast<int>(size), &r, &s);
  tw::IsSingleElement(data, size);
  tw::Asn1Node root;
  root.bytes = in;
  if (root.DecodeTree() == 0 && root.firstChild) {
    // A tree that decoded writes back into something that decodes the same way.
    tw::DerWriter w;
    Rewrite(root, &w);
    tw::Asn1Node back;
    back.bytes = w.output();
    if (back.DecodeTree() != 0 || back.childCount != root.childCount) __builtin_trap();
  }
  tw::ByteString text;
  if (tw::NameDerToText(in, &text) == 0) {
    tw::StringList parts;
    tw::SplitDnComponents(text.c_str(), &parts);
    tw::MatchHostToCertCN(text.c_str(), "host.example");
  }
  tw::CertExtension e;
  if (tw::ParseExtension(in, &e) == 0) {
    tw::DerWriter w;
    tw::CertExtension back;
    if (tw::EncodeExtension(e, &w) != 0 || tw::ParseExtension(w.output(), &back) != 0 ||
        !back.oid.Equals(e.oid) || back.critical != e.critical || !back.value.Equals(e.value)) {
      __builtin_trap();
    }
  }
  return 0;
}

inline int FuzzCertificate(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  tw::Certificate c;
  if (tw::ParseCertificateDer(data, static_cast<int>(size), &c) != 0) return 0;
  tw::DerWriter w;
  if (c.EncodeDer(&w) != 0 || !w.output().Equals(c.der)) __builtin_trap();
  tw::GetSerialNumberHex(&c);
  tw::GetSignatureAlgorithmName(&c);
  tw::CompareValidity(c.tbs.notBefore.c_str(), c.tbs.notAfter.c_str());
  for (int i = 0; i < c.tbs.extensions.Count(); ++i) {
    const tw::CertExtension* e = c.tbs.extensions.At(i);
    tw::ByteString san;
    if (e && e->oid.EqualsBytes(tw::kOidSubjectAltName, -1) &&
        tw::SubjectAltNameText(e->value, true, &san) == 0) {
      tw::MatchHostToCertSAN(san.c_str(), "www.example.com");
      tw::MatchHostToCertSAN(san.c_str(), "10.0.0.1");
    }
  }
  tw::MatchHostToCertCN(c.tbs.subjectText.c_str(), "www.example.com");
  tw::NormalizeDistinguishedName(c.tbs.subjectText.c_str(), &c.serialHexCache);
  // The fields rebuild a certificate, or refuse clearly.
  tw::Certificate copy;
  if (copy.CopyFrom(c) != 0) return 0;
  copy.der.Reset();
  tw::DerWriter rebuilt;
  copy.EncodeDer(&rebuilt);
  return 0;
}

}  // namespace certfuzz
