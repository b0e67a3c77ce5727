// The four listings: requests and XML walks over canned answers (every field, paging, prefixes,
// metadata, block ids, page ranges), then against the storage emulator with containers, blobs,
// blocks and pages made by the reference SDK, and the service's own errors.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "foundation/text_conversion.h"
#include "tests/blob/blob_test_support.h"
#include "tests/blob/emulator_fixture.h"
#include "tests/peers/azurite_peer.h"
#include "tests/peers/scripted_peer.h"
#include "tests/support/case_name.h"
#include "tests/support/test_support.h"

namespace {

using blobtest::Event;
using blobtest::Str;
using blobtest::TestClient;
using testsupport::AzuritePeer;
using testsupport::ScriptedPeer;
using Script = ScriptedPeer::Script;
using Texts = std::vector<std::string>;

constexpr char kKey[] =
    "Eby8vdM02xNOcqFlqUwJPLlmEtlCDXJ1OUzFT50uSRZ6IFsuFq2UVErCz4I6tq/K1SZFPTOtr/KBHBeksoGMGw==";

Script Reply(const std::string& body) {
  return Script{ScriptedPeer::WaitRequest(), ScriptedPeer::Send(ScriptedPeer::HttpResponse(body)),
                ScriptedPeer::Close()};
}

std::string Target(const std::string& request) {
  const size_t sp = request.find(' ');
  return request.substr(sp + 1, request.find(' ', sp + 1) - sp - 1);
}

bool HasHeader(const std::string& request, const std::string& line) {
  return request.find("\r\n" + line + "\r\n") != std::string::npos;
}

class CannedListing : public ::testing::Test {
 protected:
  void Serve(std::vector<Script> scripts) {
    peer_.SetScripts(std::move(scripts));
    ASSERT_TRUE(peer_.Start());
    client_.UsePlainService("acct", peer_.port());
    client_.access_key().SetText(kKey);
  }
  ScriptedPeer peer_;
  TestClient client_;
};

// ---- Containers ----

constexpr char kContainersPage1[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
    "<EnumerationResults ServiceEndpoint=\"http://acct.blob.localhost/\">\r\n"
    "  <MaxResults>2</MaxResults>\r\n"
    "  <Containers>\r\n"
    "    <Container><Name>alpha</Name><Properties>"
    "<Last-Modified>Mon, 01 Jan 2024 00:00:00 GMT</Last-Modified><Etag>\"0x1\"</Etag>"
    "<LeaseStatus>locked</LeaseStatus><LeaseState>leased</LeaseState>"
    "<LeaseDuration>infinite</LeaseDuration><PublicAccess>container</PublicAccess>"
    "<HasImmutabilityPolicy>true</HasImmutabilityPolicy><HasLegalHold>TRUE</HasLegalHold>"
    "</Properties><Metadata><color>blue</color><x-ms-invalid-name>bad</x-ms-invalid-name>"
    "<size>gro\xC3\x9F</size></Metadata></Container>\r\n"
    "    <Container><Name>beta</Name><Properties><Etag>e2</Etag><LeaseStatus>Locked</LeaseStatus>"
    "<LeaseState>broken</LeaseState><PublicAccess>blob</PublicAccess></Properties><Metadata/>"
    "</Container>\r\n"
    "  </Containers>\r\n"
    "  <NextMarker>/acct/beta</NextMarker>\r\n"
    "</EnumerationResults>";

constexpr char kContainersPage2[] =
    "<EnumerationResults><Containers><Container><Name>gamma</Name></Container></Containers>"
    "<NextMarker/></EnumerationResults>";

TEST_F(CannedListing, ContainersPageByPageWithMetadata) {
  Serve({Reply(kContainersPage1), Reply(kContainersPage2)});
  client_.Set("MaxResults=2");
  client_.set_list_with_metadata(true);
  ASSERT_EQ(client_.ListContainers(), 0) << client_.Error();
  EXPECT_EQ(Target(peer_.request(0)), "/?comp=list&maxresults=2&include=metadata");
  EXPECT_EQ(Str(client_.container_marker()), "/acct/beta");
  ASSERT_EQ(client_.containers().Count(), 2);
  const tw::ContainerRecord& a = *client_.containers().At(0);
  EXPECT_EQ(Str(a.name), "alpha");
  EXPECT_EQ(Str(a.etag), "\"0x1\"");
  EXPECT_EQ(Str(a.modified_time), "Mon, 01 Jan 2024 00:00:00 GMT");
  EXPECT_TRUE(a.is_leased);
  EXPECT_TRUE(a.is_lease_infinite);
  EXPECT_EQ(a.lease_state, tw::kLeaseLeased);
  EXPECT_EQ(a.public_access, tw::kPublicAccessContainer);
  EXPECT_TRUE(a.has_immutability_policy);
  EXPECT_TRUE(a.has_legal_hold);
  const tw::ContainerRecord& b = *client_.containers().At(1);
  EXPECT_FALSE(b.is_leased);  // the mapping is exact: "Locked" is not "locked"
  EXPECT_EQ(b.lease_state, tw::kLeaseBroken);
  EXPECT_EQ(b.public_access, tw::kPublicAccessBlob);

  const auto listed = client_.sink.Of(tw::kBlobEventContainerList);
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].args, (Texts{"alpha", "Mon, 01 Jan 2024 00:00:00 GMT", "\"0x1\"", "1", "1"}));
  EXPECT_EQ(listed[1].args, (Texts{"beta", "", "e2", "0", "4"}));
  const auto metadata = client_.sink.Of(tw::kBlobEventMetadataList);
  ASSERT_EQ(metadata.size(), 2u);  // x-ms-invalid-name fires nothing
  EXPECT_EQ(metadata[0].args, (Texts{"alpha", "", "", "color", "blue"}));
  EXPECT_EQ(metadata[1].args, (Texts{"alpha", "", "", "size", "gro\xC3\x9F"}));

  // The marker continues the collection; the last page empties it.
  ASSERT_EQ(client_.ListContainers(), 0) << client_.Error();
  EXPECT_EQ(Target(peer_.request(1)), "/?comp=list&marker=%2Facct%2Fbeta&maxresults=2&include=metadata");
  EXPECT_TRUE(client_.container_marker().empty());
  ASSERT_EQ(client_.containers().Count(), 3);
  const tw::ContainerRecord& g = *client_.containers().At(2);
  EXPECT_EQ(Str(g.name), "gamma");
  EXPECT_TRUE(g.etag.empty());
  EXPECT_EQ(g.lease_state, tw::kLeaseAvailable);
  // The reader still holds the answer for the X settings.
  EXPECT_EQ(client_.Set("XPath=/EnumerationResults/Containers"), 0);
  EXPECT_EQ(client_.Get("XChildCount"), "1");
  EXPECT_EQ(client_.Get("XChildName[1]"), "");
}

TEST_F(CannedListing, ContainersWithoutMarkerStartOver) {
  Serve({Reply(kContainersPage2), Reply(kContainersPage2)});
  client_.Set("Prefix=ga");
  ASSERT_EQ(client_.ListContainers(), 0);
  ASSERT_EQ(client_.ListContainers(), 0);
  EXPECT_EQ(client_.containers().Count(), 1);
  EXPECT_EQ(Target(peer_.request(1)), "/?comp=list");
  EXPECT_EQ(client_.sink.Count(tw::kBlobEventMetadataList), 0);
}

TEST_F(CannedListing, EmptyContainerListIsNoError) {
  Serve({Reply("<EnumerationResults><Containers/></EnumerationResults>")});
  client_.container_marker().SetText("stale");
  client_.containers().GetOrCreate(0);
  ASSERT_EQ(client_.ListContainers(), 0) << client_.Error();
  EXPECT_EQ(client_.containers().Count(), 1);  // a marker continues, and nothing came
  EXPECT_TRUE(client_.container_marker().empty());
}

// ---- Blobs ----

constexpr char kBlobsPage[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
    "<EnumerationResults ServiceEndpoint=\"http://acct/\" ContainerName=\"photos\">"
    "<Prefix>2024/</Prefix><Delimiter>/</Delimiter><Blobs>"
    "<BlobPrefix><Name>2024/a b/</Name></BlobPrefix>"
    "<Blob><Name>2024/\xC3\xBC x.jpg</Name><Snapshot>2024-01-01T00:00:00.0000000Z</Snapshot>"
    "<Deleted>true</Deleted><Properties><Creation-Time>ct</Creation-Time>"
    "<Last-Modified>mt</Last-Modified><Etag>et</Etag><Content-Length>5368709120</Content-Length>"
    "<Content-Type>image/jpeg</Content-Type><Content-Encoding>gzip</Content-Encoding>"
    "<Content-Language>de</Content-Language><Content-Disposition>inline</Content-Disposition>"
    "<Cache-Control>no-cache</Cache-Control><Content-MD5>md5==</Content-MD5>"
    "<BlobType>AppendBlob</BlobType><AccessTier>Cool</AccessTier>"
    "<AccessTierInferred>true</AccessTierInferred><AccessTierChangeTime>tt</AccessTierChangeTime>"
    "<ArchiveStatus>rehydrate-pending-to-hot</ArchiveStatus><LeaseStatus>unlocked</LeaseStatus>"
    "<LeaseState>expired</LeaseState><LeaseDuration>fixed</LeaseDuration>"
    "<DeletedTime>dt</DeletedTime><RemainingRetentionDays>6</RemainingRetentionDays>"
    "</Properties><Metadata><k>v</k><x-ms-invalid-name>1</x-ms-invalid-name></Metadata></Blob>"
    "<Unknown><Name>skipped</Name></Unknown>"
    "<Blob><Name>page.vhd</Name><Properties><BlobType>PageBlob</BlobType>"
    "<x-ms-blob-sequence-number>42</x-ms-blob-sequence-number><Content-Length>512</Content-Length>"
    "<LeaseStatus>locked</LeaseStatus><LeaseState>breaking</LeaseState></Properties></Blob>"
    "<BlobPrefix><Name>2024/z/</Name></BlobPrefix>"
    "</Blobs><NextMarker>next-1</NextMarker></EnumerationResults>";

TEST_F(CannedListing, BlobsWithEveryFieldPrefixesAndIncludeOrder) {
  Serve({Reply(kBlobsPage)});
  client_.container().SetText("photos");
  client_.prefix().SetText("2024/");
  client_.blob_delimiter().SetText("/");
  client_.set_list_with_metadata(true);
  client_.set_include_snapshots(true);
  client_.set_include_soft_deleted(true);
  ASSERT_EQ(client_.ListBlobs(), 0) << client_.Error();
  EXPECT_EQ(Target(peer_.request(0)),
            "/photos?restype=container&comp=list&prefix=2024%2F&delimiter=%2F"
            "&include=deleted%2Cmetadata%2Csnapshots");
  EXPECT_EQ(Str(client_.blob_marker()), "next-1");

  ASSERT_EQ(client_.blobs().Count(), 2);
  const tw::BlobRecord& b = *client_.blobs().At(0);
  EXPECT_EQ(Str(b.name), "2024/\xC3\xBC x.jpg");
  EXPECT_EQ(Str(b.container), "photos");
  EXPECT_EQ(b.content_length, 5368709120LL);
  EXPECT_EQ(b.blob_type, tw::kAppendBlob);
  EXPECT_EQ(Str(b.access_tier), "Cool");
  EXPECT_TRUE(b.access_tier_inferred);
  EXPECT_EQ(Str(b.access_tier_changed), "tt");
  EXPECT_EQ(Str(b.archive_status), "rehydrate-pending-to-hot");
  EXPECT_EQ(Str(b.cache_control), "no-cache");
  EXPECT_EQ(Str(b.content_disposition), "inline");
  EXPECT_EQ(Str(b.content_encoding), "gzip");
  EXPECT_EQ(Str(b.content_language), "de");
  EXPECT_EQ(Str(b.content_md5), "md5==");
  EXPECT_EQ(Str(b.created_time), "ct");
  EXPECT_FALSE(b.is_leased);
  EXPECT_FALSE(b.is_lease_infinite);
  EXPECT_EQ(b.lease_state, tw::kLeaseExpired);
  EXPECT_EQ(b.retention_days_left, 6);
  EXPECT_EQ(b.sequence_num, -1);
  EXPECT_TRUE(b.soft_deleted);
  EXPECT_EQ(Str(b.soft_delete_time), "dt");
  const tw::BlobRecord& p = *client_.blobs().At(1);
  EXPECT_EQ(p.blob_type, tw::kPageBlob);
  EXPECT_EQ(p.sequence_num, 42);
  EXPECT_EQ(p.retention_days_left, -1);
  EXPECT_TRUE(p.is_leased);
  EXPECT_EQ(p.lease_state, tw::kLeaseBreaking);
  EXPECT_FALSE(p.soft_deleted);

  const auto listed = client_.sink.Of(tw::kBlobEventBlobList);
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].args, (Texts{"2024/\xC3\xBC x.jpg", "photos", "2", "2024-01-01T00:00:00.0000000Z",
                                   "5368709120", "image/jpeg", "ct", "mt", "et", "1", "0", "2"}));
  EXPECT_EQ(listed[1].args,
            (Texts{"page.vhd", "photos", "1", "", "512", "", "", "", "", "0", "1", "3"}));
  const auto metadata = client_.sink.Of(tw::kBlobEventMetadataList);
  ASSERT_EQ(metadata.size(), 1u);
  EXPECT_EQ(metadata[0].args,
            (Texts{"photos", "2024/\xC3\xBC x.jpg", "2024-01-01T00:00:00.0000000Z", "k", "v"}));
  // Prefixes fire even when they are not stored.
  const auto prefixes = client_.sink.Of(tw::kBlobEventPrefixList);
  ASSERT_EQ(prefixes.size(), 2u);
  EXPECT_EQ(prefixes[0].args, Texts{"2024/a b/"});
  EXPECT_EQ(prefixes[1].args, Texts{"2024/z/"});
  EXPECT_EQ(client_.Get("PrefixCount"), "0");

  // The fields without a property of the control, through the settings.
  EXPECT_EQ(client_.Get("BlobAccessTier[0]"), "Cool");
  EXPECT_EQ(client_.Get("BlobAccessTierInferred[0]"), "True");
  EXPECT_EQ(client_.Get("BlobRetentionDaysLeft[1]"), "-1");
  EXPECT_EQ(client_.Get("BlobSoftDeleteTime[0]"), "dt");
  EXPECT_EQ(client_.Get("BlobArchiveStatus[0]"), "rehydrate-pending-to-hot");
}

TEST_F(CannedListing, StoredPrefixesGrowAcrossPages) {
  const std::string page =
      "<EnumerationResults><Blobs><BlobPrefix><Name>p/</Name></BlobPrefix></Blobs>"
      "<NextMarker>m</NextMarker></EnumerationResults>";
  Serve({Reply(page), Reply(page), Reply(page)});
  client_.container().SetText("c");
  client_.set_store_prefix_list(true);
  ASSERT_EQ(client_.ListBlobs(), 0) << client_.Error();
  EXPECT_EQ(Target(peer_.request(0)), "/c?restype=container&comp=list");
  ASSERT_EQ(client_.ListBlobs(), 0);  // the marker "m" continues
  EXPECT_EQ(Target(peer_.request(1)), "/c?restype=container&comp=list&marker=m");
  EXPECT_EQ(client_.Get("PrefixCount"), "2");
  EXPECT_EQ(client_.Get("Prefix[1]"), "p/");
  EXPECT_EQ(client_.Set("Prefix[2]"), 605);
  client_.blob_marker().Reset();
  ASSERT_EQ(client_.ListBlobs(), 0);  // no marker: a new listing
  EXPECT_EQ(client_.Get("PrefixCount"), "1");
}

// Counts the control reports in 16 bits fail past 32767 and leave the collection and the marker
// as they were; the blocks of a blob are counted whole.
struct CountCase {
  const char* name;  // the listing: Blobs, BlobsContinued (32767 listed), Containers, Acl, Blocks
  const char* item;  // repeated 70,000 times where wrap has its %
  const char* wrap;
  int code;
  const char* text;
};
constexpr CountCase kCountCases[] = {
    {"Blobs", "<Blob><Name>b</Name></Blob>", "<EnumerationResults><Blobs>%</Blobs>"
     "</EnumerationResults>", 600, "the blob collection 70000 items long, more than BlobCount"},
    {"BlobsContinued", "<BlobPrefix><Name>p</Name></BlobPrefix>", "<EnumerationResults><Blobs>"
     "<Blob><Name>b</Name></Blob>%</Blobs></EnumerationResults>", 600, "collection 32768 items"},
    {"Containers", "<Container><Name>c</Name></Container>", "<EnumerationResults><Containers>%"
     "</Containers></EnumerationResults>", 600, "container collection 70000 items long"},
    {"Acl", "<SignedIdentifier><Id>i</Id></SignedIdentifier>",
     "<SignedIdentifiers>%</SignedIdentifiers>", 600, "more than AccessPolicyCount"},
    {"Blocks", "<Block><Name>YQ==</Name><Size>12582912</Size></Block>",
     "<BlockList><UncommittedBlocks>%</UncommittedBlocks></BlockList>", 0, ""},
};

class ListedCount : public CannedListing, public ::testing::WithParamInterface<CountCase> {};

TEST_P(ListedCount, PastTheTypeFailsWithItsText) {
  const CountCase& c = GetParam();
  std::string items, body = c.wrap, which = c.name;
  for (int i = 0; i < 70000; ++i) items += c.item;
  Serve({Reply(body.replace(body.find('%'), 1, items))});
  client_.container().SetText("c");
  const bool continued = which == "BlobsContinued";
  if (continued) client_.blobs().SetCount(32767), client_.blob_marker().SetText("m");
  int32_t level = 0;
  const int rc = which == "Containers" ? client_.ListContainers()
                 : which == "Acl"      ? client_.GetContainerACL(&level)
                 : which == "Blocks"   ? client_.ListBlocks("b", tw::kBlockListAll)
                                       : client_.ListBlobs();
  EXPECT_EQ(rc, c.code);
  EXPECT_NE(client_.Error().find(c.text), std::string::npos) << client_.Error();
  EXPECT_EQ(client_.containers().Count() + client_.access_policies().Count() +
                client_.blocks().Count() + client_.blobs().Count(),
            continued ? 32767 : which == "Blocks" ? 70000 : 0);
  EXPECT_EQ(Str(client_.blob_marker()), continued ? "m" : "");
  EXPECT_EQ(which == "Blocks" ? client_.blocks().At(69999)->size : 12582912, 12582912);
}

INSTANTIATE_TEST_SUITE_P(Listings, ListedCount, ::testing::ValuesIn(kCountCases),
                         testsupport::CaseName{});

TEST_F(CannedListing, BlobsTakeTheContainerPropertyWithoutTheAttribute) {
  Serve({Reply("<EnumerationResults><Blobs><Blob><Name>x</Name></Blob></Blobs></EnumerationResults>")});
  client_.container().SetText("mine");
  client_.Set("MaxResults=5000");
  client_.set_include_uncommitted_blobs(true);
  ASSERT_EQ(client_.ListBlobs(), 0) << client_.Error();
  EXPECT_EQ(Target(peer_.request(0)),
            "/mine?restype=container&comp=list&maxresults=5000&include=uncommittedblobs");
  ASSERT_EQ(client_.blobs().Count(), 1);
  EXPECT_EQ(Str(client_.blobs().At(0)->container), "mine");
  EXPECT_EQ(client_.blobs().At(0)->content_length, 0);
  EXPECT_TRUE(client_.blob_marker().empty());
}

TEST_F(CannedListing, BlobNamesArriveInTheCodePage) {
  Serve({Reply(kBlobsPage)});
  ASSERT_EQ(client_.Set("CodePage=1252"), 0);
  client_.container().SetText("photos");
  ASSERT_EQ(client_.ListBlobs(), 0) << client_.Error();
  ASSERT_GE(client_.blobs().Count(), 1);
  EXPECT_EQ(Str(client_.blobs().At(0)->name), "2024/\xFC x.jpg");
  EXPECT_EQ(client_.sink.last_code_page, 1252);
}

TEST_F(CannedListing, ListBlobsNeedsAContainer) {
  TestClient client;
  client.account().SetText("acct");
  EXPECT_EQ(client.ListBlobs(), 604);
  EXPECT_EQ(client.Error(), "The Container property must be set before calling this method.");
}

// ---- Blocks ----

std::string Base64(const std::string& bytes) {
  tw::ByteString out;
  tw::Base64Encode(out, bytes.data(), static_cast<int>(bytes.size()), false, 64, false);
  return Str(out);
}

TEST_F(CannedListing, BlockIdsDecodeOnlyWhenTheyAreCleanText) {
  const std::string text_id = "block-0000000001";  // 16 bytes of text
  const std::string binary_id = std::string("\x00\x01\xFF\xFE\x80 abc\x00zz\x7F\x10\x11\x12", 16);
  const std::string utf8_id = "h\xC3\xA9llo";
  const std::string latin1_id = "h\xE9llo";  // not UTF-8
  const std::string body =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?><BlockList><CommittedBlocks>"
      "<Block><Name>" + Base64(text_id) + "</Name><Size>4</Size></Block>"
      "<Block><Name>" + Base64(binary_id) + "</Name><Size>70000</Size></Block>"
      "</CommittedBlocks><UncommittedBlocks>"
      "<Block><Name>not*base64</Name><Size>1</Size></Block>"
      "<Block><Name>" + Base64(utf8_id) + "</Name><Size>2</Size></Block>"
      "<Block><Name>" + Base64(latin1_id) + "</Name><Size>3</Size></Block>"
      "<Block><Name>YWJj</Name></Block>"
      "</UncommittedBlocks></BlockList>";
  Serve({Reply(body), Reply(body)});
  client_.container().SetText("cont");
  client_.lease_id().SetText("lease-1");
  ASSERT_EQ(client_.ListBlocks("my blob", tw::kBlockListAll), 0) << client_.Error();
  const std::string request = peer_.request(0);
  EXPECT_EQ(Target(request), "/cont/my%20blob?comp=blocklist&blocklisttype=all");
  EXPECT_TRUE(HasHeader(request, "x-ms-lease-id: lease-1"));

  ASSERT_EQ(client_.blocks().Count(), 6);
  EXPECT_EQ(Str(client_.blocks().At(0)->id), text_id);
  EXPECT_EQ(client_.blocks().At(0)->block_type, tw::kBlockCommitted);
  EXPECT_EQ(client_.blocks().At(0)->size, 4);
  EXPECT_EQ(Str(client_.blocks().At(1)->id), Base64(binary_id));  // binary: the listed form
  EXPECT_EQ(client_.blocks().At(1)->size, 70000);
  EXPECT_EQ(Str(client_.blocks().At(2)->id), "not*base64");
  EXPECT_EQ(client_.blocks().At(2)->block_type, tw::kBlockUncommitted);
  EXPECT_EQ(Str(client_.blocks().At(3)->id), utf8_id);
  EXPECT_EQ(Str(client_.blocks().At(4)->id), Base64(latin1_id));  // not text in UTF-8
  EXPECT_EQ(Str(client_.blocks().At(5)->id), "abc");
  EXPECT_EQ(client_.blocks().At(5)->size, -1);

  const auto listed = client_.sink.Of(tw::kBlobEventBlockList);
  ASSERT_EQ(listed.size(), 6u);
  EXPECT_EQ(listed[0].args, (Texts{text_id, "0", "4"}));
  EXPECT_EQ(listed[1].args, (Texts{Base64(binary_id), "0", "70000"}));
  EXPECT_EQ(listed[3].args, (Texts{utf8_id, "1", "2"}));

  // Without EncodeBlockIds every id stays as listed.
  client_.Set("EncodeBlockIds=False");
  client_.snapshot().SetText("2024-01-01T00:00:00.0000000Z");
  ASSERT_EQ(client_.ListBlocks("b", 9), 0) << client_.Error();  // any type with a snapshot
  EXPECT_EQ(Target(peer_.request(1)),
            "/cont/b?comp=blocklist&snapshot=2024-01-01T00%3A00%3A00.0000000Z");
  ASSERT_EQ(client_.blocks().Count(), 6);
  EXPECT_EQ(Str(client_.blocks().At(0)->id), Base64(text_id));
}

TEST_F(CannedListing, ListBlocksChecksItsArguments) {
  Serve({Reply("<BlockList/>")});
  EXPECT_EQ(client_.ListBlocks("b", 0), 604);
  EXPECT_EQ(client_.Error(), "The Container property must be set before calling this method.");
  client_.container().SetText("c");
  EXPECT_EQ(client_.ListBlocks("", 0), 604);
  EXPECT_EQ(client_.Error(), "BlockBlob must be specified when calling this method.");
  EXPECT_EQ(client_.ListBlocks("b", 3), 202);
  EXPECT_EQ(client_.Error(), "BlockListType must be 0, 1, or 2.");
  EXPECT_EQ(client_.ListBlocks("b", -1), 202);
  EXPECT_EQ(peer_.connection_count(), 0);
  client_.blocks().GetOrCreate(4);
  ASSERT_EQ(client_.ListBlocks("b", tw::kBlockListUncommitted), 0) << client_.Error();
  EXPECT_EQ(Target(peer_.request(0)), "/c/b?comp=blocklist&blocklisttype=uncommitted");
  EXPECT_EQ(client_.blocks().Count(), 0);
}

// ---- Page ranges ----

TEST_F(CannedListing, PageRangesWithClearedRangesAndLargeOffsets) {
  Serve({Reply("<?xml version=\"1.0\"?><PageList><PageRange><Start>0</Start><End>511</End></PageRange>"
               "<ClearRange><Start>512</Start><End>1023</End></ClearRange>"
               "<PageRange><Start>4294967296</Start><End>4294967807</End></PageRange></PageList>")});
  client_.container().SetText("c");
  client_.snapshot().SetText("s2");
  client_.previous_snapshot().SetText("s1");
  client_.lease_id().SetText("l");
  client_.if_match().SetText("\"0x8\"");
  client_.SetRangeText("0-1023");
  ASSERT_EQ(client_.ListPageRanges("disk.vhd"), 0) << client_.Error();
  const std::string request = peer_.request(0);
  EXPECT_EQ(Target(request), "/c/disk.vhd?comp=pagelist&snapshot=s2&prevsnapshot=s1");
  EXPECT_TRUE(HasHeader(request, "x-ms-range: bytes=0-1023"));
  EXPECT_TRUE(HasHeader(request, "If-Match: \"0x8\""));
  EXPECT_TRUE(HasHeader(request, "x-ms-lease-id: l"));
  ASSERT_EQ(client_.page_ranges().Count(), 3);
  EXPECT_FALSE(client_.page_ranges().At(0)->cleared);
  EXPECT_EQ(client_.page_ranges().At(0)->last, 511);
  EXPECT_TRUE(client_.page_ranges().At(1)->cleared);
  EXPECT_EQ(client_.page_ranges().At(1)->first, 512);
  EXPECT_EQ(client_.page_ranges().At(2)->first, 4294967296LL);
  EXPECT_EQ(client_.page_ranges().At(2)->last, 4294967807LL);
  EXPECT_EQ(client_.Get("PageRangeCleared[1]"), "True");
  for (int slot : {1, 2, 3, 9, 10}) EXPECT_EQ(client_.sink.Count(slot), 0) << slot;
}

TEST_F(CannedListing, ListPageRangesChecksItsArguments) {
  TestClient client;
  client.account().SetText("acct");
  EXPECT_EQ(client.ListPageRanges("p"), 604);
  client.container().SetText("c");
  EXPECT_EQ(client.ListPageRanges(""), 604);
  EXPECT_EQ(client.Error(), "PageBlob must be specified when calling this method.");
}

// ---- Against the storage emulator ----

class AzuriteListing : public blobtest::EmulatorFixture {
 protected:
  void SetUp() override {
    EmulatorFixture::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    PointAt(client_);
  }
  // Runs the SDK steps (a JSON array); returns one output line per step and fails the test
  // on an SDK error.
  std::vector<std::string> Seed(const std::string& steps) {
    std::vector<std::string> lines = RunSdk("sdk_seed.js", steps);
    for (const std::string& line : lines) {
      EXPECT_EQ(line.find("\"error\""), std::string::npos) << line;
    }
    return lines;
  }
  std::vector<std::string> ContainerNames() {
    std::vector<std::string> names;
    for (int i = 0; i < client_.containers().Count(); ++i) {
      names.push_back(Str(client_.containers().At(i)->name));
    }
    return names;
  }

  TestClient client_;
};

TEST_F(AzuriteListing, ContainersInPagesOfTwoWithPrefixAndMetadata) {
  Seed(R"([{"op":"container","name":"page-a1","metadata":{"owner":"ann","tier":"1"}},
           {"op":"container","name":"page-a2"},{"op":"container","name":"page-a3"},
           {"op":"container","name":"page-a4"},{"op":"container","name":"page-a5"},
           {"op":"container","name":"other-b1"}])");
  client_.Set("MaxResults=2");
  client_.prefix().SetText("page-");
  client_.set_list_with_metadata(true);
  int pages = 0;
  do {
    ASSERT_EQ(client_.ListContainers(), 0) << client_.Error();
    ++pages;
    if (pages < 3) {
      EXPECT_FALSE(client_.container_marker().empty());
    }
  } while (!client_.container_marker().empty() && pages < 10);
  EXPECT_EQ(pages, 3);
  EXPECT_EQ(ContainerNames(),
            (std::vector<std::string>{"page-a1", "page-a2", "page-a3", "page-a4", "page-a5"}));
  const auto listed = client_.sink.Of(tw::kBlobEventContainerList);
  ASSERT_EQ(listed.size(), 5u);
  EXPECT_EQ(listed[4].args[0], "page-a5");
  EXPECT_FALSE(listed[0].args[1].empty());  // Last-Modified
  EXPECT_FALSE(listed[0].args[2].empty());  // ETag
  EXPECT_EQ(Str(client_.containers().At(0)->etag), listed[0].args[2]);
  std::set<std::string> metadata;
  for (const Event& e : client_.sink.Of(tw::kBlobEventMetadataList)) {
    metadata.insert(e.args[0] + "|" + e.args[3] + "=" + e.args[4]);
  }
  EXPECT_EQ(metadata, (std::set<std::string>{"page-a1|owner=ann", "page-a1|tier=1"}));
}

TEST_F(AzuriteListing, BlobsWithDelimiterAndNamesThatNeedEncoding) {
  const std::string umlaut_name = "dir one/gr\xC3\xBC\xC3\x9F" "e (1).txt";
  Seed(R"([{"op":"container","name":"names"},
           {"op":"blob","container":"names","name":"top level.txt","data":"12345",
            "contentType":"text/plain","metadata":{"k":"v"}},
           {"op":"blob","container":"names","name":"dir one/gr\u00fc\u00dfe (1).txt","data":"x"},
           {"op":"blob","container":"names","name":"dir one/sub/deep.bin","data":"y"},
           {"op":"blob","container":"names","name":"\u65e5\u672c/a+b=c&d.txt","data":"z"},
           {"op":"pages","container":"names","name":"disk.vhd","size":1024},
           {"op":"append","container":"names","name":"log.txt"}])");
  client_.container().SetText("names");
  client_.blob_delimiter().SetText("/");
  client_.set_store_prefix_list(true);
  client_.set_list_with_metadata(true);
  ASSERT_EQ(client_.ListBlobs(), 0) << client_.Error();
  std::vector<std::string> names;
  for (int i = 0; i < client_.blobs().Count(); ++i) names.push_back(Str(client_.blobs().At(i)->name));
  EXPECT_EQ(names, (std::vector<std::string>{"disk.vhd", "log.txt", "top level.txt"}));
  std::vector<std::string> prefixes;
  for (const Event& e : client_.sink.Of(tw::kBlobEventPrefixList)) prefixes.push_back(e.args[0]);
  EXPECT_EQ(prefixes, (std::vector<std::string>{"dir one/", "\xE6\x97\xA5\xE6\x9C\xAC/"}));
  EXPECT_EQ(client_.Get("PrefixCount"), "2");
  EXPECT_EQ(client_.Get("Prefix[0]"), "dir one/");
  const tw::BlobRecord& top = *client_.blobs().At(2);
  EXPECT_EQ(top.content_length, 5);
  EXPECT_EQ(Str(top.content_type), "text/plain");
  EXPECT_EQ(Str(top.container), "names");
  EXPECT_EQ(top.blob_type, tw::kBlockBlob);
  EXPECT_EQ(client_.blobs().At(0)->blob_type, tw::kPageBlob);
  EXPECT_EQ(client_.blobs().At(0)->sequence_num, 0);
  EXPECT_EQ(client_.blobs().At(1)->blob_type, tw::kAppendBlob);
  const auto metadata = client_.sink.Of(tw::kBlobEventMetadataList);
  ASSERT_EQ(metadata.size(), 1u);
  EXPECT_EQ(metadata[0].args, (Texts{"names", "top level.txt", "", "k", "v"}));

  // A non-ASCII prefix goes out in the query as UTF-8, and the names come back whole.
  client_.blob_delimiter().Reset();
  client_.prefix().SetText("dir one/gr\xC3\xBC");
  ASSERT_EQ(client_.ListBlobs(), 0) << client_.Error();
  ASSERT_EQ(client_.blobs().Count(), 1);
  EXPECT_EQ(Str(client_.blobs().At(0)->name), umlaut_name);
  client_.prefix().SetText("\xE6\x97\xA5");
  ASSERT_EQ(client_.ListBlobs(), 0) << client_.Error();
  ASSERT_EQ(client_.blobs().Count(), 1);
  EXPECT_EQ(Str(client_.blobs().At(0)->name), "\xE6\x97\xA5\xE6\x9C\xAC/a+b=c&d.txt");

  // The names travel back in request URLs: a HEAD of each listed name finds its blob.
  for (const std::string& name : {umlaut_name, std::string("\xE6\x97\xA5\xE6\x9C\xAC/a+b=c&d.txt"),
                                  std::string("top level.txt")}) {
    tw::ByteString url;
    ASSERT_EQ(client_.BuildRequestUrl("names", name.c_str(), &url), 0);
    EXPECT_EQ(client_.SendServiceRequest(url.c_str(), tw::kRestVerbHead, "", false), 0)
        << name << ": " << client_.Error();
  }
}

TEST_F(AzuriteListing, CommittedAndUncommittedBlocks) {
  const std::string binary_id = Base64(std::string("\x00\xFF\x10\x80", 4));
  Seed(R"([{"op":"container","name":"blocks"},
           {"op":"blocks","container":"blocks","name":"big file.bin",
            "committed":[{"id":")" + Base64("block-000") + R"(","data":"aaaa"},
                         {"id":")" + Base64("block-001") + R"(","data":"bb"}],
            "uncommitted":[{"id":")" + binary_id + R"(","data":"ccc"}]}])");
  client_.container().SetText("blocks");
  ASSERT_EQ(client_.ListBlocks("big file.bin", tw::kBlockListAll), 0) << client_.Error();
  ASSERT_EQ(client_.blocks().Count(), 3);
  EXPECT_EQ(Str(client_.blocks().At(0)->id), "block-000");
  EXPECT_EQ(client_.blocks().At(0)->size, 4);
  EXPECT_EQ(client_.blocks().At(0)->block_type, tw::kBlockCommitted);
  EXPECT_EQ(Str(client_.blocks().At(1)->id), "block-001");
  EXPECT_EQ(client_.blocks().At(1)->size, 2);
  EXPECT_EQ(Str(client_.blocks().At(2)->id), binary_id);
  EXPECT_EQ(client_.blocks().At(2)->size, 3);
  EXPECT_EQ(client_.blocks().At(2)->block_type, tw::kBlockUncommitted);
  const auto listed = client_.sink.Of(tw::kBlobEventBlockList);
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_EQ(listed[2].args, (Texts{binary_id, "1", "3"}));

  ASSERT_EQ(client_.ListBlocks("big file.bin", tw::kBlockListCommitted), 0) << client_.Error();
  EXPECT_EQ(client_.blocks().Count(), 2);
  ASSERT_EQ(client_.ListBlocks("big file.bin", tw::kBlockListUncommitted), 0) << client_.Error();
  ASSERT_EQ(client_.blocks().Count(), 1);
  EXPECT_EQ(Str(client_.blocks().At(0)->id), binary_id);
}

TEST_F(AzuriteListing, PageRangesAfterWritesAndClears) {
  Seed(R"([{"op":"container","name":"pages"},
           {"op":"pages","container":"pages","name":"disk.vhd","size":8192,
            "writes":[[0,512],[2048,2048]],"clears":[[2560,512]]}])");
  client_.container().SetText("pages");
  ASSERT_EQ(client_.ListPageRanges("disk.vhd"), 0) << client_.Error();
  std::vector<std::string> ranges;
  for (int i = 0; i < client_.page_ranges().Count(); ++i) {
    const tw::PageRangeRecord& r = *client_.page_ranges().At(i);
    ranges.push_back(std::to_string(r.first) + "-" + std::to_string(r.last) + (r.cleared ? "c" : ""));
  }
  EXPECT_EQ(ranges, (std::vector<std::string>{"0-511", "2048-2559", "3072-4095"}));
  client_.SetRangeText("2048-3071");
  ASSERT_EQ(client_.ListPageRanges("disk.vhd"), 0) << client_.Error();
  ASSERT_GE(client_.page_ranges().Count(), 1);
  EXPECT_EQ(client_.page_ranges().At(0)->first, 2048);
}

TEST_F(AzuriteListing, ContainerMadeByTheControlIsSeenByTheSdk) {
  tw::ByteString url;
  ASSERT_EQ(client_.BuildRequestUrl("made-by-control", "", &url), 0);
  const std::string create = Str(url) + "?restype=container";
  client_.other_headers_property().SetText("x-ms-meta-origin: control\r\nx-ms-meta-Note: two words");
  ASSERT_EQ(client_.SendServiceRequest(create.c_str(), tw::kRestVerbPut, "", false), 0)
      << client_.Error();
  const std::vector<std::string> lines =
      Seed(R"([{"op":"exists","container":"made-by-control"},
               {"op":"metadata","container":"made-by-control"}])");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], R"({"ok":true,"exists":true})");
  EXPECT_NE(lines[1].find(R"("origin":"control")"), std::string::npos) << lines[1];
  EXPECT_NE(lines[1].find(R"("note":"two words")"), std::string::npos) << lines[1];

  // A blob whose name needs encoding, written by the control, is found by the SDK under its name.
  ASSERT_EQ(client_.BuildRequestUrl("made-by-control", "sub dir/na\xC3\xAFve (x)+1.txt", &url), 0);
  client_.other_headers_property().SetText("x-ms-blob-type: BlockBlob");
  ASSERT_EQ(client_.SendServiceRequest(Str(url).c_str(), tw::kRestVerbPut, "data", false), 0)
      << client_.Error();
  const std::vector<std::string> found = Seed(
      R"([{"op":"exists","container":"made-by-control","name":"sub dir/na\u00efve (x)+1.txt"}])");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0], R"({"ok":true,"exists":true})");
  client_.container().SetText("made-by-control");
  client_.prefix().SetText("sub dir/");
  ASSERT_EQ(client_.ListBlobs(), 0) << client_.Error();
  ASSERT_EQ(client_.blobs().Count(), 1);
  EXPECT_EQ(Str(client_.blobs().At(0)->name), "sub dir/na\xC3\xAFve (x)+1.txt");
  EXPECT_EQ(client_.blobs().At(0)->content_length, 4);
}

TEST_F(AzuriteListing, CallersOwnSharedKeyAuthorization) {
  // The caller signs for itself (here with the client's own signer, then hands the header over):
  // x-ms-date travels in OtherHeaders, the signature in Authorization.
  tw::ByteString url;
  ASSERT_EQ(client_.BuildRequestUrl("", "", &url), 0);
  const std::string list = Str(url) + "?comp=list";
  tw::SharedKeySigner signer;
  ASSERT_EQ(signer.SetCredentials(AzuritePeer::account().c_str(), AzuritePeer::key().c_str()), 0);
  tw::PairList query;
  tw::PairList headers;
  tw::ByteStringPair* version = headers.GetOrCreate(0);
  version->first.SetText("x-ms-version");
  version->second.SetText("2019-02-02");
  tw::ByteString authorization;
  ASSERT_EQ(signer.Sign("GET", list.c_str(), query, headers, &authorization), 0);
  client_.authorization_property().Assign(authorization);
  client_.other_headers_property().SetText(("x-ms-date: " + Str(signer.date_text())).c_str());
  EXPECT_EQ(client_.SendServiceRequest(list.c_str(), tw::kRestVerbGet, "", true), 0)
      << client_.Error();
  // A wrong signature in Authorization is refused by the service.
  client_.authorization_property().SetText(
      ("SharedKey " + AzuritePeer::account() + ":AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=").c_str());
  EXPECT_EQ(client_.SendServiceRequest(list.c_str(), tw::kRestVerbGet, "", true), 600);
  EXPECT_EQ(client_.Error().rfind("Server Error [AuthorizationFailure]: Server failed to authenticate", 0),
            0u)
      << client_.Error();
}

TEST_F(AzuriteListing, WrongKeyIsRefusedWithTheServicesText) {
  // The emulator names a bad signature AuthorizationFailure (the cloud service says
  // AuthenticationFailed, which alone maps to 603).
  client_.access_key().SetText(
      "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA==");
  EXPECT_EQ(client_.ListContainers(), 600);
  EXPECT_EQ(client_.Error().rfind("Server Error [AuthorizationFailure]: ", 0), 0u) << client_.Error();
  EXPECT_EQ(client_.containers().Count(), 0);
}

TEST_F(AzuriteListing, AuthenticationFailedFromTheServiceIs603) {
  // A user delegation key cannot be had with a SharedKey: the service answers AuthenticationFailed.
  tw::ByteString url;
  ASSERT_EQ(client_.BuildRequestUrl("", "", &url), 0);
  const std::string request = Str(url) + "?restype=service&comp=userdelegationkey";
  const char body[] =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?><KeyInfo><Start>2030-01-01T00:00:00Z</Start>"
      "<Expiry>2030-01-02T00:00:00Z</Expiry></KeyInfo>";
  EXPECT_EQ(client_.SendServiceRequest(request.c_str(), tw::kRestVerbPost, body, true), 603);
  EXPECT_EQ(client_.Error().rfind("Server Error [AuthenticationFailed]: ", 0), 0u) << client_.Error();
}

TEST_F(AzuriteListing, MissingContainerAndMissingBlob) {
  client_.container().SetText("no-such-container");
  EXPECT_EQ(client_.ListBlobs(), 600);
  EXPECT_EQ(client_.Error().rfind("Server Error [ContainerNotFound]: ", 0), 0u) << client_.Error();
  Seed(R"([{"op":"container","name":"heads"}])");
  tw::ByteString url;
  ASSERT_EQ(client_.BuildRequestUrl("heads", "absent blob", &url), 0);
  EXPECT_EQ(client_.SendServiceRequest(url.c_str(), tw::kRestVerbHead, "", false), 600);
  EXPECT_EQ(client_.Error().rfind("Server Error [BlobNotFound]: ", 0), 0u) << client_.Error();
}

}  // namespace
