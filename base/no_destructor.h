// A process-wide object that is made at its first use and never destroyed: the gateway ends its
// process while its threads may still be using such objects, and a destructor run at exit
// would pull the object from under them.
#pragma once

#include <new>

namespace faxmail {

template <class T>
class NoDestructor {
 public:
  NoDestructor() { ::new (static_cast<void*>(m_storage)) T(); }
  NoDestructor(const NoDestructor&) = delete;
  NoDestructor& operator=(const NoDestructor&) = delete;
  T& Get() { return *std::launder(reinterpret_cast<T*>(m_storage)); }

 private:
  alignas(T) unsigned char m_storage[sizeof(T)];
};

}  // namespace faxmail
