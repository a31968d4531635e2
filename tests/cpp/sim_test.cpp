// Black-box tests of vantor-sim. The simulator runs as a child process and is
// spoken to through a plain descriptor on its terminal, byte for byte, so these
// tests share no code with the library. VANTOR_SIM names the executable; the
// tests skip when it is not set.

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

// Generous bounds: they only keep a broken simulator from hanging the suite.
constexpr auto kReplyWait = seconds(5);
constexpr auto kExitWait = seconds(10);
constexpr auto kSettleDeadline = seconds(30);

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

int remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// The simulator as a child process, with pipes on its standard input and output.
class Simulator {
public:
    explicit Simulator(const std::vector<std::string>& args, bool quietStderr = false) {
        const char* exe = std::getenv("VANTOR_SIM");
        std::vector<std::string> all = {exe};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);

        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            if (quietStderr) {
                const int null = open("/dev/null", O_WRONLY);
                if (null >= 0) dup2(null, STDERR_FILENO);
            }
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        stdin_.reset(in[1]);
        stdout_.reset(out[0]);
    }

    ~Simulator() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGTERM);
            waitForExit();
        }
    }

    // The first line of standard output: the terminal's path.
    std::string path() {
        const auto deadline = Clock::now() + kReplyWait;
        std::string line;
        char c = 0;
        while (path_.empty()) {
            pollfd p{stdout_.get(), POLLIN, 0};
            if (poll(&p, 1, remainingMs(deadline)) <= 0 || read(stdout_.get(), &c, 1) != 1) break;
            if (c == '\n')
                path_ = line;
            else
                line += c;
        }
        return path_;
    }

    // Exit status, or -1 when the process had to be killed.
    int waitForExit() {
        if (exited_) return status_;
        const auto deadline = Clock::now() + kExitWait;
        int raw = 0;
        while (waitpid(pid_, &raw, WNOHANG) == 0) {
            if (Clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &raw, 0);
                exited_ = true;
                return status_ = -1;
            }
            std::this_thread::sleep_for(milliseconds(5));
        }
        exited_ = true;
        return status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }

    void signal(int sig) { kill(pid_, sig); }
    void closeStdin() { stdin_.reset(); }

    // Whatever the process wrote after the path line; call after it exited.
    std::string restOfStdout() {
        std::string rest;
        char buffer[256];
        ssize_t n;
        while ((n = read(stdout_.get(), buffer, sizeof buffer)) > 0) rest.append(buffer, static_cast<std::size_t>(n));
        return rest;
    }

private:
    pid_t pid_ = -1;
    Descriptor stdin_;
    Descriptor stdout_;
    std::string path_;
    bool exited_ = false;
    int status_ = -1;
};

// The client side of the terminal, set up the way a serial port would be.
class Port {
public:
    explicit Port(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {
        termios tio{};
        if (fd_.get() >= 0 && tcgetattr(fd_.get(), &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(fd_.get(), TCSANOW, &tio);
        }
    }
    bool isOpen() const { return fd_.get() >= 0; }

    void send(const Bytes& bytes) {
        ASSERT_EQ(write(fd_.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Up to `n` bytes: fewer when the wait runs out or the terminal hangs up.
    Bytes read(std::size_t n, std::chrono::milliseconds wait = kReplyWait) {
        const auto deadline = Clock::now() + wait;
        Bytes out;
        std::uint8_t buffer[512];
        while (out.size() < n) {
            pollfd p{fd_.get(), POLLIN, 0};
            if (poll(&p, 1, remainingMs(deadline)) <= 0) break;
            const ssize_t got = ::read(fd_.get(), buffer, std::min(sizeof buffer, n - out.size()));
            if (got <= 0) break;
            out.insert(out.end(), buffer, buffer + got);
        }
        return out;
    }

    // Everything until the simulator closes its side.
    Bytes readUntilHangup() { return read(SIZE_MAX, kExitWait); }

    Bytes exchange(const Bytes& request, std::size_t replyLength) {
        send(request);
        return read(replyLength);
    }

private:
    Descriptor fd_;
};

float f32(const Bytes& b, std::size_t offset) {
    const std::uint32_t bits = static_cast<std::uint32_t>(b[offset]) | (static_cast<std::uint32_t>(b[offset + 1]) << 8) |
                               (static_cast<std::uint32_t>(b[offset + 2]) << 16) |
                               (static_cast<std::uint32_t>(b[offset + 3]) << 24);
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

Bytes vectorRequest(std::uint8_t code, float a, float b, float c) {
    Bytes out = {code};
    for (float v : {a, b, c}) {
        std::uint32_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
    }
    return out;
}

using Vec3 = std::array<double, 3>;

struct State {
    Vec3 first;   // position, or joint angles
    Vec3 second;  // velocity, or joint velocities
};

State decodeState(const Bytes& reply) {
    State s{};
    for (std::size_t i = 0; i < 3; ++i) {
        s.first[i] = f32(reply, 1 + 4 * i);
        s.second[i] = f32(reply, 13 + 4 * i);
    }
    return s;
}

double distance(const Vec3& a, const Vec3& b) {
    return std::sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) + (a[2] - b[2]) * (a[2] - b[2]));
}

Vec3 operator*(double s, const Vec3& v) { return {s * v[0], s * v[1], s * v[2]}; }
Vec3 operator-(const Vec3& a, const Vec3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
double dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
double norm(const Vec3& v) { return std::sqrt(dot(v, v)); }

// The simulated arm moves by the time between requests: these come about as
// often as a 1 kHz loop sends them.
constexpr auto kPace = milliseconds(1);

// Drives the joints towards `target` (degrees) until the arm is still. A
// target beyond a stop leaves the arm pressed against that stop, at rest.
Vec3 holdJoints(Port& port, const Vec3& target) {
    const auto deadline = Clock::now() + kSettleDeadline;
    State joints{};
    for (int still = 0; still < 50 && Clock::now() < deadline; std::this_thread::sleep_for(kPace)) {
        joints = decodeState(port.exchange(vectorRequest(28, float(target[0]), float(target[1]), float(target[2])), 25));
        still = norm(joints.second) < 1e-3 ? still + 1 : 0;
    }
    return joints.first;
}

// A steady force for `time`, from the arm's current state.
struct Push {
    Vec3 start;
    Vec3 end;
    double along;  // the end's displacement along the force, m
    double least;  // the least displacement along the force on the way, m
};

Push pushWith(Port& port, const Vec3& force, Clock::duration time) {
    const Vec3 unit = (1.0 / norm(force)) * force;
    Push p{};
    p.start = decodeState(port.exchange(vectorRequest(42, 0, 0, 0), 25)).first;
    const Bytes request = vectorRequest(42, float(force[0]), float(force[1]), float(force[2]));
    const auto end = Clock::now() + time;
    p.end = p.start;
    while (Clock::now() < end) {
        std::this_thread::sleep_for(kPace);
        const Bytes reply = port.exchange(request, 25);
        if (reply.size() != 25u) break;
        p.end = decodeState(reply).first;
        const double along = dot(unit, p.end - p.start);
        p.least = std::min(p.least, along);
    }
    p.along = dot(unit, p.end - p.start);
    return p;
}

// The host's own computation of the end effector from joint angles in
// degrees, with zero calibration offsets, in single precision as the host has it.
Vec3 hostPosition(const Vec3& joints) {
    const float pi = 3.141592f;
    const float a1 = 0.14f, a2 = 0.14f, b1 = 0.165f, b2 = 0.165f, d = 0.0f;
    const float s = 0.0765f + -0.052f, mv = 0.0f, h = 0.18645f;
    const float qx = 0.0f, qy = 0.7071f, qz = 0.0f, qw = 0.7071f;
    const float th0 = (static_cast<float>(joints[0]) + 90) * pi / 180;
    const float th1 = (-static_cast<float>(joints[1]) - 180) * pi / 180;
    const float th2 = (-static_cast<float>(joints[2]) - 180) * pi / 180;
    const float du = static_cast<float>(d + a1 * std::cos(double(th1)) - a2 * std::cos(double(th2)));
    const float dv = static_cast<float>(a1 * std::sin(double(th1)) - a2 * std::sin(double(th2)));
    const float phi = static_cast<float>(std::atan2(double(dv), double(du)));
    const float r = std::sqrt(du * du + dv * dv);
    float psi = th1;
    if (r >= 1e-6f) {
        const float beta = static_cast<float>(std::acos(double((b1 * b1 + r * r - b2 * b2) / (2 * r * b1))));
        psi = phi + pi - beta;
    }
    const float u = static_cast<float>(d / 2 + a1 * std::cos(double(th1)) + b1 * std::cos(double(psi)));
    const float v = static_cast<float>(a1 * std::sin(double(th1)) + b1 * std::sin(double(psi)));
    const float n = mv - v;
    const float pa = static_cast<float>(s * std::cos(double(th0)) - n * std::sin(double(th0)));
    const float pb = static_cast<float>(s * std::sin(double(th0)) + n * std::cos(double(th0)));
    const float pc = u + h;
    const float x = -pc, y = pb, z = pa;
    return {(1 - 2 * (qy * qy + qz * qz)) * x + 2 * (qx * qy - qz * qw) * y + 2 * (qx * qz + qy * qw) * z,
            2 * (qx * qy + qz * qw) * x + (1 - 2 * (qx * qx + qz * qz)) * y + 2 * (qy * qz - qx * qw) * z,
            2 * (qx * qz - qy * qw) * x + 2 * (qy * qz + qx * qw) * y + (1 - 2 * (qx * qx + qy * qy)) * z};
}

// The host's reading of a compact status frame's 19 bytes.
Bytes unstuff(const Bytes& wire) {
    Bytes out;
    std::size_t i = 0;
    while (i <= 17) {
        if (wire[i] == 0xDB && wire[i + 1] == 0xDC) {
            out.push_back(0xC0);
            i += 2;
        } else if (wire[i] == 0xDB && wire[i + 1] == 0xDD) {
            out.push_back(0xDB);
            i += 2;
        } else if (wire[i] == 0xDB || wire[i] == 0xC0) {
            i += 1;
        } else {
            out.push_back(wire[i++]);
        }
    }
    return out;
}

class SimFixture : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("VANTOR_SIM") == nullptr) GTEST_SKIP() << "VANTOR_SIM is not set";
    }
};

class SimTalon : public SimFixture {};
class SimHandle : public SimFixture {};
class SimFaults : public SimFixture {};
class SimProcess : public SimFixture {};

// --- Talon -------------------------------------------------------------------

TEST_F(SimTalon, WakeupAnswersDeviceInformation) {
    Simulator sim({"talon"});
    Port port(sim.path());
    ASSERT_TRUE(port.isOpen());

    const Bytes info = port.exchange({0x0A}, 22);
    ASSERT_EQ(info.size(), 22u);
    EXPECT_EQ(info[0], 11);
    EXPECT_EQ(info[1], 0x02);  // device id 0x0102, little-endian
    EXPECT_EQ(info[2], 0x01);
    EXPECT_EQ(info[3], 4);     // model number: a Talon
    EXPECT_EQ(info[4], 1);
    EXPECT_EQ(info[5], 8);
    EXPECT_NE(Bytes(info.begin() + 6, info.end()), Bytes(16, 0));
    EXPECT_EQ(port.exchange({0x0A}, 22), info);
}

TEST_F(SimTalon, ValueQueriesEchoSelectorAndLength) {
    Simulator sim({"talon"});
    Port port(sim.path());
    const Bytes info = port.exchange({0x0A}, 22);
    ASSERT_EQ(info.size(), 22u);

    const Bytes id = port.exchange({13, 209}, 19);
    ASSERT_EQ(id.size(), 19u);
    EXPECT_EQ(id[0], 13);
    EXPECT_EQ(id[1], 209);
    EXPECT_EQ(id[2], 16);
    EXPECT_EQ(Bytes(id.begin() + 3, id.end()), Bytes(info.begin() + 6, info.end()));

    const Bytes firmware = port.exchange({13, 210}, 19);
    ASSERT_EQ(firmware.size(), 19u);
    EXPECT_EQ(firmware[0], 13);
    EXPECT_EQ(firmware[1], 210);
    EXPECT_EQ(firmware[2], 16);
}

TEST_F(SimTalon, IdentifierComesFromTheCommandLine) {
    const Bytes expected = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                            0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
    for (const char* text : {"00112233-4455-6677-8899-AABBCCDDEEFF", "00112233445566778899aabbccddeeff"}) {
        Simulator sim({"talon", "--id", text});
        Port port(sim.path());
        const Bytes info = port.exchange({0x0A}, 22);
        ASSERT_EQ(info.size(), 22u) << text;
        EXPECT_EQ(Bytes(info.begin() + 6, info.end()), expected) << text;
        const Bytes id = port.exchange({13, 209}, 19);
        ASSERT_EQ(id.size(), 19u) << text;
        EXPECT_EQ(Bytes(id.begin() + 3, id.end()), expected) << text;
    }
}

TEST_F(SimTalon, InformationRepliesHaveTableLengths) {
    // Closing after the last request shows that no stray byte followed any reply.
    Simulator sim({"talon", "--close-after", "4"});
    Port port(sim.path());

    const Bytes temperature = port.exchange({170}, 5);
    ASSERT_EQ(temperature.size(), 5u);
    EXPECT_EQ(temperature[0], 170);
    EXPECT_NEAR(f32(temperature, 1), 31.5f, 2.0f);

    const Bytes currents = port.exchange({171}, 13);
    ASSERT_EQ(currents.size(), 13u);
    EXPECT_EQ(currents[0], 171);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_TRUE(std::isfinite(f32(currents, 1 + 4 * i)));

    EXPECT_EQ(port.exchange({172}, 2), (Bytes{172, 1}));

    const Bytes orientation = port.exchange({12}, 17);
    ASSERT_EQ(orientation.size(), 17u);
    EXPECT_EQ(orientation[0], 12);
    EXPECT_EQ(f32(orientation, 1), 0.0f);
    EXPECT_EQ(f32(orientation, 5), 0.0f);
    EXPECT_EQ(f32(orientation, 9), 0.0f);
    EXPECT_EQ(f32(orientation, 13), 1.0f);

    EXPECT_TRUE(port.readUntilHangup().empty());
    EXPECT_EQ(sim.waitForExit(), 0);
}

TEST_F(SimTalon, ControlRepliesHaveStateLengths) {
    Simulator sim({"talon", "--close-after", "4"});
    Port port(sim.path());
    const Bytes joints = port.exchange(vectorRequest(26, 0, 0, 0), 25);
    ASSERT_EQ(joints.size(), 25u);
    EXPECT_EQ(joints[0], 27);
    const Bytes effector = port.exchange(vectorRequest(42, 0, 0, 0), 25);
    ASSERT_EQ(effector.size(), 25u);
    EXPECT_EQ(effector[0], 43);

    // The arm's own angles and position as targets: it stays where it is.
    Bytes angles = {28};
    angles.insert(angles.end(), joints.begin() + 1, joints.begin() + 13);
    const Bytes angleReply = port.exchange(angles, 25);
    ASSERT_EQ(angleReply.size(), 25u);
    EXPECT_EQ(angleReply[0], 27);
    Bytes position = {44};
    position.insert(position.end(), effector.begin() + 1, effector.begin() + 13);
    const Bytes positionReply = port.exchange(position, 25);
    ASSERT_EQ(positionReply.size(), 25u);
    EXPECT_EQ(positionReply[0], 43);

    EXPECT_TRUE(port.readUntilHangup().empty());
}

TEST_F(SimTalon, RestPoseAgreesWithHostGeometry) {
    Simulator sim({"talon"});
    Port port(sim.path());
    const State joints = decodeState(port.exchange(vectorRequest(26, 0, 0, 0), 25));
    const State effector = decodeState(port.exchange(vectorRequest(42, 0, 0, 0), 25));

    EXPECT_LT(distance(hostPosition(joints.first), effector.first), 1e-3);
    EXPECT_EQ(effector.second, (Vec3{0, 0, 0}));
    EXPECT_EQ(joints.second, (Vec3{0, 0, 0}));
}

TEST_F(SimTalon, JointAngleRequestsDriveTheJoints) {
    Simulator sim({"talon"});
    Port port(sim.path());
    const Vec3 target = {30, -45, -135};
    const auto deadline = Clock::now() + kSettleDeadline;
    State joints{};
    do {
        joints = decodeState(port.exchange(vectorRequest(28, 30, -45, -135), 25));
    } while (distance(joints.first, target) > 0.01 && Clock::now() < deadline);
    ASSERT_LT(distance(joints.first, target), 0.01);

    // The arm's own position for this pose, against the host model's reference values.
    const State effector = decodeState(port.exchange(vectorRequest(42, 0, 0, 0), 25));
    EXPECT_LT(distance(effector.first, {-0.21230, -0.09428, 0.18644}), 1e-3);
    EXPECT_LT(distance(effector.first, hostPosition(joints.first)), 1e-3);
}

TEST_F(SimTalon, PositionRequestsReachTheTarget) {
    Simulator sim({"talon"});
    Port port(sim.path());
    const Vec3 target = {-0.25, 0.05, 0.15};
    const auto deadline = Clock::now() + kSettleDeadline;
    State effector{};
    do {
        effector = decodeState(port.exchange(vectorRequest(44, -0.25f, 0.05f, 0.15f), 25));
    } while (distance(effector.first, target) > 1e-4 && Clock::now() < deadline);
    ASSERT_LT(distance(effector.first, target), 1e-4);

    const State joints = decodeState(port.exchange(vectorRequest(26, 0, 0, 0), 25));
    EXPECT_LT(distance(hostPosition(joints.first), target), 1e-3);
}

TEST_F(SimTalon, ForceMovesTheEndEffectorAlongIt) {
    Simulator sim({"talon"});
    Port port(sim.path());
    const Vec3 start = decodeState(port.exchange(vectorRequest(42, 0, 0, 0), 25)).first;
    const auto deadline = Clock::now() + kSettleDeadline;
    State effector{};
    do {
        effector = decodeState(port.exchange(vectorRequest(42, 0, 0, 2), 25));
    } while (effector.first[2] - start[2] < 0.01 && Clock::now() < deadline);

    const double dz = effector.first[2] - start[2];
    EXPECT_GE(dz, 0.01);
    EXPECT_LT(std::fabs(effector.first[0] - start[0]), dz);
    EXPECT_LT(std::fabs(effector.first[1] - start[1]), dz);
    EXPECT_GT(effector.second[2], 0.0);

    const State joints = decodeState(port.exchange(vectorRequest(26, 0, 0, 0), 25));
    for (double v : joints.first) EXPECT_TRUE(std::isfinite(v));
}

// Where the quick start's wall (a plane at z = 0.10 pushing down) left the
// arm: joint 2 pressed against the stop that keeps the linkage from folding.
// A step clamped at a stop was bent off its way, so some forces up to 3 N then
// moved the arm nowhere and some moved it against themselves, for every later
// client, until the simulator was restarted.
TEST_F(SimTalon, ArmAtAStopMovesForLaterClients) {
    Simulator sim({"talon"});
    const std::string path = sim.path();
    const Vec3 pastTheStop = {0.0, -55.87, -60.0};
    for (const Vec3& direction : std::vector<Vec3>{{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1},
                                                   {1, 1, 1}, {1, 1, -1}, {1, -1, 1}, {1, -1, -1}, {-1, 1, 1},
                                                   {-1, 1, -1}, {-1, -1, 1}, {-1, -1, -1}}) {
        Port port(path);
        ASSERT_TRUE(port.isOpen());
        const Vec3 held = holdJoints(port, pastTheStop);
        ASSERT_NEAR(held[1] - held[2], 15.0, 1e-3);  // at the stop
        const Push push = pushWith(port, (3.0 / norm(direction)) * direction, milliseconds(200));
        const std::string d = std::to_string(direction[0]) + " " + std::to_string(direction[1]) + " " +
                              std::to_string(direction[2]);
        EXPECT_GE(push.along, 0.001) << d;
        EXPECT_GE(push.least, -0.0005) << d;
    }
}

// Joint 1 at its stop and a force of -2.9 N along z with a little along x:
// the arm climbed, half a metre at worst.
TEST_F(SimTalon, ArmNeverClimbsAgainstTheForceAtAStop) {
    Simulator sim({"talon"});
    Port port(sim.path());
    const Vec3 held = holdJoints(port, {0.0, 5.0, -60.0});
    ASSERT_NEAR(held[1], 0.0, 1e-3);
    const Vec3 force = {0.5, 0.0, -2.9};
    const Push push = pushWith(port, force, milliseconds(300));
    EXPECT_LE(push.end[2] - push.start[2], 0.0005);
    EXPECT_GE(push.least, -0.0005);
    EXPECT_GE(push.along, 0.001);
}

TEST_F(SimTalon, RequestsMayArriveSplitOrBatched) {
    Simulator sim({"talon", "--close-after", "3"});
    Port port(sim.path());
    const Bytes force = vectorRequest(42, 0, 0, 0);
    port.send(Bytes(force.begin(), force.begin() + 5));
    std::this_thread::sleep_for(milliseconds(50));
    port.send(Bytes(force.begin() + 5, force.end()));
    const Bytes state = port.read(25);
    ASSERT_EQ(state.size(), 25u);
    EXPECT_EQ(state[0], 43);

    port.send({0x0A, 172});
    const Bytes both = port.read(24);
    ASSERT_EQ(both.size(), 24u);
    EXPECT_EQ(both[0], 11);
    EXPECT_EQ(both[22], 172);
    EXPECT_TRUE(port.readUntilHangup().empty());
}

TEST_F(SimTalon, ClientCanReconnect) {
    Simulator sim({"talon"});
    const std::string path = sim.path();
    {
        Port first(path);
        EXPECT_EQ(first.exchange({172}, 2), (Bytes{172, 1}));
    }
    Port second(path);
    EXPECT_EQ(second.exchange({172}, 2), (Bytes{172, 1}));
}

// --- The scripted hand ----------------------------------------------------------

State forceExchange(Port& port, const Vec3& force) {
    std::this_thread::sleep_for(kPace);
    return decodeState(port.exchange(vectorRequest(42, float(force[0]), float(force[1]), float(force[2])), 25));
}

TEST_F(SimTalon, HandPushMovesTheArmWithoutACommandedForce) {
    Simulator sim({"talon", "--hand", "push:0,0.5,0"});
    Port port(sim.path());
    // The hand's force adds to the commanded one: an equal and opposite command holds the arm.
    const Vec3 start = forceExchange(port, {0, -0.5, 0}).first;
    for (int i = 0; i < 300; ++i) forceExchange(port, {0, -0.5, 0});
    EXPECT_LT(distance(forceExchange(port, {0, -0.5, 0}).first, start), 1e-4);

    const auto deadline = Clock::now() + kSettleDeadline;
    State effector{};
    do {
        effector = forceExchange(port, {0, 0, 0});
    } while (effector.first[1] - start[1] < 0.01 && Clock::now() < deadline);
    const double dy = effector.first[1] - start[1];
    EXPECT_GE(dy, 0.01);
    EXPECT_LT(std::fabs(effector.first[0] - start[0]), dy / 2);
    EXPECT_LT(std::fabs(effector.first[2] - start[2]), dy / 2);
    EXPECT_GT(effector.second[1], 0.0);
}

TEST_F(SimTalon, HandPushesInJointDrivesToo) {
    Simulator sim({"talon", "--hand", "push:0,0,-0.5"});
    Port port(sim.path());
    const Bytes noTorque = vectorRequest(26, 0, 0, 0);
    const Vec3 start = hostPosition(decodeState(port.exchange(noTorque, 25)).first);
    const auto deadline = Clock::now() + kSettleDeadline;
    Vec3 now = start;
    while (start[2] - now[2] < 0.01 && Clock::now() < deadline) {
        std::this_thread::sleep_for(kPace);
        now = hostPosition(decodeState(port.exchange(noTorque, 25)).first);
    }
    const double dz = start[2] - now[2];
    EXPECT_GE(dz, 0.01);
    EXPECT_LT(std::fabs(now[0] - start[0]), dz / 2);
    EXPECT_LT(std::fabs(now[1] - start[1]), dz / 2);
}

// Without a target the spring holds the arm at its rest pose: a commanded
// force moves it by force / stiffness, and it comes back when let go.
TEST_F(SimTalon, SpringHandWithoutATargetHoldsTheRestPose) {
    Simulator sim({"talon", "--hand", "spring:100,5"});
    Port port(sim.path());
    const Vec3 rest = forceExchange(port, {0, 0, 0}).first;
    auto settle = [&](const Vec3& force) {
        const auto deadline = Clock::now() + kSettleDeadline;
        State effector{};
        for (int still = 0; still < 100 && Clock::now() < deadline;) {
            effector = forceExchange(port, force);
            still = norm(effector.second) < 1e-4 ? still + 1 : 0;
        }
        return effector.first;
    };
    const Vec3 held = settle({0, 0, 1});
    EXPECT_NEAR(held[2] - rest[2], 0.01, 2e-4);
    EXPECT_LT(std::hypot(held[0] - rest[0], held[1] - rest[1]), 2e-4);
    EXPECT_LT(distance(settle({0, 0, 0}), rest), 2e-4);
}

// Each request advances the arm by at least the pause before it, so this many
// paced requests let the hand's spring settle onto its target's path.
constexpr int kSettleRequests = 800;
constexpr double kPi = 3.14159265358979323846;

TEST_F(SimTalon, SpringHandFollowsACircle) {
    const Vec3 centre = {-0.22, 0.0245, 0.19};
    const double radius = 0.04;
    Simulator sim({"talon", "--hand", "spring:200,5", "--target", "circle:-0.22,0.0245,0.19:0.04:1"});
    Port port(sim.path());
    for (int i = 0; i < kSettleRequests; ++i) forceExchange(port, {0, 0, 0});

    // Once round, right-handed about z, on the circle all the way.
    const auto deadline = Clock::now() + kSettleDeadline;
    double last = 0, swept = 0, worstRadius = 0, worstHeight = 0;
    for (bool first = true; swept < 2 * kPi && Clock::now() < deadline; first = false) {
        const Vec3 p = forceExchange(port, {0, 0, 0}).first;
        const double angle = std::atan2(p[1] - centre[1], p[0] - centre[0]);
        if (!first) swept += std::remainder(angle - last, 2 * kPi);
        last = angle;
        worstRadius = std::max(worstRadius, std::fabs(std::hypot(p[0] - centre[0], p[1] - centre[1]) - radius));
        worstHeight = std::max(worstHeight, std::fabs(p[2] - centre[2]));
    }
    EXPECT_GE(swept, 2 * kPi);
    EXPECT_LT(worstRadius, 0.003);
    EXPECT_LT(worstHeight, 0.003);
}

TEST_F(SimTalon, SpringHandFollowsALine) {
    const Vec3 a = {-0.25, -0.03, 0.17}, b = {-0.20, 0.05, 0.22};
    Simulator sim({"talon", "--hand", "spring:200,5", "--target", "line:-0.25,-0.03,0.17:-0.20,0.05,0.22:1"});
    Port port(sim.path());
    for (int i = 0; i < kSettleRequests; ++i) forceExchange(port, {0, 0, 0});

    // To both ends, and never off the line.
    const Vec3 unit = (1.0 / distance(a, b)) * (b - a);
    const auto deadline = Clock::now() + kSettleDeadline;
    double nearestA = 1, nearestB = 1, worstOff = 0;
    while ((nearestA > 0.003 || nearestB > 0.003) && Clock::now() < deadline) {
        const Vec3 p = forceExchange(port, {0, 0, 0}).first;
        nearestA = std::min(nearestA, distance(p, a));
        nearestB = std::min(nearestB, distance(p, b));
        const Vec3 off = (p - a) - dot(p - a, unit) * unit;
        worstOff = std::max(worstOff, norm(off));
    }
    EXPECT_LT(nearestA, 0.003);
    EXPECT_LT(nearestB, 0.003);
    EXPECT_LT(worstOff, 0.003);
}

// What the demo does: the host renders a wall, the hand leans on it.
TEST_F(SimTalon, HandPushingIntoAWallSettlesAtTheWall) {
    constexpr double kStiffness = 500, kDamping = 2, kPush = 0.5;
    Simulator sim({"talon", "--hand", "push:0,0.5,0"});
    Port port(sim.path());
    State effector = forceExchange(port, {0, 0, 0});
    const double wall = effector.first[1] + 0.02;  // pushes towards -y beyond it

    const auto deadline = Clock::now() + kSettleDeadline;
    int still = 0;
    bool reached = false;
    while (still < 200 && Clock::now() < deadline) {
        const double depth = effector.first[1] - wall;
        const double push = depth > 0 ? std::max(0.0, kStiffness * depth + kDamping * effector.second[1]) : 0.0;
        effector = forceExchange(port, {0, -push, 0});
        reached = reached || depth > 0;
        still = reached && norm(effector.second) < 1e-4 ? still + 1 : 0;
    }
    ASSERT_EQ(still, 200);
    EXPECT_NEAR(effector.first[1] - wall, kPush / kStiffness, 1e-4);
}

// --- Handle ------------------------------------------------------------------

TEST_F(SimHandle, WakeupAnswersHandleInfo) {
    Simulator sim({"handle", "--close-after", "1"});
    Port port(sim.path());
    const Bytes info = port.exchange({0x0A}, 7);
    ASSERT_EQ(info.size(), 7u);
    EXPECT_EQ(info[0], 0xD0);
    EXPECT_NE(info[2] | (info[3] << 8), 0);  // device id
    EXPECT_NE(info[4], 4);                   // not a Talon's model number
    EXPECT_TRUE(port.readUntilHangup().empty());
}

TEST_F(SimHandle, DeviceIdComesFromTheCommandLine) {
    {
        Simulator sim({"handle", "--id", "300"});
        Port port(sim.path());
        const Bytes info = port.exchange({0x0A}, 7);
        ASSERT_EQ(info.size(), 7u);
        EXPECT_EQ(info[2] | (info[3] << 8), 300);
    }
    Simulator sim({"handle", "--id", "300", "--stream", "100"});
    Port port(sim.path());
    const Bytes frame = port.read(20);  // streamed frames carry the low byte
    ASSERT_EQ(frame.size(), 20u);
    EXPECT_EQ(unstuff(Bytes(frame.begin() + 1, frame.end()))[4], 300 & 0xFF);
}

TEST_F(SimHandle, CountedStreamEndsAfterItsFrames) {
    Simulator sim({"handle", "--stream", "1000", "--frames", "25"});
    Port port(sim.path());
    const Bytes frames = port.read(25 * 20);
    ASSERT_EQ(frames.size(), 25u * 20u);
    EXPECT_TRUE(port.read(1, milliseconds(200)).empty());  // nothing after the last
    EXPECT_EQ(port.exchange({0x0A}, 7).size(), 7u);  // still answering
}

TEST_F(SimHandle, StatusMessageCarriesLastHandleState) {
    Simulator sim({"handle", "--close-after", "4"});
    Port port(sim.path());

    const Bytes plain = port.exchange({0xDA}, 22);
    ASSERT_EQ(plain.size(), 22u);
    EXPECT_EQ(plain[0], 0xDA);
    EXPECT_EQ(plain[21], 0);  // no user data yet
    double norm = 0;
    for (std::size_t i = 0; i < 4; ++i) norm += std::pow(f32(plain, 5 + 4 * i), 2);
    EXPECT_NEAR(norm, 1.0, 1e-4);
    EXPECT_LE(plain[4], 31);  // hall sensor level

    // Handle state has no reply; its data comes back with the next status, even when split.
    port.send({0xDB, 0x07, 0x01});
    std::this_thread::sleep_for(milliseconds(50));
    port.send({0x02, 0xAA, 0xBB});
    port.send({0xDB, 0x07, 0x01, 0x02, 0xAA, 0xBB});
    const Bytes withData = port.exchange({0xDA}, 24);
    ASSERT_EQ(withData.size(), 24u);
    EXPECT_EQ(withData[0], 0xDA);
    EXPECT_EQ(Bytes(withData.begin() + 1, withData.begin() + 3), Bytes(plain.begin() + 1, plain.begin() + 3));
    EXPECT_EQ(withData[21], 2);
    EXPECT_EQ(withData[22], 0xAA);
    EXPECT_EQ(withData[23], 0xBB);
    EXPECT_TRUE(port.readUntilHangup().empty());
}

TEST_F(SimHandle, StreamedFramesUnstuffToEighteenBytes) {
    Simulator sim({"handle", "--stream", "1000"});
    Port port(sim.path());
    // More frames than the spare counter byte has values, so escaped frames must be among them.
    constexpr int kFrames = 300;
    int escaped = 0;
    int deviceId = -1;
    for (int f = 0; f < kFrames; ++f) {
        const Bytes frame = port.read(20);
        ASSERT_EQ(frame.size(), 20u) << "frame " << f;
        ASSERT_EQ(frame[0], 0xDA) << "frame " << f;
        const Bytes wire(frame.begin() + 1, frame.end());
        const Bytes data = unstuff(wire);
        ASSERT_EQ(data.size(), 18u) << "frame " << f;
        if (wire[17] == 0xDB) ++escaped;

        if (deviceId < 0) deviceId = data[4];
        EXPECT_EQ(data[4], deviceId);
        EXPECT_LE(data[3] >> 5, 7);
        double norm = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            const int raw = data[8 + 2 * i] | (data[9 + 2 * i] << 8);
            norm += std::pow((raw > 32767 ? raw - 65536 : raw) / 32768.0, 2);
        }
        EXPECT_NEAR(norm, 1.0, 0.02);
        const double battery = 3.0 + data[16] * 0.005;
        EXPECT_GE(battery, 3.0);
        EXPECT_LE(battery, 4.275);
    }
    EXPECT_GE(escaped, 1);
}

// --- Faults ------------------------------------------------------------------

TEST_F(SimFaults, SilentReadsButNeverAnswers) {
    Simulator sim({"talon", "--silent", "--close-after", "2"});
    Port port(sim.path());
    port.send({0x0A});
    port.send(vectorRequest(42, 0, 0, 0));
    EXPECT_TRUE(port.readUntilHangup().empty());
    EXPECT_EQ(sim.waitForExit(), 0);
}

TEST_F(SimFaults, WrongCodeKeepsPayload) {
    Simulator sim({"talon", "--wrong-code", "--close-after", "2"});
    Port port(sim.path());
    port.send({0x0A});
    port.send(vectorRequest(26, 0, 0, 0));
    const Bytes replies = port.readUntilHangup();
    ASSERT_EQ(replies.size(), 22u + 25u);
    const std::uint8_t talonReplies[] = {11, 12, 13, 27, 43, 170, 171, 172};
    for (std::uint8_t code : talonReplies) {
        EXPECT_NE(replies[0], code);
        EXPECT_NE(replies[22], code);
    }
    EXPECT_EQ(Bytes(replies.begin() + 1, replies.begin() + 6), (Bytes{0x02, 0x01, 4, 1, 8}));
}

TEST_F(SimFaults, ShortCutsEveryReply) {
    Simulator sim({"talon", "--short", "7", "--close-after", "2"});
    Port port(sim.path());
    port.send(vectorRequest(42, 0, 0, 0));
    port.send({0x0A});
    const Bytes replies = port.readUntilHangup();
    ASSERT_EQ(replies.size(), 14u);
    EXPECT_EQ(replies[0], 43);
    EXPECT_EQ(replies[7], 11);
}

TEST_F(SimFaults, CloseAfterAnswersThenHangsUp) {
    Simulator sim({"handle", "--close-after", "2"});
    const std::string path = sim.path();
    Port port(path);
    EXPECT_EQ(port.exchange({0x0A}, 7).size(), 7u);
    port.send({0xDA});
    const Bytes rest = port.readUntilHangup();
    EXPECT_EQ(rest.size(), 22u);
    EXPECT_EQ(sim.waitForExit(), 0);
}

TEST_F(SimFaults, DelayHoldsTheReply) {
    Simulator sim({"talon", "--delay", "300"});
    Port port(sim.path());
    const auto sent = Clock::now();
    const Bytes reply = port.exchange({172}, 2);
    const auto elapsed = Clock::now() - sent;
    EXPECT_EQ(reply, (Bytes{172, 1}));
    EXPECT_GE(elapsed, milliseconds(300));
}

// --- Process -----------------------------------------------------------------

std::string tempLinkPath(const char* name) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/" + name + "-" + std::to_string(getpid());
}

std::string linkTarget(const std::string& link) {
    char target[256] = {};
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

// The 16 identifier bytes of the arm behind `path`.
Bytes identifierAt(const std::string& path) {
    Port port(path);
    const Bytes info = port.exchange({0x0A}, 22);
    return info.size() == 22u ? Bytes(info.begin() + 6, info.end()) : Bytes();
}

const char* const kOtherId = "0f0e0d0c-0b0a-0908-0706-050403020100";
const Bytes kOtherIdBytes = {15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0};

std::string fileText(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A test judges a program by what the arm was sent: each force and joint
// torque is in the log, in order, by the time its reply has come.
TEST_F(SimProcess, ForceLogHoldsEachForceBeforeItsReply) {
    const std::string log = tempLinkPath("vantor-sim-forces");
    unlink(log.c_str());
    Simulator sim({"talon", "--force-log", log});
    Port port(sim.path());
    port.exchange(vectorRequest(42, 0.5f, -1.25f, 3), 25);
    EXPECT_EQ(fileText(log), "force 0.5 -1.25 3\n");
    port.exchange(vectorRequest(26, 0.125f, 0, 0), 25);
    port.exchange(vectorRequest(44, -0.25f, 0.05f, 0.15f), 25);  // a position, not a force
    port.exchange(vectorRequest(28, 0, -60, -120), 25);           // angles, not torques
    port.exchange(vectorRequest(42, 0, 0, 0), 25);
    EXPECT_EQ(fileText(log), "force 0.5 -1.25 3\ntorque 0.125 0 0\nforce 0 0 0\n");
    unlink(log.c_str());
}

TEST_F(SimProcess, LinkFollowsTheTerminalAndGoesOnTerm) {
    const std::string link = tempLinkPath("vantor-sim-link");
    unlink(link.c_str());
    ASSERT_EQ(symlink("/nonexistent/stale", link.c_str()), 0);  // a stale link is replaced

    Simulator sim({"talon", "--link", link});
    const std::string path = sim.path();
    ASSERT_FALSE(path.empty());
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), path);
    {
        Port port(link);
        EXPECT_EQ(port.exchange({172}, 2), (Bytes{172, 1}));
    }

    sim.signal(SIGTERM);
    EXPECT_EQ(sim.waitForExit(), 0);
    struct stat st {};
    EXPECT_NE(lstat(link.c_str(), &st), 0);
    EXPECT_EQ(sim.restOfStdout(), "");  // quiet after the path line
    unlink(link.c_str());
}

// An arm unplugged by a kill and plugged in again by a new run on the same link.
TEST_F(SimProcess, RunAfterAKillTakesOverTheLink) {
    const std::string link = tempLinkPath("vantor-sim-replug");
    unlink(link.c_str());
    {
        Simulator first({"talon", "--link", link});
        const std::string path = first.path();
        ASSERT_FALSE(path.empty());
        EXPECT_EQ(identifierAt(link).size(), 16u);
        first.signal(SIGKILL);
        EXPECT_EQ(first.waitForExit(), -1);
        EXPECT_EQ(linkTarget(link), path);  // left behind
    }

    Simulator second({"talon", "--link", link, "--id", kOtherId});
    const std::string path = second.path();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(linkTarget(link), path);
    EXPECT_EQ(identifierAt(link), kOtherIdBytes);

    // Nothing is left beside the link from making it.
    const std::string dir = link.substr(0, link.rfind('/'));
    const std::string prefix = link.substr(link.rfind('/') + 1) + ".";
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* entry = readdir(d)) EXPECT_NE(std::string(entry->d_name).rfind(prefix, 0), 0u) << entry->d_name;
        closedir(d);
    }

    second.signal(SIGTERM);
    EXPECT_EQ(second.waitForExit(), 0);
    struct stat st {};
    EXPECT_NE(lstat(link.c_str(), &st), 0);
}

// A new run started before the old one ended: the old one's exit leaves the link alone.
TEST_F(SimProcess, ExitKeepsALinkAnotherRunTookOver) {
    const std::string link = tempLinkPath("vantor-sim-overlap");
    unlink(link.c_str());
    Simulator first({"talon", "--link", link});
    ASSERT_FALSE(first.path().empty());
    Simulator second({"talon", "--link", link, "--id", kOtherId});
    const std::string path = second.path();
    ASSERT_FALSE(path.empty());

    first.signal(SIGTERM);
    EXPECT_EQ(first.waitForExit(), 0);
    EXPECT_EQ(linkTarget(link), path);
    EXPECT_EQ(identifierAt(link), kOtherIdBytes);
    second.signal(SIGTERM);
    EXPECT_EQ(second.waitForExit(), 0);
    unlink(link.c_str());
}

TEST_F(SimProcess, LinkNeverReplacesAFileOrFolder) {
    const std::string file = tempLinkPath("vantor-sim-file");
    const std::string folder = tempLinkPath("vantor-sim-folder");
    unlink(file.c_str());
    rmdir(folder.c_str());
    {
        const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, "keep", 4), 4);
        close(fd);
    }
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);

    for (const std::string& path : {file, folder}) {
        Simulator sim({"talon", "--link", path}, true);
        EXPECT_EQ(sim.path(), "") << path;
        EXPECT_EQ(sim.waitForExit(), 1) << path;
    }
    struct stat st {};
    ASSERT_EQ(lstat(file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_size, 4);
    ASSERT_EQ(lstat(folder.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    unlink(file.c_str());
    rmdir(folder.c_str());
}

TEST_F(SimProcess, EndOfInputEndsTheSimulator) {
    Simulator sim({"handle", "--stream", "50"});
    ASSERT_FALSE(sim.path().empty());
    sim.closeStdin();
    EXPECT_EQ(sim.waitForExit(), 0);
}

TEST_F(SimProcess, InterruptEndsTheSimulator) {
    Simulator sim({"talon"});
    ASSERT_FALSE(sim.path().empty());
    sim.signal(SIGINT);
    EXPECT_EQ(sim.waitForExit(), 0);
}

TEST_F(SimProcess, RejectsBadCommandLines) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {}, {"robot"}, {"talon", "--stream", "10"}, {"handle", "--stream", "0"}, {"talon", "--close-after", "0"},
             {"talon", "--delay"}, {"talon", "--bogus"}, {"talon", "--id", "00112233-4455-6677-8899-aabbccddeef"},
             {"talon", "--id", "00112233445566778899aabbccddeeff0"}, {"talon", "--id", "0011223-34455-6677-8899-aabbccddeeff"},
             {"talon", "--id", "00112233445566778899aabbccddeefg"}, {"talon", "--id="},
             {"handle", "--id", "00112233445566778899aabbccddeeff"}, {"handle", "--id", "65536"},
             {"handle", "--id", "192"}, {"handle", "--id", "-1"}, {"handle", "--frames", "5"},
             {"handle", "--stream", "10", "--frames", "0"},
             // Every number has a range: past it a value would overflow a deadline or a count.
             {"talon", "--delay", "9223372036854"}, {"talon", "--delay", "60001"}, {"talon", "--delay", "-1"},
             {"talon", "--short", "1001"}, {"talon", "--close-after", "1000000001"},
             {"handle", "--stream", "10", "--frames", "99999999999999999999"}, {"handle", "--stream", "10001"},
             {"handle", "--force-log", "/tmp/forces"}, {"talon", "--force-log="},
             // The hand: malformed, out of range, or where it does not belong.
             {"talon", "--hand"}, {"talon", "--hand", "push:0,0.5"}, {"talon", "--hand", "push:0,0.5,0,1"},
             {"talon", "--hand", "push:0,x,0"}, {"talon", "--hand", "push:nan,0,0"}, {"talon", "--hand", "push:0,0,101"},
             {"talon", "--hand", "spring:200"}, {"talon", "--hand", "spring:-1,5"}, {"talon", "--hand", "spring:200,-5"},
             {"talon", "--hand", "spring:0,0"}, {"talon", "--hand", "spring:20000,5"}, {"talon", "--hand", "pull:1,2,3"},
             {"talon", "--hand", "push:0,0,1", "--hand", "push:0,0,1"}, {"handle", "--hand", "push:0,0,1"},
             {"talon", "--target", "point:0,0,0.2"}, {"talon", "--hand", "push:0,0,1", "--target", "point:0,0,0.2"},
             {"talon", "--hand", "spring:200,5", "--target", "point:0,0"},
             {"talon", "--hand", "spring:200,5", "--target", "point:0,0,200"},
             {"talon", "--hand", "spring:200,5", "--target", "line:0,0,0.2:0,0.1,0.2"},
             {"talon", "--hand", "spring:200,5", "--target", "line:0,0,0.2:0,0,0.2:1"},
             {"talon", "--hand", "spring:200,5", "--target", "line:0,0,0.2:0,0.1,0.2:0.05"},
             {"talon", "--hand", "spring:200,5", "--target", "line:0,0,0.2:0,0.1,0.2:inf"},
             {"talon", "--hand", "spring:200,5", "--target", "line:0,0,0.2:0,0.1,0.2:3601"},
             {"talon", "--hand", "spring:200,5", "--target", "circle:0,0,0.2:0:1"},
             {"talon", "--hand", "spring:200,5", "--target", "circle:0,0,0.2:0.05:1:0,0,0"},
             {"talon", "--hand", "spring:200,5", "--target", "circle:0,0,0.2:0.05:1:0,0,1:2"},
             {"talon", "--hand", "spring:200,5", "--target", "spiral:0,0,0.2"}}) {
        Simulator sim(args, true);
        EXPECT_EQ(sim.path(), "");
        EXPECT_EQ(sim.waitForExit(), 2);
    }
}

}  // namespace
