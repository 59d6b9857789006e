// The kernel driver back end through a device node under umockdev's emulated /dev
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "Corvane-C.h"
#include "UsbModuleHarness.h"
#include "aStreamUSB.h"
#include "cvusb_driver.h"

namespace {

using testsupport::Bytes;
using testsupport::KernelNode;
using testsupport::UsbModule;
using testsupport::UsbTestbed;

struct StreamDeleter {
    void operator()(aStream* s) const { aStream_Destroy(&s); }
};
using Stream = std::unique_ptr<aStream, StreamDeleter>;

TEST(UsbKernelTest, TheNodeIsPreferredAndCarriesEveryByteValueBothWays) {
    UsbTestbed bed;
    ASSERT_EQ(bed.error(), "");
    // The same module is on USB too; with its node present libusb must not be used.
    UsbModule* usb = bed.attach({"40F5849A", cvusb_VENDOR_ID, 0x0013, 64, true});
    KernelNode* node = bed.attachKernelNode(0x40F5849A);
    ASSERT_NE(usb, nullptr) << bed.error();
    ASSERT_NE(node, nullptr) << bed.error();
    EXPECT_TRUE(cvusb_is_kernel_driver_installed(0x40F5849A));
    EXPECT_FALSE(cvusb_is_kernel_driver_installed(0x40F5849B));

    aStreamRef raw = nullptr;
    ASSERT_EQ(aStream_CreateUSB(0x40F5849A, &raw), aErrNone);
    Stream s(raw);

    Bytes all(256);
    for (size_t i = 0; i < all.size(); i++)
        all[i] = uint8_t(255 - i);
    ASSERT_EQ(aStream_Write(s.get(), all.data(), all.size()), aErrNone);
    ASSERT_TRUE(node->awaitWritten(all.size(), 5000));
    EXPECT_EQ(node->written(), all);

    // Nothing there: the wait runs out and a read answers at once.
    uint8_t b;
    EXPECT_EQ(aStream_WaitReadable(s.get(), 20), aErrTimeout);
    EXPECT_EQ(aStream_Read(s.get(), &b, 1), aErrNotReady);

    node->queue(all);
    Bytes got;
    for (int i = 0; i < 1000 && got.size() < all.size(); i++) {
        if (aStream_WaitReadable(s.get(), 1000) != aErrNone) break;
        while (aStream_Read(s.get(), &b, 1) == aErrNone)
            got.push_back(b);
    }
    EXPECT_EQ(got, all);
    EXPECT_EQ(usb->opens(), 0);
    s.reset();
    Corvane_libusb_exit();
}

TEST(UsbKernelTest, AKernelRecordOpensOnlyAnExistingNodeAndClosesIt) {
    UsbTestbed bed;
    ASSERT_EQ(bed.error(), "");
    ASSERT_NE(bed.attachKernelNode(0x0012ABCD), nullptr) << bed.error();
    cvusbRef d = cvusb_create_usb(cvusb_BACKEND_KERNEL);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(cvusb_open_corvane_device(d, "0BADCAFE"), aErrIO);
    EXPECT_EQ(cvusb_get_state(d), cvusb_STATE_CLOSED);
    ASSERT_EQ(cvusb_open_corvane_device(d, "0012ABCD"), aErrNone);
    EXPECT_EQ(cvusb_get_state(d), cvusb_STATE_READY);
    EXPECT_EQ(cvusb_close_corvane_device(d), aErrNone);
    uint8_t b = 0;
    EXPECT_EQ(cvusb_write_to_device(d, &b, 1), aErrIO);
    EXPECT_EQ(cvusb_get_from_device(d, &b), aErrIO);
    EXPECT_EQ(cvusb_destroy(&d), aErrNone);
    EXPECT_EQ(d, nullptr);
}

} // namespace
