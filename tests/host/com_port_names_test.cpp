// The names zolhost run's Windows DLL takes for its ports, and the map zolhost
// hands it: what is a port of the map, and what stays the system's.
#include "host/run/com_shim/port_names.h"

#include <gtest/gtest.h>

namespace zolhost::comshim {
namespace {

TEST(ComPortNames, TheDeviceNamesOfAPortAndNothingElse) {
    for (const char* name : {"COM7", "com7", "Com7:", "\\\\.\\COM7", "\\\\?\\com7", "//./COM7"}) {
        EXPECT_EQ(PortOfFileName(name), "COM7") << name;
    }
    EXPECT_EQ(PortOfFileName("\\\\.\\COM12"), "COM12");
    for (const char* name : {"COM", "COM07", "COM7x", "COM7.txt", "COM7::", "C:\\COM7", "data\\COM7", "\\\\.\\COM7:",
                             "\\\\server\\COM7", "COM1234", "LPT1", ""}) {
        EXPECT_EQ(PortOfFileName(name), "") << name;
    }
}

TEST(ComPortNames, TheMapTakesWellFormedEntriesOnly) {
    const auto ports = ParsePortMap("com2=127.0.0.1:40001;COM5=127.0.0.1:40002;COM6=127.0.0.1:0;COM8=127.0.0.1:70000;"
                                    "COM9=:4000;X=127.0.0.1:1;COM3=127.0.0.1:4x;;");
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports.at("COM2").host, "127.0.0.1");
    EXPECT_EQ(ports.at("COM2").port, 40001);
    EXPECT_EQ(ports.at("COM5").port, 40002);
}

}  // namespace
}  // namespace zolhost::comshim
