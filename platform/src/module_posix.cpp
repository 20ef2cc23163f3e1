#include "platform/module.h"

#include <dlfcn.h>

namespace platform {

void* LoadModule(const char* file_name) noexcept {
  return dlopen(file_name, RTLD_NOW | RTLD_LOCAL);
}

void* FindSymbol(void* module, const char* name) noexcept { return dlsym(module, name); }

void UnloadModule(void* module) noexcept { dlclose(module); }

}  // namespace platform
