// Windowed controls as far as the components use them: a window handle created on demand and
// a replaceable message handler (WindowProc) that receives every message sent to the window,
// plus test doubles of a text control and a check box.
#pragma once

#include "platform/rtl/component.h"
#include "platform/rtl/wndmethod.h"
#include "platform/win32/winuser.h"

#include <string>
#include <vector>

class TControl : public TComponent {
 public:
  using TComponent::TComponent;
};

class TWinControl : public TControl {
 public:
  explicit TWinControl(TComponent* AOwner);
  ~TWinControl() override;

  // The window, created on first use (on the calling thread).
  HWND Handle();
  bool HandleAllocated() const { return handle_ != 0; }
  void DestroyHandle();

  // Receives every message sent to the window. Initially the control's own WndProc;
  // replacing it hooks the control (restore the saved one to unhook).
  TWndMethod WindowProc;

  // Sends a message straight to WindowProc (without needing a window).
  LRESULT Perform(UINT msg, WPARAM wParam, LPARAM lParam);

  const std::string& Text() const { return text_; }
  virtual void SetText(const std::string& text) { text_ = text; }

 protected:
  // The control's own message handling; the base answers WM_SETTEXT/WM_GETTEXT(LENGTH) and
  // passes the rest to DefaultHandler.
  virtual void WndProc(TMessage& Message);
  virtual void DefaultHandler(TMessage& Message);
  std::string text_;

 private:
  void MainWndProc(TMessage& Message);
  HWND handle_ = 0;
};

// A multi-line edit control stand-in: WM_CHAR inserts the character at the caret (backspace
// deletes the character before it), EM_REPLACESEL inserts the zero-terminated text at lParam
// at the caret. The caret is at the end unless SetCaret moves it. Records every message.
class TMemoTestDouble : public TWinControl {
 public:
  explicit TMemoTestDouble(TComponent* AOwner);
  void SetText(const std::string& text) override;
  std::size_t Caret() const { return caret_; }
  void SetCaret(std::size_t pos);
  // Every message WndProc saw, in order.
  std::vector<TMessage> Received;

 protected:
  void WndProc(TMessage& Message) override;

 private:
  std::size_t caret_ = 0;
};

// A check box stand-in with a published Boolean "Checked" property.
class TCheckBoxTestDouble : public TWinControl {
 public:
  explicit TCheckBoxTestDouble(TComponent* AOwner);
  bool Checked() const { return checked_; }
  void SetChecked(bool value);
  int ChangeCount() const { return changes_; }
  TNotifyEvent OnClick;

 private:
  bool checked_ = false;
  int changes_ = 0;
};
