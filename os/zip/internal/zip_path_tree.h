// The paths an archive names, as a tree of components, so that a path's parent, each of its
// folders and a lookup cost the length of one component, never of the whole path: unpacking
// then costs in proportion to the total length of the entries' names, however deep they go.
//
//   ZipPathTree tree;
//   ZipPathTree::Node app = tree.child(ZipPathTree::kRoot, "Brevalo.app");
//   ZipPathTree::Node contents = tree.child(app, "Contents");
//   tree.find(app, "Contents");   // contents
//   tree.path(contents);          // "Brevalo.app/Contents"
//
// Not thread-safe while it grows; concurrent readers are fine once it is built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace os::internal {

class ZipPathTree {
 public:
  using Node = uint32_t;
  // The folder the archive is unpacked into; the empty path.
  static constexpr Node kRoot = 0;

  ZipPathTree();
  ZipPathTree(const ZipPathTree&) = delete;
  ZipPathTree& operator=(const ZipPathTree&) = delete;

  // The child `name` (one component, not empty) of `parent`, added when missing.
  Node child(Node parent, std::string_view name);
  // The child `name` of `parent`; nullopt when there is none.
  std::optional<Node> find(Node parent, std::string_view name) const;

  Node parent(Node node) const { return nodes_[node].parent; }
  // The node's own name; followed by a NUL, so that data() can go to a system call.
  std::string_view name(Node node) const { return {nodes_[node].name, nodes_[node].nameLength}; }
  // How many components the node's path has; the root's is 0.
  size_t depth(Node node) const { return nodes_[node].depth; }
  // The children in the order they were added.
  std::vector<Node> children(Node node) const;
  // How many nodes there are, the root included; nodes are numbered from 0.
  size_t size() const { return nodes_.size(); }

  // The node's path relative to the root, components joined with "/". Costs the path's length:
  // for messages and the rare operation on one item, not for every step of a walk.
  std::string path(Node node) const;
  // The nodes from the root's child down to `node` itself (empty for the root).
  std::vector<Node> lineage(Node node) const;

 private:
  // An archive can name a million paths: a node is 32 bytes, its name lives in a shared block
  // and the index holds only node numbers.
  static constexpr Node kNone = UINT32_MAX;
  struct Entry {
    Node parent;
    uint32_t depth;
    Node firstChild;
    Node lastChild;
    Node nextSibling;
    uint32_t nameLength;
    const char* name;
  };

  // A copy of `name` with a NUL after it, in a block that never moves.
  const char* store(std::string_view name);
  size_t slotOf(Node parent, std::string_view name) const;
  void growIndex();

  std::deque<Entry> nodes_;
  std::vector<std::unique_ptr<char[]>> nameBlocks_;
  size_t nameBlockLeft_ = 0;
  char* nameBlockNext_ = nullptr;
  // Open addressing on (parent, name): node numbers, 0 for a free slot (the root is nobody's
  // child); a power of two in size, at most half full.
  std::vector<Node> index_;
};

}  // namespace os::internal
