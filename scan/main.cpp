// exelore-scan: one record per PE file of a tree, with the answers of
// `exelore /c` for each, as CSV or JSON Lines in path order.
#include <windows.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include "scan/records.h"
#include "scan/system_root.h"
#include "scan/tree_walk.h"

namespace {

using WideView = std::basic_string_view<WCHAR>;

// Exit statuses, as find(1) gives them.
constexpr int kAllReadStatus = 0;
constexpr int kSomethingWrongStatus = 1;
constexpr int kUsageStatus = 2;
constexpr unsigned kMaxJobs = 256;
// Entries walked ahead of the record being written, at most: what bounds
// the memory of a scan, however large the tree.
constexpr std::size_t kWindowPerJob = 64;

#ifndef EXELORE_VERSION
#define EXELORE_VERSION "unknown"
#endif

constexpr char kTryHelp[] = "Try 'exelore-scan --help'.\r\n";

constexpr char kHelp[] =
    "Usage: exelore-scan [OPTION]... [--] PATH...\r\n"
    "Writes one record per PE image below each PATH (a folder or a file) to\r\n"
    "standard output: its version fields, its signer and why the signature\r\n"
    "holds or not, with the answers of `exelore /c`.\r\n"
    "\r\n"
    "Options:\r\n"
    "  --format csv|jsonl     CSV with a header line (default) or JSON Lines\r\n"
    "  --jobs N, -j N         examine N files at once (1-256; default: one per\r\n"
    "                         processor)\r\n"
    "  --files-from FILE      also scan the paths listed in FILE ('-': standard\r\n"
    "                         input), one per line, or NUL-separated when the\r\n"
    "                         list holds a NUL byte\r\n"
    "  --all                  also give records to files that are not PE images\r\n"
    "                         (verdict not-pe) and to links, mount points and\r\n"
    "                         devices, which are never followed (verdict skipped)\r\n"
    "  --no-header            no CSV header line\r\n"
    "  --no-formula-prefix    CSV: do not put ' before a field that starts with\r\n"
    "                         = + - @ TAB CR or ' (for scripts; unsafe to open in\r\n"
    "                         a spreadsheet)\r\n"
    "  --fail-on LIST         exit with 1 when a record has one of the verdicts\r\n"
    "                         of LIST, comma-separated: unverified, unsigned,\r\n"
    "                         unreadable, error\r\n"
    "  --max-bytes N[K|M|G]   do not examine a PE image whose hash would read\r\n"
    "                         more than N bytes: its record is an error saying so\r\n"
    "                         (default: no bound)\r\n"
    "  --hash LIST            also compute these hashes of each PE image's content,\r\n"
    "                         comma-separated: md5, sha1; none leaves out the\r\n"
    "                         default sha256 and image hashes\r\n"
    "  --system-root DIR      judge as the Windows installation DIR (its\r\n"
    "                         catalogs and certificate stores), as SystemRoot=DIR\r\n"
    "  --help, -h             show this help;  --version  show the version\r\n"
    "\r\n"
    "Columns (keys in JSON Lines): path, the twelve version fields (Comments ...\r\n"
    "SpecialBuild), PublisherName, verdict (verified, unverified, unsigned,\r\n"
    "unreadable: a certificate table no signature can be read from, not-pe,\r\n"
    "skipped, error), status (WinVerifyTrust's result, as TRUST_E_BAD_DIGEST\r\n"
    "0x80096010; empty when verified), source (embedded or catalog), catalog,\r\n"
    "the signer certificate's issuer, serial, thumbprint (SHA-1), not_before and\r\n"
    "not_after (of the catalog's signer for a catalog-signed file), signatures\r\n"
    "(1 + nested), sha256, authentihash_sha1, authentihash_sha256, md5, sha1\r\n"
    "(with --hash), machine (x86, x64, arm64, ...), kind (exe, dll, driver,\r\n"
    "efi; +.net for a .NET assembly), error, raw_path (the path\r\n"
    "percent-encoded, only when it is not valid Unicode). CSV escapes: see\r\n"
    "man exelore-scan.\r\n"
    "\r\n"
    "SystemRoot (or --system-root) names the Windows folder whose\r\n"
    "System32/CatRoot catalogs vouch for catalog-signed files and whose\r\n"
    "registry holds its certificate stores; without it, files signed only by a\r\n"
    "catalog of a scanned Windows volume read as unsigned.\r\n"
    "\r\n"
    "Exit status: 0 when every PATH was read, 1 when a PATH is missing,\r\n"
    "something could not be read or a --fail-on verdict was met (the records\r\n"
    "are still written), 2 for a bad command line.\r\n";

bool WriteAll(HANDLE handle, std::string_view bytes) {
  while (!bytes.empty()) {
    const auto chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 20));
    DWORD written = 0;
    if (!WriteFile(handle, bytes.data(), chunk, &written, nullptr) || written == 0) return false;
    bytes.remove_prefix(written);
  }
  return true;
}

void Message(std::string_view text) {
  WriteAll(GetStdHandle(STD_ERROR_HANDLE), "exelore-scan: " + std::string(text) + "\r\n");
}

bool IsConsole(DWORD which) {
  const HANDLE handle = GetStdHandle(which);
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode);
}

struct Options {
  FormatOptions format;
  unsigned jobs = 0;  // 0: one per processor
  bool header = true;
  bool all = false;
  std::set<Verdict> fail_on;
  std::optional<WideString> system_root;
  unsigned long long max_bytes = ~0ull;  // none
  HashChoice hashes;
  std::vector<WideString> paths;
  std::vector<WideString> lists;  // --files-from
};

std::optional<unsigned> ParseJobs(WideView text) {
  if (text.empty() || text.size() > 4) return std::nullopt;
  unsigned value = 0;
  for (const WCHAR c : text) {
    if (c < TEXT('0') || c > TEXT('9')) return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - TEXT('0'));
  }
  if (value == 0 || value > kMaxJobs) return std::nullopt;
  return value;
}

// A number of bytes, with an optional K, M or G (powers of 1024).
std::optional<unsigned long long> ParseSize(WideView text) {
  unsigned long long unit = 1;
  if (!text.empty() &&
      (text.back() == TEXT('K') || text.back() == TEXT('M') || text.back() == TEXT('G'))) {
    unit = text.back() == TEXT('K')   ? 1ull << 10
           : text.back() == TEXT('M') ? 1ull << 20
                                      : 1ull << 30;
    text.remove_suffix(1);
  }
  if (text.empty() || text.size() > 15) return std::nullopt;
  unsigned long long value = 0;
  for (const WCHAR c : text) {
    if (c < TEXT('0') || c > TEXT('9')) return std::nullopt;
    value = value * 10 + static_cast<unsigned long long>(c - TEXT('0'));
  }
  if (value > ~0ull / unit) return std::nullopt;
  return value * unit;
}

// --hash: more whole-file hashes (md5, sha1), or "none" to leave out the
// default ones (sha256 and the two image hashes).
bool ParseHashes(WideView text, HashChoice& choice) {
  while (true) {
    const auto comma = text.find(TEXT(','));
    const std::string word = DisplayText(text.substr(0, comma));
    if (word == "md5") {
      choice.md5 = true;
    } else if (word == "sha1") {
      choice.sha1 = true;
    } else if (word == "none") {
      choice.sha256 = choice.authentihash = false;
    } else {
      return false;
    }
    if (comma == WideView::npos) return true;
    text.remove_prefix(comma + 1);
  }
}

bool ParseFailOn(WideView text, std::set<Verdict>& verdicts) {
  while (true) {
    const auto comma = text.find(TEXT(','));
    const WideView word = text.substr(0, comma);
    bool known = false;
    for (const Verdict v :
         {Verdict::kUnverified, Verdict::kUnsigned, Verdict::kUnreadable, Verdict::kError}) {
      if (DisplayText(word) == VerdictName(v)) {
        verdicts.insert(v);
        known = true;
      }
    }
    if (!known) return false;
    if (comma == WideView::npos) return true;
    text.remove_prefix(comma + 1);
  }
}

// The options, or nullopt after writing what is wrong with the command line.
std::optional<Options> ParseOptions(int argc, WCHAR* argv[]) {
  Options options;
  bool options_ended = false;
  const auto bad = [](std::string text) {
    Message(text);
    WriteAll(GetStdHandle(STD_ERROR_HANDLE), kTryHelp);
    return std::nullopt;
  };
  for (int i = 1; i < argc; ++i) {
    const WideView argument(argv[i]);
    if (options_ended || argument.empty() || argument[0] != TEXT('-') || argument == TEXT("-")) {
      options.paths.emplace_back(argument);
      continue;
    }
    if (argument == TEXT("--")) {
      options_ended = true;
      continue;
    }
    const auto equals =
        argument.substr(0, 2) == TEXT("--") ? argument.find(TEXT('=')) : WideView::npos;
    const std::string name = DisplayText(argument.substr(0, equals));
    static const std::set<std::string> kFlags = {"--all", "--no-header", "--no-formula-prefix"};
    static const std::set<std::string> kValued = {"--format",     "--jobs",    "-j",
                                                  "--files-from", "--fail-on", "--system-root",
                                                  "--max-bytes",  "--hash"};
    if (kFlags.count(name) != 0) {
      if (equals != WideView::npos) return bad("option '" + name + "' takes no value");
      if (name == "--all") options.all = true;
      if (name == "--no-header") options.header = false;
      if (name == "--no-formula-prefix") options.format.formula_prefix = false;
      continue;
    }
    if (kValued.count(name) == 0) return bad("unknown option '" + DisplayText(argument) + "'");
    WideView value;
    if (equals != WideView::npos) {
      value = argument.substr(equals + 1);
    } else if (i + 1 < argc) {
      value = WideView(argv[++i]);
    } else {
      return bad("option '" + name + "' needs a value");
    }
    std::string shown = DisplayText(value);
    shown.insert(shown.begin(), '\'');
    shown.push_back('\'');
    if (name == "--format") {
      if (value == TEXT("csv")) {
        options.format.format = OutputFormat::kCsv;
      } else if (value == TEXT("jsonl")) {
        options.format.format = OutputFormat::kJsonLines;
      } else {
        return bad("--format takes csv or jsonl, not " + shown);
      }
    } else if (name == "--jobs" || name == "-j") {
      const auto jobs = ParseJobs(value);
      if (!jobs) return bad(name + " takes a number from 1 to 256, not " + shown);
      options.jobs = *jobs;
    } else if (name == "--max-bytes") {
      const auto bytes = ParseSize(value);
      if (!bytes)
        return bad("--max-bytes takes a number of bytes (K, M, G: 1024, ...), not " + shown);
      options.max_bytes = *bytes;
    } else if (name == "--hash") {
      if (!ParseHashes(value, options.hashes))
        return bad("--hash takes md5, sha1 or none, comma-separated, not " + shown);
    } else if (name == "--files-from") {
      if (value.empty()) return bad("--files-from needs a file name or '-'");
      options.lists.emplace_back(value);
    } else if (name == "--fail-on") {
      if (!ParseFailOn(value, options.fail_on))
        return bad("--fail-on takes unverified, unsigned, unreadable or error, not " + shown);
    } else {
      const DWORD attributes = GetFileAttributesW(WideString(value).c_str());
      if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return bad("--system-root names no folder: " + shown);
      options.system_root = WideString(value);
    }
  }
  if (options.paths.empty() && options.lists.empty()) return bad("no PATH to scan");
  return options;
}

// The names of a list: UTF-8, a byte that is not part of valid UTF-8
// standing as U+DC00 plus the byte (as the command line's names arrive).
WideString DecodeName(std::string_view bytes) {
  WideString name;
  for (std::size_t i = 0; i < bytes.size();) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    const std::size_t length = b < 0x80         ? 1
                               : (b >> 5) == 6  ? 2
                               : (b >> 4) == 14 ? 3
                               : (b >> 3) == 30 ? 4
                                                : 0;
    char32_t c = length == 1 ? b : length == 2 ? (b & 0x1F) : length == 3 ? (b & 0x0F) : (b & 0x07);
    bool valid = length != 0 && i + length <= bytes.size();
    for (std::size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + k]);
      valid = (next & 0xC0) == 0x80;
      c = (c << 6) | (next & 0x3F);
    }
    static constexpr char32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
    valid = valid && c >= kMinimum[length] && c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
    if (!valid) {
      name.push_back(static_cast<WCHAR>(0xDC00 + b));
      ++i;
      continue;
    }
    if (c >= 0x10000) {
      name.push_back(static_cast<WCHAR>(0xD800 + ((c - 0x10000) >> 10)));
      name.push_back(static_cast<WCHAR>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      name.push_back(static_cast<WCHAR>(c));
    }
    i += length;
  }
  return name;
}

// Appends the paths of the list `source` ("-": standard input); false after
// saying why it cannot be read.
bool ReadList(const WideString& source, std::vector<WideString>& paths) {
  const bool standard_input = source == TEXT("-");
  const HANDLE file = standard_input ? GetStdHandle(STD_INPUT_HANDLE)
                                     : CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                   nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    Message(DisplayText(DescribeError(TEXT("cannot open the list"), GetLastError())) + ": " +
            DisplayText(source));
    return false;
  }
  std::string bytes;
  char buffer[1 << 16];
  DWORD read = 0;
  bool ok = true;
  while ((ok = ReadFile(file, buffer, sizeof buffer, &read, nullptr) != FALSE) && read != 0)
    bytes.append(buffer, read);
  if (!ok) Message(DisplayText(DescribeError(TEXT("cannot read the list"), GetLastError())));
  if (!standard_input) CloseHandle(file);
  const char separator = bytes.find('\0') != std::string::npos ? '\0' : '\n';
  for (std::size_t start = 0; start < bytes.size();) {
    const std::size_t end = std::min(bytes.find(separator, start), bytes.size());
    if (end > start)
      paths.push_back(DecodeName(std::string_view(bytes).substr(start, end - start)));
    start = end + 1;
  }
  return ok;
}

// The folder that holds `path`, by its text: the last component dropped
// ("." for a name alone), or ".." added after "." and "..".
WideString ParentOf(WideString path) {
  const auto is_separator = [](WCHAR c) { return c == TEXT('/') || c == TEXT('\\'); };
  while (path.size() > 1 && is_separator(path.back())) path.pop_back();
  std::size_t start = path.size();
  while (start > 0 && !is_separator(path[start - 1])) --start;
  const WideView last = WideView(path).substr(start);
  if (last.empty() || last == TEXT(".") || last == TEXT("..")) return path + TEXT("/..");
  if (start == 0) return TEXT(".");
  path.resize(start == 1 ? 1 : start - 1);
  return path;
}

// The PATHs to walk: each file or folder once. A PATH that names what an
// earlier one named, or that lies inside a folder named as a PATH (on the
// same volume and not through a link, where that folder's walk reaches it),
// is dropped; one that cannot be opened stays, for the walk to report.
std::vector<WideString> DistinctPaths(const std::vector<WideString>& paths) {
  std::vector<std::optional<FileIdentity>> identities;
  std::set<std::tuple<DWORD, DWORD, DWORD>> folders;
  for (const WideString& path : paths) {
    DWORD error = 0;
    identities.push_back(OpenIdentity(path, true, &error));
    const auto& id = identities.back();
    if (id && (id->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
      folders.emplace(id->volume, id->index_high, id->index_low);
  }
  std::vector<WideString> distinct;
  std::set<std::tuple<DWORD, DWORD, DWORD>> seen;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    const auto& id = identities[i];
    if (!id) {
      distinct.push_back(paths[i]);
      continue;
    }
    if (!seen.emplace(id->volume, id->index_high, id->index_low).second) continue;
    bool inside = false;
    WideString ancestor = paths[i];
    FileIdentity below = *id;
    for (int depth = 0; !folders.empty() && !inside && depth < 256; ++depth) {
      ancestor = ParentOf(ancestor);
      DWORD error = 0;
      // A link on the way up is not a way the walk goes down.
      const auto up = OpenIdentity(ancestor, false, &error);
      if (!up || *up == below || up->volume != id->volume ||
          (up->attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        break;
      inside = folders.count({up->volume, up->index_high, up->index_low}) != 0;
      below = *up;
    }
    if (!inside) distinct.push_back(paths[i]);
  }
  return distinct;
}

// How many records of each verdict, and how many files were looked at.
struct Tally {
  std::array<std::size_t, 7> by_verdict{};
  std::size_t files = 0;

  std::size_t& operator[](Verdict v) { return by_verdict[static_cast<std::size_t>(v)]; }
  std::size_t PeImages() const {
    return by_verdict[static_cast<std::size_t>(Verdict::kVerified)] +
           by_verdict[static_cast<std::size_t>(Verdict::kUnverified)] +
           by_verdict[static_cast<std::size_t>(Verdict::kUnsigned)] +
           by_verdict[static_cast<std::size_t>(Verdict::kUnreadable)];
  }
};

// "N PE images of M files, rate" on standard error, rewritten in place,
// only while standard error is a console and standard output is not (the
// records would otherwise share its lines).
class Progress {
 public:
  Progress() : start_(Clock::now()) {
    err_ = GetStdHandle(STD_ERROR_HANDLE);
    shown_ = IsConsole(STD_ERROR_HANDLE) && !IsConsole(STD_OUTPUT_HANDLE);
  }

  void Show(const Tally& tally) {
    const Clock::time_point now = Clock::now();
    if (!shown_ || now - last_ < std::chrono::milliseconds(200)) return;
    last_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    char line[128];
    std::snprintf(line, sizeof line, "\r%llu PE images of %llu files, %.0f files/s   ",
                  static_cast<unsigned long long>(tally.PeImages()),
                  static_cast<unsigned long long>(tally.files),
                  seconds > 0 ? static_cast<double>(tally.files) / seconds : 0.0);
    WriteAll(err_, line);
    dirty_ = true;
  }

  void Clear() {
    if (dirty_) WriteAll(err_, "\r                                                            \r");
    dirty_ = false;
  }

 private:
  using Clock = std::chrono::steady_clock;
  Clock::time_point start_;
  Clock::time_point last_{};
  HANDLE err_ = nullptr;
  bool shown_ = false;
  bool dirty_ = false;
};

// A record made by a worker, waiting for its turn to be written.
struct Made {
  Verdict verdict;
  bool listed;
  std::string line;
};

// Walks the PATHs on one thread, examines what it finds on `jobs` threads
// and writes the records in walk order as they become ready, while the walk
// goes on. The walk stays at most a window of entries ahead of the writer.
// False when the output cannot be written (the scan then stops).
bool ScanAll(const std::vector<WideString>& roots, const Options& options, Tally& tally,
             std::set<WideString>& catroots) {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (options.header && !WriteAll(out, FormatHeader(options.format))) return false;

  const unsigned jobs =
      std::max(1u, options.jobs != 0 ? options.jobs : std::thread::hardware_concurrency());
  const std::size_t window = kWindowPerJob * jobs;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::pair<std::size_t, WalkEntry>> queue;
  std::map<std::size_t, Made> made;
  std::size_t walked = 0;   // entries handed out by the walk
  std::size_t written = 0;  // entries whose record was written or passed over
  bool walk_done = false;
  bool stop = false;

  std::thread walker([&] {
    for (const WideString& root : roots) {
      const bool go_on = WalkTree(root, [&](WalkEntry&& entry) {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return stop || walked - written < window; });
        if (stop) return false;
        queue.emplace_back(walked++, std::move(entry));
        changed.notify_all();
        return true;
      });
      if (!go_on) break;
    }
    const std::lock_guard lock(mutex);
    walk_done = true;
    changed.notify_all();
  });
  std::vector<std::thread> workers;
  for (unsigned j = 0; j < jobs; ++j) {
    workers.emplace_back([&] {
      while (true) {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return stop || !queue.empty() || walk_done; });
        if (stop || queue.empty()) return;
        auto [index, entry] = std::move(queue.front());
        queue.pop_front();
        lock.unlock();
        const ScanRecord record = ScanEntry(entry, options.max_bytes, options.hashes);
        const bool listed =
            entry.named || options.all ||
            (record.verdict != Verdict::kNotPe && record.verdict != Verdict::kSkipped);
        Made result{record.verdict, listed,
                    listed ? FormatRecord(options.format, record) : std::string()};
        if (record.verdict == Verdict::kNotPe || record.verdict == Verdict::kSkipped) {
          if (WideString windows = InstallationOfCatalogPath(record.path); !windows.empty()) {
            lock.lock();
            catroots.insert(std::move(windows));
            lock.unlock();
          }
        }
        lock.lock();
        made.emplace(index, std::move(result));
        changed.notify_all();
      }
    });
  }

  Progress progress;
  bool output_ok = true;
  while (output_ok) {
    std::unique_lock lock(mutex);
    if (!changed.wait_for(lock, std::chrono::milliseconds(250), [&] {
          return made.count(written) != 0 || (walk_done && written == walked);
        })) {
      lock.unlock();
      progress.Show(tally);
      continue;
    }
    if (made.count(written) == 0) break;  // everything walked was written
    Made next = std::move(made.at(written));
    made.erase(written);
    ++written;
    changed.notify_all();
    lock.unlock();
    ++tally[next.verdict];
    if (next.verdict != Verdict::kSkipped) ++tally.files;
    if (next.listed) output_ok = WriteAll(out, next.line);
    progress.Show(tally);
  }
  {
    const std::lock_guard lock(mutex);
    stop = true;
    changed.notify_all();
  }
  walker.join();
  for (std::thread& worker : workers) worker.join();
  progress.Clear();
  return output_ok;
}

std::string Count(std::size_t n) { return std::to_string(n); }

// The start line (on a console only) and the warnings about SystemRoot.
void DescribeJudge(const SystemRootView& view) {
  if (IsConsole(STD_ERROR_HANDLE)) {
    if (!view.set) {
      Message("SystemRoot is not set: catalogs from the built-in catalog folder");
    } else {
      Message("catalogs: " +
              (view.catalog_folder.empty() ? std::string("none")
                                           : DisplayText(view.catalog_folder) + " (" +
                                                 Count(view.catalogs) + " catalogs)") +
              "; SOFTWARE hive: " +
              (view.software_hive.empty() ? std::string("none") : DisplayText(view.software_hive)));
    }
  }
  if (view.set && view.catalogs == 0)
    Message("warning: SystemRoot " + DisplayText(view.root) +
            " holds no catalogs (System32/CatRoot/{F750E6C3-38EE-11D1-85E5-00C04FC295EE}): "
            "files signed only by a catalog will read unsigned");
}

}  // namespace

int wmain(int argc, WCHAR* argv[]) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 1; i < argc; ++i) {
    const WideView argument(argv[i]);
    if (argument == TEXT("--")) break;
    if (argument == TEXT("--help") || argument == TEXT("-h")) {
      return WriteAll(GetStdHandle(STD_OUTPUT_HANDLE), kHelp) ? kAllReadStatus
                                                              : kSomethingWrongStatus;
    }
    if (argument == TEXT("--version")) {
      return WriteAll(GetStdHandle(STD_OUTPUT_HANDLE), "exelore-scan " EXELORE_VERSION "\r\n")
                 ? kAllReadStatus
                 : kSomethingWrongStatus;
    }
  }
  std::optional<Options> options = ParseOptions(argc, argv);
  if (!options) return kUsageStatus;
  if (options->system_root &&
      !SetEnvironmentVariableW(TEXT("SystemRoot"), options->system_root->c_str())) {
    Message("cannot set SystemRoot");
    return kUsageStatus;
  }
  bool lists_read = true;
  for (const WideString& list : options->lists)
    lists_read = ReadList(list, options->paths) && lists_read;

  const SystemRootView view = DescribeSystemRoot();
  DescribeJudge(view);

  Tally tally;
  std::set<WideString> catroots;
  const bool output_ok = ScanAll(DistinctPaths(options->paths), *options, tally, catroots);
  for (const WideString& windows : catroots) {
    if (view.set && SameFolder(windows, view.root)) continue;
    Message("warning: " + DisplayText(windows) +
            " holds catalogs that are not in use; to judge its files by them, run with "
            "--system-root " +
            DisplayText(windows));
  }
  const auto n = [&](Verdict v) { return static_cast<unsigned long long>(tally[v]); };
  char summary[256];
  std::snprintf(summary, sizeof summary,
                "%llu verified, %llu unverified, %llu unsigned, %llu unreadable signature, "
                "%llu not PE, %llu skipped, %llu errors; %.1f s",
                n(Verdict::kVerified), n(Verdict::kUnverified), n(Verdict::kUnsigned),
                n(Verdict::kUnreadable), n(Verdict::kNotPe), n(Verdict::kSkipped),
                n(Verdict::kError),
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  if (!output_ok) {
    Message("cannot write the output");
    return kSomethingWrongStatus;
  }
  Message(summary);
  bool failed = !lists_read || tally[Verdict::kError] != 0;
  for (const Verdict v : options->fail_on) failed = failed || tally[v] != 0;
  return failed ? kSomethingWrongStatus : kAllReadStatus;
}
