"""Real time where permitted: SCHED_FIFO taken when it may be, insisted on or
refused, and a real-time loop that never starves the reply path, even with
the loop's process and the simulated arm on a single core."""
import os

import pytest

import vantor
from conftest import ArmPeer, run_child


def test_realtime_takes_a_bool_or_none(pty_device):
    for value in ("no", 0, 1.0):
        with pytest.raises(TypeError, match="realtime"):
            vantor.ServoLoop(pty_device.path, realtime=value)
    assert vantor.ServoLoop(pty_device.path).__class__  # None, the default, is accepted


# A process that may not have SCHED_FIFO: an unprivileged user, on a
# terminal it was given before it gave up root.
UNPRIVILEGED = """
    import os, resource, sys, time, vantor  # all imported while they can be read
    master, slave = os.openpty()
    path = os.ttyname(slave)
    os.chmod(path, 0o666)
    os.setgid(65534)
    os.setuid(65534)
    resource.setrlimit(resource.RLIMIT_RTPRIO, (0, 0))
    try:
        vantor.ServoLoop(path, realtime=True).start()
        print("started")
    except RuntimeError as e:
        print("refused:", e)
    loop = vantor.ServoLoop(path)  # None: takes it only when it may
    loop.start()
    time.sleep(0.05)
    print("default realtime:", loop.stats()["realtime"])
    loop.stop()
"""


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to become an unprivileged user")
def test_insisting_on_real_time_without_permission_says_why():
    child = run_child(UNPRIVILEGED)
    assert child.returncode == 0, child.stderr
    lines = child.stdout.splitlines()
    assert lines[0].startswith("refused: realtime=True, but SCHED_FIFO cannot be had")
    assert "vantor-doctor" in lines[0]
    assert lines[1] == "default realtime: False"


# The loop's process on CPU 0, the simulated arm on CPU 0 too: a real-time
# loop that spun while it waited for a reply would starve the arm and the
# kernel's work that delivers the reply.
ONE_CORE = """
    import os, sys, time, vantor
    from vantor import effects
    os.sched_setaffinity(0, {0})
    with vantor.ServoLoop(sys.argv[1], rate_hz=1000, realtime=True, exchange_deadline_ms=1000.0) as loop:
        loop.effect = effects.Spring(anchor=(0.0, 0.0, 0.12), stiffness=50.0)
        time.sleep(2.0)
        stats = loop.stats()
    print(stats["realtime"], stats["cycles"], stats["exchange_us"]["max"], loop.fault)
"""


@pytest.mark.skipif(os.geteuid() != 0, reason="SCHED_FIFO needs the permission")
def test_a_real_time_loop_on_one_core_still_runs_at_rate(simulator):
    from vantor.simulator import Simulator

    with Simulator("talon") as arm:
        os.sched_setaffinity(arm.pid, {0})
        child = run_child(ONE_CORE, arm.port)
    assert child.returncode == 0, child.stderr
    realtime, cycles, exchange_max_us, fault = child.stdout.split()
    assert realtime == "True" and fault == "None"
    # About 2000 cycles at 1 kHz; a starved reply path would leave a few.
    assert int(cycles) > 1000
    assert float(exchange_max_us) < 100_000


def test_without_permission_or_with_false_it_runs_without(pty_device):
    peer = ArmPeer(pty_device)
    try:
        with vantor.ServoLoop(pty_device.path, realtime=False) as loop:
            while loop.stats()["cycles"] < 5:
                pass
            assert loop.stats()["realtime"] is False
    finally:
        peer.stopped = True
