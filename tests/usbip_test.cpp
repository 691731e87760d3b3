// Library frame: lifecycle and per-thread error messages.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "halvoren_usbip.h"
#include "usbip_frame.h"

TEST(Lifecycle, CleanupBeforeInitChangesNothing)
{
    usbip_set_last_error(USBIP_ERROR_INTERNAL, "kept");
    usbip_cleanup();
    EXPECT_STREQ(usbip_last_error(), "kept");
    EXPECT_EQ(usbip_init(), 0);
    usbip_cleanup();
}

TEST(Lifecycle, InitClearsMessageAndSecondInitKeepsIt)
{
    usbip_set_last_error(USBIP_ERROR_INTERNAL, "before init");
    ASSERT_EQ(usbip_init(), 0);
    EXPECT_STREQ(usbip_last_error(), "");

    usbip_set_last_error(USBIP_ERROR_INTERNAL, "after init");
    EXPECT_EQ(usbip_init(), 0);
    EXPECT_STREQ(usbip_last_error(), "after init");
    usbip_cleanup();
}

TEST(Lifecycle, InitCleanupInitLeavesLibraryUsable)
{
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(usbip_init(), 0) << usbip_last_error();
        const char *list = usbip_list_local_devices();
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(list[0], '[');
        EXPECT_GE(usbip_local_device_count(), 0);
        usbip_cleanup();
    }
}

TEST(Lifecycle, ProtocolVersionWithAndWithoutInit)
{
    EXPECT_EQ(usbip_protocol_version(), 273);
    ASSERT_EQ(usbip_init(), 0);
    EXPECT_EQ(usbip_protocol_version(), 0x0111);
    usbip_cleanup();
    EXPECT_EQ(usbip_protocol_version(), 273);
}

TEST(Lifecycle, LocalDeviceExportsOutsideInitAreEmpty)
{
    EXPECT_STREQ(usbip_list_local_devices(), "[]");
    EXPECT_EQ(usbip_local_device_count(), 0);
    EXPECT_EQ(usbip_local_device_info(0), nullptr);
}

TEST(LastError, FreshThreadHasEmptyTextNotNull)
{
    const char *seen = nullptr;
    std::string text = "unset";
    std::thread([&] {
        seen = usbip_last_error();
        text = seen;
    }).join();
    EXPECT_NE(seen, nullptr);
    EXPECT_EQ(text, "");
}

TEST(LastError, MessagesArePerThread)
{
    usbip_set_last_error(USBIP_ERROR_INTERNAL, "main thread %d", 1);
    std::string other_before, other_after;
    std::thread([&] {
        other_before = usbip_last_error();
        usbip_set_last_error(USBIP_ERROR_INTERNAL, "worker thread");
        other_after = usbip_last_error();
    }).join();
    EXPECT_EQ(other_before, "");
    EXPECT_EQ(other_after, "worker thread");
    EXPECT_STREQ(usbip_last_error(), "main thread 1");
}

TEST(LastError, LongMessageIsCutTo1023Characters)
{
    std::string long_text(2000, 'x');
    long_text[1022] = 'y';
    long_text[1023] = 'z';
    int n = usbip_set_last_error(USBIP_ERROR_INTERNAL, "%s", long_text.c_str());
    EXPECT_EQ(n, 2000);
    std::string stored = usbip_last_error();
    EXPECT_EQ(stored.size(), 1023u);
    EXPECT_EQ(stored.back(), 'y');
}
