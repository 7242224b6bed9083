#include "barcode/qvbarcode.h"

#include "platform/rtl/application.h"

#include <algorithm>
#include <exception>

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
  // HandleRxData, and it must have ended first. No code is delivered to a handler that may be
  // going too.
  TqvCustomSerialComm::Close();
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
  PublishBool("WholeLines", [this] { return FWholeLines; }, [this](bool v) { SetWholeLines(v); });
  PublishInt("LineIdle", [this] { return FLineIdle; }, [this](std::int64_t v) { SetLineIdle(DWORD(v)); });
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

void TqvBarCodeScan::SetWholeLines(bool Value) {
  FWholeLines = Value;
  BuildClassTable();
}

// The rules in the order they are tested; the first that matches decides. So a begin character
// wins over an equal end character, and both win over the character class and the ignore list.
void TqvBarCodeScan::BuildClassTable() {
  const bool useBegin = FOptions.Contains(boUseBeginChar);
  const bool useEnd = FOptions.Contains(boUseEndChar);
  const bool any = FOptions.Contains(boAnyChars);
  const bool autoDetect = FOptions.Contains(boAutoDetect);
  // Whole lines end at CR and LF, unless the end character is another one. A CR LF pair ends
  // one code: the LF finds nothing pending, as an empty line does.
  const bool lineEnds = FWholeLines && !(useEnd && FCharEnd != '\r' && FCharEnd != '\n');
  for (unsigned c = 0; c < 256; ++c) {
    TCharAction a;
    if (useBegin && c == FCharBegin)
      a = caBegin;
    else if (lineEnds ? c == '\r' || c == '\n' : useEnd && c == FCharEnd)
      a = caDeliver;
    else if (FWholeLines)
      a = FIgnoreChars.find(char(c)) == std::string::npos ? caTake : caDrop;
    else if ((c >= '0' && c <= '9') || any)
      a = FIgnoreChars.find(char(c)) == std::string::npos ? caTake : caDrop;
    else
      a = autoDetect ? caNonDigitDeliver : caNonDigitDrop;
    FClass[c] = a;
  }
}

// ---- Port set-up -----------------------------------------------------------------------------

void TqvBarCodeScan::SetupPort() {
  // The code under way stays: a port closed and opened again on purpose (Active, another port,
  // new settings) goes on with it. One whose device went away was settled then.
  TqvCustomSerialComm::SetupPort();
  if (FOptions.Contains(boInitConnection)) TestConnection();
}

void TqvBarCodeScan::Close() {
  const bool mainLoop = Application && GetCurrentThreadId() == MainThreadID();
  if (mainLoop) DeliverTimedCode();
  TqvCustomSerialComm::Close();
  // Without an application the receive path ran on the dispatch thread, which has ended now.
  if (!Application) DeliverTimedCode();
}

// When a stop came first, the main thread's Close delivers a timed code.
void TqvBarCodeScan::PortVanishing() {
  FTimer->SetEnabled(false);
  if (!FPending.empty()) DeliverUnended("was cut short: the port went away");
}

void TqvBarCodeScan::DeliverTimedCode() {
  if (FTimer->Enabled() && FTimer->Interval() != 0) TimeoutElapsed(this);
}

void TqvBarCodeScan::DeliverUnended(const char* Why) {
  if (FPending.empty()) return;
  // As in DoBarcode: a log that cannot be written does not cost the code.
  std::exception_ptr logFailure;
  try {
    if (Log()) LogFormat(dlDetail, "The code %s %s", {FPending, std::string(Why)});
  } catch (...) {
    logFailure = std::current_exception();
  }
  DoBarcode();
  if (logFailure) std::rethrow_exception(logFailure);
}

// ---- Assembly --------------------------------------------------------------------------------

void TqvBarCodeScan::HandleRxData(TObject*, const BYTE* Data, int Count) {
  FTimer->SetEnabled(false);
  const BYTE* p = Data;
  const BYTE* const end = Data + (Count > 0 ? Count : 0);
  while (p < end) {
    // Runs of characters taken into the code go in with one append, up to the longest code.
    const BYTE* const run = p;
    const BYTE* const full = p + std::min(std::size_t(end - p), kMaxBarCode - FPending.size());
    while (p < full && FClass[*p] == caTake) ++p;
    if (p != run) FPending.append(reinterpret_cast<const char*>(run), std::size_t(p - run));
    if (FPending.size() >= kMaxBarCode) {
      DoBarcode();
      continue;
    }
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
        // The block stays valid if the handler closes or reopens the port (the receive path
        // holds it): the scan goes on.
        DoBarcode();
        break;
      default:
        break;
    }
  }
  if (FPending.empty()) return;
  if (FWholeLines) {
    FTimer->SetInterval(FLineIdle);
    FTimer->SetEnabled(true);
  } else if (FOptions.Contains(boAutoDetect)) {
    FTimer->SetInterval(FTimeout);
    FTimer->SetEnabled(true);
  }
}

void TqvBarCodeScan::TimeoutElapsed(TObject*) {
  FTimer->SetEnabled(false);
  // The timer would swallow a failing OnBarCode: reported as the receive path reports it.
  try {
    if (FWholeLines)
      DeliverUnended("came without its line end");
    else
      DoBarcode();
  } catch (...) {
    HandlerFailed();
  }
}

void TqvBarCodeScan::DoBarcode() {
  if (FPending.empty()) return;
  FLastBarCode = FPending;
  // A log that cannot be written must not cost the code: its failure goes on after delivery.
  std::exception_ptr logFailure;
  try {
    if (Log()) LogFormat(dlDetail, "DoBarcode: %s", {FLastBarCode});
  } catch (...) {
    logFailure = std::current_exception();
  }
  FPending.clear();
  if (OnBarCode) OnBarCode(this, FLastBarCode);
  if (logFailure) std::rethrow_exception(logFailure);
}
