#include "scan/plot_index.h"

#include "platform/paths.h"

namespace vorn {

PlotIndex::Key PlotIndex::key_of(std::string_view path) const {
  std::vector<std::string> parts = platform::path_components(path);
  Key key;
  if (!parts.empty()) {
    key.name = std::move(parts.back());
    parts.pop_back();
  }
  for (const std::string& part : parts) {
    key.folder_text += part;
    key.folder_text += '\0';  // never inside a component
  }
  for (std::size_t i = 0; i < folders_.size(); ++i) {
    if (folders_[i] == key.folder_text) {
      key.folder = static_cast<std::uint32_t>(i);
      key.known_folder = true;
      break;
    }
  }
  return key;
}

std::string_view PlotIndex::name_of(std::size_t record) const {
  const std::size_t begin = records_[record].name_at;
  const std::size_t end = record + 1 < records_.size() ? records_[record + 1].name_at : names_.size();
  return std::string_view(names_).substr(begin, end - begin);
}

std::uint64_t PlotIndex::hash_of(std::uint32_t folder, std::string_view name) const {
  std::uint64_t h = 14695981039346656037ull ^ folder;  // FNV-1a
  for (char c : name) {
    h ^= static_cast<unsigned char>(c);
    h *= 1099511628211ull;
  }
  return h ^ (h >> 29);
}

std::size_t PlotIndex::slot_of(const Key& key) const {
  const std::size_t mask = table_.size() - 1;
  std::size_t slot = hash_of(key.folder, key.name) & mask;
  while (table_[slot] != 0) {
    const std::size_t record = table_[slot] - 1;
    if (records_[record].folder == key.folder && name_of(record) == key.name) return slot;
    slot = (slot + 1) & mask;
  }
  return slot;
}

void PlotIndex::grow_table(std::size_t slots) {
  table_.assign(slots, 0);
  const std::size_t mask = slots - 1;
  for (std::size_t record = 0; record < records_.size(); ++record) {
    std::size_t slot = hash_of(records_[record].folder, name_of(record)) & mask;
    while (table_[slot] != 0) slot = (slot + 1) & mask;
    table_[slot] = static_cast<std::uint32_t>(record + 1);
  }
}

const PlotIndexEntry* PlotIndex::find(std::string_view path) const {
  if (records_.empty()) return nullptr;
  const Key key = key_of(path);
  if (!key.known_folder) return nullptr;
  const std::uint32_t found = table_[slot_of(key)];
  return found == 0 ? nullptr : &records_[found - 1].entry;
}

PlotIndexEntry* PlotIndex::find(std::string_view path) {
  return const_cast<PlotIndexEntry*>(static_cast<const PlotIndex&>(*this).find(path));
}

void PlotIndex::insert_or_assign(std::string_view path, PlotIndexEntry entry) { insert_key(key_of(path), entry); }

std::size_t PlotIndex::copy_folder(const PlotIndex& from, std::string_view folder) {
  // A file in the folder has the folder's part of the key; "x" stands for its name.
  const std::string in_folder = std::string(folder) + "/x";
  const Key folder_key = from.key_of(in_folder);
  if (!folder_key.known_folder) return 0;  // nothing there
  std::size_t copied = 0;
  for (std::size_t record = 0; record < from.records_.size(); ++record) {
    if (from.records_[record].folder != folder_key.folder) continue;
    Key key = key_of(in_folder);
    key.name = std::string(from.name_of(record));
    insert_key(std::move(key), from.records_[record].entry);
    ++copied;
  }
  return copied;
}

void PlotIndex::insert_key(Key key, PlotIndexEntry entry) {
  if (!key.known_folder) {
    key.folder = static_cast<std::uint32_t>(folders_.size());
    folders_.push_back(std::move(key.folder_text));
  }
  // At most half the slots in use keeps the probes short.
  if ((records_.size() + 1) * 2 > table_.size()) grow_table(table_.empty() ? 16 : table_.size() * 2);
  const std::size_t slot = slot_of(key);
  if (table_[slot] != 0) {
    records_[table_[slot] - 1].entry = entry;
    return;
  }
  records_.push_back(Record{entry, key.folder, static_cast<std::uint32_t>(names_.size())});
  names_ += key.name;
  table_[slot] = static_cast<std::uint32_t>(records_.size());
}

void PlotIndex::reserve(std::size_t files) {
  records_.reserve(files);
  std::size_t slots = 16;
  while (slots < files * 2) slots *= 2;
  if (slots > table_.size()) grow_table(slots);
}

void PlotIndex::shrink_to_fit() {
  names_.shrink_to_fit();
  records_.shrink_to_fit();
}

}  // namespace vorn
