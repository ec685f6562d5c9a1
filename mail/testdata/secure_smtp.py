"""A real SMTP server with TLS and a login for the mail tests: aiosmtpd.

    secure_smtp.py FOLDER [options] [+ [options]]...

  --cert FILE --key FILE    the server's certificate and key (PEM)
  --starttls                offer STARTTLS
  --require-starttls        ... and refuse everything else before it
  --implicit                TLS from the first byte (as on port 465)
  --login USER:PASSWORD     require a login (PLAIN, LOGIN) with these
  --token USER:TOKEN        also take XOAUTH2 with this bearer token
  --login-without-tls       offer the login before TLS, too
  --old-tls                 speak only TLS 1.0 and 1.1, which clients must refuse

Listens on a free port of 127.0.0.1 and writes its number to FOLDER/port.
Each message received is kept as FOLDER/N.eml (the data as it arrived)
and FOLDER/N.envelope (the sender, then one recipient a line), before the
message is answered; FOLDER/sessions.log gets one line per message:
"tls=yes|no login=USER"; FOLDER/server_names.log one line per TLS
handshake with the host name the client sent (SNI), "-" for none.

Each "+" starts the options of one more listener of the same process, so
that tests needing servers of several kinds pay for one start: listener K
(1, 2, ...) keeps its files in FOLDER/K. FOLDER/port is written last, when
every listener listens. Runs until it is stopped with SIGTERM.
"""
import argparse
import asyncio
import base64
import json
import os
import ssl
import sys
import warnings

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

from receive_smtp import keep_message, write_port


class Keeper:
    def __init__(self, folder, token):
        self.folder = folder
        self.count = 0
        self.token = token  # (user, token) or None

    async def auth_XOAUTH2(self, server, args):
        blob = args[1] if len(args) > 1 else ""
        try:
            text = base64.b64decode(blob, validate=True).decode()
        except Exception:
            return AuthResult(success=False, handled=False)
        fields = dict(part.split("=", 1) for part in text.split("\x01") if "=" in part)
        if self.token and fields.get("user") == self.token[0] and \
                fields.get("auth") == "Bearer " + self.token[1]:
            return AuthResult(success=True, auth_data=LoginPassword(fields["user"].encode(), b""))
        # The error report, then the final 535 after the client's empty line.
        report = json.dumps({"status": "401", "schemes": "bearer", "scope": "mail"})
        await server.challenge_auth(report)
        return AuthResult(success=False, handled=False)

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        keep_message(self.folder, self.count, envelope)
        login = "-"
        if session.authenticated and session.auth_data is not None:
            user = session.auth_data.login
            login = user.decode() if isinstance(user, bytes) else str(user)
        with open(os.path.join(self.folder, "sessions.log"), "a") as f:
            encrypted = session.ssl is not None or \
                server.transport.get_extra_info("ssl_object") is not None
            f.write("tls=%s login=%s\n" % ("yes" if encrypted else "no", login))
        return "250 Message accepted"


def listener_options(arguments):
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--starttls", action="store_true")
    parser.add_argument("--require-starttls", action="store_true")
    parser.add_argument("--implicit", action="store_true")
    parser.add_argument("--login")
    parser.add_argument("--token")
    parser.add_argument("--login-without-tls", action="store_true")
    parser.add_argument("--old-tls", action="store_true")
    return parser.parse_args(arguments)


async def listen(a, folder):
    """Starts one listener; returns its server and port."""
    context = None
    if a.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(a.cert, a.key)
        if a.old_tls:
            context.set_ciphers("DEFAULT:@SECLEVEL=0")
            context.minimum_version = ssl.TLSVersion.TLSv1
            context.maximum_version = ssl.TLSVersion.TLSv1_1

        def note_server_name(ssl_object, name, ssl_context):
            with open(os.path.join(folder, "server_names.log"), "a") as f:
                f.write("%s\n" % (name or "-"))

        context.sni_callback = note_server_name
    login = a.login.split(":", 1) if a.login else None
    token = a.token.split(":", 1) if a.token else None

    def authenticator(server, session, envelope, mechanism, data):
        ok = login is not None and isinstance(data, LoginPassword) and \
            data.login.decode() == login[0] and data.password.decode() == login[1]
        return AuthResult(success=ok, handled=False, auth_data=data if ok else None)

    keeper = Keeper(folder, token)

    def factory():
        options = dict(hostname="secure.test", authenticator=authenticator,
                       auth_required=bool(login or token),
                       # aiosmtpd sees only STARTTLS as TLS
                       auth_require_tls=not (a.login_without_tls or a.implicit))
        if (a.starttls or a.require_starttls) and not a.implicit:
            options.update(tls_context=context, require_starttls=a.require_starttls)
        return SMTP(keeper, **options)

    loop = asyncio.get_running_loop()
    server = await loop.create_server(factory, host="127.0.0.1", port=0,
                                      ssl=context if a.implicit else None)
    return server, server.sockets[0].getsockname()[1]


def main():
    warnings.simplefilter("ignore", DeprecationWarning)  # of --old-tls
    folder = sys.argv[1]
    groups = [[]]
    for argument in sys.argv[2:]:
        if argument == "+":
            groups.append([])
        else:
            groups[-1].append(argument)

    async def serve():
        servers = []
        for k, arguments in enumerate(groups):
            where = folder if k == 0 else os.path.join(folder, str(k))
            os.makedirs(where, exist_ok=True)
            server, port = await listen(listener_options(arguments), where)
            servers.append(server)
            if k > 0:
                write_port(where, port)
            else:
                first_port = port
        write_port(folder, first_port)
        await asyncio.gather(*(server.serve_forever() for server in servers))

    asyncio.run(serve())


main()
