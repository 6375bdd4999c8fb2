"""Documents as the point-of-sale program sends them, and small readers for
what the simulator records."""

import copy


def tax(percent=12, amount=16.07, taxation_type=None):
    t = {"taxType": 100, "percent": percent, "sum": amount, "isInTotalSumFlag": True}
    if taxation_type is not None:
        t["taxationType"] = taxation_type
    return t


def ticket(total=150.0, shift=3, name="Хлеб", printed=1):
    return {
        "operation": 2,
        "dateTime": "2024-03-01T12:00:00",
        "operatorCashier": {"code": 7, "name": "Кассир"},
        "domain": {"type": 0},
        "items": [{
            "type": 1,
            "commodity": {"name": name, "sectionCode": "1", "quantity": 1000, "price": total, "sum": total,
                          "taxes": [tax()], "measureUnitCode": "796", "ntin": ""},
        }],
        "payments": {"0": total},
        "taxes": [tax()],
        "amounts": {"total": total, "taken": total, "change": 0},
        "frShiftNumber": shift,
        "printedDocumentNumber": printed,
    }


def zx_report(shift=3):
    return {
        "dateTime": "2024-03-01T20:00:00",
        "openShiftTime": "2024-03-01T08:00:00",
        "closeShiftTime": "2024-03-01T20:00:00",
        "shiftNumber": shift,
        "cashSum": 0,
        "revenue": 0,
    }


def close_shift(shift=3):
    return {
        "closeTime": "2024-03-01T20:00:00",
        "frShiftNumber": shift,
        "zReport": zx_report(shift),
        "printedDocumentNumber": 10,
        "operatorCashier": {"code": 7, "name": "Кассир"},
    }


def report(kind=1, shift=3):
    return {"report": kind, "dateTime": "2024-03-01T15:00:00", "zxReport": zx_report(shift)}


def money_placement(operation=0, amount=500.0, shift=3):
    return {
        "dateTime": "2024-03-01T10:00:00",
        "operation": operation,
        "sum": amount,
        "frShiftNumber": shift,
        "printedDocumentNumber": 2,
        "operatorCashier": {"code": 7, "name": "Кассир"},
    }


# command name -> (protocol command number, body field of the request, document builder)
OPERATOR_COMMANDS = {
    "commandSystem": (0, None, None),
    "commandInfo": (5, None, None),
    "commandTicket": (1, "ticket", ticket),
    "commandCloseShift": (2, "close_shift", close_shift),
    "commandReport": (3, "report", report),
    "commandMoneyPlacement": (6, "money_placement", money_placement),
}


def document(command):
    builder = OPERATOR_COMMANDS[command][2]
    return copy.deepcopy(builder()) if builder else None


def is_unset(date_time) -> bool:
    """An unset date-time travels with zero date numbers."""
    return date_time.date.year == 0 and date_time.date.month == 0 and date_time.date.day == 0


def as_tuple(date_time):
    d, t = date_time.date, date_time.time
    return (d.year, d.month, d.day, t.hour, t.minute, t.second)


def iso_tuple(text: str):
    """(year, month, day, hour, minute, second) of an ISO 8601 date-time text."""
    return (int(text[0:4]), int(text[5:7]), int(text[8:10]), int(text[11:13]), int(text[14:16]), int(text[17:19]))
