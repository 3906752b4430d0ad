// Fault injection: reproducible with a seed, and harmless to the connection and the data.

#include <gtest/gtest.h>

#include "tests/devserver/api_client.hpp"

namespace folium::devserver::testing {
namespace {

using folium::testing::Devserver;

std::vector<int> statuses(Devserver& server, int count) {
  ApiClient api(server);
  std::vector<int> out;
  for (int i = 0; i < count; ++i) out.push_back(api.get("documents/workspaces").status);
  return out;
}

// Repeats a request until it is answered whole with `status` (faults are random).
Reply untilAnswered(const std::function<Reply()>& send, int status) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    Reply reply = send();
    if (reply.status == status) return reply;
  }
  ADD_FAILURE() << "no answer with status " << status << " in 200 attempts";
  return {};
}

TEST(FaultInjection, SameSeedFailsTheSameRequests) {
  const std::vector<std::string> args = {"--fail-rate", "0.3", "--seed", "7", "--latency", "1"};
  Devserver first(args);
  Devserver second(args);
  auto a = statuses(first, 120);
  auto b = statuses(second, 120);
  EXPECT_EQ(a, b);
  long failures = std::count(a.begin(), a.end(), 500);
  EXPECT_EQ(failures + std::count(a.begin(), a.end(), 200), 120) << "only 200 and 500 expected";
  EXPECT_GT(failures, 15);
  EXPECT_LT(failures, 60);

  Devserver other({"--fail-rate", "0.3", "--seed", "8"});
  EXPECT_NE(statuses(other, 120), a);

  Devserver never({"--fail-rate", "0"});
  auto clean = statuses(never, 20);
  EXPECT_EQ(std::count(clean.begin(), clean.end(), 200), 20);
}

TEST(FaultInjection, FailedRequestsWithBodiesLeaveTheConnectionUsable) {
  Devserver server({"--fail-rate", "0.5", "--seed", "3"});
  ApiClient api(server);
  Reply workspace = untilAnswered(
      [&] {
        return api.post("documents/workspaces", {{"label", "W"}});
      },
      201);
  std::string ws = str(workspace.json().at("id"));
  int created = 0;
  for (int i = 0; i < 40; ++i) {
    Reply reply =
        api.post("documents/folders", {{"name", "f" + std::to_string(i)}, {"workspace_id", ws}});
    // Anything else (a 400 from a body read as the next request...) means the stream broke.
    ASSERT_TRUE(reply.status == 201 || reply.status == 500) << reply.status << " " << reply.body;
    if (reply.status == 500) {
      EXPECT_EQ(reply.json().at("error"), "injected failure");
    } else {
      ++created;
    }
  }
  Reply list = untilAnswered([&] { return api.get("documents/folders?workspace_id=" + ws); }, 200);
  EXPECT_EQ(static_cast<int>(list.json().as_array().size()), created)
      << "a failed request changed the tree";
  EXPECT_GT(created, 0);
  EXPECT_LT(created, 40);
}

TEST(FaultInjection, DroppedResponsesAreCutShortButTheChangeIsMade) {
  Devserver server({"--drop-rate", "0.5", "--seed", "11"});
  ApiClient api(server);
  std::string contents(300000, 'x');
  for (size_t i = 0; i < contents.size(); i += 7) contents[i] = static_cast<char>(i % 251);

  // Creations whose answers are lost still happen: the names show up in the listing.
  for (int i = 0; i < 6; ++i)
    api.post("documents/workspaces", {{"label", "W" + std::to_string(i)}});
  Reply workspaces = untilAnswered([&] { return api.get("documents/workspaces"); }, 200);
  ASSERT_EQ(workspaces.json().as_array().size(), 6u);
  std::string ws = str(workspaces.json().as_array()[0].at("id"));

  api.createDocument(ws, "big.bin", contents);  // may be dropped; the document exists anyway
  Reply documents =
      untilAnswered([&] { return api.get("documents/documents?workspace_id=" + ws); }, 200);
  ASSERT_GE(documents.json().as_array().size(), 1u);
  std::string id = str(documents.json().as_array()[0].at("id"));

  int whole = 0;
  int cut = 0;
  for (int i = 0; i < 30; ++i) {
    Reply blob = api.get("documents/documents/" + id + "/blob");
    if (blob.status == 0) {
      ++cut;  // the transport saw fewer bytes than announced
    } else {
      ASSERT_EQ(blob.status, 200);
      EXPECT_TRUE(blob.body == contents) << "a complete answer has every byte";
      ++whole;
    }
  }
  EXPECT_GT(whole, 0);
  EXPECT_GT(cut, 0);
}

}  // namespace
}  // namespace folium::devserver::testing
