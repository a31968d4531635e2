#include "Options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace sim {
namespace {

constexpr char kDefaultIdentifier[] = "5a1f3c07-9e42-4b8d-a610-c3772ed501f4";

}  // namespace

std::string usage() {
    return std::string(
               "usage: vantor-sim talon|handle [options]\n"
               "  Serves a simulated device on a new pseudo-terminal and prints its path.\n"
               "  --id UUID         talon: the arm's 16-byte identifier, 32 hex digits with or\n"
               "                    without the 8-4-4-4-12 dashes\n"
               "                    (default ") +
           kDefaultIdentifier +
           ")\n"
           "                    handle: the grip's device id, 0 to 65535 (default 263); its\n"
           "                    low byte may not be 192 or 219, the frames' markers\n"
           "  --link PATH       also make PATH a symbolic link to the terminal. A link\n"
           "                    already there, say from a killed run, is replaced; any\n"
           "                    other file is refused. On exit the link is removed if it\n"
           "                    still leads to this terminal\n"
           "  --hand HAND       talon: a user's hand on the arm, whose force adds to the\n"
           "                    commanded one in every drive, so that an effect can be\n"
           "                    pushed against without a force of its own:\n"
           "                      push:FX,FY,FZ  a steady force in N, at most 100 N\n"
           "                      spring:K,B     a spring of K N/m (0 to 10000) and a damper\n"
           "                                     of B N s/m (0 to 200, on the velocity\n"
           "                                     relative to the target's) pulling the end\n"
           "                                     effector towards --target\n"
           "  --target PATH     with --hand spring: where it pulls, in metres, each\n"
           "                    coordinate within 1 m (default: the rest position). A\n"
           "                    PERIOD is in seconds, 0.1 to 3600:\n"
           "                      point:X,Y,Z\n"
           "                      line:X0,Y0,Z0:X1,Y1,Z1:PERIOD\n"
           "                                     from the first end to the second and\n"
           "                                     back once a period, easing at the ends\n"
           "                      circle:CX,CY,CZ:R:PERIOD[:NX,NY,NZ]\n"
           "                                     once round a period, right-handed about\n"
           "                                     the normal (default 0,0,1: from +x\n"
           "                                     towards +y), starting on the +x side\n"
           "                                     (the +y side for a normal along x)\n"
           "                    The hand keeps the arm's time, which runs only while\n"
           "                    control requests come\n"
           "  --force-log PATH  talon: write every force (N) and joint torque (N m) the arm\n"
           "                    is sent to PATH, one request a line, \"force FX FY FZ\" or\n"
           "                    \"torque T0 T1 T2\", before its reply goes out\n"
           "  --stream HZ       handle: send compact status frames at HZ per second, above\n"
           "                    0 and at most 10000\n"
           "  --frames N        with --stream: stop streaming after N frames (for counting),\n"
           "                    1 to 1000000000\n"
           "  --silent          read requests, answer nothing\n"
           "  --delay MS        answer MS milliseconds after each request, 0 to 60000\n"
           "  --wrong-code      answer with another header code, same payload length\n"
           "  --short N         send only the first N bytes of each reply, 0 to 1000\n"
           "  --close-after N   answer N requests, then hang up and exit once the client\n"
           "                    has read the last reply (waiting at most 3 s for it);\n"
           "                    1 to 1000000000\n"
           "  --verbose         log requests and replies to standard error\n"
           "\n"
           "The simulated arm, in the frame of the library's forward kinematics, in\n"
           "metres: z runs along the base joint's axis, from the origin towards the\n"
           "shoulder, where both proximal links turn; the shoulder is 0.186 m along z,\n"
           "at (0, 0.0245, 0.186) at base angle 0, where the linkage lies in the plane\n"
           "y = 0.0245 and reaches towards -x.\n"
           "  rest pose   joint angles 0, -60, -120 deg; end effector at\n"
           "              (-0.2707, 0.0245, 0.1864) m\n"
           "  joints      base -75 to 75 deg (positive turns from -x towards -y);\n"
           "              joint 1 -165 to 0 deg; joint 2 -180 to -15 deg; joint 1 minus\n"
           "              joint 2 from 15 to 150 deg\n"
           "  reach       the linkage's plane turned up to 75 deg either way about z;\n"
           "              in it, 0.131 to 0.303 m from the shoulder, up to 82.5 deg\n"
           "              above or below it, widest at the shoulder's height. Within\n"
           "              x -0.304 to 0.013, y -0.286 to 0.299, z -0.113 to 0.487 m\n"
           "  dynamics    force and position requests: the end effector is a 0.2 kg\n"
           "              mass with 2 N s/m of viscous damping; a position request\n"
           "              pulls it with 2000 N/m and 40 N s/m. Joint torque and angle\n"
           "              requests: each joint a rotor of 0.005 kg m^2 with 0.05 N m s/rad\n"
           "              of damping; an angle request pulls it with 50 N m/rad and\n"
           "              1 N m s/rad. A stop takes all the motion into it and leaves\n"
           "              the motion along it. No gravity. The arm moves when a control\n"
           "              request comes, by the time since the last one, at most 10 ms\n";
}

Identifier defaultIdentifier() {
    Identifier id{};
    parseIdentifier(kDefaultIdentifier, id);
    return id;
}

bool parseIdentifier(const std::string& text, Identifier& id) {
    std::string digits;
    if (text.size() == 36) {
        for (std::size_t i = 0; i < text.size(); ++i) {
            const bool dashHere = i == 8 || i == 13 || i == 18 || i == 23;
            if ((text[i] == '-') != dashHere) return false;
            if (!dashHere) digits += text[i];
        }
    } else if (text.size() == 32) {
        digits = text;
    } else {
        return false;
    }
    Identifier parsed{};
    for (std::size_t i = 0; i < parsed.size(); ++i) {
        int byte = 0;
        for (char c : {digits[2 * i], digits[2 * i + 1]}) {
            int value;
            if (c >= '0' && c <= '9')
                value = c - '0';
            else if (c >= 'a' && c <= 'f')
                value = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                value = c - 'A' + 10;
            else
                return false;
            byte = byte * 16 + value;
        }
        parsed[i] = static_cast<std::uint8_t>(byte);
    }
    id = parsed;
    return true;
}

namespace {

// Every number option has a range, so that a slip (a value in the wrong
// unit, a digit too many) is refused here rather than overflowing later.
struct Range {
    long minimum, maximum;
    const char* what;  // the error's text, range included
};
constexpr Range kDelayRange{0, 60000, "a whole number of milliseconds, 0 to 60000"};
constexpr Range kShortRange{0, 1000, "a whole number of bytes, 0 to 1000"};
constexpr Range kCountRange{1, 1000000000, "a whole number, 1 to 1000000000"};
constexpr Range kGripIdRange{0, 0xFFFF, "a whole number, 0 to 65535, whose low byte is not 192 or 219"};

bool parseLong(const std::string& text, const Range& range, long& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < range.minimum || parsed > range.maximum) return false;
    value = parsed;
    return true;
}

// The compact frames carry the id's low byte unstuffed: it must not be a frame marker.
bool validGripId(long id) { return (id & 0xFF) != 0xC0 && (id & 0xFF) != 0xDB; }

bool parseRate(const std::string& text, double& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const double parsed = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(parsed) || parsed <= 0.0 || parsed > 10000.0) return false;
    value = parsed;
    return true;
}

}  // namespace

bool parseOptions(int argc, char** argv, Options& options, std::string& error) {
    if (argc < 2) {
        error = "missing device kind";
        return false;
    }
    const std::string kind = argv[1];
    if (kind == "talon") {
        options.kind = DeviceKind::Talon;
    } else if (kind == "handle") {
        options.kind = DeviceKind::Handle;
    } else {
        error = "unknown device kind '" + kind + "'";
        return false;
    }

    bool handGiven = false, targetGiven = false;
    for (int i = 2; i < argc; ++i) {
        std::string name = argv[i];
        std::string value;
        bool hasValue = false;
        if (const auto eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
            hasValue = true;
        }
        const bool wantsValue = name == "--id" || name == "--link" || name == "--force-log" || name == "--stream" || name == "--frames" ||
                                name == "--delay" || name == "--short" || name == "--close-after" ||
                                name == "--hand" || name == "--target";
        if (wantsValue && !hasValue) {
            if (i + 1 >= argc) {
                error = name + " needs a value";
                return false;
            }
            value = argv[++i];
        } else if (!wantsValue && hasValue) {
            error = name + " takes no value";
            return false;
        }

        bool ok = true;
        std::string why;  // what is wrong with a hand or a target
        if (name == "--hand") {
            if (handGiven) {
                error = "--hand given twice: the arm has one hand";
                return false;
            }
            handGiven = true;
            ok = parseHand(value, options.hand, why);
        } else if (name == "--target") {
            if (targetGiven) {
                error = "--target given twice: the hand has one";
                return false;
            }
            targetGiven = true;
            ok = parseTarget(value, options.hand.target, why);
        } else if (name == "--id") {
            long gripId = 0;
            ok = options.kind == DeviceKind::Talon ? parseIdentifier(value, options.id)
                                                   : parseLong(value, kGripIdRange, gripId) && validGripId(gripId);
            if (!ok) why = options.kind == DeviceKind::Talon ? "32 hex digits, with or without the 8-4-4-4-12 dashes"
                                                             : kGripIdRange.what;
            if (ok && options.kind == DeviceKind::Handle) options.gripId = static_cast<std::uint16_t>(gripId);
        } else if (name == "--link") {
            options.linkPath = value;
            ok = !value.empty();
        } else if (name == "--force-log") {
            options.forceLogPath = value;
            ok = !value.empty();
        } else if (name == "--stream") {
            ok = parseRate(value, options.streamHz);
            if (!ok) why = "a number of frames a second, above 0 and at most 10000";
        } else if (name == "--frames") {
            ok = parseLong(value, kCountRange, options.frames);
            if (!ok) why = kCountRange.what;
        } else if (name == "--delay") {
            ok = parseLong(value, kDelayRange, options.delayMs);
            if (!ok) why = kDelayRange.what;
        } else if (name == "--short") {
            ok = parseLong(value, kShortRange, options.shortLength);
            if (!ok) why = kShortRange.what;
        } else if (name == "--close-after") {
            ok = parseLong(value, kCountRange, options.closeAfter);
            if (!ok) why = kCountRange.what;
        } else if (name == "--silent") {
            options.silent = true;
        } else if (name == "--wrong-code") {
            options.wrongCode = true;
        } else if (name == "--verbose") {
            options.verbose = true;
        } else {
            error = "unknown option '" + name + "'";
            return false;
        }
        if (!ok) {
            error = "bad value '" + value + "' for " + name + (why.empty() ? "" : ": " + why);
            return false;
        }
    }

    if (options.frames > 0 && options.streamHz <= 0.0) {
        error = "--frames needs --stream";
        return false;
    }
    if (handGiven && options.kind != DeviceKind::Talon) {
        error = "--hand is for the talon only";
        return false;
    }
    if (!options.forceLogPath.empty() && options.kind != DeviceKind::Talon) {
        error = "--force-log is for the talon only";
        return false;
    }
    if (targetGiven && options.hand.grip != Hand::Grip::Spring) {
        error = "--target needs --hand spring:K,B, whose spring pulls towards it";
        return false;
    }
    if (options.streamHz > 0.0 && options.kind != DeviceKind::Handle) {
        error = "--stream is for the handle only";
        return false;
    }
    return true;
}

}  // namespace sim
