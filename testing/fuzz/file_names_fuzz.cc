// Fuzz target: the update-file search over a directory tree generated from
// the input under the drivers folder (names up to and past the length limits,
// dots, letter case, trailing blanks, hidden, system and read-only entries,
// nesting) with an update-file name from the input.
//
// The tree lives in memory behind the platform's directory search, which
// watches the search as it goes. After every entry the search moved past:
// - a plain directory was searched once, by its own path;
// - an entry whose name contains the update-file name was sent once, by the
//   searched directory's path and the update-file name, cut where the
//   library's buffers cut, and nothing else was sent; every folder searched
//   lies inside the drivers folder;
// and at the end every search is closed, the match count equals the
// downloads tried and the result equals the downloads that succeeded. A read
// past a buffer where a path is cut is the sanitizer's to report.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/upgrade_contract.h"
#include "platform/host/host_testing.h"
#include "testing/fuzz/fuzz_check.h"
#include "testing/fuzz/fuzz_input.h"
#include "upgrade/file_search.h"

namespace {

constexpr unsigned kDirectory = 0x10;
constexpr size_t kNameBytes = sizeof(_finddata_t{}.name) - 1;  // 259
constexpr size_t kPathChars = kSearchPathBytes - 1;            // 511
constexpr size_t kLongestName = 300;
constexpr int kDeepest = 6;
constexpr int kMostEntries = 48;

// --- The tree -----------------------------------------------------------

struct Node {
  std::string name;
  unsigned attrib = 0;
  std::vector<Node> children;
};

char lower(char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

bool sameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// A character a Windows file name may hold.
char nameChar(uint8_t b) {
  static constexpr char kRefused[] = "<>:\"/\\|?*";
  if (b < 0x20 || b == 0x7F) return static_cast<char>('a' + b % 26);
  if (std::strchr(kRefused, b) != nullptr) return '_';
  return static_cast<char>(b);
}

std::string randomText(FuzzInput& in, size_t length) {
  std::string text;
  for (size_t i = 0; i < length; ++i) text += nameChar(in.byte());
  return text;
}

std::string entryName(FuzzInput& in, const std::string& update_file) {
  uint8_t mode = in.byte();
  std::string name;
  switch (mode & 3) {
    case 0:
      name = randomText(in, 1 + in.upTo(24));
      break;
    case 1:
      name = update_file;
      break;
    case 2: {  // the update-file name in other letters
      name = update_file;
      uint32_t mask = in.u32();
      for (size_t i = 0; i < name.size(); ++i) {
        if (mask >> (i % 32) & 1) {
          char c = name[i];
          name[i] = c >= 'a' && c <= 'z' ? c - 32 : lower(c);
        }
      }
      break;
    }
    default: {  // long: up to and past the name limit
      size_t length = 200 + in.upTo(kLongestName - 200);
      name.assign(length, nameChar(in.byte()));
      break;
    }
  }
  if (mode & 0x04) name = randomText(in, in.upTo(8)) + name;
  if (mode & 0x08) name += randomText(in, in.upTo(8));
  if (mode & 0x10) name.append(1 + in.upTo(2), ' ');
  if (mode & 0x20) name.append(1 + in.upTo(2), '.');
  if (mode & 0x40) name = "." + name;
  // Names only the file system keeps apart from a path's meaning.
  for (char& c : name) {
    if (c == '\\' || c == '/') c = '_';
  }
  if (name.size() > kLongestName) name.resize(kLongestName);
  return name;
}

unsigned entryAttributes(FuzzInput& in, bool directory) {
  // Read-only, hidden, system, archive, normal, reparse point, not indexed.
  static constexpr unsigned kBits[] = {0x01, 0x02, 0x04, 0x20,
                                       0x80, 0x400, 0x2000};
  uint8_t b = in.byte();
  unsigned attributes = directory ? kDirectory : 0;
  // Mostly plain: the bits come only with the high one set.
  if (b & 0x80) {
    for (size_t i = 0; i < sizeof kBits / sizeof kBits[0]; ++i) {
      if (b >> i & 1) attributes |= kBits[i];
    }
  }
  if (!directory && attributes == 0) attributes = 0x20;
  return attributes;
}

void fill(Node* directory, FuzzInput& in, const std::string& update_file,
          int depth, int* budget) {
  int count = in.byte() % 9;
  for (int i = 0; i < count && *budget > 0; ++i) {
    --*budget;
    Node entry;
    entry.name = entryName(in, update_file);
    bool is_directory = (in.byte() & 1) != 0;
    entry.attrib = entryAttributes(in, is_directory);
    if (entry.name.empty() || entry.name == "." || entry.name == "..") continue;
    bool taken = false;
    for (const Node& sibling : directory->children) {
      taken = taken || sameIgnoringCase(sibling.name, entry.name);
    }
    if (taken) continue;
    if (is_directory && depth < kDeepest) {
      fill(&entry, in, update_file, depth + 1, budget);
    }
    directory->children.push_back(entry);
  }
}

std::string updateFileName(FuzzInput& in) {
  static const char* const kSpecial[] = {
      "",       ".",      "..",     "fw",      "bin",     "\\",
      "fw.bin ", "FW.BIN", "fw.bin.", "..\\fw", "fw.bin\\", "fw.bin\\x"};
  uint8_t mode = in.byte();
  switch (mode & 3) {
    case 0:
      return "fw.bin";
    case 1:
      return in.bytes(in.upTo(24)).c_str();
    case 2:  // past the name and path limits
      return in.bytes(in.upTo(600)).c_str();
    default:
      return kSpecial[(mode >> 2) % (sizeof kSpecial / sizeof kSpecial[0])];
  }
}

// --- The watched search -------------------------------------------------

// What the library should use as a path: the text cut where its buffers cut.
std::string cut(const std::string& text) { return text.substr(0, kPathChars); }

struct Delivered {
  std::string name;
  unsigned attrib = 0;
  int descents = 0;
  int sends = 0;
};

struct Search {
  const Node* directory = nullptr;  // null: a search of one named entry
  std::string text;                 // the directory's path as the library has it
  std::vector<Delivered> entries;   // ".", "..", then the directory's own
  size_t next = 0;
  bool open = true;
};

struct Scene {
  Node root;
  std::string update_file;
  std::vector<Search> searches;
  std::vector<size_t> open;  // innermost last
  FuzzInput* input = nullptr;
  int sends = 0;
  int successes = 0;
};

Scene* scene = nullptr;

const Node* child(const Node& directory, const std::string& name) {
  for (const Node& entry : directory.children) {
    if (sameIgnoringCase(entry.name, name)) return &entry;
  }
  return nullptr;
}

// The parts of a relative path between its backslashes, empty ones too.
std::vector<std::string> partsOf(const std::string& relative) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= relative.size()) {
    size_t end = relative.find('\\', start);
    if (end == std::string::npos) end = relative.size();
    parts.push_back(relative.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// Win32 path rules: "." stays, ".." goes up, trailing dots and blanks of a
// name are dropped, letter case does not matter. Null when the path leaves
// the drivers folder or names nothing.
const Node* resolve(const Node& root, const std::string& relative) {
  std::vector<const Node*> trail = {&root};
  for (std::string part : partsOf(relative)) {
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      trail.pop_back();
      if (trail.empty()) return nullptr;
      continue;
    }
    while (!part.empty() && (part.back() == '.' || part.back() == ' ')) {
      part.pop_back();
    }
    if (part.empty()) return nullptr;
    const Node* found = child(*trail.back(), part);
    if (found == nullptr) return nullptr;
    trail.push_back(found);
  }
  return trail.back();
}

// Whether a path stays inside the drivers folder once "." and ".." are
// taken as Windows takes them.
bool staysInside(const std::string& relative) {
  int depth = 0;
  for (const std::string& part : partsOf(relative)) {
    if (part == "..") {
      if (--depth < 0) return false;
    } else if (!part.empty() && part != ".") {
      ++depth;
    }
  }
  return true;
}

void fillRecord(const Delivered& entry, _finddata_t* record) {
  *record = _finddata_t{};
  record->attrib = entry.attrib;
  // The runtime's record holds 259 bytes of a name.
  std::memcpy(record->name, entry.name.data(),
              entry.name.size() < kNameBytes ? entry.name.size() : kNameBytes);
}

Delivered delivered(const Node& node) {
  Delivered entry;
  entry.name = node.name.substr(0, kNameBytes);
  entry.attrib = node.attrib;
  return entry;
}

// The entry the search moved past must have had exactly its due.
void settle(const Scene& s, const Search& search) {
  if (search.next < 3 || search.directory == nullptr) return;
  const Delivered& entry = search.entries[search.next - 1];
  if (entry.attrib == kDirectory) {
    FUZZ_CHECK(entry.descents == 1 && entry.sends == 0,
               "plain directory \"%s\": searched %d times, %d sends",
               entry.name.c_str(), entry.descents, entry.sends);
    return;
  }
  FUZZ_CHECK(entry.descents == 0, "\"%s\" (attributes 0x%x) searched",
             entry.name.c_str(), entry.attrib);
  bool matches = std::strstr(entry.name.c_str(), s.update_file.c_str()) !=
                 nullptr;
  FUZZ_CHECK(entry.sends == (matches ? 1 : 0),
             "\"%s\" contains \"%s\": %d, sent %d times", entry.name.c_str(),
             s.update_file.c_str(), matches, entry.sends);
}

intptr_t findFirst(const char* pattern, _finddata_t* record) {
  Scene& s = *scene;
  std::string text = pattern;
  Search search;
  if (s.open.empty()) {
    FUZZ_CHECK(s.searches.empty(), "a second search of the top folder");
    FUZZ_CHECK(text == std::string(kDriversFolder) + "\\*.*",
               "top search pattern \"%s\"", pattern);
    search.text = kDriversFolder;
  } else {
    Search& parent = s.searches[s.open.back()];
    FUZZ_CHECK(parent.next >= 3, "a search opened before any entry");
    Delivered& entry = parent.entries[parent.next - 1];
    FUZZ_CHECK(entry.attrib == kDirectory,
               "descended into \"%s\" with attributes 0x%x",
               entry.name.c_str(), entry.attrib);
    ++entry.descents;
    search.text = cut(parent.text + "\\" + entry.name);
    FUZZ_CHECK(text == cut(search.text + "\\*.*"),
               "pattern \"%s\" for \"%s\"", pattern, search.text.c_str());
  }
  // Which entries Windows would list for what the pattern became.
  std::string root = kDriversFolder;
  if (text.size() < root.size() ||
      !sameIgnoringCase(text.substr(0, root.size()), root)) {
    return -1;
  }
  std::string relative = text.substr(root.size());
  size_t slash = relative.rfind('\\');
  if (slash == std::string::npos) return -1;
  std::string wildcard = relative.substr(slash + 1);
  std::string folder = relative.substr(0, slash);
  search.entries.push_back(Delivered{".", kDirectory, 0, 0});
  if (wildcard == "*.*" || wildcard == "*") {
    const Node* directory = resolve(s.root, folder);
    if (directory == nullptr ||
        ((directory->attrib & kDirectory) == 0 && directory != &s.root)) {
      return -1;
    }
    search.directory = directory;
    search.entries.push_back(Delivered{"..", kDirectory, 0, 0});
    for (const Node& entry : directory->children) {
      search.entries.push_back(delivered(entry));
    }
  } else if (wildcard.find_first_of("*?") == std::string::npos) {
    const Node* named = resolve(s.root, relative);
    if (named == nullptr || named == &s.root) return -1;
    search.entries[0] = delivered(*named);
  } else {
    return -1;
  }
  fillRecord(search.entries[0], record);
  search.next = 1;
  s.searches.push_back(search);
  s.open.push_back(s.searches.size() - 1);
  return static_cast<intptr_t>(s.searches.size() - 1);
}

int findNext(intptr_t handle, _finddata_t* record) {
  Scene& s = *scene;
  FUZZ_CHECK(!s.open.empty() && static_cast<size_t>(handle) == s.open.back(),
             "find-next on search %ld, not the innermost",
             static_cast<long>(handle));
  Search& search = s.searches[static_cast<size_t>(handle)];
  settle(s, search);
  if (search.next == search.entries.size()) return -1;
  fillRecord(search.entries[search.next++], record);
  return 0;
}

int findClose(intptr_t handle) {
  Scene& s = *scene;
  FUZZ_CHECK(!s.open.empty() && static_cast<size_t>(handle) == s.open.back(),
             "closed search %ld, not the innermost", static_cast<long>(handle));
  settle(s, s.searches[static_cast<size_t>(handle)]);
  s.searches[static_cast<size_t>(handle)].open = false;
  s.open.pop_back();
  return 0;
}

int32_t sendImage(Transport* /*transport*/, const char* path,
                  const char* /*version*/, uint8_t /*bUpdate*/,
                  uint8_t /*bSegmented*/, uint8_t /*bForce*/) {
  Scene& s = *scene;
  FUZZ_CHECK(!s.open.empty(), "\"%s\" sent outside any search", path);
  Search& search = s.searches[s.open.back()];
  FUZZ_CHECK(search.next >= 3 && search.directory != nullptr,
             "\"%s\" sent before any entry", path);
  Delivered& entry = search.entries[search.next - 1];
  ++entry.sends;
  FUZZ_CHECK(entry.attrib != kDirectory && entry.name != "..",
             "\"%s\" sent for \"%s\"", path, entry.name.c_str());
  FUZZ_CHECK(std::strstr(entry.name.c_str(), s.update_file.c_str()) != nullptr,
             "\"%s\" sent for \"%s\", which does not contain \"%s\"", path,
             entry.name.c_str(), s.update_file.c_str());
  std::string expected = cut(search.text + "\\" + s.update_file);
  FUZZ_CHECK(expected == path, "sent \"%s\", expected \"%s\"", path,
             expected.c_str());
  // The folder searched lies inside the drivers folder; what the update-file
  // name itself denotes ("..", say) is the administrator's setting.
  std::string root = kDriversFolder;
  FUZZ_CHECK(search.text.compare(0, root.size(), root) == 0 &&
                 staysInside(search.text.substr(root.size())),
             "sent \"%s\" from a folder outside the drivers folder", path);
  ++s.sends;
  // The download's result: mostly success, else one of the failure codes.
  static constexpr int32_t kResults[] = {-22, -1, -5, -14, 1, 7};
  uint8_t b = s.input->byte();
  if (b < 0x80) {
    ++s.successes;
    return 0;
  }
  return kResults[b % (sizeof kResults / sizeof kResults[0])];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  Scene s;
  s.input = &in;
  s.update_file = updateFileName(in);
  int budget = kMostEntries;
  fill(&s.root, in, s.update_file, 1, &budget);
  s.root.attrib = kDirectory;

  static const HostDirectorySearch kSearch = {findFirst, findNext, findClose};
  scene = &s;
  hostSetDirectorySearch(&kSearch);
  int32_t match_count = 0;
  int32_t successes = traverseUpdateFiles(
      kDriversFolder, s.update_file.c_str(), sendImage, nullptr, "1.0", 1,
      1, 0, &match_count);
  hostSetDirectorySearch(nullptr);
  scene = nullptr;

  if (std::getenv("VELUNOR_FUZZ_TRACE") != nullptr) {
    std::fprintf(stderr, "update file \"%s\": %zu searches, %d sends, %d "
                 "worked, result %d\n", s.update_file.c_str(),
                 s.searches.size(), s.sends, s.successes, successes);
    for (const Search& search : s.searches) {
      std::fprintf(stderr, "  %s (%zu entries)\n", search.text.c_str(),
                   search.entries.size());
    }
  }
  FUZZ_CHECK(s.open.empty(), "%zu searches left open", s.open.size());
  FUZZ_CHECK(!s.searches.empty(), "the drivers folder was not searched");
  FUZZ_CHECK(match_count == s.sends, "match count %d, downloads tried %d",
             match_count, s.sends);
  FUZZ_CHECK(successes == s.successes, "result %d, downloads that worked %d",
             successes, s.successes);
  return 0;
}
