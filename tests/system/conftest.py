import sys

import pytest

from harness import REPO, Vault, free_port, sanitized

sys.path.insert(0, str(REPO / "tools" / "operator-sim"))

from sim import OperatorSim  # noqa: E402


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    setattr(item, "report_" + report.when, report)


def _failed(request) -> bool:
    return any(getattr(getattr(request.node, "report_" + w, None), "failed", False) for w in ("setup", "call"))


@pytest.fixture
def sim():
    """The operator's server, listening."""
    server = OperatorSim().start()
    yield server
    server.stop()


@pytest.fixture
def dead_port():
    """A port on which nothing listens: connections are refused."""
    return free_port()


def _vault(request, tmp_path, port):
    vault = Vault(tmp_path / "root", port)
    yield vault
    if vault.running:
        try:
            vault.stop()
        except AssertionError:
            vault.kill()
    reports = vault.sanitizer_reports() if sanitized() else []
    if _failed(request) or reports:
        for number, path in enumerate(vault.runs, start=1):
            print("---- taxvault log, run %d ----" % number)
            print("\n".join(path.read_text(encoding="utf-8", errors="replace").splitlines()[-150:]))
    if reports:
        pytest.fail("sanitizer reports: %s" % "; ".join(reports), pytrace=False)


@pytest.fixture
def vault(request, tmp_path, sim):
    """An installation of the service talking to the simulator (not started)."""
    yield from _vault(request, tmp_path, sim.port)


@pytest.fixture
def offline_vault(request, tmp_path, dead_port):
    """An installation whose operator port refuses connections (not started)."""
    yield from _vault(request, tmp_path, dead_port)


@pytest.fixture
def make_sim():
    """Starts simulators on demand (for a server that comes back on a known port)."""
    started = []

    def make(port: int = 0, **kwargs) -> OperatorSim:
        server = OperatorSim(port=port, **kwargs).start()
        started.append(server)
        return server

    yield make
    for server in started:
        server.stop()
