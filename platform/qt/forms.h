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
class TPopupMenu;

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
// Main thread only (Qt's GUI thread).
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
// Main thread only (Qt's GUI thread).
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
  // The menu a right-click on the control shows (null: none). Not owned.
  TPopupMenu* PopupMenu() const { return popupMenu_; }
  void SetPopupMenu(TPopupMenu* menu);
  // Forgets a popup menu that is destroyed.
  void Notification(TComponent* AComponent, TOperation Operation) override;

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
  TPopupMenu* popupMenu_ = nullptr;
};

// One command of a popup menu.
// Main thread only (Qt's GUI thread).
class TMenuItem : public TComponent {
 public:
  explicit TMenuItem(TComponent* AOwner) : TComponent(AOwner) {}
  const std::string& Caption() const { return caption_; }
  void SetCaption(const std::string& value) { caption_ = value; }
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool value) { enabled_ = value; }
  // Runs OnClick as a pick from the menu does.
  void Click();
  TNotifyEvent OnClick;

 private:
  std::string caption_;
  bool enabled_ = true;
};

// A context menu: its items in order; "-" as a caption is a separator. OnPopup runs just before
// the menu shows (to enable or disable items). The menu owns nothing: items belong to their
// owner component.
// Main thread only (Qt's GUI thread).
class TPopupMenu : public TComponent {
 public:
  explicit TPopupMenu(TComponent* AOwner) : TComponent(AOwner) {}
  // Appends the item (the menu forgets it when it is destroyed).
  void Add(TMenuItem* item);
  int Count() const { return int(items_.size()); }
  TMenuItem* Items(int index) const { return items_.at(std::size_t(index)); }
  // Shows the menu at a point of the screen and runs the picked item.
  void Popup(int x, int y);
  void Notification(TComponent* AComponent, TOperation Operation) override;
  TNotifyEvent OnPopup;

 private:
  std::vector<TMenuItem*> items_;
};

// A top-level window. Left/Top place the window, ClientWidth/ClientHeight size its client area
// (no menu bar). Its window handle (Handle) receives the messages posted to the form; the
// first form created becomes the application's main form.
// Main thread only (Qt's GUI thread).
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
  // The window's icon, from an image file or a Qt resource (":/name.svg").
  void SetIcon(const std::string& file);
  void Show();
  void Close();

  TNotifyEvent OnClose;
  // After the client area changed its size, before the aligned controls are laid out again.
  TNotifyEvent OnResize;
};

// Main thread only (Qt's GUI thread).
class TLabel : public TWidgetControl {
 public:
  explicit TLabel(TComponent* AOwner);
  const std::string& Caption() const { return Text(); }

 protected:
  void ShowText(const std::string& text) override;
};

// A check box whose OnClick runs whenever Checked changes, by the user or by the program.
// Main thread only (Qt's GUI thread).
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

// Main thread only (Qt's GUI thread).
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
// Main thread only (Qt's GUI thread).
class TListBox : public TWidgetControl {
 public:
  explicit TListBox(TComponent* AOwner);
  ~TListBox() override;
  TStrings& Items() { return items_; }
  int ItemHeight() const { return itemHeight_; }
  void SetItemHeight(int value);
  int ItemIndex() const;
  void SetItemIndex(int value);
  // Several items can be selected at once (click with Ctrl or Shift).
  bool MultiSelect() const { return multiSelect_; }
  void SetMultiSelect(bool value);
  bool Selected(int index) const;
  void SetSelected(int index, bool value);
  // Scrolled to the end, the list keeps its newest item in view as items are added; scrolled
  // up by the user, it stays where it is until scrolled back to the end.
  bool FollowsEnd() const { return followsEnd_; }
  void SetFollowsEnd(bool value);
  // The first item in view.
  int TopIndex() const;
  void SetTopIndex(int value);

 private:
  struct Model;
  TControlStrings items_;
  std::unique_ptr<Model> model_;
  int itemHeight_ = 13;
  bool multiSelect_ = false;
  bool followsEnd_ = false;
  bool atEnd_ = true;  // the view shows its last row (or has nothing to scroll)
};

// A status line along the bottom of a form: a text on the left, which Text sets, and a fixed
// part on the right (StateText). A notice, while there is one, is a row of its own above them
// (Height() grows to PreferredHeight(); the form lays itself out again). Long texts are cut
// short; the whole text is the tool tip.
// Main thread only (Qt's GUI thread).
class TStatusBar : public TWidgetControl {
 public:
  explicit TStatusBar(TComponent* AOwner);
  const std::string& StateText() const { return state_; }
  void SetStateText(const std::string& text);
  const std::string& Notice() const { return notice_; }
  // Empty removes the notice's row.
  void SetNotice(const std::string& text);
  // The height the status line needs: one row, or two with a notice.
  int PreferredHeight() const;

 protected:
  void ShowText(const std::string& text) override;

 private:
  std::string state_, notice_;
};

enum TComboBoxStyle : std::uint8_t { csDropDown, csDropDownList };

// A combo box. Change runs only when the user picks an item (not when the program changes
// the items or the selection); the base raises OnChange.
// Main thread only (Qt's GUI thread).
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
  // The tool tip of one item (shown over it in the open list); empty: none.
  std::string ItemHint(int index) const;
  void SetItemHint(int index, const std::string& hint);
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
// Main thread only (Qt's GUI thread).
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
// The pages a program added (SetPortSettingsPages) are tabs beside the port's own.
BOOL PortSettingsDialog(const char* name, HWND owner, COMMCONFIG* config);

// A page of the program's own in the port-settings dialog: Make builds its widget (the dialog
// takes it); Apply gets it back when the user presses OK, after the port's record was written.
struct PortSettingsPage {
  std::string Title;
  std::function<QWidget*()> Make;
  std::function<void(QWidget*)> Apply;
};
// The pages the dialogs that follow show beside the port's own; an empty list removes them.
void SetPortSettingsPages(std::vector<PortSettingsPage> pages);

// Runs the application object inside Qt's event loop: the QApplication is created first (one
// per process), the global Application next when there is none. Hand-overs, posted messages
// and timers run when Application->WakeFd() becomes readable (a socket notifier, no polling);
// an exception leaving them goes to the application's exception display. Installs the Qt
// message box behind MessageBoxA and the port-settings dialog behind CommConfigDialogA; the
// destructor removes them.
// Main thread only (Qt's GUI thread).
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
