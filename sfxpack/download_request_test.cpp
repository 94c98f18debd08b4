#include "sfxpack/download_request.h"

#include <gtest/gtest.h>

#include "archive/installer_writer.h"

namespace sfxpack {
namespace {

const std::vector<std::string> kDefaultTags = {"ERID", "EAPT"};

std::string text(const EmbeddedItem& item) { return std::string(item.data.begin(), item.data.end()); }

TEST(DownloadRequestTest, NoListLetsAUrlSetTheBusinessConfigurationOrKey) {
  std::vector<std::string> tags;
  std::string error;
  ASSERT_TRUE(ParseUrlTags(kDefaultUrlTags, &tags, &error));
  EXPECT_EQ(tags, kDefaultTags);
  for (const char* list : {"ERID,EBCF", "EBPK", "ERID,EAPT,EBPK"}) {
    EXPECT_FALSE(ParseUrlTags(list, &tags, &error)) << list;
    EXPECT_NE(error.find("never"), std::string::npos) << error;
  }
  EXPECT_FALSE(ParseUrlTags("ERID,", &tags, &error));
  EXPECT_FALSE(ParseUrlTags("erid", &tags, &error));
  ASSERT_TRUE(ParseUrlTags("ECFG,ERID,ECFG", &tags, &error));
  EXPECT_EQ(tags, (std::vector<std::string>{"ECFG", "ERID"}));
}

TEST(DownloadRequestTest, ItemsComeDecodedInTheQuerysOrder) {
  DownloadTarget t;
  std::string reason;
  ASSERT_TRUE(ParseDownloadTarget("/setup%20x.exe?EAPT=t%2Bk+1&&ERID=%00%ff", kDefaultTags, &t, &reason)) << reason;
  EXPECT_EQ(t.name, "setup x.exe");
  ASSERT_EQ(t.items.size(), 2u);
  EXPECT_EQ(t.items[0].tag, "EAPT");
  EXPECT_EQ(text(t.items[0]), "t+k 1");
  EXPECT_EQ(t.items[1].tag, "ERID");
  EXPECT_EQ(text(t.items[1]), std::string("\0\xff", 2));

  // A '+' in the path is a plus; the absolute form names the same download.
  ASSERT_TRUE(ParseDownloadTarget("HTTP://example.invalid:8080/a+b.exe?ERID=", kDefaultTags, &t, &reason)) << reason;
  EXPECT_EQ(t.name, "a+b.exe");
  ASSERT_EQ(t.items.size(), 1u);
  EXPECT_TRUE(t.items[0].data.empty());
  ASSERT_TRUE(ParseDownloadTarget("/setup.exe", kDefaultTags, &t, &reason));
  EXPECT_TRUE(t.items.empty());
}

TEST(DownloadRequestTest, ItemsAreStoredAsTagStoresThem) {
  DownloadTarget t;
  std::string reason;
  ASSERT_TRUE(ParseDownloadTarget("/s.exe?ECFG=a%3Db", {"ECFG"}, &t, &reason)) << reason;
  EmbeddedItem expected;
  ASSERT_TRUE(tzk::archive::PrepareEmbeddedItem("ECFG", Bytes{'a', '=', 'b'}, &expected, &reason));
  ASSERT_EQ(t.items.size(), 1u);
  EXPECT_EQ(t.items[0].data, expected.data);
}

struct Refused {
  const char* target;
  const char* reason;
};

TEST(DownloadRequestTest, WhatAUrlMayNotSayIsRefusedWithItsReason) {
  const Refused cases[] = {
      {"/s.exe?EBCF=x", "never sets EBCF"},
      {"/s.exe?EB%43F=x", "never sets EBCF"},
      {"/s.exe?EBPK=x", "never sets EBPK"},
      {"/s.exe?ECFG=x", "does not let a URL set ECFG"},
      {"/s.exe?erid=x", "unknown tag 'erid'"},
      {"/s.exe?v=2", "unknown tag 'v'"},
      {"/s.exe?ERID", "ERID has no value"},
      {"/s.exe?ERID=1&ERID=2", "ERID is given twice"},
      {"/s.exe?ERID=%4", "bad percent-encoding in the value of ERID"},
      {"/s.exe?ERID=%G0", "bad percent-encoding"},
      {"/s%2.exe", "bad percent-encoding in the path"},
      {"s.exe", "is not a path"},
      {"*", "is not a path"},
  };
  for (const Refused& c : cases) {
    DownloadTarget t;
    std::string reason;
    EXPECT_FALSE(ParseDownloadTarget(c.target, kDefaultTags, &t, &reason)) << c.target;
    EXPECT_NE(reason.find(c.reason), std::string::npos) << c.target << ": " << reason;
  }
}

// The reason goes back to the client and into logs: what the client sent is quoted escaped, so
// no reason carries a line break, a quote of its own or a byte that is not printable ASCII.
TEST(DownloadRequestTest, AReasonQuotesTheClientsBytesEscaped) {
  DownloadTarget t;
  std::string reason;
  ASSERT_FALSE(ParseDownloadTarget("/s.exe?X%0D%0AY'\xC3\xA9=1", kDefaultTags, &t, &reason));
  for (char c : reason) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << reason;
  EXPECT_NE(reason.find("'X%0D%0AY%27%C3%A9'"), std::string::npos) << reason;
  ASSERT_FALSE(ParseDownloadTarget("/s.exe?" + std::string(200, 'Q') + "=1", kDefaultTags, &t, &reason));
  EXPECT_LT(reason.size(), 120u);
}

struct RangeCase {
  const char* header;
  RangeRequest answer;
  std::uint64_t first, last;
};

TEST(DownloadRequestTest, ARangeIsClippedToTheFileOrIgnoredAsHttpSays) {
  const std::uint64_t size = 1000;
  const RangeCase cases[] = {
      {"bytes=0-99", RangeRequest::kPart, 0, 99},
      {" Bytes=990-2000 ", RangeRequest::kPart, 990, 999},
      {"bytes = 0-1", RangeRequest::kWhole, 0, 0},
      {"bytes=500-", RangeRequest::kPart, 500, 999},
      {"bytes=-10", RangeRequest::kPart, 990, 999},
      {"bytes=-5000", RangeRequest::kPart, 0, 999},
      {"bytes=999-999", RangeRequest::kPart, 999, 999},
      {"bytes=1000-", RangeRequest::kUnsatisfiable, 0, 0},
      {"bytes=99999999999999999999999-", RangeRequest::kUnsatisfiable, 0, 0},
      {"bytes=0-99999999999999999999999", RangeRequest::kPart, 0, 999},
      {"bytes=-0", RangeRequest::kUnsatisfiable, 0, 0},
      {"bytes=5-4", RangeRequest::kWhole, 0, 0},
      {"bytes=0-1,5-6", RangeRequest::kWhole, 0, 0},
      {"bytes=-", RangeRequest::kWhole, 0, 0},
      {"bytes=1-x", RangeRequest::kWhole, 0, 0},
      {"bytes=+1-2", RangeRequest::kWhole, 0, 0},
      {"items=0-1", RangeRequest::kWhole, 0, 0},
  };
  for (const RangeCase& c : cases) {
    std::uint64_t first = 0, last = 0;
    EXPECT_EQ(ParseRange(c.header, size, &first, &last), c.answer) << c.header;
    if (c.answer == RangeRequest::kPart) {
      EXPECT_EQ(first, c.first) << c.header;
      EXPECT_EQ(last, c.last) << c.header;
    }
  }
}

TEST(DownloadRequestTest, ConditionsCompareEntityTagsAsHttpSays) {
  const std::string etag = "\"0123abcd\"";
  EXPECT_TRUE(NoneMatchHits("*", etag));
  EXPECT_TRUE(NoneMatchHits("\"x\", W/\"0123abcd\"", etag));
  EXPECT_TRUE(NoneMatchHits("\"0123abcd\"", etag));
  EXPECT_FALSE(NoneMatchHits("\"0123abc\", \"0123abcd", etag));
  EXPECT_FALSE(NoneMatchHits("", etag));
  EXPECT_TRUE(IfRangeHolds(" \"0123abcd\"", etag));
  EXPECT_FALSE(IfRangeHolds("W/\"0123abcd\"", etag));
  EXPECT_FALSE(IfRangeHolds("Sat, 01 Jan 2000 00:00:00 GMT", etag));
}

}  // namespace
}  // namespace sfxpack
