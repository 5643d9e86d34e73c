// The fixture of the CatalogTest suite: a test PKI and a Windows folder
// whose catalog folder each test fills and the fixture empties again.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "pe_builder.h"
#include "process.h"
#include "test_pki.h"
#include "text.h"

namespace exelore_test {

// The catalog folder below SystemRoot, spelled in other letter cases than
// Windows uses, as on a volume mounted from Windows.
inline constexpr char kCatRootBelowSystemRoot[] =
    "SYSTEM32/catroot/{f750e6c3-38ee-11d1-85e5-00c04fc295ee}";

inline std::u16string Wide(const std::string& s) { return exelore_posix::BytesToUtf16(s); }

class CatalogTest : public ::testing::Test {
 protected:
  using Bytes = std::vector<std::uint8_t>;

  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void TearDown() override;

  static std::string File(const std::string& name) { return dir_->File(name); }
  static void PutCatalog(const std::string& name, const Bytes& bytes) {
    WriteFile(catroot_ + "/" + name, bytes);
  }

  // An unsigned PE with a version resource; `overlay` bytes appended.
  static Bytes Image(std::size_t overlay = 0, PeLayout* layout = nullptr, bool pe32plus = true);

  static Bytes ImageHash(const Bytes& image, const PeLayout& layout,
                         const std::string& algorithm = "sha1");

  static TempDir* dir_;
  static const TestPki* pki_;
  static std::string system_root_;
  static std::string catroot_;
};

}  // namespace exelore_test
