"""Checks the DKIM signatures of messages with python3-dkim, a verifier no
one here wrote.

    verify_dkim.py SELECTOR DOMAIN PUBLIC-KEY.der rsa|ed25519 MESSAGE...

The public key (DER, as `openssl pkey -pubout -outform DER` writes it)
stands in for the DNS record SELECTOR._domainkey.DOMAIN. Prints one line
per message: "pass" when its signature verifies, else "fail" and the
verifier's reasons.
"""
import base64
import logging
import sys

import dkim


def main():
    selector, domain, key_path, kind = sys.argv[1:5]
    with open(key_path, "rb") as f:
        der = f.read()
    # RFC 8463: an Ed25519 record holds the bare 32-byte key.
    key = der[-32:] if kind == "ed25519" else der
    record = b"v=DKIM1; k=" + kind.encode() + b"; p=" + base64.b64encode(key)
    wanted = (selector + "._domainkey." + domain + ".").encode()

    def dns(name, timeout=5):
        return record if name == wanted else None

    log = logging.getLogger("dkim")
    reasons = []

    class Keep(logging.Handler):
        def emit(self, record):
            reasons.append(record.getMessage())

    log.addHandler(Keep())
    log.setLevel(logging.DEBUG)
    for path in sys.argv[5:]:
        with open(path, "rb") as f:
            message = f.read()
        reasons.clear()
        try:
            ok = dkim.DKIM(message, logger=log).verify(dnsfunc=dns)
        except dkim.DKIMException as e:
            ok = False
            reasons.append(str(e))
        print("pass" if ok else "fail " + "; ".join(reasons).replace("\n", " "))
    return 0


sys.exit(main())
