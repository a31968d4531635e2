#!/usr/bin/env python3
"""Writes the seed corpora under OUT/<target>/: real replies of each code, so
the fuzzer starts from well-formed messages and mutates them. The build runs
it; the C++ suite replays the same seeds."""
import argparse
import pathlib
import shutil
import struct


def floats(*values):
    return struct.pack("<%df" % len(values), *values)


IDENT = bytes(i * 0x11 for i in range(16))

# One reply of each Talon code.
TALON = {
    "0b_device_info": bytes([0x0B, 0x34, 0x12, 4, 7, 9]) + IDENT,
    "0d_d1_device_id": bytes([0x0D, 0xD1, 16]) + IDENT,
    "0d_d2_firmware_version": bytes([0x0D, 0xD2, 16]) + IDENT[::-1],
    "0d_d1_bad_length": bytes([0x0D, 0xD1, 15]) + IDENT,
    "ab_motor_currents": bytes([0xAB]) + floats(0.25, -0.5, 1.5),
    "0c_orientation": bytes([0x0C]) + floats(0.0, 0.7071, 0.0, 0.7071),
    "ac_power_on": bytes([0xAC, 1]),
    "ac_power_off": bytes([0xAC, 0]),
    "aa_temperature": bytes([0xAA]) + floats(36.5),
    "2b_end_effector_state": bytes([0x2B]) + floats(0.1, 0.02, -0.11, 0.0, 0.5, -0.5),
    "1b_joint_state_rest": bytes([0x1B]) + floats(0, 0, 0, 0, 0, 0),
    "1b_joint_state_0_m90_m90": bytes([0x1B]) + floats(0, -90, -90, 0, 0, 0),
    "1b_joint_state_0_m60_m120": bytes([0x1B]) + floats(0, -60, -120, 0, 0, 0),
    "1b_joint_state_30_m45_m135": bytes([0x1B]) + floats(30, -45, -135, 1, 2, 3),
}

# The reply each Talon target expects.
TALON_TARGETS = {
    "talon_device_wakeup": "0b_device_info",
    "talon_get_device_id": "0d_d1_device_id",
    "talon_get_firmware_version": "0d_d2_firmware_version",
    "talon_get_motor_currents": "ab_motor_currents",
    "talon_get_device_orientation": "0c_orientation",
    "talon_get_power_status": "ac_power_on",
    "talon_get_temperature": "aa_temperature",
    "talon_end_effector_force": "2b_end_effector_state",
    "talon_joint_torques": "1b_joint_state_0_m90_m90",
    "talon_host_position": "1b_joint_state_0_m60_m120",
    "talon_adjust_angles": "1b_joint_state_30_m45_m135",
    "talon_receive_state": "2b_end_effector_state",
    "talon_receive_joint_state": "1b_joint_state_30_m45_m135",
    "talon_receive_current": "ab_motor_currents",
}


def status(device_id, user_data):
    return (bytes([0xDA]) + struct.pack("<HBB", device_id, 0, 17) + floats(1.0, 0.0, 0.0, 0.0)
            + bytes([len(user_data)]) + bytes(user_data))


HANDLE_RECEIVE = {
    "d0_handle_info": bytes([0xD0, 0x09, 0x02, 0x01, 0x02, 0x03, 0x04]),
    "df_error_response": bytes([0xDF, 0x05, 0x00, 0x03]),
    "da_status_no_user_data": status(7, b""),
    "da_status_two_bytes": status(258, b"\xaa\xbb"),
    "da_status_255_bytes": status(1, bytes(range(255))),
    "0b_unknown_then_info": bytes([0x0B, 0xD0, 0x09, 0x02, 0x01, 0x02, 0x03, 0x04]),
}

EXAMPLE_FRAME = bytes.fromhex("DA 00 00 00 A5 07 00 00 00 00 40 00 00 00 00 00 00 C8 00 C0")
HANDLE_QUILLON = {
    "da_example_frame": EXAMPLE_FRAME,
    # An escaped END as the last pair completes the 18 bytes.
    "da_escaped_end_at_17": EXAMPLE_FRAME[:18] + bytes([0xDB, 0xDC]),
    # An escaped ESC early unstuffs to 17 bytes: rejected.
    "da_escaped_esc_early": EXAMPLE_FRAME[:6] + bytes([0xDB, 0xDD]) + EXAMPLE_FRAME[8:],
    "da_end_inside": EXAMPLE_FRAME[:5] + bytes([0xC0]) + EXAMPLE_FRAME[6:],
    "da_extremes": bytes([0xDA, 0, 0, 2, 0xFF, 0xFF, 0, 0, 0, 0x00, 0x80, 0xFF, 0x7F, 0, 0, 0, 0, 0xFF, 0, 0]),
    "skipped_codes_first": bytes([0x0B, 0xD0, 0x00]) + EXAMPLE_FRAME,
}


def write(out, target, seeds):
    folder = out / target
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    for name, data in seeds.items():
        (folder / name).write_bytes(data)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("out", type=pathlib.Path, help="folder to hold one seed folder per target")
    out = parser.parse_args().out
    for target, own in TALON_TARGETS.items():
        seeds = dict(TALON)
        seeds["twice_" + own] = TALON[own] * 2
        write(out, target, seeds)
    write(out, "handle_receive", HANDLE_RECEIVE)
    write(out, "handle_quillon_status", HANDLE_QUILLON)


if __name__ == "__main__":
    main()
