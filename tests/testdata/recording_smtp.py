"""An aiosmtpd handler for the end-to-end tests: keeps every message it
receives as one file, and refuses the recipients it is told to refuse.

    python3 -m aiosmtpd -n -l 127.0.0.1:PORT -c recording_smtp.Recorder FOLDER [REFUSED...]

(with this folder on PYTHONPATH; RECORDER_DELAY in the environment makes it
wait that many seconds before it answers each message). Message n is FOLDER/n.eml (from 1),
written under a temporary name and renamed, so a file that exists is
whole. It holds the envelope and then the data as received:

    MAIL FROM:<sender>
    RCPT TO:<recipient>      (one line per accepted recipient)
    <blank line>
    the message text
"""
import asyncio
import os


class Recorder:
    def __init__(self, folder, *refused):
        self.folder = folder
        self.refused = {address.lower() for address in refused}
        self.count = 0
        os.makedirs(folder, exist_ok=True)

    @classmethod
    def from_cli(cls, parser, *args):
        if not args:
            parser.error("the folder for the messages is required")
        return cls(*args)

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.lower() in self.refused:
            return "550 5.1.1 <%s>: Recipient address rejected" % address
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        # RECORDER_DELAY seconds before each reply: a slow server.
        await asyncio.sleep(float(os.environ.get("RECORDER_DELAY", "0")))
        self.count += 1
        lines = ["MAIL FROM:<%s>" % envelope.mail_from]
        lines += ["RCPT TO:<%s>" % rcpt for rcpt in envelope.rcpt_tos]
        data = ("\r\n".join(lines) + "\r\n\r\n").encode() + envelope.original_content
        path = os.path.join(self.folder, "%d.eml" % self.count)
        with open(path + ".part", "wb") as f:
            f.write(data)
        os.rename(path + ".part", path)
        return "250 Message accepted for delivery"
