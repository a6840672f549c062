#pragma once
#include <cstdio>
#include <utility>

#include "engine/win.h"

// One owner per OS handle: move-only, closes on destruction. Declare owners so
// that destruction order is right (a hash after its algorithm provider): the
// later-declared closes first. WinINet handles have their own owner,
// InternetHandle in check/http_win.h, which also works with the stop signal.
template <class Traits>
class UniqueHandle {
 public:
  using Handle = typename Traits::Handle;

  UniqueHandle() = default;
  explicit UniqueHandle(Handle h) : m_handle(h) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : m_handle(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueHandle() { reset(); }

  Handle get() const { return m_handle; }
  explicit operator bool() const { return m_handle != Traits::Invalid(); }
  Handle release() { return std::exchange(m_handle, Traits::Invalid()); }
  void reset(Handle h = Traits::Invalid()) {
    const Handle old = std::exchange(m_handle, h);
    if (old != Traits::Invalid()) Traits::Close(old);
  }

 private:
  Handle m_handle = Traits::Invalid();
};

struct KernelHandleTraits {  // threads, processes, events: invalid is NULL
  using Handle = HANDLE;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::CloseHandle(h); }
};
struct FileHandleTraits {  // CreateFileW: invalid is INVALID_HANDLE_VALUE
  using Handle = HANDLE;
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Handle h) { ::CloseHandle(h); }
};
struct FindHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Handle h) { ::FindClose(h); }
};
struct BcryptAlgTraits {
  using Handle = BCRYPT_ALG_HANDLE;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::BCryptCloseAlgorithmProvider(h, 0); }
};
struct BcryptKeyTraits {
  using Handle = BCRYPT_KEY_HANDLE;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::BCryptDestroyKey(h); }
};
struct BcryptHashTraits {
  using Handle = BCRYPT_HASH_HANDLE;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::BCryptDestroyHash(h); }
};
struct StreamTraits {
  using Handle = FILE*;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { std::fclose(h); }
};

struct LocalMemoryTraits {  // what the system allocated with LocalAlloc for us
  using Handle = void*;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::LocalFree(h); }
};

using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;
using UniqueFile = UniqueHandle<FileHandleTraits>;
using UniqueFind = UniqueHandle<FindHandleTraits>;
using UniqueBcryptAlg = UniqueHandle<BcryptAlgTraits>;
using UniqueBcryptKey = UniqueHandle<BcryptKeyTraits>;
using UniqueBcryptHash = UniqueHandle<BcryptHashTraits>;
using UniqueStream = UniqueHandle<StreamTraits>;
using UniqueLocalMemory = UniqueHandle<LocalMemoryTraits>;

// CreateProcessW hands back two handles; both are closed.
struct UniqueProcessInfo {
  UniqueKernelHandle process;
  UniqueKernelHandle thread;
};
