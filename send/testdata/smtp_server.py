"""A real SMTP server for the send tests: aiosmtpd on 127.0.0.1.

Usage: smtp_server.py FOLDER [--pipelining]

Listens on a free port of 127.0.0.1 and writes that port to FOLDER/port
once it accepts connections. Each message it accepts becomes two files:
FOLDER/NNNN.env (the client's port, the MAIL FROM address, then one RCPT
TO address per line) and FOLDER/NNNN.eml (the message bytes as received).
Recipients whose address holds "refused" are refused with 550; those whose
address holds "verbose" with a 550 reply of about 40 KB, those whose
address holds "endless" with one of about 100 KB (beyond any reply a client
needs to read). With --pipelining it offers PIPELINING in its answer to
EHLO (aiosmtpd reads commands in turn, so it takes them pipelined). Runs
until it is terminated.
"""

import asyncio
import os
import signal
import sys

from aiosmtpd.smtp import SMTP


class Handler:
    def __init__(self, folder, pipelining):
        self.folder = folder
        self.count = 0
        self.pipelining = pipelining

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        session.host_name = hostname
        if self.pipelining:
            responses.insert(-1, "250-PIPELINING")
        return responses

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if "refused" in address:
            return "550 5.1.1 <%s>: mailbox unavailable" % address
        for word, size in (("verbose", 40000), ("endless", 100000)):
            if word in address:
                lines = []
                while sum(len(line) + 2 for line in lines) < size:
                    lines.append("550-5.1.1 reason %d for refusing <%s>" % (len(lines), address))
                return "\r\n".join(lines) + "\r\n550 5.1.1 refused"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(self.folder, "%04d" % self.count)
        with open(base + ".eml", "wb") as f:
            f.write(envelope.original_content)
        lines = [str(session.peer[1]), envelope.mail_from or ""] + list(envelope.rcpt_tos)
        with open(base + ".env.tmp", "w") as f:
            f.write("\n".join(lines) + "\n")
        os.rename(base + ".env.tmp", base + ".env")
        return "250 Message accepted for delivery"


async def main(folder, pipelining):
    handler = Handler(folder, pipelining)
    loop = asyncio.get_running_loop()
    server = await loop.create_server(lambda: SMTP(handler, hostname="tessaline.test"),
                                      "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    with open(os.path.join(folder, "port.tmp"), "w") as f:
        f.write(str(port))
    os.rename(os.path.join(folder, "port.tmp"), os.path.join(folder, "port"))
    stop = asyncio.Event()
    loop.add_signal_handler(signal.SIGTERM, stop.set)
    await stop.wait()
    server.close()


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1], "--pipelining" in sys.argv[2:]))
