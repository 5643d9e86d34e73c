// The C runtime's part on POSIX: the program's entry function takes UTF-16
// arguments, as wmain does on Windows. Argument bytes are converted
// losslessly, so a file name that is not valid UTF-8 still reaches the file
// functions byte for byte.
#include <windows.h>

#include <string>
#include <vector>

#include "text.h"

int wmain(int argc, WCHAR* argv[]);

int main(int argc, char* argv[]) {
  std::vector<std::u16string> arguments;
  arguments.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) arguments.push_back(exelore_posix::BytesToUtf16(argv[i]));
  std::vector<WCHAR*> pointers;
  for (auto& argument : arguments) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  return wmain(argc, pointers.data());
}
