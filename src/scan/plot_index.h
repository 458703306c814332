#pragma once
// The plot files of the last applied scan, by path. A rig can hold a
// hundred thousand of them, so each costs little: a folder's path is kept
// once, the names sit end to end in one string, and the lookup is an
// open-addressing table of entry numbers.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vorn {

struct PlotIndexEntry {
  std::uint64_t size_bytes = 0;
  std::uint64_t modified_unix_secs = 0;
  bool stable = false;
};

class PlotIndex {
 public:
  // Paths are compared as the rest of the program compares them: by their
  // components, so "D:\p\a.vorn" and "D:\p\\a.vorn" are the same file.
  const PlotIndexEntry* find(std::string_view path) const;
  PlotIndexEntry* find(std::string_view path);
  void insert_or_assign(std::string_view path, PlotIndexEntry entry);
  // Copies the entries of `from` whose files lie directly in `folder` (a
  // folder whose storage did not answer keeps what it held); how many.
  std::size_t copy_folder(const PlotIndex& from, std::string_view folder);

  std::size_t size() const { return records_.size(); }
  bool empty() const { return records_.empty(); }
  void reserve(std::size_t files);
  // Gives back what growing left unused, once the index is complete.
  void shrink_to_fit();

 private:
  struct Record {
    PlotIndexEntry entry;
    std::uint32_t folder = 0;
    std::uint32_t name_at = 0;  // the name ends where the next record's begins
  };
  struct Key {
    std::string folder_text;  // the folder's components, joined by NUL
    std::uint32_t folder = 0;  // its number, when known_folder
    bool known_folder = false;
    std::string name;
  };

  Key key_of(std::string_view path) const;
  void insert_key(Key key, PlotIndexEntry entry);
  std::string_view name_of(std::size_t record) const;
  std::uint64_t hash_of(std::uint32_t folder, std::string_view name) const;
  // The slot that holds the key's record number, or the empty slot where it would go.
  std::size_t slot_of(const Key& key) const;
  void grow_table(std::size_t slots);

  std::vector<std::string> folders_;  // each folder's components, joined by NUL
  std::string names_;
  std::vector<Record> records_;
  std::vector<std::uint32_t> table_;  // record number + 1; 0 is an empty slot
};

}  // namespace vorn
