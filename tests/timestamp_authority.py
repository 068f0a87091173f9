#!/usr/bin/python3
"""Usage: tests/timestamp_authority.py DIR PORT

A throwaway RFC 3161 timestamp authority for CI, on 127.0.0.1:PORT until it is killed:
openssl ts answers each query, with a certificate and key that it makes in DIR. osslsigncode
sign -ts http://127.0.0.1:PORT/ stamps with it.
"""
import http.server, subprocess, sys

CONFIG = ["[tsa]", "default_tsa = a", "[a]", "serial = serial", "signer_cert = tsa.pem",
          "signer_key = tsa.key", "signer_digest = sha256", "digests = sha256",
          "default_policy = 1.2.3.4"]

class Authority(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        reply = subprocess.run(["openssl", "ts", "-reply", "-config", "tsa.cnf", "-queryfile",
                                "/dev/stdin"], input=query, capture_output=True, cwd=FOLDER)
        self.send_response(200 if reply.returncode == 0 else 500)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.end_headers()
        self.wfile.write(reply.stdout)

    def log_message(self, *arguments):  # quiet: osslsigncode says what fails
        pass

if __name__ == "__main__":
    if len(sys.argv) != 3 or not sys.argv[2].isdigit():
        sys.exit(__doc__.split("\n\n")[0])
    FOLDER = sys.argv[1]
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                    "-subj", "/CN=Throwaway TSA", "-addext",
                    "extendedKeyUsage=critical,timeStamping", "-keyout", "tsa.key", "-out",
                    "tsa.pem"], cwd=FOLDER, check=True, capture_output=True)
    with open(f"{FOLDER}/tsa.cnf", "w") as config:
        config.write("\n".join(CONFIG) + "\n")
    http.server.HTTPServer(("127.0.0.1", int(sys.argv[2])), Authority).serve_forever()
