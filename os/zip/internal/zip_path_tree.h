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
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
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
  const std::string& name(Node node) const { return nodes_[node].name; }
  // How many components the node's path has; the root's is 0.
  size_t depth(Node node) const { return nodes_[node].depth; }
  // The children in the order they were added.
  const std::vector<Node>& children(Node node) const { return nodes_[node].children; }
  // How many nodes there are, the root included; nodes are numbered from 0.
  size_t size() const { return nodes_.size(); }

  // The node's path relative to the root, components joined with "/". Costs the path's length:
  // for messages and the rare operation on one item, not for every step of a walk.
  std::string path(Node node) const;
  // The nodes from the root's child down to `node` itself (empty for the root).
  std::vector<Node> lineage(Node node) const;

 private:
  struct Entry {
    Node parent;
    uint32_t depth;
    std::string name;
    std::vector<Node> children;
  };
  struct Key {
    Node parent;
    std::string_view name;  // the child's own name, which a deque never moves
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    size_t operator()(const Key& key) const {
      return std::hash<std::string_view>()(key.name) ^ (size_t{key.parent} * 0x9E3779B97F4A7C15u);
    }
  };

  std::deque<Entry> nodes_;
  std::unordered_map<Key, Node, KeyHash> index_;
};

}  // namespace os::internal
