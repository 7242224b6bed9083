#include "platform/rtl/controls.h"

#include <cstring>

// ---- TWinControl ---------------------------------------------------------------------------

TWinControl::TWinControl(TComponent* AOwner) : TControl(AOwner) {
  WindowProc = MakeMethod(this, &TWinControl::WndProc);
}

TWinControl::~TWinControl() { DestroyHandle(); }

HWND TWinControl::Handle() {
  if (!handle_) handle_ = qv::platform::CreateWindowRecord(MakeMethod(this, &TWinControl::MainWndProc));
  return handle_;
}

void TWinControl::DestroyHandle() {
  if (!handle_) return;
  qv::platform::DestroyWindowRecord(handle_);
  handle_ = 0;
}

LRESULT TWinControl::Perform(UINT msg, WPARAM wParam, LPARAM lParam) {
  TMessage m;
  m.Msg = msg;
  m.WParam = wParam;
  m.LParam = lParam;
  MainWndProc(m);
  return m.Result;
}

void TWinControl::MainWndProc(TMessage& Message) {
  if (WindowProc)
    WindowProc(Message);
  else
    DefaultHandler(Message);
}

void TWinControl::WndProc(TMessage& Message) {
  switch (Message.Msg) {
    case WM_SETTEXT:
      SetText(Message.LParam ? reinterpret_cast<const char*>(Message.LParam) : "");
      Message.Result = TRUE;
      return;
    case WM_GETTEXTLENGTH:
      Message.Result = LRESULT(text_.size());
      return;
    case WM_GETTEXT: {
      // wParam: buffer size including the terminating zero.
      char* buf = reinterpret_cast<char*>(Message.LParam);
      std::size_t cap = std::size_t(Message.WParam);
      if (!buf || cap == 0) {
        Message.Result = 0;
        return;
      }
      std::size_t n = std::min(text_.size(), cap - 1);
      std::memcpy(buf, text_.data(), n);
      buf[n] = 0;
      Message.Result = LRESULT(n);
      return;
    }
    default:
      DefaultHandler(Message);
  }
}

void TWinControl::DefaultHandler(TMessage& Message) {
  Message.Result = DefWindowProcA(handle_, Message.Msg, Message.WParam, Message.LParam);
}

// ---- TMemoTestDouble -----------------------------------------------------------------------

TMemoTestDouble::TMemoTestDouble(TComponent* AOwner) : TWinControl(AOwner) {}

void TMemoTestDouble::SetText(const std::string& text) {
  text_ = text;
  caret_ = text_.size();
}

void TMemoTestDouble::SetCaret(std::size_t pos) { caret_ = std::min(pos, text_.size()); }

void TMemoTestDouble::WndProc(TMessage& Message) {
  Received.push_back(Message);
  switch (Message.Msg) {
    case WM_CHAR: {
      const char c = char(Message.WParam & 0xFF);
      if (c == '\b') {
        if (caret_ > 0) text_.erase(--caret_, 1);
      } else {
        text_.insert(caret_, 1, c);
        ++caret_;
      }
      Message.Result = 0;
      return;
    }
    case EM_REPLACESEL: {
      const char* s = reinterpret_cast<const char*>(Message.LParam);
      if (s) {
        std::size_t n = std::strlen(s);
        text_.insert(caret_, s, n);
        caret_ += n;
      }
      Message.Result = 0;
      return;
    }
    default:
      TWinControl::WndProc(Message);
      if (Message.Msg == WM_SETTEXT) caret_ = text_.size();
  }
}

// ---- TCheckBoxTestDouble -------------------------------------------------------------------

TCheckBoxTestDouble::TCheckBoxTestDouble(TComponent* AOwner) : TWinControl(AOwner) {
  PublishBool("Checked", [this] { return checked_; }, [this](bool v) { SetChecked(v); });
}

void TCheckBoxTestDouble::SetChecked(bool value) {
  if (value == checked_) return;
  checked_ = value;
  ++changes_;
  if (OnClick) OnClick(this);
}
