// The methods of ICobalin: each converts its Automation arguments into the blob client's texts
// and numbers, runs one client operation and reports the result code as an HRESULT.
#include <array>
#include <cstdint>
#include <cstring>

#include "control/automation_values.h"
#include "control/com_error.h"
#include "control/control_object.h"
#include "http/http_client.h"

namespace tw {

namespace {

constexpr char kTextNotImplemented[] =
    "This method is not implemented; it is reserved for future use.";
constexpr int kErrNotImplemented = 601;
constexpr char kTextCustomMethod[] = "HttpMethod must be GET, HEAD, POST, PUT, or DELETE.";
constexpr char kTextBusy[] = "Busy performing current action.";

constexpr const char* kCustomVerbs[] = {"GET", "POST", "HEAD", "PUT", "DELETE"};

// Each method's help context follows from its DISPID.
constexpr win::DWORD HelpContextOf(CobalinDispid id) {
  return static_cast<win::DWORD>(id - kDispAbortCopy + 43401);
}

// Whether a method may run from inside an event handler. Every event fires from inside a client
// operation, so any call that sends a request, edits a collection or clears request state
// would pull that state from under the running operation.
enum class InEvent { kRefused, kAllowed };

// One method call: argument conversion (stopping at the first failure), the event-time guard,
// the client operation and the report. It also holds a reference on the object, so a handler
// that lets go of the last one cannot free the object under the running operation.
class MethodCall {
 public:
  MethodCall(ControlObject& self, CobalinDispid id, InEvent rule = InEvent::kRefused)
      : self_(self), help_(HelpContextOf(id)), rule_(rule) {
    self_.AddRef();
  }
  ~MethodCall() { self_.Release(); }  // may destroy the object: nothing of it is used after
  MethodCall(const MethodCall&) = delete;
  MethodCall& operator=(const MethodCall&) = delete;

  // The BSTR in the client's code page, up to its first NUL.
  const char* Text(BSTR value) {
    ByteString& out = texts_[used_++];
    if (failure_ == win::S_OK &&
        BytesFromBstr(value, self_.client().GetCodePage(), false, out) != 0) {
      failure_ = ReportComError(self_.client(), kErrOutOfMemory, 0);
    }
    return out.c_str();
  }

  // The VARIANT as a signed 64-bit number. A failed copy fails the call with its HRESULT; a
  // value that is no whole 64-bit number fails it with E_INVALIDARG.
  int64_t Number(const VARIANT& value) {
    int64_t n = 0;
    if (failure_ != win::S_OK) return 0;
    const HRESULT hr = Int64FromVariant(value, &n);
    if (hr == win::DISP_E_TYPEMISMATCH || hr == win::DISP_E_OVERFLOW) {
      failure_ = win::E_INVALIDARG;
    } else if (hr != win::S_OK) {
      failure_ = hr;
    }
    return n;
  }

  // Runs op() (returning the client's code) unless a conversion failed or the call is refused.
  template <typename Op>
  HRESULT Run(Op op) {
    if (HRESULT hr = Refusal(); hr != win::S_OK) return hr;
    return ReportComError(self_.client(), op(), help_);
  }

  // As Run, for an operation that fills a text result: the text goes out whatever the result.
  template <typename Op>
  HRESULT RunText(BSTR* result, Op op) {
    if (result != nullptr) *result = nullptr;
    if (HRESULT hr = Refusal(); hr != win::S_OK) return hr;
    ByteString text;
    const int rc = op(text);
    const HRESULT text_hr = SetText(result, text.c_str(), text.length());
    const HRESULT hr = ReportComError(self_.client(), rc, help_);
    return hr != win::S_OK ? hr : text_hr;
  }

 private:
  HRESULT Refusal() {
    if (rule_ == InEvent::kRefused && self_.InEvent()) {
      // The running operation's own error state is left alone: the refusal reports its text
      // directly.
      return ReportComErrorText(kTextBusy, help_, ComErrorHResult(kErrHttpBusy));
    }
    return failure_;
  }
  HRESULT SetText(BSTR* result, const char* bytes, int n) {
    if (result == nullptr) return win::S_OK;
    return BstrFromBytes(bytes, n, self_.client().GetCodePage(), result);
  }

  ControlObject& self_;
  const win::DWORD help_;
  const InEvent rule_;
  HRESULT failure_ = win::S_OK;
  std::array<ByteString, 4> texts_;
  size_t used_ = 0;
};

}  // namespace

HRESULT ControlObject::AbortCopy(BSTR dest_blob, BSTR copy_id) {
  MethodCall call(*this, kDispAbortCopy);
  const char* blob = call.Text(dest_blob);
  const char* id = call.Text(copy_id);
  return call.Run([&] { return client_.AbortCopy(blob, id); });
}

HRESULT ControlObject::AddBlock(BSTR id, SHORT block_list_type) {
  MethodCall call(*this, kDispAddBlock);
  const char* block_id = call.Text(id);
  return call.Run([&] { return client_.AddBlockChecked(block_id, block_list_type); });
}

HRESULT ControlObject::AddMetadata(BSTR name, BSTR value) {
  MethodCall call(*this, kDispAddMetadata);
  const char* n = call.Text(name);
  const char* v = call.Text(value);
  return call.Run([&] { return client_.AddMetadata(n, v); });
}

HRESULT ControlObject::AddQueryParam(BSTR name, BSTR value) {
  MethodCall call(*this, kDispAddQueryParam);
  const char* n = call.Text(name);
  const char* v = call.Text(value);
  return call.Run([&] { return client_.AddQueryParam(n, v); });
}

HRESULT ControlObject::AppendBlock(BSTR append_blob) {
  MethodCall call(*this, kDispAppendBlock);
  const char* blob = call.Text(append_blob);
  return call.Run([&] { return client_.AppendBlock(blob); });
}

HRESULT ControlObject::ClearPages(BSTR page_blob, VARIANT byte_offset, VARIANT page_count) {
  MethodCall call(*this, kDispClearPages);
  const char* blob = call.Text(page_blob);
  const int64_t offset = call.Number(byte_offset);
  const int64_t count = call.Number(page_count);
  return call.Run([&] { return client_.ClearPages(blob, offset, count); });
}

HRESULT ControlObject::Config(BSTR configuration_string, BSTR* result) {
  // Reading settings is what handlers do; the chain itself refuses what it cannot do mid-call.
  MethodCall call(*this, kDispConfig, InEvent::kAllowed);
  const char* text = call.Text(configuration_string);
  return call.RunText(result, [&](ByteString& out) {
    const char* answer = "";
    const int rc = client_.ConfigText(text, &answer);
    if (out.SetText(answer) != 0) return kErrOutOfMemory;
    return rc;
  });
}

HRESULT ControlObject::CopyBlob(BSTR src_blob, BSTR dest_blob, BSTR dest_container, BSTR* result) {
  MethodCall call(*this, kDispCopyBlob);
  const char* src = call.Text(src_blob);
  const char* dest = call.Text(dest_blob);
  const char* container = call.Text(dest_container);
  return call.RunText(result, [&](ByteString& copy_id) {
    return client_.CopyBlob(src, dest, container, &copy_id);
  });
}

HRESULT ControlObject::CreateBlob(BSTR blob, SHORT blob_type, VARIANT page_blob_size) {
  MethodCall call(*this, kDispCreateBlob);
  const char* name = call.Text(blob);
  const int64_t size = call.Number(page_blob_size);
  return call.Run([&] { return client_.CreateBlob(name, blob_type, size); });
}

HRESULT ControlObject::CreateContainer() {
  MethodCall call(*this, kDispCreateContainer);
  return call.Run([&] { return client_.CreateContainer(); });
}

HRESULT ControlObject::CreateSnapshot(BSTR blob, BSTR* result) {
  MethodCall call(*this, kDispCreateSnapshot);
  const char* name = call.Text(blob);
  return call.RunText(
      result, [&](ByteString& snapshot) { return client_.CreateSnapshot(name, &snapshot); });
}

HRESULT ControlObject::DeleteBlob(BSTR blob, SHORT delete_action) {
  MethodCall call(*this, kDispDeleteBlob);
  const char* name = call.Text(blob);
  return call.Run([&] { return client_.DeleteBlob(name, delete_action); });
}

HRESULT ControlObject::DeleteContainer() {
  MethodCall call(*this, kDispDeleteContainer);
  return call.Run([&] { return client_.DeleteContainer(); });
}

HRESULT ControlObject::GetBlob(BSTR blob) {
  MethodCall call(*this, kDispGetBlob);
  const char* name = call.Text(blob);
  return call.Run([&] { return client_.GetBlob(name); });
}

HRESULT ControlObject::GetBlobInfo(BSTR blob) {
  MethodCall call(*this, kDispGetBlobInfo);
  const char* name = call.Text(blob);
  return call.Run([&] { return client_.GetBlobInfo(name); });
}

HRESULT ControlObject::GetContainerACL(SHORT* result) {
  MethodCall call(*this, kDispGetContainerACL);
  int32_t level = 0;
  const HRESULT hr = call.Run([&] { return client_.GetContainerACL(&level); });
  if (result != nullptr) *result = static_cast<SHORT>(level);
  return hr;
}

HRESULT ControlObject::GetContainerInfo() {
  MethodCall call(*this, kDispGetContainerInfo);
  return call.Run([&] { return client_.GetContainerInfo(); });
}

HRESULT ControlObject::GetLink(BSTR blob, BSTR permissions, BSTR start_time, BSTR expiry_time,
                               BSTR* result) {
  MethodCall call(*this, kDispGetLink);
  const char* name = call.Text(blob);
  const char* perms = call.Text(permissions);
  const char* start = call.Text(start_time);
  const char* expiry = call.Text(expiry_time);
  return call.RunText(
      result, [&](ByteString& link) { return client_.GetLink(name, perms, start, expiry, &link); });
}

HRESULT ControlObject::GetUserDelegationKey(BSTR start_time, BSTR expiry_time) {
  MethodCall call(*this, kDispGetUserDelegationKey, InEvent::kAllowed);
  call.Text(start_time);
  call.Text(expiry_time);
  return call.Run([&] {
    client_.SetErrorTextCode(kErrNotImplemented, kTextNotImplemented);
    return kErrNotImplemented;
  });
}

HRESULT ControlObject::Interrupt() {
  // Meant for handlers: cancels the request that the running operation is waiting for.
  MethodCall call(*this, kDispInterrupt, InEvent::kAllowed);
  client_.RequestInterrupt();  // an operation between two requests stops before the next
  return call.Run([&] { return client_.DoTransferSlot(kHttpActionInterrupt); });
}

HRESULT ControlObject::Lease(BSTR blob, SHORT lease_action, BSTR new_lease_id, SHORT duration) {
  MethodCall call(*this, kDispLease);
  const char* name = call.Text(blob);
  const char* id = call.Text(new_lease_id);
  return call.Run([&] { return client_.Lease(name, lease_action, id, duration); });
}

HRESULT ControlObject::ListBlobs() {
  MethodCall call(*this, kDispListBlobs);
  return call.Run([&] { return client_.ListBlobs(); });
}

HRESULT ControlObject::ListBlocks(BSTR block_blob, SHORT block_list_type) {
  MethodCall call(*this, kDispListBlocks);
  const char* name = call.Text(block_blob);
  return call.Run([&] { return client_.ListBlocks(name, block_list_type); });
}

HRESULT ControlObject::ListContainers() {
  MethodCall call(*this, kDispListContainers);
  return call.Run([&] { return client_.ListContainers(); });
}

HRESULT ControlObject::ListPageRanges(BSTR page_blob) {
  MethodCall call(*this, kDispListPageRanges);
  const char* name = call.Text(page_blob);
  return call.Run([&] { return client_.ListPageRanges(name); });
}

HRESULT ControlObject::PutBlock(BSTR block_blob, BSTR block_id, BSTR* result) {
  MethodCall call(*this, kDispPutBlock);
  const char* name = call.Text(block_blob);
  const char* id = call.Text(block_id);
  return call.RunText(result, [&](ByteString& sent) { return client_.PutBlock(name, id, &sent); });
}

HRESULT ControlObject::PutBlockList(BSTR block_blob, BSTR block_list) {
  MethodCall call(*this, kDispPutBlockList);
  const char* name = call.Text(block_blob);
  const char* list = call.Text(block_list);
  return call.Run([&] { return client_.PutBlockList(name, list); });
}

HRESULT ControlObject::PutPages(BSTR page_blob, VARIANT write_offset) {
  MethodCall call(*this, kDispPutPages);
  const char* name = call.Text(page_blob);
  const int64_t offset = call.Number(write_offset);
  return call.Run([&] { return client_.PutPages(name, offset); });
}

HRESULT ControlObject::Reset() {
  MethodCall call(*this, kDispReset);
  return call.Run([&] { return client_.Reset(); });
}

HRESULT ControlObject::SendCustomRequest(BSTR http_method, BSTR blob, BSTR request_body) {
  MethodCall call(*this, kDispSendCustomRequest);
  const char* method = call.Text(http_method);
  const char* name = call.Text(blob);
  const char* body = call.Text(request_body);
  return call.Run([&] {
    // The verb is checked before anything else the request needs.
    for (const char* verb : kCustomVerbs) {
      if (std::strcmp(method, verb) == 0) return client_.SendCustomRequest(method, name, body);
    }
    client_.SetErrorTextCode(kErrRestInvalidValue, kTextCustomMethod);
    return kErrRestInvalidValue;
  });
}

HRESULT ControlObject::SetContainerACL(SHORT public_access) {
  MethodCall call(*this, kDispSetContainerACL);
  return call.Run([&] { return client_.SetContainerACL(public_access); });
}

HRESULT ControlObject::UndeleteBlob(BSTR blob) {
  MethodCall call(*this, kDispUndeleteBlob);
  const char* name = call.Text(blob);
  return call.Run([&] { return client_.UndeleteBlob(name); });
}

HRESULT ControlObject::UpdateBlobInfo(BSTR blob) {
  MethodCall call(*this, kDispUpdateBlobInfo);
  const char* name = call.Text(blob);
  return call.Run([&] { return client_.UpdateBlobInfo(name); });
}

HRESULT ControlObject::UpdateMetadata(BSTR blob) {
  MethodCall call(*this, kDispUpdateMetadata);
  const char* name = call.Text(blob);
  return call.Run([&] { return client_.UpdateMetadata(name); });
}

HRESULT ControlObject::UpdatePageBlob(BSTR page_blob, VARIANT new_size, SHORT sequence_num_action,
                                      VARIANT new_sequence_num) {
  MethodCall call(*this, kDispUpdatePageBlob);
  const char* name = call.Text(page_blob);
  const int64_t size = call.Number(new_size);
  const int64_t sequence = call.Number(new_sequence_num);
  return call.Run(
      [&] { return client_.UpdatePageBlob(name, size, sequence_num_action, sequence); });
}

HRESULT ControlObject::OnStartPage(IUnknown* /*page_context*/) {
  page_ = true;
  return win::S_OK;
}

HRESULT ControlObject::OnEndPage() { return win::S_OK; }

}  // namespace tw
