// The entry points themselves, loaded as the dll backend loads them, for
// what scanimage never asks: a second handle, reads out of turn, the I/O
// mode calls outside a scan, and the device record frontends filter on.
// No window starts.
#include <gtest/gtest.h>
#include <sane/sane.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstring>
#include <string>

#include "platform/dynamic_library.h"
#include "platform/paths.h"
#include "tests/sane/sane_fixture.h"

namespace tavrin {
namespace {

using sanetest::Backend;

template <typename Function>
void Bind(void* module, const char* name, Function& function) {
  function = reinterpret_cast<Function>(platform::FindLibrarySymbol(module, name));
  ASSERT_NE(function, nullptr) << name;
  // The plain name is the same function.
  const std::string plain = "sane_" + std::string(name + std::strlen("sane_tavrin_"));
  EXPECT_EQ(platform::FindLibrarySymbol(module, plain.c_str()), reinterpret_cast<void*>(function))
      << plain;
}

class EntryPoints : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(config.isValid());
    QFile file(config.path() + "/tavrin.conf");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(TAVRIN_PROGRAM_FOLDER) + "\n");
    file.close();
    ASSERT_TRUE(platform::SetEnvironment("SANE_CONFIG_DIR", config.path().toStdString()));
    ASSERT_TRUE(platform::SetEnvironment("TAVRIN_LENS_V4L2", "0"));
    ASSERT_TRUE(platform::SetEnvironment("TAVRIN_LENS_VIRTUAL", "document"));
    module = platform::LoadLibraryFile(TAVRIN_SANE_BACKEND);
    ASSERT_NE(module, nullptr) << platform::LastLibraryError();
    Bind(module, "sane_tavrin_init", api.init);
    Bind(module, "sane_tavrin_exit", api.exit);
    Bind(module, "sane_tavrin_get_devices", api.getDevices);
    Bind(module, "sane_tavrin_open", api.open);
    Bind(module, "sane_tavrin_close", api.close);
    Bind(module, "sane_tavrin_get_option_descriptor", api.descriptor);
    Bind(module, "sane_tavrin_control_option", api.control);
    Bind(module, "sane_tavrin_get_parameters", api.parameters);
    Bind(module, "sane_tavrin_start", api.start);
    Bind(module, "sane_tavrin_read", api.read);
    Bind(module, "sane_tavrin_cancel", api.cancel);
    Bind(module, "sane_tavrin_set_io_mode", api.setIoMode);
    Bind(module, "sane_tavrin_get_select_fd", api.selectFd);
    SANE_Int version = 0;
    ASSERT_EQ(api.init(&version, nullptr), SANE_STATUS_GOOD);
    EXPECT_EQ(SANE_VERSION_MAJOR(version), 1);
  }
  void TearDown() override {
    if (api.exit != nullptr) api.exit();
  }

  QTemporaryDir config{QDir::tempPath() + "/tavrin-sane-entry-XXXXXX"};
  void* module = nullptr;
  Backend api;
};

TEST_F(EntryPoints, OneDocumentCameraOneHandleAndNothingToReadBeforeAStart) {
  const SANE_Device** devices = nullptr;
  ASSERT_EQ(api.getDevices(&devices, SANE_FALSE), SANE_STATUS_GOOD);
  ASSERT_NE(devices, nullptr);
  ASSERT_NE(devices[0], nullptr);
  EXPECT_EQ(devices[1], nullptr);
  EXPECT_STREQ(devices[0]->name, "Virtual Document Camera");
  EXPECT_STREQ(devices[0]->vendor, "TavrinDesk");
  EXPECT_STREQ(devices[0]->type, "document camera");

  SANE_Handle handle = nullptr;
  EXPECT_EQ(api.open("Some Other Camera", &handle), SANE_STATUS_INVAL);
  ASSERT_EQ(api.open("", &handle), SANE_STATUS_GOOD);
  SANE_Handle second = nullptr;
  EXPECT_EQ(api.open("Virtual Document Camera", &second), SANE_STATUS_DEVICE_BUSY);

  // The parameters before a scan follow the options: the whole field.
  SANE_Parameters parameters{};
  ASSERT_EQ(api.parameters(handle, &parameters), SANE_STATUS_GOOD);
  EXPECT_EQ(parameters.format, SANE_FRAME_RGB);
  EXPECT_EQ(parameters.depth, 8);
  EXPECT_EQ(parameters.pixels_per_line, 4961);  // 420 mm at 300 DPI
  EXPECT_EQ(parameters.bytes_per_line, 3 * 4961);
  char lineart[] = "Lineart";
  SANE_Int info = 0;
  ASSERT_EQ(api.control(handle, 2, SANE_ACTION_SET_VALUE, lineart, &info), SANE_STATUS_GOOD);
  EXPECT_TRUE(info & SANE_INFO_RELOAD_PARAMS);
  ASSERT_EQ(api.parameters(handle, &parameters), SANE_STATUS_GOOD);
  EXPECT_EQ(parameters.format, SANE_FRAME_GRAY);
  EXPECT_EQ(parameters.depth, 1);
  EXPECT_EQ(parameters.bytes_per_line, (4961 + 7) / 8);

  SANE_Byte buffer[16];
  SANE_Int length = 99;
  EXPECT_EQ(api.read(handle, buffer, sizeof(buffer), &length), SANE_STATUS_INVAL);
  EXPECT_EQ(length, 0);
  api.cancel(handle);
  EXPECT_EQ(api.read(handle, buffer, sizeof(buffer), &length), SANE_STATUS_CANCELLED);

  // Both belong to a scan, and none was started.
  EXPECT_EQ(api.setIoMode(handle, SANE_TRUE), SANE_STATUS_INVAL);
  EXPECT_EQ(api.setIoMode(handle, SANE_FALSE), SANE_STATUS_INVAL);
  SANE_Int fd = -1;
  EXPECT_EQ(api.selectFd(handle, &fd), SANE_STATUS_INVAL);

  api.close(handle);
  // Closed, the device can be opened again.
  ASSERT_EQ(api.open("Virtual Document Camera", &second), SANE_STATUS_GOOD);
  api.close(second);
}

}  // namespace
}  // namespace tavrin
