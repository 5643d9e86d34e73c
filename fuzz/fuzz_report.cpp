// The whole report over an arbitrary file.
#include "fuzz_input.h"
#include "report/application_report.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  exelore_fuzz::MemoryFile file(data, size);
  if (file.fd() < 0) return 0;
  WideString report;
  ComposeApplicationReport(file.WidePath().c_str(), report);
  return 0;
}
