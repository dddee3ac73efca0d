"""Serves a few functions with Python's standard SimpleXMLRPCServer on a
kernel-chosen loopback port, which it prints on the first line of its
output, for xmlrpc_test.cpp to call.

Usage: xmlrpc_python_server.py
"""
from xmlrpc.server import SimpleXMLRPCServer


class CustomError(Exception):
    pass


def echo(value):
    return value


def nothing():
    return None


def fail(kind, message):
    raise {"ValueError": ValueError, "CustomError": CustomError}[kind](message)


def main():
    server = SimpleXMLRPCServer(("127.0.0.1", 0), allow_none=True, logRequests=False)
    server.register_introspection_functions()
    server.register_function(echo)
    server.register_function(nothing)
    server.register_function(fail)
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
