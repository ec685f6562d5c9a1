"""A real SMTP server for the send tests: aiosmtpd on 127.0.0.1.

Usage: smtp_server.py FOLDER [--pipelining] [--eod-delay MS] [--reply STEP=REPLY,REPLY,...]...

Listens on a free port of 127.0.0.1 and writes that port to FOLDER/port
once it accepts connections. Each message it accepts becomes two files:
FOLDER/NNNN.env (the client's port, the MAIL FROM address, then one RCPT
TO address per line) and FOLDER/NNNN.eml (the message bytes as received).
Recipients whose address holds "refused" are refused with 550; those whose
address holds "verbose" with a 550 reply of about 40 KB, those whose
address holds "endless" with one of about 100 KB (beyond any reply a client
needs to read). With --pipelining it offers PIPELINING in its answer to
EHLO (aiosmtpd reads commands in turn, so it takes them pipelined).

--reply scripts the answers of one step: "mail" (MAIL FROM), "rcpt" (RCPT
TO) or "eod" (the end of the data). Each time the server reaches that
step (on any connection) it takes the next reply of the list; once the
list is used up it answers as usual. A reply is "ok" (as usual), a reply
line ("451 4.3.0 Try again later"; a reply that begins with 421 closes the
connection after it), or "drop": the connection is cut without an answer
(at "eod" after the message was kept, as a server whose answer was lost).
Every greeting and every answer of those steps is appended to FOLDER/steps
as "PORT STEP ANSWER" ("PORT ehlo" for a greeting; ANSWER is the reply's
code or "drop"), so a test can count connections and tries.

With --eod-delay it waits MS milliseconds before it takes each message
at the end of its data (other connections go on meanwhile) and keeps in
FOLDER/busiest the most messages it has held at once in that wait: a
client that delivers over several connections at once shows there.

Runs until it is terminated.
"""

import asyncio
import os
import signal
import sys

from aiosmtpd.smtp import SMTP


class Handler:
    def __init__(self, folder, pipelining, script, eod_delay=0.0):
        self.folder = folder
        self.eod_delay = eod_delay
        self.holding = 0
        self.busiest = 0
        self.count = 0
        self.pipelining = pipelining
        self.script = script  # step -> the replies still to give

    def note(self, session, step, answer=""):
        with open(os.path.join(self.folder, "steps"), "a") as f:
            f.write(("%d %s %s" % (session.peer[1], step, answer)).rstrip() + "\n")

    def scripted(self, server, session, step):
        """The scripted reply of this step, or None to answer as usual."""
        replies = self.script.get(step)
        reply = replies.pop(0) if replies else "ok"
        if reply == "ok":
            return None
        if reply == "drop":
            self.note(session, step, "drop")
            server.transport.abort()
            return "250 not heard"  # never reaches the client
        self.note(session, step, reply[:3])
        if reply.startswith("421"):
            # After the reply has been written: close() sends what is queued.
            asyncio.get_running_loop().call_soon(server.transport.close)
        return reply

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        session.host_name = hostname
        self.note(session, "ehlo")
        if self.pipelining:
            responses.insert(-1, "250-PIPELINING")
        return responses

    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        reply = self.scripted(server, session, "mail")
        if reply is not None:
            return reply
        envelope.mail_from = address
        envelope.mail_options.extend(mail_options)
        self.note(session, "mail", "250")
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        reply = self.scripted(server, session, "rcpt")
        if reply is not None:
            return reply
        reply = self.usual_rcpt(envelope, address)
        self.note(session, "rcpt", reply[:3])
        return reply

    def usual_rcpt(self, envelope, address):
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
        if self.eod_delay > 0:
            self.holding += 1
            if self.holding > self.busiest:
                self.busiest = self.holding
                with open(os.path.join(self.folder, "busiest.tmp"), "w") as f:
                    f.write(str(self.busiest))
                os.rename(os.path.join(self.folder, "busiest.tmp"),
                          os.path.join(self.folder, "busiest"))
            try:
                await asyncio.sleep(self.eod_delay)
            finally:
                self.holding -= 1
        replies = self.script.get("eod")
        if replies and replies[0] not in ("ok", "drop"):
            return self.scripted(server, session, "eod")
        self.count += 1
        base = os.path.join(self.folder, "%04d" % self.count)
        with open(base + ".eml", "wb") as f:
            f.write(envelope.original_content)
        lines = [str(session.peer[1]), envelope.mail_from or ""] + list(envelope.rcpt_tos)
        with open(base + ".env.tmp", "w") as f:
            f.write("\n".join(lines) + "\n")
        os.rename(base + ".env.tmp", base + ".env")
        reply = self.scripted(server, session, "eod")
        if reply is not None:
            return reply
        self.note(session, "eod", "250")
        return "250 Message accepted for delivery"


def read_script(arguments):
    script = {}
    for i, argument in enumerate(arguments):
        if argument == "--reply" and i + 1 < len(arguments):
            step, _, replies = arguments[i + 1].partition("=")
            if step not in ("mail", "rcpt", "eod"):
                sys.exit("smtp_server.py: no step %r" % step)
            script.setdefault(step, []).extend(replies.split(","))
    return script


async def main(folder, pipelining, script, eod_delay):
    handler = Handler(folder, pipelining, script, eod_delay)
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
    arguments = sys.argv[2:]
    delay = 0.0
    if "--eod-delay" in arguments:
        delay = float(arguments[arguments.index("--eod-delay") + 1]) / 1000
    asyncio.run(main(sys.argv[1], "--pipelining" in arguments, read_script(arguments), delay))
