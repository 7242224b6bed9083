// The toolkit's visual controls on Qt 6 Widgets: a form and the standard controls it holds
// (label, check box, push button, list box, combo box, multi-line edit), each a windowed
// control of the component model (platform/rtl/controls.h) that shows itself through a Qt widget.
//
// Positions and sizes are pixels of the form's client area; alignment to an edge is kept when
// the parent is resized. Handlers (OnClick, OnChange, Change) run on the GUI thread from Qt's
// signals; an exception leaving one goes to Application->HandleException, never into Qt.
//
// Built only with Qt (library qv_platform_qt). Main thread only.
#pragma once

#include "platform/rtl/application.h"
#include "platform/rtl/controls.h"
#include "platform/rtl/stringlist.h"
#include "platform/serial/winserial.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class QWidget;

enum TAlign : std::uint8_t { alNone, alTop, alBottom, alLeft, alRight, alClient };

// The font as a form definition gives it: a family name, a height in pixels (the definition's
// negative Height) and the style bits. "MS Sans Serif" and an empty name mean the desktop's
// default sans-serif family.
struct TFontSpec {
  std::string Name = "MS Sans Serif";
  int PixelHeight = 11;
  bool Bold = false;
  bool Italic = false;
};

// A string list whose changes a control mirrors in its widget (items of list and combo boxes).
class TControlStrings : public TStrings {
 public:
  int Count() const override { return int(items_.size()); }
  const std::string& Strings(int index) const override;
  void PutString(int index, const std::string& s) override;
  void* Objects(int index) const override;
  void PutObject(int index, void* object) override;
  void Insert(int index, const std::string& s) override;
  void Delete(int index) override;
  void Clear() override;

  // What the owning control does before and after each change.
  std::function<void(int index)> OnInserting, OnInserted, OnDeleting, OnDeleted, OnChanged;
  std::function<void()> OnClearing, OnCleared;

 private:
  void Check(int index) const;
  std::vector<std::pair<std::string, void*>> items_;
};

// A control shown by a Qt widget.
class TWidgetControl : public TWinControl {
 public:
  ~TWidgetControl() override;

  QWidget* Widget() const;
  TWidgetControl* Parent() const { return parent_; }
  // Places the widget inside parent's client area (null: a window of its own).
  void SetParent(TWidgetControl* parent);

  int Left() const { return left_; }
  int Top() const { return top_; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  void SetBounds(int left, int top, int width, int height);
  TAlign Align() const { return align_; }
  void SetAlign(TAlign value);
  bool Visible() const;
  void SetVisible(bool value);
  bool Enabled() const;
  void SetEnabled(bool value);
  // Position in the parent's tab sequence; -1 for controls that take no focus.
  int TabOrder() const { return tabOrder_; }
  void SetTabOrder(int value);
  void SetFont(const TFontSpec& font);
  // The caption (labels, buttons, check boxes, forms) or the text (edits, combo boxes). From
  // another thread the change is queued to the GUI thread.
  void SetText(const std::string& text) override;

  // Lays out the aligned children again (after a resize of this control).
  void Realign();

 protected:
  TWidgetControl(TComponent* AOwner, QWidget* widget);
  // Shows a new caption or text in the widget.
  virtual void ShowText(const std::string& text);
  // Runs a handler the way the toolkit does: an exception goes to the application's
  // exception display.
  void Guarded(const std::function<void()>& handler);
  void ApplyTabOrder();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  TWidgetControl* parent_ = nullptr;
  std::vector<TWidgetControl*> children_;
  int left_ = 0, top_ = 0, width_ = 0, height_ = 0;
  TAlign align_ = alNone;
  int tabOrder_ = -1;
};

// A top-level window. Left/Top place the window, ClientWidth/ClientHeight size its client area
// (no menu bar). Its window handle (Handle) receives the messages posted to the form; the
// first form created becomes the application's main form.
class TForm : public TWidgetControl {
 public:
  explicit TForm(TComponent* AOwner);
  ~TForm() override;
  // Aligns the controls once their designed bounds are all known.
  void Loaded() override;

  void SetClientSize(int width, int height);
  int ClientWidth() const;
  int ClientHeight() const;
  void SetPosition(int left, int top);
  void Show();
  void Close();

  TNotifyEvent OnClose;
};

class TLabel : public TWidgetControl {
 public:
  explicit TLabel(TComponent* AOwner);
  const std::string& Caption() const { return Text(); }

 protected:
  void ShowText(const std::string& text) override;
};

// A check box whose OnClick runs whenever Checked changes, by the user or by the program.
class TCheckBox : public TWidgetControl {
 public:
  explicit TCheckBox(TComponent* AOwner);
  const std::string& Caption() const { return Text(); }
  bool Checked() const;
  void SetChecked(bool value);
  TNotifyEvent OnClick;

 protected:
  void ShowText(const std::string& text) override;

 private:
  void Toggled(bool checked);
  bool checked_ = false;
};

class TButton : public TWidgetControl {
 public:
  explicit TButton(TComponent* AOwner);
  const std::string& Caption() const { return Text(); }
  // Presses the button from the program (as a click).
  void Click();
  TNotifyEvent OnClick;

 protected:
  void ShowText(const std::string& text) override;
};

// A list of strings; appending stays cheap at any length (rows are laid out uniformly).
class TListBox : public TWidgetControl {
 public:
  explicit TListBox(TComponent* AOwner);
  ~TListBox() override;
  TStrings& Items() { return items_; }
  int ItemHeight() const { return itemHeight_; }
  void SetItemHeight(int value);
  int ItemIndex() const;
  void SetItemIndex(int value);

 private:
  struct Model;
  TControlStrings items_;
  std::unique_ptr<Model> model_;
  int itemHeight_ = 13;
};

enum TComboBoxStyle : std::uint8_t { csDropDown, csDropDownList };

// A combo box. Change runs only when the user picks an item (not when the program changes
// the items or the selection); the base raises OnChange.
class TCustomComboBox : public TWidgetControl {
 public:
  explicit TCustomComboBox(TComponent* AOwner);
  TStrings& Items() { return items_; }
  int ItemIndex() const;
  // -1 selects nothing.
  void SetItemIndex(int value);
  TComboBoxStyle Style() const { return style_; }
  void SetStyle(TComboBoxStyle value);
  int DropDownCount() const { return dropDownCount_; }
  void SetDropDownCount(int value);
  int ItemHeight() const { return itemHeight_; }
  void SetItemHeight(int value) { itemHeight_ = value; }
  bool Sorted() const { return sorted_; }
  // Kept as a stored value: the items stay in the order they were added.
  void SetSorted(bool value) { sorted_ = value; }
  // Picks the item as the user would (runs Change); -1 or an index outside the list: nothing.
  void Pick(int index);
  TNotifyEvent OnChange;

 protected:
  virtual void Change();
  void ShowText(const std::string& text) override;

 private:
  TControlStrings items_;
  TComboBoxStyle style_ = csDropDown;
  int dropDownCount_ = 8;
  int itemHeight_ = 13;
  bool sorted_ = false;
};

// A multi-line edit control: WM_CHAR types a character at the caret (backspace deletes the one
// before it), EM_REPLACESEL inserts zero-terminated text at the caret, WM_SETTEXT replaces the
// text. Typed keys go through WindowProc as WM_CHAR, so a component that hooks the control sees
// them. Text() follows every change, also the user's.
class TMemo : public TWidgetControl {
 public:
  explicit TMemo(TComponent* AOwner);
  bool ReadOnly() const;
  void SetReadOnly(bool value);

 protected:
  void WndProc(TMessage& Message) override;
  void ShowText(const std::string& text) override;

 private:
  bool syncing_ = false;
};

namespace qv::platform {

// The widget of the form whose window handle is hwnd, or null.
QWidget* WidgetOfWindow(HWND hwnd);

// The port-settings dialog behind CommConfigDialogA: baud rate (the usual rates or any other
// typed in), data bits, parity, stop bits and flow control of config->dcb. OK writes them into
// the record and returns TRUE; Cancel leaves it as it was and returns FALSE (ERROR_CANCELLED).
BOOL PortSettingsDialog(const char* name, HWND owner, COMMCONFIG* config);

// Runs the application object inside Qt's event loop: the QApplication is created first (one
// per process), the global Application next when there is none. Hand-overs, posted messages
// and timers run when Application->WakeFd() becomes readable (a socket notifier, no polling);
// an exception leaving them goes to the application's exception display. Installs the Qt
// message box behind MessageBoxA and the port-settings dialog behind CommConfigDialogA; the
// destructor removes them.
class TGuiApplication {
 public:
  TGuiApplication(int& argc, char** argv);
  ~TGuiApplication();
  TGuiApplication(const TGuiApplication&) = delete;
  TGuiApplication& operator=(const TGuiApplication&) = delete;

  // Shows the form and runs until its window closes (or Application->Terminate); returns
  // the exit code.
  int Run(TForm* mainForm);
  // SIGTERM, SIGINT and SIGHUP close the windows as the user would (the form's close handling
  // runs), then the loop ends.
  void CloseOnSignals();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qv::platform
