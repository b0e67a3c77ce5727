#include "control/com_error.h"

#include <cstring>
#include <string>

#include "control/cobalin.h"
#include "platform/bstr.h"
#include "platform/codepage.h"
#include "platform/com_client.h"
#include "platform/error_info.h"

namespace tw {

namespace {

constexpr char kTextNoDescription[] = "No description available.";
constexpr uint32_t kControlFacility = 0x800A0000;
constexpr int kLowerOffset = 20001;
constexpr int kUpperOffset = 15001;
constexpr int kLowerRuleLimit = 10000;

// A NUL-terminated UTF-16 copy in the thread's ANSI code page; false when it cannot be made.
bool ToWide(const char* text, std::u16string& out) {
  out.clear();
  if (text == nullptr || *text == '\0') return true;
  int n = win::MultiByteToWideChar(win::CP_THREAD_ACP, 0, text, -1, nullptr, 0);
  if (n <= 0) return true;  // nothing convertible: an empty description
  try {
    out.resize(static_cast<size_t>(n));
  } catch (const std::bad_alloc&) {
    return false;
  }
  win::MultiByteToWideChar(win::CP_THREAD_ACP, 0, text, -1, out.data(), n);
  out.resize(std::char_traits<char16_t>::length(out.c_str()));
  return true;
}

}  // namespace

win::HRESULT ComErrorHResult(int code) {
  int64_t value =
      static_cast<int64_t>(code) + (code <= kLowerRuleLimit ? kLowerOffset : kUpperOffset);
  // Kept inside the low word so the HRESULT stays in the control's facility.
  if (value < 0) value = 0;
  if (value > 0xFFFF) value = 0xFFFF;
  return win::HResultOf(kControlFacility | static_cast<uint32_t>(value));
}

win::HRESULT ReportComErrorText(const char* description, win::DWORD help_context, win::HRESULT hr) {
  std::u16string text;
  if (!ToWide(description, text)) return win::E_OUTOFMEMORY;

  win::ComPtr<win::ICreateErrorInfo> create;
  if (win::CreateErrorInfo(create.Put()) != win::S_OK || !create) return win::E_OUTOFMEMORY;
  create->SetGUID(win::GUID{});
  create->SetDescription(text.c_str());
  win::LPOLESTR progid = nullptr;
  if (win::ProgIDFromCLSID(kClsidCobalin, &progid) == win::S_OK && progid != nullptr) {
    create->SetSource(progid);
    win::CoTaskMemFree(progid);
  }
  if (help_context != 0) {
    create->SetHelpFile(kCobalinHelpFile);
    create->SetHelpContext(help_context);
  }
  win::ComPtr<win::IErrorInfo> info;
  if (create->QueryInterface(win::IID_IErrorInfo, info.PutVoid()) == win::S_OK) {
    win::SetErrorInfo(0, info.Get());
  }
  return hr;
}

win::HRESULT ReportComError(BlobClient& client, int code, win::DWORD help_context) {
  if (code == 0) return win::S_OK;
  if (code == kErrOutOfMemory) {
    ReportComErrorText(kComErrOutOfMemory, 0, kHrOutOfMemory);
    return kHrOutOfMemory;
  }
  if (client.error_text().empty()) client.DefaultErrorText(code);
  const char* description =
      client.error_text().empty() ? kTextNoDescription : client.error_text().c_str();
  win::HRESULT hr = ComErrorHResult(code);
  ReportComErrorText(description, help_context, hr);
  return hr;
}

}  // namespace tw
