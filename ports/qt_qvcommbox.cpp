#include "ports/qvcommbox.h"

namespace {
// "COM3: <description> (<device>)": what the port list knows of the device; the items keep the
// text the device list gives them.
std::string HintOf(const TqvDevice& d) {
  std::string hint = d.PortName.empty() ? d.Name : d.PortName;
  if (!d.Description.empty()) hint += ": " + d.Description;
  if (!d.DeviceObjectName.empty() && hint.find(d.DeviceObjectName) == std::string::npos)
    hint += " (" + d.DeviceObjectName + ")";
  return hint;
}
}  // namespace

TqvDeviceBox::TqvDeviceBox(TComponent* AOwner) : TCustomComboBox(AOwner) {
  SetStyle(csDropDownList);
  PublishBool("ResetOnChanged", [this] { return FResetOnChanged; }, [this](bool v) { FResetOnChanged = v; });
}

TqvDeviceBox::~TqvDeviceBox() {
  if (FqvComm) {
    FqvComm->RemoveNotify(Callback());
    FqvComm->RemoveFreeNotification(this);
    FqvComm = nullptr;
  }
}

void TqvDeviceBox::Notification(TComponent* AComponent, TOperation Operation) {
  TCustomComboBox::Notification(AComponent, Operation);
  if (Operation == opRemove && AComponent != nullptr && AComponent == FqvComm) {
    FqvComm = nullptr;
    SetItemIndex(-1);
  }
}

void TqvDeviceBox::SetqvComm(TqvBaseIO* Value) {
  Items().Clear();
  SetItemIndex(-1);
  if (FqvComm && FqvComm != Value) {
    FqvComm->RemoveNotify(Callback());
    FqvComm->RemoveFreeNotification(this);
  }
  FqvComm = Value;
  if (!Value) return;
  // An enumeration error passes on to the caller, but the box stays registered with what it
  // shows, so it still learns of the link's destruction.
  struct Register {
    TqvDeviceBox* box;
    TqvBaseIO* link;
    ~Register() {
      link->AddNotify(box->Callback());
      link->FreeNotification(box);
    }
  } reg{this, Value};
  Value->FillDeviceList(&Items());
  for (int i = 0; i < Items().Count(); ++i)
    if (const auto* d = static_cast<const TqvDevice*>(Items().Objects(i))) SetItemHint(i, HintOf(*d));
  SetItemIndex(Value->GetDeviceIndex());
}

void TqvDeviceBox::UpdateItems() { SetqvComm(FqvComm); }

bool TqvDeviceBox::HandleDeviceChange(TMessage& Message) {
  return FqvComm ? FqvComm->HandleDeviceChange(Message) : false;
}

void TqvDeviceBox::LinkNotify(TqvBaseIO*, int Code) {
  if (Code == ncDevicesChanged) UpdateItems();
}

void TqvDeviceBox::Change() {
  if (!FqvComm) return;
  FqvComm->SelectDevice(ItemIndex());
  TCustomComboBox::Change();
}
