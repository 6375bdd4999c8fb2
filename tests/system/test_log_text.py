"""Text from outside in the service's log: a client's command name and a line
of an ini file cannot end a line, start a record of their own or set its
priority, written to a plain file or to the journal's stream."""

import json
import re

import pytest

from harness import START_TIMEOUT

# NUL ends a journal record, "<0>" after it would be an emergency; CR, ESC, DEL
# and C1 controls rewrite what a terminal shows.
NAME = "A\u0000<0>B\rC\n2026-01-01 00:00:00.000 ERROR [1] Sender - forged\u001b[2J\u007f\u0085"
WRITTEN = ("A\\u0000<0>B\\u000dC\n{prefix}    2026-01-01 00:00:00.000 ERROR [1] Sender - forged"
           "\\u001b[2J\\u007f\\u0085\n")
INI_LINE = "broken\u001b[31m\u0000line"
INI_WRITTEN = "broken\\u001b[31m\\u0000line\n"


def start(vault, journal):
    """Starts the service with a line it cannot read at the end of its ini file;
    journal: its standard error counts as the journal's stream."""
    with open(vault.write_config(), "ab") as ini:
        ini.write(("%s\n" % INI_LINE).encode("utf-8"))
    vault.spawn(config=False, journal=journal)
    vault.wait_log("Таксволт запущен", START_TIMEOUT)


@pytest.mark.parametrize("journal", [False, True], ids=["plain", "journal"])
def test_control_characters_from_outside_are_escaped_and_line_breaks_continue(vault, sim, journal):
    start(vault, journal)
    ini_line = (vault.conf_dir / "taxvault.ini").read_bytes().count(b"\n")
    status, _, content = vault.http(json.dumps({"command": NAME}).encode("utf-8"))
    assert (status, json.loads(content)) == (200, {})
    vault.wait_log("Получена неподдерживаемая команда", 5)

    raw = vault.runs[-1].read_bytes()
    assert b"\0" not in raw and b"\r" not in raw and b"\x1b" not in raw and b"\x7f" not in raw
    log = raw.decode("utf-8")
    assert "\u0085" not in log
    for level, priority, text in (("INFO ", "<6>", "Получена команда: "),
                                  ("ERROR", "<3>", "Получена неподдерживаемая команда: "),
                                  ("WARN ", "<4>", ".ini:%d: " % ini_line)):
        prefix = priority if journal else ""
        written = INI_WRITTEN if text.startswith(".ini") else WRITTEN.format(prefix=prefix)
        assert re.search(r"(?m)^%s\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} %s \[[0-9a-f]+\] \S+ - .*%s%s"
                         % (re.escape(prefix), level, re.escape(text), re.escape(written)), log), log[-3000:]
    # Every line is a record's first line or marked as the line before's continuation.
    record = re.compile(r"^%s(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} |    )" % (r"<\d>" if journal else ""))
    assert [line for line in log.split("\n")[:-1] if not record.match(line)] == []
