#include "config/ConfigDocument.h"

#include <istream>
#include <sstream>
#include <streambuf>
#include <vector>

#include "common/AtomicFile.h"
#include "common/File.h"

namespace imgweld {
namespace {

constexpr std::string_view kNameBlanks = " \t";
constexpr std::string_view kLineTrailing = " \t\r\n";

unsigned char FoldCase(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

// Trims a parsed line: blanks in front, blanks and line-end characters behind.
std::string_view TrimLine(std::string_view line) {
  const size_t first = line.find_first_not_of(kNameBlanks);
  if (first == std::string_view::npos) return {};
  line.remove_prefix(first);
  const size_t last = line.find_last_not_of(kLineTrailing);
  return last == std::string_view::npos ? std::string_view{} : line.substr(0, last + 1);
}

// Moves a map item to a new key; false when the new key is taken.
template <typename Map>
bool Rekey(Map& map, const std::string& oldKey, const std::string& newKey) {
  if (map.find(newKey) != map.end()) return false;
  auto node = map.extract(oldKey);
  if (node.empty()) return false;
  node.key() = newKey;
  map.insert(std::move(node));
  return true;
}

}  // namespace

bool NameLess::operator()(const std::string& a, const std::string& b) const {
  // strcasecmp stops at the first NUL; std::string may hold NUL bytes.
  const char* pa = a.c_str();
  const char* pb = b.c_str();
  for (;; ++pa, ++pb) {
    const unsigned char ca = FoldCase(static_cast<unsigned char>(*pa));
    const unsigned char cb = FoldCase(static_cast<unsigned char>(*pb));
    if (ca != cb) return ca < cb;
    if (ca == 0) return false;
  }
}

std::string TrimName(std::string_view name) {
  const size_t first = name.find_first_not_of(kNameBlanks);
  if (first == std::string_view::npos) return {};
  const size_t last = name.find_last_not_of(kNameBlanks);
  return std::string(name.substr(first, last - first + 1));
}

// --- ConfigEntry ---------------------------------------------------------

ConfigEntry::ConfigEntry(ConfigSection& owner, std::string name, uint32_t creationIndex)
    : owner_(owner), name_(std::move(name)), creationIndex_(creationIndex) {}

bool ConfigEntry::SetName(std::string_view newName) {
  std::string trimmed = TrimName(newName);
  if (!Rekey(owner_.entries_, name_, trimmed)) return false;
  name_ = std::move(trimmed);
  return true;
}

// --- ConfigSection -------------------------------------------------------

ConfigSection::ConfigSection(ConfigDocument& owner, std::string name, uint32_t creationIndex)
    : owner_(owner), name_(std::move(name)), creationIndex_(creationIndex) {}

ConfigEntry* ConfigSection::FindEntry(std::string_view key) const {
  const auto it = entries_.find(TrimName(key));
  return it == entries_.end() ? nullptr : it->second.get();
}

ConfigEntry* ConfigSection::GetOrAddEntry(std::string_view key) {
  std::string trimmed = TrimName(key);
  auto it = entries_.find(trimmed);
  if (it == entries_.end()) {
    auto entry = std::make_unique<ConfigEntry>(*this, trimmed, nextEntryIndex_++);
    it = entries_.emplace(std::move(trimmed), std::move(entry)).first;
  }
  return it->second.get();
}

std::string ConfigSection::GetValue(std::string_view key) const {
  const ConfigEntry* entry = FindEntry(key);
  return entry == nullptr ? std::string() : entry->Value();
}

void ConfigSection::SetValue(std::string_view key, std::string value) {
  GetOrAddEntry(key)->SetValue(std::move(value));
}

bool ConfigSection::SetName(std::string_view newName) {
  std::string trimmed = TrimName(newName);
  if (!Rekey(owner_.sections_, name_, trimmed)) return false;
  name_ = std::move(trimmed);
  return true;
}

void ConfigSection::RemoveEntry(std::string_view key) { entries_.erase(TrimName(key)); }

void ConfigSection::RemoveEntry(const ConfigEntry* entry) {
  if (entry != nullptr) entries_.erase(entry->name_);
}

// --- ConfigDocument ------------------------------------------------------

void ConfigDocument::Clear() { sections_.clear(); }

ConfigSection* ConfigDocument::FindSection(std::string_view name) const {
  const auto it = sections_.find(TrimName(name));
  return it == sections_.end() ? nullptr : it->second.get();
}

ConfigSection* ConfigDocument::GetOrAddSection(std::string_view name) {
  std::string trimmed = TrimName(name);
  auto it = sections_.find(trimmed);
  if (it == sections_.end()) {
    auto section = std::make_unique<ConfigSection>(*this, trimmed, nextSectionIndex_++);
    it = sections_.emplace(std::move(trimmed), std::move(section)).first;
  }
  return it->second.get();
}

std::string ConfigDocument::GetValue(std::string_view section, std::string_view key) const {
  const ConfigSection* found = FindSection(section);
  return found == nullptr ? std::string() : found->GetValue(key);
}

void ConfigDocument::SetValue(std::string_view section, std::string_view key, std::string value) {
  GetOrAddSection(section)->SetValue(key, std::move(value));
}

bool ConfigDocument::RenameSection(std::string_view oldName, std::string_view newName) {
  ConfigSection* section = FindSection(oldName);
  return section != nullptr && section->SetName(newName);
}

bool ConfigDocument::RenameKey(std::string_view section, std::string_view oldKey,
                               std::string_view newKey) {
  const ConfigSection* found = FindSection(section);
  if (found == nullptr) return false;
  ConfigEntry* entry = found->FindEntry(oldKey);
  return entry != nullptr && entry->SetName(newKey);
}

void ConfigDocument::RemoveSection(std::string_view name) { sections_.erase(TrimName(name)); }

void ConfigDocument::RemoveSection(const ConfigSection* section) {
  if (section != nullptr) sections_.erase(section->name_);
}

void ConfigDocument::Parse(std::istream& input, bool merge) {
  if (!merge) Clear();
  ConfigSection* current = nullptr;
  std::string raw;
  while (std::getline(input, raw)) {
    const std::string_view line = TrimLine(raw);
    if (line.empty()) continue;
    const size_t open = line.find('[');
    const size_t close = line.rfind(']');
    const size_t equals = line.find('=');
    const size_t hash = line.find('#');

    // The section test comes first, so 'key=[x]' opens section "x".
    if (open != std::string_view::npos && close != std::string_view::npos && close > open) {
      if (hash != std::string_view::npos && hash < open) continue;
      current = GetOrAddSection(line.substr(open + 1, close - open - 1));
      continue;
    }
    if (equals == std::string_view::npos) continue;
    if (hash != std::string_view::npos && hash < equals) continue;
    if (current == nullptr) continue;

    const size_t valueEnd = hash == std::string_view::npos ? line.size() : hash;
    const std::string_view value = line.substr(equals + 1, valueEnd - equals - 1);
    ConfigEntry* entry = current->GetOrAddEntry(line.substr(0, equals));
    // An empty value creates the key but never overwrites an earlier one.
    if (!value.empty()) entry->SetValue(std::string(value));
  }
}

namespace {

// Feeds an open File to the parser through one fixed buffer. A failed read
// ends the input like the end of the file; the File keeps the error.
class FileReadBuffer : public std::streambuf {
 public:
  explicit FileReadBuffer(File& file) : file_(file) {}

 protected:
  int_type underflow() override {
    if (gptr() == egptr()) {
      const size_t got = file_.Read(buffer_, sizeof buffer_);
      if (got == 0) return traits_type::eof();
      setg(buffer_, buffer_, buffer_ + got);
    }
    return traits_type::to_int_type(*gptr());
  }

 private:
  File& file_;
  char buffer_[16 * 1024];
};

}  // namespace

bool ConfigDocument::LoadFile(const std::string& path, bool merge, Output& out) {
  // Opened as an input: a FIFO or device given as the configuration is
  // refused at once instead of being waited on.
  File file;
  if (!file.OpenInput(path)) {
    out.Note(path, file.FailureText());
    return false;
  }
  FileReadBuffer buffer(file);
  std::istream input(&buffer);
  Parse(input, merge);
  // A read that failed midway leaves the document short of the rest of the
  // file; packing from it would build a different image without a word.
  if (file.Error() != 0) {
    out.Note(path, file.FailureText());
    return false;
  }
  return true;
}

namespace {

void WriteSection(std::ostream& output, const ConfigSection& section,
                  const std::vector<const ConfigEntry*>& entries) {
  output << '[' << section.Name() << "]\n";
  for (const ConfigEntry* entry : entries) output << entry->Name() << '=' << entry->Value() << '\n';
}

}  // namespace

void ConfigDocument::WriteByName(std::ostream& output) const {
  for (const auto& [name, section] : sections_) {
    std::vector<const ConfigEntry*> entries;
    for (const auto& [key, entry] : section->Entries()) entries.push_back(entry.get());
    WriteSection(output, *section, entries);
  }
}

void ConfigDocument::WriteInCreationOrder(std::ostream& output) const {
  std::map<uint32_t, const ConfigSection*> byIndex;
  for (const auto& [name, section] : sections_)
    byIndex.emplace(section->CreationIndex(), section.get());
  for (const auto& [index, section] : byIndex) {
    std::map<uint32_t, const ConfigEntry*> entryByIndex;
    for (const auto& [key, entry] : section->Entries()) {
      entryByIndex.emplace(entry->CreationIndex(), entry.get());
    }
    std::vector<const ConfigEntry*> entries;
    for (const auto& [entryIndex, entry] : entryByIndex) entries.push_back(entry);
    WriteSection(output, *section, entries);
  }
}

bool ConfigDocument::SaveFile(const std::string& path, bool inCreationOrder) const {
  std::ostringstream text;
  if (inCreationOrder) {
    WriteInCreationOrder(text);
  } else {
    WriteByName(text);
  }
  // The file takes its name only when complete, and replaces whatever link
  // stood under the name instead of writing through it.
  const std::string bytes = text.str();
  AtomicFile file;
  return file.Create(path) && file.Stream().Write(bytes.data(), bytes.size()) && file.Commit();
}

}  // namespace imgweld
