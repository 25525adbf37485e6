"""JSON text for the library, with money kept exact.

Amounts are decimal.Decimal (written with their exact digits) or already JSON text. A float is
refused: its binary value is not the amount the merchant meant (0.1 + 0.2 is
0.30000000000000004), and the library never reads money through floating point either.
"""

import decimal
import json


def dumps(value, indent=None):
    """JSON text of dicts, lists, str, int, bool, None and finite Decimals: compact, or
    indented by `indent` spaces for people."""
    parts = []
    _write(value, parts, "\n" if indent else "", " " * (indent or 0))
    return "".join(parts)


def _write(value, out, newline, step):
    if value is None or value is True or value is False:
        out.append(json.dumps(value))
    elif isinstance(value, str):
        out.append(json.dumps(value, ensure_ascii=False))
    elif isinstance(value, int):
        out.append(int.__repr__(value))
    elif isinstance(value, decimal.Decimal):
        if not value.is_finite():
            raise ValueError(f"{value} is not a number JSON can hold")
        # Exponent notation ("1E+3") is valid JSON, and the library keeps every digit given.
        out.append(str(value))
    elif isinstance(value, float):
        raise TypeError(f"{value!r} is a float: give amounts as decimal.Decimal (or the record "
                        "as JSON text), so that they are sent exactly")
    elif isinstance(value, dict):
        for key in value:
            if not isinstance(key, str):
                raise TypeError(f"JSON object keys are text, not {type(key).__name__}")
        _container("{}", value.items(), out, newline, step, keyed=True)
    elif isinstance(value, (list, tuple)):
        _container("[]", value, out, newline, step, keyed=False)
    else:
        raise TypeError(f"{type(value).__name__} cannot be written as JSON")


def _container(brackets, items, out, newline, step, keyed):
    inner = newline + step if newline else ""
    out.append(brackets[0])
    empty = True
    for item in items:
        out.append(inner if empty else "," + inner)
        empty = False
        if keyed:
            out.append(json.dumps(item[0], ensure_ascii=False) + (": " if newline else ":"))
            item = item[1]
        _write(item, out, inner, step)
    if not empty and newline:
        out.append(newline)
    out.append(brackets[1])


def object_text(record):
    """A record as JSON object text: a dict is written, a str is taken as the JSON itself."""
    if record is None or isinstance(record, str):
        return record
    if not isinstance(record, dict):
        raise TypeError(f"a record is a dict or JSON text, not {type(record).__name__}")
    return dumps(record)


def loads(text):
    """JSON text as Python values, numbers with a fraction or exponent as Decimal."""
    return json.loads(text, parse_float=decimal.Decimal)
