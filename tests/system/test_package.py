"""The Debian package as cpack makes it from the build: its files, dependencies,
maintainer scripts and systemd unit."""

import configparser
import shutil
import subprocess

import pytest

from harness import build_dir

UNIT = "usr/lib/systemd/system/taxvault.service"


def run(*args, **kwargs) -> str:
    return subprocess.run(args, check=True, capture_output=True, text=True, timeout=300, **kwargs).stdout


@pytest.fixture(scope="module")
def package(tmp_path_factory):
    """(path of the .deb, the tree it unpacks to, its control folder)"""
    if shutil.which("cpack") is None or shutil.which("dpkg-shlibdeps") is None:
        pytest.fail("cpack and dpkg-dev are needed (scripts/setup installs them)")
    out = tmp_path_factory.mktemp("package")
    run("cpack", "-G", "DEB", "--config", str(build_dir() / "CPackConfig.cmake"), "-B", str(out))
    debs = list(out.glob("taxvault_*.deb"))
    assert len(debs) == 1, debs
    tree, control = out / "tree", out / "control"
    run("dpkg-deb", "-x", str(debs[0]), str(tree))
    run("dpkg-deb", "-e", str(debs[0]), str(control))
    return debs[0], tree, control


def test_files(package):
    deb, _, _ = package
    listing = run("dpkg-deb", "-c", str(deb))
    files = {line.split()[-1].lstrip(".") for line in listing.splitlines() if not line.startswith("d")}
    assert files == {"/usr/sbin/taxvault", "/usr/sbin/vaultprobe", "/" + UNIT,
                     "/usr/share/doc/taxvault/examples/taxvault.ini"}


def test_programs_run_from_the_package(package):
    _, tree, _ = package
    result = subprocess.run([str(tree / "usr/sbin/vaultprobe"), "help"], capture_output=True, text=True, timeout=30)
    assert result.returncode == 0 and result.stdout


def test_dependencies_come_from_the_shared_libraries(package):
    deb, _, _ = package
    fields = run("dpkg-deb", "-f", str(deb), "Package", "Architecture", "Depends")
    assert "Package: taxvault" in fields and "Architecture: amd64" in fields
    depends = {part.split()[0] for part in fields.split("Depends:", 1)[1].replace("\n", " ").split(",")}
    assert {"libc6", "libstdc++6", "libqt6core6", "libqt6network6", "libqt6sql6", "libqt6core5compat6",
            "libprotobuf32", "libssl3", "zlib1g", "libhttp-parser2.9"} <= depends
    # SQLCipher is linked into the driver, never loaded beside the system SQLite.
    assert not any(d.startswith("libsqlcipher") for d in depends)


def test_unit(package):
    _, tree, _ = package
    unit = configparser.ConfigParser(strict=False, interpolation=None)
    unit.optionxform = str
    unit.read(tree / UNIT, encoding="utf-8")
    service = unit["Service"]
    assert "network.target" in unit["Unit"]["After"]
    assert service["ExecStart"] == "/usr/sbin/taxvault"
    assert service["Type"] == "simple"
    assert service["Restart"] == "on-failure"
    assert service["KillSignal"] == "SIGTERM"
    assert service["Environment"] == "TAXVAULT_LOG_LEVEL=info"
    assert service["StandardError"] == "journal"
    assert service["ProtectSystem"] == "strict"
    assert service["ReadWritePaths"] == "/tillbase/cash/data/taxvault"
    assert (service["PrivateTmp"], service["NoNewPrivileges"]) == ("yes", "yes")
    assert unit["Install"]["WantedBy"] == "multi-user.target"



def test_unit_verifies_without_warnings(package, tmp_path):
    _, tree, _ = package
    # systemd-analyze checks that ExecStart exists: point it at the unpacked binary.
    text = (tree / UNIT).read_text(encoding="utf-8")
    assert "ExecStart=/usr/sbin/taxvault\n" in text
    unit = tmp_path / "taxvault.service"
    unit.write_text(text.replace("ExecStart=/usr/sbin/taxvault", "ExecStart=%s" % (tree / "usr/sbin/taxvault")),
                    encoding="utf-8")
    result = subprocess.run(["systemd-analyze", "verify", str(unit)], capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")


def test_maintainer_scripts(package):
    _, _, control = package
    postinst = (control / "postinst").read_text()
    assert "/tillbase/cash/data/taxvault" in postinst
    assert "deb-systemd-helper enable 'taxvault.service'" in postinst
    # Enabled, not started, on a first installation.
    assert "deb-systemd-invoke start" not in postinst
    assert "deb-systemd-invoke stop 'taxvault.service'" in (control / "prerm").read_text()
    postrm = (control / "postrm").read_text()
    assert "deb-systemd-helper purge 'taxvault.service'" in postrm
    # Fiscal data survives removal and purge.
    code = [line for line in postrm.splitlines() if not line.lstrip().startswith("#")]
    assert not any("rm " in line or "tillbase" in line for line in code)
    for name in ("postinst", "prerm", "postrm"):
        assert (control / name).stat().st_mode & 0o777 == 0o755
        run("sh", "-n", str(control / name))
