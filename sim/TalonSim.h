#pragma once
// The arm's side of the Talon message table.

#include "Arm.h"
#include "ForceLog.h"
#include "Options.h"
#include "SimDevice.h"

namespace sim {

class TalonSim : public SimDevice {
public:
    TalonSim(Clock::time_point start, const Identifier& id, const Hand& hand = {}, const ForceLog* forceLog = nullptr);

    long requestLength(const std::uint8_t* data, std::size_t size) const override;
    void answer(const std::uint8_t* request, std::size_t size, Clock::time_point now, Message& reply) override;

private:
    void control(Drive drive, const std::uint8_t* payload, std::uint8_t replyCode, Clock::time_point now,
                 Message& reply);

    Identifier id_;
    Arm arm_;
    Clock::time_point lastControl_;
    const ForceLog* forceLog_;  // null: none
};

}  // namespace sim
