// Discovery over a temporary folder of links named like real ports, each
// leading to a pseudo-terminal whose master side plays a device.
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "Vantor/HardwareAPI/Discovery.h"
#include "support/MemoryStream.h"
#include "support/PtyDevice.h"
#include "support/Responder.h"

namespace fs = std::filesystem;
using namespace Vantor::HardwareAPI;
using vantor_test::Bytes;
using vantor_test::PtyDevice;
using vantor_test::Responder;

namespace {

std::string TalonInfoReply(int model) {
    std::string r = Bytes({11, 0x02, 0x01, model, 1, 8});
    r += std::string(16, '\x5A');
    return r;
}

const std::string kHandleInfo = Bytes({0xD0, 9, 2, 1, 2, 3, 4});
const std::string kStatusMessage = Bytes({0xDA, 1, 0, 0, 5}) + std::string(16, '\0') + Bytes({0});
const std::string kErrorResponse = Bytes({0xDF, 5, 0, 3});

class Discovery : public testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("vantor-discovery-" + std::to_string(getpid()) + "-" +
                testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    void Link(const std::string& name, const std::string& target) { fs::create_symlink(target, dir_ / name); }

    fs::path dir_;
};

}  // namespace

TEST_F(Discovery, ListsMatchingNamesByKindUnderTheirTargets) {
    PtyDevice a, b, c;
    Link("ttyACM0", a.path());
    Link("my-ttyUSB3", b.path());  // a substring, not a prefix
    Link("rfcomm1", c.path());
    Link("ttyS0", a.path());
    Link("ttyACM-USB", b.path());  // ttyACM wins: it is tested first

    const auto ports = list_serial_ports(dir_);
    std::vector<std::string> expected_order;
    for (const auto& entry : fs::directory_iterator(dir_)) {
        const std::string name = entry.path().filename().string();
        if (name != "ttyS0") expected_order.push_back(name);
    }
    ASSERT_EQ(ports.size(), 4u);
    for (std::size_t i = 0; i < ports.size(); ++i) {
        const std::string& name = expected_order[i];
        EXPECT_EQ(ports[i].path, fs::canonical(dir_ / name).string());
        const PortKind kind = name.rfind("ttyACM", 0) == 0 ? PortKind::ACM
                              : name == "my-ttyUSB3"       ? PortKind::USB
                                                           : PortKind::RFCOMM;
        EXPECT_EQ(ports[i].kind, kind) << name;
    }
    EXPECT_EQ(list_serial_ports(dir_).size(), 4u);
}

TEST_F(Discovery, MissingFolderListsNothingAndDanglingLinkThrows) {
    EXPECT_TRUE(list_serial_ports(dir_ / "absent").empty());
    EXPECT_TRUE(detect_talons(dir_ / "absent").empty());
    Link("ttyUSB9", (dir_ / "gone").string());
    EXPECT_THROW(list_serial_ports(dir_), fs::filesystem_error);
}

TEST_F(Discovery, TalonIsFoundByItsModelNumber) {
    Responder talon(TalonInfoReply(4));
    Responder other(TalonInfoReply(5));
    Link("ttyACM0", talon.path());
    Link("ttyACM1", other.path());
    const auto found = detect_talons(dir_);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0], fs::canonical(talon.path()).string());
    EXPECT_EQ(talon.wakeups(), 1);
    EXPECT_EQ(other.wakeups(), 1);
}

TEST_F(Discovery, LateTalonAnswerIsDiscarded) {
    Responder late(TalonInfoReply(4), 3500);
    Link("ttyACM0", late.path());
    EXPECT_TRUE(detect_talons(dir_).empty());
    EXPECT_EQ(late.wakeups(), 1);
}

TEST_F(Discovery, HandleIsFoundByInfoOrStatusButNotByAnError) {
    Responder info(kHandleInfo), status(kStatusMessage), error(kErrorResponse);
    Link("ttyUSB0", info.path());
    Link("ttyUSB1", status.path());
    Link("ttyUSB2", error.path());
    const auto found = detect_wired_handles(dir_);
    std::vector<std::string> expected;
    for (const auto& port : list_serial_ports(dir_)) {
        if (port.path != fs::canonical(error.path()).string()) expected.push_back(port.path);
    }
    EXPECT_EQ(found, expected);
    EXPECT_EQ(error.wakeups(), 1);
}

TEST_F(Discovery, EachKindIsProbedByItsFunctions) {
    Responder acm(kHandleInfo), usb(kHandleInfo), rfcomm(kHandleInfo);
    Link("ttyACM0", acm.path());
    Link("ttyUSB0", usb.path());
    Link("rfcomm0", rfcomm.path());
    const std::string acm_path = fs::canonical(acm.path()).string();
    const std::string usb_path = fs::canonical(usb.path()).string();
    const std::string rfcomm_path = fs::canonical(rfcomm.path()).string();

    EXPECT_EQ(detect_wired_handles(dir_), std::vector<std::string>{usb_path});
    EXPECT_EQ(detect_wireless_handles(dir_), std::vector<std::string>{rfcomm_path});
    EXPECT_EQ(acm.wakeups(), 0);
    const auto all = detect_handles(dir_);
    EXPECT_EQ(all.size(), 3u);
    EXPECT_EQ(acm.wakeups(), 1);
    EXPECT_EQ(usb.wakeups(), 2);
    EXPECT_EQ(rfcomm.wakeups(), 2);
}

TEST_F(Discovery, UnopenablePortIsNotFound) {
    EXPECT_EQ(probe_talon((dir_ / "ttyACM5").c_str()), 0);
    EXPECT_EQ(probe_handle((dir_ / "ttyUSB5").c_str()), 0);
    EXPECT_FALSE(check_handle_port((dir_ / "ttyUSB5").c_str()));
}
