"""The operator frame and one exchange: header bytes, token and package number,
retries within the time budget and the pause rule, replies that arrive in
pieces or are damaged."""

import struct
import time

import pytest

import fiscal
from harness import sanitized
from sim import Answer, default_service

NO_LINK = "Нет связи с сервером ОФД"


def s32(value):
    return struct.unpack("<i", struct.pack("<I", value & 0xFFFFFFFF))[0]


@pytest.mark.parametrize("config, expected", [
    ({"KKM:deviceId": 5, "KKM:packageNumber": 7}, "05000000" "00000000" "0700"),
    ({"KKM:deviceId": -1}, "ffffffff" "00000000" "0000"),
    ({"KKM:deviceId": 3, "KKM:token": -1, "KKM:packageNumber": 300}, "03000000" "ffffffff" "2c00"),
    ({"KKM:deviceId": 3, "KKM:token": 305419896}, "03000000" "78563412" "0000"),
])
def test_frame_header_bytes(vault, sim, config, expected):
    vault.configure(config)
    vault.start()
    vault.post("commandSystem")
    frame = sim.wait_for_frames(1, 5)[0]
    raw = frame.raw
    assert raw[0:4] == bytes.fromhex("a281cb00")
    assert struct.unpack_from("<I", raw, 4)[0] == len(raw)
    assert raw[8:18].hex() == expected
    # The payload is exactly the serialized request: command 0, then the service part under tag 6.
    assert raw[18:20] == b"\x08\x00" and raw[20] == 0x32
    assert frame.request.SerializePartialToString() == frame.payload


def test_port_is_taken_as_its_low_16_bits(vault, sim):
    vault.configure({"Connection:port": 65536 + sim.port})
    vault.start()
    assert vault.post("commandSystem")["kkmInfoObject"]["serviceStatus"] == 0
    assert len(sim.frames) == 1


@pytest.mark.parametrize("reply_token", [0x12345678, 0xFFFFFFF0])
def test_token_and_package_number_carry_over_and_survive_restart(vault, sim, reply_token):
    vault.start()
    sim.script(Answer(token=reply_token), Answer(token=(reply_token + 1) & 0xFFFFFFFF))
    vault.post("commandSystem")
    vault.post("commandInfo")
    first, second = sim.wait_for_frames(2, 5)
    assert (first.token, first.package_number) == (0, 0)
    assert (second.token, second.package_number) == (reply_token, 1)
    assert second.raw[12:16] == struct.pack("<I", reply_token)
    with vault.db() as db:
        assert db.service_data("transportdata") == {"token": s32(reply_token + 1), "packageNumber": 2}

    vault.restart()
    vault.post("commandSystem")
    third = sim.wait_for_frames(3, 5)[2]
    assert (third.token, third.package_number) == ((reply_token + 1) & 0xFFFFFFFF, 2)


def test_package_number_wraps_after_255(vault, sim):
    vault.configure({"KKM:packageNumber": 255})
    vault.start()
    vault.post("commandSystem")
    with vault.db() as db:
        assert db.service_data("transportdata")["packageNumber"] == 256
    vault.post("commandSystem")
    first, second = sim.wait_for_frames(2, 5)
    assert first.raw[16:18] == b"\xff\x00"
    assert second.raw[16:18] == b"\x00\x00"
    with vault.db() as db:
        assert db.service_data("transportdata")["packageNumber"] == 1


@pytest.mark.parametrize("budget", [0, -5])
def test_no_budget_fails_without_connecting(vault, sim, budget):
    vault.configure({"DataSending:operationTimeout": budget})
    vault.start()
    reply = vault.post("commandTicket", fiscal.ticket())
    assert reply["kkmInfoObject"]["errorMessage"] == NO_LINK
    assert reply["kkmInfoObject"]["serviceStatus"] == 1
    assert sim.frames == []
    with vault.db() as db:
        assert db.service_data("transportdata") is None


# Every way an attempt can fail quickly; the server closes at once, so nothing waits for a timeout.
QUICK_FAILURES = [
    (Answer(action="close"), "closed"),
    (Answer(action="short"), "shorter-than-header"),
    (Answer(action="header_only", hold=0), "header-only"),
    (Answer(action="garbage", hold=0), "garbage"),
    (Answer(tail=b"\x0f\xff\xff\xff\xff", hold=0), "reply-followed-by-garbage"),
    (Answer(length=1 << 20, hold=0), "over-long-length-field"),
    (Answer(with_result=False, hold=0), "no-result"),
    (Answer(code=254, hold=0), "254"),
    (Answer(code=255, hold=0), "255"),
]


@pytest.mark.parametrize("failure", [f for f, _ in QUICK_FAILURES], ids=[i for _, i in QUICK_FAILURES])
def test_one_exchange_against_a_failing_server_sends_few_frames(vault, sim, failure):
    # Each quick failure is followed by the 500 ms pause: attempts at 0, 0.5 and
    # 1.0 s; the budget is spent at the start of the fourth.
    vault.configure({"DataSending:operationTimeout": 1250})
    vault.start()
    sim.default = failure
    reply = vault.post("commandTicket", fiscal.ticket())
    assert reply["kkmInfoObject"]["errorMessage"] == NO_LINK
    frames = sim.frames
    assert len(frames) == 3
    gaps = [b.received_at - a.received_at for a, b in zip(frames, frames[1:])]
    assert all(0.45 <= gap < 1.0 for gap in gaps), gaps
    # Every attempt resends the same request with the same token and package number.
    assert len({f.raw for f in frames}) == 1
    with vault.db() as db:
        assert db.service_data("transportdata") is None


def test_refused_connection_is_followed_by_the_pause(offline_vault):
    offline_vault.configure({"DataSending:operationTimeout": 1250})
    offline_vault.start()
    reply = offline_vault.post("commandTicket", fiscal.ticket())
    assert reply["kkmInfoObject"]["errorMessage"] == NO_LINK
    # Attempts at 0, 0.5 and 1.0 s; the budget is spent at the start of the fourth.
    assert offline_vault.log().count("Не удалось подключиться к сокету: '") == 3


@pytest.mark.parametrize("first", [Answer(action="header_only"), Answer(with_result=False), Answer(code=254)],
                         ids=["header-only", "no-result", "254"])
def test_failed_attempt_is_followed_by_the_pause_and_the_next_answer_is_taken(vault, sim, first):
    vault.configure({"DataSending:operationTimeout": 3000})
    vault.start()
    sim.script(first, Answer(token=0xABCD))
    reply = vault.post("commandSystem")
    assert reply["kkmInfoObject"]["serviceStatus"] == 0
    one, two = sim.wait_for_frames(2, 5)
    assert 0.45 <= two.received_at - one.received_at < 1.0
    # Nothing was accepted before the second answer.
    assert (two.token, two.package_number) == (one.token, one.package_number)
    assert len(sim.frames) == 2
    with vault.db() as db:
        assert db.service_data("transportdata") == {"token": 0xABCD, "packageNumber": 1}


def test_answer_with_undeclared_command_is_taken_from_partial_parse(vault, sim):
    vault.start()
    sim.script(Answer(command=9, code=11, token=0x77))
    reply = vault.post("commandSystem")
    assert reply["kkmInfoObject"]["errorMessage"] == "Время открытой смены истекло"
    assert len(sim.frames) == 1
    assert "Неполный ответ от сервера" in vault.log()
    with vault.db() as db:
        assert db.service_data("transportdata") == {"token": 0x77, "packageNumber": 1}


def test_attempt_that_took_longer_than_499ms_is_repeated_at_once(vault, sim):
    vault.configure({"DataSending:operationTimeout": 3000, "Connection:readTimeout": 700})
    vault.start()
    sim.script(Answer(action="silent"), Answer())
    assert vault.post("commandSystem")["kkmInfoObject"]["serviceStatus"] == 0
    one, two = sim.wait_for_frames(2, 5)
    # 700 ms waiting for the answer, then no pause.
    assert 0.6 <= two.received_at - one.received_at < 1.05


@pytest.mark.parametrize("split_at", [18, 21, -1], ids=["after-header", "inside-payload", "last-byte-late"])
def test_reply_in_two_writes_is_read_whole(vault, sim, split_at):
    vault.start()

    def service(part):
        default_service(part)
        part.reg_info.kkm.fns_kkm_id = "SPLIT-KKM"

    probe = Answer(code=11, token=0x5151, service=service, split_pause=0.3)
    probe.split_at = split_at if split_at > 0 else len(_reply_bytes(sim, probe)) - 1
    sim.script(probe)
    reply = vault.post("commandSystem")
    assert len(sim.frames) == 1
    assert reply["kkmInfoObject"]["errorMessage"] == "Время открытой смены истекло"
    assert reply["regInfo"]["kkm"]["fnsKkmId"] == "SPLIT-KKM"
    with vault.db() as db:
        assert db.service_data("transportdata") == {"token": 0x5151, "packageNumber": 1}


def test_late_answer_to_an_earlier_attempt_is_never_taken(vault, sim):
    vault.configure({"DataSending:operationTimeout": 3000, "Connection:readTimeout": 800})
    vault.start()
    # The first answer arrives after the service gave up on it, while it waits for the second.
    sim.script(Answer(action="late", delay=1.2, token=0xAAAA),
               Answer(delay=0.5, token=0xBBBB, code=11))
    reply = vault.post("commandSystem")
    one, two = sim.wait_for_frames(2, 5)
    assert two.connection != one.connection
    assert reply["kkmInfoObject"]["errorMessage"] == "Время открытой смены истекло"
    with vault.db() as db:
        assert db.service_data("transportdata") == {"token": 0xBBBB, "packageNumber": 1}


def peak_memory_kib(process) -> int:
    with open("/proc/%d/status" % process.pid, encoding="ascii") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))


@pytest.mark.parametrize("answer", [
    Answer(action="stream"),
    # Announces no more than the bound, but comes too slowly to end within the read timeout.
    Answer(action="stream", length=16 * 1024 * 1024, stream_chunk=1024, stream_pause=0.005),
], ids=["2GiB-announced", "slow-endless"])
def test_endless_reply_is_cut_off_in_time_and_memory(vault, sim, answer):
    vault.configure({"DataSending:operationTimeout": 1000, "Connection:readTimeout": 1000})
    vault.start()
    sim.default = answer
    started = time.monotonic()
    reply = vault.post("commandTicket", fiscal.ticket(), timeout=15)
    # The operation's budget plus one read timeout, and a margin.
    assert time.monotonic() - started < 3.0
    assert (reply["kkmInfoObject"]["serviceStatus"], reply["kkmInfoObject"]["errorMessage"]) == (1, NO_LINK)
    assert "Неполный ответ от сервера" in vault.log()
    # The sanitizer's shadow memory and quarantine hold far more than the service itself does.
    assert sanitized() or peak_memory_kib(vault.process) < 128 * 1024
    with vault.db() as db:
        assert db.service_data("transportdata") is None


@pytest.mark.parametrize("length", ["payload", 0, 18], ids=["payload-alone", "zero", "header-only"])
def test_announced_length_only_tells_when_the_reply_is_complete(vault, sim, length):
    vault.start()
    sim.script(Answer(length=length, token=0x4242))
    reply = vault.post("commandTicket", fiscal.ticket())
    assert len(sim.frames) == 1
    assert reply["kkmInfoObject"]["serviceStatus"] == 0
    assert reply["ticketNumber"] == "SIM-TICKET-1"
    with vault.db() as db:
        assert db.service_data("transportdata") == {"token": 0x4242, "packageNumber": 1}


def _reply_bytes(sim, answer):
    return b"\x00" * 18 + sim.build_response(answer, 0)
