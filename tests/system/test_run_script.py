"""scripts/run, as a developer uses it: ports of each run, and SIGTERM to the script alone."""

import json
import os
import re
import signal
import subprocess
import urllib.request

import pytest

from harness import REPO, build_dir, free_port, port_open, wait_for


def test_ports_count_on_every_run_and_sigterm_stops_both(tmp_path):
    if build_dir().resolve() != (REPO / "build").resolve():
        pytest.skip("scripts/run builds into the checkout's build/, not %s" % build_dir())
    for run in (1, 2):
        service_port, sim_port, control_port = free_port(), free_port(), free_port()
        env = dict(os.environ, SERVICE_PORT=str(service_port), SIM_PORT=str(sim_port),
                   SIM_CONTROL_PORT=str(control_port), RUN_DIR=str(tmp_path / "local"))
        with open(tmp_path / ("run-%d.log" % run), "wb") as log:
            script = subprocess.Popen([str(REPO / "scripts" / "run")], cwd=str(REPO), env=env, stdin=subprocess.DEVNULL,
                                      stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
        try:
            wait_for(lambda: port_open(service_port) and port_open(sim_port) and port_open(control_port), 300,
                     interval=0.2, what="run %d: service on %d, simulator on %d" % (run, service_port, sim_port))
            # The service talks to the simulator of this run.
            request = urllib.request.Request("http://127.0.0.1:%d/" % service_port, method="POST",
                                             data=b'{"command": "commandSystem"}')
            with urllib.request.urlopen(request, timeout=30) as response:
                assert json.loads(response.read())["kkmInfoObject"]["serviceStatus"] == 0
            # The engineer's tool of this build takes the code the README gives.
            tool, code = re.search(r"`(build/tests/probe/vaultprobe_test)`, whose\s+access code is `([^`]+)`",
                                   (REPO / "README.md").read_text(encoding="utf-8")).groups()
            probe = subprocess.run([str(REPO / tool), code, "queue"], capture_output=True, text=True, timeout=30,
                                   env=dict(os.environ, TAXVAULT_ROOT=str(tmp_path / "local")))
            assert (probe.returncode, probe.stdout.strip()) == (0, "В очереди нет сообщений"), probe
            script.send_signal(signal.SIGTERM)
            script.wait(30)
            wait_for(lambda: not any(port_open(p) for p in (service_port, sim_port, control_port)), 15,
                     what="run %d: both programs ended" % run)
        finally:
            # Whatever the script left behind.
            try:
                os.killpg(script.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            script.wait(10)
