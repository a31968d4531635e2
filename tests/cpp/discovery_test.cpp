// Discovery over a temporary folder of links named like real ports, each
// leading to a pseudo-terminal whose master side plays a device.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "Vantor/HardwareAPI/Discovery.h"
#include "Vantor/HardwareAPI/IO/SerialStream.h"
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

// --- the listing and probes the tools use ------------------------------------

TEST_F(Discovery, EntryListingKeepsLinksThatLeadNowhere) {
    PtyDevice a;
    Link("ttyACM0", a.path());
    Link("ttyUSB9", (dir_ / "gone").string());
    Link("rfcomm-loop", (dir_ / "rfcomm-loop").string());  // a link to itself
    std::ofstream(dir_ / "my-ttyUSB1").put('x');

    const auto entries = list_port_entries(dir_);
    ASSERT_EQ(entries.size(), 4u);
    std::size_t resolved = 0;
    for (const PortEntry& entry : entries) {
        EXPECT_EQ(fs::path(entry.path).parent_path(), dir_);
        const std::string name = fs::path(entry.path).filename().string();
        if (name == "ttyUSB9" || name == "rfcomm-loop") {
            EXPECT_FALSE(entry.canonical) << name;
            EXPECT_EQ(entry.kind, name == "ttyUSB9" ? PortKind::USB : PortKind::RFCOMM);
        } else {
            ASSERT_TRUE(entry.canonical) << name;
            EXPECT_EQ(*entry.canonical, fs::canonical(entry.path).string());
            ++resolved;
        }
    }
    EXPECT_EQ(resolved, 2u);
    EXPECT_THROW(list_serial_ports(dir_), fs::filesystem_error);
    EXPECT_TRUE(list_port_entries(dir_ / "absent").empty());
}

TEST_F(Discovery, EntryListingIsTheSerialListingBeforeResolving) {
    PtyDevice a, b;
    Link("ttyACM0", a.path());
    Link("vantor-ttyACM", a.path());  // a second name for the same port
    Link("ttyACM-USB", b.path());
    Link("rfcomm3", b.path());
    Link("ttyS1", a.path());

    const auto entries = list_port_entries(dir_);
    const auto ports = list_serial_ports(dir_);
    ASSERT_EQ(entries.size(), ports.size());
    for (std::size_t i = 0; i < ports.size(); ++i) {
        ASSERT_TRUE(entries[i].canonical);
        EXPECT_EQ(*entries[i].canonical, ports[i].path);
        EXPECT_EQ(entries[i].kind, ports[i].kind);
    }
}

TEST_F(Discovery, TalonProbeGivesTheInformationThatAnswered) {
    Responder talon(TalonInfoReply(4)), other(TalonInfoReply(5));

    const TalonProbe found = probe_talon_port(talon.path().c_str());
    EXPECT_EQ(found.outcome, ProbeOutcome::Answered);
    EXPECT_EQ(found.info.device_id, 0x0102);
    EXPECT_EQ(found.info.device_model_number, 4);
    EXPECT_EQ(found.info.hardware_version, 1);
    EXPECT_EQ(found.info.firmware_version, 8);
    for (uint8_t byte : found.info.device_id_ext.data) EXPECT_EQ(byte, 0x5A);

    // Another model is not a Talon, but what it said is kept.
    const TalonProbe not_talon = probe_talon_port(other.path().c_str());
    EXPECT_EQ(not_talon.outcome, ProbeOutcome::NoAnswer);
    EXPECT_EQ(not_talon.info.device_model_number, 5);
    EXPECT_EQ(probe_talon(other.path().c_str()), 0);
    EXPECT_EQ(probe_talon(talon.path().c_str()), 1);
}

TEST_F(Discovery, HandleProbeSaysWhetherInfoOrStatusAnswered) {
    Responder info(kHandleInfo), status(kStatusMessage), error(kErrorResponse), talon(TalonInfoReply(4));

    const HandleProbe by_info = probe_handle_port(info.path().c_str());
    EXPECT_EQ(by_info.outcome, ProbeOutcome::Answered);
    EXPECT_FALSE(by_info.status_message);
    EXPECT_EQ(by_info.info.tool_data_remaining, 9);
    EXPECT_EQ(by_info.info.device_id, 0x0102);
    EXPECT_EQ(by_info.info.device_model_number, 2);
    EXPECT_EQ(by_info.info.hardware_version, 3);
    EXPECT_EQ(by_info.info.firmware_version, 4);

    const HandleProbe by_status = probe_handle_port(status.path().c_str());
    EXPECT_EQ(by_status.outcome, ProbeOutcome::Answered);
    EXPECT_TRUE(by_status.status_message);
    EXPECT_EQ(by_status.status.device_id, 1);
    EXPECT_EQ(by_status.status.hall_effect_sensor_level, 5);

    EXPECT_EQ(probe_handle_port(error.path().c_str()).outcome, ProbeOutcome::NoAnswer);
    // A Talon on a handle port answers, but not as a Handle.
    EXPECT_EQ(probe_handle_port(talon.path().c_str()).outcome, ProbeOutcome::NoAnswer);
    EXPECT_EQ(talon.wakeups(), 1);
}

TEST_F(Discovery, ProbesSayWhyAPortWasNotWokenUp) {
    Responder arm(TalonInfoReply(4)), grip(kHandleInfo);
    {
        // Open in this process under another name: still the same port.
        Link("arm", arm.path());
        const IO::SerialStream in_use((dir_ / "arm").c_str());
        EXPECT_EQ(probe_talon_port(arm.path().c_str()).outcome, ProbeOutcome::InUse);
        EXPECT_EQ(probe_handle_port(arm.path().c_str()).outcome, ProbeOutcome::InUse);
    }
    const int holder = ::open(grip.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(probe_handle_port(grip.path().c_str()).outcome, ProbeOutcome::InUse);
    EXPECT_EQ(probe_talon_port(grip.path().c_str()).outcome, ProbeOutcome::InUse);
    ::close(holder);
    EXPECT_EQ(arm.wakeups(), 0);
    EXPECT_EQ(grip.wakeups(), 0);

    EXPECT_EQ(probe_talon_port((dir_ / "ttyACM7").c_str()).outcome, ProbeOutcome::NotOpened);
    EXPECT_EQ(probe_handle_port((dir_ / "ttyUSB7").c_str()).outcome, ProbeOutcome::NotOpened);
    // Not a terminal: nothing is written into it.
    const fs::path file = dir_ / "ttyUSB8";
    std::ofstream(file).flush();
    EXPECT_EQ(probe_handle_port(file.c_str()).outcome, ProbeOutcome::NotOpened);
    EXPECT_EQ(probe_talon_port(file.c_str()).outcome, ProbeOutcome::NotOpened);
    EXPECT_EQ(fs::file_size(file), 0u);

    // Free again: both answer.
    EXPECT_EQ(probe_talon_port(arm.path().c_str()).outcome, ProbeOutcome::Answered);
    EXPECT_EQ(probe_handle_port(grip.path().c_str()).outcome, ProbeOutcome::Answered);
}
