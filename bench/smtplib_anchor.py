"""Python's smtplib as the peer anchor of the SMTP benchmarks.

    smtplib_anchor.py PORT COUNT MESSAGE_FILE [--tls CA_FILE]

Sends the message in MESSAGE_FILE (as it goes on the wire, CR LF lines)
COUNT times over one connection to 127.0.0.1:PORT, each time to its own
recipient; with --tls over TLS from the first byte (SMTP_SSL), the
server's certificate checked against CA_FILE. Prints the seconds from
opening the connection to the answer to QUIT, and ends with status 1 when
a message is refused.
"""
import smtplib
import ssl
import sys
import time


def main():
    port, count, message_file = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
    ca_file = sys.argv[5] if len(sys.argv) > 5 and sys.argv[4] == "--tls" else None
    with open(message_file, "rb") as f:
        message = f.read()
    start = time.perf_counter()
    if ca_file:
        context = ssl.create_default_context(cafile=ca_file)
        client = smtplib.SMTP_SSL("127.0.0.1", port, context=context)
    else:
        client = smtplib.SMTP("127.0.0.1", port)
    for i in range(count):
        refused = client.sendmail("sender@example.test", ["rcpt%d@example.test" % i], message)
        if refused:
            return 1
    client.quit()
    print("%.6f" % (time.perf_counter() - start))
    return 0


sys.exit(main())
