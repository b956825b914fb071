/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* What every caller can rely on without a card: the error domain and code,
 * and clean refusals of missing handles and out-parameters. */
#include <string>

#include <gtest/gtest.h>

#include <xvek/xvek.h>

namespace
{

void expect_xvek_error(GError *error, const std::string &message)
{
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain, static_cast<GQuark>(1));
    EXPECT_EQ(error->code, 0);
    EXPECT_EQ(error->message, message);
}

TEST(XvekErrorDomain, OpenWithoutOutParameterFailsWithNullPointer)
{
    GError *error = nullptr;
    EXPECT_FALSE(xvek_device_new_with_mode(0, XVEK_OPEN_MODE_CTL_ONLY, nullptr, &error));
    expect_xvek_error(error, "Null pointer");
    g_clear_error(&error);
    EXPECT_FALSE(xvek_device_new(0, nullptr, &error));
    expect_xvek_error(error, "Null pointer");
    g_clear_error(&error);
}

TEST(XvekErrorDomain, ControlOnAMissingDeviceNamesTheOperation)
{
    GError *error = nullptr;
    EXPECT_FALSE(xvek_ctrl_ping(nullptr, &error));
    expect_xvek_error(error, "xvek_ctrl_ping: invalid handle");
    g_clear_error(&error);

    guint32 freq = 0;
    EXPECT_FALSE(xvek_ctrl_cf_get(nullptr, &freq, XVEK_CTL_MODE_RX, &error));
    expect_xvek_error(error, "xvek_ctrl_cf_get: invalid handle");
    g_clear_error(&error);

    guint32 *codes = nullptr;
    guint32 len = 0;
    EXPECT_FALSE(xvek_ctrl_error_get_all(nullptr, &codes, &len, &error));
    expect_xvek_error(error, "xvek_ctrl_error_get_all: invalid handle");
    g_clear_error(&error);

    /* Calls that name no error location must not crash either. */
    EXPECT_FALSE(
        xvek_ctrl_pa_set(nullptr, XVEK_CTL_PREAMP_ID_VAL0, XVEK_CTL_PREAMP_MODE_LNA, nullptr));
}

TEST(XvekErrorDomain, ControlOnADeviceThatWasNeverOpenedIsRefused)
{
    VekDevice *device = static_cast<VekDevice *>(g_object_new(XVEK_TYPE_DEVICE, nullptr));
    GError *error = nullptr;
    gchar *info = nullptr;
    EXPECT_FALSE(xvek_ctrl_hwinfo(device, &info, &error));
    expect_xvek_error(error, "xvek_ctrl_hwinfo: invalid handle");
    EXPECT_EQ(info, nullptr);
    g_clear_error(&error);
    g_object_unref(device);
}

TEST(XvekErrorDomain, ScanWithoutOutParameterTouchesNoContext)
{
    GError *error = nullptr;
    EXPECT_FALSE(xvek_scan_get_device_nb(nullptr, &error));
    expect_xvek_error(error, "Internal error null ptr");
    g_clear_error(&error);
    EXPECT_FALSE(xvek_scan_print_info_all(nullptr, &error));
    expect_xvek_error(error, "Internal error null ptr");
    g_clear_error(&error);
    EXPECT_FALSE(xvek_scan_get_first_device_id(nullptr, &error));
    expect_xvek_error(error, "Internal error null ptr");
    g_clear_error(&error);
    EXPECT_FALSE(xvek_scan_print_info_device(0, nullptr, &error));
    expect_xvek_error(error, "Internal error null ptr");
    g_clear_error(&error);
}

TEST(XvekDeviceObject, IdPropertyDefaultsTo99AndReadsBackWhatWasSet)
{
    VekDevice *device = static_cast<VekDevice *>(g_object_new(XVEK_TYPE_DEVICE, nullptr));
    guint id = 0;
    g_object_get(device, "id", &id, nullptr);
    EXPECT_EQ(id, 99u);
    g_object_set(device, "id", 4000000000u, nullptr);
    g_object_get(device, "id", &id, nullptr);
    EXPECT_EQ(id, 4000000000u);
    g_object_unref(device);

    EXPECT_STREQ(g_type_name(XVEK_TYPE_DEVICE), "VekDevice");
    GParamSpec *pspec =
        g_object_class_find_property(G_OBJECT_CLASS(g_type_class_peek(XVEK_TYPE_DEVICE)), "id");
    ASSERT_NE(pspec, nullptr);
    EXPECT_STREQ(g_param_spec_get_blurb(pspec), "Device Id");
}

TEST(XvekDisconnection, RegistrationWithoutDeviceOrCallbackFails)
{
    testing::internal::CaptureStdout();
    EXPECT_FALSE(xvek_set_disconnection_callback(nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Vek entity: Null pointer\n");

    /* Nothing registered yet: calling reports it. */
    testing::internal::CaptureStderr();
    EXPECT_FALSE(xvek_callDisconnectionCb());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Vek Cb: Null pointer\n");
}

VekDevice *gCalledWith = nullptr;
int gCalls = 0;

gboolean on_disconnect(VekDevice *device, GError **error)
{
    EXPECT_EQ(error, nullptr);
    gCalledWith = device;
    gCalls++;
    return FALSE; /* ignored */
}

TEST(XvekDisconnection, MissingCallbackKeepsTheOldOneButUpdatesTheDevice)
{
    VekDevice *first = static_cast<VekDevice *>(g_object_new(XVEK_TYPE_DEVICE, nullptr));
    VekDevice *second = static_cast<VekDevice *>(g_object_new(XVEK_TYPE_DEVICE, nullptr));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    /* The result also tells whether libusb offers hotplug; either way the
     * callback is registered. */
    xvek_set_disconnection_callback(first, on_disconnect, nullptr, nullptr, nullptr);
    EXPECT_FALSE(xvek_set_disconnection_callback(second, nullptr, nullptr, nullptr, nullptr));
    std::string err = testing::internal::GetCapturedStderr();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Vek: Disconnection callback is set\n"), std::string::npos);
    EXPECT_NE(err.find("Vek error: No Callback has been set\n"), std::string::npos);

    EXPECT_TRUE(xvek_callDisconnectionCb());
    EXPECT_EQ(gCalls, 1);
    EXPECT_EQ(gCalledWith, second);
    g_object_unref(first);
    g_object_unref(second);
}

} // namespace
