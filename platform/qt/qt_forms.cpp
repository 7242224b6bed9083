// Forms and standard controls on Qt Widgets (see forms.h).
#include "platform/qt/forms.h"

#include "platform/rtl/exceptions.h"

#include <QAbstractListModel>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontDatabase>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QTextCursor>
#include <QVBoxLayout>
#include <QThread>
#include <QWidget>

#include <algorithm>
#include <cstring>
#include <unordered_map>

namespace {

QString Q(const std::string& s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }

std::unordered_map<HWND, QWidget*>& FormWindows() {
  static auto* map = new std::unordered_map<HWND, QWidget*>;
  return *map;
}

// The client area of a form: keeps aligned children in place, reports closing and activation.
class FormWidget : public QWidget {
 public:
  explicit FormWidget(TForm* form) : form_(form) {}
  TForm* form_;

 protected:
  void resizeEvent(QResizeEvent* e) override {
    QWidget::resizeEvent(e);
    if (!form_) return;
    if (form_->OnResize) {
      try {
        form_->OnResize(form_);
      } catch (...) {
        if (Application) Application->HandleException(form_);
      }
    }
    form_->Realign();
  }
  void closeEvent(QCloseEvent* e) override {
    if (form_ && form_->OnClose) {
      try {
        form_->OnClose(form_);
      } catch (...) {
        if (Application) Application->HandleException(form_);
      }
    }
    e->accept();
  }
  void changeEvent(QEvent* e) override {
    QWidget::changeEvent(e);
    if (form_ && e->type() == QEvent::ActivationChange && isActiveWindow()) SetForegroundWindow(form_->Handle());
  }
};

}  // namespace

// ---- TControlStrings -------------------------------------------------------------------------

void TControlStrings::Check(int index) const {
  if (index < 0 || index >= Count()) throw EListError("List index out of bounds (" + std::to_string(index) + ")");
}

const std::string& TControlStrings::Strings(int index) const {
  Check(index);
  return items_[std::size_t(index)].first;
}

void TControlStrings::PutString(int index, const std::string& s) {
  Check(index);
  items_[std::size_t(index)].first = s;
  if (OnChanged) OnChanged(index);
}

void* TControlStrings::Objects(int index) const {
  Check(index);
  return items_[std::size_t(index)].second;
}

void TControlStrings::PutObject(int index, void* object) {
  Check(index);
  items_[std::size_t(index)].second = object;
}

void TControlStrings::Insert(int index, const std::string& s) {
  if (index < 0 || index > Count()) throw EListError("List index out of bounds (" + std::to_string(index) + ")");
  if (OnInserting) OnInserting(index);
  items_.insert(items_.begin() + index, {s, nullptr});
  if (OnInserted) OnInserted(index);
}

void TControlStrings::Delete(int index) {
  Check(index);
  if (OnDeleting) OnDeleting(index);
  items_.erase(items_.begin() + index);
  if (OnDeleted) OnDeleted(index);
}

void TControlStrings::Clear() {
  if (OnClearing) OnClearing();
  items_.clear();
  if (OnCleared) OnCleared();
}

// ---- TWidgetControl --------------------------------------------------------------------------

struct TWidgetControl::Impl {
  QPointer<QWidget> widget;
};

TWidgetControl::TWidgetControl(TComponent* AOwner, QWidget* widget) : TWinControl(AOwner), impl_(new Impl) {
  impl_->widget = widget;
}

TWidgetControl::~TWidgetControl() {
  for (TWidgetControl* child : children_) child->parent_ = nullptr;
  if (parent_) std::erase(parent_->children_, this);
  delete impl_->widget.data();
}

QWidget* TWidgetControl::Widget() const { return impl_->widget.data(); }

void TWidgetControl::SetParent(TWidgetControl* parent) {
  if (parent == parent_) return;
  if (parent_) std::erase(parent_->children_, this);
  parent_ = parent;
  if (QWidget* w = Widget()) {
    w->setParent(parent ? parent->Widget() : nullptr);
    w->setGeometry(left_, top_, width_, height_);
    if (parent) w->show();
  }
  if (parent) {
    parent->children_.push_back(this);
    parent->Realign();
    parent->ApplyTabOrder();
  }
}

void TWidgetControl::SetBounds(int left, int top, int width, int height) {
  left_ = left;
  top_ = top;
  width_ = width;
  height_ = height;
  if (QWidget* w = Widget()) {
    if (w->isWindow()) {
      w->move(left, top);
      w->resize(width, height);
    } else {
      w->setGeometry(left, top, width, height);
    }
  }
  if (parent_ && align_ != alNone) parent_->Realign();
}

void TWidgetControl::SetAlign(TAlign value) {
  align_ = value;
  if (parent_) parent_->Realign();
}

bool TWidgetControl::Visible() const { return Widget() && !Widget()->isHidden(); }

void TWidgetControl::SetVisible(bool value) {
  if (QWidget* w = Widget()) w->setVisible(value);
  if (parent_) parent_->Realign();
}

bool TWidgetControl::Enabled() const { return Widget() && Widget()->isEnabled(); }

void TWidgetControl::SetEnabled(bool value) {
  if (QWidget* w = Widget()) w->setEnabled(value);
}

void TWidgetControl::SetTabOrder(int value) {
  tabOrder_ = value;
  if (parent_) parent_->ApplyTabOrder();
}

void TWidgetControl::ApplyTabOrder() {
  std::vector<TWidgetControl*> order;
  for (TWidgetControl* c : children_)
    if (c->tabOrder_ >= 0 && c->Widget()) order.push_back(c);
  std::stable_sort(order.begin(), order.end(), [](auto* a, auto* b) { return a->tabOrder_ < b->tabOrder_; });
  for (std::size_t i = 1; i < order.size(); ++i) QWidget::setTabOrder(order[i - 1]->Widget(), order[i]->Widget());
}

void TWidgetControl::SetFont(const TFontSpec& font) {
  QWidget* w = Widget();
  if (!w) return;
  QFont f;
  if (font.Name.empty() || font.Name == "MS Sans Serif") {
    // That family does not exist here: the desktop's own sans-serif takes its place.
    f = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    f.setStyleHint(QFont::SansSerif);
  } else {
    f = QFont(Q(font.Name));
  }
  if (font.PixelHeight > 0) f.setPixelSize(font.PixelHeight);
  f.setBold(font.Bold);
  f.setItalic(font.Italic);
  w->setFont(f);
}

void TWidgetControl::SetText(const std::string& text) {
  QWidget* w = Widget();
  if (w && QThread::currentThread() != w->thread()) {
    // A log line written by a port thread into a text control: the widget changes on its own
    // thread, unless the control has gone by then.
    QMetaObject::invokeMethod(
        w, [this, guard = QPointer<QWidget>(w), text] { if (guard) SetText(text); }, Qt::QueuedConnection);
    return;
  }
  text_ = text;
  ShowText(text);
}

void TWidgetControl::ShowText(const std::string& text) {
  if (QWidget* w = Widget(); w && w->isWindow()) w->setWindowTitle(Q(text));
}

void TWidgetControl::SetPopupMenu(TPopupMenu* menu) {
  QWidget* w = Widget();
  if (popupMenu_) popupMenu_->RemoveFreeNotification(this);
  popupMenu_ = menu;
  if (!w) return;
  if (!menu) {
    w->setContextMenuPolicy(Qt::DefaultContextMenu);
    return;
  }
  menu->FreeNotification(this);
  if (w->contextMenuPolicy() == Qt::CustomContextMenu) return;
  w->setContextMenuPolicy(Qt::CustomContextMenu);
  QObject::connect(w, &QWidget::customContextMenuRequested, [this](const QPoint& at) {
    QWidget* widget = Widget();
    if (!popupMenu_ || !widget) return;
    // A list's menu is asked for by its viewport: the point is the viewport's.
    QWidget* from = widget;
    if (auto* view = qobject_cast<QAbstractScrollArea*>(widget)) from = view->viewport();
    const QPoint global = from->mapToGlobal(at);
    Guarded([&] { popupMenu_->Popup(global.x(), global.y()); });
  });
}

void TWidgetControl::Notification(TComponent* AComponent, TOperation Operation) {
  TWinControl::Notification(AComponent, Operation);
  if (Operation == opRemove && AComponent && AComponent == popupMenu_) popupMenu_ = nullptr;
}

void TWidgetControl::Guarded(const std::function<void()>& handler) {
  try {
    handler();
  } catch (...) {
    if (Application)
      Application->HandleException(this);
  }
}

// The toolkit's alignment: top-aligned controls stack down from the top edge (in order of
// their Top), bottom-aligned ones up from the bottom edge (the lowest first), then left, right
// and client; unaligned controls keep their bounds.
void TWidgetControl::Realign() {
  QWidget* w = Widget();
  // While the definition is read the stored bounds are the designed ones; Loaded aligns.
  if (!w || IsLoading()) return;
  QRect r = w->contentsRect();
  auto place = [](TWidgetControl* c, int l, int t, int wd, int ht) {
    c->left_ = l;
    c->top_ = t;
    c->width_ = wd;
    c->height_ = ht;
    if (QWidget* cw = c->Widget()) cw->setGeometry(l, t, wd, ht);
  };
  auto aligned = [&](TAlign a) {
    std::vector<TWidgetControl*> v;
    for (TWidgetControl* c : children_)
      if (c->align_ == a && c->Visible()) v.push_back(c);
    return v;
  };
  auto tops = aligned(alTop);
  std::stable_sort(tops.begin(), tops.end(), [](auto* a, auto* b) { return a->top_ < b->top_; });
  for (auto* c : tops) {
    place(c, r.left(), r.top(), r.width(), c->height_);
    r.setTop(r.top() + c->height_);
  }
  auto bottoms = aligned(alBottom);
  std::stable_sort(bottoms.begin(), bottoms.end(), [](auto* a, auto* b) { return a->top_ > b->top_; });
  for (auto* c : bottoms) {
    place(c, r.left(), r.bottom() + 1 - c->height_, r.width(), c->height_);
    r.setBottom(r.bottom() - c->height_);
  }
  auto lefts = aligned(alLeft);
  std::stable_sort(lefts.begin(), lefts.end(), [](auto* a, auto* b) { return a->left_ < b->left_; });
  for (auto* c : lefts) {
    place(c, r.left(), r.top(), c->width_, r.height());
    r.setLeft(r.left() + c->width_);
  }
  auto rights = aligned(alRight);
  std::stable_sort(rights.begin(), rights.end(), [](auto* a, auto* b) { return a->left_ > b->left_; });
  for (auto* c : rights) {
    place(c, r.right() + 1 - c->width_, r.top(), c->width_, r.height());
    r.setRight(r.right() - c->width_);
  }
  for (auto* c : aligned(alClient)) place(c, r.left(), r.top(), r.width(), r.height());
}

// ---- TForm -----------------------------------------------------------------------------------

TForm::TForm(TComponent* AOwner) : TWidgetControl(AOwner, new FormWidget(this)) {
  QWidget* w = Widget();
  w->setAutoFillBackground(true);
  const HWND h = Handle();
  FormWindows()[h] = w;
  if (Application && Application->MainFormHandle() == 0) Application->SetMainFormHandle(h);
}

TForm::~TForm() {
  // Controls go first: their widgets are children of the form's.
  DestroyComponents();
  if (auto* w = static_cast<FormWidget*>(Widget())) w->form_ = nullptr;
  if (HandleAllocated()) {
    FormWindows().erase(Handle());
    if (Application && Application->MainFormHandle() == Handle()) Application->SetMainFormHandle(0);
    if (GetForegroundWindow() == Handle()) SetForegroundWindow(0);
  }
}

void TForm::Loaded() {
  TWidgetControl::Loaded();
  Realign();
}

void TForm::SetClientSize(int width, int height) {
  if (QWidget* w = Widget()) w->resize(width, height);
}

int TForm::ClientWidth() const { return Widget() ? Widget()->width() : 0; }
int TForm::ClientHeight() const { return Widget() ? Widget()->height() : 0; }

void TForm::SetPosition(int left, int top) {
  if (QWidget* w = Widget()) w->move(left, top);
}

void TForm::SetIcon(const std::string& file) {
  if (QWidget* w = Widget()) w->setWindowIcon(QIcon(Q(file)));
}

void TForm::Show() {
  if (QWidget* w = Widget()) w->show();
}

void TForm::Close() {
  if (QWidget* w = Widget()) w->close();
}

// ---- TLabel, TCheckBox, TButton ----------------------------------------------------------------

namespace {
// Labels, buttons and check boxes show their caption through setText.
template <class W>
void SetCaption(QWidget* w, const std::string& text) {
  if (auto* x = qobject_cast<W*>(w)) x->setText(Q(text));
}
}  // namespace

TLabel::TLabel(TComponent* AOwner) : TWidgetControl(AOwner, new QLabel) {
  Widget()->setFocusPolicy(Qt::NoFocus);
  static_cast<QLabel*>(Widget())->setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

TCheckBox::TCheckBox(TComponent* AOwner) : TWidgetControl(AOwner, new QCheckBox) {
  QObject::connect(static_cast<QCheckBox*>(Widget()), &QCheckBox::toggled, [this](bool on) { Toggled(on); });
  PublishBool("Checked", [this] { return Checked(); }, [this](bool v) { SetChecked(v); });
}

bool TCheckBox::Checked() const { return checked_; }

void TCheckBox::SetChecked(bool value) {
  if (value == checked_) return;
  if (auto* w = static_cast<QCheckBox*>(Widget()))
    w->setChecked(value);  // toggled -> Toggled
  else
    Toggled(value);
}

void TCheckBox::Toggled(bool checked) {
  checked_ = checked;
  if (OnClick) Guarded([this] { OnClick(this); });
}

TButton::TButton(TComponent* AOwner) : TWidgetControl(AOwner, new QPushButton) {
  QObject::connect(static_cast<QPushButton*>(Widget()), &QPushButton::clicked, [this] {
    if (OnClick) Guarded([this] { OnClick(this); });
  });
}

void TButton::Click() {
  if (auto* w = static_cast<QPushButton*>(Widget())) w->click();
}

void TLabel::ShowText(const std::string& text) { SetCaption<QLabel>(Widget(), text); }
void TCheckBox::ShowText(const std::string& text) { SetCaption<QCheckBox>(Widget(), text); }
void TButton::ShowText(const std::string& text) { SetCaption<QPushButton>(Widget(), text); }

// ---- TListBox --------------------------------------------------------------------------------

// The view reads the control's strings directly; each change is announced, so an append costs
// one row insertion whatever the length of the list.
struct TListBox::Model : QAbstractListModel {
  explicit Model(TListBox* box) : box_(box) {}
  TListBox* box_;
  int rowCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : box_->items_.Count(); }
  QVariant data(const QModelIndex& index, int role) const override {
    if (!index.isValid() || index.row() >= box_->items_.Count()) return {};
    if (role == Qt::DisplayRole) return Q(box_->items_.Strings(index.row()));
    if (role == Qt::SizeHintRole) return QSize(1, box_->itemHeight_);
    return {};
  }
  using QAbstractListModel::beginInsertRows;
  using QAbstractListModel::beginRemoveRows;
  using QAbstractListModel::beginResetModel;
  using QAbstractListModel::dataChanged;
  using QAbstractListModel::endInsertRows;
  using QAbstractListModel::endRemoveRows;
  using QAbstractListModel::endResetModel;
};

TListBox::TListBox(TComponent* AOwner) : TWidgetControl(AOwner, new QListView), model_(new Model(this)) {
  auto* v = static_cast<QListView*>(Widget());
  v->setUniformItemSizes(true);
  v->setEditTriggers(QAbstractItemView::NoEditTriggers);
  v->setModel(model_.get());
  // Where the user left the view decides whether it follows new items: the scroll bar's range
  // grows after rows were added (on the next layout), and a view at the end moves along.
  QScrollBar* bar = v->verticalScrollBar();
  QObject::connect(bar, &QScrollBar::valueChanged, [this, bar](int value) { atEnd_ = value >= bar->maximum(); });
  QObject::connect(bar, &QScrollBar::rangeChanged, [this, bar](int, int max) {
    if (followsEnd_ && atEnd_) bar->setValue(max);
    atEnd_ = bar->value() >= max;
  });
  Model* m = model_.get();
  items_.OnInserting = [m](int i) { m->beginInsertRows({}, i, i); };
  items_.OnInserted = [m](int) { m->endInsertRows(); };
  items_.OnDeleting = [m](int i) { m->beginRemoveRows({}, i, i); };
  items_.OnDeleted = [m](int) { m->endRemoveRows(); };
  items_.OnClearing = [m] { m->beginResetModel(); };
  items_.OnCleared = [m] { m->endResetModel(); };
  items_.OnChanged = [m](int i) { m->dataChanged(m->index(i), m->index(i)); };
}

TListBox::~TListBox() {
  // The view goes before its model.
  delete Widget();
}

void TListBox::SetItemHeight(int value) {
  itemHeight_ = value;
  if (auto* v = static_cast<QListView*>(Widget())) v->reset();
}

int TListBox::ItemIndex() const {
  auto* v = static_cast<QListView*>(Widget());
  return v && v->currentIndex().isValid() ? v->currentIndex().row() : -1;
}

void TListBox::SetItemIndex(int value) {
  if (auto* v = static_cast<QListView*>(Widget()))
    v->setCurrentIndex(value >= 0 && value < items_.Count() ? model_->index(value) : QModelIndex());
}

void TListBox::SetMultiSelect(bool value) {
  multiSelect_ = value;
  if (auto* v = static_cast<QListView*>(Widget()))
    v->setSelectionMode(value ? QAbstractItemView::ExtendedSelection : QAbstractItemView::SingleSelection);
}

bool TListBox::Selected(int index) const {
  auto* v = static_cast<QListView*>(Widget());
  return v && index >= 0 && index < items_.Count() && v->selectionModel()->isSelected(model_->index(index));
}

void TListBox::SetSelected(int index, bool value) {
  auto* v = static_cast<QListView*>(Widget());
  if (!v || index < 0 || index >= items_.Count()) return;
  v->selectionModel()->select(model_->index(index), value ? QItemSelectionModel::Select : QItemSelectionModel::Deselect);
}

void TListBox::SetFollowsEnd(bool value) { followsEnd_ = value; }

int TListBox::TopIndex() const {
  auto* v = static_cast<QListView*>(Widget());
  if (!v || items_.Count() == 0) return -1;
  const QModelIndex top = v->indexAt(QPoint(1, 1));
  return top.isValid() ? top.row() : 0;
}

void TListBox::SetTopIndex(int value) {
  auto* v = static_cast<QListView*>(Widget());
  if (v && value >= 0 && value < items_.Count()) v->scrollTo(model_->index(value), QAbstractItemView::PositionAtTop);
}

// ---- TStatusBar ------------------------------------------------------------------------------

namespace {
// A label that cuts its text short to its width and shows the whole text as its tool tip.
class ElidedLabel : public QLabel {
 public:
  ElidedLabel() {
    setMinimumWidth(1);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  }
  void SetFullText(const QString& text) {
    full_ = text;
    setToolTip(text);
    Elide();
  }

 protected:
  void resizeEvent(QResizeEvent* e) override {
    QLabel::resizeEvent(e);
    Elide();
  }

 private:
  void Elide() { setText(fontMetrics().elidedText(full_, Qt::ElideRight, width())); }
  QString full_;
};

constexpr int kStatusRow = 18;

class StatusWidget : public QWidget {
 public:
  StatusWidget() : notice_(new ElidedLabel), bar_(new QStatusBar), text_(new ElidedLabel), state_(new QLabel) {
    auto* rows = new QVBoxLayout(this);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(0);
    notice_->setObjectName("StatusNotice");
    notice_->setContentsMargins(3, 0, 3, 0);
    notice_->setFixedHeight(kStatusRow);
    notice_->hide();
    text_->setObjectName("StatusText");
    state_->setObjectName("StatusState");
    bar_->setFixedHeight(kStatusRow);
    bar_->addWidget(text_, 1);
    bar_->addPermanentWidget(state_);
    rows->addWidget(notice_);
    rows->addWidget(bar_);
  }
  ElidedLabel* notice_;
  QStatusBar* bar_;
  ElidedLabel* text_;
  QLabel* state_;
};
}  // namespace

TStatusBar::TStatusBar(TComponent* AOwner) : TWidgetControl(AOwner, new StatusWidget) {}

void TStatusBar::ShowText(const std::string& text) {
  if (auto* w = static_cast<StatusWidget*>(Widget())) w->text_->SetFullText(Q(text));
}

void TStatusBar::SetStateText(const std::string& text) {
  state_ = text;
  if (auto* w = static_cast<StatusWidget*>(Widget())) w->state_->setText(Q(text));
}

void TStatusBar::SetNotice(const std::string& text) {
  notice_ = text;
  if (auto* w = static_cast<StatusWidget*>(Widget())) {
    w->notice_->SetFullText(Q(text));
    w->notice_->setVisible(!text.empty());
  }
}

int TStatusBar::PreferredHeight() const { return notice_.empty() ? kStatusRow : 2 * kStatusRow; }

// ---- TMenuItem, TPopupMenu -------------------------------------------------------------------

void TMenuItem::Click() {
  if (enabled_ && OnClick) OnClick(this);
}

void TPopupMenu::Add(TMenuItem* item) {
  items_.push_back(item);
  item->FreeNotification(this);
}

void TPopupMenu::Notification(TComponent* AComponent, TOperation Operation) {
  TComponent::Notification(AComponent, Operation);
  if (Operation == opRemove) std::erase(items_, AComponent);
}

void TPopupMenu::Popup(int x, int y) {
  if (OnPopup) OnPopup(this);
  QMenu menu;
  std::vector<std::pair<QAction*, TMenuItem*>> actions;
  for (TMenuItem* item : items_) {
    if (item->Caption() == "-") {
      menu.addSeparator();
      continue;
    }
    QAction* a = menu.addAction(Q(item->Caption()));
    a->setEnabled(item->Enabled());
    actions.emplace_back(a, item);
  }
  QAction* picked = menu.exec(QPoint(x, y));
  for (auto& [action, item] : actions)
    if (action == picked) item->Click();
}

// ---- TCustomComboBox -------------------------------------------------------------------------

TCustomComboBox::TCustomComboBox(TComponent* AOwner) : TWidgetControl(AOwner, new QComboBox) {
  auto* c = static_cast<QComboBox*>(Widget());
  c->setEditable(true);
  c->setMaxVisibleItems(dropDownCount_);
  items_.OnInserted = [this, c](int i) { c->insertItem(i, Q(items_.Strings(i))); };
  items_.OnDeleted = [c](int i) { c->removeItem(i); };
  items_.OnCleared = [c] { c->clear(); };
  items_.OnChanged = [this, c](int i) { c->setItemText(i, Q(items_.Strings(i))); };
  // Text follows the selection, whoever changed it.
  QObject::connect(c, &QComboBox::currentTextChanged, [this](const QString& t) { text_ = t.toStdString(); });
  // Only a pick by the user runs Change.
  QObject::connect(c, &QComboBox::activated, [this](int) { Guarded([this] { Change(); }); });
}

int TCustomComboBox::ItemIndex() const {
  auto* c = static_cast<QComboBox*>(Widget());
  return c ? c->currentIndex() : -1;
}

void TCustomComboBox::SetItemIndex(int value) {
  if (auto* c = static_cast<QComboBox*>(Widget())) c->setCurrentIndex(value >= 0 && value < c->count() ? value : -1);
}

void TCustomComboBox::SetStyle(TComboBoxStyle value) {
  style_ = value;
  if (auto* c = static_cast<QComboBox*>(Widget())) c->setEditable(value == csDropDown);
}

void TCustomComboBox::SetDropDownCount(int value) {
  dropDownCount_ = value;
  if (auto* c = static_cast<QComboBox*>(Widget())) c->setMaxVisibleItems(value);
}

void TCustomComboBox::Pick(int index) {
  auto* c = static_cast<QComboBox*>(Widget());
  if (!c || index < 0 || index >= c->count()) return;
  c->setCurrentIndex(index);
  Guarded([this] { Change(); });
}

std::string TCustomComboBox::ItemHint(int index) const {
  auto* c = static_cast<QComboBox*>(Widget());
  return c && index >= 0 && index < c->count() ? c->itemData(index, Qt::ToolTipRole).toString().toStdString() : std::string();
}

void TCustomComboBox::SetItemHint(int index, const std::string& hint) {
  auto* c = static_cast<QComboBox*>(Widget());
  if (c && index >= 0 && index < c->count()) c->setItemData(index, hint.empty() ? QVariant() : QVariant(Q(hint)), Qt::ToolTipRole);
}

void TCustomComboBox::Change() {
  if (OnChange) OnChange(this);
}

// A drop-down list shows only items: the text selects the item that has it.
void TCustomComboBox::ShowText(const std::string& text) {
  auto* c = static_cast<QComboBox*>(Widget());
  if (!c) return;
  if (style_ == csDropDownList) {
    const int i = items_.IndexOf(text);
    if (i >= 0) c->setCurrentIndex(i);
    text_ = c->currentText().toStdString();
  } else {
    c->setEditText(Q(text));
  }
}

// ---- TMemo -----------------------------------------------------------------------------------

namespace {
// Typed keys become WM_CHAR through the control's WindowProc, as the system sends them.
class KeyToChar : public QObject {
 public:
  explicit KeyToChar(TWinControl* control) : control_(control) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* e) override {
    if (e->type() != QEvent::KeyPress) return QObject::eventFilter(watched, e);
    auto* k = static_cast<QKeyEvent*>(e);
    if (k->modifiers() & (Qt::ControlModifier | Qt::AltModifier)) return false;
    std::string bytes;
    if (k->key() == Qt::Key_Backspace)
      bytes = "\b";
    else if (k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter)
      bytes = "\r";
    else if (!k->text().isEmpty() && k->text().at(0).isPrint())
      bytes = k->text().toStdString();
    else
      return false;  // navigation keys stay with the widget
    for (char ch : bytes) {
      try {
        control_->Perform(WM_CHAR, WPARAM(static_cast<unsigned char>(ch)), 1);
      } catch (...) {
        if (Application) Application->HandleException(control_);
      }
    }
    return true;
  }

 private:
  TWinControl* control_;
};

QString EditText(const char* s, std::size_t n) {
  std::string t;
  t.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (s[i] == '\r') {
      t += '\n';
      if (i + 1 < n && s[i + 1] == '\n') ++i;
    } else {
      t += s[i];
    }
  }
  return Q(t);
}
}  // namespace

TMemo::TMemo(TComponent* AOwner) : TWidgetControl(AOwner, new QPlainTextEdit) {
  auto* e = static_cast<QPlainTextEdit*>(Widget());
  auto* filter = new KeyToChar(this);
  filter->setParent(e);
  e->installEventFilter(filter);
  QObject::connect(e, &QPlainTextEdit::textChanged, [this, e] {
    if (!syncing_) text_ = e->toPlainText().toStdString();
  });
}

bool TMemo::ReadOnly() const {
  auto* e = static_cast<QPlainTextEdit*>(Widget());
  return e && e->isReadOnly();
}

void TMemo::SetReadOnly(bool value) {
  if (auto* e = static_cast<QPlainTextEdit*>(Widget())) e->setReadOnly(value);
}

void TMemo::ShowText(const std::string& text) {
  auto* e = static_cast<QPlainTextEdit*>(Widget());
  if (!e) return;
  syncing_ = true;
  e->setPlainText(EditText(text.data(), text.size()));
  e->moveCursor(QTextCursor::End);
  syncing_ = false;
  text_ = e->toPlainText().toStdString();
}

void TMemo::WndProc(TMessage& Message) {
  auto* e = static_cast<QPlainTextEdit*>(Widget());
  switch (Message.Msg) {
    case WM_CHAR: {
      if (!e) break;
      const char c = char(Message.WParam & 0xFF);
      if (c == '\b')
        e->textCursor().deletePreviousChar();
      else if (c != 0)
        e->insertPlainText(EditText(&c, 1));
      Message.Result = 0;
      return;
    }
    case EM_REPLACESEL: {
      if (!e) break;
      if (const char* s = reinterpret_cast<const char*>(Message.LParam)) e->insertPlainText(EditText(s, std::strlen(s)));
      Message.Result = 0;
      return;
    }
    default:
      break;
  }
  TWidgetControl::WndProc(Message);
}

namespace qv::platform {
QWidget* WidgetOfWindow(HWND hwnd) {
  auto it = FormWindows().find(hwnd);
  return it == FormWindows().end() ? nullptr : it->second;
}
}  // namespace qv::platform
