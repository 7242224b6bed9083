// The port-settings dialog (CommConfigDialogA).
#include "platform/qt/forms.h"

#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QIntValidator>
#include <QLineEdit>
#include <QTabWidget>
#include <QVBoxLayout>

namespace qv::platform {
namespace {

constexpr DWORD kErrorCancelled = 1223;  // ERROR_CANCELLED

// Flow-control flag sets as the serial component writes them: what each sets, what it keeps.
constexpr DWORD kNoneSet = 0x0011, kNoneKeep = 0x4CFB;
constexpr DWORD kXonSet = 0x0311, kXonKeep = 0x4FFB;
constexpr DWORD kHardSet = 0x2015, kHardKeep = 0x2CFF;

enum Flow { flowNone, flowXonXoff, flowHardware };

Flow FlowOf(DWORD flags) {
  if ((flags & kXonSet) == kXonSet) return flowXonXoff;
  if ((flags & kHardSet) == kHardSet) return flowHardware;
  return flowNone;
}

DWORD WithFlow(DWORD flags, Flow flow) {
  switch (flow) {
    case flowXonXoff: return (flags | kXonSet) & kXonKeep;
    case flowHardware: return (flags | kHardSet) & kHardKeep;
    default: return (flags | kNoneSet) & kNoneKeep;
  }
}

constexpr DWORD kRates[] = {110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200,
                            128000, 230400, 256000, 460800, 921600};

QComboBox* Choices(QWidget* parent, std::initializer_list<const char*> texts, int current) {
  auto* c = new QComboBox(parent);
  for (const char* t : texts) c->addItem(QString::fromLatin1(t));
  c->setCurrentIndex(current);
  return c;
}

std::vector<PortSettingsPage>& Pages() {
  static auto* pages = new std::vector<PortSettingsPage>;
  return *pages;
}

}  // namespace

void SetPortSettingsPages(std::vector<PortSettingsPage> pages) { Pages() = std::move(pages); }

BOOL PortSettingsDialog(const char* name, HWND owner, COMMCONFIG* config) {
  if (!config) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DCB& dcb = config->dcb;
  QDialog dialog(WidgetOfWindow(owner));
  dialog.setObjectName("PortSettingsDialog");
  const QString port = QString::fromUtf8(name && *name ? name : "Port");
  dialog.setWindowTitle(port + " Settings");
  auto* outer = new QVBoxLayout(&dialog);
  // The port's own settings, alone or as the first of the tabs.
  auto* portPage = new QWidget(&dialog);
  portPage->setObjectName("PortPage");
  auto* form = new QFormLayout(portPage);
  // The pages are copied: a page's Apply may change the list.
  const std::vector<PortSettingsPage> pages = Pages();
  std::vector<QWidget*> pageWidgets;
  if (pages.empty()) {
    outer->addWidget(portPage);
  } else {
    auto* tabs = new QTabWidget(&dialog);
    tabs->setObjectName("Pages");
    tabs->addTab(portPage, "Port");
    for (const PortSettingsPage& p : pages) {
      QWidget* w = p.Make ? p.Make() : new QWidget;
      pageWidgets.push_back(w);
      tabs->addTab(w, QString::fromUtf8(p.Title.c_str()));
    }
    outer->addWidget(tabs);
  }

  auto* baud = new QComboBox(&dialog);
  baud->setObjectName("BaudRate");
  baud->setEditable(true);
  for (DWORD r : kRates) baud->addItem(QString::number(r));
  baud->lineEdit()->setValidator(new QIntValidator(1, 99999999, baud));
  baud->setEditText(QString::number(dcb.BaudRate));
  form->addRow("&Bits per second:", baud);

  const int bits = dcb.ByteSize >= 5 && dcb.ByteSize <= 8 ? dcb.ByteSize - 5 : 3;
  auto* dataBits = Choices(&dialog, {"5", "6", "7", "8"}, bits);
  dataBits->setObjectName("DataBits");
  form->addRow("&Data bits:", dataBits);

  auto* parity = Choices(&dialog, {"None", "Odd", "Even", "Mark", "Space"}, dcb.Parity <= SPACEPARITY ? dcb.Parity : 0);
  parity->setObjectName("Parity");
  form->addRow("&Parity:", parity);

  auto* stopBits = Choices(&dialog, {"1", "1.5", "2"}, dcb.StopBits <= TWOSTOPBITS ? dcb.StopBits : 0);
  stopBits->setObjectName("StopBits");
  form->addRow("&Stop bits:", stopBits);

  auto* flow = Choices(&dialog, {"None", "Xon / Xoff", "Hardware"}, FlowOf(dcb.Flags));
  flow->setObjectName("FlowControl");
  form->addRow("&Flow control:", flow);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  outer->addWidget(buttons);

  if (dialog.exec() != QDialog::Accepted) {
    SetLastError(kErrorCancelled);
    return FALSE;
  }
  bool ok = false;
  const unsigned rate = baud->currentText().toUInt(&ok);
  if (ok && rate > 0) dcb.BaudRate = rate;
  dcb.ByteSize = BYTE(5 + dataBits->currentIndex());
  dcb.Parity = BYTE(parity->currentIndex());
  dcb.StopBits = BYTE(stopBits->currentIndex());
  dcb.Flags = WithFlow(dcb.Flags, Flow(flow->currentIndex()));
  for (std::size_t i = 0; i < pages.size(); ++i)
    if (pages[i].Apply) pages[i].Apply(pageWidgets[i]);
  return TRUE;
}

}  // namespace qv::platform
