#include "os/zip/internal/zip_path_tree.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace os::internal {
namespace {

constexpr size_t kNameBlockSize = 64 << 10;
constexpr size_t kFirstIndexSize = 64;

}  // namespace

ZipPathTree::ZipPathTree() : index_(kFirstIndexSize, 0) {
  nodes_.push_back(Entry{kRoot, 0, kNone, kNone, kNone, 0, store({})});
}

const char* ZipPathTree::store(std::string_view name) {
  const size_t needed = name.size() + 1;
  if (needed > nameBlockLeft_) {
    const size_t size = std::max(needed, kNameBlockSize);
    nameBlocks_.push_back(std::make_unique<char[]>(size));
    nameBlockNext_ = nameBlocks_.back().get();
    nameBlockLeft_ = size;
  }
  char* copy = nameBlockNext_;
  if (!name.empty()) std::memcpy(copy, name.data(), name.size());
  copy[name.size()] = '\0';
  nameBlockNext_ += needed;
  nameBlockLeft_ -= needed;
  return copy;
}

// The slot that holds the child `name` of `parent`, or the free slot where it would go.
size_t ZipPathTree::slotOf(Node parent, std::string_view name) const {
  const size_t mask = index_.size() - 1;
  size_t slot =
      (std::hash<std::string_view>()(name) ^ (size_t{parent} * 0x9E3779B97F4A7C15u)) & mask;
  while (index_[slot] != 0) {
    const Entry& entry = nodes_[index_[slot]];
    if (entry.parent == parent && this->name(index_[slot]) == name) return slot;
    slot = (slot + 1) & mask;
  }
  return slot;
}

void ZipPathTree::growIndex() {
  std::vector<Node> old(index_.size() * 2, 0);
  old.swap(index_);
  for (Node node : old) {
    if (node != 0) index_[slotOf(nodes_[node].parent, name(node))] = node;
  }
}

ZipPathTree::Node ZipPathTree::child(Node parent, std::string_view name) {
  size_t slot = slotOf(parent, name);
  if (index_[slot] != 0) return index_[slot];
  const Node node = static_cast<Node>(nodes_.size());
  nodes_.push_back(Entry{parent, nodes_[parent].depth + 1, kNone, kNone, kNone,
                         static_cast<uint32_t>(name.size()), store(name)});
  Entry& folder = nodes_[parent];
  if (folder.lastChild == kNone) {
    folder.firstChild = node;
  } else {
    nodes_[folder.lastChild].nextSibling = node;
  }
  folder.lastChild = node;
  index_[slot] = node;
  if (nodes_.size() * 2 > index_.size()) growIndex();
  return node;
}

std::optional<ZipPathTree::Node> ZipPathTree::find(Node parent, std::string_view name) const {
  const Node node = index_[slotOf(parent, name)];
  if (node == 0) return std::nullopt;
  return node;
}

std::vector<ZipPathTree::Node> ZipPathTree::children(Node node) const {
  std::vector<Node> nodes;
  for (Node child = nodes_[node].firstChild; child != kNone; child = nodes_[child].nextSibling) {
    nodes.push_back(child);
  }
  return nodes;
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
