// exelore-scan: every record says what `exelore /c` says of its file, in
// both formats and with any number of jobs; and a hostile tree is walked to
// the end with each oddity reported.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "catalog_builder.h"
#include "catalog_fixture.h"
#include "independent_facts.h"
#include "pe_builder.h"
#include "process.h"
#include "scan/records.h"
#include "scan/tree_walk.h"
#include "signing.h"
#include "testing.h"
#include "text.h"

// The SDK orders these after windows.h, which the program's headers include.
#include <wintrust.h>
#include <softpub.h>

namespace {

namespace fs = std::filesystem;
using exelore_test::CatalogTest;
using exelore_test::Wide;
using Bytes = std::vector<std::uint8_t>;
using Record = std::map<std::string, std::string>;  // key -> value as UTF-8, paths as bytes

// The file-system bytes of a record's text: a lone surrogate U+DC80..U+DCFF
// (from `code`, a JSON escape or a WTF-8 sequence) is the byte it stands for.
void AppendUnit(std::string& out, char32_t code) {
  if (code >= 0xDC80 && code <= 0xDCFF) {
    out.push_back(static_cast<char>(code - 0xDC00));
  } else if (code >= 0xD800 && code <= 0xDFFF) {
    out += {static_cast<char>(0xE0 | (code >> 12)), static_cast<char>(0x80 | ((code >> 6) & 0x3F)),
            static_cast<char>(0x80 | (code & 0x3F))};
  } else {
    out += *exelore_posix::Utf16ToBytes(std::u16string(1, static_cast<char16_t>(code)));
  }
}

std::string FromWtf8(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    const auto c = static_cast<unsigned char>(field[i]);
    if (c == 0xED && i + 2 < field.size() && (field[i + 1] & 0xE0) == 0xA0) {
      AppendUnit(out, static_cast<char32_t>(0xD000 | ((field[i + 1] & 0x3F) << 6) |
                                            (field[i + 2] & 0x3F)));
      i += 2;
    } else {
      out.push_back(field[i]);
    }
  }
  return out;
}

// A CSV field's text as it was before the scan escaped it: the apostrophe
// put before a formula start dropped, \\ and \xHH undone.
std::string Unescape(const std::string& field) {
  std::string out;
  for (std::size_t i = field.starts_with('\'') ? 1 : 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 1 < field.size() && field[i + 1] == '\\') {
      out.push_back(field[++i]);
    } else if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] == 'x') {
      AppendUnit(out, static_cast<char32_t>(std::stoul(field.substr(i + 2, 2), nullptr, 16)));
      i += 3;
    } else {
      out.push_back(field[i]);
    }
  }
  return out;
}

std::string PercentDecode(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      out.push_back(static_cast<char>(std::stoul(text.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

// The records of a CSV read as an ordinary RFC 4180 reader reads it, each
// value un-escaped, the path taken from raw_path where that is filled. Every
// record is exactly one line of valid UTF-8 without a control character.
std::vector<Record> ParseCsv(const std::string& text) {
  EXPECT_EQ(exelore_posix::Utf16ToUtf8(
                exelore_posix::DecodeUtf8(text, [](std::uint8_t) { return u'\uFFFD'; })),
            text);
  std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(1));
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const auto byte = static_cast<unsigned char>(c);
    EXPECT_FALSE((byte < 0x20 || byte == 0x7F) && c != '\r' && c != '\n') << i;
    EXPECT_FALSE(byte == 0xC2 && i + 1 < text.size() &&
                 static_cast<unsigned char>(text[i + 1]) < 0xA0);  // no C1 control
    if (quoted && c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
      rows.back().back().push_back(text[++i]);
    } else if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && c == ',') {
      rows.back().emplace_back();
    } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      EXPECT_FALSE(quoted) << "a line end inside a field";
      rows.emplace_back(1);
      ++i;
    } else {
      EXPECT_NE(c, '\r');
      EXPECT_NE(c, '\n');
      rows.back().back().push_back(c);
    }
  }
  EXPECT_EQ(rows.back(), std::vector<std::string>(1));  // the text ends with CR LF
  rows.pop_back();
  std::vector<Record> records;
  for (std::size_t r = 1; r < rows.size(); ++r) {
    EXPECT_EQ(rows[r].size(), rows[0].size());
    Record record;
    for (std::size_t f = 0; f < rows[r].size() && f < rows[0].size(); ++f)
      record[rows[0][f]] = Unescape(rows[r][f]);
    if (!record["raw_path"].empty()) record["path"] = FromWtf8(PercentDecode(record["raw_path"]));
    record.erase("raw_path");
    records.push_back(record);
  }
  return records;
}

// One object of string members per line, as exelore-scan writes them.
std::vector<Record> ParseJsonLines(const std::string& text) {
  std::vector<Record> records;
  std::size_t i = 0;
  const auto string = [&] {
    std::string out;
    EXPECT_EQ(text[i++], '"');
    while (i < text.size() && text[i] != '"') {
      if (text[i] != '\\') {
        out.push_back(text[i++]);
        continue;
      }
      const char e = text[i + 1];
      i += 2;
      if (e == 'u') {
        AppendUnit(out, static_cast<char32_t>(std::stoul(text.substr(i, 4), nullptr, 16)));
        i += 4;
      } else {
        out.push_back(e == 'n' ? '\n' : e == 'r' ? '\r' : e == 't' ? '\t' : e);
      }
    }
    ++i;
    return out;
  };
  while (i < text.size()) {
    Record record;
    EXPECT_EQ(text[i++], '{');
    while (text[i] != '}') {
      const std::string key = string();
      EXPECT_EQ(text[i++], ':');
      record[key] = string();
      if (text[i] == ',') ++i;
    }
    EXPECT_EQ(text.substr(i, 2), "}\n");
    i += 2;
    record.erase("raw_path");
    records.push_back(record);
  }
  return records;
}

// What `exelore /c` prints for a record's text: one byte per UTF-16 unit,
// "?" above 255.
std::string SingleByte(const std::string& utf8) {
  std::string out;
  for (const char16_t unit : Wide(utf8)) out.push_back(unit < 256 ? static_cast<char>(unit) : '?');
  return out;
}

TEST_F(CatalogTest, ScanRecordsSayWhatTheReportSays) {
  if (!exelore_test::HaveOsslsigncode()) GTEST_SKIP() << "osslsigncode is not installed";
  const std::string tree = File("tree");
  fs::create_directories(tree + "/sub");
  const auto put = [&](const std::string& name, const Bytes& bytes) {
    exelore_test::WriteFile(tree + "/" + name, bytes);
    return tree + "/" + name;
  };
  exelore_test::PeLayout layout, other_layout;
  const Bytes image = Image(0, &layout);
  const Bytes other = Image(16, &other_layout);
  put("listed.exe", image);
  put("sub/\xff-listed-copy.exe", image);
  put("sub/untrusted-catalog.exe", other);
  Bytes changed = image;
  changed[layout.version_data_offset + 60] ^= 0x01;
  put("changed.exe", changed);
  exelore_test::SignFile(pki_->signer, tree + "/changed.exe", tree + "/signed.exe");
  exelore_test::SignFile(pki_->untrusted_signer, tree + "/changed.exe", tree + "/untrusted.exe");
  Bytes tampered = exelore_test::ReadFile(tree + "/signed.exe");
  tampered[layout.version_data_offset + 61] ^= 0x01;
  put("tampered.exe", tampered);
  exelore_test::PeLayout bare_layout;
  const Bytes bare = exelore_test::BuildPe({}, &bare_layout);  // no version resource
  put("sub/no-version.dll", bare);
  put("truncated.exe", Bytes(image.begin(), image.begin() + 300));
  // A certificate table that holds no signature, and one past the end.
  Bytes garbage = Image(8);  // listed by no catalog
  const Bytes not_signed_data = {0x10, 0,    0,    0,    0x00, 0x02, 0x02, 0x00,
                                 0x30, 0x82, 0xFF, 0xFF, 0,    0,    0,    0};
  const auto table = static_cast<std::uint32_t>(garbage.size());
  garbage.insert(garbage.end(), not_signed_data.begin(), not_signed_data.end());
  const auto set_table = [&](Bytes& bytes, std::uint32_t offset, std::uint32_t size) {
    const std::size_t entry = layout.data_directories + 4 * 8;  // IMAGE_DIRECTORY_ENTRY_SECURITY
    for (int i = 0; i < 4; ++i) {
      bytes[entry + i] = static_cast<std::uint8_t>(offset >> (8 * i));
      bytes[entry + 4 + i] = static_cast<std::uint8_t>(size >> (8 * i));
    }
  };
  set_table(garbage, table, 16);
  put("unreadable-signature.exe", garbage);
  Bytes past_end = image;
  set_table(past_end, static_cast<std::uint32_t>(image.size()) + 4096, 64);
  put("table-past-the-end.exe", past_end);
  // Version strings a spreadsheet or a terminal would act on.
  exelore_test::VersionInfoLayout hostile = exelore_test::DefaultVersionInfo(
      u"=HYPERLINK(\"http://x\")", u"\x1b]0;title\x07", u"1.0\r\n/forged.exe,,,");
  put("sub/hostile.exe", exelore_test::BuildPeWithVersion(hostile));
  put("mz-only.exe", {'M', 'Z'});
  put("notes.txt", {'h', 'i'});

  exelore_test::CatalogOptions trusted, untrusted;
  trusted.entries = {exelore_test::EntryFor(ImageHash(image, layout))};
  untrusted.entries = {exelore_test::EntryFor(ImageHash(other, other_layout))};
  trusted.entries.push_back(exelore_test::EntryFor(ImageHash(bare, bare_layout)));
  PutCatalog("trusted.cat", exelore_test::BuildCatalog(trusted, pki_->signer));
  PutCatalog("untrusted.cat", exelore_test::BuildCatalog(untrusted, pki_->untrusted_signer));
  const std::vector<std::string> env = {"SystemRoot=" + system_root_,
                                        "SSL_CERT_FILE=" + pki_->root.cert,
                                        "SSL_CERT_DIR=" + pki_->ca_dir};

  // name -> PublisherName, verdict, status, source, catalog, error
  const std::string unreadable = "a certificate table is present but holds no readable signature";
  const std::map<std::string, std::vector<std::string>> expected = {
      {"changed.exe", {"", "unsigned", "TRUST_E_NOSIGNATURE 0x800B0100", "", "", ""}},
      {"listed.exe", {"ExeLore Test Signer", "verified", "", "catalog", "trusted.cat", ""}},
      {"signed.exe", {"ExeLore Test Signer", "verified", "", "embedded", "", ""}},
      {"sub/\xff-listed-copy.exe",
       {"ExeLore Test Signer", "verified", "", "catalog", "trusted.cat", ""}},
      {"sub/hostile.exe", {"", "unsigned", "TRUST_E_NOSIGNATURE 0x800B0100", "", "", ""}},
      {"sub/no-version.dll", {"ExeLore Test Signer", "verified", "", "catalog", "trusted.cat", ""}},
      {"sub/untrusted-catalog.exe",
       {"ExeLore Untrusted Signer", "unverified", "CERT_E_UNTRUSTEDROOT 0x800B0109", "catalog",
        "untrusted.cat", ""}},
      {"table-past-the-end.exe",
       {"", "unreadable", "TRUST_E_NOSIGNATURE 0x800B0100", "", "", unreadable}},
      {"tampered.exe",
       {"ExeLore Test Signer", "unverified", "TRUST_E_BAD_DIGEST 0x80096010", "embedded", "", ""}},
      {"truncated.exe", {"", "unsigned", "TRUST_E_NOSIGNATURE 0x800B0100", "", "", ""}},
      {"unreadable-signature.exe",
       {"", "unreadable", "TRUST_E_NOSIGNATURE 0x800B0100", "", "", unreadable}},
      {"untrusted.exe",
       {"ExeLore Untrusted Signer", "unverified", "CERT_E_UNTRUSTEDROOT 0x800B0109", "embedded", "",
        ""}},
  };
  std::vector<Record> first;
  for (const char* format : {"csv", "jsonl"}) {
    for (const char* jobs : {"1", "4"}) {
      SCOPED_TRACE(std::string(format) + " jobs " + jobs);
      const auto scan = exelore_test::RunProcess(
          {EXELORE_SCAN_BINARY, "--format", format, "--jobs", jobs, tree}, env);
      ASSERT_EQ(scan.exit_status, 0) << scan.err;
      EXPECT_NE(scan.err.find("4 verified, 3 unverified, 3 unsigned, 2 unreadable signature, "
                              "2 not PE, 0 skipped, 0 errors"),
                std::string::npos)
          << scan.err;
      const std::vector<Record> records =
          std::string(format) == "csv" ? ParseCsv(scan.out) : ParseJsonLines(scan.out);
      if (first.empty()) first = records;
      EXPECT_EQ(records, first);  // the same records in the same order
      ASSERT_EQ(records.size(), expected.size());
      auto want = expected.begin();
      for (const Record& record : records) {
        const std::string& path = record.at("path");
        SCOPED_TRACE(path);
        ASSERT_EQ(path, tree + "/" + want->first);
        EXPECT_EQ((std::vector<std::string>{record.at("PublisherName"), record.at("verdict"),
                                            record.at("status"), record.at("source"),
                                            record.at("catalog"), record.at("error")}),
                  want->second);
        ++want;
        // The status is what WinVerifyTrust itself returns for the file.
        if (record.at("source") != "catalog") {
          const std::u16string wide = Wide(path);
          WINTRUST_FILE_INFO file{};
          file.cbStruct = sizeof file;
          file.pcwszFilePath = reinterpret_cast<LPCWSTR>(wide.c_str());
          WINTRUST_DATA data{};
          data.cbStruct = sizeof data;
          data.dwUIChoice = WTD_UI_NONE;
          data.dwUnionChoice = WTD_CHOICE_FILE;
          data.pFile = &file;
          GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
          char hex[16];
          std::snprintf(hex, sizeof hex, "0x%08X",
                        static_cast<unsigned>(WinVerifyTrust(nullptr, &action, &data)));
          const std::string& status = record.at("status");
          EXPECT_TRUE(status.empty() ? std::string(hex) == "0x00000000" : status.ends_with(hex))
              << status << " " << hex;
        }
        if (std::string(format) != "csv" || std::string(jobs) != "1") continue;
        // The report, where it has a publisher line, holds the same answers.
        const std::string report = exelore_test::RunProcess({EXELORE_BINARY, "/c", path}, env).out;
        if (report == "\r\n") {
          for (const WCHAR* key : VersionStringKeys)
            EXPECT_EQ(record.at(*exelore_posix::Utf16ToBytes(key)), "");
          continue;
        }
        std::string composed;
        if (report.find("Comments: ") == 0) {
          for (const WCHAR* key : VersionStringKeys) {
            const std::string name = *exelore_posix::Utf16ToBytes(key);
            composed += name + ": " + SingleByte(record.at(name)) + "\r\n";
          }
        }
        composed += "PublisherName: " + record.at("PublisherName");
        if (!record.at("PublisherName").empty())
          composed += record.at("verdict") == "verified" ? " (verified)" : " (UNVERIFIED)";
        EXPECT_EQ(report, composed + "\r\n");
      }
    }
  }
}

// Everything the walk meets that is not a readable PE file is reported with
// what kept it from being read, and the other files are all there.
TEST(ScanTreeTest, HostileTreeIsWalkedToTheEnd) {
  exelore_test::TempDir dir;
  ::chmod(dir.path().c_str(), 0755);
  const std::string tree = dir.File("tree");
  fs::create_directories(tree + "/deep/deeper");
  const Bytes image = exelore_test::BuildPe({});
  for (const char* name :
       {"a.exe", "deep/deeper/z.exe", "unreadable.exe", "vanishing.exe", "\xfe\xff.exe"})
    exelore_test::WriteFile(tree + "/" + name, image);
  ::chmod((tree + "/unreadable.exe").c_str(), 0);
  fs::create_directory_symlink(".", tree + "/deep/loop");
  ASSERT_EQ(::mkfifo((tree + "/fifo").c_str(), 0644), 0);

  std::vector<WalkEntry> entries;
  WalkTree(Wide(tree), [&](WalkEntry&& entry) {
    entries.push_back(std::move(entry));
    return true;
  });
  fs::remove(tree + "/vanishing.exe");
  // The unreadable file is read as nobody: root reads any file.
  std::string unreadable_error;
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  if (const pid_t child = ::fork(); child == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(1);
    WalkEntry entry;
    entry.path = Wide(tree + "/unreadable.exe");
    const auto record = ScanEntry(entry);
    const std::string text = *exelore_posix::Utf16ToBytes(record.error);
    ::_exit(::write(pipe_fds[1], text.data(), text.size()) < 0);
  } else {
    ::close(pipe_fds[1]);
    char buffer[256];
    ssize_t n;
    while ((n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0) unreadable_error.append(buffer, n);
    ::close(pipe_fds[0]);
    ::waitpid(child, nullptr, 0);
  }
  EXPECT_EQ(unreadable_error, "cannot read: access denied (error 5)");

  std::vector<std::pair<std::string, std::string>> seen;  // path below the tree, error
  for (const WalkEntry& entry : entries) {
    const auto record = ScanEntry(entry);
    seen.emplace_back(exelore_posix::Utf16ToBytes(record.path)->substr(tree.size() + 1),
                      *exelore_posix::Utf16ToBytes(record.error));
  }
  seen.erase(std::remove_if(seen.begin(), seen.end(),
                            [](const auto& s) { return s.first == "unreadable.exe"; }),
             seen.end());
  const std::vector<std::pair<std::string, std::string>> want = {
      {"a.exe", ""},
      {"deep/deeper/z.exe", ""},
      {"deep/loop", "symbolic link, not followed"},
      {"fifo", "not a regular file"},
      {"vanishing.exe", "cannot read: file not found (error 2)"},
      {"\xfe\xff.exe", ""},
  };
  EXPECT_EQ(seen, want);
}

}  // namespace

// `text` as the tests' records hold it: UTF-8, a lone surrogate U+DC80..
// U+DCFF as the file-system byte it stands for, any other lone surrogate in
// generalised UTF-8; with `replace`, every lone surrogate as U+FFFD.
std::string Bytes8(const std::u16string& text, bool replace = false) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    const bool pair = unit >= 0xD800 && unit < 0xDC00 && i + 1 < text.size() &&
                      text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000;
    if (pair) {
      out += exelore_posix::Utf16ToUtf8(text.substr(i++, 2));
    } else if (unit >= 0xD800 && unit < 0xE000) {
      if (replace) {
        out += "\xEF\xBF\xBD";
      } else {
        AppendUnit(out, unit);
      }
    } else {
      out += exelore_posix::Utf16ToUtf8(std::u16string(1, unit));
    }
  }
  return out;
}

// Text chosen by whoever built a file, in every field a record has: each
// value comes back from the CSV (read as any RFC 4180 reader reads it, then
// un-escaped as the manual says) and from the JSON line, each record stays
// one line, and a field a spreadsheet would run starts with '.
TEST(ScanRecordTest, HostileTextRoundTripsAndForgesNoLine) {
  const std::vector<std::u16string> hostile = {
      u"plain",
      u"",
      u"=HYPERLINK(\"http://x\",\"y\")",
      u"+cmd|' /C calc'!A0",
      u"-2+3",
      u"@SUM(A1:A2)",
      u"\tstarts with a tab",
      u"\rstarts with a CR",
      u"'=already quoted",
      u"a\r\n/forged.exe,,,,,,,,,,,,,,verified,,embedded,,,\r\n",
      u"\x1b]0;title\x07\x1b[2J",
      u"\u009b31m C1 \u0085 next line \x7f",
      u"C:\\Windows\\x64\\ \\\\share \\",
      u"\\\x1b ends with \\",
      u"comma, \"quote\"",
      u"lone \xdcff and \xd800 surrogates, pair \xd83d\xde00",
  };
  for (const std::u16string& text : hostile) {
    SCOPED_TRACE(testing::PrintToString(Bytes8(text)));
    ScanRecord record;
    record.path = u"/tree/" + text;
    record.facts.values.fill(text);
    record.facts.publisher = text;
    record.error = text;
    record.verdict = Verdict::kUnsigned;
    for (const bool prefix : {true, false}) {
      ScanRecord plain_path = record;
      plain_path.path = u"/tree/file";
      const std::string line = FormatRecord({OutputFormat::kCsv, prefix}, plain_path);
      EXPECT_EQ(line.find_first_of("\r\n"), line.size() - 2) << line;
      const std::string comments = line.substr(line.find(',') + 1);
      const bool formula = !text.empty() && std::u16string_view(u"=+-@\t\r'").find(text[0]) !=
                                                std::u16string_view::npos;
      EXPECT_EQ(comments.starts_with("'") || comments.starts_with("\"'"),
                prefix ? formula : text.starts_with(u"'"))
          << comments;
    }
    for (const OutputFormat format : {OutputFormat::kCsv, OutputFormat::kJsonLines}) {
      const std::string out = FormatHeader({format}) + FormatRecord({format}, record);
      const auto records = format == OutputFormat::kCsv ? ParseCsv(out) : ParseJsonLines(out);
      ASSERT_EQ(records.size(), 1u) << out;
      // CSV keeps the path exactly (in raw_path) and shows a lone surrogate
      // elsewhere as U+FFFD; JSON keeps everything exactly.
      const std::string value = Bytes8(text, format == OutputFormat::kCsv);
      EXPECT_EQ(records[0].at("path"), "/tree/" + Bytes8(text));
      EXPECT_EQ(records[0].at("CompanyName"), value);
      EXPECT_EQ(records[0].at("PublisherName"), value);
      EXPECT_EQ(records[0].at("error"), value);
    }
  }
}

// The columns the records have are the ones the man page lists, in order:
// each .TP entry of OUTPUT up to the first paragraph after them.
TEST(ScanRecordTest, ColumnsAreTheManPages) {
  std::ifstream page(std::string(EXELORE_SOURCE_DIR) + "/docs/exelore-scan.1");
  std::vector<std::string> listed;
  bool output = false, tagged = false;
  for (std::string line; std::getline(page, line);) {
    output = output || line == ".SH OUTPUT";
    if (!output) continue;
    if (line == ".PP" && !listed.empty()) break;
    if (tagged && (line.starts_with(".B ") || line.starts_with(".BR "))) {
      std::string names = line.substr(line.find(' '));
      std::replace_if(
          names.begin(), names.end(), [](char c) { return c == '"' || c == ','; }, ' ');
      std::istringstream words(names);
      for (std::string word; words >> word;) listed.push_back(word);
    }
    tagged = line == ".TP";
  }
  EXPECT_EQ(listed, ColumnNames());
  EXPECT_EQ(FormatHeader({}).substr(0, 5), "path,");
}

// The facts of each record as other tools read them: osslsigncode and
// openssl for embedded signatures (SHA-1 and SHA-256 image hashes, an RFC
// 3161 timestamp, a nested signature, a tampered image, a signature whose
// certificate set lost its signer), openssl on the catalog's signer for a catalog member, coreutils
// for the hashes of every file.
TEST_F(CatalogTest, ScanFactsEqualOtherToolsReadings) {
  if (!exelore_test::HaveOsslsigncode()) GTEST_SKIP() << "osslsigncode is not installed";
  const std::string tree = File("facts");
  fs::create_directories(tree);
  exelore_test::PeLayout layout;
  const Bytes image = Image(24, &layout);
  exelore_test::WriteFile(tree + "/listed.exe", image);
  exelore_test::WriteFile(File("unsigned.exe"), Image(32));
  exelore_test::SignFile(pki_->signer, File("unsigned.exe"), tree + "/sha1.exe", "sha1");
  ASSERT_EQ(exelore_test::OsslsigncodeSign(File("unsigned.exe"), tree + "/rfc3161.exe",
                                           pki_->signer, "sha256", &pki_->tsa, 1700000000),
            "");
  exelore_test::SignFile(pki_->signer, File("unsigned.exe"), File("signed.exe"));
  exelore_test::SignFile(pki_->untrusted_signer, File("signed.exe"), tree + "/nested.exe", "sha1",
                         {"-nest"});
  Bytes tampered = exelore_test::ReadFile(File("signed.exe"));
  tampered[layout.version_data_offset + 3] ^= 0x01;
  exelore_test::WriteFile(tree + "/tampered.exe", tampered);
  exelore_test::WriteFile(
      tree + "/no-signer-certificate.exe",
      exelore_test::RewriteSignature(exelore_test::ReadFile(File("signed.exe")), [](PKCS7* p7) {
        sk_X509_pop_free(p7->d.sign->cert, X509_free);
        p7->d.sign->cert = nullptr;
      }));
  exelore_test::CatalogOptions catalog;
  catalog.entries = {exelore_test::EntryFor(ImageHash(image, layout))};
  PutCatalog("facts.cat", exelore_test::BuildCatalog(catalog, pki_->signer));
  const auto scan = exelore_test::RunProcess(
      {EXELORE_SCAN_BINARY, "--format", "jsonl", "--hash", "md5,sha1", tree},
      {"SystemRoot=" + system_root_, "SSL_CERT_FILE=" + pki_->root.cert,
       "SSL_CERT_DIR=" + pki_->ca_dir});
  ASSERT_EQ(scan.exit_status, 0) << scan.err;
  const auto signer = exelore_test::CertificateFacts(pki_->signer.cert);
  // name -> facts that no other tool gives here (catalog member: the
  // catalog's signer; the image hash by the fixture's own reckoning).
  std::map<std::string, std::map<std::string, std::string>> own = {
      {"listed.exe", signer},
      {"no-signer-certificate.exe",
       {{"issuer", ""}, {"serial", ""}, {"thumbprint", ""}, {"signatures", "1"}}},
  };
  own["listed.exe"]["signatures"] = "1";
  own["listed.exe"]["source"] = "catalog";
  for (const std::uint8_t byte : ImageHash(image, layout)) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    own["listed.exe"]["authentihash_sha1"] += {kHex[byte >> 4], kHex[byte & 0xF]};
  }
  own["rfc3161.exe"] = {{"signed_at", "2023-11-14T22:13:20Z"},
                        {"timestamp", "rfc3161"},
                        {"timestamp_signer", "ExeLore Test TSA"}};
  own["nested.exe"]["kind"] = "exe";
  own["nested.exe"]["machine"] = "x64";
  std::size_t records = 0;
  for (std::size_t at = 0; at < scan.out.size(); at = scan.out.find('\n', at) + 1, ++records) {
    const std::string record = scan.out.substr(at, scan.out.find('\n', at) - at);
    const std::string path = exelore_test::Field(record, "path");
    SCOPED_TRACE(path);
    auto facts = exelore_test::IndependentFacts(path);
    for (const auto& [key, value] : own[fs::path(path).filename().string()]) facts[key] = value;
    // osslsigncode names no signer of a changed image.
    if (!path.ends_with("no-signer-certificate.exe") && !path.ends_with("tampered.exe")) {
      EXPECT_EQ(facts.count("thumbprint"), 1u);
    }
    EXPECT_EQ(exelore_test::Mismatches(record, facts), std::vector<std::string>());
  }
  EXPECT_EQ(records, 6u);
}

// The command line: what each option does to the records and the exit
// status, and what a mistake says.
TEST(ScanCommandLineTest, OptionsRecordsAndExitStatus) {
  exelore_test::TempDir dir;
  const std::string tree = dir.File("tree");
  fs::create_directories(tree + "/sub");
  exelore_test::WriteFile(tree + "/sub/a.exe", exelore_test::BuildPe({}));
  exelore_test::WriteFile(tree + "/notes.txt", {'h', 'i'});
  fs::create_symlink("/etc/passwd", tree + "/link");
  // Two sections naming the same 64 KiB: a hash reads it twice.
  exelore_test::PeLayout layout;
  exelore_test::PeOptions big;
  big.extra_section_bytes = 64 * 1024;
  Bytes overlapping = exelore_test::BuildPe(big, &layout);
  const std::size_t last = layout.section_table + 40 * (overlapping[layout.coff_header + 2] - 1u);
  for (std::size_t header = layout.section_table; header < last; header += 40)
    std::copy_n(overlapping.begin() + static_cast<std::ptrdiff_t>(last) + 16, 8,
                overlapping.begin() + static_cast<std::ptrdiff_t>(header) + 16);
  exelore_test::WriteFile(dir.File("overlapping.exe"), overlapping);
  const std::string catroot =
      dir.File("volume/Windows/System32/catroot/{F750E6C3-38EE-11D1-85E5-00C04FC295EE}");
  fs::create_directories(catroot);
  exelore_test::WriteFile(catroot + "/vendor.cat", {0x30, 0});
  const std::string list = tree + "/sub/a.exe\n" + tree + "\n" + tree + "/sub/a.exe\n";
  exelore_test::WriteFile(dir.File("list"), Bytes(list.begin(), list.end()));
  const std::string nul_list = tree + "/sub/a.exe" + std::string(1, '\0') + tree + "/notes.txt";
  exelore_test::WriteFile(dir.File("nul-list"), Bytes(nul_list.begin(), nul_list.end()));
  struct Case {
    std::vector<std::string> args;
    int status;
    int lines;        // of standard output
    std::string err;  // a part of standard error
  };
  const std::string none = "0 verified, 0 unverified, ";
  const std::vector<Case> cases = {
      {{tree}, 0, 2, none + "1 unsigned, 0 unreadable signature, 1 not PE, 1 skipped, 0 errors"},
      {{"--all", tree}, 0, 4, "1 not PE, 1 skipped"},
      {{"--no-header", "-j", "2", tree}, 0, 1, "1 unsigned"},
      // Each file once, however the PATHs overlap.
      {{tree, tree + "/sub/a.exe", tree + "/", tree + "/sub"}, 0, 2, "1 unsigned"},
      {{"--files-from", dir.File("list")}, 0, 2, "1 unsigned"},
      {{"--files-from=" + dir.File("nul-list"), "--format", "jsonl"}, 0, 2, "1 not PE"},
      {{"--fail-on", "unverified,unreadable", tree}, 0, 2, "1 unsigned"},
      {{"--fail-on=unsigned", tree}, 1, 2, "1 unsigned"},
      {{tree, dir.File("missing")}, 1, 3, "1 errors"},
      {{"--files-from", dir.File("missing")}, 1, 1, "cannot open the list"},
      {{"--max-bytes", "512", tree}, 1, 2, "1 errors"},
      {{"--max-bytes=1M", tree}, 0, 2, "1 unsigned"},
      {{"--max-bytes=100000", dir.File("overlapping.exe")}, 1, 2, "1 errors"},
      {{dir.File("overlapping.exe")}, 0, 2, "1 unsigned"},
      {{dir.File("volume")},
       0,
       1,
       "warning: " + dir.File("volume/Windows") + " holds catalogs that are not in use"},
      {{"--version"}, 0, 1, ""},
      {{"--help"}, 0, 40, ""},
      {{}, 2, 0, "no PATH to scan"},
      {{"--frmat", "csv", tree}, 2, 0, "unknown option '--frmat'"},
      {{"--format", "xml", tree}, 2, 0, "--format takes csv or jsonl, not 'xml'"},
      {{"--jobs", "999", tree}, 2, 0, "--jobs takes a number from 1 to 256, not '999'"},
      {{"-j", "0", tree}, 2, 0, "-j takes a number from 1 to 256, not '0'"},
      {{tree, "--jobs"}, 2, 0, "option '--jobs' needs a value"},
      {{"--all=yes", tree}, 2, 0, "option '--all' takes no value"},
      {{"--fail-on", "unsigned,\x1b[2J", tree}, 2, 0, "not 'unsigned,\\x1b[2J'"},
      {{"--system-root", dir.File("missing"), tree}, 2, 0, "--system-root names no folder"},
      {{"--max-bytes", "99999999999999G", tree}, 2, 0, "--max-bytes takes a number of bytes"},
      {{"--hash", "sha1,md5", tree}, 0, 2, "1 unsigned"},
      {{"--hash=none", tree}, 0, 2, "1 unsigned"},
      {{"--hash", "md5,crc32", tree}, 2, 0, "--hash takes md5, sha1 or none"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = {EXELORE_SCAN_BINARY};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(testing::PrintToString(c.args));
    const auto result = exelore_test::RunProcess(argv, {"SystemRoot=" + dir.path()});
    EXPECT_EQ(result.exit_status, c.status) << result.err;
    if (c.args != std::vector<std::string>{"--help"}) {
      EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), c.lines) << result.out;
    } else {
      EXPECT_GE(std::count(result.out.begin(), result.out.end(), '\n'), c.lines);
    }
    EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
    if (c.status == 2) {
      EXPECT_NE(result.err.find("Try 'exelore-scan --help'."), std::string::npos);
    }
  }
}

// An entry changed between the walk's listing and the opening of it (made
// to happen, at the same moment each run, through the stand-in's seam) is
// reported as changed and never followed or read out of the tree.
TEST(ScanTreeTest, EntriesChangedDuringTheWalkAreNeverFollowed) {
  exelore_test::TempDir dir;
  const std::string tree = dir.File("tree");
  const std::string outside = dir.File("outside");
  fs::create_directories(tree + "/sub");
  fs::create_directories(outside);
  const Bytes image = exelore_test::BuildPe({});
  exelore_test::WriteFile(tree + "/a.exe", image);
  exelore_test::WriteFile(tree + "/sub/b.exe", image);
  exelore_test::WriteFile(
      outside + "/marker.exe",
      exelore_test::BuildPeWithVersion(exelore_test::DefaultVersionInfo(u"Marker")));
  exelore_test::WriteFile(dir.File("other.exe"), image);
  fs::create_directories(dir.File("other-folder"));
  const auto to_link = [&](const std::string& path, const std::string& target) {
    fs::remove_all(path);
    fs::create_symlink(target, path);
  };
  struct Case {
    std::string name;
    std::string path;  // below the tree
    int open;          // the how-many-th CreateFileW of it the change comes before
    std::function<void(const std::string&)> change;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"folder swapped for a link once listed by its parent", "sub", 1,
       [&](const std::string& p) { to_link(p, outside); },
       "changed during the scan: now a symbolic link or reparse point, not followed"},
      {"folder replaced while listed", "sub", 2,
       [&](const std::string& p) {
         fs::rename(p, dir.File("moved"));
         fs::rename(dir.File("other-folder"), p);
       },
       "changed during the scan: replaced while listed"},
      {"file swapped for a link after the walk", "a.exe", 1,
       [&](const std::string& p) { to_link(p, outside + "/marker.exe"); },
       "changed during the scan: now a symbolic link or reparse point, not followed"},
      {"file replaced while read", "a.exe", 2,
       [&](const std::string& p) { fs::rename(dir.File("other.exe"), p); },
       "changed during the scan: replaced while read"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string target = tree + "/" + c.path;
    int opens = 0;
    exelore_posix::testing::SetBeforeOpenHook([&](const std::string& path) {
      if (path == target && ++opens == c.open) c.change(path);
    });
    std::map<std::string, std::string> errors;  // path below the tree -> error
    WalkTree(Wide(tree), [&](WalkEntry&& entry) {
      const ScanRecord record = ScanEntry(entry);
      EXPECT_EQ(exelore_posix::Utf16ToUtf8(record.facts.values[3]).find("Marker"),
                std::string::npos);
      errors[exelore_posix::Utf16ToBytes(record.path)->substr(tree.size() + 1)] =
          *exelore_posix::Utf16ToBytes(record.error);
      return true;
    });
    exelore_posix::testing::SetBeforeOpenHook(nullptr);
    EXPECT_EQ(errors[c.path], c.error);
    for (const auto& [path, error] : errors) EXPECT_EQ(path.find("marker"), std::string::npos);
    // Put the tree back as it was.
    fs::remove_all(tree);
    fs::remove_all(dir.File("moved"));
    fs::create_directories(tree + "/sub");
    fs::create_directories(dir.File("other-folder"));
    exelore_test::WriteFile(tree + "/a.exe", image);
    exelore_test::WriteFile(tree + "/sub/b.exe", image);
    exelore_test::WriteFile(dir.File("other.exe"), image);
  }
}
