#!/usr/bin/env python3
"""PyYAML as an independent YAML implementation for yaml_test.cpp.

Data crosses between the test and this script in a line-based format that
keeps every type and every bit apart, one value per line, as
space-separated tokens in prefix order:

  N                null
  T / F            true / false
  I<decimal>       integer of any size
  D<float.hex()>   float (also inf, -inf, nan)
  S<hex>           string, as the hex of its UTF-8 bytes
  L<n> / M<n>      list of n values / mapping of n key-value pairs
  X<type>          a value of a type the test does not expect
  E<error type>    the document could not be loaded

Commands:
  load FILE       yaml.safe_load the YAML file; print its encoding.
  load-each FILE  FILE holds one encoded string per line, each a YAML
                  document; print the encoding of each document as
                  safe_load reads it.
  type-each FILE  as load-each, except that timestamps stay text.
  bytes-each FILE FILE holds one hex string of raw bytes per line, each a
                  YAML document given to safe_load as bytes (so that
                  PyYAML's own reader decodes and checks them); print the
                  encoding of each.
  dump FILE       FILE holds one encoded value; print
                  yaml.safe_dump(value, default_flow_style=False).
"""

import sys

import yaml


class TimestampAsTextLoader(yaml.SafeLoader):
    """safe_load's typing, but timestamps are left as their text."""


TimestampAsTextLoader.add_constructor(
    "tag:yaml.org,2002:timestamp", lambda loader, node: loader.construct_scalar(node)
)


def encode(value, out):
    if value is None:
        out.append("N")
    elif value is True:
        out.append("T")
    elif value is False:
        out.append("F")
    elif isinstance(value, int):
        out.append("I%d" % value)
    elif isinstance(value, float):
        out.append("D" + value.hex())
    elif isinstance(value, str):
        out.append("S" + value.encode("utf-8").hex())
    elif isinstance(value, list):
        out.append("L%d" % len(value))
        for item in value:
            encode(item, out)
    elif isinstance(value, dict):
        out.append("M%d" % len(value))
        for key, item in value.items():
            encode(key, out)
            encode(item, out)
    else:
        out.append("X" + type(value).__name__)


def encoded(value):
    out = []
    encode(value, out)
    return " ".join(out)


def decode(tokens):
    token = next(tokens)
    kind, rest = token[0], token[1:]
    if kind == "N":
        return None
    if kind in "TF":
        return kind == "T"
    if kind == "I":
        return int(rest)
    if kind == "D":
        return float.fromhex(rest)
    if kind == "S":
        return bytes.fromhex(rest).decode("utf-8")
    if kind == "L":
        return [decode(tokens) for _ in range(int(rest))]
    if kind == "M":
        result = {}
        for _ in range(int(rest)):
            key = decode(tokens)
            result[key] = decode(tokens)
        return result
    raise ValueError("unknown token %r" % token)


def decode_line(line):
    return decode(iter(line.split()))


def load_one(text, loader):
    try:
        return encoded(yaml.load(text, Loader=loader))
    except Exception as error:  # every failure is an answer the test compares
        return "E" + type(error).__name__


def main(argv):
    command, path = argv[1], argv[2]
    if command == "load":
        with open(path, "rb") as stream:
            print(load_one(stream, yaml.SafeLoader))
    elif command in ("load-each", "type-each"):
        loader = yaml.SafeLoader if command == "load-each" else TimestampAsTextLoader
        with open(path, encoding="utf-8") as stream:
            for line in stream:
                print(load_one(decode_line(line), loader))
    elif command == "bytes-each":
        with open(path, encoding="ascii") as stream:
            for line in stream:
                print(load_one(bytes.fromhex(line.strip()), yaml.SafeLoader))
    elif command == "dump":
        with open(path, encoding="utf-8") as stream:
            value = decode_line(stream.read())
        sys.stdout.write(yaml.safe_dump(value, default_flow_style=False, sort_keys=False))
    else:
        raise SystemExit("unknown command %r" % command)


if __name__ == "__main__":
    main(sys.argv)
