#include "os/zip/internal/zip_path_tree.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace os::internal {
namespace {

TEST(ZipPathTree, SharesEachFolderBetweenThePathsThatHoldIt) {
  ZipPathTree tree;
  const ZipPathTree::Node app = tree.child(ZipPathTree::kRoot, "Brevalo.app");
  const ZipPathTree::Node contents = tree.child(app, "Contents");
  const ZipPathTree::Node plist = tree.child(contents, "Info.plist");
  const ZipPathTree::Node macos = tree.child(contents, "MacOS");

  EXPECT_EQ(tree.child(app, "Contents"), contents);  // found, not added again
  EXPECT_EQ(tree.size(), 5u);
  EXPECT_EQ(tree.find(contents, "MacOS"), macos);
  EXPECT_EQ(tree.find(contents, "Resources"), std::nullopt);
  EXPECT_EQ(tree.find(ZipPathTree::kRoot, "Contents"), std::nullopt);  // only under its parent
  EXPECT_EQ(tree.children(contents), (std::vector<ZipPathTree::Node>{plist, macos}));

  EXPECT_EQ(tree.depth(ZipPathTree::kRoot), 0u);
  EXPECT_EQ(tree.depth(plist), 3u);
  EXPECT_EQ(tree.parent(plist), contents);
  EXPECT_EQ(tree.path(plist), "Brevalo.app/Contents/Info.plist");
  EXPECT_EQ(tree.path(ZipPathTree::kRoot), "");
  EXPECT_EQ(tree.lineage(plist), (std::vector<ZipPathTree::Node>{app, contents, plist}));
  EXPECT_TRUE(tree.lineage(ZipPathTree::kRoot).empty());
}

TEST(ZipPathTree, KeepsNamesApartThatOnlyTheirFoldersTellApart) {
  ZipPathTree tree;
  const ZipPathTree::Node a = tree.child(ZipPathTree::kRoot, "a");
  const ZipPathTree::Node b = tree.child(ZipPathTree::kRoot, "b");
  // Many children, so that the index grows and rehashes while names are looked up by view.
  std::vector<ZipPathTree::Node> underA;
  std::vector<ZipPathTree::Node> underB;
  for (int i = 0; i < 1000; ++i) {
    underA.push_back(tree.child(a, "x" + std::to_string(i)));
    underB.push_back(tree.child(b, "x" + std::to_string(i)));
  }
  for (int i = 0; i < 1000; ++i) {
    EXPECT_NE(underA[i], underB[i]);
    EXPECT_EQ(tree.find(a, "x" + std::to_string(i)), underA[i]);
    EXPECT_EQ(tree.path(underB[i]), "b/x" + std::to_string(i));
  }
}

}  // namespace
}  // namespace os::internal
