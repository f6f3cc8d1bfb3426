#include "install/linked_files.h"

#include <algorithm>

namespace installer {

LinkedFiles::LinkedFiles() = default;

std::uint32_t LinkedFiles::newNode(std::uint32_t parent, std::string_view name) {
  Node node{parent, 1, std::string(name)};
  bytes_ += costOf(name);
  if (!freeNodes_.empty()) {
    std::uint32_t index = freeNodes_.back();
    freeNodes_.pop_back();
    nodes_[index] = std::move(node);
    return index;
  }
  nodes_.push_back(std::move(node));
  return static_cast<std::uint32_t>(nodes_.size() - 1);
}

void LinkedFiles::release(std::uint32_t node) {
  // Up the folders, as long as nothing holds them any more.
  while (--nodes_[node].holds == 0) {
    std::uint32_t parent = nodes_[node].parent;
    bytes_ -= costOf(nodes_[node].name);
    nodes_[node].name = std::string();
    freeNodes_.push_back(node);
    if (parent == node) {
      return;  // the top
    }
    node = parent;
  }
}

void LinkedFiles::enterFolder(std::string_view name) {
  if (path_.empty()) {
    std::uint32_t top = newNode(0, name);
    nodes_[top].parent = top;  // the top is its own parent
    path_.push_back(top);
    return;
  }
  ++nodes_[path_.back()].holds;
  path_.push_back(newNode(path_.back(), name));
}

void LinkedFiles::leaveFolder() {
  std::uint32_t node = path_.back();
  path_.pop_back();
  release(node);
}

void LinkedFiles::remember(const ItemIdentity& identity, std::string_view name, std::uint64_t namesLeft) {
  if (path_.empty() || bytes_ + costOf(name) > kMostBytes) {
    return;
  }
  std::uint32_t folder = path_.back();
  if (files_.emplace(identity, File{folder, std::string(name), namesLeft}).second) {
    ++nodes_[folder].holds;
    bytes_ += costOf(name);
  }
}

std::optional<LinkedFiles::Place> LinkedFiles::take(const ItemIdentity& identity) {
  auto found = files_.find(identity);
  if (found == files_.end()) {
    return std::nullopt;
  }
  Place place;
  for (std::uint32_t node = found->second.folder; nodes_[node].parent != node; node = nodes_[node].parent) {
    place.folders.push_back(nodes_[node].name);
  }
  std::reverse(place.folders.begin(), place.folders.end());
  place.name = found->second.name;
  if (--found->second.namesLeft == 0) {
    std::uint32_t folder = found->second.folder;
    bytes_ -= costOf(place.name);
    files_.erase(found);
    release(folder);
  }
  return place;
}

}  // namespace installer
