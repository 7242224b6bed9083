// qvcommbox: the device box, a drop-down list of the devices of one linked I/O component. The
// user's pick switches the component to that device; the box reloads itself whenever the
// component reports that its devices or its selection changed (notify code 3).
//
// Qt-backed (library qv_ports_qt). Main thread only.
#pragma once

#include "core/qvclasses.h"
#include "platform/qt/forms.h"

// Main thread only.
class TqvDeviceBox : public TCustomComboBox {
 public:
  // Starts unlinked and empty, as a drop-down list.
  explicit TqvDeviceBox(TComponent* AOwner);
  // Withdraws its callback from the link.
  ~TqvDeviceBox() override;

  // Forgets a link that is being destroyed; the items stay, nothing is selected.
  void Notification(TComponent* AComponent, TOperation Operation) override;

  TqvBaseIO* qvComm() const { return FqvComm; }
  // Fills the items from Value's devices, selects its current device and registers for its
  // notifications (null unlinks: no items, no selection). Writing the current link reloads.
  void SetqvComm(TqvBaseIO* Value);
  // Stored and published; nothing depends on it.
  bool ResetOnChanged() const { return FResetOnChanged; }
  void SetResetOnChanged(bool Value) { FResetOnChanged = Value; }

  // Routes a device-change message to the link's HandleDeviceChange; false when unlinked.
  virtual bool HandleDeviceChange(TMessage& Message);
  // Reloads items and selection from the current link.
  void UpdateItems();
  // What the device of an item is (port name, description, the device it stands for), also the
  // item's tool tip; empty for an index outside the list.
  std::string DeviceHint(int index) const { return ItemHint(index); }

 protected:
  // The user picked an item: the link switches to it, then OnChange is raised. Nothing when
  // unlinked.
  void Change() override;

 private:
  void LinkNotify(TqvBaseIO* Sender, int Code);
  TLinkNotifyEvent Callback() { return MakeMethod(this, &TqvDeviceBox::LinkNotify); }

  TqvBaseIO* FqvComm = nullptr;
  bool FResetOnChanged = false;
};
