// The methods of ICobalin.
#include "control/control_object.h"

namespace tw {

HRESULT ControlObject::AbortCopy(BSTR dest_blob, BSTR copy_id) { return win::E_NOTIMPL; }
HRESULT ControlObject::AddBlock(BSTR id, SHORT block_list_type) { return win::E_NOTIMPL; }
HRESULT ControlObject::AddMetadata(BSTR name, BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::AddQueryParam(BSTR name, BSTR value) { return win::E_NOTIMPL; }
HRESULT ControlObject::AppendBlock(BSTR append_blob) { return win::E_NOTIMPL; }
HRESULT ControlObject::ClearPages(BSTR page_blob, VARIANT byte_offset, VARIANT page_count) { return win::E_NOTIMPL; }
HRESULT ControlObject::Config(BSTR configuration_string, BSTR* result) { return win::E_NOTIMPL; }
HRESULT ControlObject::CopyBlob(BSTR src_blob, BSTR dest_blob, BSTR dest_container, BSTR* result) { return win::E_NOTIMPL; }
HRESULT ControlObject::CreateBlob(BSTR blob, SHORT blob_type, VARIANT page_blob_size) { return win::E_NOTIMPL; }
HRESULT ControlObject::CreateContainer() { return win::E_NOTIMPL; }
HRESULT ControlObject::CreateSnapshot(BSTR blob, BSTR* result) { return win::E_NOTIMPL; }
HRESULT ControlObject::DeleteBlob(BSTR blob, SHORT delete_action) { return win::E_NOTIMPL; }
HRESULT ControlObject::DeleteContainer() { return win::E_NOTIMPL; }
HRESULT ControlObject::GetBlob(BSTR blob) { return win::E_NOTIMPL; }
HRESULT ControlObject::GetBlobInfo(BSTR blob) { return win::E_NOTIMPL; }
HRESULT ControlObject::GetContainerACL(SHORT* result) { return win::E_NOTIMPL; }
HRESULT ControlObject::GetContainerInfo() { return win::E_NOTIMPL; }
HRESULT ControlObject::GetLink(BSTR blob, BSTR permissions, BSTR start_time, BSTR expiry_time, BSTR* result) { return win::E_NOTIMPL; }
HRESULT ControlObject::GetUserDelegationKey(BSTR start_time, BSTR expiry_time) { return win::E_NOTIMPL; }
HRESULT ControlObject::Interrupt() { return win::E_NOTIMPL; }
HRESULT ControlObject::Lease(BSTR blob, SHORT lease_action, BSTR new_lease_id, SHORT duration) { return win::E_NOTIMPL; }
HRESULT ControlObject::ListBlobs() { return win::E_NOTIMPL; }
HRESULT ControlObject::ListBlocks(BSTR block_blob, SHORT block_list_type) { return win::E_NOTIMPL; }
HRESULT ControlObject::ListContainers() { return win::E_NOTIMPL; }
HRESULT ControlObject::ListPageRanges(BSTR page_blob) { return win::E_NOTIMPL; }
HRESULT ControlObject::PutBlock(BSTR block_blob, BSTR block_id, BSTR* result) { return win::E_NOTIMPL; }
HRESULT ControlObject::PutBlockList(BSTR block_blob, BSTR block_list) { return win::E_NOTIMPL; }
HRESULT ControlObject::PutPages(BSTR page_blob, VARIANT write_offset) { return win::E_NOTIMPL; }
HRESULT ControlObject::Reset() { return win::E_NOTIMPL; }
HRESULT ControlObject::SendCustomRequest(BSTR http_method, BSTR blob, BSTR request_body) { return win::E_NOTIMPL; }
HRESULT ControlObject::SetContainerACL(SHORT public_access) { return win::E_NOTIMPL; }
HRESULT ControlObject::UndeleteBlob(BSTR blob) { return win::E_NOTIMPL; }
HRESULT ControlObject::UpdateBlobInfo(BSTR blob) { return win::E_NOTIMPL; }
HRESULT ControlObject::UpdateMetadata(BSTR blob) { return win::E_NOTIMPL; }
HRESULT ControlObject::UpdatePageBlob(BSTR page_blob, VARIANT new_size, SHORT sequence_num_action, VARIANT new_sequence_num) { return win::E_NOTIMPL; }
HRESULT ControlObject::OnStartPage(IUnknown* page_context) { return win::E_NOTIMPL; }
HRESULT ControlObject::OnEndPage() { return win::E_NOTIMPL; }

}  // namespace tw
