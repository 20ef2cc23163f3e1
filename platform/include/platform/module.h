// Run-time loading of shared modules (the PKCS#11 module of the card).
#ifndef PLATFORM_MODULE_H
#define PLATFORM_MODULE_H

namespace platform {

// Loads a module by file name with the system loader's usual search order
// (a bare name is looked up on the loader's path). Binds every symbol at
// load time. Returns null when the module cannot be loaded.
void* LoadModule(const char* file_name) noexcept;

// Address of an exported symbol, or null.
void* FindSymbol(void* module, const char* name) noexcept;

// Drops one reference to a module from LoadModule; the answer is ignored.
void UnloadModule(void* module) noexcept;

// Looks up a function symbol and gives it the caller's function type.
template <class Fn>
Fn FindFunction(void* module, const char* name) noexcept {
  return reinterpret_cast<Fn>(FindSymbol(module, name));
}

}  // namespace platform

#endif
