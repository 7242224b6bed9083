// The records and constants of the communications API (winserial.h). Records keep the Windows
// layouts (the program stores them byte for byte).
#pragma once

#include "platform/win32/wintypes.h"

// ---- Records -------------------------------------------------------------------------------

// DCB flag-word bits (the Windows bit positions).
constexpr DWORD DCB_fBinary = 1u << 0;
constexpr DWORD DCB_fParity = 1u << 1;
constexpr DWORD DCB_fOutxCtsFlow = 1u << 2;
constexpr DWORD DCB_fOutxDsrFlow = 1u << 3;
constexpr DWORD DCB_fDtrControlShift = 4;  // two bits
constexpr DWORD DCB_fDtrControlMask = 3u << 4;
constexpr DWORD DCB_fDsrSensitivity = 1u << 6;
constexpr DWORD DCB_fTXContinueOnXoff = 1u << 7;
constexpr DWORD DCB_fOutX = 1u << 8;
constexpr DWORD DCB_fInX = 1u << 9;
constexpr DWORD DCB_fErrorChar = 1u << 10;
constexpr DWORD DCB_fNull = 1u << 11;
constexpr DWORD DCB_fRtsControlShift = 12;  // two bits
constexpr DWORD DCB_fRtsControlMask = 3u << 12;
constexpr DWORD DCB_fAbortOnError = 1u << 14;

struct DCB {
  DWORD DCBlength;
  DWORD BaudRate;
  DWORD Flags;  // the fBinary .. fAbortOnError bit field, see DCB_f* above
  WORD wReserved;
  WORD XonLim;
  WORD XoffLim;
  BYTE ByteSize;
  BYTE Parity;
  BYTE StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  WORD wReserved1;
};
static_assert(sizeof(DCB) == 28);

struct COMMTIMEOUTS {
  DWORD ReadIntervalTimeout;
  DWORD ReadTotalTimeoutMultiplier;
  DWORD ReadTotalTimeoutConstant;
  DWORD WriteTotalTimeoutMultiplier;
  DWORD WriteTotalTimeoutConstant;
};
static_assert(sizeof(COMMTIMEOUTS) == 20);

struct COMMCONFIG {
  DWORD dwSize;
  WORD wVersion;
  WORD wReserved;
  DCB dcb;
  DWORD dwProviderSubType;
  DWORD dwProviderOffset;
  DWORD dwProviderSize;
  WORD wcProviderData[1];
};
static_assert(sizeof(COMMCONFIG) == 52);

// COMSTAT: Flags holds fCtsHold (bit 0) .. fTxim (bit 6).
struct COMSTAT {
  DWORD Flags;
  DWORD cbInQue;
  DWORD cbOutQue;
};
static_assert(sizeof(COMSTAT) == 12);

struct COMMPROP {
  WORD wPacketLength;
  WORD wPacketVersion;
  DWORD dwServiceMask;
  DWORD dwReserved1;
  DWORD dwMaxTxQueue;
  DWORD dwMaxRxQueue;
  DWORD dwMaxBaud;
  DWORD dwProvSubType;
  DWORD dwProvCapabilities;
  DWORD dwSettableParams;
  DWORD dwSettableBaud;
  WORD wSettableData;
  WORD wSettableStopParity;
  DWORD dwCurrentTxQueue;
  DWORD dwCurrentRxQueue;
  DWORD dwProvSpec1;
  DWORD dwProvSpec2;
  WORD wcProvChar[1];
};
static_assert(sizeof(COMMPROP) == 64);

// ---- Constants -----------------------------------------------------------------------------

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000u;

// Port events (SetCommMask / WaitCommEvent).
constexpr DWORD EV_RXCHAR = 0x0001;
constexpr DWORD EV_RXFLAG = 0x0002;
constexpr DWORD EV_TXEMPTY = 0x0004;
constexpr DWORD EV_CTS = 0x0008;
constexpr DWORD EV_DSR = 0x0010;
constexpr DWORD EV_RLSD = 0x0020;
constexpr DWORD EV_BREAK = 0x0040;
constexpr DWORD EV_ERR = 0x0080;
constexpr DWORD EV_RING = 0x0100;
constexpr DWORD EV_PERR = 0x0200;
constexpr DWORD EV_RX80FULL = 0x0400;
constexpr DWORD EV_EVENT1 = 0x0800;
constexpr DWORD EV_EVENT2 = 0x1000;

// Line errors (ClearCommError).
constexpr DWORD CE_RXOVER = 0x0001;
constexpr DWORD CE_OVERRUN = 0x0002;
constexpr DWORD CE_RXPARITY = 0x0004;
constexpr DWORD CE_FRAME = 0x0008;
constexpr DWORD CE_BREAK = 0x0010;
constexpr DWORD CE_TXFULL = 0x0100;
constexpr DWORD CE_PTO = 0x0200;
constexpr DWORD CE_IOE = 0x0400;
constexpr DWORD CE_DNS = 0x0800;
constexpr DWORD CE_OOP = 0x1000;
constexpr DWORD CE_MODE = 0x8000;

constexpr DWORD PURGE_TXABORT = 0x0001;
constexpr DWORD PURGE_RXABORT = 0x0002;
constexpr DWORD PURGE_TXCLEAR = 0x0004;
constexpr DWORD PURGE_RXCLEAR = 0x0008;

// EscapeCommFunction.
constexpr DWORD SETXOFF = 1;
constexpr DWORD SETXON = 2;
constexpr DWORD SETRTS = 3;
constexpr DWORD CLRRTS = 4;
constexpr DWORD SETDTR = 5;
constexpr DWORD CLRDTR = 6;
constexpr DWORD RESETDEV = 7;
constexpr DWORD SETBREAK = 8;
constexpr DWORD CLRBREAK = 9;

// GetCommModemStatus.
constexpr DWORD MS_CTS_ON = 0x0010;
constexpr DWORD MS_DSR_ON = 0x0020;
constexpr DWORD MS_RING_ON = 0x0040;
constexpr DWORD MS_RLSD_ON = 0x0080;

constexpr BYTE NOPARITY = 0;
constexpr BYTE ODDPARITY = 1;
constexpr BYTE EVENPARITY = 2;
constexpr BYTE MARKPARITY = 3;
constexpr BYTE SPACEPARITY = 4;
constexpr BYTE ONESTOPBIT = 0;
constexpr BYTE ONE5STOPBITS = 1;
constexpr BYTE TWOSTOPBITS = 2;

constexpr DWORD DTR_CONTROL_DISABLE = 0;
constexpr DWORD DTR_CONTROL_ENABLE = 1;
constexpr DWORD DTR_CONTROL_HANDSHAKE = 2;
constexpr DWORD RTS_CONTROL_DISABLE = 0;
constexpr DWORD RTS_CONTROL_ENABLE = 1;
constexpr DWORD RTS_CONTROL_HANDSHAKE = 2;
constexpr DWORD RTS_CONTROL_TOGGLE = 3;

constexpr DWORD CBR_110 = 110;
constexpr DWORD CBR_300 = 300;
constexpr DWORD CBR_600 = 600;
constexpr DWORD CBR_1200 = 1200;
constexpr DWORD CBR_2400 = 2400;
constexpr DWORD CBR_4800 = 4800;
constexpr DWORD CBR_9600 = 9600;
constexpr DWORD CBR_14400 = 14400;
constexpr DWORD CBR_19200 = 19200;
constexpr DWORD CBR_38400 = 38400;
constexpr DWORD CBR_56000 = 56000;
constexpr DWORD CBR_57600 = 57600;
constexpr DWORD CBR_115200 = 115200;
constexpr DWORD CBR_128000 = 128000;
constexpr DWORD CBR_256000 = 256000;

// GetCommProperties.
constexpr DWORD SP_SERIALCOMM = 0x00000001;
constexpr DWORD PST_RS232 = 0x00000001;
constexpr DWORD PCF_DTRDSR = 0x0001;
constexpr DWORD PCF_RTSCTS = 0x0002;
constexpr DWORD PCF_RLSD = 0x0004;
constexpr DWORD PCF_PARITY_CHECK = 0x0008;
constexpr DWORD PCF_XONXOFF = 0x0010;
constexpr DWORD PCF_SETXCHAR = 0x0020;
constexpr DWORD PCF_TOTALTIMEOUTS = 0x0040;
constexpr DWORD PCF_INTTIMEOUTS = 0x0080;
constexpr DWORD PCF_SPECIALCHARS = 0x0100;
constexpr DWORD SP_PARITY = 0x0001;
constexpr DWORD SP_BAUD = 0x0002;
constexpr DWORD SP_DATABITS = 0x0004;
constexpr DWORD SP_STOPBITS = 0x0008;
constexpr DWORD SP_HANDSHAKING = 0x0010;
constexpr DWORD SP_PARITY_CHECK = 0x0020;
constexpr DWORD SP_RLSD = 0x0040;
constexpr DWORD BAUD_075 = 0x00000001;
constexpr DWORD BAUD_110 = 0x00000002;
constexpr DWORD BAUD_134_5 = 0x00000004;
constexpr DWORD BAUD_150 = 0x00000008;
constexpr DWORD BAUD_300 = 0x00000010;
constexpr DWORD BAUD_600 = 0x00000020;
constexpr DWORD BAUD_1200 = 0x00000040;
constexpr DWORD BAUD_1800 = 0x00000080;
constexpr DWORD BAUD_2400 = 0x00000100;
constexpr DWORD BAUD_4800 = 0x00000200;
constexpr DWORD BAUD_7200 = 0x00000400;
constexpr DWORD BAUD_9600 = 0x00000800;
constexpr DWORD BAUD_14400 = 0x00001000;
constexpr DWORD BAUD_19200 = 0x00002000;
constexpr DWORD BAUD_38400 = 0x00004000;
constexpr DWORD BAUD_56K = 0x00008000;
constexpr DWORD BAUD_128K = 0x00010000;
constexpr DWORD BAUD_115200 = 0x00020000;
constexpr DWORD BAUD_57600 = 0x00040000;
constexpr DWORD BAUD_USER = 0x10000000;
constexpr WORD DATABITS_5 = 0x0001;
constexpr WORD DATABITS_6 = 0x0002;
constexpr WORD DATABITS_7 = 0x0004;
constexpr WORD DATABITS_8 = 0x0008;
constexpr WORD STOPBITS_10 = 0x0001;
constexpr WORD STOPBITS_15 = 0x0002;
constexpr WORD STOPBITS_20 = 0x0004;
constexpr WORD PARITY_NONE = 0x0100;
constexpr WORD PARITY_ODD = 0x0200;
constexpr WORD PARITY_EVEN = 0x0400;
constexpr WORD PARITY_MARK = 0x0800;
constexpr WORD PARITY_SPACE = 0x1000;

// COMSTAT flag bits.
constexpr DWORD COMSTAT_fCtsHold = 1u << 0;
constexpr DWORD COMSTAT_fDsrHold = 1u << 1;
constexpr DWORD COMSTAT_fRlsdHold = 1u << 2;
constexpr DWORD COMSTAT_fXoffHold = 1u << 3;
constexpr DWORD COMSTAT_fXoffSent = 1u << 4;
constexpr DWORD COMSTAT_fEof = 1u << 5;
constexpr DWORD COMSTAT_fTxim = 1u << 6;
