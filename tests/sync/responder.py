#!/usr/bin/python3
"""A small LDAP server for the sync suite, answering as directories that
slapd does not imitate do.

It serves the entries of a JSON file ({"DN": {"attribute": [values]}}) on
a Unix socket (ldapi://), to anonymous searches and simple binds (any
password).  A subtree search returns the entries under its base, a base
search the entry itself; filters are not evaluated (the sync's filters
match every entry given).  The --mode says how it answers:

  dc          as a domain controller does: pages of at most 1,000 entries
              with the paged results control, and an attribute of more
              than 1,500 values sent in ranges ("member;range=0-1499")
              whether asked or not; "member;range=1500-*" asked of an
              entry sends its next slice
  unpaged     ignores the paged results control: the whole answer, with
              Success and no control
  sizelimit   ignores the control and stops after 100 entries with
              sizeLimitExceeded

--fault breaks the range reads of the dc mode: "gone" (the entry no
longer has the attribute), "gap" (the next slice starts one value late),
"short" (the first slice holds one value less than its bounds say),
"malformed" (slices without a readable end), "error" (the read ends in
noSuchObject).

Prints "ready" once it listens; ends on SIGTERM.
"""

import argparse
import json
import os
import signal
import socket
import sys
import threading

MAX_VAL_RANGE = 1500
DC_PAGE = 1000
PAGED_OID = b"1.2.840.113556.1.4.319"

SUCCESS, SIZE_LIMIT, NO_SUCH_OBJECT, PROTOCOL_ERROR = 0, 4, 32, 2


# BER, the few forms LDAP uses.

def length(n):
    if n < 0x80:
        return bytes([n])
    b = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(b)]) + b


def tlv(tag, content):
    return bytes([tag]) + length(len(content)) + content


def integer(n, tag=0x02):
    return tlv(tag, n.to_bytes(max(1, (n.bit_length() + 8) // 8), "big", signed=True))


def octets(b, tag=0x04):
    return tlv(tag, b if isinstance(b, bytes) else b.encode())


def seq(*parts, tag=0x30):
    return tlv(tag, b"".join(parts))


def read_tlv(data, at):
    """(tag, content, next offset) of the element at `at`."""
    tag = data[at]
    n = data[at + 1]
    at += 2
    if n & 0x80:
        k = n & 0x7F
        n = int.from_bytes(data[at:at + k], "big")
        at += k
    return tag, data[at:at + n], at + n


def complete(data):
    """The end of the first element of `data` if all of it is there."""
    if len(data) < 2:
        return None
    n, at = data[1], 2
    if n & 0x80:
        k = n & 0x7F
        if len(data) < at + k:
            return None
        n, at = int.from_bytes(data[at:at + k], "big"), at + k
    return at + n if at + n <= len(data) else None


def elements(data):
    at, out = 0, []
    while at < len(data):
        tag, content, at = read_tlv(data, at)
        out.append((tag, content))
    return out


def number(content):
    return int.from_bytes(content, "big", signed=True)


# Answers.

def result(msgid, op, code, text="", controls=b""):
    body = seq(integer(code, 0x0A), octets(b""), octets(text), tag=op)
    return seq(integer(msgid), body, controls)


def entry(msgid, dn, attributes):
    attrs = b"".join(seq(octets(name), seq(*(octets(v) for v in values), tag=0x31))
                     for name, values in attributes)
    return seq(integer(msgid), seq(octets(dn), seq(attrs), tag=0x64))


def paged_control(cookie):
    value = seq(integer(0), octets(cookie))
    return seq(seq(octets(PAGED_OID), octets(value)), tag=0xA0)


class Server:
    def __init__(self, entries, mode, fault):
        self.entries = entries
        self.mode = mode
        self.fault = fault
        self.order = list(entries)  # as the file lists them

    def under(self, base, scope):
        base = base.lower()
        if scope == 0:
            return [dn for dn in self.order if dn.lower() == base]
        return [dn for dn in self.order if dn.lower() == base or dn.lower().endswith("," + base)]

    def slice(self, name, values, low):
        """The slice of `values` from `low`: (type, values)."""
        rest = values[low:]
        if len(rest) <= MAX_VAL_RANGE:
            return "%s;range=%d-*" % (name, low), rest
        high = low + MAX_VAL_RANGE - 1
        shown = rest[:MAX_VAL_RANGE]
        if self.fault == "short" and low == 0:
            shown = shown[:-1]
        if self.fault == "malformed":
            return "%s;range=%d-many" % (name, low), shown
        return "%s;range=%d-%d" % (name, low, high), shown

    def attributes(self, dn, wanted, base_read):
        """What the entry sends for the attributes asked for."""
        stored = {k.lower(): (k, v) for k, v in self.entries[dn].items()}
        out = []
        for want in wanted or [k for k in self.entries[dn]]:
            name, _, option = want.partition(";")
            if name.lower() not in stored:
                continue
            real, values = stored[name.lower()]
            if self.mode == "dc" and option.lower().startswith("range="):
                low = int(option[6:].split("-")[0])
                if self.fault == "gone" and base_read:
                    continue
                if self.fault == "gap" and base_read:
                    low += 1
                out.append(self.slice(real, values, low))
            elif self.mode == "dc" and len(values) > MAX_VAL_RANGE:
                out.append(self.slice(real, values, 0))
            else:
                out.append((real, values))
        return out

    def search(self, msgid, op, controls, send):
        parts = elements(op)
        base = parts[0][1].decode()
        scope = number(parts[1][1])
        wanted = [v.decode() for _, v in elements(parts[7][1])]
        page, cookie = None, b""
        for _, control in elements(controls):
            fields = elements(control)
            if fields[0][1] == PAGED_OID:
                value = elements(elements(fields[-1][1])[0][1])
                page, cookie = number(value[0][1]), value[1][1]
        dns = self.under(base, scope)
        if scope == 0 and (not dns or self.fault == "error"):
            send(result(msgid, 0x65, NO_SUCH_OBJECT, "no such entry"))
            return
        if self.mode == "sizelimit":
            for dn in dns[:100]:
                send(entry(msgid, dn, self.attributes(dn, wanted, False)))
            send(result(msgid, 0x65, SIZE_LIMIT, "size limit exceeded"))
            return
        if self.mode == "unpaged" or page is None or scope == 0:
            for dn in dns:
                send(entry(msgid, dn, self.attributes(dn, wanted, scope == 0)))
            send(result(msgid, 0x65, SUCCESS))
            return
        start = int(cookie or b"0")
        size = min(page, DC_PAGE) if page > 0 else DC_PAGE
        for dn in dns[start:start + size]:
            send(entry(msgid, dn, self.attributes(dn, wanted, False)))
        after = start + size
        send(result(msgid, 0x65, SUCCESS,
                    controls=paged_control(str(after).encode() if after < len(dns) else b"")))

    def serve(self, conn):
        buffer = b""
        lock = threading.Lock()

        def send(data):
            with lock:
                conn.sendall(data)
        try:
            while True:
                while True:
                    end = complete(buffer)
                    if end is not None:
                        _, message, end = read_tlv(buffer, 0)
                        break
                    chunk = conn.recv(65536)
                    if not chunk:
                        return
                    buffer += chunk
                buffer = buffer[end:]
                parts = elements(message)
                msgid = number(parts[0][1])
                tag, op = parts[1]
                controls = parts[2][1] if len(parts) > 2 and parts[2][0] == 0xA0 else b""
                if tag == 0x60:  # bind
                    send(result(msgid, 0x61, SUCCESS))
                elif tag == 0x63:  # search
                    self.search(msgid, op, controls, send)
                elif tag == 0x42:  # unbind
                    return
                elif tag == 0x50:  # abandon
                    pass
                else:
                    send(result(msgid, 0x78, PROTOCOL_ERROR, "not offered here"))
        except OSError:
            pass  # the client went away
        finally:
            conn.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--socket", required=True)
    parser.add_argument("--entries", required=True)
    parser.add_argument("--mode", choices=("dc", "unpaged", "sizelimit"), default="dc")
    parser.add_argument("--fault", choices=("gone", "gap", "short", "malformed", "error"))
    args = parser.parse_args()
    with open(args.entries) as f:
        server = Server(json.load(f), args.mode, args.fault)
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(args.socket)
    listener.listen(16)
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    print("ready", flush=True)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=server.serve, args=(conn,), daemon=True).start()


if __name__ == "__main__":
    sys.exit(main())
