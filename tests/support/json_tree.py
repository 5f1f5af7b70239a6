#!/usr/bin/env python3
"""Reads one JSON document (the file named by the first argument) with Python's json module and
prints it one node a line, depth first, for the C++ tests: "O n" an object of n members, each a
"K hex" key line followed by its value; "A n" an array of n items; "S hex" a string (UTF-8 as
hex); "N text" a number as written; "T", "F", "Z" true, false, null. Exits 1 on text that is not
strict JSON (NaN and Infinity literals included)."""
import json
import sys


class Number(str):
    pass


class Pairs(list):
    """An object's members in their order, duplicates kept."""


def refuse(token):
    raise ValueError("not a JSON literal: " + token)


def emit(value, out):
    if isinstance(value, Pairs):
        out.append("O %d" % len(value))
        for key, item in value:
            out.append("K " + key.encode("utf-8").hex())
            emit(item, out)
    elif isinstance(value, list):
        out.append("A %d" % len(value))
        for item in value:
            emit(item, out)
    elif isinstance(value, Number):
        out.append("N " + value)
    elif isinstance(value, str):
        out.append("S " + value.encode("utf-8").hex())
    elif value is True:
        out.append("T")
    elif value is False:
        out.append("F")
    elif value is None:
        out.append("Z")
    else:
        raise ValueError("unexpected value")


def main():
    with open(sys.argv[1], "rb") as f:
        text = f.read().decode("utf-8")
    try:
        document = json.loads(text, object_pairs_hook=Pairs, parse_float=Number,
                              parse_int=Number, parse_constant=refuse)
    except ValueError as error:
        print("invalid JSON: %s" % error, file=sys.stderr)
        return 1
    out = []
    emit(document, out)
    sys.stdout.write("\n".join(out) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
