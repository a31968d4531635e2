"""The library's [err] lines: the default text on standard error, routed to a
logger, or silenced; and counted for a servo loop's device."""
import logging
import subprocess
import sys
import textwrap

import vantor

# A write to a port that did not open logs one line, at once.
WRITE = """
    import sys, logging, vantor, VantorHardwareAPI as api
    {setup}
    api.Handle(api.SerialStream("/nonexistent/ttyUSB9")).SendDeviceWakeup()
    print("done", flush=True)
"""
LINE = "[err] Library/src/SerialStream.cpp:53> unable to write '1' bytes to stream: [2] No such file or directory"


def run(setup):
    code = textwrap.dedent(WRITE).replace("{setup}", setup)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=30)


def test_default_routed_and_silenced():
    default = run("")
    assert (default.stdout, default.stderr) == ("done\n", LINE + "\n")

    routed = run('logging.basicConfig(stream=sys.stdout, format="%(levelname)s %(name)s %(message)s")\n'
                 'vantor.route_device_log(logging.getLogger("arm"))')
    assert (routed.stdout, routed.stderr) == (f"WARNING arm {LINE}\ndone\n", "")

    silenced = run("vantor.route_device_log(None)")
    assert (silenced.stdout, silenced.stderr) == ("done\n", "")

    restored = run("vantor.route_device_log(None); vantor.restore_device_log()")
    assert restored.stderr == LINE + "\n"


def test_lines_from_another_thread_reach_the_logger(caplog):
    import threading
    import VantorHardwareAPI as api

    logger = logging.getLogger("vantor-test")
    vantor.route_device_log(logger)
    try:
        with caplog.at_level(logging.WARNING, logger="vantor-test"):
            handle = api.Handle(api.SerialStream("/nonexistent/ttyUSB8"))
            thread = threading.Thread(target=handle.SendDeviceWakeup)
            thread.start()
            thread.join()
        # errno is the thread's own: the text up to it is what matters here.
        assert [r.getMessage().split(": [")[0] for r in caplog.records] == [LINE.split(": [")[0]]
        assert caplog.records[0].levelno == logging.WARNING
    finally:
        vantor.restore_device_log()
