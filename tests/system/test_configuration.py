"""The configuration file as the service reads it while running."""

import re
import time

import fiscal
from harness import REPO, free_port

# A change of the file counts at the next read of a key, at the latest this long after.
RELOAD_BOUND = 2.0


def ticket_taxation_types(frame):
    ticket = frame.request.ticket
    return {t.taxation_type for t in list(ticket.taxes) + [t for i in ticket.items for t in i.commodity.taxes]}


def test_changed_file_counts_without_restart(vault, sim, make_sim):
    vault.configure({"KKM:taxationType": "STS", "KKM:token": 5})
    vault.start()
    vault.post("commandTicket", fiscal.ticket())
    first = sim.wait_for_frames(1, 5)[0]
    assert ticket_taxation_types(first) == {100}
    assert first.token == 5

    moved = make_sim()
    # Set behind configure(), which would move the test to the new port: the HTTP port
    # is read once per start, so the service keeps answering on the one it opened.
    vault.config["Connection:servicePort"] = free_port()
    vault.configure({"Connection:port": moved.port, "KKM:taxationType": "RTS", "KKM:token": 6,
                     "KKM:packageNumber": 40})
    vault.write_config(by_rename=True)
    time.sleep(RELOAD_BOUND + 0.1)

    reply = vault.post("commandTicket", fiscal.ticket(printed=2))
    assert reply["kkmInfoObject"]["serviceStatus"] == 0
    second = moved.wait_for_frames(1, 5)[0]
    assert ticket_taxation_types(second) == {101}
    # Token and package number are the ones the last answer gave, not the file's.
    assert (second.token, second.package_number) == (first.reply_token, 1)
    assert len(sim.frames) == 1


def test_unsigned_token_in_file_is_sent(vault, sim):
    vault.configure({"KKM:token": 3000000000})
    vault.start()
    vault.post("commandSystem")
    assert sim.wait_for_frames(1, 5)[0].token == 3000000000


def keys_read_in_sources():
    """Every "Section:name" text in the service's and the database's code, but the list of
    the keys the service knows."""
    keys = set()
    for folder in ("service", "storage"):
        for path in (REPO / folder).glob("*.cpp"):
            if path.name != "configkeys.cpp":
                keys |= set(re.findall(r'"([A-Z][A-Za-z]*:[a-z][A-Za-z]*)"', path.read_text(encoding="utf-8")))
    return keys


def ini_keys(text):
    """Section:name of every name=value line, commented-out ones too."""
    keys, section = set(), ""
    for line in text.splitlines():
        line = line.lstrip(";").strip()
        if line.startswith("[") and line.endswith("]"):
            section = line[1:-1]
        elif "=" in line and not line.startswith("#"):
            keys.add("%s:%s" % (section, line.split("=", 1)[0]))
    return keys


def readme_keys():
    """The first column of the README's table of keys ("Service:a, b" names Service:a and Service:b)."""
    text = (REPO / "README.md").read_text(encoding="utf-8")
    table = text.split("## Configuration (`taxvault.ini`)", 1)[1].split("\n## ", 1)[0]
    keys = set()
    for row in re.findall(r"^\| ([A-Za-z]+:[^|]+) \|", table, re.MULTILINE):
        section = row.split(":", 1)[0]
        keys |= {name if ":" in name else "%s:%s" % (section, name) for name in row.split(", ")}
    return keys


def test_the_service_knows_every_key_it_reads_as_the_sample_and_readme_name_them(vault, sim):
    sample = (REPO / "packaging" / "taxvault.ini").read_text(encoding="utf-8")
    assert keys_read_in_sources() == ini_keys(sample) == readme_keys()

    # The sample with every line in force and this test's own values: nothing is unknown.
    values = {"servicePort": vault.service_port, "port": sim.port, "deviceId": 17}
    lines = []
    for line in sample.splitlines():
        line = re.sub(r"^;(\w+=)", r"\1", line)
        name = line.split("=", 1)[0]
        lines.append("%s=%s" % (name, values[name]) if name in values else line)
    (vault.conf_dir / "taxvault.ini").write_text("\n".join(lines) + "\n", encoding="utf-8")
    vault.spawn(config=False)
    log = vault.wait_log("Таксволт запущен", 15)
    assert " config - " not in log, log
    assert vault.post("commandSystem")["kkmInfoObject"]["serviceStatus"] == 0
