#include "os/zip/internal/zip_path_tree.h"

#include <algorithm>

namespace os::internal {

ZipPathTree::ZipPathTree() { nodes_.push_back(Entry{kRoot, 0, {}, {}}); }

ZipPathTree::Node ZipPathTree::child(Node parent, std::string_view name) {
  if (std::optional<Node> existing = find(parent, name)) return *existing;
  const Node node = static_cast<Node>(nodes_.size());
  nodes_.push_back(Entry{parent, nodes_[parent].depth + 1, std::string(name), {}});
  index_.emplace(Key{parent, nodes_.back().name}, node);
  nodes_[parent].children.push_back(node);
  return node;
}

std::optional<ZipPathTree::Node> ZipPathTree::find(Node parent, std::string_view name) const {
  auto found = index_.find(Key{parent, name});
  if (found == index_.end()) return std::nullopt;
  return found->second;
}

std::vector<ZipPathTree::Node> ZipPathTree::lineage(Node node) const {
  std::vector<Node> nodes(depth(node));
  for (size_t i = nodes.size(); i > 0; --i, node = parent(node)) nodes[i - 1] = node;
  return nodes;
}

std::string ZipPathTree::path(Node node) const {
  std::string joined;
  for (Node step : lineage(node)) {
    if (!joined.empty()) joined += '/';
    joined += name(step);
  }
  return joined;
}

}  // namespace os::internal
