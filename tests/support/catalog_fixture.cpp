#include "catalog_fixture.h"

#include <cstdlib>
#include <filesystem>

#include "catalog_builder.h"

namespace exelore_test {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

TempDir* CatalogTest::dir_ = nullptr;
const TestPki* CatalogTest::pki_ = nullptr;
std::string CatalogTest::system_root_;
std::string CatalogTest::catroot_;

void CatalogTest::SetUpTestSuite() {
  dir_ = new TempDir;
  pki_ = &SharedTestPki();
  system_root_ = dir_->File("windows");
  catroot_ = system_root_ + "/" + kCatRootBelowSystemRoot;
  fs::create_directories(catroot_);
  setenv("SystemRoot", system_root_.c_str(), 1);
  UseTestAnchors(*pki_, pki_->root.cert);
}

void CatalogTest::TearDownTestSuite() {
  unsetenv("SystemRoot");
  delete dir_;
}

void CatalogTest::TearDown() {
  for (const auto& entry : fs::directory_iterator(catroot_)) fs::remove_all(entry.path());
}

Bytes CatalogTest::Image(std::size_t overlay, PeLayout* layout, bool pe32plus) {
  Bytes image = BuildPeWithVersion(DefaultVersionInfo(), pe32plus, 0x0409, layout);
  for (std::size_t i = 0; i < overlay; ++i) image.push_back(static_cast<std::uint8_t>(0xA0 + i));
  return image;
}

Bytes CatalogTest::ImageHash(const Bytes& image, const PeLayout& layout,
                             const std::string& algorithm) {
  return UnsignedImageHash(image, layout, algorithm);
}

}  // namespace exelore_test
