// The message boxes and the wait cursor of the sheet's pages, with Qt's widgets. Used on the
// thread of the application object only.
#pragma once

#include "applet/settings_save.h"

class QWidget;

namespace faxmail::applet {

class QtPageContext : public PageContext {
 public:
  // owner: the window that owns the boxes shown "owned"; null for none.
  explicit QtPageContext(QWidget* owner) : m_owner(owner) {}
  ~QtPageContext() override;
  QtPageContext(const QtPageContext&) = delete;
  QtPageContext& operator=(const QtPageContext&) = delete;

  MessageAnswer Show(const MessageRequest& request) override;
  void SetBusy(bool busy) override;

 private:
  QWidget* m_owner;
  int m_busy = 0;  // wait cursors this context has put up and not yet taken down
};

// A box with nothing behind it: for Load, before any page exists.
class QtPrompter : public Prompter {
 public:
  MessageAnswer Show(const MessageRequest& request) override;
};

}  // namespace faxmail::applet
