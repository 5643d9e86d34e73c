// exelore-scan: one record per PE file of a tree, with the answers of
// `exelore /c` for each, as CSV or JSON Lines in path order.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "scan/records.h"
#include "scan/tree_walk.h"

namespace {

using WideView = std::basic_string_view<WCHAR>;

constexpr int kUsageStatus = 2;
constexpr int kOutputFailedStatus = 1;
constexpr unsigned kMaxJobs = 256;

constexpr char kUsage[] =
    "Usage: exelore-scan [--format csv|jsonl] [--jobs N] [--] PATH...\r\n"
    "Writes one record per PE file below each PATH to standard output.\r\n";

struct Options {
  OutputFormat format = OutputFormat::kCsv;
  unsigned jobs = 0;  // 0: one per processor
  std::vector<WideString> paths;
};

bool WriteAll(HANDLE handle, std::string_view bytes) {
  while (!bytes.empty()) {
    const auto chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 20));
    DWORD written = 0;
    if (!WriteFile(handle, bytes.data(), chunk, &written, nullptr) || written == 0) return false;
    bytes.remove_prefix(written);
  }
  return true;
}

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

// The options, or nullopt for a command line that is not understood. Each
// option takes its value as the next argument or after "=".
std::optional<Options> ParseOptions(int argc, WCHAR* argv[]) {
  Options options;
  bool options_ended = false;
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
    const auto equals = argument.find(TEXT('='));
    const WideView name = argument.substr(0, equals);
    std::optional<WideView> value;
    if (equals != WideView::npos) {
      value = argument.substr(equals + 1);
    } else if (i + 1 < argc && (name == TEXT("--format") || name == TEXT("--jobs"))) {
      value = WideView(argv[++i]);
    }
    if (!value) return std::nullopt;
    if (name == TEXT("--format") && *value == TEXT("csv")) {
      options.format = OutputFormat::kCsv;
    } else if (name == TEXT("--format") && *value == TEXT("jsonl")) {
      options.format = OutputFormat::kJsonLines;
    } else if (name == TEXT("--jobs") && ParseJobs(*value)) {
      options.jobs = *ParseJobs(*value);
    } else {
      return std::nullopt;
    }
  }
  if (options.paths.empty()) return std::nullopt;
  return options;
}

// "done of total files, rate, time left" on standard error, rewritten in
// place, when standard error is a console; nothing otherwise.
class Progress {
 public:
  explicit Progress(std::size_t total) : total_(total), start_(Clock::now()) {
    err_ = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    shown_ = err_ != INVALID_HANDLE_VALUE && err_ != nullptr && GetConsoleMode(err_, &mode);
  }

  // Shows `done`, at most five times a second.
  void Show(std::size_t done) {
    const Clock::time_point now = Clock::now();
    if (!shown_ || now - last_ < std::chrono::milliseconds(200)) return;
    last_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    char line[128];
    if (rate > 0) {
      const auto left = static_cast<unsigned long long>(static_cast<double>(total_ - done) / rate);
      std::snprintf(line, sizeof line, "\r%llu of %llu files, %.0f files/s, %llu:%02llu left   ",
                    static_cast<unsigned long long>(done), static_cast<unsigned long long>(total_),
                    rate, left / 60, left % 60);
    } else {
      std::snprintf(line, sizeof line, "\r%llu of %llu files   ",
                    static_cast<unsigned long long>(done), static_cast<unsigned long long>(total_));
    }
    WriteAll(err_, line);
  }

  void Clear() {
    if (shown_) WriteAll(err_, "\r                                                         \r");
  }

 private:
  using Clock = std::chrono::steady_clock;
  std::size_t total_;
  Clock::time_point start_;
  Clock::time_point last_{};
  HANDLE err_ = nullptr;
  bool shown_ = false;
};

// Examines the entries on `jobs` threads and writes their records in the
// entries' order as they become ready. False when the output cannot be
// written (the scan then stops).
bool ScanAll(const std::vector<WalkEntry>& entries, const Options& options) {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (!WriteAll(out, FormatHeader(options.format))) return false;

  struct Slot {
    bool ready = false;
    std::string line;  // empty: the entry has no record
  };
  std::vector<Slot> slots(entries.size());
  std::mutex mutex;
  std::condition_variable ready;
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};

  const unsigned jobs =
      std::max(1u, options.jobs != 0 ? options.jobs : std::thread::hardware_concurrency());
  std::vector<std::thread> workers;
  const auto work = [&] {
    for (std::size_t i; !stop && (i = next++) < entries.size();) {
      const std::optional<ScanRecord> record = ScanEntry(entries[i]);
      std::string line = record ? FormatRecord(options.format, *record) : std::string();
      const std::lock_guard lock(mutex);
      slots[i].line = std::move(line);
      slots[i].ready = true;
      ready.notify_all();
    }
  };
  for (unsigned j = 0; j < std::min<std::size_t>(jobs, std::max<std::size_t>(entries.size(), 1));
       ++j)
    workers.emplace_back(work);

  Progress progress(entries.size());
  bool written = true;
  for (std::size_t i = 0; i < entries.size() && written; ++i) {
    std::string line;
    {
      std::unique_lock lock(mutex);
      while (
          !ready.wait_for(lock, std::chrono::milliseconds(250), [&] { return slots[i].ready; })) {
        lock.unlock();
        progress.Show(i);
        lock.lock();
      }
      line = std::move(slots[i].line);
      slots[i].line.clear();
      slots[i].line.shrink_to_fit();
    }
    written = WriteAll(out, line);
    progress.Show(i + 1);
  }
  stop = !written;
  for (std::thread& worker : workers) worker.join();
  progress.Clear();
  return written;
}

}  // namespace

int wmain(int argc, WCHAR* argv[]) {
  if (argc == 2 && (WideView(argv[1]) == TEXT("--help") || WideView(argv[1]) == TEXT("-h"))) {
    WriteAll(GetStdHandle(STD_OUTPUT_HANDLE), kUsage);
    return 0;
  }
  const std::optional<Options> options = ParseOptions(argc, argv);
  if (!options) {
    WriteAll(GetStdHandle(STD_ERROR_HANDLE), kUsage);
    return kUsageStatus;
  }
  std::vector<WalkEntry> entries;
  for (const WideString& path : options->paths) WalkTree(path, entries);
  if (!ScanAll(entries, *options)) {
    WriteAll(GetStdHandle(STD_ERROR_HANDLE), "exelore-scan: cannot write the output\r\n");
    return kOutputFailedStatus;
  }
  return 0;
}
