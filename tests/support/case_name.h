// Readable names for parameterised test cases.
#pragma once

#include <gtest/gtest.h>

#include <concepts>
#include <cstddef>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

namespace testsupport {

// Keeps [A-Za-z0-9_], maps the rest to '_', folds runs, trims; never empty.
inline std::string SanitiseName(std::string_view text, std::size_t max_len = 60) {
  std::string out;
  for (char c : text) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (ok) {
      out += c;
    } else if (!out.empty() && out.back() != '_') {
      out += '_';
    }
  }
  if (out.size() > max_len) out.resize(max_len);
  while (!out.empty() && out.back() == '_') out.pop_back();
  return out.empty() ? std::string("empty") : out;
}

// Text of one value: its `name`, its text, its number, or the parts of a tuple/pair.
template <class T>
std::string NameText(const T& v);

namespace case_name_detail {
template <class T>
concept HasName = requires(const T& v) { std::string_view(v.name); };
template <class T>
concept TupleLike = requires { std::tuple_size<T>::value; };
}  // namespace case_name_detail

template <class T>
std::string NameText(const T& v) {
  if constexpr (std::is_same_v<T, bool>) {
    return v ? "true" : "false";
  } else if constexpr (std::is_pointer_v<T> && std::is_convertible_v<T, std::string_view>) {
    return v != nullptr ? std::string(v) : std::string("null");
  } else if constexpr (case_name_detail::HasName<T>) {
    return std::string(std::string_view(v.name));
  } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    return std::string(std::string_view(v));
  } else if constexpr (std::is_enum_v<T>) {
    return std::to_string(static_cast<long long>(v));
  } else if constexpr (std::is_integral_v<T>) {
    return std::to_string(v);
  } else if constexpr (case_name_detail::TupleLike<T>) {
    return std::apply(
        [](const auto&... p) {
          std::string s;
          ((s += (s.empty() ? "" : "_") + NameText(p)), ...);
          return s;
        },
        v);
  } else {
    static_assert(sizeof(T) == 0, "no name for this type: pass a lambda using MakeName");
  }
}

// Joins the parts' texts with '_' and sanitises: MakeName(64, "012345") -> "64_012345".
template <class... Parts>
std::string MakeName(const Parts&... parts) {
  std::string s;
  auto add = [&s](const std::string& text) {
    const std::string part = SanitiseName(text, 40);
    if (text.empty() || part == "empty") return;
    s += (s.empty() ? "" : "_") + part;
  };
  (add(NameText(parts)), ...);
  return s.empty() ? std::string("empty") : s;
}

// Name generator for INSTANTIATE_TEST_SUITE_P; `indexed` appends "_<index>" for suites
// whose values may repeat.
struct CaseName {
  bool indexed = false;
  template <class P>
  std::string operator()(const ::testing::TestParamInfo<P>& info) const {
    std::string s = MakeName(info.param);
    if (indexed) s += "_" + std::to_string(info.index);
    return s;
  }
};

}  // namespace testsupport
