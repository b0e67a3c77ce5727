#include "tls/ssl_credential_key.h"

#include <cstring>

namespace tw {
namespace {

const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

int SslCredentialKey::Set(uint32_t word1, uint32_t word2, uint32_t word3, uint32_t word4,
                          const char* second_text, const char* first_text, uint8_t flag,
                          uint32_t handle_low, uint32_t handle_high) {
  words_[0] = word1;
  words_[1] = word2;
  words_[2] = word3;
  words_[3] = word4;
  flag_ = flag;
  handle_[0] = handle_low;
  handle_[1] = handle_high;
  int rc = second_text_.SetText(OrEmpty(second_text));
  if (rc == kOk) rc = first_text_.SetText(OrEmpty(first_text));
  return rc;
}

bool SslCredentialKey::Matches(uint32_t word1, uint32_t word2, uint32_t word3, uint32_t word4,
                               const char* second_text, const char* first_text, uint8_t flag,
                               uint32_t handle_low, uint32_t handle_high) const {
  return words_[0] == word1 && words_[1] == word2 && words_[2] == word3 && words_[3] == word4 &&
         flag_ == flag && handle_[0] == handle_low && handle_[1] == handle_high &&
         std::strcmp(second_text_.c_str(), OrEmpty(second_text)) == 0 &&
         std::strcmp(first_text_.c_str(), OrEmpty(first_text)) == 0;
}

void SslCredentialKey::Clear() {
  first_text_.Reset();
  second_text_.Reset();
  for (uint32_t& w : words_) w = 0;
  flag_ = 0;
  handle_[0] = handle_[1] = 0;
}

}  // namespace tw
