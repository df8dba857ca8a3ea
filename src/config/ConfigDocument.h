#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

#include "common/Output.h"

namespace imgweld {

// Orders names as strcasecmp does in the C locale: ASCII letters fold to lower
// case, bytes compare unsigned, the comparison ends at the first NUL byte.
struct NameLess {
  bool operator()(const std::string& a, const std::string& b) const;
};

// Removes spaces and tabs from both ends of a section or key name.
std::string TrimName(std::string_view name);

class ConfigSection;
class ConfigDocument;

class ConfigEntry {
 public:
  ConfigEntry(ConfigSection& owner, std::string name, uint32_t creationIndex);
  ConfigEntry(const ConfigEntry&) = delete;
  ConfigEntry& operator=(const ConfigEntry&) = delete;

  std::string Name() const { return name_; }
  std::string Value() const { return value_; }
  void SetValue(std::string value) { value_ = std::move(value); }
  uint32_t CreationIndex() const { return creationIndex_; }
  // Renames the key within its section; false when the section already has
  // a key of that name (in any letter case), and then nothing changes.
  bool SetName(std::string_view newName);

 private:
  friend class ConfigSection;
  ConfigSection& owner_;
  std::string name_;
  std::string value_;
  const uint32_t creationIndex_;
};

class ConfigSection {
 public:
  using EntryMap = std::map<std::string, std::unique_ptr<ConfigEntry>, NameLess>;

  ConfigSection(ConfigDocument& owner, std::string name, uint32_t creationIndex);
  ConfigSection(const ConfigSection&) = delete;
  ConfigSection& operator=(const ConfigSection&) = delete;

  std::string Name() const { return name_; }
  uint32_t CreationIndex() const { return creationIndex_; }

  ConfigEntry* FindEntry(std::string_view key) const;
  ConfigEntry* GetOrAddEntry(std::string_view key);
  std::string GetValue(std::string_view key) const;
  void SetValue(std::string_view key, std::string value);
  bool SetName(std::string_view newName);
  void RemoveEntry(std::string_view key);
  void RemoveEntry(const ConfigEntry* entry);
  const EntryMap& Entries() const { return entries_; }

 private:
  friend class ConfigEntry;
  friend class ConfigDocument;
  ConfigDocument& owner_;
  std::string name_;
  const uint32_t creationIndex_;
  EntryMap entries_;
  uint32_t nextEntryIndex_ = 0;
};

class ConfigDocument {
 public:
  using SectionMap = std::map<std::string, std::unique_ptr<ConfigSection>, NameLess>;

  ConfigDocument() = default;
  ConfigDocument(const ConfigDocument&) = delete;
  ConfigDocument& operator=(const ConfigDocument&) = delete;

  // False, with the reason noted on `out` ("imgweld: <path>: <reason>"),
  // when the file cannot be opened as an input (a FIFO, directory or device
  // is refused without waiting), and the document is then untouched; also
  // when a read fails midway, and the document then holds what was read.
  // The caller's own message, where it has one, names the step that failed.
  bool LoadFile(const std::string& path, bool merge, Output& out);
  // Never fails: malformed lines are skipped.
  void Parse(std::istream& input, bool merge);

  void Clear();
  ConfigSection* FindSection(std::string_view name) const;
  ConfigSection* GetOrAddSection(std::string_view name);
  std::string GetValue(std::string_view section, std::string_view key) const;
  void SetValue(std::string_view section, std::string_view key, std::string value);
  bool RenameSection(std::string_view oldName, std::string_view newName);
  bool RenameKey(std::string_view section, std::string_view oldKey, std::string_view newKey);
  void RemoveSection(std::string_view name);
  void RemoveSection(const ConfigSection* section);
  const SectionMap& Sections() const { return sections_; }

  // The INI text, in name order or in creation order; lines end in "\n".
  void WriteByName(std::ostream& output) const;
  void WriteInCreationOrder(std::ostream& output) const;
  // Writes the file under a temporary name beside `path` and renames it over
  // `path` when complete. False when it cannot be created or written; `path`
  // then keeps what it held.
  bool SaveFile(const std::string& path, bool inCreationOrder) const;

 private:
  friend class ConfigSection;
  SectionMap sections_;
  uint32_t nextSectionIndex_ = 0;
};

}  // namespace imgweld
