// The upload rules' pieces on their own: the /etc/mime.types table, the
// type lists and their verdicts, libmagic's reading of a bounded prefix,
// and the inspector that watches each file's data (size, SHA-256, type).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "content_sniffer.h"
#include "mime_types.h"
#include "server/file_inspector.h"
#include "sha256_digest.h"
#include "support/one_shot_sha256.h"
#include "type_rules.h"

namespace zimrax::zmfile {
namespace {

std::span<const std::uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

constexpr char kPngHeader[] = "\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\1\0\0\0\1\x08\x02\0\0\0";
const std::string kPng(kPngHeader, sizeof kPngHeader - 1);
const std::string kGzip = std::string("\x1f\x8b\x08\0\0\0\0\0\0\3", 10) + std::string(40, '\0');

TEST(MimeTypesTest, ParsesTypesAndExtensionsInAnyCase) {
  const MimeTypes table = MimeTypes::Parse(
      "# comment image/x-no x\n"
      "image/JPEG\tjpeg jpg JPE\r\n"
      "application/x-nothing\n"
      "text/plain  txt # trailing comment\n"
      "text/x-other txt\n"
      "noslash ext\n");
  EXPECT_EQ(table.TypesOf("JPG"), std::vector<std::string>{"image/jpeg"});
  EXPECT_EQ(table.TypesOf("jpe"), std::vector<std::string>{"image/jpeg"});
  EXPECT_EQ(table.TypesOf("txt"), (std::vector<std::string>{"text/plain", "text/x-other"}));
  EXPECT_TRUE(table.TypesOf("x").empty()) << "a comment is not an entry";
  EXPECT_TRUE(table.TypesOf("ext").empty()) << "a line without a media type is skipped";
  EXPECT_TRUE(table.TypesOf("comment").empty());

  std::string why;
  const std::optional<MimeTypes> system = MimeTypes::Load(kSystemMimeTypes, &why);
  ASSERT_TRUE(system) << why;
  EXPECT_EQ(system->TypesOf("png"), std::vector<std::string>{"image/png"});
  EXPECT_FALSE(MimeTypes::Load("/nonexistent/mime.types", &why));
  EXPECT_NE(why.find("media-types"), std::string::npos) << why;
}

TEST(TypeListTest, TakesExtensionsAndMediaTypesOnly) {
  struct Case {
    std::string text;
    bool ok;
    std::vector<std::string> extensions, types;
  };
  const std::vector<Case> cases = {
      {"", true, {}, {}},
      {".PDF, image/PNG ,image/*,.tar.gz", false, {}, {}},  // ".tar.gz": one extension only
      {".PDF, image/PNG ,image/*,,.pdf", true, {"pdf"}, {"image/png", "image/*"}},
      {"pdf", false, {}, {}},
      {".", false, {}, {}},
      {"image/", false, {}, {}},
      {"*/*", false, {}, {}},
      {"text/plain;charset=utf-8", false, {}, {}},
      {"application/vnd.ms-excel,.a_b", true, {"a_b"}, {"application/vnd.ms-excel"}},
  };
  for (const Case& c : cases) {
    std::string why;
    const std::optional<TypeList> list = ParseTypeList(c.text, &why);
    ASSERT_EQ(list.has_value(), c.ok) << c.text << ": " << why;
    if (!list) {
      EXPECT_NE(why.find("neither an extension"), std::string::npos) << why;
      continue;
    }
    EXPECT_EQ(list->extensions, c.extensions) << c.text;
    EXPECT_EQ(list->types, c.types) << c.text;
  }
}

TEST(TypeRulesTest, ExtensionOfTheStoredName) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"a.PDF", "pdf"}, {"archive.tar.gz", "gz"}, {"README", ""}, {".profile", ""}, {"name.", ""}, {"a.b.c", "c"}};
  for (const auto& [name, extension] : cases) EXPECT_EQ(ExtensionOf(name), extension) << name;
}

// Each rule and combination against a file's extension and content type.
TEST(TypeRulesTest, VerdictTable) {
  const MimeTypes table =
      MimeTypes::Parse("image/jpeg jpg jpeg\nimage/png png\ntext/plain txt\ntext/csv csv\napplication/json json\n");
  struct Case {
    std::string allow, deny;
    bool strict;
    std::string extension, content;
    std::string refusal;  // a piece of the refusal, "" when the file passes
  };
  const std::vector<Case> cases = {
      {".jpg,.png", "", false, "png", "", ""},
      {".jpg,.png", "", false, "gif", "", "ending in .gif are not accepted here; accepted: .jpg, .png"},
      {".jpg", "", false, "", "", "without an extension are not accepted"},
      {"image/*", "", false, "txt", "image/png", ""},
      {"image/*", "", false, "png", "text/html", "content is text/html, which is not accepted here"},
      {"image/png", "", false, "png", "", "could not be checked"},
      {".png,image/png", "", false, "png", "image/png", ""},
      {".png,image/png", "", false, "png", "text/x-php", "content is text/x-php"},
      {"", ".exe,.php", false, "PHP", "", ""},  // ExtensionOf lowers; a raw upper case one is not matched
      {"", ".exe,.php", false, "php", "", "ending in .php are not accepted here."},
      {"", "text/*", false, "jpg", "text/html", "content is text/html, which is not accepted here."},
      {"", "text/*", false, "jpg", "image/jpeg", ""},
      {"", "", true, "jpg", "image/jpeg", ""},
      {"", "", true, "jpg", "text/x-php", "does not match its extension .jpg"},
      {"", "", true, "txt", "image/png", "does not match its extension .txt"},
      {"", "", true, "csv", "text/plain", ""},   // libmagic's name for text it cannot tell apart
      {"", "", true, "json", "text/plain", ""},  // JSON is text too
      {"", "", true, "png", "text/plain", "does not match"},
      {"", "", true, "png", "application/octet-stream", ""},  // libmagic could not tell
      {"", "", true, "png", "application/x-empty", ""},
      {"", "", true, "unknownext", "image/png", ""},  // nothing to contradict
      {"", "", true, "", "text/x-php", ""},
  };
  for (const Case& c : cases) {
    TypeRules rules;
    std::string why;
    rules.allow = *ParseTypeList(c.allow, &why);
    rules.deny = *ParseTypeList(c.deny, &why);
    rules.strict = c.strict;
    if (c.strict) rules.table = table;
    const std::optional<std::string> refusal = TypeRefusal(rules, c.extension, c.content);
    const std::string label =
        c.allow + " | " + c.deny + (c.strict ? " | strict" : "") + ": ." + c.extension + " " + c.content;
    if (c.refusal.empty()) {
      EXPECT_FALSE(refusal) << label << " refused: " << *refusal;
    } else {
      ASSERT_TRUE(refusal) << label << " passed";
      EXPECT_NE(refusal->find(c.refusal), std::string::npos) << label << ": " << *refusal;
    }
  }
}

// libmagic reads only the first kMaxSniffBytes, and does not look into
// compressed data.
TEST(ContentSnifferTest, TypesOfABoundedPrefix) {
  const std::string html = "<!DOCTYPE html><html><body>hi</body></html>\n";
  const std::string gzipped_html = kGzip + html;
  struct Case {
    std::string label, bytes, type;
  };
  const std::vector<Case> cases = {
      {"png", kPng, "image/png"},
      {"png with a long tail", kPng + std::string(200000, '\x01'), "image/png"},
      {"text", "hello world\n", "text/plain"},
      {"html", html, "text/html"},
      {"php", "<?php system($_GET['c']); ?>\n", "text/x-php"},
      {"empty", "", "application/x-empty"},
      {"gzip is not opened", gzipped_html, "application/gzip"},
      {"png past the prefix is not seen", std::string(kMaxSniffBytes, 'a') + kPng, "text/plain"},
  };
  for (const Case& c : cases) EXPECT_EQ(SniffMimeType(Bytes(c.bytes)), c.type) << c.label;
}

// More threads than cookies (at most one a core): each call waits for a
// cookie of its own and gets the same answer as a lone call.
TEST(ContentSnifferTest, ConcurrentCallsShareTheCookiesSafely) {
  const std::string text = "plain words\n";
  const int thread_count = static_cast<int>(std::max(2u, std::thread::hardware_concurrency())) * 4;
  std::vector<int> wrong(thread_count, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < thread_count; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        wrong[t] += SniffMimeType(Bytes(i % 2 ? kPng : text)) != (i % 2 ? "image/png" : "text/plain");
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong, std::vector<int>(thread_count, 0));
  std::string why;
  EXPECT_TRUE(ContentSnifferWorks(&why)) << why;
}

// Fed in pieces of any size: the digest is that of the whole data, the
// size exact, the type that of the first bytes; a file one byte past the
// limit is dropped at that byte, one at the limit is not.
TEST(FileInspectorTest, SizeDigestAndTypeAsTheDataStreams) {
  UploadRules rules;
  rules.digest = true;
  rules.content_type = true;
  rules.max_file_size = 100000;
  const std::string at_limit = kPng + std::string(100000 - kPng.size(), 'p');
  const std::string past_limit = at_limit + "!";
  const std::string text = "just some words\n";
  for (const std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{65536}, std::size_t{1} << 20}) {
    SCOPED_TRACE("pieces of " + std::to_string(piece));
    FileInspector inspector(rules, 3);
    bool past_refused = false;
    const auto feed = [&](std::size_t field, const std::string& data) {
      bool kept = inspector.OnData(field, {});
      for (std::size_t at = 0; at < data.size() && kept; at += piece) {
        kept = inspector.OnData(field, Bytes(data).subspan(at, std::min(piece, data.size() - at)));
      }
      return kept;
    };
    EXPECT_TRUE(feed(0, at_limit));
    past_refused = !feed(1, past_limit);
    EXPECT_TRUE(feed(2, text));
    inspector.Settle();
    EXPECT_TRUE(past_refused);
    EXPECT_EQ(inspector.Field(0).size, at_limit.size());
    EXPECT_EQ(inspector.Field(0).sha256, testing::OneShotSha256(at_limit));
    EXPECT_EQ(inspector.Field(0).mime_type, "image/png") << "settled when the next file began";
    EXPECT_TRUE(inspector.Field(1).too_large);
    EXPECT_EQ(inspector.Field(1).sha256, "");
    EXPECT_EQ(inspector.Field(2).sha256, testing::OneShotSha256(text));
    EXPECT_EQ(inspector.Field(2).mime_type, "text/plain");
  }
}

// With a media type rule, a file is dropped as soon as its first
// kMaxSniffBytes show a refused type; a smaller file is judged at the end,
// with its name.
TEST(FileInspectorTest, ARefusedContentTypeStopsTheFileAtItsFirstBytes) {
  UploadRules rules;
  std::string why;
  rules.types.allow = *ParseTypeList("image/*", &why);
  FileInspector inspector(rules, 3);
  const std::string large_text(3 * kMaxSniffBytes, 't');
  inspector.OnData(0, {});
  std::size_t accepted = 0;
  for (std::size_t at = 0; at < large_text.size(); at += 1000) {
    if (!inspector.OnData(0, Bytes(large_text).subspan(at, std::min<std::size_t>(1000, large_text.size() - at)))) {
      break;
    }
    accepted += 1000;
  }
  EXPECT_LT(accepted, kMaxSniffBytes) << "refused at the piece that completed the first bytes";
  inspector.OnData(1, {});
  EXPECT_TRUE(inspector.OnData(1, Bytes("small text\n"))) << "a small file is judged with its name, at the end";
  const std::string large_png = kPng + std::string(2 * kMaxSniffBytes, '\0');
  inspector.OnData(2, {});
  EXPECT_TRUE(inspector.OnData(2, Bytes(large_png)));
  inspector.Settle();
  ASSERT_TRUE(inspector.Field(0).type_refusal);
  EXPECT_NE(inspector.Field(0).type_refusal->find("text/plain, which is not accepted here"), std::string::npos);
  EXPECT_FALSE(inspector.Field(1).type_refusal);
  EXPECT_EQ(inspector.Field(1).mime_type, "text/plain");
  EXPECT_FALSE(inspector.Field(2).type_refusal);
  EXPECT_EQ(inspector.Field(2).mime_type, "image/png");
}

// A restarted field starts over; an empty file has the empty digest.
TEST(FileInspectorTest, AStartOverForgetsWhatWasSeen) {
  UploadRules rules;
  rules.digest = true;
  FileInspector inspector(rules, 2);
  inspector.OnData(0, {});
  inspector.OnData(0, Bytes("voided bytes"));
  inspector.OnData(0, {});
  inspector.OnData(0, Bytes("kept"));
  inspector.OnData(1, {});
  inspector.Settle();
  EXPECT_EQ(inspector.Field(0).size, 4u);
  EXPECT_EQ(inspector.Field(0).sha256, testing::OneShotSha256("kept"));
  EXPECT_EQ(inspector.Field(1).sha256, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(inspector.Field(0).mime_type, "") << "no type without a rule that needs it";
}

}  // namespace
}  // namespace zimrax::zmfile
