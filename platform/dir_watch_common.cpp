// The watch handle's ownership, the same on every backend: Close is each backend's own.
#include "platform/dir_watch.h"

#include <string>
#include <utility>

namespace faxmail::platform {

DirectoryWatch::~DirectoryWatch() { Close(); }

DirectoryWatch::DirectoryWatch(DirectoryWatch&& other) noexcept
    : m_notify(std::exchange(other.m_notify, -1)),
      m_interrupt(std::exchange(other.m_interrupt, -1)),
      m_lost(std::exchange(other.m_lost, false)),
      m_device(other.m_device),
      m_inode(other.m_inode),
      m_names(other.m_names),
      m_folder(std::move(other.m_folder)) {}

DirectoryWatch& DirectoryWatch::operator=(DirectoryWatch&& other) noexcept {
  if (this != &other) {
    Close();
    m_notify = std::exchange(other.m_notify, -1);
    m_interrupt = std::exchange(other.m_interrupt, -1);
    m_lost = std::exchange(other.m_lost, false);
    m_device = other.m_device;
    m_inode = other.m_inode;
    m_names = other.m_names;
    m_folder = std::move(other.m_folder);
  }
  return *this;
}

}  // namespace faxmail::platform
