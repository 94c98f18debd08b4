#!/usr/bin/env python3
"""The client side of sfxpack_serve_test.sh: HTTP requests to `sfxpack serve` on 127.0.0.1,
from Python's standard library alone.

usage: serve_client.py fetch PORT TARGET OUT [--method M] [--header 'Name: value']... [--rate BYTES_PER_S]
           prints the status, then the response's header fields ("Name: value"); the body goes to OUT
       serve_client.py raw PORT
           sends stdin's bytes as they are and prints the response's status line
       serve_client.py parallel PORT TARGET OUT_PREFIX COUNT
           COUNT requests at once, the i-th for TARGET with {i} replaced, its body to OUT_PREFIXi
"""

import http.client
import socket
import sys
import threading
import time

TIMEOUT = 60


def fetch(port, target, out, method="GET", headers=(), rate=0):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=TIMEOUT)
    connection.request(method, target, headers=dict(h.split(": ", 1) for h in headers))
    response = connection.getresponse()
    with open(out, "wb") as body:
        while piece := response.read(65536 if rate == 0 else max(1, rate // 20)):
            body.write(piece)
            body.flush()
            if rate:
                time.sleep(0.05)
    connection.close()
    return response


def main(argv):
    if argv[0] == "fetch":
        port, target, out = int(argv[1]), argv[2], argv[3]
        method, headers, rate = "GET", [], 0
        rest = argv[4:]
        while rest:
            option, value, rest = rest[0], rest[1], rest[2:]
            if option == "--method":
                method = value
            elif option == "--header":
                headers.append(value)
            elif option == "--rate":
                rate = int(value)
        response = fetch(port, target, out, method, headers, rate)
        print(response.status)
        for name, value in response.getheaders():
            print(f"{name}: {value}")
    elif argv[0] == "raw":
        with socket.create_connection(("127.0.0.1", int(argv[1])), timeout=TIMEOUT) as s:
            s.sendall(sys.stdin.buffer.read())
            answer = b""
            while b"\r\n" not in answer and (piece := s.recv(4096)):
                answer += piece
        print(answer.split(b"\r\n", 1)[0].decode("latin-1"))
    elif argv[0] == "parallel":
        port, target, prefix, count = int(argv[1]), argv[2], argv[3], int(argv[4])
        statuses = [None] * count

        def one(i):
            statuses[i] = fetch(port, target.replace("{i}", str(i)), f"{prefix}{i}").status

        threads = [threading.Thread(target=one, args=(i,)) for i in range(count)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        print(" ".join(str(s) for s in statuses))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
