// An object a thread keeps between calls (working memory grown on demand),
// made on the thread's first call and destroyed when the thread ends.
//
// A `thread_local` object with a destructor would do the same, but glibc
// registers such a destructor with memory it allocates, and when that
// allocation fails it ends the whole process ("failed to register TLS
// destructor"). A key of the thread library keeps the object instead: every
// step that can fail here returns null, and the caller then works with an
// object of its own for that one call.
#pragma once
#include <pthread.h>

#include <new>

namespace vorn {

template <class T>
class ThreadKept {
 public:
  // This thread's object, made on its first call; null when the key or the
  // object cannot be made.
  static T* get() noexcept {
    const pthread_key_t* k = key();
    if (k == nullptr) return nullptr;
    if (void* p = pthread_getspecific(*k)) return static_cast<T*>(p);
    T* fresh = new (std::nothrow) T();
    if (fresh == nullptr) return nullptr;
    if (pthread_setspecific(*k, fresh) != 0) {
      delete fresh;
      return nullptr;
    }
    return fresh;
  }

 private:
  static void destroy(void* p) { delete static_cast<T*>(p); }
  // Made on the first call of any thread and never deleted: threads still
  // running at exit keep their objects until the process ends.
  static const pthread_key_t* key() noexcept {
    static pthread_key_t k;
    static const bool made = pthread_key_create(&k, destroy) == 0;
    return made ? &k : nullptr;
  }
};

}  // namespace vorn
