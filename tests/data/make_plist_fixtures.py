#!/usr/bin/env python3
"""Writes the property-list fixtures with Python's plistlib, an implementation independent of
ours. Run once from this folder; the outputs are committed."""
import datetime
import plistlib

value = {
    "string": "Zarv Nikon \u2013 \u00fcn\u00efcode \u2713 <&>",
    "empty_string": "",
    "int": 42,
    "negative": -7,
    "big": 2**40 + 5,
    "int64max": 2**63 - 1,
    "int64min": -(2**63),
    "real": 3.25,
    "tiny": 1.5e-300,
    "yes": True,
    "no": False,
    "date": datetime.datetime(2024, 5, 17, 12, 34, 56),
    "old_date": datetime.datetime(1990, 1, 2, 3, 4, 5),
    "data": bytes(range(256)),
    "array": [1, "two", [3.0], {"four": 4}],
    "nested": {"deeper": {"deepest": [True, {"k": b"\x00\x01"}]}},
    "empty_dict": {},
    "empty_array": [],
}

with open("all_types.binary.plist", "wb") as f:
    plistlib.dump(value, f, fmt=plistlib.FMT_BINARY)
with open("all_types.xml.plist", "wb") as f:
    plistlib.dump(value, f, fmt=plistlib.FMT_XML)

binary = open("all_types.binary.plist", "rb").read()
with open("truncated.binary.plist", "wb") as f:
    f.write(binary[: len(binary) // 2])
xml = open("all_types.xml.plist", "rb").read()
with open("truncated.xml.plist", "wb") as f:
    f.write(xml[: len(xml) // 2])
with open("garbage.plist", "wb") as f:
    f.write(bytes((i * 37 + 11) % 256 for i in range(300)))
with open("not_a_plist.json", "w") as f:
    f.write('{"this": "is json"}\n')
