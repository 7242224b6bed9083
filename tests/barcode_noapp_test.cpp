// The identification read on a scanner without an application object: the dispatch thread then
// runs the receive path itself, next to the thread that reads the identification.
#include "barcode/qvbarcode.h"
#include "platform/rtl/application.h"
#include "platform/serial/nullmodem.h"
#include "platform/system/portmap.h"
#include "support/fake_sysfs.h"
#include "support/pnp_device.h"

#include <gtest/gtest.h>

using qv::platform::NullModemPair;

TEST(BarcodeWithoutApplication, ReadPnPIdOnAScanner) {
  ASSERT_EQ(Application, nullptr);
  qv::test::FakeSysfs tree;
  auto pair = qv::platform::CreateNullModemPair("barcode-noapp");
  ASSERT_TRUE(pair);
  DWORD error = 0;
  ASSERT_TRUE(qv::platform::AddUserMapping(42, pair->PortName(NullModemPair::kA), error)) << error;
  TqvBarCodeScan scan;
  scan.SetComPortNo(42);
  pair->SetLines(NullModemPair::kB, true, true);
  scan.SetActive(true);
  ASSERT_TRUE(scan.Active());
  const std::string id = "(\x01$ABC0001)";
  for (int round = 0; round < 5; ++round) {
    // Byte by byte: every byte is a port event the dispatch thread handles during the read.
    qv::test::PnPDevice device(*pair, id, 0, 2);
    EXPECT_EQ(scan.ReadPnPId(), id);
  }
  EXPECT_TRUE(scan.Active());
  EXPECT_EQ(scan.PendingCode(), "");
  scan.SetActive(false);
}
