#include "handles.h"

#include <mutex>
#include <unordered_map>

namespace exelore_posix {
namespace {

struct Table {
  std::mutex mutex;
  std::unordered_map<const void*, HandleKind> live;
};

Table& Handles() {
  static Table* table = new Table;  // outlives every static destructor
  return *table;
}

}  // namespace

void RegisterHandle(const void* object, HandleKind kind) {
  Table& table = Handles();
  std::lock_guard lock(table.mutex);
  table.live[object] = kind;
}

bool IsLiveHandle(const void* handle, HandleKind kind) {
  if (handle == nullptr) return false;
  Table& table = Handles();
  std::lock_guard lock(table.mutex);
  const auto it = table.live.find(handle);
  return it != table.live.end() && it->second == kind;
}

bool UnregisterHandle(const void* handle, HandleKind kind) {
  if (handle == nullptr) return false;
  Table& table = Handles();
  std::lock_guard lock(table.mutex);
  const auto it = table.live.find(handle);
  if (it == table.live.end() || it->second != kind) return false;
  table.live.erase(it);
  return true;
}

int FdFromHandle(HANDLE handle) {
  const auto* file = FromHandle<FileObject>(handle, HandleKind::kFile);
  return file != nullptr ? file->fd : -1;
}

}  // namespace exelore_posix
