"""JSON text for the library, with money kept exact.

Amounts are decimal.Decimal (written with their exact digits) or already JSON text. A float is
refused: its binary value is not the amount the merchant meant (0.1 + 0.2 is
0.30000000000000004), and the library never reads money through floating point either.
"""

import decimal
import json


def dumps(value):
    """Compact JSON text of dicts, lists, str, int, bool, None and finite Decimals."""
    parts = []
    _write(value, parts)
    return "".join(parts)


def _write(value, out):
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
        out.append("{")
        for index, (key, item) in enumerate(value.items()):
            if not isinstance(key, str):
                raise TypeError(f"JSON object keys are text, not {type(key).__name__}")
            out.append("," if index else "")
            out.append(json.dumps(key, ensure_ascii=False))
            out.append(":")
            _write(item, out)
        out.append("}")
    elif isinstance(value, (list, tuple)):
        out.append("[")
        for index, item in enumerate(value):
            out.append("," if index else "")
            _write(item, out)
        out.append("]")
    else:
        raise TypeError(f"{type(value).__name__} cannot be written as JSON")


def object_text(record):
    """A record as JSON object text: a dict is written, a str is taken as the JSON itself."""
    if record is None or isinstance(record, str):
        return record
    if not isinstance(record, dict):
        raise TypeError(f"a record is a dict or JSON text, not {type(record).__name__}")
    return dumps(record)


def loads(text):
    """JSON text from the library, numbers with a fraction or exponent as Decimal."""
    return json.loads(text, parse_float=decimal.Decimal)
