#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <unordered_set>

#include "core/json_decoding.hpp"
#include "core/records.hpp"

namespace folium {
namespace {

// Every decoder refuses a record that breaks its types (nothing is coerced), naming the record
// and the field, and an element of a list by its place.
TEST(RecordDecoding, RefusesWhatTheRecordDoesNotAllowAndNamesIt) {
  const std::string change =
      R"({"changes":[{"id":1,"entity_type":"Document","entity_id":"d","action":"created"}])";
  const std::pair<std::function<void()>, std::vector<std::string>> cases[] = {
      {[] { decodeObject<Workspace>(R"({"id":7,"label":"x"})"); }, {"Workspace.id"}},
      {[] { decodeObject<Workspace>(R"({"label":"x"})"); }, {"Workspace.id"}},
      {[] { decodeObject<Workspace>(R"({"id":null,"label":"x"})"); }, {"Workspace.id"}},
      {[] { decodeObject<Workspace>(R"({"id":"7","label":true})"); }, {"Workspace.label"}},
      {[] { decodeObject<Workspace>(R"({"id":"7","label":"x","description":12})"); },
       {"Workspace.description"}},
      {[] { decodeObject<Workspace>(R"(["id"])"); }, {"Workspace"}},
      {[] { decodeObject<Folder>(R"({"id":"1","name":"A","documents_folder_id":3})"); }, {}},
      {[&] { decodeObject<ChangePage>(change + R"(,"cursor":1})"); }, {}},
      {[&] { decodeObject<ChangePage>(change + R"(,"cursor":"1","has_more":false})"); }, {}},
      {[&] { decodeObject<ChangePage>(change + R"(,"cursor":1,"has_more":"false"})"); }, {}},
      {[] { decodeArray<Folder>(R"([{"id":"1","name":"a"},{"id":"2","name":"b"},{"id":"3"}])"); },
       {"element 2", "Folder.name"}},
      {[] { decodeArray<Folder>(R"({"id":"1","name":"a"})"); }, {}},
      {[] { decodeObject<SearchResponse>(R"({"total":0,"limit":5})"); }, {}},
      {[] { decodeObject<SearchResponse>(R"({"results":[],"total":1.5})"); }, {}},
  };
  for (const auto& [decode, named] : cases) {
    try {
      decode();
      ADD_FAILURE() << "accepted " << (named.empty() ? "" : named[0]);
    } catch (const DecodingError& e) {
      for (const auto& name : named)
        EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
    }
  }

  // What they accept (change pages are read in tests/fileprovider and tests/cli): a parent
  // absent or null is the top level, totals are optional.
  EXPECT_FALSE(decodeObject<Folder>(R"({"id":"1","name":"A","documents_folder_id":null})")
                   .documentsFolderId);
  EXPECT_EQ(decodeObject<Folder>(R"({"id":"1","name":"A","documents_folder_id":"9",
                                     "workspace_id":"w","created_at":"c","updated_at":"u"})"),
            (Folder{"1", "A", "9", "w", "c", "u"}));
  auto response =
      decodeObject<SearchResponse>(R"({"results":[{"entity_type":"Document","entity_id":"4",
      "name":"n","page_number":2,"excerpt":"e","folder_id":"f"}]})");
  ASSERT_EQ(response.results.size(), 1u);
  EXPECT_EQ(response.results[0].pageNumber, 2);
  EXPECT_EQ(response.results[0].id(), "4");
  EXPECT_FALSE(response.total.has_value());
}

// An identifier is an integer that fits 64 bits, or the record fails; a document's size is
// a hint, and a bad one is no size at all.
TEST(RecordDecoding, NumbersAreIntegralAndFitAndASizeIsAHint) {
  const std::tuple<const char*, std::optional<std::int64_t>, std::optional<std::int64_t>> cases[] =
      {
          // the number, read as an identifier, read as a size
          {"-3", -3, std::nullopt},
          {"0", 0, 0},
          {"12.0", 12, 12},
          {"1e3", 1000, 1000},
          {"9223372036854775807", INT64_MAX, INT64_MAX},
          {"-9223372036854775808", INT64_MIN, std::nullopt},
          {"12.5", std::nullopt, std::nullopt},
          {"9223372036854775808", std::nullopt, std::nullopt},
          {"1e300", std::nullopt, std::nullopt},
          {"\"12\"", std::nullopt, std::nullopt},
          {"null", std::nullopt, std::nullopt},
      };
  for (const auto& [number, id, size] : cases) {
    const std::string change = std::string(R"({"id":)") + number +
                               R"(,"entity_type":"Document","entity_id":"d","action":"created"})";
    if (id) {
      EXPECT_EQ(decodeObject<ChangeRecord>(change).id, *id) << number;
    } else {
      EXPECT_THROW(decodeObject<ChangeRecord>(change), DecodingError) << number;
    }
    const std::string document = std::string(R"({"id":"1","name":"a.txt","size":)") + number + "}";
    EXPECT_EQ(decodeObject<FoliumDocument>(document).size, size) << number;
  }
  EXPECT_FALSE(decodeObject<FoliumDocument>(R"({"id":"1","name":"a.txt"})").size.has_value());
}

// Records that each differ from `base` in one field, by one value moved along or dropped.
template <typename Record, typename... Fields>
void expectHashesFollowEquality(const Record& base, Fields Record::*... fields) {
  std::unordered_set<Record> set{base, base};
  std::size_t variants = 1;
  auto vary = [&](auto field) {
    for (auto value : {std::optional<std::string>(), std::optional<std::string>(""),
                       std::optional<std::string>("x")}) {
      Record changed = base;
      if constexpr (std::is_same_v<std::remove_reference_t<decltype(changed.*field)>,
                                   std::string>) {
        if (!value) continue;
        changed.*field = *value;
      } else {
        changed.*field = value;
      }
      if (changed == base) continue;
      ++variants;
      set.insert(changed);
      EXPECT_NE(std::hash<Record>{}(changed), std::hash<Record>{}(base));
    }
  };
  (vary(fields), ...);
  EXPECT_EQ(set.size(), variants);
  EXPECT_EQ(std::hash<Record>{}(Record(base)), std::hash<Record>{}(base));
}

TEST(RecordHashing, EveryFieldCountsAndEqualRecordsHashAlike) {
  expectHashesFollowEquality(Workspace{"1", "L", "d", "c", "u"}, &Workspace::id, &Workspace::label,
                             &Workspace::description, &Workspace::createdAt, &Workspace::updatedAt);
  expectHashesFollowEquality(Folder{"1", "n", "p", "w", "c", "u"}, &Folder::id, &Folder::name,
                             &Folder::documentsFolderId, &Folder::workspaceId, &Folder::createdAt,
                             &Folder::updatedAt);
  expectHashesFollowEquality(
      FoliumDocument{"1", "n", "p", "w", "d", "c", "u", 5}, &FoliumDocument::id,
      &FoliumDocument::name, &FoliumDocument::documentsFolderId, &FoliumDocument::workspaceId,
      &FoliumDocument::downloadUrl, &FoliumDocument::createdAt, &FoliumDocument::updatedAt);
  SearchHit hit{"Document", "7", "n", 3, "e", "u", "w", "f"};
  expectHashesFollowEquality(hit, &SearchHit::entityType, &SearchHit::entityId, &SearchHit::name,
                             &SearchHit::excerpt, &SearchHit::updatedAt, &SearchHit::workspaceId,
                             &SearchHit::folderId);
  // Two pages of one document are two rows.
  SearchHit otherPage = hit;
  otherPage.pageNumber = 4;
  EXPECT_EQ(std::unordered_set<SearchHit>({hit, otherPage}).size(), 2u);
}

TEST(BodyDecoding, HostileBodiesFailCleanly) {
  // Unknown keys may nest deeply in a valid record.
  std::string deep = R"({"id":"1","label":"x","extra":)";
  for (int i = 0; i < 500; ++i) deep += "[";
  for (int i = 0; i < 500; ++i) deep += "]";
  deep += "}";
  EXPECT_EQ(decodeObject<Workspace>(deep).label, "x");

  std::string tooDeep(100000, '[');
  EXPECT_THROW(decodeObject<Workspace>(tooDeep), DecodingError);
  EXPECT_THROW(decodeObject<Workspace>("{\"id\":\"\xff\xfe\",\"label\":\"x\"}"), DecodingError);
  EXPECT_THROW(decodeObject<Workspace>(""), DecodingError);
  EXPECT_THROW(decodeObject<Workspace>(R"({"id":"1","label":"x"} trailing)"), DecodingError);

  std::string big = R"({"id":"1","label":")" + std::string(20 << 20, 'a') + R"("})";
  EXPECT_EQ(decodeObject<Workspace>(big).label.size(), 20u << 20);
}

}  // namespace
}  // namespace folium
