#!/usr/bin/python3
"""Usage: tests/timestamp_authority.py DIR

A throwaway RFC 3161 timestamp authority on 127.0.0.1, for osslsigncode's -ts in CI: openssl ts
answers each query, with a certificate and key that it makes in DIR. It listens on a port that
nothing else holds, which it writes to DIR/port once it listens.
"""
import http.server, subprocess, sys

class Authority(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        reply = subprocess.run(["openssl", "ts", "-reply", "-config", "tsa.cnf", "-queryfile",
                                "/dev/stdin"], input=query, capture_output=True, cwd=sys.argv[1])
        self.send_response(500 if reply.returncode else 200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.end_headers()
        self.wfile.write(reply.stdout)

if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__.split("\n\n")[0])
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=TSA",
                    "-addext", "extendedKeyUsage=critical,timeStamping", "-keyout", "tsa.key",
                    "-out", "tsa.pem"], cwd=sys.argv[1], check=True, capture_output=True)
    with open(f"{sys.argv[1]}/tsa.cnf", "w") as config:
        config.write("[tsa]\ndefault_tsa = a\n[a]\nserial = serial\nsigner_cert = tsa.pem\n"
                     "signer_key = tsa.key\nsigner_digest = sha256\ndigests = sha256\n"
                     "default_policy = 1.2.3.4\n")
    server = http.server.HTTPServer(("127.0.0.1", 0), Authority)
    with open(f"{sys.argv[1]}/port", "w") as port:
        port.write(str(server.server_port))
    server.serve_forever()
