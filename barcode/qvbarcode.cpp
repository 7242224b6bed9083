#include "barcode/qvbarcode.h"

TqvBarCodeScan::TqvBarCodeScan(TComponent* AOwner) : TqvCustomSerialComm(AOwner) {
  SetEventMask({ceRxChar});
  OnRxData = TOnRxDataEvent(this, &TqvBarCodeScan::HandleRxData);
  SetBaudRate(9600);
  SetByteSize(8);
  SetParity(pNone);
  SetStopBits(sbOne);
  SetStreamProtocol(spHardware);
  FCharBegin = 0;
  FCharEnd = 13;
  FOptions = {boAutoDetect};
  FTimer = std::make_unique<TqvTimer>();
  FTimer->SetEnabled(false);
  FTimer->SetOnTimer(TNotifyEvent(this, &TqvBarCodeScan::TimeoutElapsed));
  FTimeout = 50;
  FTimer->SetInterval(50);
  BuildClassTable();
  Publish();
}

TqvBarCodeScan::~TqvBarCodeScan() {
  // Closed before the timer goes: without an application object the dispatch thread runs
  // HandleRxData, and it must have ended first.
  Close();
  FTimer.reset();
}

void TqvBarCodeScan::Publish() {
  PublishInt("CharBegin", [this] { return FCharBegin; }, [this](std::int64_t v) { SetCharBegin(BYTE(v)); });
  PublishInt("CharEnd", [this] { return FCharEnd; }, [this](std::int64_t v) { SetCharEnd(BYTE(v)); });
  PublishInt("Timeout", [this] { return FTimeout; }, [this](std::int64_t v) { SetTimeout(DWORD(v)); });
  PublishBool("Active", [this] { return Active(); }, [this](bool v) { SetActive(v); });
  PublishInt("Options", [this] { return FOptions.ToBits(); },
             [this](std::int64_t v) { SetOptions(TBarcodeOptions::FromBits(BYTE(v))); });
  PublishInt("BaudRate", [this] { return BaudRate(); }, [this](std::int64_t v) { SetBaudRate(DWORD(v)); });
  PublishInt("Parity", [this] { return Parity(); }, [this](std::int64_t v) { SetParity(TParity(v)); });
  PublishInt("StopBits", [this] { return StopBits(); }, [this](std::int64_t v) { SetStopBits(TStopBits(v)); });
  PublishInt("ByteSize", [this] { return ByteSize(); }, [this](std::int64_t v) { SetByteSize(BYTE(v)); });
  PublishInt("ComPortNo", [this] { return ComPortNo(); }, [this](std::int64_t v) { SetComPortNo(WORD(v)); });
  PublishInt("ComPort", [this] { return ComPort(); }, [this](std::int64_t v) { SetComPort(TComPort(v)); });
  PublishInt("StreamProtocol", [this] { return StreamProtocol(); },
             [this](std::int64_t v) { SetStreamProtocol(TStreamProtocol(v)); });
  PublishString("IgnoreChars", [this] { return FIgnoreChars; },
                [this](const std::string& v) { SetIgnoreChars(v); });
}

// ---- Properties ------------------------------------------------------------------------------

void TqvBarCodeScan::SetCharBegin(BYTE Value) {
  FCharBegin = Value;
  BuildClassTable();
}

void TqvBarCodeScan::SetCharEnd(BYTE Value) {
  FCharEnd = Value;
  BuildClassTable();
}

void TqvBarCodeScan::SetOptions(TBarcodeOptions Value) {
  FOptions = Value;
  BuildClassTable();
}

void TqvBarCodeScan::SetIgnoreChars(const std::string& Value) {
  FIgnoreChars = Value;
  BuildClassTable();
}

// The rules in the order they are tested; the first that matches decides. So a begin character
// wins over an equal end character, and both win over the character class and the ignore list.
void TqvBarCodeScan::BuildClassTable() {
  const bool useBegin = FOptions.Contains(boUseBeginChar);
  const bool useEnd = FOptions.Contains(boUseEndChar);
  const bool any = FOptions.Contains(boAnyChars);
  const bool autoDetect = FOptions.Contains(boAutoDetect);
  for (unsigned c = 0; c < 256; ++c) {
    TCharAction a;
    if (useBegin && c == FCharBegin)
      a = caBegin;
    else if (useEnd && c == FCharEnd)
      a = caDeliver;
    else if ((c >= '0' && c <= '9') || any)
      a = FIgnoreChars.find(char(c)) == std::string::npos ? caTake : caDrop;
    else
      a = autoDetect ? caNonDigitDeliver : caNonDigitDrop;
    FClass[c] = a;
  }
}

// ---- Port set-up -----------------------------------------------------------------------------

void TqvBarCodeScan::SetupPort() {
  TqvCustomSerialComm::SetupPort();
  if (FOptions.Contains(boInitConnection)) TestConnection();
}

void TqvBarCodeScan::Close() {
  ++FCloses;
  TqvCustomSerialComm::Close();
}

// ---- Assembly --------------------------------------------------------------------------------

void TqvBarCodeScan::HandleRxData(TObject*, const BYTE* Data, int Count) {
  FTimer->SetEnabled(false);
  const unsigned closes = FCloses;
  const BYTE* p = Data;
  const BYTE* const end = Data + (Count > 0 ? Count : 0);
  while (p < end) {
    // Runs of characters taken into the code go in with one append.
    const BYTE* const run = p;
    while (p < end && FClass[*p] == caTake) ++p;
    if (p != run) FPending.append(reinterpret_cast<const char*>(run), std::size_t(p - run));
    if (p == end) break;
    const BYTE c = *p++;
    switch (FClass[c]) {
      case caBegin:
        FPending.clear();
        break;
      case caNonDigitDrop:
        if (OnNonDigit) OnNonDigit(this, c);
        break;
      case caNonDigitDeliver:
        if (OnNonDigit) OnNonDigit(this, c);
        [[fallthrough]];
      case caDeliver:
        DoBarcode();
        // A handler that closed the port took the block with it.
        if (FCloses != closes) p = end;
        break;
      default:
        break;
    }
  }
  if (FOptions.Contains(boAutoDetect) && !FPending.empty()) {
    FTimer->SetInterval(FTimeout);
    FTimer->SetEnabled(true);
  }
}

void TqvBarCodeScan::TimeoutElapsed(TObject*) {
  FTimer->SetEnabled(false);
  DoBarcode();
}

void TqvBarCodeScan::DoBarcode() {
  if (FPending.empty()) return;
  FLastBarCode = FPending;
  if (Log()) LogFormat(dlDetail, "DoBarcode: %s", {FLastBarCode});
  FPending.clear();
  if (OnBarCode) OnBarCode(this, FLastBarCode);
}
