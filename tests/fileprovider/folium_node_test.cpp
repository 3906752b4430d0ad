#include "fileprovider/folium_node.hpp"

#include <gtest/gtest.h>

namespace folium::fp {
namespace {

using Case = Kind;

TEST(FoliumNode, ParsesIdentifiersAndWritesThemBack) {
  const struct {
    std::string identifier;
    Case kind;
    std::string id;
  } cases[] = {
      {"ws:42", Case::workspace, "42"},    {"fo:7", Case::folder, "7"},
      {"do:19", Case::document, "19"},     {"ws:", Case::workspace, ""},
      {"fo:a:b:c", Case::folder, "a:b:c"}, {"do:é / ?#", Case::document, "é / ?#"},
      {"do:do:1", Case::document, "do:1"},
  };
  for (const auto& c : cases) {
    const FoliumNode node(c.identifier);
    EXPECT_EQ(node.kind, c.kind) << c.identifier;
    EXPECT_EQ(node.id, c.id) << c.identifier;
  }
  // Everything else is the root, the service's other containers included; what a node
  // writes reads back as the same node.
  for (const std::string identifier : {"NSFileProviderWorkingSetContainerItemIdentifier",
                                       "NSFileProviderTrashContainerItemIdentifier", "WS:42",
                                       "Fo:7", "ws42", " do:1", "xx:1", ""}) {
    EXPECT_EQ(FoliumNode(identifier), FoliumNode::root()) << identifier;
  }
  for (const FoliumNode& node : {FoliumNode::folder("a:b"), FoliumNode::document(""),
                                 FoliumNode::document("x y"), FoliumNode::root()}) {
    EXPECT_EQ(FoliumNode(node.identifier()), node) << node.identifier();
  }
}

}  // namespace
}  // namespace folium::fp
