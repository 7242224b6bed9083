// Components (ownership, free notification, loading), published properties, method callbacks,
// string lists and windowed controls with a hooked message handler.
#include "platform/rtl/component.h"
#include "platform/rtl/controls.h"
#include "platform/rtl/stringlist.h"
#include "platform/win32/winbase.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Records what happens to it in a shared journal.
class Probe : public TComponent {
 public:
  Probe(TComponent* owner, const std::string& name, std::vector<std::string>* journal)
      : TComponent(owner), journal_(journal) {
    SetName(name);
  }
  ~Probe() override { journal_->push_back("destroy " + Name()); }
  void Notification(TComponent* c, TOperation op) override {
    TComponent::Notification(c, op);
    if (op == opRemove) {
      journal_->push_back(Name() + " told " + c->Name() + " removed");
      if (c == watched) watched = nullptr;
    }
  }
  void Loaded() override {
    TComponent::Loaded();
    journal_->push_back("loaded " + Name() + (IsLoading() ? " (still loading)" : ""));
    if (failInLoaded) throw Exception("load failed " + Name());
  }
  TComponent* watched = nullptr;
  bool failInLoaded = false;

 private:
  std::vector<std::string>* journal_;
};

bool Contains(const std::vector<std::string>& v, const std::string& s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

TEST(Components, OwnerDestroysOwnedInReverseCreationOrder) {
  std::vector<std::string> j;
  auto* form = new Probe(nullptr, "form", &j);
  new Probe(form, "a", &j);
  new Probe(form, "b", &j);
  new Probe(form, "c", &j);
  ASSERT_EQ(form->ComponentCount(), 3);
  EXPECT_EQ(form->Components(1)->Name(), "b");
  EXPECT_EQ(form->FindComponent("B"), form->Components(1));
  EXPECT_EQ(form->FindComponent("nope"), nullptr);
  EXPECT_THROW(form->Components(3), EListError);
  j.clear();
  form->Free();
  std::vector<std::string> destroys;
  for (auto& s : j)
    if (s.rfind("destroy", 0) == 0) destroys.push_back(s);
  EXPECT_EQ(destroys, (std::vector<std::string>{"destroy c", "destroy b", "destroy a", "destroy form"}));
  // The owner heard of every removal while it was still complete.
  EXPECT_TRUE(Contains(j, "form told c removed"));
  EXPECT_TRUE(Contains(j, "form told a removed"));
}

TEST(Components, FreeNotificationReachesTheWatcherAndCanBeWithdrawn) {
  std::vector<std::string> j;
  auto* scanner = new Probe(nullptr, "scanner", &j);
  auto* log = new Probe(nullptr, "log", &j);
  auto* other = new Probe(nullptr, "other", &j);
  scanner->watched = log;
  log->FreeNotification(scanner);
  other->FreeNotification(scanner);
  scanner->RemoveFreeNotification(other);
  log->Free();
  EXPECT_TRUE(Contains(j, "scanner told log removed"));
  EXPECT_EQ(scanner->watched, nullptr);
  other->Free();
  EXPECT_FALSE(Contains(j, "scanner told other removed"));
  // The link works both ways: a destroyed watcher is forgotten by the watched one, so the
  // watched one's destruction later calls nobody (ASan would see a stale call).
  auto* a = new Probe(nullptr, "a", &j);
  auto* b = new Probe(nullptr, "b", &j);
  b->FreeNotification(a);
  a->Free();
  EXPECT_TRUE(Contains(j, "b told a removed"));
  j.clear();
  b->Free();
  EXPECT_EQ(j, (std::vector<std::string>{"destroy b"}));
  scanner->Free();
}

TEST(Components, SiblingsHearOfARemovalThroughTheOwner) {
  std::vector<std::string> j;
  Probe form(nullptr, "form", &j);
  new Probe(&form, "box", &j);
  auto* comm = new Probe(&form, "comm", &j);
  delete comm;
  EXPECT_TRUE(Contains(j, "form told comm removed"));
  EXPECT_TRUE(Contains(j, "box told comm removed"));
  EXPECT_EQ(form.ComponentCount(), 1);
}

TEST(Components, LoaderReadsPropertiesWhileLoadingThenResolvesThenLoadsInOrder) {
  std::vector<std::string> j;
  Probe form(nullptr, "form", &j);
  TComponentLoader loader(&form);
  auto* log = loader.Add(new Probe(&form, "log", &j));
  auto* scan = loader.Add(new Probe(&form, "scan", &j));
  EXPECT_TRUE(form.IsLoading());
  EXPECT_TRUE(log->IsLoading());
  EXPECT_TRUE(scan->IsLoading());
  loader.AddFixup([&] {
    j.push_back(std::string("fixup, scan loading=") + (scan->IsLoading() ? "1" : "0"));
    scan->watched = log;
    log->FreeNotification(scan);
  });
  j.clear();
  loader.Finish();
  EXPECT_EQ(j, (std::vector<std::string>{"fixup, scan loading=1", "loaded form", "loaded log", "loaded scan"}));
  EXPECT_FALSE(form.IsLoading());
  EXPECT_FALSE(scan->IsLoading());
  EXPECT_EQ(scan->watched, log);
}

TEST(Components, AFailingLoadedDoesNotStopTheOthers) {
  std::vector<std::string> j;
  Probe form(nullptr, "form", &j);
  TComponentLoader loader;
  auto* a = loader.Add(new Probe(&form, "a", &j));
  auto* b = loader.Add(new Probe(&form, "b", &j));
  a->failInLoaded = true;
  try {
    loader.Finish();
    ADD_FAILURE() << "the failure was lost";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "load failed a");
  }
  EXPECT_TRUE(Contains(j, "loaded b"));
  EXPECT_FALSE(b->IsLoading());
}

TEST(Components, DesigningPassesToOwnedComponents) {
  std::vector<std::string> j;
  Probe form(nullptr, "form", &j);
  auto* a = new Probe(&form, "a", &j);
  form.SetDesigning(true);
  EXPECT_TRUE(a->IsDesigning());
  auto* b = new Probe(&form, "b", &j);
  EXPECT_TRUE(b->IsDesigning());
  EXPECT_TRUE(b->ComponentState() & csDesigning);
  EXPECT_FALSE(b->ComponentState() & csLoading);
}

class Lamp : public TComponent {
 public:
  explicit Lamp(TComponent* owner) : TComponent(owner) {
    PublishBool("Checked", [this] { return on; }, [this](bool v) { on = v; });
    PublishInt("Level", [this] { return level; }, [this](std::int64_t v) { level = v; });
    PublishString("Caption", [this] { return caption; }, [this](const std::string& v) { caption = v; });
    PublishBool("ReadOnlyFlag", [] { return true; }, nullptr);
  }
  bool on = false;
  std::int64_t level = 0;
  std::string caption;
};

TEST(Properties, BooleanPropertyLookedUpByName) {
  Lamp lamp(nullptr);
  TComponent plain(nullptr);
  EXPECT_TRUE(IsPublishedProp(&lamp, "Checked"));
  EXPECT_TRUE(IsPublishedProp(&lamp, "checked"));
  EXPECT_FALSE(IsPublishedProp(&lamp, "Enabled"));
  EXPECT_FALSE(IsPublishedProp(&plain, "Checked"));
  EXPECT_FALSE(IsPublishedProp(nullptr, "Checked"));
  EXPECT_EQ(PropKind(&lamp, "CHECKED"), pkBoolean);
  EXPECT_EQ(PropKind(&lamp, "Level"), pkInteger);
  EXPECT_EQ(PropKind(&plain, "Checked"), pkNone);
  SetBoolProp(&lamp, "Checked", true);
  EXPECT_TRUE(lamp.on);
  EXPECT_TRUE(GetBoolProp(&lamp, "Checked"));
  SetBoolProp(&lamp, "Checked", false);
  EXPECT_FALSE(GetBoolProp(&lamp, "Checked"));
  SetOrdProp(&lamp, "Level", 7);
  EXPECT_EQ(GetOrdProp(&lamp, "Level"), 7);
  SetStrProp(&lamp, "Caption", "CTS");
  EXPECT_EQ(GetStrProp(&lamp, "Caption"), "CTS");
  EXPECT_THROW(SetBoolProp(&plain, "Checked", true), EPropertyError);
  EXPECT_THROW(SetBoolProp(&lamp, "Level", true), EPropertyError);
  EXPECT_THROW(GetOrdProp(&lamp, "Checked"), EPropertyError);
  EXPECT_THROW(SetBoolProp(&lamp, "ReadOnlyFlag", false), EPropertyError);
}

// ---- method callbacks ----------------------------------------------------------------------

struct Listener {
  Listener() = default;
  Listener(std::vector<std::string>* l, std::string n) : log(l), name(std::move(n)) {}
  std::vector<std::string>* log = nullptr;
  std::string name;
  void OnEvent(TObject*, int code) { log->push_back(name + ":" + std::to_string(code)); }
  void OnOther(TObject*, int code) { log->push_back(name + " other:" + std::to_string(code)); }
  virtual void Virt(TObject*, int code) { log->push_back(name + " base:" + std::to_string(code)); }
  int Twice(int v) const { return 2 * v; }
  virtual ~Listener() = default;
};
struct DerivedListener : Listener {
  void Virt(TObject*, int code) override { log->push_back(name + " derived:" + std::to_string(code)); }
};

using TCodeEvent = TMethod<void(TObject*, int)>;

TEST(Methods, IdentityIsCodeAndObject) {
  std::vector<std::string> log;
  Listener a{&log, "a"}, b{&log, "b"};
  TCodeEvent ea = MakeMethod(&a, &Listener::OnEvent);
  TCodeEvent ea2(&a, &Listener::OnEvent);
  TCodeEvent eb = MakeMethod(&b, &Listener::OnEvent);
  TCodeEvent eo = MakeMethod(&a, &Listener::OnOther);
  EXPECT_TRUE(ea == ea2);
  EXPECT_FALSE(ea == eb);  // same method, other object
  EXPECT_FALSE(ea == eo);  // same object, other method
  EXPECT_TRUE(ea.SameCode(eb));
  EXPECT_FALSE(ea.SameCode(eo));
  EXPECT_EQ(ea.Data(), &a);
  TCodeEvent none;
  EXPECT_FALSE(none);
  EXPECT_TRUE(none == nullptr);
  EXPECT_FALSE(ea == none);
  EXPECT_THROW(none(nullptr, 1), Exception);
  ea(nullptr, 1);
  eb(nullptr, 2);
  eo(nullptr, 3);
  EXPECT_EQ(log, (std::vector<std::string>{"a:1", "b:2", "a other:3"}));
}

TEST(Methods, VirtualConstAndFunctionCallbacks) {
  std::vector<std::string> log;
  DerivedListener d;
  d.log = &log;
  d.name = "d";
  TCodeEvent ev = MakeMethod(&d, &Listener::Virt);
  ev(nullptr, 4);
  EXPECT_EQ(log.back(), "d derived:4");
  auto twice = MakeMethod(&d, &Listener::Twice);
  EXPECT_EQ(twice(21), 42);
  int hits = 0;
  auto fn = TMethod<void(int)>::FromFunction([](void* data, int v) { *static_cast<int*>(data) += v; }, &hits);
  fn(5);
  EXPECT_EQ(hits, 5);
  int other = 0;
  auto fn2 = TMethod<void(int)>::FromFunction([](void* data, int v) { *static_cast<int*>(data) += v; }, &other);
  EXPECT_FALSE(fn == fn2);
}

// ---- string lists --------------------------------------------------------------------------

TEST(StringLists, ObjectsIndexesAndErrors) {
  TStringList list;
  int changes = 0;
  list.OnChange = TNotifyEvent::FromFunction([](void* d, TObject*) { ++*static_cast<int*>(d); }, &changes);
  int dummy = 0;
  EXPECT_EQ(list.Add("COM1"), 0);
  EXPECT_EQ(list.AddObject("COM3", &dummy), 1);
  EXPECT_EQ(list.AddObjectInt("COM10", -10), 2);
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(list[1], "COM3");
  EXPECT_EQ(list.Objects(1), &dummy);
  EXPECT_EQ(list.Objects(0), nullptr);
  EXPECT_EQ(list.ObjectInt(2), -10);
  EXPECT_EQ(list.IndexOf("com3"), 1);
  EXPECT_EQ(list.IndexOf("COM4"), -1);
  EXPECT_EQ(list.IndexOfObject(&dummy), 1);
  list.Insert(1, "COM2");
  EXPECT_EQ(list.Join(","), "COM1,COM2,COM3,COM10");
  EXPECT_EQ(list.Objects(2), &dummy);
  list.Delete(0);
  EXPECT_EQ(list[0], "COM2");
  try {
    list.Delete(4);
    ADD_FAILURE() << "no error";
  } catch (const EListError& e) {
    EXPECT_EQ(e.Message(), "List index out of bounds (4)");
  }
  EXPECT_THROW(list.Strings(-1), EListError);
  EXPECT_THROW(list.Objects(3), EListError);
  EXPECT_THROW(list.Insert(5, "x"), EListError);
  EXPECT_EQ(list.Count(), 3);  // failed calls changed nothing
  EXPECT_GE(changes, 5);
  int before = changes;
  list.BeginUpdate();
  list.Add("a");
  list.Add("b");
  EXPECT_EQ(changes, before);
  list.EndUpdate();
  EXPECT_EQ(changes, before + 1);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
}

TEST(StringLists, NameValueEntries) {
  TStringList ports;
  ports.AddObjectInt("COM1=\\Device\\Serial0", 1);
  ports.AddObjectInt("COM7=\\Device\\ttyUSB0", 7);
  ports.Add("plain");
  EXPECT_EQ(ports.IndexOfName("com7"), 1);
  EXPECT_EQ(ports.IndexOfName("plain"), -1);
  EXPECT_EQ(ports.IndexOfName("COM"), -1);
  EXPECT_EQ(ports.Names(0), "COM1");
  EXPECT_EQ(ports.ValueFromIndex(1), "\\Device\\ttyUSB0");
  EXPECT_EQ(ports.Names(2), "");
  EXPECT_EQ(ports.ValueFromIndex(2), "");
  EXPECT_EQ(ports.Values("COM1"), "\\Device\\Serial0");
  EXPECT_EQ(ports.ObjectInt(ports.IndexOfName("COM7")), 7);
  ports.SetValue("COM7", "x=y");
  EXPECT_EQ(ports[1], "COM7=x=y");
  EXPECT_EQ(ports.ValueFromIndex(1), "x=y");
  ports.SetValue("COM9", "z");
  EXPECT_EQ(ports.Values("COM9"), "z");
  ports.SetValue("COM9", "");
  EXPECT_EQ(ports.IndexOfName("COM9"), -1);

  TStringList copy;
  copy.Assign(ports);
  EXPECT_EQ(copy.Text(), ports.Text());
  EXPECT_EQ(copy.ObjectInt(0), 1);
  copy.SetText("a\r\nb\nc");
  EXPECT_EQ(copy.Count(), 3);
  EXPECT_EQ(copy.Text(), "a\nb\nc\n");
}

// ---- windowed controls ---------------------------------------------------------------------

// What an I/O component does with an attached control: hook WindowProc, take typed characters,
// pass everything else on to the saved handler.
struct KeyFilter {
  TWndMethod saved;
  std::string typed;
  void Filter(TMessage& m) {
    if (m.Msg == WM_CHAR) {
      typed += char(m.WParam);
      return;
    }
    saved(m);
  }
};

TEST(Controls, TextControlTakesCharactersAndReplacedSelections) {
  TMemoTestDouble memo(nullptr);
  EXPECT_FALSE(memo.HandleAllocated());
  HWND h = memo.Handle();
  EXPECT_TRUE(memo.HandleAllocated());
  EXPECT_EQ(memo.Handle(), h);
  EXPECT_TRUE(IsWindow(h));
  SendMessageA(h, WM_CHAR, 'A', 1);
  SendMessageA(h, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>("bcd"));
  SendMessageA(h, WM_CHAR, 'e', 1);
  EXPECT_EQ(memo.Text(), "Abcde");
  memo.SetCaret(1);
  SendMessageA(h, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>("XY"));
  EXPECT_EQ(memo.Text(), "AXYbcde");
  ASSERT_EQ(memo.Received.size(), 4u);
  EXPECT_EQ(memo.Received[0].Msg, WM_CHAR);
  EXPECT_EQ(memo.Received[0].LParam, 1);
  EXPECT_EQ(memo.Received[1].Msg, EM_REPLACESEL);
  char buf[4];
  EXPECT_EQ(SendMessageA(h, WM_GETTEXT, sizeof buf, reinterpret_cast<LPARAM>(buf)), 3);
  EXPECT_STREQ(buf, "AXY");
  EXPECT_EQ(SendMessageA(h, WM_GETTEXTLENGTH, 0, 0), 7);
}

TEST(Controls, HookedWindowProcSeesMessagesFirstAndCanBeRestored) {
  TMemoTestDouble memo(nullptr);
  KeyFilter filter;
  filter.saved = memo.WindowProc;
  memo.WindowProc = MakeMethod(&filter, &KeyFilter::Filter);
  HWND h = memo.Handle();
  SendMessageA(h, WM_CHAR, 'k', 1);
  SendMessageA(h, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>("shown"));
  EXPECT_EQ(filter.typed, "k");
  EXPECT_EQ(memo.Text(), "shown");
  memo.WindowProc = filter.saved;
  SendMessageA(h, WM_CHAR, '!', 1);
  EXPECT_EQ(filter.typed, "k");
  EXPECT_EQ(memo.Text(), "shown!");
  EXPECT_EQ(memo.Perform(WM_CHAR, '?', 1), 0);
  EXPECT_EQ(memo.Text(), "shown!?");
}

TEST(Controls, DestroyedWindowGoesAway) {
  HWND h;
  {
    TMemoTestDouble memo(nullptr);
    h = memo.Handle();
  }
  EXPECT_FALSE(IsWindow(h));
  EXPECT_EQ(SendMessageA(h, WM_CHAR, 'x', 1), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Controls, CheckBoxPublishesChecked) {
  TCheckBoxTestDouble box(nullptr);
  SetBoolProp(&box, "Checked", true);
  SetBoolProp(&box, "Checked", true);
  EXPECT_TRUE(box.Checked());
  EXPECT_EQ(box.ChangeCount(), 1);
}

}  // namespace
