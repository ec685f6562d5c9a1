"""A real SMTP server for the mail tests: aiosmtpd on 127.0.0.1.

    receive_smtp.py FOLDER [--no-8bitmime]

Listens on a free port of 127.0.0.1 and writes its number to FOLDER/port.
Each message received is kept as FOLDER/N.eml (the data exactly as it
arrived, dot-stuffing undone) and FOLDER/N.envelope (the sender, then one
recipient a line). With --no-8bitmime the server does not offer 8BITMIME
(aiosmtpd then reads the data as 7-bit text). Runs until it is stopped
with SIGTERM.
"""
import asyncio
import os
import sys

from aiosmtpd.smtp import SMTP


def keep_message(folder, number, envelope):
    """Keeps a received message as FOLDER/N.eml and FOLDER/N.envelope."""
    base = os.path.join(folder, str(number))
    with open(base + ".envelope", "w") as f:
        f.write("\n".join([envelope.mail_from] + list(envelope.rcpt_tos)) + "\n")
    with open(base + ".eml", "wb") as f:
        f.write(envelope.original_content)


def write_port(folder, port):
    """Writes FOLDER/port whole, so a reader never sees half a number."""
    temporary = os.path.join(folder, "port.tmp")
    with open(temporary, "w") as f:
        f.write(str(port))
    os.rename(temporary, os.path.join(folder, "port"))


class Keeper:
    def __init__(self, folder):
        self.folder = folder
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        keep_message(self.folder, self.count, envelope)
        return "250 Message accepted"


async def main(folder, eight_bit_mime):
    loop = asyncio.get_running_loop()
    keeper = Keeper(folder)
    # aiosmtpd offers 8BITMIME exactly when it keeps the data as bytes.
    server = await loop.create_server(
        lambda: SMTP(keeper, hostname="aiosmtpd.test", decode_data=not eight_bit_mime),
        host="127.0.0.1", port=0)
    write_port(folder, server.sockets[0].getsockname()[1])
    await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1], "--no-8bitmime" not in sys.argv[2:]))
