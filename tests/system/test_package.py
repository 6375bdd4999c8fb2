"""The Debian package as cpack makes it from the build: its files, dependencies,
maintainer scripts and systemd unit."""

import gzip
import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

from harness import REPO, build_dir

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
    deb, tree, _ = package
    listing = run("dpkg-deb", "-c", str(deb))
    files = {line.split()[-1].lstrip(".") for line in listing.splitlines() if not line.startswith("d")}
    doc = "/usr/share/doc/taxvault/"
    # The sample also outside /usr/share/doc, which slim roots leave out.
    assert files == {"/usr/sbin/taxvault", "/usr/sbin/vaultprobe", "/" + UNIT, doc + "examples/taxvault.ini",
                     "/usr/share/taxvault/taxvault.ini",
                     doc + "README.md", doc + "http-api.md", doc + "copyright", doc + "changelog.Debian.gz",
                     "/usr/share/lintian/overrides/taxvault"}
    for shipped, source in (("usr/share/doc/taxvault/README.md", "README.md"),
                            ("usr/share/doc/taxvault/http-api.md", "docs/http-api.md"),
                            ("usr/share/taxvault/taxvault.ini", "packaging/taxvault.ini"),
                            ("usr/share/doc/taxvault/examples/taxvault.ini", "packaging/taxvault.ini")):
        assert (tree / shipped).read_bytes() == (REPO / source).read_bytes()


def test_changelog_names_the_package_version(package):
    deb, tree, _ = package
    version = run("dpkg-deb", "-f", str(deb), "Version").strip()
    changelog = gzip.decompress((tree / "usr/share/doc/taxvault/changelog.Debian.gz").read_bytes()).decode()
    assert changelog.startswith("taxvault (%s) bookworm; urgency=medium\n" % version), changelog
    assert re.search(r"^ -- .+ <.+@.+\..+>  \w{3}, \d{2} \w{3} \d{4} \d{2}:\d{2}:\d{2} \+0000$", changelog,
                     re.MULTILINE), changelog


def test_lintian_reports_nothing_but_overridden_tags_with_reasons(package):
    deb, tree, _ = package
    if shutil.which("lintian") is None:
        pytest.fail("lintian is needed (scripts/setup installs it)")
    result = subprocess.run(["lintian", "--fail-on", "none", "--tag-display-limit", "0", "--display-info",
                             "--pedantic", str(deb)], capture_output=True, text=True, timeout=300)
    hints = [line for line in result.stdout.splitlines() if line[:2] in ("E:", "W:", "I:", "P:")]
    assert (result.returncode, hints) == (0, []), result.stdout + result.stderr
    # Every override says why, in the comment above it.
    lines = (tree / "usr/share/lintian/overrides/taxvault").read_text().splitlines()
    for number, line in enumerate(lines):
        if line.startswith("taxvault:"):
            reason = next((l for l in reversed(lines[:number]) if not l.startswith("taxvault:")), "")
            assert reason.startswith("# ") and len(reason) > 10, line


@pytest.mark.parametrize("version, accepted", [
    ("2.3.4", True),
    ("1.0.0+own1", True),
    ("v2", False),
    ("1.0-1", False),
    ("1 0", False),
])
def test_package_version_is_set_at_configure_time(tmp_path, version, accepted):
    """Configuring alone: the version reaches cpack's settings and the changelog."""
    result = subprocess.run(["cmake", "-S", str(REPO), "-B", str(tmp_path), "-G", "Ninja",
                             "-DTAXVAULT_BUILD_TESTS=OFF", "-DTAXVAULT_PACKAGE_VERSION=" + version],
                            capture_output=True, text=True, timeout=300)
    if not accepted:
        assert result.returncode != 0 and "is not a Debian upstream version" in result.stderr, result.stderr
        return
    assert result.returncode == 0, result.stderr
    config = (tmp_path / "CPackConfig.cmake").read_text()
    assert 'set(CPACK_PACKAGE_VERSION "%s")' % version in config
    assert 'set(CPACK_DEBIAN_PACKAGE_RELEASE "1")' in config
    changelog = (tmp_path / "packaging" / "changelog.Debian").read_text()
    assert changelog.startswith("taxvault (%s-1) " % version), changelog


def test_programs_run_from_the_package(package):
    _, tree, _ = package
    result = subprocess.run([str(tree / "usr/sbin/vaultprobe"), "help"], capture_output=True, text=True, timeout=30)
    assert result.returncode == 0 and result.stdout


def test_dependencies_come_from_the_shared_libraries(package):
    deb, _, _ = package
    fields = run("dpkg-deb", "-f", str(deb), "Package", "Architecture", "Depends")
    assert "Package: taxvault" in fields and "Architecture: amd64" in fields
    depends = {part.split()[0] for part in fields.split("Depends:", 1)[1].replace("\n", " ").split(",")}
    # adduser: the maintainer scripts create the service's user.
    assert {"adduser", "libc6", "libstdc++6", "libqt6core6", "libqt6network6", "libqt6sql6", "libqt6core5compat6",
            "libprotobuf32", "libssl3", "zlib1g", "libhttp-parser2.9", "libsystemd0"} <= depends
    # SQLCipher is linked into the driver, never loaded beside the system SQLite.
    assert not any(d.startswith("libsqlcipher") for d in depends)


def unit_settings(path: Path):
    """section -> key -> every value given, in order (a unit may repeat a key)."""
    settings, section = {}, None
    for line in path.read_text(encoding="utf-8").splitlines():
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        if line.startswith("["):
            section = settings.setdefault(line.strip("[]"), {})
            continue
        key, value = line.split("=", 1)
        section.setdefault(key, []).append(value)
    return settings


def test_unit(package):
    _, tree, _ = package
    unit = unit_settings(tree / UNIT)
    start = unit["Unit"]
    # No start before the till is configured; a start that keeps failing ends failed.
    assert start["ConditionPathExists"] == ["/tillbase/cash/conf/taxvault.ini"]
    assert start["After"] == start["Wants"] == ["network-online.target"]
    service = {key: values[-1] for key, values in unit["Service"].items()}
    burst, interval = int(start["StartLimitBurst"][-1]), int(start["StartLimitIntervalSec"][-1])
    # Starts by hand count: the guide's backup, restore and token set, one more stop and start,
    # and the start before them, run back to back, stay within the limit ...
    assert burst >= 5
    # ... while a crash loop, a start every RestartSec, reaches it within the interval.
    assert burst * int(service["RestartSec"]) < interval
    assert {key: service.get(key) for key in (
        "Type", "ExecStart", "User", "Group", "Restart", "KillSignal", "Environment", "StandardError")} == {
        "Type": "notify", "ExecStart": "/usr/sbin/taxvault", "User": "taxvault", "Group": "taxvault",
        "Restart": "on-failure", "KillSignal": "SIGTERM", "Environment": "TAXVAULT_LOG_LEVEL=info",
        "StandardError": "journal"}
    assert unit["Install"]["WantedBy"] == ["multi-user.target"]


def test_unit_sandbox(package):
    _, tree, _ = package
    service = unit_settings(tree / UNIT)["Service"]
    expected = {
        "ProtectSystem": "strict", "ReadWritePaths": "/tillbase/cash/data/taxvault", "UMask": "0077",
        "ProtectHome": "yes", "PrivateTmp": "yes", "PrivateDevices": "yes", "ProtectKernelTunables": "yes",
        "ProtectKernelModules": "yes", "ProtectKernelLogs": "yes", "ProtectControlGroups": "yes",
        "ProtectClock": "yes", "ProtectHostname": "yes", "RestrictNamespaces": "yes", "RestrictRealtime": "yes",
        "RestrictSUIDSGID": "yes", "LockPersonality": "yes", "NoNewPrivileges": "yes",
        "RestrictAddressFamilies": "AF_UNIX AF_INET AF_INET6", "SystemCallArchitectures": "native",
        # Every capability dropped: an empty bounding set.
        "CapabilityBoundingSet": "", "AmbientCapabilities": "",
    }
    assert {key: service.get(key, [None])[-1] for key in expected} == expected
    assert service["SystemCallFilter"][0] == "@system-service"


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


class FakeRoot:
    """The host's /usr, /etc and /var under overlays whose writes stay in a folder, the
    package's files added to /usr, and a /tillbase of its own; maintainer scripts run
    chrooted into it in a mount namespace of their own, with no systemd running."""

    def __init__(self, base: Path, tree: Path, control: Path):
        self.base, self.control = base, control
        self.root = base / "root"
        for name in ("usr", "etc", "var"):
            (base / "upper" / name).mkdir(parents=True)
            (base / "work" / name).mkdir(parents=True)
            (self.root / name).mkdir(parents=True)
        shutil.copytree(tree / "usr", base / "upper" / "usr", dirs_exist_ok=True, symlinks=True)
        for name in ("bin", "sbin", "lib", "lib64"):
            os.symlink("usr/" + name, self.root / name)
        for name in ("dev", "proc", "run", "tmp", "scripts"):
            (self.root / name).mkdir()
        for name in ("postinst", "prerm", "postrm"):
            shutil.copy(control / name, self.root / "scripts" / name)

    def path(self, inside: str) -> Path:
        """A path outside /usr, /etc and /var as the host sees it."""
        return self.root / inside.strip("/")

    def run(self, command: str) -> subprocess.CompletedProcess:
        mounts = " && ".join(
            ["mount -t overlay overlay -o lowerdir=/{0},upperdir={1}/upper/{0},workdir={1}/work/{0} {2}/{0}"
             .format(name, self.base, self.root) for name in ("usr", "etc", "var")]
            + ["mount --bind /dev %s/dev" % self.root, "mount -t proc proc %s/proc" % self.root])
        return subprocess.run(
            ["unshare", "--mount", "--propagation", "private", "sh", "-ec",
             '%s && exec chroot %s env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin sh -ec "$1"' % (mounts, self.root),
             "fake-root", command], capture_output=True, text=True, timeout=120)

    def maintainer_script(self, name: str, *arguments: str) -> subprocess.CompletedProcess:
        """As dpkg runs it (deb-systemd-helper does nothing otherwise)."""
        return self.run("DPKG_MAINTSCRIPT_PACKAGE=taxvault DPKG_MAINTSCRIPT_NAME=%s /scripts/%s %s"
                        % (name, name, " ".join(arguments)))

    def holds(self, test: str) -> bool:
        return self.run(test).returncode == 0

    def entry(self, database: str, name: str):
        """The fields of a passwd or group entry, or None."""
        result = self.run("getent %s %s" % (database, name))
        return result.stdout.strip().split(":") if result.returncode == 0 else None


@pytest.fixture
def fake_root(package, tmp_path):
    if os.geteuid() != 0:
        pytest.skip("needs root for its mounts and chroot")
    _, tree, control = package
    root = FakeRoot(tmp_path, tree, control)
    probe = root.run("true")
    if probe.returncode != 0:
        pytest.skip("no overlay mounts here: " + probe.stderr)
    return root


def test_installing_creates_the_user_and_gives_it_the_data_of_an_earlier_installation(fake_root):
    data = fake_root.path("/tillbase/cash/data/taxvault")
    conf = fake_root.path("/tillbase/cash/conf")
    # What a root service of an earlier version left, and what the engineer keeps beside it.
    data.mkdir(parents=True, mode=0o755)
    conf.mkdir(parents=True)
    for name in ("fr_12.db", "fr_12.db-wal", "fr_12.db-shm", "fr_0.db"):
        (data / name).write_bytes(b"x")
    (data / "fr_link").symlink_to("/etc/hostname")
    (conf / "taxvault.ini").write_text("[KKM]\ndeviceId=12\n")
    os.chmod(conf / "taxvault.ini", 0o600)

    first = fake_root.maintainer_script("postinst", "configure")
    assert first.returncode == 0, first.stdout + first.stderr
    account = fake_root.entry("passwd", "taxvault")
    assert account is not None, first.stdout + first.stderr
    _, _, uid, gid, _, home, shell = account
    assert int(uid) < 1000 and (home, shell) == ("/nonexistent", "/usr/sbin/nologin")
    assert fake_root.holds("test ! -e /nonexistent")
    assert fake_root.entry("group", "taxvault")[2] == gid

    def owner_and_mode(path: Path):
        s = os.lstat(path)
        return s.st_uid, s.st_gid, s.st_mode & 0o7777

    uid, gid = int(uid), int(gid)
    assert owner_and_mode(data) == (uid, gid, 0o700)
    for name in ("fr_12.db", "fr_12.db-wal", "fr_12.db-shm", "fr_0.db"):
        assert owner_and_mode(data / name)[:2] == (uid, gid), name
    # A link is not followed out of the folder.
    assert os.lstat(data / "fr_link").st_uid == 0 and os.stat("/etc/hostname").st_uid == 0
    # Readable by the service, writable only by root.
    assert owner_and_mode(conf / "taxvault.ini") == (0, gid, 0o640)
    wanted = "/etc/systemd/system/multi-user.target.wants/taxvault.service"
    assert fake_root.holds("test -L " + wanted)

    # An upgrade runs it again: the same user, nothing new.
    again = fake_root.maintainer_script("postinst", "configure", "1.0.0-1")
    assert again.returncode == 0, again.stdout + again.stderr
    assert fake_root.entry("passwd", "taxvault")[2:4] == [str(uid), str(gid)]

    # Removing and purging keep the database and the ini (fiscal data); the unit is no longer enabled.
    for script, argument in (("prerm", "remove"), ("postrm", "remove"), ("postrm", "purge")):
        result = fake_root.maintainer_script(script, argument)
        assert result.returncode == 0, script + result.stdout + result.stderr
    assert (data / "fr_12.db").read_bytes() == b"x" and (conf / "taxvault.ini").exists()
    assert fake_root.holds("test ! -L " + wanted)
