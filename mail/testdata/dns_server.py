"""A real DNS server for the direct-delivery tests: dnslib on 127.0.0.1.

    dns_server.py FOLDER ZONE_FILE

Answers UDP queries from the records of ZONE_FILE (zone-file syntax, as
dnslib reads it): the records of the name and type asked for; no records
but no error for a name that has records of other types (a domain without
MX); NXDOMAIN for a name that has none. Writes its port to FOLDER/port and
one line "NAME TYPE" per query to FOLDER/queries.log. Runs until it is
stopped with SIGTERM.
"""
import os
import signal
import sys

from dnslib import QTYPE, RCODE, RR
from dnslib.server import BaseResolver, DNSLogger, DNSServer


class Zone(BaseResolver):
    def __init__(self, text, log):
        self.records = RR.fromZone(text)
        self.log = log

    def resolve(self, request, handler):
        reply = request.reply()
        name = request.q.qname
        with open(self.log, "a") as f:
            f.write("%s %s\n" % (str(name).rstrip("."), QTYPE[request.q.qtype]))
        known = False
        for record in self.records:
            if record.rname == name:
                known = True
                if record.rtype == request.q.qtype:
                    reply.add_answer(record)
        if not known:
            reply.header.rcode = RCODE.NXDOMAIN
        return reply


def main(folder, zone_file):
    with open(zone_file) as f:
        zone = Zone(f.read(), os.path.join(folder, "queries.log"))
    quiet = DNSLogger(log="-request,-reply,-truncated,-error", prefix=False)
    server = DNSServer(zone, address="127.0.0.1", port=0, logger=quiet)
    port = server.server.server_address[1]
    temporary = os.path.join(folder, "port.tmp")
    with open(temporary, "w") as f:
        f.write(str(port))
    os.rename(temporary, os.path.join(folder, "port"))
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    server.start()


main(sys.argv[1], sys.argv[2])
