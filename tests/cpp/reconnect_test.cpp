// Devices that come back: the servo loop and the grip reader on a port link
// (as /dev/serial/by-id gives one) that leads to a pseudo-terminal whose
// master side plays the device. Unplugging closes the master side; plugging
// in again creates a new terminal and re-points the link at it.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Vantor/HardwareAPI/Control/GripReader.h"
#include "Vantor/HardwareAPI/Control/ServoLoop.h"
#include "support/LogCapture.h"
#include "support/MemoryStream.h"
#include "support/PtyDevice.h"

namespace Vantor {
namespace HardwareAPI {
namespace Control {
// Failure messages name the fault.
static void PrintTo(Fault fault, std::ostream* out) {
    *out << static_cast<int>(fault) << " \"" << FaultText(fault) << '"';
}
}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor

using namespace Vantor::HardwareAPI;
using namespace Vantor::HardwareAPI::Control;
using namespace vantor_test;

namespace {

using Clock = std::chrono::steady_clock;

// Long enough that a loaded machine's stall is never taken for an unplug.
constexpr double kAfterS = 1.0;

// Polls until done() holds; false when it still does not after `seconds`.
template <typename Done>
bool WaitFor(Done done, double seconds = 10.0) {
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// The library's error lines (failed writes, reply time-outs) are expected
// here; they are kept out of the test output until every thread has ended.
struct QuietLog {
    QuietLog() { CaptureLog(); }
    ~QuietLog() { CapturedLog(); }
};

// A port path in a directory of its own, re-pointed in one step, as the
// system does when a device is plugged in again.
class PortLink {
public:
    PortLink() {
        std::string pattern = std::string(testing::TempDir()) + "vantor-reconnect-XXXXXX";
        if (mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("no temporary directory");
        dir_ = pattern;
        path_ = dir_ + "/port";
    }
    ~PortLink() {
        Remove();
        ::rmdir(dir_.c_str());
    }
    PortLink(const PortLink&) = delete;
    PortLink& operator=(const PortLink&) = delete;

    const std::string& path() const { return path_; }
    void PointAt(const std::string& target) {
        const std::string next = dir_ + "/next";
        ::unlink(next.c_str());
        if (::symlink(target.c_str(), next.c_str()) != 0 || ::rename(next.c_str(), path_.c_str()) != 0)
            throw std::runtime_error("cannot point the port link");
    }
    // The device never comes back.
    void Remove() { ::unlink(path_.c_str()); }

private:
    std::string dir_;
    std::string path_;
};

// The device side never blocks and never throws: the host may close its end
// at any moment, and then writes fail or go nowhere.
void MakeNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

void SendQuietly(int master, const std::string& bytes) {
    if (::write(master, bytes.data(), bytes.size()) < 0) return;  // no host: the bytes go nowhere
}

// Appends what the host wrote within wait_ms. With no host on the terminal
// the master side reads as hung up at once: then it only waits.
void Listen(int master, std::string& in, int wait_ms) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, wait_ms) <= 0) return;
    if (p.revents & POLLIN) {
        char chunk[256];
        const ssize_t r = ::read(master, chunk, sizeof chunk);
        if (r > 0) {
            in.append(chunk, static_cast<std::size_t>(r));
            return;
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
}

// --- the arm ------------------------------------------------------------------------

std::string Identifier(int first) {
    std::string id;
    for (int i = 0; i < 16; ++i) id.push_back(static_cast<char>(first + i));
    return id;
}

const std::string kArm = Identifier(0x10);
const std::string kOtherArm = Identifier(0x80);

// A Talon on its own terminal: each wake-up gets the device information with
// its device_id_ext, each force request the state of an arm at rest at
// z = 0.1 (or moving along x at the velocity set).
class TalonPlayer {
public:
    explicit TalonPlayer(const std::string& identifier)
        : info_(Bytes({11, 0x02, 0x01, 4, 1, 8}) + identifier) {
        MakeNonBlocking(pty_.master());
        thread_ = std::thread([this] { Run(); });
    }
    ~TalonPlayer() { Unplug(); }
    TalonPlayer(const TalonPlayer&) = delete;
    TalonPlayer& operator=(const TalonPlayer&) = delete;

    const std::string& path() const { return pty_.path(); }
    // The thread ends before the master side closes, so it never reads a
    // descriptor number that the library may be given next.
    void Unplug() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        pty_.Close();
    }
    // Force requests go unanswered until the next wake-up, as by an arm that hung.
    void Hang() { hung_ = true; }
    void SetVelocity(float v) { velocity_ = v; }

    int wakeups() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return wakeups_;
    }
    // The forces requested since the last wake-up, in order.
    std::vector<Vector3d> forces() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return forces_;
    }
    std::size_t all_forces() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return all_forces_;
    }

private:
    void Run() {
        std::string in;
        while (!stop_) {
            Listen(pty_.master(), in, 5);
            // Whole requests only: a force's float bytes may hold a 0x0A.
            while (!in.empty()) {
                const uint8_t code = static_cast<uint8_t>(in[0]);
                if (code == 10) {
                    in.erase(0, 1);
                    {
                        std::lock_guard<std::mutex> lock(mutex_);
                        ++wakeups_;
                        forces_.clear();
                    }
                    hung_ = false;
                    SendQuietly(pty_.master(), info_);
                } else if (code == 42) {
                    if (in.size() < 13) break;
                    float f[3];
                    std::memcpy(f, in.data() + 1, sizeof f);
                    in.erase(0, 13);
                    {
                        std::lock_guard<std::mutex> lock(mutex_);
                        forces_.push_back({f[0], f[1], f[2]});
                        ++all_forces_;
                    }
                    if (!hung_)
                        SendQuietly(pty_.master(), Bytes({43}) + FloatBytes({0.0f, 0.0f, 0.1f, velocity_, 0.0f, 0.0f}));
                } else {
                    in.erase(0, 1);
                }
            }
        }
    }

    PtyDevice pty_;
    const std::string info_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> hung_{false};
    std::atomic<float> velocity_{0.0f};
    mutable std::mutex mutex_;
    int wakeups_ = 0;
    std::vector<Vector3d> forces_;
    std::size_t all_forces_ = 0;
    std::thread thread_;
};

// --- the grip -----------------------------------------------------------------------

constexpr int kGrip = 0x07;
constexpr int kOtherGrip = 0x09;
constexpr const char* kOtherGripText = "another grip is on the port: not adopted";

// A compact status frame carrying the grip's device_id.
std::string Frame(int id) {
    return Bytes({0xDA, 0x00, 0x00, 0x00, 0xA5, id, 0x00, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00,
                  0x00, 0xC8, 0x00, 0xC0});
}

// The grip's answer to a wake-up: its handle information, whose device id is whole.
std::string HandleInfo(int id) { return Bytes({0xD0, 0, id & 0xFF, id >> 8, 2, 1, 3}); }

// A grip on its own terminal: silent until woken, then its handle
// information and a frame every 10 ms, which carries its id's low byte.
class GripPlayer {
public:
    explicit GripPlayer(int device_id) : info_(HandleInfo(device_id)), frame_(Frame(device_id & 0xFF)) {
        MakeNonBlocking(pty_.master());
        thread_ = std::thread([this] { Run(); });
    }
    ~GripPlayer() { Unplug(); }
    GripPlayer(const GripPlayer&) = delete;
    GripPlayer& operator=(const GripPlayer&) = delete;

    const std::string& path() const { return pty_.path(); }
    void Unplug() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        pty_.Close();
    }
    int wakeups() const { return wakeups_; }

private:
    void Run() {
        std::string in;
        auto next = Clock::now();
        while (!stop_) {
            Listen(pty_.master(), in, 2);
            if (in.find('\x0A') != std::string::npos) {
                ++wakeups_;
                SendQuietly(pty_.master(), info_);
            }
            in.clear();
            if (wakeups_ > 0 && Clock::now() >= next) {
                SendQuietly(pty_.master(), frame_);
                next = Clock::now() + std::chrono::milliseconds(10);
            }
        }
    }

    PtyDevice pty_;
    const std::string info_;
    const std::string frame_;
    std::atomic<bool> stop_{false};
    std::atomic<int> wakeups_{0};
    std::thread thread_;
};

// --- rigs -----------------------------------------------------------------------------

// A port link and every device plugged in on it so far, the last one on the
// link now. Unplugged devices are kept, so what they were sent still shows.
template <typename Player>
struct Port {
    template <typename Id>
    Player& Plug(const Id& id) {
        players.push_back(std::make_unique<Player>(id));
        link.PointAt(players.back()->path());
        return *players.back();
    }
    // As the system does for a by-id link, the link goes with the device: a
    // stale one could lead to a terminal another process has been given since.
    void Unplug() {
        link.Remove();
        players.back()->Unplug();
    }
    Player& device() { return *players.back(); }

    PortLink link;
    std::vector<std::unique_ptr<Player>> players;
};

template <typename Player, typename Id>
const char* PlugFirst(Port<Player>& port, const Id& id) {
    port.Plug(id);
    return port.link.path().c_str();
}

ServoConfig Reconnecting() {
    ServoConfig c;
    c.rate_hz = 200;
    c.ramp_s = 0.5;  // about 100 cycles from zero to full force
    c.exchange_deadline_ms = 1000;  // a loaded machine must not fault the loop
    c.link_timeout_ms = 500;        // nor a silence of a busy host's making end a ramp
    c.reply_timeout_s = 1.0;        // the shortest that never ends a wait early on the whole-second clock
    c.reconnection.enabled = true;
    c.reconnection.after_s = kAfterS;
    return c;
}

// The same arm's loop on the link, pushing 1 N along z once ramped in.
struct ServoRig {
    explicit ServoRig(ServoConfig config = Reconnecting()) : stream(PlugFirst(port, kArm)), talon(&stream) {
        config.reconnection.port_path = port.link.path();
        loop = std::make_unique<ServoLoop>(talon, config);
        loop->SetEffect(std::make_shared<ConstantForce>(ConstantForce::Params{{0, 0, 1.0}}));
    }
    bool AtFullForce() const { return loop->state().force[2] > 0.999; }

    Port<TalonPlayer> port;
    IO::SerialStream stream;
    Devices::Talon talon;
    std::unique_ptr<ServoLoop> loop;
};

// Frames delivered to on_status, by device_id.
struct Seen {
    std::array<std::atomic<int>, 256> by_id{};
    GripReader::OnStatus Count() {
        return [this](const GripSample& sample, double) { ++by_id[sample.status.device_id]; };
    }
};

struct GripRig {
    GripRig() : stream(PlugFirst(port, kGrip)), handle(&stream) {
        reader = std::make_unique<GripReader>(handle, true, seen.Count(),
                                              Reconnection{true, kAfterS, port.link.path()});
    }
    uint64_t frames() const { return reader->stats().frames_good; }

    Port<GripPlayer> port;
    Seen seen;
    IO::SerialStream stream;
    Devices::Handle handle;
    std::unique_ptr<GripReader> reader;
};

std::size_t NonZero(const std::vector<Vector3d>& forces) {
    std::size_t n = 0;
    for (const Vector3d& f : forces) n += f != Vector3d{0, 0, 0} ? 1 : 0;
    return n;
}

bool Partial(double force) { return force > 0.0 && force < 0.999; }

// From zero, never falling, never above the effect's 1 N, and in steps: a
// stalled machine may skip some, never most.
void ExpectRampFromZero(const std::vector<Vector3d>& forces) {
    ASSERT_FALSE(forces.empty());
    EXPECT_EQ(forces.front(), (Vector3d{0, 0, 0}));
    std::size_t partial = 0;
    for (std::size_t i = 1; i < forces.size(); ++i) {
        EXPECT_GE(forces[i][2], forces[i - 1][2]) << "force " << i;
        EXPECT_LE(forces[i][2], 1.0 + 1e-6) << "force " << i;
        partial += Partial(forces[i][2]) ? 1 : 0;
    }
    EXPECT_GE(partial, 5u) << "no ramp";
}

}  // namespace

// --- the servo loop ---------------------------------------------------------------------

TEST(ReconnectServoLoop, TheSameArmIsDrivenAgainFromZeroWithTheRamp) {
    QuietLog quiet;
    ServoRig rig;
    rig.loop->Record(4000);
    rig.loop->Start();
    ASSERT_TRUE(WaitFor([&] { return rig.AtFullForce(); }));

    rig.port.Unplug();
    ASSERT_TRUE(WaitFor([&] { return !rig.loop->state().connected; }));
    EXPECT_EQ(rig.loop->state().force, (Vector3d{0, 0, 0}));  // nothing is commanded while the arm is away
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // away for a while
    TalonPlayer& back = rig.port.Plug(kArm);
    ASSERT_TRUE(WaitFor([&] { return rig.loop->stats().reconnects == 1; }));
    ASSERT_TRUE(WaitFor([&] { return rig.AtFullForce(); }));
    const ServoState state = rig.loop->state();
    const std::vector<ServoSample> run = rig.loop->Recording();
    const std::vector<Vector3d> forces = back.forces();
    rig.loop->Stop();

    EXPECT_TRUE(state.connected);
    EXPECT_EQ(rig.loop->fault(), Fault::None);
    EXPECT_EQ(rig.loop->stats().reconnects, 1u);
    EXPECT_EQ(back.wakeups(), 1);  // woken to tell which arm it is
    // The arm plugged in again first gets zero force, then the ramp.
    ExpectRampFromZero(forces);

    // The recording: full force, a gap with no cycle at all, zero, the ramp.
    auto full = [](const ServoSample& s) { return s.force[2] > 0.999; };
    std::size_t i = 0;
    while (i < run.size() && !full(run[i])) ++i;
    while (i < run.size() && full(run[i])) ++i;
    ASSERT_LT(i, run.size()) << "the force never fell";
    EXPECT_GE(run[i].t - run[i - 1].t, 0.1) << "cycles ran while the arm was away";
    EXPECT_EQ(run[i].force[2], 0.0);
    std::size_t partial = 0;
    for (std::size_t j = i + 1; j < run.size(); ++j) {
        EXPECT_GE(run[j].force[2], run[j - 1].force[2]) << "cycle " << j;
        EXPECT_EQ(run[j].fault, 0) << "cycle " << j;
        partial += Partial(run[j].force[2]) ? 1 : 0;
    }
    EXPECT_GE(partial, 5u) << "no ramp";
    EXPECT_TRUE(full(run.back()));
}

TEST(ReconnectServoLoop, AnotherArmGetsNoForceAndTheRightOneIsAdoptedAfterIt) {
    QuietLog quiet;
    ServoRig rig;
    rig.loop->Start();
    ASSERT_TRUE(WaitFor([&] { return rig.AtFullForce(); }));
    rig.port.Unplug();
    ASSERT_TRUE(WaitFor([&] { return !rig.loop->state().connected; }));

    TalonPlayer& other = rig.port.Plug(kOtherArm);
    ASSERT_TRUE(WaitFor([&] { return rig.loop->fault() == Fault::OtherDevice; }));
    EXPECT_STREQ(FaultText(rig.loop->fault()), "another arm is on the port: not adopted");
    EXPECT_EQ(rig.loop->stats().reconnects, 0u);
    EXPECT_FALSE(rig.loop->state().connected);
    // It keeps looking: the other arm is woken again, still not driven.
    ASSERT_TRUE(WaitFor([&] { return other.wakeups() >= 2; }));
    EXPECT_EQ(rig.loop->fault(), Fault::OtherDevice);
    EXPECT_EQ(rig.loop->stats().reconnects, 0u);

    TalonPlayer& right = rig.port.Plug(kArm);
    ASSERT_TRUE(WaitFor([&] { return rig.loop->stats().reconnects == 1; }));
    ASSERT_TRUE(WaitFor([&] { return rig.AtFullForce(); }));
    EXPECT_EQ(rig.loop->fault(), Fault::None);
    EXPECT_TRUE(rig.loop->state().connected);
    const std::vector<Vector3d> forces = right.forces();
    rig.loop->Stop();
    EXPECT_EQ(other.all_forces(), 0u) << "a force request reached the other arm";
    ExpectRampFromZero(forces);
}

TEST(ReconnectServoLoop, AnArmThatFallsSilentIsWokenAgainAndItsLinkFaultEnds) {
    QuietLog quiet;
    // An exchange stuck for half a second is reported while the reply
    // wait (over a second) still runs, so the fault shows before the reconnection.
    ServoConfig config = Reconnecting();
    config.exchange_deadline_ms = 500;
    ServoRig rig(config);
    rig.loop->Start();
    ASSERT_TRUE(WaitFor([&] { return rig.AtFullForce(); }));

    TalonPlayer& arm = rig.port.device();
    arm.Hang();
    ASSERT_TRUE(WaitFor([&] { return rig.loop->fault() == Fault::ArmNotAnswering; }));
    ASSERT_TRUE(WaitFor([&] { return rig.loop->stats().reconnects == 1; }));
    ASSERT_TRUE(WaitFor([&] { return rig.AtFullForce(); }));
    const std::vector<Vector3d> forces = arm.forces();
    rig.loop->Stop();
    EXPECT_EQ(rig.loop->fault(), Fault::None);
    EXPECT_EQ(arm.wakeups(), 2);  // at the start, and once reopened
    ExpectRampFromZero(forces);
}

// Only the faults of the link end with a reconnection; a velocity fault
// holds the force at zero until it is cleared, whoever was on the port meanwhile.
TEST(ReconnectServoLoop, AMotionFaultStaysLatchedAcrossReconnections) {
    QuietLog quiet;
    ServoConfig config = Reconnecting();
    config.velocity_limit = 0.5;
    ServoRig rig(config);
    rig.port.device().SetVelocity(1.0f);
    rig.loop->Start();
    ASSERT_TRUE(WaitFor([&] { return rig.loop->fault() == Fault::VelocityLimit; }));

    // The same arm again, now at rest.
    rig.port.Unplug();
    ASSERT_TRUE(WaitFor([&] { return !rig.loop->state().connected; }));
    TalonPlayer& same = rig.port.Plug(kArm);
    ASSERT_TRUE(WaitFor([&] { return rig.loop->stats().reconnects == 1 && same.forces().size() >= 50; }));
    EXPECT_EQ(rig.loop->fault(), Fault::VelocityLimit);
    EXPECT_EQ(NonZero(same.forces()), 0u);

    // Another arm first, then the same arm.
    rig.port.Unplug();
    ASSERT_TRUE(WaitFor([&] { return !rig.loop->state().connected; }));
    TalonPlayer& other = rig.port.Plug(kOtherArm);
    ASSERT_TRUE(WaitFor([&] { return other.wakeups() >= 2; }));  // looked at and turned down
    TalonPlayer& again = rig.port.Plug(kArm);
    ASSERT_TRUE(WaitFor([&] { return rig.loop->stats().reconnects == 2 && again.forces().size() >= 50; }));
    EXPECT_EQ(rig.loop->fault(), Fault::VelocityLimit);
    EXPECT_EQ(NonZero(again.forces()), 0u) << "forces after another arm was on the port";

    // Cleared: the force comes back with the ramp.
    rig.loop->ClearFault();
    ASSERT_TRUE(WaitFor([&] { return rig.AtFullForce(); }));
    EXPECT_EQ(rig.loop->fault(), Fault::None);
}

TEST(ReconnectServoLoop, DestroyedAfterReconnectingGivesTheTalonItsFirstStreamAndLeavesNothingOpen) {
    QuietLog quiet;
    const int before = OpenDescriptorCount();
    {
        ServoRig rig;
        rig.loop->Start();
        ASSERT_TRUE(WaitFor([&] { return rig.loop->state().cycle > 10; }));
        rig.port.Unplug();
        ASSERT_TRUE(WaitFor([&] { return !rig.loop->state().connected; }));
        // Another arm, opened and closed again on each look, then the right one.
        TalonPlayer& other = rig.port.Plug(kOtherArm);
        ASSERT_TRUE(WaitFor([&] { return other.wakeups() >= 2; }));
        rig.port.Plug(kArm);
        ASSERT_TRUE(WaitFor([&] { return rig.loop->stats().reconnects == 1; }));

        rig.loop.reset();
        EXPECT_EQ(rig.talon.stream, &rig.stream);
        ASSERT_TRUE(rig.stream.buffer);
        EXPECT_EQ(rig.stream.buffer->fd, -1);  // given back closed
        EXPECT_EQ(rig.talon.timeout, 5.0f);
        // Only the master sides of the two arms still plugged in.
        EXPECT_EQ(OpenDescriptorCount(), before + 2);
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
}

// --- the grip reader -----------------------------------------------------------------------

TEST(ReconnectGripReader, TheSameGripIsAdoptedFramesResumeAndTheFirstStreamComesBack) {
    QuietLog quiet;
    const int before = OpenDescriptorCount();
    {
        GripRig rig;
        rig.reader->Start();
        ASSERT_TRUE(WaitFor([&] { return rig.frames() >= 5; }));
        EXPECT_TRUE(rig.reader->connected());

        rig.port.Unplug();
        ASSERT_TRUE(WaitFor([&] { return !rig.reader->connected(); }));
        GripPlayer& back = rig.port.Plug(kGrip);
        ASSERT_TRUE(WaitFor([&] { return rig.reader->stats().reconnects == 1; }));
        const uint64_t at_reconnect = rig.frames();
        ASSERT_TRUE(WaitFor([&] { return rig.frames() >= at_reconnect + 10; }));
        EXPECT_TRUE(rig.reader->connected());
        EXPECT_EQ(rig.reader->fault(), "");
        EXPECT_EQ(rig.reader->stats().reconnects, 1u);
        EXPECT_EQ(rig.reader->latest().status.device_id, kGrip);
        EXPECT_EQ(back.wakeups(), 1);  // silent until woken
        rig.reader->Stop();
        EXPECT_EQ(rig.seen.by_id[kGrip].load(), static_cast<int>(rig.frames()));  // every frame delivered

        rig.reader.reset();
        EXPECT_EQ(rig.handle.stream, &rig.stream);
        EXPECT_EQ(rig.stream.buffer->fd, -1);
        EXPECT_EQ(OpenDescriptorCount(), before + 1);  // the grip plugged in again
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(ReconnectGripReader, AnotherGripIsNotAdoptedAndItsFramesAreNotDelivered) {
    QuietLog quiet;
    GripRig rig;
    rig.reader->Start();
    ASSERT_TRUE(WaitFor([&] { return rig.frames() >= 5; }));
    rig.port.Unplug();
    ASSERT_TRUE(WaitFor([&] { return !rig.reader->connected(); }));

    GripPlayer& other = rig.port.Plug(kOtherGrip);
    ASSERT_TRUE(WaitFor([&] { return rig.reader->fault() == kOtherGripText; }));
    EXPECT_FALSE(rig.reader->connected());
    EXPECT_EQ(rig.reader->stats().reconnects, 0u);
    ASSERT_TRUE(WaitFor([&] { return other.wakeups() >= 2; }));  // looked at again, still turned down
    EXPECT_EQ(rig.reader->fault(), kOtherGripText);
    EXPECT_FALSE(rig.reader->connected());

    rig.port.Plug(kGrip);
    ASSERT_TRUE(WaitFor([&] { return rig.reader->stats().reconnects == 1; }));
    const uint64_t at_reconnect = rig.frames();
    ASSERT_TRUE(WaitFor([&] { return rig.frames() >= at_reconnect + 10; }));
    EXPECT_EQ(rig.reader->fault(), "");
    EXPECT_TRUE(rig.reader->connected());
    rig.reader->Stop();
    EXPECT_EQ(rig.seen.by_id[kOtherGrip].load(), 0);
    EXPECT_NE(rig.reader->latest().status.device_id, kOtherGrip);
}

// --- the link's faults while the device is away ------------------------------------------

TEST(ReconnectServoLoop, AGoneArmIsALinkFaultCountedUntilTheSameArmIsBack) {
    QuietLog quiet;
    ServoRig rig;
    rig.loop->Start();
    ASSERT_TRUE(WaitFor([&] { return rig.AtFullForce(); }));
    const uint64_t before = rig.loop->stats().faults;

    rig.port.Unplug();
    ASSERT_TRUE(WaitFor([&] { return rig.loop->fault() == Fault::LineHungUp; }));
    EXPECT_FALSE(rig.loop->state().connected);
    EXPECT_NE(rig.loop->fault_text().find("waits for the same arm"), std::string::npos) << rig.loop->fault_text();
    const ServoStats away = rig.loop->stats();
    EXPECT_EQ(away.faults, before + 1);
    EXPECT_EQ(away.faults_by_kind[static_cast<std::size_t>(Fault::LineHungUp)], 1u);
    EXPECT_EQ(away.last_fault.kind, Fault::LineHungUp);

    rig.port.Plug(kArm);
    ASSERT_TRUE(WaitFor([&] { return rig.loop->stats().reconnects == 1; }));
    EXPECT_EQ(rig.loop->fault(), Fault::None);  // ended before the reconnection is counted
    ASSERT_TRUE(WaitFor([&] { return rig.AtFullForce(); }));
    EXPECT_EQ(rig.loop->stats().faults, before + 1);
    rig.loop->Stop();
}

TEST(ReconnectGripReader, AGoneGripIsAFaultCountedUntilTheSameGripIsBack) {
    QuietLog quiet;
    GripRig rig;
    rig.reader->Start();
    ASSERT_TRUE(WaitFor([&] { return rig.frames() >= 5; }));
    EXPECT_EQ(rig.reader->stats().faults, 0u);

    rig.port.Unplug();
    ASSERT_TRUE(WaitFor([&] { return !rig.reader->fault().empty(); }));
    EXPECT_EQ(rig.reader->fault().rfind("the grip's line hung up", 0), 0u) << rig.reader->fault();
    EXPECT_EQ(rig.reader->stats().faults, 1u);

    rig.port.Plug(kGrip);
    ASSERT_TRUE(WaitFor([&] { return rig.reader->stats().reconnects == 1; }));
    EXPECT_EQ(rig.reader->fault(), "");
    EXPECT_EQ(rig.reader->stats().faults, 1u);
    rig.reader->Stop();
}

// --- one loop per arm, through the reconnection ---------------------------------------------

TEST(ReconnectServoLoop, APortThatComesBackIsNotLentToASecondLoop) {
    QuietLog quiet;
    ServoRig rig;
    rig.loop->Start();
    ASSERT_TRUE(WaitFor([&] { return rig.AtFullForce(); }));
    rig.port.Unplug();
    ASSERT_TRUE(WaitFor([&] { return !rig.loop->state().connected; }));

    // Back on the path: a second loop there is refused, whether or not the
    // first has opened it again yet.
    rig.port.Plug(kArm);
    IO::SerialStream stream(rig.port.link.path().c_str());
    Devices::Talon talon(&stream);
    ServoConfig config = Reconnecting();
    config.reconnection.enabled = false;
    ServoLoop second(talon, config);
    EXPECT_THROW(second.Start(), std::runtime_error);
    ASSERT_TRUE(WaitFor([&] { return rig.loop->stats().reconnects == 1; }));
    rig.loop->Stop();
}

TEST(ReconnectServoLoop, APortAnotherLoopTookMeanwhileIsNotAdopted) {
    QuietLog quiet;
    ServoRig rig;
    rig.loop->Start();
    ASSERT_TRUE(WaitFor([&] { return rig.AtFullForce(); }));
    // The arm back under another name, and a second loop drives it before
    // the first one's path leads there.
    TalonPlayer arm(kArm);
    rig.port.Unplug();
    ASSERT_TRUE(WaitFor([&] { return !rig.loop->state().connected; }));
    IO::SerialStream stream(arm.path().c_str());
    Devices::Talon talon(&stream);
    ServoConfig config = Reconnecting();
    config.reconnection.enabled = false;
    ServoLoop second(talon, config);
    second.Start();
    rig.port.link.PointAt(arm.path());

    ASSERT_TRUE(WaitFor([&] { return rig.loop->fault() == Fault::OtherDevice; }));
    EXPECT_EQ(rig.loop->fault_text().rfind("the port is driven by a ServoLoop of this program", 0), 0u)
        << rig.loop->fault_text();
    EXPECT_EQ(rig.loop->stats().reconnects, 0u);
    EXPECT_FALSE(rig.loop->state().connected);
    EXPECT_EQ(arm.wakeups(), 0);  // not even opened

    second.Stop();  // given back: the first loop takes its arm again
    ASSERT_TRUE(WaitFor([&] { return rig.loop->stats().reconnects == 1; }));
    EXPECT_EQ(rig.loop->fault(), Fault::None);
    rig.loop->Stop();
}

// --- stopping while the device is away --------------------------------------------------------

TEST(ReconnectStop, EndsTheWaitForAPortThatNeverComesBack) {
    QuietLog quiet;
    ServoRig arm;
    arm.loop->Start();
    GripRig grip;
    grip.reader->Start();
    ASSERT_TRUE(WaitFor([&] { return arm.loop->state().cycle > 10 && grip.frames() >= 5; }));

    arm.port.Unplug();
    arm.port.link.Remove();
    grip.port.Unplug();
    grip.port.link.Remove();
    ASSERT_TRUE(WaitFor([&] { return !arm.loop->state().connected && !grip.reader->connected(); }));

    // A hang here is caught by the test's time-out.
    arm.loop->Stop();
    EXPECT_FALSE(arm.loop->running());
    EXPECT_EQ(arm.loop->stats().reconnects, 0u);
    grip.reader->Stop();
    EXPECT_FALSE(grip.reader->running());
    EXPECT_EQ(grip.reader->stats().reconnects, 0u);
}
