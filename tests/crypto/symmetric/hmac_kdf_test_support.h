// Helpers of the HMAC, KDF and TLS PRF tests: hex, Wycheproof files read in place, python3 oracles.
#pragma once

#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/byte_string.h"
#include "tests/support/test_support.h"

namespace kdftest {

inline std::vector<uint8_t> Unhex(const std::string& hex) {
  const std::string bytes = testsupport::Unhex(hex);
  return {bytes.begin(), bytes.end()};
}

using testsupport::Hex;
inline std::string Hex(const tw::ByteString& s) { return Hex(s.data(), static_cast<size_t>(s.length())); }

// "aa*131" is 131 bytes of 0xaa; anything else is plain hex.
inline std::vector<uint8_t> Spec(const std::string& spec) {
  const size_t star = spec.find('*');
  if (star == std::string::npos) return Unhex(spec);
  return std::vector<uint8_t>(std::stoul(spec.substr(star + 1)), Unhex(spec.substr(0, star))[0]);
}

inline std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

using Case = std::map<std::string, std::string>;

// The test cases of a Wycheproof file: the fields from each "tcId" on, plus the scalar fields of
// its group (tagSize, keySize, ...). Only what these files use of JSON is understood.
inline std::vector<Case> WycheproofCases(const std::string& json, int* declared = nullptr) {
  std::vector<Case> cases;
  Case group;
  Case current;
  bool inCase = false;
  auto readString = [&](size_t& i) {
    std::string s;
    for (++i; i < json.size() && json[i] != '"'; ++i) {
      if (json[i] == '\\' && i + 1 < json.size()) ++i;
      s += json[i];
    }
    ++i;
    return s;
  };
  auto skipSpace = [&](size_t& i) {
    while (i < json.size() && (json[i] == ' ' || json[i] == '\n' || json[i] == '\r' || json[i] == '\t')) ++i;
  };
  for (size_t i = 0; i < json.size();) {
    if (json[i] != '"') {
      ++i;
      continue;
    }
    std::string token = readString(i);
    skipSpace(i);
    if (i >= json.size() || json[i] != ':') continue;  // a value inside an array
    ++i;
    skipSpace(i);
    std::string value;
    bool scalar = true;
    if (json[i] == '"') {
      value = readString(i);
    } else if (json[i] == '-' || (json[i] >= '0' && json[i] <= '9')) {
      while (i < json.size() && (json[i] == '-' || (json[i] >= '0' && json[i] <= '9'))) value += json[i++];
    } else {
      scalar = false;
    }
    if (!scalar) continue;
    if (token == "numberOfTests" && declared) *declared = std::stoi(value);
    if (token == "tcId") {
      if (inCase) cases.push_back(current);
      current = group;
      inCase = true;
    }
    if (token == "tagSize" || token == "keySize" || token == "type") {
      if (inCase) cases.push_back(current);
      inCase = false;
      group[token] = value;
      continue;
    }
    if (inCase) current[token] = value;
  }
  if (inCase) cases.push_back(current);
  return cases;
}

// The Wycheproof file's text, or "" when the shared vectors are absent.
inline std::string WycheproofFile(const std::string& name) {
  return testsupport::ReadFile(testsupport::VectorsDir() + "/wycheproof/" + name);
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

inline std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  std::string w;
  while (in >> w) words.push_back(w);
  return words;
}

// Runs a script with testsupport::kPython and returns its output lines; empty when it is missing or failed.
inline std::vector<std::string> Python(const std::string& script) {
  int status = -1;
  const std::string out =
      testsupport::RunCommand(std::string(testsupport::kPython) + " -W ignore - 2>/dev/null", script, &status);
  if (status != 0) return {};
  return Lines(out);
}

// "-" stands for an empty hex field in the oracle outputs.
inline std::vector<uint8_t> Field(const std::string& word) { return word == "-" ? std::vector<uint8_t>{} : Unhex(word); }

}  // namespace kdftest
